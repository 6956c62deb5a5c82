// Figures in the units of their attributes, reached the operator's way: each
// unit type's message through its decoder into the journal, read back by the
// QA view, its Exposures CSV and the day list as stamping reads it; the
// image's Entrance Dose is the surface dose the journal and the report hold;
// unit 1's own target/filter; the paddle's transmission entered in
// "Dose calibration …".
#include "acquisition/ProjectionAssignment.h"
#include "acquisition/Stamping.h"
#include "dose/DoseCalibrationForm.h"
#include "dose/DoseStore.h"
#include "exposure/ExposureJournal.h"
#include "exposure/StudyDoseReport.h"
#include "qa/DayList.h"
#include "qa/DoseQaForm.h"
#include "qa/QaTables.h"
#include "support/DoseTables.h"
#include "support/ExposureStation.h"
#include "support/SendJob.h"
#include "toolkit/SyntheticImage.h"

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QScopeGuard>

namespace {

// Unit 1's message as the unit writes it: projection, target, filter, a
// number, kV, mAs, s, AEC, kg, cm and the dose with its unit.
QString sophie(const QString &projection, const QString &target, const QString &filter, const QString &kv = u"28"_s,
               const QString &cm = u"4.5"_s, const QString &dose = u"1.23"_s)
{
    return u"\x02SOPHIE V3\r\nName: 2026-12-07 10:22:31 %1 %2 %3 28 %4kV 63mAs 1.25s AEC 12kg %5cm %6mGy\r\n"_s.arg(projection, target, filter, kv,
                                                                                                                   cm, dose);
}

// Unit 3: the projection third, kV, mAs, force, thickness in cm and dose in their fields.
QString lorad(const QString &projection, const QString &kv, const QString &cm, const QString &dose, const QString &mas = u"63"_s)
{
    return u"M4|0017|%1|AEC|Mo/Mo|Grid|07.12.26|14:05|x|y|%2 kV|z|%3 mAs|a|b|c|d|120 N|%4 cm|e|f|%5 mGy|\r\n"_s.arg(projection, kv, mas, cm, dose);
}

const QString Seno = u"ABCDEF028100 450ms12 45mm 0 DIGITAL\r\n"_s;
const QString Hfe = u"SM 1000 V2.1\r\n0.98 mGy W/Rh 28 kV 80 mAs AEC\r\n 2 Grid 450LF ms 45 mm Comp 120 N\r\n*\r\n"_s;

// The fields of a CSV line, quoted ones unquoted.
QStringList csvFields(const QString &line)
{
    QStringList out{QString()};
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == u'"' && quoted && i + 1 < line.size() && line[i + 1] == u'"')
            out.last() += line[++i];
        else if (c == u'"')
            quoted = !quoted;
        else if (c == u',' && !quoted)
            out << QString();
        else
            out.last() += c;
    }
    return out;
}

QString figure(const std::optional<double> &v) { return v ? QString::number(*v, 'g', 7) : u"-"_s; }

// The calibration of the tests, for a unit type.
DoseCalibration calibrationFor(qint16 unit)
{
    DoseCalibration c = TestCalibration();
    c.id = 0;
    c.unit = unit;
    return c;
}

} // namespace

class DoseUnitsTest : public QObject {
    Q_OBJECT

    // The unit type set up and a message decoded as the serial link's frame does it.
    static bool decode(ExposureFixture &f, qint16 unit, const QString &message)
    {
        Settings.XrayComm = unit;
        f.capture->setPatientName(u"O'Neill^Mary"_s);
        const qsizetype before = f.journal().size();
        f.capture->setBuffer(message);
        f.capture->dbFill();
        return f.journal().size() == before + 1;
    }

    // The physicist's entries through the dialog: the factor file loaded, the calibration shown and saved.
    static bool enterCalibration(ExposureFixture &f, const DoseCalibration &c, const QString &paddleText = QString())
    {
        // The test table with an s for Mo/Rh, which unit 1 may report.
        f.folder.write(u"factors.csv"_s, (TestFactorTable + u"s,Mo/Rh,,,1.00\n"_s).toUtf8());
        DoseCalibrationForm form(c.unit, f.prompter);
        if (!form.loadFactorFile(f.folder.file(u"factors.csv"_s)))
            return false;
        form.showCalibration(c);
        if (!paddleText.isNull())
            form.findChild<QLineEdit *>(u"txtPaddleTransmission"_s)->setText(paddleText);
        f.prompter.boxes.clear();
        form.findChild<QPushButton *>(u"cmdSaveCalibration"_s)->click();
        return f.prompter.boxes.size() == 1 && f.prompter.boxes[0].kind == u"information"_s;
    }

