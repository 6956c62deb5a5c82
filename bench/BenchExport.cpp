// The export of images loaded as the viewer holds them, for bench/export.sh.
//   bench-export dicom OUT FILE...        DICOM files in a DICOMDIR file-set, and
//       the ZIP archive "study.zip" of it; prints export_ms
//   bench-export jpeg QUALITY OUT FILE... JPEG files at the slider's QUALITY
//       (3..10, ten times that for the encoder); prints export_ms
// Reading the files is left out of the timing: the viewer holds them already.
#include "store/DatabasePaths.h"
#include "toolkit/Toolkit.h"
#include "transfer/ImageExport.h"
#include "ui/Prompts.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

// The messages are answered at once and kept for the end.
class QuietPrompter : public Prompter {
public:
    QStringList texts;
    void information(QWidget *, const QString &text, const QString &) override { texts << text; }
    void critical(QWidget *, const QString &text, const QString &) override { texts << text; }
    bool question(QWidget *, const QString &text, const QString &) override { return texts << text, true; }
    void plain(QWidget *, const QString &text, const QString &) override { texts << text; }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // The export looks up the studies' dose reports in the image database, as
    // the station's does: the folder's databases, made by the caller.
    SetDatabasePaths();
    const QStringList args = app.arguments().mid(1);
    const bool jpeg = args.value(0) == QLatin1String("jpeg");
    const int first = jpeg ? 3 : 2;
    if (args.size() <= first) {
        std::fprintf(stderr, "usage: bench-export dicom OUT FILE... | jpeg QUALITY OUT FILE...\n");
        return 2;
    }
    ExportRequest request{.kind = jpeg ? ExportKind::Jpeg : ExportKind::Dicom, .folder = args.at(first - 1), .dicomDir = !jpeg,
                          .compress = !jpeg, .quality = jpeg ? args.at(1).toInt() : 8};
    for (const QString &file : args.mid(first)) {
        ToolkitImageList list;
        Result e;
        if (!ReadFileIntoList(list, file, &e)) {
            std::fprintf(stderr, "bench-export: %s\n", qPrintable(e.text));
            return 1;
        }
        request.images << ListItem(list, 1);
    }
    QuietPrompter prompts;
    ExportHooks hooks;
    hooks.askArchiveName = [](const QString &) { return std::optional<QString>(QStringLiteral("study")); };
    QElapsedTimer timer;
    timer.start();
    const bool done = ImageExport(request, hooks, prompts).run();
    const qint64 ms = timer.elapsed();
    if (!done || prompts.texts != QStringList{QStringLiteral("Images exported!")}) {
        std::fprintf(stderr, "bench-export: %s\n", qPrintable(prompts.texts.join(QLatin1Char('\n'))));
        return 1;
    }
    std::printf("export_ms %lld\n", ms);
    return 0;
}
