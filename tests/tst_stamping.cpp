// Stamping: the projection table, the fixed attributes of a mammogram for
// presentation, the exposure values in their attributes' forms, the image keys
// of each unit type, and dciodvfy's verdict on what is written.
#include "acquisition/Stamping.h"
#include "exposure/ExposureDecoders.h"
#include "support/Dicom.h"
#include "support/SendJob.h"
#include "support/Station.h"

namespace {

using Encoding = SyntheticImageSpec::Encoding;

QString viewCode(const ToolkitImagePtr &image)
{
    const ToolkitSequence items = GetSequence(image, 0x0054, 0x0220);
    return items.isEmpty() ? QString() : GetAttribute(items.first(), 0x0008, 0x0100).value;
}

// A view as the detector names it, the image laterality it sends (none when
// empty), and what stamping makes of it.
struct Projection {
    QString view, laterality, code, orientation, side;
};

// An image of a unit type, the attributes set on it, and the key found.
struct Key {
    int unit;
    QString view, laterality;
    QStringList set; // "gggg,eeee=value"
    QString key;
    QString angle; // View Angle (0018,1530) afterwards; not looked at when empty
};

} // namespace
Q_DECLARE_METATYPE(Projection)
Q_DECLARE_METATYPE(Key)
Q_DECLARE_METATYPE(Encoding)

class StampingTest : public QObject {
    Q_OBJECT

    TestFolder folder_;

    // A lean detector header: a digital X-ray image with what a detector must
    // send, its Type 2 attributes left out, and the series laterality.
    ToolkitImagePtr makeImage(const QString &view, const QString &laterality, bool mono1 = false, bool lean = false,
                              Encoding encoding = Encoding::ExplicitLittle) const
    {
        SyntheticImageSpec spec{.viewPosition = view, .laterality = laterality, .rows = 64, .columns = 48, .monochrome1 = mono1,
                                .encoding = encoding, .extra = {{u"0018,5100"_s, u"HFS"_s}}};
        if (lean) {
            spec.sopClassUid = u"1.2.840.10008.5.1.4.1.1.1.1"_s;
            spec.modality = u"DX"_s;
            spec.extra << qMakePair(u"0020,0060"_s, laterality);
            spec.omit = QStringList{"0040,0555", "0008,2218", "0018,1508", "2050,0020", "0020,0020", "0010,0030", "0010,0040",
                                    "0008,0020", "0008,0030", "0020,0010", "0008,0050", "0008,0090", "0020,0011", "0008,0070"};
        }
        const QString path = folder_.file(NewSyntheticUid() + u".dcm"_s);
        return WriteImage(spec, path) ? ReadImage(path) : ToolkitImagePtr();
    }

    QString side_; // the side the merge remembers between images

private slots:
    void init() { side_.clear(); }

    void projectionTable_data()
    {
        QTest::addColumn<Projection>("p");
        QTest::newRow("R CC") << Projection{"R CC", "", "R-10242", "P|L", "R"};
        QTest::newRow("lld") << Projection{"lld", "", "R-10242", "A|R", "L"};
        QTest::newRow("RLO") << Projection{"RLO", "", "R-10226", "P|FL", "R"};
        QTest::newRow("MLO-L") << Projection{"MLO-L", "", "R-10226", "A|FR", "L"};
        QTest::newRow("CC with laterality R") << Projection{"CC", "R", "R-10242", "P|L", "R"};
        QTest::newRow("MLO with laterality L") << Projection{"MLO", "L", "R-10226", "A|FR", "L"};
    }
    void projectionTable()
    {
        QFETCH(Projection, p);
        ToolkitImagePtr image = makeImage(p.view, p.laterality.isEmpty() ? u"L"_s : p.laterality);
        QVERIFY(image);
        RemoveAttribute(image, 0x0020, 0x0062);
        if (!p.laterality.isEmpty())
            SetAttribute(image, 0x0020, 0x0060, p.laterality);
        QVERIFY(ModifyImage(image, {}, side_));
        QCOMPARE(viewCode(image), p.code);
        const QStringList expected{"0020,0020=" + p.orientation, "0020,0062=" + p.side, "0020,0060=<absent>"};
        QCOMPARE(TagValues(image, expected), expected);
    }

    void mlAsksForTheSide()
    {
        ToolkitImagePtr image = makeImage(u"ml"_s, u"L"_s);
        int asked = 0;
        QVERIFY(ModifyImage(image, [&](const ToolkitImagePtr &) { ++asked; return u"R"_s; }, side_));
        QCOMPARE(asked, 1);
        const QStringList expected{"0018,5101=R ML", "0020,0020=P|F", "0020,0062=R"};
        QCOMPARE(TagValues(image, expected), expected);
        QCOMPARE(viewCode(image), u"R-10224"_s);
        QCOMPARE(side_, u"R"_s);

        // A later image whose side cannot be found inherits it.
        ToolkitImagePtr next = makeImage(u"CC"_s, u"L"_s);
        RemoveAttribute(next, 0x0020, 0x0062);
        QVERIFY(ModifyImage(next, {}, side_));
        QCOMPARE(TagValues(next, {"0020,0062=", "0020,0020="}), (QStringList{"0020,0062=R", "0020,0020="}));
    }

