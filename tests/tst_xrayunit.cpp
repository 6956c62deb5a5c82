// The X-ray unit in the dose report: entered once with the calibration
// ("Dose calibration …"), kept with its device UID, refused when garbage;
// named as device observer and as each event's irradiating device, or
// "unknown" without entries, while the workstation stays the report's
// creator. The report of a unit-1 examination, its exposures decoded from
// the unit's own message layout, passes dciodvfy and PixelMed's validator.
#include "core/Settings.h"
#include "dose/DoseCalibrationForm.h"
#include "dose/DoseStore.h"
#include "exposure/StudyDoseReport.h"
#include "support/Dicom.h"
#include "support/DoseTables.h"
#include "support/ExposureStation.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSysInfo>
#include <QTableWidget>

namespace {

// Made up for this test (no published values), as support/DoseTables.h, with
// s for the Mo/Rh the unit reports.
const QString MoRhFactorTable = QString(TestFactorTable) + u"s,Mo/Rh,,,1.02\n"_s;

// Unit type 1's calibration: Mo/Rh up to 31 kV, W/Rh above.
DoseCalibration unitOneCalibration()
{
    DoseCalibration c = TestCalibration();
    c.unit = 1;
    c.targetFilters = {{31.0, u"Mo/Rh"_s}, {std::nullopt, u"W/Rh"_s}};
    c.beam = {{u"Mo/Rh"_s, 26, 0.40, 100}, {u"Mo/Rh"_s, 30, 0.60, 140}, {u"W/Rh"_s, 26, 0.40, 100}, {u"W/Rh"_s, 34, 0.60, 140}};
    return c;
}

struct Entered {
    QString manufacturer, model, serial;
};

// Types the unit's entries into the open dialog and saves.
void enterAndSave(DoseCalibrationForm &form, const Entered &e)
{
    form.findChild<QLineEdit *>(u"txtUnitManufacturer"_s)->setText(e.manufacturer);
    form.findChild<QLineEdit *>(u"txtUnitModel"_s)->setText(e.model);
    form.findChild<QLineEdit *>(u"txtUnitSerialNumber"_s)->setText(e.serial);
    form.findChild<QPushButton *>(u"cmdSaveCalibration"_s)->click();
}

QString shownUid(const DoseCalibrationForm &form) { return form.findChild<QLineEdit *>(u"txtUnitDeviceUid"_s)->text(); }

XrayUnitIdentity storedUnit(qint16 unit)
{
    DatabaseSession db(DefinitionsDatabase);
    return ReadXrayUnit(DefinitionsDatabase, unit).unit;
}

// The content items of a dsrdump text that match, one line each.
qsizetype items(const QString &tree, const QString &text) { return tree.count(text); }

} // namespace

Q_DECLARE_METATYPE(Entered)

class XrayUnitTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetWorkstationState(); }

    // The physicist types the unit's manufacturer, model and serial number
    // with the calibration. Right entries are saved and get a device UID,
    // shown read-only, that later edits keep; wrong ones are refused with a
    // message naming the field, and nothing is stored.
    void entriesSavedOrRefused_data()
    {
        QTest::addColumn<Entered>("entered");
        QTest::addColumn<QStringList>("refusal"); // empty: saved
        QTest::newRow("a unit") << Entered{u"Orvix Medical"_s, u"Mammo 300"_s, u"SN-4711/B"_s} << QStringList();
        QTest::newRow("surrounding blanks are dropped") << Entered{u" Orvix "_s, u"M300 "_s, u" 4711"_s} << QStringList();
        QTest::newRow("none: the unit is unknown") << Entered{} << QStringList();
        QTest::newRow("serial number missing") << Entered{u"Orvix"_s, u"M300"_s, QString()} << QStringList{u"serial number is missing"_s};
        QTest::newRow("manufacturer and model missing")
            << Entered{QString(), QString(), u"4711"_s} << QStringList{u"manufacturer is missing"_s, u"model is missing"_s};
        QTest::newRow("control character") << Entered{u"Orvix"_s, u"M\x01" "300"_s, u"4711"_s}
                                           << QStringList{u"model holds a control character"_s};
        QTest::newRow("backslash") << Entered{u"Orvix"_s, u"M300"_s, u"47\\11"_s} << QStringList{u"serial number holds a control character or a backslash"_s};
        QTest::newRow("too long") << Entered{QString(65, u'x'), u"M300"_s, u"4711"_s} << QStringList{u"manufacturer is longer than 64"_s};
        QTest::newRow("no letter or digit") << Entered{u"Orvix"_s, u"M300"_s, u"--"_s} << QStringList{u"serial number \"--\" has no letter or digit"_s};
        QTest::newRow("\"unknown\"") << Entered{u"Unknown"_s, u"M300"_s, u"4711"_s} << QStringList{u"manufacturer \"Unknown\" says nothing"_s};
        QTest::newRow("the workstation itself") << Entered{u"Lumora"_s, u"OrvanaMammo"_s, u"4711"_s}
                                                << QStringList{u"this workstation, not the X-ray unit"_s};
    }
    void entriesSavedOrRefused()
    {
        QFETCH(Entered, entered);
        QFETCH(QStringList, refusal);
        TestFolder f;
        QVERIFY(PrepareStation(f));
        DoseCalibration stored = unitOneCalibration();
        QVERIFY(StoreCalibration(stored));
        RecordingPrompter prompts;
        DoseCalibrationForm form(1, prompts);
        QVERIFY(shownUid(form).isEmpty());
        QVERIFY(form.findChild<QLineEdit *>(u"txtUnitDeviceUid"_s)->isReadOnly());
        enterAndSave(form, entered);
        QCOMPARE(prompts.boxes.size(), 1);
        if (!refusal.isEmpty()) {
            QCOMPARE(prompts.boxes[0].kind, u"critical"_s);
            for (const QString &named : refusal)
                QVERIFY2(prompts.boxes[0].text.contains(named), qPrintable(prompts.boxes[0].text));
            DatabaseSession db(DefinitionsDatabase);
            QCOMPARE(ReadCalibration(DefinitionsDatabase, 1).calibration->id, stored.id);
            QCOMPARE(Execute(DefinitionsDatabase, u"SELECT COUNT(*) FROM tblXrayUnit"_s).rows.value(0).value(0).toInt(), 0);
            return;
        }
        QCOMPARE(prompts.boxes[0].kind, u"information"_s);
        const XrayUnitIdentity saved = storedUnit(1);
        QCOMPARE((QStringList{saved.manufacturer, saved.model, saved.serialNumber}),
                 (QStringList{entered.manufacturer.trimmed(), entered.model.trimmed(), entered.serial.trimmed()}));
        QCOMPARE(shownUid(form), saved.deviceUid);
        if (entered.manufacturer.isEmpty()) {
            QVERIFY(saved.deviceUid.isEmpty()); // nothing to identify yet
            return;
        }
        QVERIFY2(QRegularExpression(u"^2\\.25\\.[1-9]\\d{0,38}$"_s).match(saved.deviceUid).hasMatch(), qPrintable(saved.deviceUid));

        // A later calibration, the model corrected: the same UID. Emptied, the
        // unit is unknown, and entered again it is the same unit.
        enterAndSave(form, {entered.manufacturer, u"Mammo 300 S"_s, entered.serial});
        QCOMPARE(storedUnit(1).deviceUid, saved.deviceUid);
        QCOMPARE(storedUnit(1).model, u"Mammo 300 S"_s);
        enterAndSave(form, {});
        QVERIFY(!storedUnit(1).identified());
        enterAndSave(form, entered);
        QCOMPARE(prompts.texts().filter(u"is saved"_s).size(), 4);
        // Opened again, the dialog shows what was stored; another unit type has its own.
        DoseCalibrationForm again(1, prompts);
        QCOMPARE(again.shownCalibration().xrayUnit.serialNumber, entered.serial.trimmed());
        QCOMPARE(shownUid(again), saved.deviceUid);
        DoseCalibration other = unitOneCalibration();
        other.unit = 3;
        other.xrayUnit = {u"Other"_s, u"X"_s, u"1"_s, saved.deviceUid}; // a UID passed in is not taken over
        QVERIFY(StoreCalibration(other));
        QVERIFY(storedUnit(3).deviceUid != saved.deviceUid);
        QCOMPARE(storedUnit(1).deviceUid, saved.deviceUid);
    }

    // The manufacturer or serial number changed: the physicist says whether
    // the unit was replaced (a device UID of its own) or the entries corrected
    // (the same UID). A changed model alone is a correction, not asked.
    void replacedOrCorrected_data()
    {
        QTest::addColumn<Entered>("changed");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("answer"); // Yes: another unit
        QTest::addColumn<bool>("sameUid");
        QTest::newRow("serial number, replaced") << Entered{u"Orvix"_s, u"M300"_s, u"9000"_s} << true << true << false;
        QTest::newRow("serial number, corrected") << Entered{u"Orvix"_s, u"M300"_s, u"9000"_s} << true << false << true;
        QTest::newRow("manufacturer, replaced") << Entered{u"Nordix"_s, u"M300"_s, u"4711"_s} << true << true << false;
        QTest::newRow("model only") << Entered{u"Orvix"_s, u"M300 S"_s, u"4711"_s} << false << true << true;
    }
    void replacedOrCorrected()
    {
        QFETCH(Entered, changed);
        QFETCH(bool, asked);
        QFETCH(bool, answer);
        QFETCH(bool, sameUid);
        TestFolder f;
        QVERIFY(PrepareStation(f));
        RecordingPrompter prompts;
        DoseCalibrationForm form(1, prompts);
        form.showCalibration(unitOneCalibration());
        enterAndSave(form, {u"Orvix"_s, u"M300"_s, u"4711"_s});
        const QString first = storedUnit(1).deviceUid;
        QVERIFY(!first.isEmpty());
        prompts.boxes.clear();
        prompts.answer = answer;
        enterAndSave(form, changed);
        QCOMPARE(prompts.boxes.size(), asked ? 2 : 1);
        if (asked) {
            QCOMPARE(prompts.boxes[0].kind, u"question"_s);
            QVERIFY2(prompts.boxes[0].text.contains(u"serial number 4711"_s) && prompts.boxes[0].text.contains(u"serial number %1"_s.arg(changed.serial)),
                     qPrintable(prompts.boxes[0].text));
        }
        QCOMPARE(prompts.boxes.last().kind, u"information"_s);
        const XrayUnitIdentity now = storedUnit(1);
        QCOMPARE(now.serialNumber, changed.serial);
        QCOMPARE(now.deviceUid == first, sameUid);
        QCOMPARE(shownUid(form), now.deviceUid);
    }

    // A unit-1 examination, four exposures decoded from the unit's messages:
    // the report names the entered unit, or the unknown unit, as device
    // observer and in each event as irradiating device; the workstation is
    // the creator in the equipment module and nowhere in the unit's place.
    // dciodvfy and PixelMed's validator find no error.
    void reportNamesTheUnit_data()
    {
        QTest::addColumn<bool>("entered");
        QTest::addColumn<bool>("replacedAfter"); // another unit entered after the exposures
        QTest::addColumn<bool>("validate");      // PixelMed's validator too (it takes a minute)
        QTest::newRow("unit entered") << true << false << true;
        QTest::newRow("no entries: unknown unit") << false << false << true;
        QTest::newRow("unit replaced after the exposures") << true << true << false;
    }
    void reportNamesTheUnit()
    {
        QFETCH(bool, entered);
        QFETCH(bool, replacedAfter);
        QFETCH(bool, validate);
        ExposureFixture fx;
        QVERIFY(fx.ready);
        Settings.XrayComm = 1;
        const TestFolder &f = fx.folder;
        RecordingPrompter prompts;
        {
            // The physicist's entries, through the dialog.
            DoseCalibrationForm form(1, prompts);
            f.write(u"factors.csv"_s, MoRhFactorTable.toUtf8());
            QVERIFY(form.loadFactorFile(f.file(u"factors.csv"_s)));
            form.showCalibration(unitOneCalibration());
            enterAndSave(form, entered ? Entered{u"Orvix Medical"_s, u"Mammo 300"_s, u"SN-4711"_s} : Entered{});
            QVERIFY2(prompts.texts().join(u'\n').contains(u"is saved"_s), qPrintable(prompts.texts().join(u'\n')));
            if (entered) {
                form.show();
                QVERIFY(QTest::qWaitForWindowExposed(&form));
                form.grab().save(TestBinDir() + u"/calibration-xrayunit.png"_s); // to look at
            }
        }
        const QString unitUid = storedUnit(1).deviceUid;
        QCOMPARE(unitUid.isEmpty(), !entered);

        // Her four exposures as the unit sends them.
        fx.capture->setPatientName(u"Doe^Jane"_s);
        const QStringList projections{u"R-CC"_s, u"L-CC"_s, u"R-MLO"_s, u"L-MLO"_s};
        for (int i = 0; i < projections.size(); ++i) {
            fx.capture->setBuffer(SophieMessage({.time = u"10:2%1:31"_s.arg(i), .projection = projections[i], .target = u"Mo"_s, .kg = u"1%1"_s.arg(i),
                                                  .cm = u"4.%1"_s.arg(5 + i), .mGy = u"1.2%1"_s.arg(i)}));
            fx.capture->dbFill();
        }
        const QList<QSqlRecord> rows = fx.journal();
        QCOMPARE(rows.size(), 4);
        QStringList uids;
        for (const QSqlRecord &r : rows) {
            QVERIFY2(!r.isNull(u"AGD"_s), qPrintable(r.value(u"AgdSource"_s).toString()));
            uids << r.value(u"IrradiationEventUID"_s).toString();
        }
        if (replacedAfter) {
            // The unit is replaced, with a calibration of its own: her exposures keep naming the one that took them.
            DoseCalibrationForm form(1, prompts);
            prompts.answer = true;
            enterAndSave(form, {u"Nordix"_s, u"N-1"_s, u"77"_s});
            QCOMPARE(prompts.boxes.last().kind, u"information"_s);
            QVERIFY(storedUnit(1).deviceUid != unitUid && storedUnit(1).model == u"N-1"_s);
        }

        DoseReportInput in;
        in.study = {u"Doe^Jane"_s, u"P1"_s, QString(), u"F"_s, NewSyntheticUid(), u"20261207"_s, u"102031"_s};
        const QString path = f.file(u"report.dcm"_s);
        const DoseReportWritten written = WriteStudyDoseReport(in, uids, std::nullopt, path);
        QVERIFY2(written.ok(), qPrintable(written.text));
        if (const QByteArray keep = qgetenv("LUMORA_TEST_KEEP_REPORT"); !keep.isEmpty())
            QFile::copy(path, QString::fromLocal8Bit(keep) + u"-"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_') + u".dcm"_s);

        // The workstation is the creator.
        QCOMPARE(DumpTag(path, u"0008,0070"_s), u"Lumora"_s);
        QCOMPARE(DumpTag(path, u"0008,1090"_s), u"OrvanaMammo"_s);
        QVERIFY(IsStationDoseReport(path));
        QCOMPARE(DoseReportEventCount(path), 4);

        const QString tree = SrDump(path);
        QVERIFY(!tree.isEmpty());
        const QString uid = entered ? unitUid : QString::fromLatin1(UnknownXrayUnitUid);
        const QString manufacturer = entered ? u"Orvix Medical"_s : u"unknown"_s;
        const QString model = entered ? u"Mammo 300"_s : u"unknown"_s;
        const QString serial = entered ? u"SN-4711"_s : u"unknown"_s;
        // The root's observer context: the unit, as the irradiating device.
        QCOMPARE(items(tree, u"<has obs context CODE:(121005,DCM,\"Observer Type\")=(121007,DCM,\"Device\")>"_s), 1);
        QCOMPARE(items(tree, u"<has obs context UIDREF:(121012,DCM,\"Device Observer UID\")=\"%1\">"_s.arg(uid)), 1);
        QCOMPARE(items(tree, u"<has obs context TEXT:(121014,DCM,\"Device Observer Manufacturer\")=\"%1\">"_s.arg(manufacturer)), 1);
        QCOMPARE(items(tree, u"<has obs context TEXT:(121015,DCM,\"Device Observer Model Name\")=\"%1\">"_s.arg(model)), 1);
        QCOMPARE(items(tree, u"<has obs context TEXT:(121016,DCM,\"Device Observer Serial Number\")=\"%1\">"_s.arg(serial)), 1);
        QCOMPARE(items(tree, u"<has obs context TEXT:(121013,DCM,\"Device Observer Name\")=\"unknown\">"_s), entered ? 0 : 1);
        QCOMPARE(items(tree, u"<has obs context CODE:(113876,DCM,\"Device Role in Procedure\")=(113859,DCM,\"Irradiating Device\")>"_s), 1);
        // Each event: the unit as its irradiating device.
        QCOMPARE(items(tree, u"<contains CODE:(113876,DCM,\"Device Role in Procedure\")=(113859,DCM,\"Irradiating Device\")>"_s), 4);
        QCOMPARE(items(tree, u"<has properties TEXT:(113878,DCM,\"Device Manufacturer\")=\"%1\">"_s.arg(manufacturer)), 4);
        QCOMPARE(items(tree, u"<has properties TEXT:(113879,DCM,\"Device Model Name\")=\"%1\">"_s.arg(model)), 4);
        QCOMPARE(items(tree, u"<has properties TEXT:(113880,DCM,\"Device Serial Number\")=\"%1\">"_s.arg(serial)), 4);
        QCOMPARE(items(tree, u"<has properties UIDREF:(121012,DCM,\"Device Observer UID\")=\"%1\">"_s.arg(uid)), 4);
        QCOMPARE(items(tree, u"<has properties TEXT:(113877,DCM,\"Device Name\")=\"unknown\">"_s), entered ? 0 : 4);
        // The workstation is not named in the unit's place.
        const QString contentTree = tree.mid(tree.indexOf(u"<CONTAINER:"_s));
        QVERIFY(!contentTree.contains(u"\"Lumora\""_s) && !contentTree.contains(u"\"OrvanaMammo\""_s));
        const QString host = QSysInfo::machineHostName();
        if (host.size() > 2)
            QVERIFY2(!contentTree.contains(u"\"%1\""_s.arg(host)), qPrintable(contentTree));
        // Sides and views of unit 1's projections, and the accumulated AGD per breast.
        QCOMPARE(items(tree, u"=(73056007,SCT,\"Right breast\")"_s), 1);
        QCOMPARE(items(tree, u"=(80248007,SCT,\"Left breast\")"_s), 1);
        QCOMPARE(items(tree, u"=(399162004,SCT,\"cranio-caudal\")"_s), 2);
        QCOMPARE(items(tree, u"=(399368009,SCT,\"medio-lateral oblique\")"_s), 2);

        QCOMPARE(ValidationErrors(path), QStringList());
        if (validate) {
            const QString out = SrValidatorOutput(path);
            QVERIFY2(out.contains(u"Found Root Template TID_10001"_s) && !out.contains(u"Error:"_s), qPrintable(out));
        }
    }
};

QTEST_MAIN(XrayUnitTest)
#include "tst_xrayunit.moc"
