// lumora-synth: writes synthetic mammograms into a folder, one file per image
// named by its SOP Instance UID.
#include "toolkit/SyntheticImage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Writes synthetic DICOM mammograms."));
    p.addHelpOption();
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("out")}, QStringLiteral("Output folder."), QStringLiteral("dir"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Number of images (default 1)."), QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption rows(QStringLiteral("rows"), QStringLiteral("Rows."), QStringLiteral("n"), QStringLiteral("256"));
    const QCommandLineOption cols(QStringLiteral("columns"), QStringLiteral("Columns."), QStringLiteral("n"), QStringLiteral("192"));
    const QCommandLineOption bits(QStringLiteral("bits"), QStringLiteral("Bits stored."), QStringLiteral("n"), QStringLiteral("12"));
    const QCommandLineOption patId(QStringLiteral("patient-id"), QStringLiteral("Patient ID."), QStringLiteral("id"), QStringLiteral("PAT0001"));
    const QCommandLineOption patName(QStringLiteral("patient-name"), QStringLiteral("Patient's name."), QStringLiteral("name"), QStringLiteral("Doe^Jane"));
    const QCommandLineOption study(QStringLiteral("study-uid"), QStringLiteral("Study Instance UID (default: new)."), QStringLiteral("uid"));
    const QCommandLineOption series(QStringLiteral("series-uid"), QStringLiteral("Series Instance UID (default: new)."), QStringLiteral("uid"));
    const QCommandLineOption mono1(QStringLiteral("mono1"), QStringLiteral("MONOCHROME1 instead of MONOCHROME2."));
    // Some units' detectors write the side into View Position ("R CC") and send no laterality.
    const QCommandLineOption sideInView(QStringLiteral("side-in-view"), QStringLiteral("View Position \"R CC\" and no Image Laterality."));
    const QCommandLineOption encoding(QStringLiteral("encoding"), QStringLiteral("explicit, implicit, jpeg-lossless, jpeg-ls, rle, j2k-lossless or j2k (lossy, 10:1)."), QStringLiteral("name"), QStringLiteral("explicit"));
    p.addOptions({out, count, rows, cols, bits, patId, patName, study, series, mono1, sideInView, encoding});
    p.process(app);

    QTextStream err(stderr);
    if (!p.isSet(out)) {
        err << "lumora-synth: --out is required\n";
        return 2;
    }
    QDir().mkpath(p.value(out));
    SyntheticImageSpec spec;
    spec.rows = p.value(rows).toInt();
    spec.columns = p.value(cols).toInt();
    spec.bitsStored = p.value(bits).toInt();
    spec.patientId = p.value(patId);
    spec.patientName = p.value(patName);
    spec.studyUid = p.isSet(study) ? p.value(study) : NewSyntheticUid();
    spec.seriesUid = p.isSet(series) ? p.value(series) : NewSyntheticUid();
    spec.monochrome1 = p.isSet(mono1);
    const QString enc = p.value(encoding);
    using E = SyntheticImageSpec::Encoding;
    if (enc == QLatin1String("implicit")) spec.encoding = E::ImplicitLittle;
    else if (enc == QLatin1String("jpeg-lossless")) spec.encoding = E::JpegLossless;
    else if (enc == QLatin1String("jpeg-ls")) spec.encoding = E::JpegLs;
    else if (enc == QLatin1String("rle")) spec.encoding = E::Rle;
    else if (enc == QLatin1String("j2k-lossless")) spec.encoding = E::Jpeg2000Lossless;
    else if (enc == QLatin1String("j2k")) spec.encoding = E::Jpeg2000;
    else if (enc != QLatin1String("explicit")) {
        err << "lumora-synth: unknown encoding " << enc << "\n";
        return 2;
    }
    const int n = p.value(count).toInt();
    static const char *views[][2] = {{"CC", "R"}, {"CC", "L"}, {"MLO", "R"}, {"MLO", "L"}};
    for (int i = 0; i < n; ++i) {
        spec.sopUid = NewSyntheticUid();
        spec.instanceNumber = i + 1;
        spec.viewPosition = QString::fromLatin1(views[i % 4][0]);
        spec.laterality = QString::fromLatin1(views[i % 4][1]);
        if (p.isSet(sideInView)) {
            spec.viewPosition = spec.laterality + QLatin1Char(' ') + spec.viewPosition;
            spec.omit = QStringList{QStringLiteral("0020,0062")};
        }
        if (const Result written = WriteSyntheticImage(spec, QDir(p.value(out)).filePath(spec.sopUid + QStringLiteral(".dcm"))); !written) {
            err << "lumora-synth: " << written.text << "\n";
            return 1;
        }
    }
    return 0;
}