    void fixedAttributesEvenWithoutAView()
    {
        ToolkitImagePtr image = makeImage(QString(), u"L"_s);
        RemoveAttribute(image, 0x0018, 0x5101);
        SetImageSopClass(image, u"1.2.840.10008.5.1.4.1.1.1.2.1"_s); // for processing
        QVERIFY(ModifyImage(image, {}, side_));
        QCOMPARE(ImageSopClass(image), u"1.2.840.10008.5.1.4.1.1.1.2"_s);
        const ToolkitSequence region = GetSequence(image, 0x0008, 0x2218);
        QCOMPARE(region.size(), 1);
        QCOMPARE(TagValues(region.first(), {"0008,0100=", "0008,0104="}), (QStringList{"0008,0100=T-04000", "0008,0104=Breast"}));
        const QStringList expected{"0008,0060=MG", "0008,0068=FOR PRESENTATION", "0018,1508=MAMMOGRAPHIC", "0018,7004=DIRECT",
                                   "0028,1041=1", "0040,0318=BREAST", "2050,0020=IDENTITY", "0018,5100=<absent>"}; // patient position goes
        QCOMPARE(TagValues(image, expected), expected);

        // The presentation LUT follows the photometric interpretation.
        ToolkitImagePtr mono1 = makeImage(u"R MLO"_s, u"R"_s, true);
        QVERIFY(ModifyImage(mono1, {}, side_));
        QCOMPARE(TagValues(mono1, {"2050,0020="}), QStringList{"2050,0020=INVERSE"});
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
            << int(UnitSophie) << u"\x02SOPHIE V3\r\nName: 2005-03-17 10:22:31 L-CC W Rh 28 28kV 63mAs 1.25s AEC 12kg 4.5cm 1.61mGy\r\n"_s
            << QStringList{"0018,0060=28", "0018,1150=1250", "0018,1152=63", "0018,11A0=45", "0018,11A2=117.6798", "0040,8302=1.61"};
        QTest::newRow("Lorad M4: cm, and no exposure time")
            << int(UnitLoradM4) << u"M4|0017|LCC|AEC|Mo/Mo|Grid|06.12.26|14:05|x|y|28 kV|z|63 mAs|a|b|c|d|120 N|4.5 cm|e|f|1.23 mGy|\r\n"_s
            << QStringList{"0018,0060=28", "0018,1150=777", "0018,1152=63", "0018,11A0=45", "0018,11A2=120", "0040,8302=1.23"};
        QTest::newRow("GE Senograph: a dose of 0")
            << int(UnitGESeno) << u"ABCDEF028100 450ms12 45mm 0 DIGITAL\r\n"_s
            << QStringList{"0018,0060=28", "0018,1150=450", "0018,1152=100", "0018,11A0=45", "0018,11A2=12", "0040,8302=0.5"};
        QTest::newRow("SM 1000")
            << int(UnitHFE) << u"SM 1000 V2.1\r\n0.98 mGy W/Rh 28 kV 80 mAs AEC\r\n 2 Grid 450LF ms 45 mm Comp 120 N\r\n*\r\n"_s
            << QStringList{"0018,0060=28", "0018,1150=450", "0018,1152=80", "0018,11A0=45", "0018,11A2=120", "0040,8302=0.98"};
    }
    void decodedExposuresInTheAttributesUnits()
    {
        QFETCH(int, unit);
        QFETCH(QString, message);
        QFETCH(QStringList, expected);
        const DecoderOutput out = DecodeExposure({.unitType = qint16(unit), .buffer = message, .locale = QLocale(QLocale::German),
                                                  .now = QDateTime(QDate(2026, 12, 6), QTime(14, 5, 9))});
        QVERIFY(out.record);
        const ExposureRecord &r = *out.record;
        const ExposureValues v{r.KVP.value_or(QString()), r.ma.value_or(QString()), r.Dicke.value_or(QString()),
                               r.Druck.value_or(QString()), r.mGy.value_or(QString()), r.Sonstiges.value_or(QString())};
        const HeaderExposureValues header = ExposureValuesForHeader(qint16(unit), v, r.expZeit.value_or(QString()));
        QCOMPARE(header.notNumbers, QStringList());

        ToolkitImagePtr image = makeImage(u"CC"_s, u"L"_s);
        SetAttribute(image, 0x0018, 0x1150, u"777"_s);
        SetAttribute(image, 0x0040, 0x8302, u"0.5"_s);
        QVERIFY(WriteExposureValues(image, header));
        QCOMPARE(TagValues(image, expected), expected);
    }

