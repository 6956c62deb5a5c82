// The toolkit operations and the synthetic image writer under them:
// attributes, sequences, SOP class, writing and reading back, UIDs, bad
// files, encodings and rendering, the writer checked with DCMTK's own tools.
#include "support/Dicom.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "toolkit/SyntheticImage.h"
#include "toolkit/Toolkit.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

// Mean grey of a rectangle given in fractions of the picture.
double meanGrey(const QImage &img, QRectF frac)
{
    const QRect r(int(frac.x() * img.width()), int(frac.y() * img.height()),
                  std::max(1, int(frac.width() * img.width())), std::max(1, int(frac.height() * img.height())));
    double sum = 0;
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x, ++n)
            sum += qGray(img.pixel(x, y));
    return n ? sum / n : -1;
}

// DCMTK's picture of the file (min-max window) as PGM bytes: dcmj2pnm has the
// JPEG and RLE decoders, dcml2pnm the JPEG-LS one.
QByteArray dcmtkPicture(const QString &file, const QString &tool)
{
    QByteArray log;
    if (RunProgram(tool, {QStringLiteral("+Wm"), file, file + QStringLiteral(".pgm")}, &log) != 0)
        return QByteArray("render failed: ") + log;
    QFile f(file + QStringLiteral(".pgm"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class ToolkitTest : public QObject {
    Q_OBJECT

    TestFolder folder_;

    QString make(const QString &name, const SyntheticImageSpec &spec = {})
    {
        const QString path = folder_.file(name);
        WriteImage(spec, path);
        return path;
    }

private slots:
    void writerPutsTheChosenAttributes()
    {
        SyntheticImageSpec spec;
        spec.studyUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1");
        spec.seriesUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1.2");
        spec.sopUid = QStringLiteral("1.2.826.0.1.3680043.9.7433.1.2.3");
        spec.viewPosition = QStringLiteral("MLO");
        spec.laterality = QStringLiteral("R");
        spec.rows = 300;
        spec.columns = 200;
        spec.bitsStored = 14;
        spec.monochrome1 = true;
        spec.extra = {{QStringLiteral("0018,0060"), QStringLiteral("28")}};
        const QString d = Dump(make(QStringLiteral("chosen.dcm"), spec));
        const QList<QPair<QString, QString>> expected{
            {QStringLiteral("0020,000D"), spec.studyUid}, {QStringLiteral("0020,000E"), spec.seriesUid},
            {QStringLiteral("0008,0018"), spec.sopUid}, {QStringLiteral("0002,0003"), spec.sopUid},
            {QStringLiteral("0008,0016"), QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2")},
            {QStringLiteral("0018,5101"), QStringLiteral("MLO")}, {QStringLiteral("0020,0062"), QStringLiteral("R")},
            {QStringLiteral("0028,0010"), QStringLiteral("300")}, {QStringLiteral("0028,0011"), QStringLiteral("200")},
            {QStringLiteral("0028,0100"), QStringLiteral("16")}, {QStringLiteral("0028,0101"), QStringLiteral("14")},
            {QStringLiteral("0028,0004"), QStringLiteral("MONOCHROME1")}, {QStringLiteral("0018,0060"), QStringLiteral("28")}};
        for (const auto &[tag, value] : expected)
            QCOMPARE(tag + QLatin1Char('=') + DumpedValue(d, tag), tag + QLatin1Char('=') + value);
    }

    void writerRefusesBadInputAndWritesFullSize()
    {
        SyntheticImageSpec spec;
        spec.rows = 0;
        QString why;
        QVERIFY(!WriteSyntheticImage(spec, folder_.file(QStringLiteral("x.dcm")), &why));
        QVERIFY(!why.isEmpty());
        spec.rows = 8;
        spec.extra = {{QStringLiteral("00zz,0010"), QStringLiteral("x")}};
        QVERIFY(!WriteSyntheticImage(spec, folder_.file(QStringLiteral("y.dcm")), &why));
        spec.extra.clear();
        QVERIFY(!WriteSyntheticImage(spec, folder_.file(QStringLiteral("no/such/folder/z.dcm")), &why));

        spec.rows = 4096;
        spec.columns = 3328;
        spec.bitsStored = 16;
        const QString full = make(QStringLiteral("full.dcm"), spec);
        QVERIFY(QFileInfo(full).size() > 4096LL * 3328 * 2);
        QCOMPARE(DumpedValue(Dump(full), QStringLiteral("0028,0010")), QStringLiteral("4096"));
    }

    void attributesRoundTripThroughAFile()
    {
        SyntheticImageSpec spec;
        spec.patientName = QStringLiteral("O'Brien^Mary");
        const ToolkitImagePtr img = ReadImage(make(QStringLiteral("a.dcm"), spec));
        QVERIFY(img && img->isValid());
        QCOMPARE(GetAttribute(img, 0x0010, 0x0010).value, QStringLiteral("O'Brien^Mary"));
        QVERIFY(!GetAttribute(img, 0x0010, 0x1030).exists && GetAttribute(img, 0x0010, 0x1030).value.isEmpty()); // weight
        const ToolkitAttribute type = GetAttribute(img, 0x0008, 0x0008);
        QCOMPARE(type.value, QStringLiteral("ORIGINAL|PRIMARY"));
        QVERIFY(type.isMultiValued() && !GetAttribute(img, 0x0010, 0x0020).isMultiValued());
        QCOMPARE(type.valueAt(1), QStringLiteral("ORIGINAL"));
        QCOMPARE(type.valueAt(2), QStringLiteral("PRIMARY"));
        QVERIFY(type.valueAt(3).isEmpty() && type.valueAt(0).isEmpty());

        QVERIFY(SetAttribute(img, 0x0018, 0x0060, QStringLiteral("28")));           // replaces nothing: new
        QVERIFY(SetAttribute(img, 0x0010, 0x0010, QStringLiteral("D'Arcy^Anna"))); // replaces
        QVERIFY(SetAttribute(img, 0x0020, 0x0013, qint16(7)));                     // IS: written as text
        QVERIFY(SetAttribute(img, 0x0028, 0x0006, qint16(1)));                     // US: binary
        QVERIFY(SetAttribute(img, 0x0009, 0x1010, QStringLiteral("private")));     // unknown tag: text
        QVERIFY(SetAttribute(img, 0x0008, 0x0008, QStringLiteral("DERIVED|SECONDARY|POST")));
        QVERIFY(RemoveAttribute(img, 0x0010, 0x0030));
        QVERIFY(!RemoveAttribute(img, 0x0010, 0x0030));
        const QString dx = QStringLiteral("1.2.840.10008.5.1.4.1.1.1.1");
        QVERIFY(SetImageSopClass(img, dx));

        const QString out = folder_.file(QStringLiteral("a-out.dcm"));
        ToolkitError e;
        QVERIFY2(WriteDicomFile(img, out, &e), qPrintable(e.text));
        const ToolkitImagePtr back = ReadImage(out);
        QVERIFY(back);
        QCOMPARE(GetAttribute(back, 0x0018, 0x0060).value, QStringLiteral("28"));
        QCOMPARE(GetAttribute(back, 0x0010, 0x0010).value, QStringLiteral("D'Arcy^Anna"));
        QCOMPARE(GetAttribute(back, 0x0020, 0x0013).value, QStringLiteral("7"));
        QCOMPARE(GetAttribute(back, 0x0009, 0x1010).value, QStringLiteral("private"));
        QCOMPARE(GetAttribute(back, 0x0008, 0x0008).values.size(), 3);
        QVERIFY(!GetAttribute(back, 0x0010, 0x0030).exists);
        const QString text = Dump(out);
        QCOMPARE(DumpedValue(text, QStringLiteral("0028,0006")), QStringLiteral("1"));
        QCOMPARE(DumpedValue(text, QStringLiteral("0008,0008")), QStringLiteral("DERIVED\\SECONDARY\\POST"));
        QCOMPARE(DumpedValue(text, QStringLiteral("0002,0002")), dx); // the SOP class reaches the file meta
        QCOMPARE(DumpedValue(text, QStringLiteral("0008,0016")), dx);

        const ToolkitPatient p = ImagePatient(back);
        QCOMPARE(p.name, QStringLiteral("D'Arcy^Anna"));
        QCOMPARE(p.id, spec.patientId);
        QVERIFY(p.birthDate.isEmpty());
        QCOMPARE(p.sex, QStringLiteral("F"));
        QCOMPARE(p.exportKey, GetAttribute(back, 0x0020, 0x000D).value);
    }

    // Writing nested sequences: tst_stamping's validated files.
    void sequencesNestAndReplace()
    {
        const ToolkitImagePtr img = ReadImage(make(QStringLiteral("s.dcm")));
        ToolkitDataSet modifier = NewDataSet();
        QVERIFY(SetAttribute(modifier, 0x0008, 0x0100, QStringLiteral("R-102D6")));
        ToolkitDataSet code = NewDataSet();
        QVERIFY(SetAttribute(code, 0x0054, 0x0222, NewSequence({modifier}))); // view modifier inside the view code
        QVERIFY(SetAttribute(img, 0x0054, 0x0220, NewSequence({code, NewDataSet()})));
        QVERIFY(!SetAttribute(img, 0x0010, 0x0010, NewSequence({code}))); // not a sequence attribute
        QCOMPARE(GetSequence(img, 0x0054, 0x0220).size(), 2);
        const ToolkitSequence inner = GetSequence(GetSequence(img, 0x0054, 0x0220).at(0), 0x0054, 0x0222);
        QCOMPARE(inner.size(), 1);
        QCOMPARE(GetAttribute(inner.at(0), 0x0008, 0x0100).value, QStringLiteral("R-102D6"));

        // Replacing the sequence drops the old items; items read from it edit the image.
        QVERIFY(SetAttribute(img, 0x0054, 0x0220, NewSequence({modifier})));
        ToolkitSequence now = GetSequence(img, 0x0054, 0x0220);
        QCOMPARE(now.size(), 1);
        QVERIFY(SetAttribute(now[0], 0x0008, 0x0104, QStringLiteral("cranio-caudal")));
        QCOMPARE(GetAttribute(GetSequence(img, 0x0054, 0x0220).at(0), 0x0008, 0x0104).value, QStringLiteral("cranio-caudal"));
    }

    void writingOverItsOwnFileKeepsThePixels()
    {
        // The pixel data is read from the file lazily: replacing that file must not lose it.
        SyntheticImageSpec spec;
        spec.rows = 400;
        spec.columns = 300;
        const QString path = make(QStringLiteral("own.dcm"), spec);
        const ToolkitImagePtr img = ReadImage(path);
        const QImage before = RenderImage(img, QSize(100, 100));
        QVERIFY(SetAttribute(img, 0x0010, 0x0020, QStringLiteral("NEWID")));
        QVERIFY(WriteDicomFile(img, path));
        QVERIFY(!QFile::exists(path + QStringLiteral(".part") + QString::number(QCoreApplication::applicationPid())));
        const ToolkitImagePtr back = ReadImage(path);
        QVERIFY(back);
        QCOMPARE(GetAttribute(back, 0x0010, 0x0020).value, QStringLiteral("NEWID"));
        QCOMPARE(RenderImage(back, QSize(100, 100)), before);
        QVERIFY(!WriteDicomFile(img, folder_.file(QStringLiteral("no/such/dir/x.dcm"))));
        QVERIFY(!WriteDicomFile(nullptr, folder_.file(QStringLiteral("y.dcm"))));
    }

    void newUidsAreUniqueAndValid()
    {
        static const QRegularExpression form(QStringLiteral("^[1-9][0-9]*(\\.(0|[1-9][0-9]*))+$"));
        for (QString (*generate)() : {&NewUid, &NewSyntheticUid}) {
            QSet<QString> seen;
            for (int i = 0; i < 2000; ++i) {
                const QString uid = generate();
                QVERIFY(uid.size() <= 64);
                QVERIFY2(form.match(uid).hasMatch(), qPrintable(uid));
                seen.insert(uid);
            }
            QCOMPARE(seen.size(), 2000);
        }
    }

    void badFilesAreRefusedAndLeaveTheListAlone()
    {
        ToolkitImageList list;
        QVERIFY(ReadFileIntoList(list, make(QStringLiteral("good.dcm"))));
        ToolkitError e;
        QVERIFY(!ReadFileIntoList(list, folder_.file(QStringLiteral("missing.dcm")), &e));
        QCOMPARE(e.number, ToolkitErrors::FileMissing);

        folder_.write(QStringLiteral("text.dcm"), QByteArray("this is a radiology report, not an image\n").repeated(50));
        e = {};
        QVERIFY(!ReadFileIntoList(list, folder_.file(QStringLiteral("text.dcm")), &e));
        QVERIFY(e.number != 0 && !e.text.isEmpty());

        // Cut in the middle of the pixel data.
        QByteArray whole = folder_.read(QStringLiteral("good.dcm"));
        folder_.write(QStringLiteral("cut.dcm"), whole.left(whole.size() * 2 / 3));
        e = {};
        QVERIFY(!ReadFileIntoList(list, folder_.file(QStringLiteral("cut.dcm")), &e));
        QVERIFY(!e.text.isEmpty());

        // JPEG 2000 multi-component: no decoder here.
        SyntheticImageSpec ls;
        ls.encoding = SyntheticImageSpec::Encoding::JpegLs;
        const QString j2k = make(QStringLiteral("j2k.dcm"), ls);
        QByteArray bytes = folder_.read(QStringLiteral("j2k.dcm"));
        QVERIFY(bytes.contains("1.2.840.10008.1.2.4.80"));
        bytes.replace("1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.92"); // same length
        folder_.write(QStringLiteral("j2k.dcm"), bytes);
        e = {};
        QVERIFY(!ReadFileIntoList(list, j2k, &e));
        QCOMPARE(e.number, ToolkitErrors::NoPixels);
        QCOMPARE(ListCount(list), 1);
        QVERIFY(!ListItem(list, 0) && !ListItem(list, 2));
        ListClear(list);
        QCOMPARE(ListCount(list), 0);

        const ToolkitImagePtr none = UnreadableImage(j2k);
        QVERIFY(!none->isValid());
        QVERIFY(ImageUid(none).isEmpty());
        QVERIFY(RenderImage(none, QSize(10, 10)).isNull());
        QVERIFY(!GetAttribute(none, 0x0010, 0x0010).exists);
    }

    // Per stored form: the transfer syntax dcmdump reads, DCMTK's decoders
    // giving the very picture of a plain MONOCHROME2 file (lossless, polarity
    // kept), and the toolkit's picture the right way round.
    void encodingsDecodeAndKeepPolarity_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<bool>("monochrome1");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QString>("syntax");
        using E = SyntheticImageSpec::Encoding;
        const QString explicitLe = QStringLiteral("1.2.840.10008.1.2.1");
        QTest::newRow("explicit MONOCHROME2 12") << int(E::ExplicitLittle) << false << 12 << explicitLe;
        QTest::newRow("explicit MONOCHROME1 16") << int(E::ExplicitLittle) << true << 16 << explicitLe;
        QTest::newRow("explicit MONOCHROME1 8") << int(E::ExplicitLittle) << true << 8 << explicitLe;
        QTest::newRow("implicit MONOCHROME1 12") << int(E::ImplicitLittle) << true << 12 << QStringLiteral("1.2.840.10008.1.2");
        QTest::newRow("JPEG lossless MONOCHROME1 12") << int(E::JpegLossless) << true << 12 << QStringLiteral("1.2.840.10008.1.2.4.70");
        QTest::newRow("JPEG lossless MONOCHROME2 16") << int(E::JpegLossless) << false << 16 << QStringLiteral("1.2.840.10008.1.2.4.70");
        QTest::newRow("JPEG-LS MONOCHROME2 12") << int(E::JpegLs) << false << 12 << QStringLiteral("1.2.840.10008.1.2.4.80");
        QTest::newRow("RLE MONOCHROME1 16") << int(E::Rle) << true << 16 << QStringLiteral("1.2.840.10008.1.2.5");
    }
    void encodingsDecodeAndKeepPolarity()
    {
        QFETCH(int, encoding);
        QFETCH(bool, monochrome1);
        QFETCH(int, bits);
        QFETCH(QString, syntax);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
        SyntheticImageSpec spec;
        spec.bitsStored = bits;
        spec.laterality = QStringLiteral("R"); // chest wall on the left
        spec.sopUid = NewSyntheticUid();
        const QString plain = make(tag + QStringLiteral("-plain.dcm"), spec);
        spec.encoding = SyntheticImageSpec::Encoding(encoding);
        spec.monochrome1 = monochrome1;
        const QString packed = make(tag + QStringLiteral(".dcm"), spec);
        QCOMPARE(DumpTag(packed, QStringLiteral("0002,0010")), syntax);
        const QByteArray reference = dcmtkPicture(plain, QStringLiteral("dcmj2pnm"));
        QVERIFY2(reference.startsWith("P5"), reference.left(200).constData());
        const bool jpegLs = spec.encoding == SyntheticImageSpec::Encoding::JpegLs;
        QVERIFY(dcmtkPicture(packed, jpegLs ? QStringLiteral("dcml2pnm") : QStringLiteral("dcmj2pnm")) == reference);

        const ToolkitImagePtr img = ReadImage(packed);
        QVERIFY(img);
        ToolkitError e;
        const QImage pic = RenderImage(img, QSize(96, 96), &e);
        QVERIFY2(!pic.isNull(), qPrintable(e.text));
        QCOMPARE(pic.size(), QSize(72, 96)); // 256 x 192 fitted, the aspect kept
        // The marker (top left) white, the air (top right) black, the breast grey to bright.
        const double marker = meanGrey(pic, {0.0, 0.0, 0.08, 0.08});
        QVERIFY2(marker > 230, qPrintable(QString::number(marker)));
        QVERIFY(meanGrey(pic, {0.9, 0.0, 0.1, 0.1}) < 25);
        const double tissue = meanGrey(pic, {0.05, 0.45, 0.2, 0.1});
        QVERIFY2(tissue > 100 && tissue < 250, qPrintable(QString::number(tissue)));
        QCOMPARE(RenderImage(img, QSize()).size(), QSize(192, 256));
    }

    void quickPathMatchesDcmtk_data()
    {
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("monochrome1");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("rescaled");
        QTest::newRow("16 bit MONOCHROME1 thumbnail") << 16 << true << QSize(60, 80) << false;
        QTest::newRow("12 bit MONOCHROME2 odd size") << 12 << false << QSize(77, 53) << false;
        QTest::newRow("8 bit full size") << 8 << false << QSize() << false;
        QTest::newRow("rescaled MONOCHROME1") << 12 << true << QSize(100, 100) << true;
    }
    void quickPathMatchesDcmtk()
    {
        QFETCH(int, bits);
        QFETCH(bool, monochrome1);
        QFETCH(QSize, size);
        QFETCH(bool, rescaled);
        SyntheticImageSpec spec;
        spec.rows = 600;
        spec.columns = 470;
        spec.bitsStored = bits;
        spec.monochrome1 = monochrome1;
        if (rescaled)
            spec.extra = {{QStringLiteral("0028,1053"), QStringLiteral("2")}, {QStringLiteral("0028,1052"), QStringLiteral("-100")},
                          {QStringLiteral("0028,1050"), QStringLiteral("3000")}, {QStringLiteral("0028,1051"), QStringLiteral("5000")}};
        const ToolkitImagePtr img = ReadImage(make(QStringLiteral("q%1.dcm").arg(QTest::currentDataTag()), spec));
        ToolkitError e;
        const QImage quick = RunRenderJob(MakeRenderJob(img, size), &e);
        const QImage exact = RunRenderJob(MakeRenderJob(img, size, true), &e);
        QVERIFY2(!quick.isNull() && !exact.isNull(), qPrintable(e.text));
        QCOMPARE(quick.size(), exact.size());
        double total = 0;
        int worst = 0;
        for (int y = 0; y < quick.height(); ++y)
            for (int x = 0; x < quick.width(); ++x) {
                const int d = std::abs(qGray(quick.pixel(x, y)) - qGray(exact.pixel(x, y)));
                total += d;
                worst = std::max(worst, d);
            }
        const double mean = total / (quick.width() * quick.height());
        QVERIFY2(mean < 1.5, qPrintable(QStringLiteral("mean %1 worst %2").arg(mean).arg(worst)));
        QVERIFY2(worst < 60, qPrintable(QStringLiteral("mean %1 worst %2").arg(mean).arg(worst)));
    }

    void windowFromTheImageOrComputed()
    {
        SyntheticImageSpec spec;
        spec.bitsStored = 12;
        spec.laterality = QStringLiteral("R");
        const ToolkitImagePtr img = ReadImage(make(QStringLiteral("w.dcm"), spec));
        ToolkitWindow w = ImageWindow(img);
        QVERIFY(w.valid && !w.computed);
        QCOMPARE(w.center, 2048.0);
        QCOMPARE(w.width, 4096.0);

        QVERIFY(RemoveAttribute(img, 0x0028, 0x1050));
        QVERIFY(RemoveAttribute(img, 0x0028, 0x1051));
        const QString out = folder_.file(QStringLiteral("w-out.dcm"));
        QVERIFY(WriteDicomFile(img, out));
        w = ImageWindow(ReadImage(out));
        QVERIFY(w.valid && w.computed);
        // min/max of the pixels without the extremes (air 0, marker 4095)
        QVERIFY2(w.width > 1000 && w.width < 4095, qPrintable(QString::number(w.width)));
        QVERIFY(w.center - w.width / 2 >= 0 && w.center + w.width / 2 <= 4095);
        const QImage pic = RenderImage(ReadImage(out), QSize(96, 96)); // rendered through that window
        QVERIFY(meanGrey(pic, {0.0, 0.0, 0.08, 0.08}) > 230);
        QVERIFY(meanGrey(pic, {0.9, 0.0, 0.1, 0.1}) < 25);
    }
};

QTEST_GUILESS_MAIN(ToolkitTest)
#include "tst_toolkit.moc"
