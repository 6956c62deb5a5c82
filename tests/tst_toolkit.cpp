// The toolkit operations on synthetic images: attributes, sequences, SOP class,
// writing and reading back, UIDs, bad files and rendering.
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

} // namespace

class ToolkitTest : public QObject {
    Q_OBJECT

    TestFolder folder_;

    QString make(const QString &name, SyntheticImageSpec spec = {})
    {
        const QString path = folder_.file(name);
        QString error;
        if (!WriteSyntheticImage(spec, path, &error))
            qWarning() << error;
        return path;
    }
    static ToolkitImagePtr read(const QString &path)
    {
        ToolkitImageList list;
        ToolkitError e;
        if (!ReadFileIntoList(list, path, &e))
            qWarning() << e.text;
        return ListItem(list, 1);
    }
    static QString dump(const QString &path)
    {
        QByteArray out;
        RunProgram(QStringLiteral("dcmdump"), {QStringLiteral("+L"), path}, &out);
        return QString::fromUtf8(out);
    }

private slots:
    void attributesRoundTripThroughAFile()
    {
        SyntheticImageSpec spec;
        spec.patientName = QStringLiteral("O'Brien^Mary");
        const ToolkitImagePtr img = read(make(QStringLiteral("a.dcm"), spec));
        QVERIFY(img && img->isValid());
        QCOMPARE(GetAttribute(img, 0x0010, 0x0010).value, QStringLiteral("O'Brien^Mary"));
        QVERIFY(!GetAttribute(img, 0x0010, 0x1030).exists); // weight: absent
        QVERIFY(GetAttribute(img, 0x0010, 0x1030).value.isEmpty());

        QVERIFY(SetAttribute(img, 0x0018, 0x0060, QStringLiteral("28")));        // replaces nothing: new
        QVERIFY(SetAttribute(img, 0x0010, 0x0010, QStringLiteral("Roe^Anna"))); // replaces
        QVERIFY(SetAttribute(img, 0x0020, 0x0013, qint16(7)));                  // IS: written as text
        QVERIFY(SetAttribute(img, 0x0028, 0x0006, qint16(1)));                  // US: binary
        QVERIFY(SetAttribute(img, 0x0009, 0x1010, QStringLiteral("private")));  // unknown tag: text
        QVERIFY(RemoveAttribute(img, 0x0010, 0x0030));
        QVERIFY(!RemoveAttribute(img, 0x0010, 0x0030));

        const QString out = folder_.file(QStringLiteral("a-out.dcm"));
        ToolkitError e;
        QVERIFY2(WriteDicomFile(img, out, &e), qPrintable(e.text));
        const ToolkitImagePtr back = read(out);
        QVERIFY(back);
        QCOMPARE(GetAttribute(back, 0x0018, 0x0060).value, QStringLiteral("28"));
        QCOMPARE(GetAttribute(back, 0x0010, 0x0010).value, QStringLiteral("Roe^Anna"));
        QCOMPARE(GetAttribute(back, 0x0020, 0x0013).value, QStringLiteral("7"));
        QCOMPARE(GetAttribute(back, 0x0009, 0x1010).value, QStringLiteral("private"));
        QVERIFY(!GetAttribute(back, 0x0010, 0x0030).exists);
        const QString text = dump(out);
        QVERIFY2(text.contains(QRegularExpression(QStringLiteral("\\(0028,0006\\) US 1 "))), qPrintable(text.left(3000)));
        QVERIFY(text.contains(QRegularExpression(QStringLiteral("\\(0020,0013\\) IS \\[7\\]"))));

        const ToolkitPatient p = ImagePatient(back);
        QCOMPARE(p.name, QStringLiteral("Roe^Anna"));
        QCOMPARE(p.id, spec.patientId);
        QVERIFY(p.birthDate.isEmpty());
        QCOMPARE(p.sex, QStringLiteral("F"));
        QCOMPARE(p.exportKey, GetAttribute(back, 0x0020, 0x000D).value);
    }

