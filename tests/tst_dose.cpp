// The glandular dose of an exposure: the unit's calibration, the factor
// tables the physicist loads, K from each source, AGD = K·g·c·s against hand
// calculations from a factor table made up for this test.
#include "core/Settings.h"
#include "dose/Agd.h"
#include "dose/DoseCalibrationForm.h"
#include "dose/DoseStore.h"
#include "dose/Projection.h"
#include "store/DatabasePaths.h"
#include "support/DoseTables.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTableWidget>

namespace {

// The refusal a save gave: one critical box naming each of `named`.
bool refusedNaming(const RecordingPrompter &prompts, const QStringList &named)
{
    if (prompts.boxes.size() != 1 || prompts.boxes[0].kind != u"critical"_s) {
        qWarning("expected one refusal, got %d box(es)", int(prompts.boxes.size()));
        return false;
    }
    for (const QString &n : named)
        if (!prompts.boxes[0].text.contains(n)) {
            qWarning("%s not in: %s", qPrintable(n), qPrintable(prompts.boxes[0].text));
            return false;
        }
    return true;
}

using Opt = std::optional<double>;

} // namespace

Q_DECLARE_METATYPE(Opt)
Q_DECLARE_METATYPE(ReportedDose)
Q_DECLARE_METATYPE(ReportedAt)

class DoseTest : public QObject {
    Q_OBJECT

    FactorTables factors_;

private slots:
    void initTestCase()
    {
        const FactorTablesLoad load = ParseFactorTables(TestFactorTable);
        QVERIFY2(load.ok(), qPrintable(load.text));
        factors_ = load.tables;
    }

    // AGD = K·g·c·s at grid points, between them (bilinear in HVL and
    // thickness, linear in kV for the HVL), with each age table, and refused
    // outside the calibration or the grid. Expected values by hand from the
    // table above, K = 2.0 mGy reported at the upper surface.
    void glandularDose_data()
    {
        QTest::addColumn<double>("kv");
        QTest::addColumn<double>("thickness");
        QTest::addColumn<QString>("ageTable");
        QTest::addColumn<QString>("targetFilter"); // empty: none
        QTest::addColumn<Opt>("hvl");
        QTest::addColumn<Opt>("agd");
        const QString adult = u"50-64"_s, young = u"40-49"_s;
        // 2.0 · 0.50 · 1.00 · 1.05
        QTest::newRow("grid point") << 26.0 << 20.0 << adult << "W/Rh" << Opt(0.40) << Opt(1.05);
        // HVL 0.50; g (0.40 + 0.55) / 2 = 0.475, c (1.05 + 1.11) / 2 = 1.08: 2.0 · 0.475 · 1.08 · 1.05
        QTest::newRow("between kVs and thicknesses") << 28.0 << 40.0 << adult << "W/Rh" << Opt(0.50) << Opt(1.0773);
        // 2.0 · 0.40 · 1.04 · 1.05
        QTest::newRow("40-49 table") << 30.0 << 60.0 << young << "W/Rh" << Opt(0.60) << Opt(0.8736);
        // W/Al, HVL 0.50, t 30: g 0.5375, c 1.045, s 1.10 + 0.25 · 0.20 = 1.15
        QTest::newRow("s by thickness") << 33.0 << 30.0 << adult << "W/Al" << Opt(0.50) << Opt(1.29188125);
        QTest::newRow("kV below the beam table") << 25.0 << 40.0 << adult << "W/Rh" << Opt() << Opt();
        QTest::newRow("kV between the range limit and the next beam") << 31.0 << 40.0 << adult << "W/Rh" << Opt() << Opt();
        QTest::newRow("thinner than the grid") << 28.0 << 19.0 << adult << "W/Rh" << Opt(0.50) << Opt();
        QTest::newRow("thicker than the grid") << 33.0 << 61.0 << young << "W/Al" << Opt(0.50) << Opt();
    }
    void glandularDose()
    {
        QFETCH(double, kv);
        QFETCH(double, thickness);
        QFETCH(QString, ageTable);
        QFETCH(QString, targetFilter);
        QFETCH(Opt, hvl);
        QFETCH(Opt, agd);
        const DoseCalibration c = TestCalibration();
        const DoseEstimate e = EstimateDose(&c, &factors_, {kv, 50.0, thickness, 2.0, ageTable});
        QCOMPARE(e.targetFilter.value_or(QString()), targetFilter);
        QCOMPARE(e.hvl.has_value(), hvl.has_value());
        if (hvl)
            QVERIFY2(qAbs(*e.hvl - *hvl) < 1e-9, qPrintable(QString::number(*e.hvl)));
        QCOMPARE(e.agd.has_value(), agd.has_value());
        if (agd)
            QVERIFY2(qAbs(*e.agd - *agd) < 1e-9, qPrintable(QString::number(*e.agd, 'g', 12)));
        else
            QVERIFY(!e.why.isEmpty());
        QCOMPARE(e.kerma.value_or(-1), 2.0);
        QCOMPARE(e.source, u"reported dose"_s);
        QCOMPARE(e.ageTable, ageTable);
        QCOMPARE(e.calibrationId.value_or(0), 7);
    }