    // The dose-list row chosen and a detector image of the patient paired with it ("Manually"); the stamped image.
    static ToolkitImagePtr stampedImage(ExposureFixture &f, int row)
    {
        f.doseList->lvDosis_Fill();
        f.doseList->choose(row);
        SyntheticImageSpec spec{.patientName = u"O'Neill^Mary"_s, .rows = 64, .columns = 48};
        const QString image = f.folder.file(u"image-%1.dcm"_s.arg(row));
        if (!WriteSyntheticImage(spec, image).ok())
            return {};
        if (!LoadAsCurrentImage(f.session, image))
            return {};
        AssignmentControls controls;
        controls.askSide = [](const ToolkitImagePtr &) { return QString(); };
        controls.doseForBirthDate = DoseForBirthDate;
        ProjectionAssignment(f.session, controls, f.prompter).cmdSelected_Click();
        return f.session.currentImage();
    }

private slots:
    void init() { ResetWorkstationState(); }

    // Each unit type's message through its decoder; the QA view's reading of
    // its journal row, the Exposures CSV and the day list give kV, mAs,
    // thickness in mm, force in N and dose in mGy, as the stamped header
    // does. Unit 1 journals kg x 10 and cm x 10 and its dose with "mGy";
    // unit 3 the thickness in cm.
    void everyUnitTypeInTheAttributesUnits_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("figures"); // kV|mAs|mm|N|mGy
        QTest::addColumn<QString>("materials"); // Anode Target Material|Filter Material stamped, without a calibration
        QTest::newRow("unit 1") << 1 << sophie(u"R-CC"_s, u"Mo"_s, u"Rh"_s) << u"28|63|45|117.6798|1.23"_s << u"MOLYBDENUM|RHODIUM"_s;
        QTest::newRow("unit 3") << 3 << lorad(u"LCC"_s, u"28"_s, u"5.3"_s, u"1.61"_s) << u"28|63|53|120|1.61"_s << u"<absent>|<absent>"_s;
        QTest::newRow("unit 4") << 4 << Seno << u"28|100|45|12|-"_s << u"<absent>|<absent>"_s;
        QTest::newRow("unit 5") << 5 << Hfe << u"28|80|45|120|0.98"_s << u"<absent>|<absent>"_s;
    }
    void everyUnitTypeInTheAttributesUnits()
    {
        QFETCH(int, unit);
        QFETCH(QString, message);
        QFETCH(QString, figures);
        QFETCH(QString, materials);
        ExposureFixture f;
        QVERIFY(f.ready);
        QVERIFY(decode(f, qint16(unit), message));

        const JournalRead read = ReadJournalExposures(UserDatabase.path(), ExposureFixture::Day, ExposureFixture::Day, qint16(unit));
        QVERIFY2(read.ok(), qPrintable(read.text));
        QCOMPARE(read.rows.size(), 1);
        const JournalExposure &e = read.rows.first();
        QCOMPARE((QStringList{figure(e.kv), figure(e.mas), figure(e.thickness), figure(e.force), figure(e.reportedDose)}).join(u'|'), figures);

        // The header stamped from the same row says the same.
        const ToolkitImagePtr image = stampedImage(f, 0);
        QVERIFY(image);
        const QStringList header = TagValues(image, {"0018,0060", "0018,1152", "0018,11A0", "0018,11A2", "0040,8302"});
        QStringList stamped;
        for (const QString &h : header)
            stamped << (h.endsWith(u"<absent>"_s) ? u"-"_s : QString::number(h.section(u'=', 1).toDouble(), 'g', 7));
        QCOMPARE(stamped.join(u'|'), figures);
        QCOMPARE(TagValues(image, {"0018,1191", "0018,7050"}).join(u'|'),
                 u"0018,1191=%1|0018,7050=%2"_s.arg(materials.section(u'|', 0, 0), materials.section(u'|', 1, 1)));

        // The Exposures CSV and the day list.
        DoseStatistics stats(read.rows);
        stats.filter({ExposureFixture::Day, ExposureFixture::Day, {}, {}, {}});
        const QString csv = f.folder.file(u"exposures.csv"_s);
        QVERIFY(WriteExposureCsv(csv, stats, {}).ok());
        const QStringList lines = QString::fromUtf8(f.folder.read(u"exposures.csv"_s)).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        const QStringList headers = csvFields(lines[0]), fields = csvFields(lines[1]);
        QStringList fromCsv;
        for (const char *column : {"kV", "mAs", "Thickness mm", "Force N", "Reported dose mGy"}) {
            const QString v = fields.value(headers.indexOf(QLatin1String(column)));
            fromCsv << (v.isEmpty() ? u"-"_s : QString::number(v.toDouble(), 'g', 7));
        }
        QCOMPARE(fromCsv.join(u'|'), figures);
        const QaTable day = DayListTable(read.rows, {});
        QCOMPARE(day.rows.size(), 1);
        const QStringList parts = figures.split(u'|');
        QCOMPARE(day.rows[0].value(day.headers.indexOf(u"Thickness mm"_s)), QString::number(parts[2].toDouble(), 'f', 0));
        QCOMPARE(day.rows[0].value(day.headers.indexOf(u"Force N"_s)), QString::number(parts[3].toDouble(), 'f', 0));
        QCOMPARE(day.rows[0].value(day.headers.indexOf(u"Entrance dose mGy"_s)),
                 parts[4] == u"-" ? QString() : QString::number(parts[4].toDouble(), 'f', 2));
    }

    // A unit-3 journal of 50-56 mm breasts, which the unit sends in cm: the
    // QA view's table puts them in the band 50-59 mm and the dose chart's
    // points at 50 to 60 mm, not at about 5 mm.
    void unit3JournalInItsThicknessBand()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        const QStringList cms{u"5.0"_s, u"5.1"_s, u"5.2"_s, u"5.3"_s, u"5.4"_s, u"5.5"_s, u"5.6"_s};
        for (int i = 0; i < cms.size(); ++i)
            QVERIFY(decode(f, 3, lorad(i % 2 ? u"RCC"_s : u"LCC"_s, u"29"_s, cms[i], QString::number(1.2 + 0.1 * i))));
        DoseQaForm form(UserDatabase.path(), {}, ExposureFixture::Day, f.prompter);
        QTRY_VERIFY(!form.reading());
        const QaTable &bands = form.bandTable();
        QCOMPARE(bands.rows.size(), 1);
        QCOMPARE(bands.rows[0].mid(0, 3), (QStringList{u"CC"_s, u"50-59"_s, u"7"_s}));
        QCOMPARE(bands.rows[0].value(4), u"1.500"_s); // the median dose, mGy
        form.setBand(0);
        QTRY_VERIFY(!form.reading());
        QVERIFY(form.bandTable().rows.isEmpty());
        form.setBand(50);
        QTRY_VERIFY(!form.reading());
        QCOMPARE(form.bandTable().rows.size(), 1);

        QList<QPointF> points;
        for (QChartView *view : form.findChildren<QChartView *>())
            if (view->chart()->title().contains(u"against compressed thickness"_s))
                for (QAbstractSeries *s : view->chart()->series())
                    if (s->name() == u"CC median"_s)
                        points << static_cast<QLineSeries *>(s)->points();
        QCOMPARE(points.size(), 1);
        QVERIFY2(points[0].x() >= 50 && points[0].x() < 60, qPrintable(QString::number(points[0].x())));
        QCOMPARE(points[0].y(), 1.5);
    }

    // The image's Entrance Dose is the dose at her skin, as the journal and
    // the report have it: an IAK the unit states 550 mm from the focus, with
    // the breast support at 650 mm and a 47 mm breast, is 3.3 · (550/603)² =
    // 2.745 mGy at the surface, stamped with derivation IAK. Without the
    // calibration the unit's own figure goes in, without a derivation. An
    // entrance-dose reference level of 3.0 mGy is held against that same
    // figure in the dose list, the log and the QA view.
    void distanceReferredIakStampedAtTheSurface_data()
    {
        QTest::addColumn<bool>("calibrated");
        QTest::addColumn<int>("at"); // ReportedAt
        QTest::addColumn<double>("entrance");
        QTest::addColumn<QString>("derivation");
        QTest::addColumn<bool>("overLevel");
        QTest::newRow("IAK 550 mm from the focus") << true << int(ReportedAt::Distance) << 3.3 * (550.0 / 603.0) * (550.0 / 603.0) << u"IAK"_s
                                                   << false;
        QTest::newRow("IAK at the surface") << true << int(ReportedAt::UpperSurface) << 3.3 << u"IAK"_s << true;
        QTest::newRow("no calibration: the unit's figure") << false << 0 << 3.3 << u"<absent>"_s << true;
    }
    void distanceReferredIakStampedAtTheSurface()
    {
        QFETCH(bool, calibrated);
        QFETCH(int, at);
        QFETCH(double, entrance);
        QFETCH(QString, derivation);
        QFETCH(bool, overLevel);
        ExposureFixture f;
        QVERIFY(f.ready);
        {
            ReferenceSet set{0, u"Entrance 3.0"_s, u"local"_s, true, {{u"CC"_s, 40, 50, u"entrance dose"_s, 3.0}}};
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(WriteReferenceSet(DefinitionsDatabase, set).ok());
        }
        if (calibrated) {
            DoseCalibration c = calibrationFor(3);
            c.reportedAt = ReportedAt(at);
            c.reportedDistanceMm = 550;
            QVERIFY2(enterCalibration(f, c), qPrintable(f.prompter.texts().join(u'\n')));
        }
        QVERIFY(decode(f, 3, lorad(u"LCC"_s, u"28"_s, u"4.7"_s, u"3.3"_s)));
        QVERIFY(qAbs(entrance - 2.745) < 0.0005 || entrance == 3.3);

        const ToolkitImagePtr image = stampedImage(f, 0);
        QVERIFY(image);
        const QStringList header = TagValues(image, {"0040,8302", "0040,8303"});
        QVERIFY2(qAbs(header[0].section(u'=', 1).toDouble() - entrance) < 1e-6, qPrintable(header[0]));
        QCOMPARE(header[1], u"0040,8303="_s + derivation);
        // One figure for the quantity: the journal's K and the report's entrance exposure are the same.
        const QSqlRecord row = f.journal().first();
        QCOMPARE(row.isNull(u"Kerma"_s), !calibrated);
        if (calibrated)
            QVERIFY(qAbs(row.value(u"Kerma"_s).toDouble() - entrance) < 1e-6);
        const StudyExposures report = ReadStudyExposures(QString(), {row.value(u"IrradiationEventUID"_s).toString()});
        QVERIFY(report.ok() && report.events.size() == 1);
        QCOMPARE(report.events[0].entranceExposureMGy.has_value(), calibrated);
        if (calibrated)
            QVERIFY(qAbs(*report.events[0].entranceExposureMGy - entrance) < 1e-6);

        QCOMPARE(f.doseList->model()->index(0, DoseList::Agd).data(Qt::BackgroundRole).isValid(), overLevel);
        QCOMPARE(f.errorLog().contains(u"over the reference level: entrance dose"_s), overLevel);
        const JournalRead read = ReadJournalExposures(UserDatabase.path(), ExposureFixture::Day, ExposureFixture::Day, 3);
        QVERIFY(read.ok() && read.rows.size() == 1);
        QVERIFY(qAbs(read.rows[0].entranceDose.value_or(0) - entrance) < 1e-6);
        QCOMPARE(ExceededLevel(read.rows[0], ActiveReferenceLookup(u"test"_s)).has_value(), overLevel);
    }

    // Unit 1 sends the target/filter its exposure control chose; that one is
    // used, the calibration's kV ranges (W/Rh up to 31 kV) only for a unit
    // that sends none. A reported target/filter without a calibrated HVL
    // gives no AGD, with the reason in the log and as the report's reason.
    void reportedTargetFilter_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("moRhBeam"); // the calibration measured Mo/Rh too (HVL 0.40 at 26 kV, 0.48 at 30 kV)
        QTest::addColumn<QString>("journal"); // TargetFilter|HVL|AGD given
        QTest::addColumn<QString>("header");  // Anode Target Material|Filter Material
        QTest::addColumn<QString>("reason");  // of the missing AGD
        QTest::newRow("Mo/Rh reported and calibrated") << 1 << sophie(u"L-CC"_s, u"Mo"_s, u"Rh"_s) << true << u"Mo/Rh|0.44|yes"_s
                                                       << u"MOLYBDENUM|RHODIUM"_s << QString();
        QTest::newRow("Mo/Rh reported, no HVL for it") << 1 << sophie(u"L-CC"_s, u"Mo"_s, u"Rh"_s) << false << u"Mo/Rh|<null>|no"_s
                                                       << u"MOLYBDENUM|RHODIUM"_s
                                                       << u"the unit reported Mo/Rh at 28 kV, for which the calibration has no HVL"_s;
        QTest::newRow("W/Ag reported, no HVL for it") << 1 << sophie(u"R-MLO45"_s, u"W"_s, u"Ag"_s) << true << u"W/Ag|<null>|no"_s
                                                      << u"TUNGSTEN|SILVER"_s << u"the unit reported W/Ag at 28 kV"_s;
        QTest::newRow("W/Rh reported in capitals") << 1 << sophie(u"L-CC"_s, u"W"_s, u"RH"_s) << false << u"W/Rh|0.5|yes"_s
                                                   << u"TUNGSTEN|RHODIUM"_s << QString();
        QTest::newRow("no known element") << 1 << sophie(u"L-CC"_s, u"Xx"_s, u"Rh"_s) << true << u"<null>|<null>|no"_s << u"<absent>|<absent>"_s
                                          << u"the unit reported the target/filter \"Xx/Rh\""_s;
        QTest::newRow("unit 3 sends none: the kV range") << 3 << lorad(u"LCC"_s, u"28"_s, u"4.5"_s, u"1.23"_s) << true << u"W/Rh|0.5|yes"_s
                                                         << u"TUNGSTEN|RHODIUM"_s << QString();
    }
    void reportedTargetFilter()
    {
        QFETCH(int, unit);
        QFETCH(QString, message);
        QFETCH(bool, moRhBeam);
        QFETCH(QString, journal);
        QFETCH(QString, header);
        QFETCH(QString, reason);
        ExposureFixture f;
        QVERIFY(f.ready);
        DoseCalibration c = calibrationFor(qint16(unit));
        if (moRhBeam)
            c.beam << BeamPoint{u"Mo/Rh"_s, 26, 0.40, 90} << BeamPoint{u"Mo/Rh"_s, 30, 0.48, 110};
        QVERIFY2(enterCalibration(f, c), qPrintable(f.prompter.texts().join(u'\n')));
        QVERIFY(decode(f, qint16(unit), message));
        const QSqlRecord row = f.journal().first();
        auto cell = [&row](const char *column) {
            return row.isNull(QLatin1String(column)) ? u"<null>"_s : QString::number(row.value(QLatin1String(column)).toDouble(), 'g', 6);
        };
        QCOMPARE((QStringList{row.isNull(u"TargetFilter"_s) ? u"<null>"_s : row.value(u"TargetFilter"_s).toString(), cell("HVL"),
                              row.isNull(u"AGD"_s) ? u"no"_s : u"yes"_s})
                     .join(u'|'),
                 journal);
        if (reason.isEmpty()) {
            QVERIFY2(!f.errorLog().contains(u"No AGD"_s), qPrintable(f.errorLog()));
        } else {
            QVERIFY2(f.errorLog().contains(u"No AGD for exposure %1: %2"_s.arg(row.value(u"ID"_s).toString(), reason)), qPrintable(f.errorLog()));
            const StudyExposures report = ReadStudyExposures(QString(), {row.value(u"IrradiationEventUID"_s).toString()});
            QVERIFY(report.ok() && report.events.size() == 1);
            QVERIFY2(report.events[0].agdMissing.startsWith(reason), qPrintable(report.events[0].agdMissing));
        }
        const ToolkitImagePtr image = stampedImage(f, 0);
        QVERIFY(image);
        QCOMPARE(TagValues(image, {"0018,1191", "0018,7050"}), (QStringList{u"0018,1191="_s + header.section(u'|', 0, 0),
                                                                           u"0018,7050="_s + header.section(u'|', 1, 1)}));
    }

    // Output measured without the paddle: the dialog asks for the paddle's
    // transmission (0 < t <= 1) and refuses anything else naming the field;
    // the factor is stored, applied to K from the output and named in the
    // AGD's source. Unit 3, 28 kV, 63 mAs, 4.5 cm: 120 µGy/mAs at 500 mm,
    // surface at 605 mm: K = 7.56 · (500/605)² mGy before the paddle.
    void paddleTransmission_data()
    {
        QTest::addColumn<bool>("inBeam");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("refusal"); // empty: saved
        QTest::addColumn<double>("factor");
        QTest::newRow("through the paddle") << true << QString() << QString() << 1.0;
        QTest::newRow("without, 0.8") << false << u"0.8"_s << QString() << 0.8;
        QTest::newRow("without, 1") << false << u"1"_s << QString() << 1.0;
        QTest::newRow("without, none given") << false << u""_s << u"paddle transmission factor is missing"_s << 0.0;
        QTest::newRow("without, 0") << false << u"0"_s << u"paddle transmission factor 0 is not above 0"_s << 0.0;
        QTest::newRow("without, 1.2") << false << u"1.2"_s << u"paddle transmission factor 1.2 is not above 0"_s << 0.0;
        QTest::newRow("without, nan") << false << u"nan"_s << u"Paddle transmission factor (output without the paddle): \"nan\" is not a"_s << 0.0;
        QTest::newRow("without, inf") << false << u"inf"_s << u"Paddle transmission factor (output without the paddle): \"inf\" is not a"_s << 0.0;
        QTest::newRow("without, 0,8 in English") << false << u"0,8"_s << u"Paddle transmission factor (output without the paddle): \"0,8\" is not a number"_s << 0.0;
    }
    void paddleTransmission()
    {
        QFETCH(bool, inBeam);
        QFETCH(QString, typed);
        QFETCH(QString, refusal);
        QFETCH(double, factor);
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
        ExposureFixture f;
        QVERIFY(f.ready);
        DoseCalibration c = calibrationFor(3);
        c.reported = ReportedDose::None; // K from the output
        c.paddleInBeam = inBeam;
        if (!refusal.isEmpty()) {
            QVERIFY(!enterCalibration(f, c, typed));
            QCOMPARE(f.prompter.boxes.size(), 1);
            QCOMPARE(f.prompter.boxes[0].kind, u"critical"_s);
            QVERIFY2(f.prompter.boxes[0].text.contains(refusal), qPrintable(f.prompter.boxes[0].text));
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(!ReadCalibration(DefinitionsDatabase, 3).calibration);
            return;
        }
        QVERIFY2(enterCalibration(f, c, typed), qPrintable(f.prompter.texts().join(u'\n')));
        CalibrationRead read;
        {
            DatabaseSession db(DefinitionsDatabase);
            read = ReadCalibration(DefinitionsDatabase, 3);
        }
        QVERIFY(read.calibration);
        QCOMPARE(read.calibration->paddleInBeam, inBeam);
        QCOMPARE(read.calibration->paddleTransmission.has_value(), !inBeam);
        if (!inBeam)
            QCOMPARE(*read.calibration->paddleTransmission, factor);
        {
            // Shown again as stored.
            DoseCalibrationForm form(3, f.prompter);
            QCOMPARE(form.findChild<QLineEdit *>(u"txtPaddleTransmission"_s)->text(), inBeam ? QString() : typed);
            QCOMPARE(form.findChild<QLineEdit *>(u"txtPaddleTransmission"_s)->isEnabled(), !inBeam);
        }
        QVERIFY(decode(f, 3, lorad(u"LCC"_s, u"28"_s, u"4.5"_s, u"0"_s)));
        const QSqlRecord row = f.journal().first();
        const double k = 7.56 * (500.0 / 605.0) * (500.0 / 605.0) * factor;
        QVERIFY2(qAbs(row.value(u"Kerma"_s).toDouble() - k) < 1e-9, qPrintable(row.value(u"Kerma"_s).toString()));
        QCOMPARE(row.value(u"AgdSource"_s).toString(), inBeam ? u"output"_s : u"output, paddle transmission %1"_s.arg(factor));
        QVERIFY(!row.isNull(u"AGD"_s));
    }

    // A value that is no finite number ("inf", "nan", beyond the doubles) is
    // no measurement for the dose: no kV, no AGD, and the reason says so.
    void nonFiniteValuesGiveNoDose_data()
    {
        QTest::addColumn<QString>("kv");
        QTest::newRow("inf") << u"inf"_s;
        QTest::newRow("nan") << u"nan"_s;
        QTest::newRow("1e999") << u"1e999"_s;
    }
    void nonFiniteValuesGiveNoDose()
    {
        QFETCH(QString, kv);
        ExposureFixture f;
        QVERIFY(f.ready);
        QVERIFY(enterCalibration(f, calibrationFor(3)));
        QVERIFY(decode(f, 3, lorad(u"LCC"_s, kv, u"4.5"_s, u"1.23"_s)));
        const QSqlRecord row = f.journal().first();
        QVERIFY(row.isNull(u"AGD"_s) && row.isNull(u"Kerma"_s));
        QVERIFY2(f.errorLog().contains(u"the unit sent no kV or no thickness"_s), qPrintable(f.errorLog()));
        ExposureRecord record;
        record.KVP = kv;
        record.Dicke = u"4.5"_s;
        QVERIFY(!DoseInputOf(3, record).kv);
        QCOMPARE(DoseInputOf(3, record).thicknessMm, std::optional<double>(45));
    }
};

QTEST_MAIN(DoseUnitsTest)
#include "tst_dose_units.moc"