    // The exposure's dose in the header: the AGD as Organ Dose in dGy, the HVL,
    // the target/filter as defined terms, and one Entrance Dose: K at the
    // breast's surface with derivation IAK where the journal has K, else the
    // unit's own figure without a derivation; nothing unknown is written, and a
    // detector's Organ Dose (here 0.9) is replaced only by a computed AGD. The
    // exposure's Irradiation Event UID goes with it, so that the dose report
    // and the image name the same event.
    void doseAttributes_data()
    {
        QTest::addColumn<QStringList>("dose"); // AGD, HVL, target/filter, K, the unit's dose, event UID
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("AGD 1.2 mGy, K, W/Rh") << QStringList{"1.2", "0.52", "W/Rh", "1.1", "1,4", "1.2.3.44.1"}
            << QStringList{"0040,0316=0.012", "0040,0314=0.52", "0040,8303=IAK", "0018,1191=TUNGSTEN", "0018,7050=RHODIUM", "0040,8302=1.1",
                           "0008,3010=1.2.3.44.1"};
        QTest::newRow("K without a unit's dose, W/Al") << QStringList{"0.85", "0.4", "W/Al", "2.5", "", "1.2.3.44.2"}
            << QStringList{"0040,0316=0.0085", "0040,0314=0.4", "0040,8303=IAK", "0018,1191=TUNGSTEN", "0018,7050=ALUMINUM", "0040,8302=2.5",
                           "0008,3010=1.2.3.44.2"};
        QTest::newRow("no K: the unit's figure, no derivation") << QStringList{"", "", "", "", "1,4", ""}
            << QStringList{"0040,0316=0.9", "0040,0314=<absent>", "0040,8303=<absent>", "0018,1191=<absent>", "0018,7050=<absent>", "0040,8302=1.4",
                           "0008,3010=<absent>"};
        QTest::newRow("no entrance dose: no derivation") << QStringList{"1.2", "0.52", "Mo/Rh", "", "", "1.2.3.44.3"}
            << QStringList{"0040,0316=0.012", "0040,0314=0.52", "0040,8303=<absent>", "0018,1191=MOLYBDENUM", "0018,7050=RHODIUM", "0040,8302=<absent>",
                           "0008,3010=1.2.3.44.3"};
        QTest::newRow("K of 0 or no number: the unit's figure") << QStringList{"", "", "", "inf", "0.7", ""}
            << QStringList{"0040,8303=<absent>", "0040,8302=0.7"};
    }
    void doseAttributes()
    {
        QFETCH(QStringList, dose);
        QFETCH(QStringList, expected);
        ToolkitImagePtr image = makeImage(u"CC"_s, u"L"_s);
        SetAttribute(image, 0x0040, 0x0316, u"0.9"_s);
        const ExposureValues v{.kV = u"28"_s, .dose = dose[4], .agd = dose[0], .hvl = dose[1], .targetFilter = dose[2], .kerma = dose[3],
                                .eventUid = dose[5]};
        QVERIFY(WriteExposureValues(image, ExposureValuesForHeader(4, v, QString())));
        QCOMPARE(TagValues(image, expected), expected);
    }

    void unitTextsZerosAndNoNumbers()
    {
        // Unit texts in any case, with or without a blank; 0 and empty are not
        // reported; what is no number is named.
        const HeaderExposureValues h = ExposureValuesForHeader(4, {u"28KV"_s, u"0"_s, u"4,5 CM"_s, u"x"_s, u"1.5 mgy"_s, QString()}, u"0,0"_s);
        QCOMPARE(h.kvp, u"28"_s);
        QVERIFY(h.mas.isEmpty() && h.microAs.isEmpty() && h.exposureTime.isEmpty());
        QCOMPARE(h.thickness, u"45"_s);
        QCOMPARE(h.dose, u"1.5"_s);
        QCOMPARE(h.notNumbers, QStringList{u"Compression Force"_s});
        // A fraction of a mAs stays in microampere-seconds; a unit of another quantity is no number.
        const HeaderExposureValues m = ExposureValuesForHeader(5, {QString(), u"63,5"_s, u"45 kg"_s, {}, {}, {}}, QString());
        QCOMPARE(m.mas, u"64"_s);
        QCOMPARE(m.microAs, u"63500"_s);
        QCOMPARE(m.notNumbers, QStringList{u"Body Part Thickness"_s});

        QCOMPARE(DecimalString(u" -0,5 "_s), u"-0.5"_s);
        QCOMPARE(DecimalString(u"1e3"_s), u"1000"_s);
        QCOMPARE(IntegerString(u"2,5"_s), u"3"_s);
        QVERIFY(IntegerString(u""_s).isEmpty());
    }