    // K from each source: the reported dose as incident or entrance surface
    // air kerma, at the upper surface or at a stated distance; else output ×
    // mAs by the inverse square to the breast's upper surface.
    void kermaSources_data()
    {
        QTest::addColumn<ReportedDose>("reported");
        QTest::addColumn<ReportedAt>("at");
        QTest::addColumn<Opt>("reportedMGy");
        QTest::addColumn<double>("kv");
        QTest::addColumn<double>("mAs");
        QTest::addColumn<double>("thickness");
        QTest::addColumn<QString>("source");
        QTest::addColumn<Opt>("kerma");
        const QString dose = u"reported dose"_s, output = u"output"_s;
        QTest::newRow("IAK at the surface") << ReportedDose::IncidentAirKerma << ReportedAt::UpperSurface << Opt(2.0) << 26.0 << 80.0 << 50.0 << dose << Opt(2.0);
        // reported at 300 mm, surface at 650 - 50 = 600 mm: 2.0 · (300/600)²
        QTest::newRow("IAK at 300 mm") << ReportedDose::IncidentAirKerma << ReportedAt::Distance << Opt(2.0) << 26.0 << 80.0 << 50.0 << dose << Opt(0.5);
        // backscatter 1.25: 2.0 / 1.25
        QTest::newRow("ESAK at the surface") << ReportedDose::EntranceSurfaceAirKerma << ReportedAt::UpperSurface << Opt(2.0) << 26.0 << 80.0 << 50.0 << dose << Opt(1.6);
        QTest::newRow("ESAK at 300 mm") << ReportedDose::EntranceSurfaceAirKerma << ReportedAt::Distance << Opt(2.0) << 26.0 << 80.0 << 50.0 << dose << Opt(0.4);
        // 100 µGy/mAs · 80 mAs at 500 mm; surface at 650 - 150 = 500 mm
        QTest::newRow("output, no dose reported") << ReportedDose::IncidentAirKerma << ReportedAt::UpperSurface << Opt() << 26.0 << 80.0 << 150.0 << output << Opt(8.0);
        // 120 µGy/mAs at 28 kV · 50 mAs · (500/600)²
        QTest::newRow("output between kVs, at 600 mm") << ReportedDose::IncidentAirKerma << ReportedAt::UpperSurface << Opt() << 28.0 << 50.0 << 50.0 << output << Opt(6.0 * 25.0 / 36.0);
        QTest::newRow("unit's dose not used") << ReportedDose::None << ReportedAt::UpperSurface << Opt(2.0) << 26.0 << 80.0 << 150.0 << output << Opt(8.0);
        QTest::newRow("output outside the kVs") << ReportedDose::None << ReportedAt::UpperSurface << Opt() << 35.0 << 80.0 << 150.0 << output << Opt();
    }
    void kermaSources()
    {
        QFETCH(ReportedDose, reported);
        QFETCH(ReportedAt, at);
        QFETCH(Opt, reportedMGy);
        QFETCH(double, kv);
        QFETCH(double, mAs);
        QFETCH(double, thickness);
        QFETCH(QString, source);
        QFETCH(Opt, kerma);
        DoseCalibration c = TestCalibration();
        c.reported = reported;
        c.reportedAt = at;
        c.reportedDistanceMm = 300;
        c.backscatter = 1.25;
        QVERIFY2(ValidateCalibration(c).isEmpty(), qPrintable(ValidateCalibration(c).join(u'\n')));
        const DoseEstimate e = EstimateDose(&c, &factors_, {kv, mAs, thickness, reportedMGy, u"50-64"_s});
        QCOMPARE(e.source, source);
        QCOMPARE(e.kerma.has_value(), kerma.has_value());
        if (kerma)
            QVERIFY2(qAbs(*e.kerma - *kerma) < 1e-9, qPrintable(QString::number(*e.kerma, 'g', 12)));
    }

