// Pairing: each unit type's exposures, sent in its own layout and decoded
// into the journal, listed by the dose list, and paired with images by
// projection, without a window.
#include "acquisition/Pairing.h"
#include "acquisition/Stamping.h"
#include "support/Dicom.h"
#include "support/ExposureStation.h"
#include "support/SendJob.h"

namespace {

// Images as the detector names them ("ViewPosition|laterality" and, where
// given, "|Patient Orientation"), the exposures in the order the unit sends
// them, and what pairing gives.
struct Merge {
    int unit = 4;
    QStringList views;
    // As the unit sends the projection: units 1 to 3 in their message (unit 2:
    // the projection button's caption), units 4 and 5 none (their cycle from
    // the examination's start names it), so only their number counts.
    QStringList sent;
    // A projection button's caption given to the row afterwards; "" keeps it.
    QStringList rewritten;
    // Per image paired, the list row of its exposure and whether it matched.
    QList<int> rows;
    QList<bool> matched;
    Pairing::Stop stop = Pairing::Stop::None;
};

} // namespace
Q_DECLARE_METATYPE(Merge)

class PairingTest : public QObject {
    Q_OBJECT

    // An exposure of the unit in its layout, decoded as the serial link's complete message is.
    static qlonglong send(ExposureFixture &f, int unit, const QString &projection, int kv)
    {
        QString message;
        switch (unit) {
        case UnitSophie: message = SophieMessage({.projection = projection, .kv = kv}); break;
        case UnitGiotto:
            f.capture->setCurrentProjection(projection); // the button clicked last
            f.capture->setSelectedProjection(u"L CC"_s); // a projection shown: the unit's message is taken
            message = u"\x02GIOTTO 10 %1080 120 45 1.1\x03"_s.arg(kv);
            break;
        case UnitLoradM4: message = LoradMessage(projection, kv); break;
        case UnitGESeno: message = SenoMessage({.kv = kv}); break;
        default: message = HfeMessage({.kv = kv}); break;
        }
        return DecodeUnitMessage(*f.capture, qint16(unit), message);
    }

    ToolkitImagePtr image(const QString &view) const
    {
        const QStringList v = view.split(u'|');
        SyntheticImageSpec spec{.viewPosition = v[0], .laterality = v[1], .rows = 32, .columns = 24};
        if (v.size() > 2)
            spec.extra = {{u"0020,0020"_s, v[2]}};
        const QString path = folder_.file(NewSyntheticUid() + u".dcm"_s);
        return WriteImage(spec, path) ? ReadImage(path) : ToolkitImagePtr();
    }

    TestFolder folder_;

private slots:
    void init() { ResetWorkstationState(); }

