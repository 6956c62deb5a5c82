// The dose QA window over a small journal whose figures were worked out by
// hand: the table per view and band under each filter, repeats and rejects,
// the proposed local levels, the far-off exposure clicked in the chart, and
// the exports (both CSVs, the PDF report and the day list read back).
#include "dose/Projection.h"
#include "qa/DayList.h"
#include "qa/DoseQaForm.h"
#include "store/Database.h"
#include "support/Station.h"

#include <QChartView>
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

// A: ... I, the letters the hand calculation uses.
const Row Journal[] = {
    {0, "R CC", 42, 28, 60, 100, 1.0, 1.2, "1", "P1", 1},   // A
    {0, "L CC", 45, 29, 80, 120, 1.5, 1.6, "1", "P1", 1},   // B
    {0, "R CC", 48, 30, 70, 110, 2.0, 2.0, "1", "P2", 1},   // C: above the CC AGD level 1.8
    {1, "L CC", 44, 28, 65, 90, 1.1, 1.4, "0", "", 1},      // D: never assigned
    {1, "R MLO", 52, 31, 90, 130, 2.5, 2.2, "0", "P3", 1},  // E: set free
    {1, "L MLO", 55, 31, 100, 140, 3.0, 2.6, "1", "P3", 1}, // F: above the MLO entrance level 2.8
    {2, "R CC", 47, 29, 75, 115, 1.4, -1, "1", "P4", 2},    // G: no AGD, the other unit
    {40, "L CC", 43, 28, 62, 106, 1.0, 1.0, "1", "P5", 1},  // H: before the range
    {0, "Phantom", -1, 26, 40, -1, 0.8, -1, "1", "", 1},    // I: taken off the list unassigned
};

// The levels the tests check against: AGD for CC 40-49 mm, entrance dose for MLO.
std::optional<ReferenceLevel> TestLevels(const QString &view, double thickness)
{
    if (view == u"CC"_s && thickness >= 40 && thickness < 50)
        return ReferenceLevel{1.8, true, u"Test set"_s};
    if (view == u"MLO"_s)
        return ReferenceLevel{2.8, false, u"Entrance set"_s};
    return std::nullopt;
}

QVariant Value(double v) { return v < 0 ? QVariant() : QVariant(QString::number(v)); }

// The station's journal template; with the dose columns, as the dose computation adds them.
QString MakeJournal(const TestFolder &folder, bool doseColumns, const QList<Row> &rows)
{
    const QString path = folder.file(u"Data/Journal.dat"_s);
    if (!MakeStationDatabases(folder.path()) || !QFile::copy(folder.file(u"Data/LumoraDef.dat"_s), path))
        return {};
    if (doseColumns)
        for (const char *column : {"Unit INTEGER", "TargetFilter TEXT", "HVL REAL", "Kerma REAL", "AGD REAL", "AgdSource TEXT",
                                   "AgeTable TEXT", "CalibrationID INTEGER"})
            QueryRows(path, u"ALTER TABLE tblDosis ADD COLUMN "_s + QLatin1String(column));
    for (const Row &r : rows) {
        QString sql = u"INSERT INTO tblDosis (Datum, Zeit, Sonstiges, Dicke, KVP, ma, Druck, mGy, Status, FKeyPatID, Patname"_s;
        QVariantList values{DbDate(Today.addDays(-r.daysBack)), u"10:00:00"_s, QString::fromUtf8(r.projection), Value(r.thickness),
                            Value(r.kv), Value(r.mas), Value(r.force), Value(r.mGy), QString::fromLatin1(r.status),
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

// The text pdftotext reads from a PDF, in layout order; empty when it cannot.
QString PdfText(const QString &pdf)
{
    QByteArray out;
    return RunProgram(u"pdftotext"_s, {u"-layout"_s, pdf, u"-"_s}, &out) == 0 ? QString::fromUtf8(out) : QString();
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

    void projection_data()
    {
        QTest::addColumn<QString>("sonstiges");
        QTest::addColumn<QString>("laterality");
        QTest::addColumn<QString>("view");
        QTest::newRow("R CC") << u"R CC"_s << u"R"_s << u"CC"_s;
        QTest::newRow("L MLO with fields") << u"L MLO 12;3"_s << u"L"_s << u"MLO"_s;
        QTest::newRow("lower case, no space") << u"rcc"_s << u"R"_s << u"CC"_s;
        QTest::newRow("ML is not MLO") << u"L ML"_s << QString() << u"other"_s;
        QTest::newRow("CCID is not CC") << u"R CCID"_s << QString() << u"other"_s;
        QTest::newRow("empty") << QString() << QString() << u"other"_s;
    }
    void projection()
    {
        QFETCH(QString, sonstiges);
        const ExposureProjection p = ProjectionOfExposure(sonstiges);
        QFETCH(QString, laterality);
        QFETCH(QString, view);
        QCOMPARE(p.laterality, laterality);
        QCOMPARE(p.view, view);
    }

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
        const QStringList mlo{u"MLO"_s, u"50-59"_s, u"2"_s, u"2"_s, u"2.400"_s, u"2.400"_s, u"2.500"_s, u"31.0"_s, u"95.0"_s, u"135"_s};
        const QStringList other{u"other"_s, u"unknown"_s, u"1"_s, u"0"_s, {}, {}, {}, u"26.0"_s, u"40.0"_s, {}};
        QTest::newRow("30 days, all") << 29 << 0 << QString() << -1 << u"AGD"_s << Table{cc, mlo, other};
        QTest::newRow("CC only") << 29 << 0 << u"CC"_s << -1 << u"AGD"_s << Table{cc};
        QTest::newRow("band 50-59") << 29 << 0 << QString() << 50 << u"AGD"_s << Table{mlo};
        QTest::newRow("unit 2: entrance dose") << 29 << 2 << QString() << -1 << u"entrance dose"_s
                                               << Table{{u"CC"_s, u"40-49"_s, u"1"_s, u"1"_s, u"1.400"_s, u"1.400"_s, u"1.400"_s,
                                                         u"29.0"_s, u"75.0"_s, u"115"_s}};
        // H, 40 days back, joins CC: AGD 1.0, 1.2, 1.4, 1.6, 2.0.
        QTest::newRow("60 days, CC") << 59 << 0 << u"CC"_s << -1 << u"AGD"_s
                                     << Table{{u"CC"_s, u"40-49"_s, u"6"_s, u"5"_s, u"1.400"_s, u"1.440"_s, u"1.600"_s, u"28.5"_s,
                                               u"67.5"_s, u"108"_s}};
        QTest::newRow("today only") << 0 << 1 << QString() << -1 << u"AGD"_s
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
};

QTEST_MAIN(DoseQaTest)
#include "tst_doseqa.moc"
