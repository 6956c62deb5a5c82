#include "transfer/Import.h"

#include "transfer/ImportImages.h"

#include <QFileInfo>

ImportFiles ImportFilesFrom(const QStringList &chosen)
{
    ImportFiles out;
    if (chosen.size() <= 1) {
        out.files = chosen;
        return out;
    }
    out.files << QFileInfo(chosen.first()).absolutePath();
    for (const QString &path : chosen)
        out.files << QFileInfo(path).fileName();
    out.multi = true;
    return out;
}

namespace {

JobOutcome finish(JobProgress &progress, const QString &countLine, int skipped)
{
    progress.append(QStringLiteral("OK\r\n") + countLine);
    if (skipped > 0)
        progress.append(QStringLiteral("%1 file(s) skipped, see the error log.\r\n").arg(skipped));
    progress.append(QStringLiteral("Tasks done."));
    return {};
}

} // namespace

JobOutcome ImportTimer(JobProgress &progress, const ImportFiles &chosen)
{
    const QStringList &files = chosen.files;
    progress.append(QStringLiteral("Importing image(s) ... "));
    int count = 0;
    int skipped = 0;
    if (!chosen.multi) {
        progress.setMaximum(1);
        if (files.isEmpty() || ImportImageFile(files.first(), false, QStringLiteral("EditForm ImportTimer ERROR_IMPORT_SINGLE")) == Imported::Skipped)
            ++skipped;
        else
            ++count;
        progress.advance();
        return finish(progress, QStringLiteral("%1 image(s) successfully imported.\r\n").arg(count), skipped);
    }
    progress.setMaximum(int(files.size()) - 1);
    for (int i = 1; i < files.size(); ++i) {
        // A duplicate already there counts as imported: the image is in temp/.
        if (ImportImageFile(files.first() + QLatin1Char('/') + files.at(i), true, QStringLiteral("EditForm ImportTimer ERROR_IMPORT_MULTI"))
            == Imported::Skipped)
            ++skipped;
        else
            ++count;
        progress.advance();
    }
    return finish(progress, QStringLiteral("%1 image(s) successfully imported.\r\n").arg(count), skipped);
}

JobOutcome ImportDirTimer(JobProgress &progress, const QString &dicomdir)
{
    progress.append(QStringLiteral("Importing DICOM-Dir ... "));
    const DirectoryImport done = ImportDirectory(dicomdir, QStringLiteral("EditForm ImportDirTimer"),
                                                 [&progress](int images) { progress.setMaximum(images); }, [&progress] { progress.advance(); });
    if (!done.ok()) {
        progress.append(QStringLiteral("failed\r\n") + done.text);
        return {};
    }
    return finish(progress, QStringLiteral("%1 image(s) imported\r\n").arg(done.imported), done.skipped);
}
