// Stamping: the projection table, the fixed attributes of a mammogram for
// presentation, the exposure values in their attributes' forms, the image keys
// of each unit type, and dciodvfy's verdict on what is written.
#include "acquisition/Stamping.h"
#include "exposure/ExposureDecoders.h"
#include "support/Dicom.h"
#include "support/SendJob.h"
#include "support/Station.h"
#include "toolkit/SyntheticImage.h"

#include <QtTest>

namespace {

// A lean detector header: a digital X-ray image with what a detector must
// send, its Type 2 attributes left out, and the series laterality.
ToolkitImagePtr makeImage(const TestFolder &f, const QString &view, const QString &laterality, bool mono1 = false, bool lean = false,
                          SyntheticImageSpec::Encoding encoding = SyntheticImageSpec::Encoding::ExplicitLittle)
{
    SyntheticImageSpec spec;
    spec.rows = 64;
    spec.columns = 48;
    spec.viewPosition = view;
    spec.laterality = laterality;
    spec.monochrome1 = mono1;
    spec.encoding = encoding;
    spec.extra = {{QStringLiteral("0018,5100"), QStringLiteral("HFS")}};
    if (lean) {
        spec.sopClassUid = QStringLiteral("1.2.840.10008.5.1.4.1.1.1.1");
        spec.modality = QStringLiteral("DX");
        spec.extra << qMakePair(QStringLiteral("0020,0060"), laterality);
        spec.omit = QStringList{"0040,0555", "0008,2218", "0018,1508", "2050,0020", "0020,0020", "0010,0030", "0010,0040",
                                "0008,0020", "0008,0030", "0020,0010", "0008,0050", "0008,0090", "0020,0011", "0008,0070"};
    }
    const QString path = f.file(NewSyntheticUid() + QStringLiteral(".dcm"));
    if (!WriteSyntheticImage(spec, path))
        return {};
    ToolkitImageList list;
    if (!ReadFileIntoList(list, path))
        return {};
    return ListItem(list, 1);
}

QString value(const ToolkitImagePtr &image, quint16 g, quint16 e) { return GetAttribute(image, g, e).value; }

// "gggg,eeee=value" of each expected entry, read from the image.
QStringList values(const ToolkitImagePtr &image, const QStringList &expected)
{
    QStringList actual;
    for (const QString &entry : expected) {
        const QString tag = entry.section(QLatin1Char('='), 0, 0);
        actual << tag + QLatin1Char('=') + value(image, tag.left(4).toUShort(nullptr, 16), tag.mid(5).toUShort(nullptr, 16));
    }
    return actual;
}

QString viewCode(const ToolkitImagePtr &image)
{
    const ToolkitSequence items = GetSequence(image, 0x0054, 0x0220);
    return items.isEmpty() ? QString() : GetAttribute(items.first(), 0x0008, 0x0100).value;
}

} // namespace

class StampingTest : public QObject {
    Q_OBJECT

private slots:
    void init() { RememberedSide.clear(); }

