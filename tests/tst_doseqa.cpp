// The dose QA window over a small journal whose figures were worked out by
// hand: the table per view and band under each filter, repeats and rejects,
// the proposed local levels, the far-off exposure clicked in the chart, and
// the exports (both CSVs, the PDF report and the day list read back).
#include "app/MainForm.h"
#include "app/Workstation.h"
#include "dose/Projection.h"
#include "qa/DayList.h"
#include "qa/DoseQaForm.h"
#include "store/Database.h"
#include "support/Station.h"

#include <QChartView>
#include <QLineSeries>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QScatterSeries>
#include <cmath>

namespace {

const QDate Today(2026, 12, 7);

// One journal row; a negative number is stored as NULL.
struct Row {
    int daysBack;
    const char *projection;
    double thickness, kv, mas, force, mGy, agd;
    const char *status;
    const char *patientId; // empty: never assigned
    int unit;
};

// A: ... I, the letters the hand calculation uses. Units 4 and 5 journal the projection alone.
const Row Journal[] = {
    {0, "R CC", 42, 28, 60, 100, 1.0, 1.2, "1", "P1", 4},   // A
    {0, "L CC", 45, 29, 80, 120, 1.5, 1.6, "1", "P1", 4},   // B
    {0, "R CC", 48, 30, 70, 110, 2.0, 2.0, "1", "P2", 4},   // C: above the CC AGD level 1.8
    {1, "L CC", 44, 28, 65, 90, 1.1, 1.4, "0", "", 4},      // D: never assigned
    {1, "R MLO", 52, 31, 90, 130, 2.5, 2.2, "0", "P3", 4},  // E: set free
    {1, "L MLO", 55, 31, 99.5, 140, 3.0, 2.6, "1", "P3", 4}, // F: above the MLO entrance level 2.8, mAs "99,5"
    {2, "R CC", 47, 29, 75, 115, 1.4, -1, "1", "P4", 5},    // G: no AGD, the other unit
    {40, "L CC", 43, 28, 62, 106, 1.0, 1.0, "1", "P5", 4},  // H: before the range
    {0, "Phantom", -1, 26, 40, -1, 0.8, -1, "1", "", 4},    // I: taken off the list unassigned
};

// The levels the tests check against: AGD for CC 40-49 mm, entrance dose for MLO.
std::optional<ReferenceMatch> TestLevels(const QString &view, double thickness)
{
    if (view == u"CC"_s && thickness >= 40 && thickness < 50)
        return ReferenceMatch{1.8, u"AGD"_s, u"Test set"_s, {}};
    if (view == u"MLO"_s)
        return ReferenceMatch{2.8, u"entrance dose"_s, u"Entrance set"_s, {}};
    return std::nullopt;
}

// As a decoder stores it; mAs with the decimal comma some units send.
QVariant Value(double v, bool comma = false)
{
    QString text = QString::number(v);
    if (comma)
        text.replace(u'.', u',');
    return v < 0 ? QVariant() : QVariant(text);
}

// The station's journal template; with the dose columns, as the dose computation adds them.
QString MakeJournal(const TestFolder &folder, bool doseColumns, const QList<Row> &rows, const QDate &today = Today,
                    const QString &file = u"Data/Journal.dat"_s)
{
    const QString path = folder.file(file);
    if (!QFile::exists(folder.file(u"Data/LumoraDef.dat"_s)) && !MakeStationDatabases(folder.path()))
        return {};
    if (!QFile::copy(folder.file(u"Data/LumoraDef.dat"_s), path))
        return {};
    if (doseColumns)
        for (const char *column : {"Unit INTEGER", "TargetFilter TEXT", "HVL REAL", "Kerma REAL", "AGD REAL", "AgdSource TEXT",
                                   "AgeTable TEXT", "CalibrationID INTEGER"})
            QueryRows(path, u"ALTER TABLE tblDosis ADD COLUMN "_s + QLatin1String(column));
    for (const Row &r : rows) {
        QString sql = u"INSERT INTO tblDosis (Datum, Zeit, Sonstiges, Dicke, KVP, ma, Druck, mGy, Status, FKeyPatID, Patname"_s;
        QVariantList values{DbDate(today.addDays(-r.daysBack)), u"10:00:00"_s, QString::fromUtf8(r.projection), Value(r.thickness),
                            Value(r.kv), Value(r.mas, true), Value(r.force), Value(r.mGy), QString::fromLatin1(r.status),
                            *r.patientId ? QVariant(QString::fromLatin1(r.patientId)) : QVariant(),
                            u"Patient^"_s + QString::fromLatin1(*r.patientId ? r.patientId : "none")};
        if (doseColumns) {
            sql += u", Unit, AGD, AgdSource, HVL, TargetFilter"_s;
            values << r.unit << (r.agd < 0 ? QVariant() : QVariant(r.agd))
                   << (r.agd < 0 ? u"not configured"_s : u"reported dose"_s) << 0.5 << u"W/Rh"_s;
        }
        sql += u") VALUES ("_s + QStringList(values.size(), u"?"_s).join(u", "_s) + u")"_s;
        QueryRows(path, sql, values);
    }
    return path;
}

using Table = QList<QStringList>;

QStringList Fields(const QByteArray &line) { return QString::fromUtf8(line).trimmed().split(u','); }

// The text pdftotext reads from a PDF, in layout order, ligatures ("ﬁ")
// spelt out; empty when it cannot.
QString PdfText(const QString &pdf)
{
    QByteArray out;
    return RunProgram(u"pdftotext"_s, {u"-layout"_s, pdf, u"-"_s}, &out) == 0
        ? QString::fromUtf8(out).normalized(QString::NormalizationForm_KC)
        : QString();
}

} // namespace

class DoseQaTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    QString journal_;
    std::unique_ptr<DoseQaForm> form_;

    // The window as the operator left it: range, unit, view, band.
    void choose(const QDate &from, const QDate &to, std::optional<int> unit, const QString &view, std::optional<int> band)
    {
        form_->setRange(from, to);
        form_->setUnit(unit);
        form_->setView(view);
        form_->setBand(band);
        QTRY_VERIFY_WITH_TIMEOUT(!form_->reading(), 10000);
    }

    // Where the next export's file dialog is answered.
    QString saveAs(const QString &button, const QString &name)
    {
        const QString path = folder_->file(name);
        form_->chooseSaveFile = [path](const QString &, const QString &, const QString &) { return path; };
        for (QPushButton *b : form_->findChildren<QPushButton *>())
            if (b->text() == button)
                b->click();
        return path;
    }

private slots:
    void initTestCase()
    {
        ResetWorkstationState();
        folder_ = std::make_unique<TestFolder>();
        journal_ = MakeJournal(*folder_, true, QList<Row>(std::begin(Journal), std::end(Journal)));
        QVERIFY(!journal_.isEmpty());
        QCOMPARE(CountRows(journal_, u"tblDosis"_s), qlonglong(std::size(Journal)));
        form_ = std::make_unique<DoseQaForm>(journal_, TestLevels, Today);
        form_->show();
        QTRY_VERIFY_WITH_TIMEOUT(!form_->reading(), 10000);
    }
    void cleanupTestCase() { form_.reset(); }

    // The operator sets range, unit, view and band; the table per view and
    // band shows the hand-computed figures (AGD where any exposure has one).
    void bandTable_data()
    {
        QTest::addColumn<int>("fromDaysBack");
        QTest::addColumn<int>("unit"); // 0: all
        QTest::addColumn<QString>("view");
        QTest::addColumn<int>("band"); // -1: all
        QTest::addColumn<QString>("quantity");
        QTest::addColumn<Table>("expected");
        const QStringList cc{u"CC"_s, u"40-49"_s, u"5"_s, u"4"_s, u"1.500"_s, u"1.550"_s, u"1.700"_s, u"29.0"_s, u"70.0"_s, u"110"_s};
        const QStringList mlo{u"MLO"_s, u"50-59"_s, u"2"_s, u"2"_s, u"2.400"_s, u"2.400"_s, u"2.500"_s, u"31.0"_s, u"94.8"_s, u"135"_s};
        const QStringList other{u"other"_s, u"unknown"_s, u"1"_s, u"0"_s, {}, {}, {}, u"26.0"_s, u"40.0"_s, {}};
        QTest::newRow("30 days, all") << 29 << 0 << QString() << -1 << u"AGD"_s << Table{cc, mlo, other};
        QTest::newRow("CC only") << 29 << 0 << u"CC"_s << -1 << u"AGD"_s << Table{cc};
        QTest::newRow("band 50-59") << 29 << 0 << QString() << 50 << u"AGD"_s << Table{mlo};
        QTest::newRow("unit 5: entrance dose") << 29 << 5 << QString() << -1 << u"entrance dose"_s
                                               << Table{{u"CC"_s, u"40-49"_s, u"1"_s, u"1"_s, u"1.400"_s, u"1.400"_s, u"1.400"_s,
                                                         u"29.0"_s, u"75.0"_s, u"115"_s}};
        // H, 40 days back, joins CC: AGD 1.0, 1.2, 1.4, 1.6, 2.0.
        QTest::newRow("60 days, CC") << 59 << 0 << u"CC"_s << -1 << u"AGD"_s
                                     << Table{{u"CC"_s, u"40-49"_s, u"6"_s, u"5"_s, u"1.400"_s, u"1.440"_s, u"1.600"_s, u"28.5"_s,
                                               u"67.5"_s, u"108"_s}};
        QTest::newRow("today only") << 0 << 4 << QString() << -1 << u"AGD"_s
                                    << Table{{u"CC"_s, u"40-49"_s, u"3"_s, u"3"_s, u"1.600"_s, u"1.600"_s, u"1.800"_s, u"29.0"_s,
                                              u"70.0"_s, u"110"_s},
                                             other};
    }
    void bandTable()
    {
        QFETCH(int, fromDaysBack);
        QFETCH(int, unit);
        QFETCH(QString, view);
        QFETCH(int, band);
        QFETCH(QString, quantity);
        QFETCH(Table, expected);
        choose(Today.addDays(-fromDaysBack), Today, unit ? std::optional<int>(unit) : std::nullopt, view,
               band >= 0 ? std::optional<int>(band) : std::nullopt);
        QVERIFY2(form_->bandTable().title.contains(quantity), qPrintable(form_->bandTable().title));
        QCOMPARE(form_->bandTable().rows, expected);
    }

    // Never assigned: no patient ID (D open, I taken off the list); set free: open again with an ID (E).
    void rejects()
    {
        choose(Today.addDays(-29), Today, {}, {}, {});
        QCOMPARE(form_->rejectsTable().rows, (Table{{u"2026-12-05"_s, u"CC"_s, u"1"_s, u"0"_s, u"0"_s},
                                                   {u"2026-12-06"_s, u"CC"_s, u"1"_s, u"1"_s, u"0"_s},
                                                   {u"2026-12-06"_s, u"MLO"_s, u"2"_s, u"0"_s, u"1"_s},
                                                   {u"2026-12-07"_s, u"CC"_s, u"3"_s, u"0"_s, u"0"_s},
                                                   {u"2026-12-07"_s, u"other"_s, u"1"_s, u"1"_s, u"0"_s}}));
    }

    // The 75th percentile per view and band over the months chosen, also
    // where the range shown is shorter: H (40 days back) counts for 12 months.
    void proposedLevels_data()
    {
        QTest::addColumn<int>("months");
        QTest::addColumn<Table>("expected");
        const QStringList mlo{u"MLO"_s, u"50-59"_s, u"2"_s, u"2.500"_s};
        QTest::newRow("12 months") << 12 << Table{{u"CC"_s, u"40-49"_s, u"5"_s, u"1.600"_s}, mlo};
        QTest::newRow("1 month") << 1 << Table{{u"CC"_s, u"40-49"_s, u"4"_s, u"1.700"_s}, mlo};
    }
    void proposedLevels()
    {
        QFETCH(int, months);
        QFETCH(Table, expected);
        choose(Today.addDays(-59), Today, {}, {}, {}); // H is read, whatever the months
        form_->setLevelMonths(months);
        QTRY_VERIFY_WITH_TIMEOUT(!form_->reading(), 10000);
        QCOMPARE(form_->proposedTable().rows, expected);
    }

    // What the daily and force charts are drawn from.
    void chartFigures()
    {
        choose(Today.addDays(-29), Today, {}, {}, {});
        const DoseStatistics &s = form_->statistics();
        QCOMPARE(s.dailyMedians().size(), 2); // G's day has no AGD
        QCOMPARE(s.dailyMedians()[0].day, Today.addDays(-1));
        QCOMPARE(s.dailyMedians()[0].median, 2.2);
        QCOMPARE(s.dailyMedians()[1].median, 1.6);
        QCOMPARE(s.forceByView().size(), 2); // I has no force
        const ViewSpread cc = s.forceByView()[0], mlo = s.forceByView()[1];
        QCOMPARE(QList<double>({cc.min, cc.q1, cc.median, cc.q3, cc.max}), QList<double>({90, 100, 110, 115, 120}));
        QCOMPARE(QList<double>({mlo.min, mlo.q1, mlo.median, mlo.q3, mlo.max}), QList<double>({130, 132.5, 135, 137.5, 140}));
        // The AGD chart draws the CC band's AGD level; MLO's level is of entrance dose and stays off it.
        QMap<QString, QList<QPointF>> lines;
        for (QChartView *v : form_->findChildren<QChartView *>())
            for (QAbstractSeries *series : v->chart()->series())
                if (auto *line = qobject_cast<QLineSeries *>(series); line && line->name().endsWith(u" level"_s))
                    lines[line->name()] = line->points();
        QCOMPARE(lines, (QMap<QString, QList<QPointF>>{{u"CC level"_s, {QPointF(40, 1.8), QPointF(50, 1.8)}}}));
    }

    // A journal from before the dose columns: the same window on entrance dose.
    void journalWithoutDoseColumns()
    {
        TestFolder folder;
        const QString journal = MakeJournal(folder, false, QList<Row>(std::begin(Journal), std::end(Journal)));
        QVERIFY(!journal.isEmpty());
        DoseQaForm form(journal, TestLevels, Today);
        QTRY_VERIFY_WITH_TIMEOUT(!form.reading(), 10000);
        form.setRange(Today.addDays(-29), Today);
        QTRY_VERIFY_WITH_TIMEOUT(!form.reading(), 10000);
        QVERIFY(form.bandTable().title.contains(u"entrance dose"_s));
        QCOMPARE(form.bandTable().rows,
                 (Table{{u"CC"_s, u"40-49"_s, u"5"_s, u"5"_s, u"1.400"_s, u"1.400"_s, u"1.500"_s, u"29.0"_s, u"70.0"_s, u"110"_s},
                        {u"MLO"_s, u"50-59"_s, u"2"_s, u"2"_s, u"2.750"_s, u"2.750"_s, u"2.875"_s, u"31.0"_s, u"94.8"_s, u"135"_s},
                        {u"other"_s, u"unknown"_s, u"1"_s, u"1"_s, u"0.800"_s, u"0.800"_s, u"0.800"_s, u"26.0"_s, u"40.0"_s, {}}}));
    }

    // Exposures on one curve and one four times above it: only that one is
    // drawn as a point, and clicking it shows that exposure.
    void farExposureClicked()
    {
        TestFolder folder;
        QList<Row> rows;
        for (int t = 30; t <= 70; ++t)
            rows.append({0, "R CC", double(t), 28, 60, 100, 1, std::exp(-1 + 0.03 * t), "1", "P1", 1});
        rows.append({0, "L CC", 50, 29, 61, 101, 1, 4 * std::exp(-1 + 0.03 * 50), "1", "P9", 1});
        const QString journal = MakeJournal(folder, true, rows);
        QVERIFY(!journal.isEmpty());
        const qlonglong farId = QueryValue(journal, u"SELECT MAX(ID) FROM tblDosis"_s).toLongLong();
        DoseQaForm form(journal, TestLevels, Today);
        form.resize(1200, 800);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTRY_VERIFY_WITH_TIMEOUT(!form.reading(), 10000);
        QChartView *view = nullptr;
        QScatterSeries *points = nullptr;
        for (QChartView *v : form.findChildren<QChartView *>())
            for (QAbstractSeries *s : v->chart()->series())
                if (auto *scatter = qobject_cast<QScatterSeries *>(s)) {
                    view = v;
                    points = scatter;
                }
        QVERIFY(points);
        QCOMPARE(points->points(), QList<QPointF>({QPointF(50, 4 * std::exp(-1 + 0.03 * 50))}));
        QSignalSpy chosen(&form, &DoseQaForm::exposureChosen);
        QTRY_VERIFY(view->chart()->plotArea().isValid());
        const QPoint at = view->mapFromScene(view->chart()->mapToScene(view->chart()->mapToPosition(points->at(0), points)));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QTRY_COMPARE(chosen.size(), 1);
        QCOMPARE(chosen[0][0].toLongLong(), farId);
        QVERIFY2(form.shownExposure().startsWith(u"Exposure %1,"_s.arg(farId)), qPrintable(form.shownExposure()));
    }

    // The operator opens the window from the main window's View menu: it
    // shows the station's journal of the last three months.
    void openedFromTheViewMenu()
    {
        TestFolder folder;
        QVERIFY(PrepareStation(folder));
        const QList<Row> rows(std::begin(Journal), std::end(Journal));
        QVERIFY(!MakeJournal(folder, true, rows, QDate::currentDate(), u"LumoraData.dat"_s).isEmpty());
        MainForm main;
        Workstation station(main);
        main.action(u"mnuDoseQa"_s)->trigger();
        DoseQaForm *form = nullptr;
        QTRY_VERIFY((form = main.findChild<DoseQaForm *>()) && form->isVisible() && !form->reading());
        QCOMPARE(form->statistics().selected().size(), size_t(rows.size())); // H, 40 days back, too
        QCOMPARE(form->bandTable().rows.value(0).value(2), u"6"_s);            // CC 40-49: A, B, C, D, G, H
        form->close();
        QTRY_VERIFY(!main.findChild<DoseQaForm *>()); // closing lets it go
    }

    // The exposure CSV: every field, the view and band, the level and whether it is exceeded.
    void exposureCsv_data()
    {
        QTest::addColumn<int>("row"); // of Journal
        QTest::addColumn<QStringList>("expected"); // View, Band mm, AGD mGy, Reference level mGy, Reference quantity, Reference set, Above level
        QTest::newRow("A below the AGD level") << 0 << QStringList{u"CC"_s, u"40-49"_s, u"1.2"_s, u"1.8"_s, u"AGD"_s, u"Test set"_s, {}};
        QTest::newRow("C above the AGD level") << 2 << QStringList{u"CC"_s, u"40-49"_s, u"2"_s, u"1.8"_s, u"AGD"_s, u"Test set"_s, u"yes"_s};
        QTest::newRow("E below the entrance level") << 4 << QStringList{u"MLO"_s, u"50-59"_s, u"2.2"_s, u"2.8"_s, u"entrance dose"_s, u"Entrance set"_s, {}};
        QTest::newRow("F above the entrance level") << 5 << QStringList{u"MLO"_s, u"50-59"_s, u"2.6"_s, u"2.8"_s, u"entrance dose"_s, u"Entrance set"_s, u"yes"_s};
        QTest::newRow("G without AGD") << 6 << QStringList{u"CC"_s, u"40-49"_s, {}, u"1.8"_s, u"AGD"_s, u"Test set"_s, {}};
        QTest::newRow("I without thickness") << 8 << QStringList{u"other"_s, u"unknown"_s, {}, {}, {}, {}, {}};
    }
    void exposureCsv()
    {
        QFETCH(int, row);
        QFETCH(QStringList, expected);
        choose(Today.addDays(-29), Today, {}, {}, {});
        const QList<QByteArray> lines = ReadFile(saveAs(u"Exposures CSV ..."_s, u"exposures.csv"_s)).split('\n');
        const QStringList header = Fields(lines.value(0));
        QCOMPARE(header, (QStringList{u"ID"_s, u"Date"_s, u"Time"_s, u"Unit"_s, u"Projection"_s, u"Laterality"_s, u"View"_s,
                                     u"Band mm"_s, u"kV"_s, u"mAs"_s, u"Thickness mm"_s, u"Force N"_s, u"Reported dose mGy"_s,
                                     u"Exposure time"_s, u"Status"_s, u"Assigned to"_s, u"Target/filter"_s, u"HVL mm Al"_s,
                                     u"K mGy"_s, u"AGD mGy"_s, u"AGD source"_s, u"Age table"_s, u"Calibration"_s,
                                     u"Reference level mGy"_s, u"Reference quantity"_s, u"Reference set"_s, u"Above level"_s}));
        QCOMPARE(lines.size(), 1 + 8 + 1); // header, A-G and I, the final line end
        const QStringList fields = Fields(lines.value(1 + (row > 7 ? row - 1 : row)));
        QCOMPARE(fields.size(), header.size());
        auto field = [&](const char *name) { return fields.value(header.indexOf(QLatin1String(name))); };
        QCOMPARE(field("Projection"), QString::fromLatin1(Journal[row].projection));
        QCOMPARE((QStringList{field("View"), field("Band mm"), field("AGD mGy"), field("Reference level mGy"),
                              field("Reference quantity"), field("Reference set"), field("Above level")}),
                 expected);
    }

    // The summary CSV is the table on screen.
    void summaryCsv()
    {
        choose(Today.addDays(-29), Today, {}, {}, {});
        const QList<QByteArray> lines = ReadFile(saveAs(u"Summary CSV ..."_s, u"summary.csv"_s)).trimmed().split('\n');
        QCOMPARE(lines.size(), 1 + form_->bandTable().rows.size());
        QCOMPARE(Fields(lines[0]), form_->bandTable().headers);
        for (int i = 0; i < form_->bandTable().rows.size(); ++i)
            QCOMPARE(Fields(lines[i + 1]), form_->bandTable().rows[i]);
    }

    // The PDF report holds the tables as text that pdftotext reads back.
    void pdfReport()
    {
        choose(Today.addDays(-29), Today, {}, u"CC"_s, {});
        const QString text = PdfText(saveAs(u"PDF report ..."_s, u"report.pdf"_s));
        QVERIFY2(text.contains(u"Dose QA report"_s), qPrintable(text));
        QVERIFY(text.contains(u"2026-11-08 to 2026-12-07"_s));
        const QRegularExpression ccRow(u"CC\\s+40-49\\s+5\\s+4\\s+1\\.500\\s+1\\.550\\s+1\\.700\\s+29\\.0\\s+70\\.0\\s+110"_s);
        QVERIFY2(ccRow.match(text).hasMatch(), qPrintable(text));
        QVERIFY(text.contains(u"Repeats and rejects per day and view"_s));
        QVERIFY(text.contains(u"Proposed local reference levels"_s));
        QVERIFY(!text.contains(u"MLO"_s)); // the view filter holds
    }

    // The day list of each day: its exposures, their AGD and the level exceeded.
    void dayList_data()
    {
        QTest::addColumn<int>("daysBack");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QStringList>("lines"); // regular expressions, one per exposure line
        QTest::newRow("today") << 0 << u"4 exposures, 1 above a reference level"_s
                               << QStringList{u"P1\\s+R CC\\s+28\\s+60.0\\s+42\\s+100\\s+1.00\\s+1.20\\s+reported dose\\s*$"_s,
                                              u"P2\\s+R CC\\s+30\\s+70.0\\s+48\\s+110\\s+2.00\\s+2.00\\s+reported dose\\s+AGD > 1.80 mGy \\(Test set\\)"_s,
                                              u"none\\s+Phantom\\s+26\\s+40.0\\s+0.80\\s+not configured"_s};
        QTest::newRow("yesterday") << 1 << u"3 exposures, 1 above a reference level"_s
                                   << QStringList{u"P3\\s+R MLO\\s+31\\s+90.0\\s+52\\s+130\\s+2.50\\s+2.20\\s+reported dose\\s*$"_s,
                                                  u"P3\\s+L MLO\\s+31\\s+99.5\\s+55\\s+140\\s+3.00\\s+2.60\\s+reported dose\\s+mGy > 2.80 mGy \\(Entrance set\\)"_s};
        QTest::newRow("no exposures") << 3 << u"0 exposures, 0 above a reference level"_s << QStringList{};
    }
    void dayList()
    {
        QFETCH(int, daysBack);
        QFETCH(QString, summary);
        QFETCH(QStringList, lines);
        const QString pdf = folder_->file(u"daylist.pdf"_s);
        const QDate day = Today.addDays(-daysBack);
        QVERIFY(WriteDayListPdf(pdf, day, journal_, TestLevels).ok());
        const QString text = PdfText(pdf);
        QVERIFY2(text.contains(u"Day list "_s + day.toString(Qt::ISODate)), qPrintable(text));
        QVERIFY2(text.contains(summary), qPrintable(text));
        for (const QString &line : lines)
            QVERIFY2(QRegularExpression(line, QRegularExpression::MultilineOption).match(text).hasMatch(), qPrintable(line + u"\n"_s + text));
    }
};

QTEST_MAIN(DoseQaTest)
#include "tst_doseqa.moc"