    void imageKeysOfEachUnitType_data()
    {
        QTest::addColumn<Key>("k");
        QTest::newRow("1: MLO with its angle") << Key{1, "L MLO", "L", {}, "L-MLO45", "45"};
        QTest::newRow("1: CC, no angle") << Key{1, "r-cc", "R", {}, "R-CC", "<absent>"};
        QTest::newRow("2: from the orientation") << Key{2, "MLO", "R", {"0020,0062=R", "0020,0020=P|FL"}, "R-LMO45", ""};
        QTest::newRow("4: series laterality") << Key{4, "MLO", "R", {"0020,0060=r"}, "R MLO", "45"};
        QTest::newRow("5: no key") << Key{5, "XCCL", "L", {}, "", ""};
    }
    void imageKeysOfEachUnitType()
    {
        QFETCH(Key, k);
        ToolkitImagePtr image = makeImage(k.view, k.laterality);
        for (const QString &s : k.set)
            SetAttribute(image, quint16(s.left(4).toUShort(nullptr, 16)), quint16(s.mid(5, 4).toUShort(nullptr, 16)), s.mid(10));
        QCOMPARE(ImageProjectionKey(qint16(k.unit), image), k.key);
        if (!k.angle.isEmpty())
            QCOMPARE(TagValues(image, {"0018,1530="}), QStringList{"0018,1530=" + k.angle});
        // After stamping only the image laterality is left, and the key still holds.
        QVERIFY(ModifyImage(image, {}, side_));
        QCOMPARE(ImageProjectionKey(qint16(k.unit), image), k.key);
    }

    void exposureMatchesTheKey()
    {
        QVERIFY(ExposureMatchesKey(1, u"a,b,c,L-MLO45,e"_s, u"L-MLO45"_s));
        QVERIFY(!ExposureMatchesKey(1, u"L-MLO45"_s, u"L-MLO45"_s));
        QVERIFY(ExposureMatchesKey(4, u" R MLO "_s, u"R MLO"_s));
        QVERIFY(!ExposureMatchesKey(2, u" L-CC"_s, u"L-CC"_s));
    }

    void stampedImagesPassTheValidator_data()
    {
        QTest::addColumn<QString>("view");
        QTest::addColumn<bool>("mono1");
        QTest::addColumn<bool>("lean");
        QTest::addColumn<Encoding>("encoding");
        QTest::newRow("CC") << "CC" << false << false << Encoding::ExplicitLittle;
        QTest::newRow("L MLO monochrome 1") << "L MLO" << true << false << Encoding::ExplicitLittle;
        QTest::newRow("lean header") << "CC" << false << true << Encoding::ExplicitLittle;
        QTest::newRow("lean header, monochrome 1") << "MLO" << true << true << Encoding::ExplicitLittle;
        QTest::newRow("lean header, JPEG lossless") << "CC" << false << true << Encoding::JpegLossless;
        QTest::newRow("lean header, JPEG 2000") << "MLO" << false << true << Encoding::Jpeg2000Lossless;
    }
    void stampedImagesPassTheValidator()
    {
        QFETCH(QString, view);
        QFETCH(bool, mono1);
        QFETCH(bool, lean);
        QFETCH(Encoding, encoding);
        ToolkitImagePtr image = makeImage(view, u"L"_s, mono1, lean, encoding);
        QVERIFY(image);
        SetAttribute(image, 0x0020, 0x0060, u"L"_s);
        QVERIFY(ModifyImage(image, {}, side_));
        // With the dose attributes; dciodvfy's warning about SILVER is accepted.
        WriteExposureValues(image, ExposureValuesForHeader(4, {u"29"_s, u"70"_s, u"52"_s, u"110"_s, u"1,4"_s, view, u"1.23"_s, u"0.55"_s,
                                                               mono1 ? u"W/Ag"_s : u"W/Rh"_s, u"1.2"_s}, u"900"_s));
        QCOMPARE(TagValues(image, {"0040,0316=", "0040,8303="}), (QStringList{"0040,0316=0.0123", "0040,8303=IAK"}));
        const QString out = folder_.file(u"stamped.dcm"_s);
        QVERIFY(WriteDicomFile(image, out));
        QCOMPARE(ImageSopClass(image), u"1.2.840.10008.5.1.4.1.1.1.2"_s); // validated as a mammogram for presentation
        QCOMPARE(ValidationErrors(out), QStringList());
        // Only the header changed: compressed pixel data is written as it was read.
        QVERIFY(PixelDataOfFile(out) == PixelDataOfFile(image->path()));
    }
};

QTEST_GUILESS_MAIN(StampingTest)
#include "tst_stamping.moc"