    void multiValuedText()
    {
        const ToolkitImagePtr img = read(make(QStringLiteral("m.dcm")));
        const ToolkitAttribute type = GetAttribute(img, 0x0008, 0x0008);
        QCOMPARE(type.value, QStringLiteral("ORIGINAL|PRIMARY"));
        QVERIFY(type.isMultiValued());
        QCOMPARE(type.valueAt(1), QStringLiteral("ORIGINAL"));
        QCOMPARE(type.valueAt(2), QStringLiteral("PRIMARY"));
        QVERIFY(type.valueAt(3).isEmpty());
        QVERIFY(type.valueAt(0).isEmpty());
        QVERIFY(!GetAttribute(img, 0x0010, 0x0020).isMultiValued());

        QVERIFY(SetAttribute(img, 0x0008, 0x0008, QStringLiteral("DERIVED|SECONDARY|POST")));
        const QString out = folder_.file(QStringLiteral("m-out.dcm"));
        QVERIFY(WriteDicomFile(img, out));
        QVERIFY(dump(out).contains(QStringLiteral("[DERIVED\\SECONDARY\\POST]")));
        QCOMPARE(GetAttribute(read(out), 0x0008, 0x0008).values.size(), 3);
    }

    void sequencesNestAndSurviveWriting()
    {
        const ToolkitImagePtr img = read(make(QStringLiteral("s.dcm")));
        ToolkitDataSet modifier = NewDataSet();
        QVERIFY(SetAttribute(modifier, 0x0008, 0x0100, QStringLiteral("R-102D6")));
        ToolkitDataSet code = NewDataSet();
        QVERIFY(SetAttribute(code, 0x0008, 0x0100, QStringLiteral("R-10226")));
        QVERIFY(SetAttribute(code, 0x0008, 0x0102, QStringLiteral("SRT")));
        QVERIFY(SetAttribute(code, 0x0054, 0x0222, NewSequence({modifier}))); // view modifier inside the view code
        QVERIFY(SetAttribute(img, 0x0054, 0x0220, NewSequence({code, NewDataSet()})));
        QVERIFY(!SetAttribute(img, 0x0010, 0x0010, NewSequence({code}))); // not a sequence attribute

        const QString out = folder_.file(QStringLiteral("s-out.dcm"));
        QVERIFY(WriteDicomFile(img, out));
        const ToolkitImagePtr back = read(out);
        const ToolkitSequence items = GetSequence(back, 0x0054, 0x0220);
        QCOMPARE(items.size(), 2);
        QCOMPARE(GetAttribute(items.at(0), 0x0008, 0x0100).value, QStringLiteral("R-10226"));
        QCOMPARE(GetAttribute(items.at(0), 0x0008, 0x0102).value, QStringLiteral("SRT"));
        const ToolkitSequence inner = GetSequence(items.at(0), 0x0054, 0x0222);
        QCOMPARE(inner.size(), 1);
        QCOMPARE(GetAttribute(inner.at(0), 0x0008, 0x0100).value, QStringLiteral("R-102D6"));
        QVERIFY(GetAttribute(back, 0x0054, 0x0220).exists);

        // Replacing the sequence drops the old items; items read from it edit the image.
        QVERIFY(SetAttribute(back, 0x0054, 0x0220, NewSequence({modifier})));
        ToolkitSequence now = GetSequence(back, 0x0054, 0x0220);
        QCOMPARE(now.size(), 1);
        QVERIFY(SetAttribute(now[0], 0x0008, 0x0104, QStringLiteral("cranio-caudal")));
        QCOMPARE(GetAttribute(GetSequence(back, 0x0054, 0x0220).at(0), 0x0008, 0x0104).value, QStringLiteral("cranio-caudal"));
    }

    void sopClassChangeReachesFileMeta()
    {
        const ToolkitImagePtr img = read(make(QStringLiteral("c.dcm")));
        const QString dx = QStringLiteral("1.2.840.10008.5.1.4.1.1.1.1");
        QVERIFY(SetImageSopClass(img, dx));
        QCOMPARE(ImageSopClass(img), dx);
        const QString out = folder_.file(QStringLiteral("c-out.dcm"));
        QVERIFY(WriteDicomFile(img, out));
        const QString text = dump(out);
        QVERIFY(text.contains(QRegularExpression(QStringLiteral("\\(0002,0002\\) UI =DigitalXRayImageStorageForPresentation"))));
        QVERIFY(text.contains(QRegularExpression(QStringLiteral("\\(0008,0016\\) UI =DigitalXRayImageStorageForPresentation"))));
        QCOMPARE(ImageUid(read(out)), ImageUid(img));
    }