    void pairsByProjection_data()
    {
        QTest::addColumn<Merge>("m");
        const QStringList four{"CC|R", "CC|L", "MLO|R", "MLO|L"};
        QTest::newRow("1: the fourth field, in another order")
            << Merge{.unit = 1, .views = {"R CC|R", "L CC|L", "R MLO|R", "L-MLO|L"}, .sent = {"L-MLO45", "R-CC", "L-CC", "R-MLO45"}, .rows = {1, 2, 3, 0},
                     .matched = {true, true, true, true}};
        QTest::newRow("2: the button's caption against laterality and orientation")
            << Merge{.unit = 2, .views = {"CC|R|P\\L", "MLO|L|A\\FR", "CC|L|A\\R", "MLO|R|P\\FL"},
                     .sent = {"L-CC", "R-LMO45", "L-LMO45", "R-CC"}, .rows = {3, 2, 0, 1}, .matched = {true, true, true, true}};
        QTest::newRow("2: a projection given with the buttons afterwards")
            << Merge{.unit = 2, .views = {"CC|R|P\\L", "CC|L|A\\R"}, .sent = {"", "R-CC"}, .rewritten = {"L-CC", ""}, .rows = {1, 0},
                     .matched = {true, true}};
        QTest::newRow("2: an exposure without projection stops at once")
            << Merge{.unit = 2, .views = {"CC|R|P\\L", "CC|L|A\\R"}, .sent = {"", "R-CC"}, .stop = Pairing::Stop::ProjectionNotSet};
        QTest::newRow("2: stopped on the way, after the images paired before")
            << Merge{.unit = 2, .views = {"CC|R|P\\L", "CC|L|A\\R"}, .sent = {"R-CC", ""}, .rows = {0}, .matched = {true},
                     .stop = Pairing::Stop::ProjectionNotSet};
        QTest::newRow("3: side and view of the unit's text")
            << Merge{.unit = 3, .views = four, .sent = {"LMLO", "RMLO", "RCC", "LCC"}, .rows = {2, 3, 1, 0},
                     .matched = {true, true, true, true}};
        QTest::newRow("3: no exposure matches: the last listed")
            << Merge{.unit = 3, .views = {"CC|R", "CC|L"}, .sent = {"LCC", "LMLO"}, .rows = {1, 0}, .matched = {false, true}};
        QTest::newRow("4: the cycle R CC, L CC, R MLO, L MLO")
            << Merge{.unit = 4, .views = {"MLO|L", "CC|L", "MLO|R", "CC|R"}, .sent = {"", "", "", ""}, .rows = {3, 1, 2, 0},
                     .matched = {true, true, true, true}};
        QTest::newRow("4: an image naming no projection keeps the one before")
            << Merge{.unit = 4, .views = {"CC|L", "XCCL|R"}, .sent = {"", ""}, .rows = {1, 1}, .matched = {true, true}};
        QTest::newRow("5: the cycle L CC, R CC, L MLO, R MLO")
            << Merge{.unit = 5, .views = four, .sent = {"", "", "", ""}, .rows = {1, 0, 3, 2}, .matched = {true, true, true, true}};
        QTest::newRow("5: the first image naming none: the last listed")
            << Merge{.unit = 5, .views = {"XCCL|L", "CC|R"}, .sent = {"", ""}, .rows = {1, 1}, .matched = {false, true}};
        QTest::newRow("counts differ: nothing paired")
            << Merge{.unit = 3, .views = {"CC|R", "CC|L"}, .sent = {"RCC", "LCC", "LMLO"}, .stop = Pairing::Stop::NotAllImages};
    }
    void pairsByProjection()
    {
        QFETCH(Merge, m);
        ExposureFixture f;
        QVERIFY(f.ready);
        f.capture->setPatientName(u"Doe^Jane"_s);
        f.capture->setProjectionCounter(0); // a new examination: the cycle starts
        for (int i = 0; i < m.sent.size(); ++i)
            QVERIFY(send(f, m.unit, m.sent[i], 25 + i) > 0);
        f.doseList->lvDosis_Fill();
        QCOMPARE(f.doseList->rowCount(), m.sent.size());
        for (int row = 0; row < m.rewritten.size(); ++row)
            if (!m.rewritten[row].isEmpty()) {
                f.doseList->select(row);
                QVERIFY(f.doseList->rewriteCurrentProjection(m.rewritten[row]));
            }
        QList<ToolkitImagePtr> images;
        for (const QString &view : m.views) {
            images << image(view);
            QVERIFY(images.last());
        }

        const qlonglong chosen = f.session.chosenExposure().key();
        const QList<ChosenExposure> listed = f.doseList->listedExposures();
        const Pairing pairing = PairImages(images, listed, qint16(m.unit));

        QCOMPARE(pairing.stop, m.stop);
        QCOMPARE(pairing.message.isEmpty(), m.stop == Pairing::Stop::None);
        QStringList rows, expected;
        for (int i = 0; i < pairing.pairs.size(); ++i) {
            const ImagePair &p = pairing.pairs[i];
            QCOMPARE(p.imageUid, ImageUid(images[i]));
            int row = -1;
            for (int r = 0; r < f.doseList->rowCount(); ++r)
                if (f.doseList->id(r) == p.exposure.key())
                    row = r;
            rows << u"%1 %2"_s.arg(row).arg(p.matched ? "matched" : "last");
            // The row's values as the list shows them, with its event UID.
            if (row >= 0) {
                QCOMPARE(p.exposure.values.kV, f.doseList->text(row, DoseList::KV));
                QCOMPARE(p.exposure.values.other, f.doseList->text(row, DoseList::Other));
                QVERIFY(!p.exposure.values.eventUid.isEmpty());
            }
        }
        for (int i = 0; i < m.rows.size(); ++i)
            expected << u"%1 %2"_s.arg(m.rows[i]).arg(m.matched[i] ? "matched" : "last");
        QCOMPARE(rows, expected);
        // Pairing chooses nothing: the session's chosen exposure stays the operator's.
        QCOMPARE(f.session.chosenExposure().key(), chosen);
    }