    void projectionTable_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("laterality"); // of the detector's image
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("orientation");
        QTest::addColumn<QString>("side");
        QTest::newRow("R CC") << "R CC" << "" << "R-10242" << "P|L" << "R";
        QTest::newRow("lld") << "lld" << "" << "R-10242" << "A|R" << "L";
        QTest::newRow("RLO") << "RLO" << "" << "R-10226" << "P|FL" << "R";
        QTest::newRow("MLO-L") << "MLO-L" << "" << "R-10226" << "A|FR" << "L";
        QTest::newRow("CC with laterality R") << "CC" << "R" << "R-10242" << "P|L" << "R";
        QTest::newRow("MLO with laterality L") << "MLO" << "L" << "R-10226" << "A|FR" << "L";
    }
    void projectionTable()
    {
        QFETCH(QString, view);
        QFETCH(QString, laterality);
        QFETCH(QString, code);
        QFETCH(QString, orientation);
        QFETCH(QString, side);
        TestFolder f;
        ToolkitImagePtr image = makeImage(f, view, laterality.isEmpty() ? QStringLiteral("L") : laterality);
        QVERIFY(image);
        RemoveAttribute(image, 0x0020, 0x0062);
        if (!laterality.isEmpty())
            SetAttribute(image, 0x0020, 0x0060, laterality);
        QVERIFY(ModifyImage(image, {}));
        QCOMPARE(viewCode(image), code);
        QCOMPARE(value(image, 0x0020, 0x0020), orientation);
        QCOMPARE(value(image, 0x0020, 0x0062), side);
        QVERIFY(!GetAttribute(image, 0x0020, 0x0060).exists);
    }

    void mlAsksForTheSide()
    {
        TestFolder f;
        ToolkitImagePtr image = makeImage(f, QStringLiteral("ml"), QStringLiteral("L"));
        int asked = 0;
        QVERIFY(ModifyImage(image, [&](const ToolkitImagePtr &) {
            ++asked;
            return QStringLiteral("R");
        }));
        QCOMPARE(asked, 1);
        const QStringList expected{"0018,5101=R ML", "0020,0020=P|F", "0020,0062=R"};
        QCOMPARE(values(image, expected), expected);
        QCOMPARE(viewCode(image), QStringLiteral("R-10224"));
        QCOMPARE(RememberedSide, QStringLiteral("R"));

        // A later image whose side cannot be found inherits it.
        ToolkitImagePtr next = makeImage(f, QStringLiteral("CC"), QStringLiteral("L"));
        RemoveAttribute(next, 0x0020, 0x0062);
        QVERIFY(ModifyImage(next, {}));
        QCOMPARE(value(next, 0x0020, 0x0062), QStringLiteral("R"));
        QCOMPARE(value(next, 0x0020, 0x0020), QString());
    }

    void fixedAttributesEvenWithoutAView()
    {
        TestFolder f;
        ToolkitImagePtr image = makeImage(f, QString(), QStringLiteral("L"));
        RemoveAttribute(image, 0x0018, 0x5101);
        SetImageSopClass(image, QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2.1")); // for processing
        QVERIFY(ModifyImage(image, {}));
        QCOMPARE(ImageSopClass(image), QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"));
        const ToolkitSequence region = GetSequence(image, 0x0008, 0x2218);
        QCOMPARE(region.size(), 1);
        QCOMPARE(GetAttribute(region.first(), 0x0008, 0x0100).value, QStringLiteral("T-04000"));
        QCOMPARE(GetAttribute(region.first(), 0x0008, 0x0104).value, QStringLiteral("Breast"));
        const QStringList expected{"0008,0060=MG", "0008,0068=FOR PRESENTATION", "0018,1508=MAMMOGRAPHIC", "0018,7004=DIRECT",
                                   "0028,1041=1", "0040,0318=BREAST", "2050,0020=IDENTITY"};
        QCOMPARE(values(image, expected), expected);
        QVERIFY(!GetAttribute(image, 0x0018, 0x5100).exists); // patient position goes

        // The presentation LUT follows the photometric interpretation.
        ToolkitImagePtr mono1 = makeImage(f, QStringLiteral("R MLO"), QStringLiteral("R"), true);
        QVERIFY(ModifyImage(mono1, {}));
        QCOMPARE(value(mono1, 0x2050, 0x0020), QStringLiteral("INVERSE"));
    }

    // Each unit type's message through its decoder and stamping: only reported
    // values reach the header, each in its attribute's unit; what the unit did
    // not report leaves the detector's own value (here Exposure Time 777 and
    // Entrance Dose 0.5).
    void decodedExposuresInTheAttributesUnits_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("Sophie: s, kg and a dose with its unit")
            << int(UnitSophie)
            << QStringLiteral("\x02SOPHIE V3\r\nName: 2005-03-17 10:22:31 W/Rh LCC AEC Grid 28kV 63mAs 1.25s 0 12kg 4.5cm 1.61mGy\r\n")
            << QStringList{"0018,0060=28", "0018,1150=1250", "0018,1152=63", "0018,11A0=45", "0018,11A2=117.6798", "0040,8302=1.61"};
        QTest::newRow("Lorad M4: cm, and no exposure time")
            << int(UnitLoradM4)
            << QStringLiteral("M4|0017|LCC|AEC|Mo/Mo|Grid|06.12.26|14:05|x|y|28 kV|z|63 mAs|a|b|c|d|120 N|4.5 cm|e|f|1.23 mGy|\r\n")
            << QStringList{"0018,0060=28", "0018,1150=777", "0018,1152=63", "0018,11A0=45", "0018,11A2=120", "0040,8302=1.23"};
        QTest::newRow("GE Senograph: a dose of 0")
            << int(UnitGESeno) << QStringLiteral("ABCDEF028100 450ms12 45mm 0 DIGITAL\r\n")
            << QStringList{"0018,0060=28", "0018,1150=450", "0018,1152=100", "0018,11A0=45", "0018,11A2=12", "0040,8302=0.5"};
        QTest::newRow("SM 1000")
            << int(UnitHFE) << QStringLiteral("SM 1000 V2.1\r\n0.98 mGy W/Rh 28 kV 80 mAs AEC\r\n 2 Grid 450LF ms 45 mm Comp 120 N\r\n*\r\n")
            << QStringList{"0018,0060=28", "0018,1150=450", "0018,1152=80", "0018,11A0=45", "0018,11A2=120", "0040,8302=0.98"};
    }
    void decodedExposuresInTheAttributesUnits()
    {
        QFETCH(int, unit);
        QFETCH(QString, message);
        QFETCH(QStringList, expected);
        DecoderInput in;
        in.unitType = qint16(unit);
        in.buffer = message;
        in.locale = QLocale(QLocale::German, QLocale::Germany);
        in.now = QDateTime(QDate(2026, 12, 6), QTime(14, 5, 9));
        const DecoderOutput out = DecodeExposure(in);
        QVERIFY(out.record);
        const ExposureRecord &r = *out.record;
        const ExposureValues v{r.KVP.value_or(QString()), r.ma.value_or(QString()), r.Dicke.value_or(QString()),
                               r.Druck.value_or(QString()), r.mGy.value_or(QString()), r.Sonstiges.value_or(QString())};
        const HeaderExposureValues header = ExposureValuesForHeader(qint16(unit), v, r.expZeit.value_or(QString()));
        QCOMPARE(header.notNumbers, QStringList());

        TestFolder f;
        ToolkitImagePtr image = makeImage(f, QStringLiteral("CC"), QStringLiteral("L"));
        SetAttribute(image, 0x0018, 0x1150, QStringLiteral("777"));
        SetAttribute(image, 0x0040, 0x8302, QStringLiteral("0.5"));
        QVERIFY(WriteExposureValues(image, header));
        QCOMPARE(values(image, expected), expected);
    }

    void unitTextsZerosAndNoNumbers()
    {
        // Unit texts in any case, with or without a blank; 0 and empty are not
        // reported; what is no number is named.
        const HeaderExposureValues h = ExposureValuesForHeader(
            4, {QStringLiteral("28KV"), QStringLiteral("0"), QStringLiteral("4,5 CM"), QStringLiteral("x"), QStringLiteral("1.5 mgy"), QString()},
            QStringLiteral("0,0"));
        QCOMPARE(h.kvp, QStringLiteral("28"));
        QVERIFY(h.mas.isEmpty() && h.microAs.isEmpty() && h.exposureTime.isEmpty());
        QCOMPARE(h.thickness, QStringLiteral("45"));
        QCOMPARE(h.dose, QStringLiteral("1.5"));
        QCOMPARE(h.notNumbers, QStringList{QStringLiteral("Compression Force")});
        // A fraction of a mAs stays in microampere-seconds; a unit of another quantity is no number.
        const HeaderExposureValues m = ExposureValuesForHeader(5, {QString(), QStringLiteral("63,5"), QStringLiteral("45 kg"), {}, {}, {}}, QString());
        QCOMPARE(m.mas, QStringLiteral("64"));
        QCOMPARE(m.microAs, QStringLiteral("63500"));
        QCOMPARE(m.notNumbers, QStringList{QStringLiteral("Body Part Thickness")});

        QCOMPARE(DecimalString(QStringLiteral(" -0,5 ")), QStringLiteral("-0.5"));
        QCOMPARE(DecimalString(QStringLiteral("1e3")), QStringLiteral("1000"));
        QCOMPARE(IntegerString(QStringLiteral("2,5")), QStringLiteral("3"));
        QVERIFY(IntegerString(QStringLiteral("")).isEmpty());
    }

    void imageKeysOfEachUnitType()
    {
        TestFolder f;
        ToolkitImagePtr mlo = makeImage(f, QStringLiteral("L MLO"), QStringLiteral("L"));
        QCOMPARE(ImageProjectionKey(1, mlo), QStringLiteral("L-MLO45"));
        QCOMPARE(value(mlo, 0x0018, 0x1530), QStringLiteral("45"));
        ToolkitImagePtr cc = makeImage(f, QStringLiteral("r-cc"), QStringLiteral("R"));
        QCOMPARE(ImageProjectionKey(1, cc), QStringLiteral("R-CC"));
        QVERIFY(!GetAttribute(cc, 0x0018, 0x1530).exists);

        ToolkitImagePtr two = makeImage(f, QStringLiteral("MLO"), QStringLiteral("R"));
        SetAttribute(two, 0x0020, 0x0062, QStringLiteral("R"));
        SetAttribute(two, 0x0020, 0x0020, QStringLiteral("P|FL"));
        QCOMPARE(ImageProjectionKey(2, two), QStringLiteral("R-LMO45"));

        ToolkitImagePtr four = makeImage(f, QStringLiteral("MLO"), QStringLiteral("R"));
        SetAttribute(four, 0x0020, 0x0060, QStringLiteral("r"));
        QCOMPARE(ImageProjectionKey(4, four), QStringLiteral("R MLO"));
        QCOMPARE(value(four, 0x0018, 0x1530), QStringLiteral("45"));
        // After stamping only the image laterality is left, and the key still holds.
        QVERIFY(ModifyImage(four, {}));
        QCOMPARE(ImageProjectionKey(4, four), QStringLiteral("R MLO"));
        ToolkitImagePtr none = makeImage(f, QStringLiteral("XCCL"), QStringLiteral("L"));
        QCOMPARE(ImageProjectionKey(5, none), QString());

        QVERIFY(ExposureMatchesKey(1, QStringLiteral("a,b,c,L-MLO45,e"), QStringLiteral("L-MLO45")));
        QVERIFY(!ExposureMatchesKey(1, QStringLiteral("L-MLO45"), QStringLiteral("L-MLO45")));
        QVERIFY(ExposureMatchesKey(4, QStringLiteral(" R MLO "), QStringLiteral("R MLO")));
        QVERIFY(!ExposureMatchesKey(2, QStringLiteral(" L-CC"), QStringLiteral("L-CC")));
    }

    void stampedImagesPassTheValidator_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<bool>("mono1");
        QTest::addColumn<bool>("lean");
        QTest::addColumn<int>("encoding");
        const int plain = int(SyntheticImageSpec::Encoding::ExplicitLittle);
        QTest::newRow("CC") << "CC" << false << false << plain;
        QTest::newRow("L MLO monochrome 1") << "L MLO" << true << false << plain;
        QTest::newRow("lean header") << "CC" << false << true << plain;
        QTest::newRow("lean header, monochrome 1") << "MLO" << true << true << plain;
        QTest::newRow("lean header, JPEG lossless") << "CC" << false << true << int(SyntheticImageSpec::Encoding::JpegLossless);
        QTest::newRow("lean header, JPEG 2000") << "MLO" << false << true << int(SyntheticImageSpec::Encoding::Jpeg2000Lossless);
    }
    void stampedImagesPassTheValidator()
    {
        QFETCH(QString, view);
        QFETCH(bool, mono1);
        QFETCH(bool, lean);
        QFETCH(int, encoding);
        TestFolder f;
        ToolkitImagePtr image = makeImage(f, view, QStringLiteral("L"), mono1, lean, SyntheticImageSpec::Encoding(encoding));
        QVERIFY(image);
        SetAttribute(image, 0x0020, 0x0060, QStringLiteral("L"));
        QVERIFY(ModifyImage(image, {}));
        WriteExposureValues(image, ExposureValuesForHeader(4, {QStringLiteral("29"), QStringLiteral("70"), QStringLiteral("52"),
                                                               QStringLiteral("110"), QStringLiteral("1,4"), view},
                                                           QStringLiteral("900")));
        const QString out = f.file(QStringLiteral("stamped.dcm"));
        QVERIFY(WriteDicomFile(image, out));
        QCOMPARE(ImageSopClass(image), QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2")); // validated as a mammogram for presentation
        QCOMPARE(ValidationErrors(out), QStringList());
        // Only the header changed: compressed pixel data is written as it was read.
        QVERIFY(PixelDataOfFile(out) == PixelDataOfFile(image->path()));
    }
};

QTEST_GUILESS_MAIN(StampingTest)
#include "tst_stamping.moc"