    // Without a calibration or without factor tables nothing is guessed.
    void notConfigured()
    {
        const DoseCalibration c = TestCalibration();
        const FactorTables none;
        for (const DoseEstimate &e : {EstimateDose(nullptr, &factors_, {26.0, 80.0, 40.0, 2.0}), EstimateDose(&c, &none, {26.0, 80.0, 40.0, 2.0})}) {
            QCOMPARE(e.source, u"not configured"_s);
            QVERIFY(!e.agd && !e.kerma && !e.hvl && !e.calibrationId);
        }
    }

    // 50-64 unless the birth date puts her at 40 to 49 on the day; a woman
    // outside 40-64 visibly gets the 50-64 table.
    void ageTable_data()
    {
        QTest::addColumn<QDate>("birth");
        QTest::addColumn<QString>("table");
        QTest::newRow("unknown") << QDate() << "50-64";
        QTest::newRow("40 today") << QDate(1986, 12, 7) << "40-49";
        QTest::newRow("39, 40 tomorrow") << QDate(1986, 12, 8) << "50-64";
        QTest::newRow("49") << QDate(1976, 12, 8) << "40-49";
        QTest::newRow("50 today") << QDate(1976, 12, 7) << "50-64";
        QTest::newRow("70") << QDate(1956, 1, 1) << "50-64";
    }
    void ageTable()
    {
        QFETCH(QDate, birth);
        QFETCH(QString, table);
        QCOMPARE(AgeTableFor(birth, QDate(2026, 12, 7)), table);
    }

    // A file that is not a complete, plausible table is refused whole, with the line.
    void factorFilesRefused_data()
    {
        QTest::addColumn<QString>("edit"); // "pattern>replacement" applied to the good file
        QTest::addColumn<QString>("message");
        QTest::newRow("hole in the grid") << u"g,,0.60,60,0.40\n>"_s << u"incomplete"_s;
        QTest::newRow("twice") << u"g,,0.60,60,0.40>g,,0.60,20,0.40"_s << u"twice"_s;
        QTest::newRow("negative") << u"c50-64,,0.40,20,1.00>c50-64,,0.40,20,-1.00"_s << u"Line 7"_s;
        QTest::newRow("decimal comma") << u"s,W/Rh,,,1.05>s,W/Rh,,,1,05"_s << u"fields"_s;
        QTest::newRow("HVL in µm") << u"g,,0.40,20>g,,400,20"_s << u"HVL 400"_s;
        QTest::newRow("thickness in cm") << u"g,,0.40,60,0.30>g,,0.40,6,0.30"_s << u"thickness 6 mm"_s;
        QTest::newRow("g without thickness") << u"g,,0.40,20,0.50>g,,0.40,,0.50"_s << u"needs an HVL and a thickness"_s;
        QTest::newRow("no c for 40-49") << u"c40-49[^\n]*\n>"_s << u"\"c40-49\" is missing"_s;
        QTest::newRow("unknown target/filter") << u"s,W/Rh>s,W/Xx"_s << u"W/Xx"_s;
        QTest::newRow("no header") << u"factor,target_filter,hvl_mm_al,thickness_mm,value\n>"_s << u"Line 2"_s;
        // Not a number passes every range check; it must not reach a grid.
        QTest::newRow("HVL not a number") << u"g,,0.40,20>g,,nan,20"_s << u"Line 3: HVL \"nan\""_s;
        QTest::newRow("thickness not a number") << u"c40-49,,0.60,60>c40-49,,0.60,NaN"_s << u"Line 14: thickness \"NaN\""_s;
        QTest::newRow("value not a number") << u"s,W/Rh,,,1.05>s,W/Rh,,,nan"_s << u"Line 15: value \"nan\""_s;
    }
    void factorFilesRefused()
    {
        QFETCH(QString, edit);
        QFETCH(QString, message);
        const QStringList parts = edit.split(u'>');
        QString text = TestFactorTable;
        const QRegularExpression pattern(parts[0]);
        QVERIFY(text.contains(pattern));
        text.replace(pattern, parts[1]);
        const FactorTablesLoad load = ParseFactorTables(text);
        QVERIFY(!load.ok());
        QVERIFY2(load.text.contains(message), qPrintable(load.text));
        QVERIFY(load.tables.isEmpty());
    }