    // The patient a journal row names against the image's header: by the
    // words of the name, whatever their order, case or separators, and by
    // the ID a row set free keeps; a row naming nobody pairs with anyone.
    void anotherPatientsExposure_data()
    {
        QTest::addColumn<QString>("rowName");
        QTest::addColumn<QString>("rowId");
        QTest::addColumn<QString>("imageName");
        QTest::addColumn<QString>("imageId");
        QTest::addColumn<bool>("another");
        QTest::newRow("the worklist's spoken name") << u"Jane Doe"_s << QString() << u"Doe^Jane"_s << u"P1"_s << false;
        QTest::newRow("another case") << u"JANE DOE"_s << QString() << u"Doe^Jane"_s << u"P1"_s << false;
        QTest::newRow("an apostrophe as the worklist writes it") << u"Mary O\u00B4Neill"_s << QString() << u"O'Neill^Mary"_s << u"P1"_s << false;
        QTest::newRow("umlauts folded") << u"Käthe Müller"_s << QString() << u"MÜLLER^KÄTHE"_s << u"P1"_s << false;
        QTest::newRow("another name") << u"Jane Doe"_s << QString() << u"Roe^Mary"_s << u"P1"_s << true;
        QTest::newRow("a name more") << u"Jane Ann Doe"_s << QString() << u"Doe^Jane"_s << u"P1"_s << true;
        QTest::newRow("her ID") << u"Jane Doe"_s << u"P1"_s << u"Doe^Jane"_s << u"P1"_s << false;
        QTest::newRow("another ID, the same name") << u"Jane Doe"_s << u"P2"_s << u"Doe^Jane"_s << u"P1"_s << true;
        QTest::newRow("nobody's") << QString() << QString() << u"Doe^Jane"_s << u"P1"_s << false;
        QTest::newRow("an image without a name") << u"Jane Doe"_s << QString() << QString() << u"P1"_s << false;
    }
    void anotherPatientsExposure()
    {
        QFETCH(QString, rowName);
        QFETCH(QString, rowId);
        QFETCH(QString, imageName);
        QFETCH(QString, imageId);
        QFETCH(bool, another);
        const QString path = folder_.file(NewSyntheticUid() + u".dcm"_s);
        QVERIFY(WriteImage(SyntheticImageSpec{.patientName = imageName, .patientId = imageId, .rows = 32, .columns = 24}, path));
        const ChosenExposure row{.values = {.other = u"R CC"_s, .journalId = 7}, .time = u"09:10"_s, .patientName = rowName, .patientId = rowId};
        const QString message = AnotherPatientsExposure(ReadImage(path), row);
        QCOMPARE(!message.isEmpty(), another);
        if (another)
            QVERIFY2(message.startsWith(u"Exposure no. 7 (R CC, 09:10) was taken for "_s) && message.contains(u"Nothing was stamped or sent"_s),
                     qPrintable(message));
    }

    // What the operator is told when pairing stops.
    void messages()
    {
        QCOMPARE(PairImages({}, {ChosenExposure{}}, 3).message,
                 u"There are not all images on the system please wait a few second and try again!"_s);
        QVERIFY(PairImages({}, {}, 3).complete());
        const Pairing stopped = PairImages({image(u"CC|R|P\\L"_s)}, {ChosenExposure{}}, 2);
        QVERIFY(stopped.message.startsWith(u"You have not set the projection, please click on the correct projection button!\n"_s));
    }
};

QTEST_MAIN(PairingTest)
#include "tst_pairing.moc"