    void writingOverItsOwnFileKeepsThePixels()
    {
        // The pixel data is read from the file lazily: replacing that file must not lose it.
        SyntheticImageSpec spec;
        spec.rows = 400;
        spec.columns = 300;
        const QString path = make(QStringLiteral("own.dcm"), spec);
        const ToolkitImagePtr img = read(path);
        const QImage before = RenderImage(img, QSize(100, 100));
        QVERIFY(SetAttribute(img, 0x0010, 0x0020, QStringLiteral("NEWID")));
        QVERIFY(WriteDicomFile(img, path));
        QVERIFY(!QFile::exists(path + QStringLiteral(".part") + QString::number(QCoreApplication::applicationPid())));
        const ToolkitImagePtr back = read(path);
        QVERIFY(back);
        QCOMPARE(GetAttribute(back, 0x0010, 0x0020).value, QStringLiteral("NEWID"));
        QCOMPARE(RenderImage(back, QSize(100, 100)), before);
        QVERIFY(!WriteDicomFile(img, folder_.file(QStringLiteral("no/such/dir/x.dcm"))));
        QVERIFY(!WriteDicomFile(nullptr, folder_.file(QStringLiteral("y.dcm"))));
    }

    void newUidsAreUniqueAndValid()
    {
        QSet<QString> seen;
        static const QRegularExpression form(QStringLiteral("^[1-9][0-9]*(\\.(0|[1-9][0-9]*))+$"));
        for (int i = 0; i < 2000; ++i) {
            const QString uid = NewUid();
            QVERIFY(uid.size() <= 64);
            QVERIFY2(form.match(uid).hasMatch(), qPrintable(uid));
            seen.insert(uid);
        }
        QCOMPARE(seen.size(), 2000);
    }

    void listOperations()
    {
        ToolkitImageList list;
        QStringList uids;
        for (int i = 0; i < 3; ++i) {
            SyntheticImageSpec spec;
            spec.instanceNumber = i + 1;
            QVERIFY(ReadFileIntoList(list, make(QStringLiteral("l%1.dcm").arg(i), spec)));
            uids << ImageUid(ListItem(list, i + 1));
        }
        QCOMPARE(ListCount(list), 3);
        QVERIFY(!ListItem(list, 0) && !ListItem(list, 4));
        QVERIFY(ListRemove(list, uids.at(1)));
        QVERIFY(!ListRemove(list, uids.at(1)));
        QCOMPARE(ListCount(list), 2);
        QCOMPARE(ImageUid(ListItem(list, 2)), uids.at(2));
        ListAppend(list, ListItem(list, 1));
        QCOMPARE(ListCount(list), 3);
        ListClear(list);
        QCOMPARE(ListCount(list), 0);
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

        // JPEG 2000: no decoder here.
        SyntheticImageSpec ls;
        ls.encoding = SyntheticImageSpec::Encoding::JpegLs;
        const QString j2k = make(QStringLiteral("j2k.dcm"), ls);
        QByteArray bytes = folder_.read(QStringLiteral("j2k.dcm"));
        QVERIFY(bytes.contains("1.2.840.10008.1.2.4.80"));
        bytes.replace("1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.90"); // same length
        folder_.write(QStringLiteral("j2k.dcm"), bytes);
        e = {};
        QVERIFY(!ReadFileIntoList(list, j2k, &e));
        QCOMPARE(e.number, ToolkitErrors::NoPixels);
        QCOMPARE(ListCount(list), 1);

        const ToolkitImagePtr none = UnreadableImage(j2k);
        QVERIFY(!none->isValid());
        QVERIFY(ImageUid(none).isEmpty());
        QVERIFY(RenderImage(none, QSize(10, 10)).isNull());
        QVERIFY(!GetAttribute(none, 0x0010, 0x0010).exists);
    }