    // What the physicist cannot store.
    void calibrationRefused_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("message");
        QTest::newRow("nobody") << "by" << "Who entered";
        QTest::newRow("ESAK without backscatter") << "esak" << "backscatter";
        QTest::newRow("kV limits falling") << "limits" << "must rise";
        QTest::newRow("open range not last") << "open" << "last";
        QTest::newRow("HVL in µm") << "hvl" << "HVL 400";
        QTest::newRow("no beam for W/Al") << "beam" << "no HVL and output for W/Al";
        QTest::newRow("unknown target/filter") << "filter" << "W/Xx";
        QTest::newRow("NaN kV limit") << "nan limit" << "kV limit is not a finite number";
        QTest::newRow("infinite output") << "inf output" << "Beam row 3: the kV, HVL or output is not a finite number";
        QTest::newRow("NaN focus distance") << "nan focus" << "Focus to breast support is not a finite number";
    }
    void calibrationRefused()
    {
        QFETCH(QString, field);
        QFETCH(QString, message);
        DoseCalibration c = TestCalibration();
        QVERIFY(ValidateCalibration(c).isEmpty());
        if (field == u"by")
            c.calibratedBy = u" "_s;
        else if (field == u"esak")
            c.reported = ReportedDose::EntranceSurfaceAirKerma;
        else if (field == u"limits")
            c.targetFilters = {{31.0, u"W/Rh"_s}, {28.0, u"W/Al"_s}};
        else if (field == u"open")
            c.targetFilters = {{std::nullopt, u"W/Rh"_s}, {34.0, u"W/Al"_s}};
        else if (field == u"hvl")
            c.beam[0].hvl = 400;
        else if (field == u"beam")
            c.beam.removeIf([](const BeamPoint &p) { return p.targetFilter == u"W/Al"_s; });
        else if (field == u"filter")
            c.targetFilters[1].targetFilter = u"W/Xx"_s;
        else if (field == u"nan limit")
            c.targetFilters[0].upToKv = qQNaN();
        else if (field == u"inf output")
            c.beam[2].output = qInf();
        else if (field == u"nan focus")
            c.focusSupportMm = qQNaN();
        const QString problems = ValidateCalibration(c).join(u'\n');
        QVERIFY2(problems.contains(message), qPrintable(problems));
    }

    // The physicist loads the factor file and enters the calibration; both
    // survive the connection (the next start) and give the same AGD. A new
    // entry supersedes the old one, which stays for the exposures that used it.
    void storedCalibrationAndTables()
    {
        TestFolder f;
        QVERIFY(PrepareStation(f));
        f.write(u"factors.csv"_s, TestFactorTable.toUtf8());
        const QDateTime now(QDate(2026, 12, 7), QTime(9, 30));
        DoseCalibration c = TestCalibration();
        c.id = 0;
        {
            DatabaseSession db(DefinitionsDatabase);
            QVERIFY(db.ok());
            f.write(u"broken.csv"_s, QString(TestFactorTable).replace(u"g,,0.60,60,0.40\n"_s, QString()).toUtf8());
            QVERIFY(!ImportFactorFile(DefinitionsDatabase, f.file(u"broken.csv"_s), now).ok());
            QVERIFY(ReadFactorTables(DefinitionsDatabase).tables.isEmpty());
            const Result imported = ImportFactorFile(DefinitionsDatabase, f.file(u"factors.csv"_s), now);
            QVERIFY2(imported.ok(), qPrintable(imported.text));
            QVERIFY(WriteCalibration(DefinitionsDatabase, c).ok());
            DoseCalibration invalid = TestCalibration();
            invalid.calibratedBy.clear();
            QVERIFY(!WriteCalibration(DefinitionsDatabase, invalid).ok());
        }
        QVERIFY(NoDatabaseLeftOpen());
        const qlonglong first = c.id;
        QVERIFY(first > 0);
        DatabaseSession db(DefinitionsDatabase);
        const FactorTablesRead tables = ReadFactorTables(DefinitionsDatabase);
        QVERIFY2(tables.ok(), qPrintable(tables.text));
        QCOMPARE(tables.fileName, u"factors.csv"_s);
        const CalibrationRead read = ReadCalibration(DefinitionsDatabase, 3);
        QVERIFY(read.ok() && read.calibration);
        QCOMPARE(read.calibration->id, first);
        QCOMPARE(read.calibration->beam.size(), 4);
        QCOMPARE(read.calibration->targetFilters.size(), 2);
        QVERIFY(!read.calibration->targetFilters[1].upToKv);
        QVERIFY(!ReadCalibration(DefinitionsDatabase, 1).calibration);
        const DoseEstimate e = EstimateDose(&*read.calibration, &tables.tables, {33.0, 50.0, 30.0, 2.0, u"50-64"_s});
        QVERIFY(e.agd && qAbs(*e.agd - 1.29188125) < 1e-9);

        DoseCalibration next = *read.calibration;
        next.beam[0].hvl = 0.45;
        QVERIFY(WriteCalibration(DefinitionsDatabase, next).ok());
        QVERIFY(next.id != first);
        QCOMPARE(ReadCalibration(DefinitionsDatabase, 3).calibration->beam.value(0).hvl, 0.45);
        QCOMPARE(Execute(DefinitionsDatabase, u"SELECT COUNT(*) FROM tblDoseBeam WHERE CalibrationID = ?"_s, {first}).rows.value(0).value(0).toInt(), 4);
    }

    // With no tables loaded the Factor tables tab names the installed
    // document of the file's format; that document is docs/factor-tables.md,
    // and a file with the header it shows is read.
    void factorTabNamesTheFormatDocument()
    {
        TestFolder f;
        QVERIFY(PrepareStation(f));
        RecordingPrompter prompts;
        DoseCalibrationForm form(3, prompts);
        const QString named = form.findChild<QLabel *>(u"lblFactorSource"_s)->text();
        QVERIFY2(named.contains(QString::fromLatin1(FactorTableFormatDocument)), qPrintable(named));
        QVERIFY(QString::fromLatin1(FactorTableFormatDocument).startsWith(u"/usr/share/doc/lumora-station/"_s));
        const QString document = QString::fromUtf8(ReadFile(SourceDir() + u"/docs/"_s + QFileInfo(QString::fromLatin1(FactorTableFormatDocument)).fileName()));
        QVERIFY(!document.isEmpty());
        const QString header = document.section(u"first line:\n\n    "_s, 1).section(u'\n', 0, 0);
        QCOMPARE(header.count(u','), 4);
        QStringList file = TestFactorTable.split(u'\n');
        file[1] = header; // after the comment line
        const FactorTablesLoad read = ParseFactorTables(file.join(u'\n'));
        QVERIFY2(read.ok(), qPrintable(read.text));
    }

    // The physicist opens "Dose calibration …" on the stored record, changes an
    // HVL and saves; a record without who entered it, and a factor file with a
    // hole, are refused with a message naming the problem and nothing changes.
    void calibrationDialog()
    {
        TestFolder f;
        QVERIFY(PrepareStation(f));
        DoseCalibration stored = TestCalibration();
        QVERIFY(StoreCalibration(stored));
        RecordingPrompter prompts;
        DoseCalibrationForm form(3, prompts);
        const DoseCalibration shown = form.shownCalibration();
        QCOMPARE(shown.beam.size(), stored.beam.size());
        QCOMPARE(shown.targetFilters.size(), 2);
        QCOMPARE(shown.targetFilters[0].upToKv.value_or(0), 31.0);
        QCOMPARE((QList<double>{shown.focusSupportMm, shown.outputDistanceMm}), (QList<double>{650, 500}));
        QCOMPARE(shown.calibratedBy, stored.calibratedBy);
        QCOMPARE(shown.reported, ReportedDose::IncidentAirKerma);

        auto *beam = form.findChild<QTableWidget *>(u"tblBeam"_s);
        QVERIFY(beam && beam->rowCount() == 4);
        const QString filter = beam->item(0, 0)->text();
        const double kv = QLocale().toDouble(beam->item(0, 1)->text());
        beam->item(0, 2)->setText(QLocale().toString(0.45));
        form.findChild<QPushButton *>(u"cmdSaveCalibration"_s)->click();
        QCOMPARE(prompts.boxes.size(), 1);
        QVERIFY2(prompts.boxes[0].kind == u"information"_s && prompts.boxes[0].text.contains(u"saved"_s), qPrintable(prompts.texts().join(u'\n')));
        prompts.boxes.clear();
        DatabaseSession db(DefinitionsDatabase);
        const DoseCalibration saved = *ReadCalibration(DefinitionsDatabase, 3).calibration;
        QVERIFY(saved.id != stored.id);
        const auto point = std::find_if(saved.beam.begin(), saved.beam.end(), [&](const BeamPoint &p) { return p.targetFilter == filter && p.kv == kv; });
        QVERIFY(point != saved.beam.end());
        QCOMPARE(point->hvl, 0.45);

        form.findChild<QLineEdit *>(u"txtCalibratedBy"_s)->clear();
        form.findChild<QPushButton *>(u"cmdSaveCalibration"_s)->click();
        QCOMPARE(prompts.boxes.size(), 1);
        QVERIFY(prompts.boxes[0].text.contains(u"Who entered"_s));
        QCOMPARE(ReadCalibration(DefinitionsDatabase, 3).calibration->id, saved.id);

        f.write(u"holes.csv"_s, QString(TestFactorTable).replace(u"g,,0.60,60,0.40\n"_s, QString()).toUtf8());
        QVERIFY(!form.loadFactorFile(f.file(u"holes.csv"_s)));
        QVERIFY(prompts.boxes.last().text.contains(u"incomplete"_s));
        QVERIFY(ReadFactorTables(DefinitionsDatabase).tables.isEmpty());
    }

    // A cell that is not a finite number, in the physicist's locale, is
    // refused naming the table, the row and the column; nothing is stored.
    void calibrationCellsRefused_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("named");
        const QString ranges = u"tblTargetFilter"_s, beam = u"tblBeam"_s;
        const QString rangesLabel = u"Target/filter by kV range"_s, beamLabel = u"HVL and tube output per kV and target/filter"_s;
        QTest::newRow("kV with its unit") << ranges << 0 << 0 << "31 kV" << QStringList{rangesLabel, u"row 1"_s, u"Up to kV"_s, u"31 kV"_s};
        QTest::newRow("decimal comma, English") << ranges << 0 << 0 << "28,5" << QStringList{rangesLabel, u"row 1"_s, u"Up to kV"_s, u"28,5"_s};
        QTest::newRow("nan HVL") << beam << 1 << 2 << "nan" << QStringList{beamLabel, u"row 2"_s, u"HVL mm Al"_s, u"nan"_s};
        QTest::newRow("inf output") << beam << 0 << 3 << "inf" << QStringList{beamLabel, u"row 1"_s, u"Output µGy/mAs"_s, u"inf"_s};
        QTest::newRow("empty kV") << beam << 2 << 1 << "" << QStringList{beamLabel, u"row 3"_s, u"kV"_s, u"empty"_s};
        QTest::newRow("empty output") << beam << 3 << 3 << "" << QStringList{beamLabel, u"row 4"_s, u"Output µGy/mAs"_s, u"empty"_s};
    }

    void calibrationCellsRefused()
    {
        QFETCH(QString, table);
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(QString, text);
        QFETCH(QStringList, named);
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
        TestFolder f;
        QVERIFY(PrepareStation(f));
        DoseCalibration stored = TestCalibration();
        QVERIFY(StoreCalibration(stored));
        RecordingPrompter prompts;
        DoseCalibrationForm form(3, prompts);
        auto *t = form.findChild<QTableWidget *>(table);
        QVERIFY(t && t->item(row, column));
        t->item(row, column)->setText(text);
        form.findChild<QPushButton *>(u"cmdSaveCalibration"_s)->click();
        QVERIFY(refusedNaming(prompts, named));
        DatabaseSession db(DefinitionsDatabase);
        QCOMPARE(ReadCalibration(DefinitionsDatabase, 3).calibration->id, stored.id);
        QCOMPARE(Execute(DefinitionsDatabase, u"SELECT COUNT(*) FROM tblDoseCalibration"_s).rows.value(0).value(0).toInt(), 1);
    }

    // The same for the reference levels; a set that is right is saved and
    // the physicist is told so.
    void referenceCellsRefused_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("named");
        const QString label = u"Reference levels"_s;
        QTest::newRow("from with its unit") << 0 << 1 << "40 mm" << QStringList{label, u"row 1"_s, u"From mm"_s, u"40 mm"_s};
        QTest::newRow("decimal comma, English") << 1 << 4 << "2,5" << QStringList{label, u"row 2"_s, u"Level mGy"_s, u"2,5"_s};
        QTest::newRow("nan from") << 1 << 1 << "nan" << QStringList{label, u"row 2"_s, u"From mm"_s, u"nan"_s};
        QTest::newRow("inf level") << 0 << 4 << "inf" << QStringList{label, u"row 1"_s, u"Level mGy"_s, u"inf"_s};
        QTest::newRow("empty to") << 0 << 2 << "" << QStringList{label, u"row 1"_s, u"To mm"_s, u"empty"_s};
    }

    void referenceCellsRefused()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(QString, text);
        QFETCH(QStringList, named);
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
        TestFolder f;
        QVERIFY(PrepareStation(f));
        RecordingPrompter prompts;
        DoseCalibrationForm form(3, prompts);
        form.findChild<QLineEdit *>(u"txtReferenceSet"_s)->setText(u"Site 2026"_s);
        form.findChild<QLineEdit *>(u"txtReferenceSource"_s)->setText(u"local"_s);
        auto *t = form.findChild<QTableWidget *>(u"tblReferenceLevels"_s);
        QVERIFY(t);
        t->setRowCount(2);
        const QList<QStringList> rows{{u"CC"_s, u"40"_s, u"50"_s, u"AGD"_s, u"2"_s}, {u"CC"_s, u"50"_s, u"60"_s, u"AGD"_s, u"2.5"_s}};
        for (int r = 0; r < rows.size(); ++r)
            for (int c = 0; c < rows[r].size(); ++c)
                t->setItem(r, c, new QTableWidgetItem(rows[r][c]));
        t->item(row, column)->setText(text);
        auto *save = form.findChild<QPushButton *>(u"cmdSaveReferenceSet"_s);
        QVERIFY(save);
        save->click();
        QVERIFY(refusedNaming(prompts, named));
        DatabaseSession db(DefinitionsDatabase);
        QVERIFY(ReadReferenceSets(DefinitionsDatabase).sets.isEmpty());

        t->item(row, column)->setText(rows[row][column]);
        save->click();
        QCOMPARE(prompts.boxes.size(), 2);
        QVERIFY2(prompts.boxes[1].kind == u"information"_s && prompts.boxes[1].text.contains(u"saved"_s), qPrintable(prompts.boxes[1].text));
        const QList<ReferenceSet> sets = ReadReferenceSets(DefinitionsDatabase).sets;
        QCOMPARE(sets.size(), 1);
        QCOMPARE(sets[0].levels.size(), 2);
        QCOMPARE(sets[0].levels[1].level, 2.5);
    }

    // Sets the physicist enters: refused when incomplete or overlapping; the
    // active one answers the QA view's lookup.
    void referenceSets()
    {
        ReferenceSet set{0, u"Site 2026"_s, u"local"_s, true, {{u"CC"_s, 40, 50, u"AGD"_s, 2.0}, {u"CC"_s, 50, 60, u"AGD"_s, 2.5}}};
        QVERIFY(ValidateReferenceSet(set).isEmpty());
        ReferenceSet overlapping = set;
        overlapping.levels[1].fromMm = 45;
        QVERIFY(ValidateReferenceSet(overlapping).join(u'\n').contains(u"overlaps"_s));
        ReferenceSet unnamed = set;
        unnamed.source.clear();
        QVERIFY(ValidateReferenceSet(unnamed).join(u'\n').contains(u"source"_s));
        for (double bad : {qQNaN(), qInf()}) {
            ReferenceSet notFinite = set;
            notFinite.levels[1].level = bad;
            QVERIFY(ValidateReferenceSet(notFinite).join(u'\n').contains(u"Row 2: a thickness or the level is not a finite number"_s));
        }

        TestFolder f;
        QVERIFY(PrepareStation(f));
        DatabaseSession db(DefinitionsDatabase);
        QVERIFY(!ReferenceLevelFor(DefinitionsDatabase, u"CC"_s, 45));
        QVERIFY(WriteReferenceSet(DefinitionsDatabase, set).ok());
        ReferenceSet other{0, u"Wider bands"_s, u"local"_s, false, {{u"CC"_s, 40, 50, u"AGD"_s, 9.0}}};
        QVERIFY(WriteReferenceSet(DefinitionsDatabase, other).ok());
        const auto level = ReferenceLevelFor(DefinitionsDatabase, u"CC"_s, 50);
        QVERIFY(level);
        QCOMPARE(level->level, 2.5);
        QCOMPARE(level->setName, u"Site 2026"_s);
        QVERIFY(!ReferenceLevelFor(DefinitionsDatabase, u"MLO"_s, 45));
        other.active = true; // activating one set leaves it the only active one
        QVERIFY(WriteReferenceSet(DefinitionsDatabase, other).ok());
        QCOMPARE(ReferenceLevelFor(DefinitionsDatabase, u"CC"_s, 45)->level, 9.0);
        const QList<ReferenceSet> sets = ReadReferenceSets(DefinitionsDatabase).sets;
        QCOMPARE(std::count_if(sets.begin(), sets.end(), [](const ReferenceSet &s) { return s.active; }), 1);
    }

    // The text alone; where each unit type puts it is read in tst_exposure_capture.
    void projection_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("sonstiges");
        QTest::addColumn<QString>("laterality");
        QTest::addColumn<QString>("view");
        QTest::newRow("R CC") << 4 << "R CC" << "R" << "CC";
        QTest::newRow("l mlo, spaces") << 5 << " l  mlo " << "L" << "MLO";
        QTest::newRow("side, other view") << 4 << "R ML" << "R" << "other";
        QTest::newRow("words after the view") << 3 << "R CC 28 kV" << "" << "other";
        QTest::newRow("unit 1: the fourth field") << 1 << "W,Rh,28,L-CC,AEC" << "L" << "CC";
        QTest::newRow("unit 1: a first field that looks like a view") << 1 << "LCC,Rh,28,W,AEC" << "" << "other";
        QTest::newRow("unit 2's own MLO name") << 2 << "R-LMO45" << "R" << "MLO";
        QTest::newRow("unit 2: a padded caption") << 2 << " L-CC" << "" << "other";
        QTest::newRow("unit 3 without a blank") << 3 << "LCC" << "L" << "CC";
        QTest::newRow("a field that is no view") << 3 << "AEC,LCC" << "" << "other";
        QTest::newRow("fields after the view") << 0 << "LCC,AEC" << "" << "other";
        QTest::newRow("empty") << 4 << "" << "" << "other";
    }
    void projection()
    {
        QFETCH(int, unit);
        QFETCH(QString, sonstiges);
        QFETCH(QString, laterality);
        QFETCH(QString, view);
        const ExposureProjection p = ProjectionOfExposure(qint16(unit), sonstiges);
        QCOMPARE(p.laterality, laterality);
        QCOMPARE(p.view, view);
    }
};

QTEST_MAIN(DoseTest)
#include "tst_dose.moc"