    void renderingKeepsPolarityAcrossEncodings_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<bool>("monochrome1");
        QTest::addColumn<int>("bits");
        using E = SyntheticImageSpec::Encoding;
        QTest::newRow("explicit MONOCHROME2 12") << int(E::ExplicitLittle) << false << 12;
        QTest::newRow("explicit MONOCHROME1 16") << int(E::ExplicitLittle) << true << 16;
        QTest::newRow("implicit MONOCHROME1 12") << int(E::ImplicitLittle) << true << 12;
        QTest::newRow("8 bit") << int(E::ExplicitLittle) << false << 8;
        QTest::newRow("JPEG lossless MONOCHROME1") << int(E::JpegLossless) << true << 12;
        QTest::newRow("JPEG-LS") << int(E::JpegLs) << false << 12;
        QTest::newRow("RLE MONOCHROME1") << int(E::Rle) << true << 16;
    }
    void renderingKeepsPolarityAcrossEncodings()
    {
        QFETCH(int, encoding);
        QFETCH(bool, monochrome1);
        QFETCH(int, bits);
        SyntheticImageSpec spec;
        spec.encoding = SyntheticImageSpec::Encoding(encoding);
        spec.monochrome1 = monochrome1;
        spec.bitsStored = bits;
        spec.laterality = QStringLiteral("R"); // chest wall on the left
        const ToolkitImagePtr img = read(make(QStringLiteral("r%1.dcm").arg(QTest::currentDataTag()), spec));
        QVERIFY(img);
        ToolkitError e;
        const QImage pic = RenderImage(img, QSize(96, 96), &e);
        QVERIFY2(!pic.isNull(), qPrintable(e.text));
        // 256 x 192 fitted into 96 x 96 keeps the aspect.
        QCOMPARE(pic.size(), QSize(72, 96));
        // The marker (top left) is white, the air (top right) black, the breast grey to bright,
        // whatever the encoding or polarity.
        QVERIFY2(meanGrey(pic, {0.0, 0.0, 0.08, 0.08}) > 230, qPrintable(QString::number(meanGrey(pic, {0.0, 0.0, 0.08, 0.08}))));
        QVERIFY(meanGrey(pic, {0.9, 0.0, 0.1, 0.1}) < 25);
        const double tissue = meanGrey(pic, {0.05, 0.45, 0.2, 0.1});
        QVERIFY2(tissue > 100 && tissue < 250, qPrintable(QString::number(tissue)));

        const QImage full = RenderImage(img, QSize());
        QCOMPARE(full.size(), QSize(192, 256));
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
        const ToolkitImagePtr img = read(make(QStringLiteral("q%1.dcm").arg(QTest::currentDataTag()), spec));
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
        const ToolkitImagePtr img = read(make(QStringLiteral("w.dcm"), spec));
        ToolkitWindow w = ImageWindow(img);
        QVERIFY(w.valid && !w.computed);
        QCOMPARE(w.center, 2048.0);
        QCOMPARE(w.width, 4096.0);

        QVERIFY(RemoveAttribute(img, 0x0028, 0x1050));
        QVERIFY(RemoveAttribute(img, 0x0028, 0x1051));
        const QString out = folder_.file(QStringLiteral("w-out.dcm"));
        QVERIFY(WriteDicomFile(img, out));
        w = ImageWindow(read(out));
        QVERIFY(w.valid && w.computed);
        // min/max of the pixels without the extremes (air 0, marker 4095)
        QVERIFY2(w.width > 1000 && w.width < 4095, qPrintable(QString::number(w.width)));
        QVERIFY(w.center - w.width / 2 >= 0 && w.center + w.width / 2 <= 4095);
        const QImage pic = RenderImage(read(out), QSize(96, 96));
        QVERIFY(meanGrey(pic, {0.0, 0.0, 0.08, 0.08}) > 230);
        QVERIFY(meanGrey(pic, {0.9, 0.0, 0.1, 0.1}) < 25);
    }
};

QTEST_GUILESS_MAIN(ToolkitTest)
#include "tst_toolkit.moc"
