// The dose QA window over a journal of 100,000 exposures of a year: the
// figures alone (journal read, per view and band) and the whole window on
// screen with its charts. Prints the band counts and medians for the script
// to hold against the sqlite3 shell's on the same file.
#include "BenchJournal.h"
#include "qa/DoseQaForm.h"
#include "ui/Prompts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A year of exposures: CC and MLO of both sides, thickness 20-90 mm, AGD
// rising with thickness and scattered around it, one in a hundred far above,
// a few never assigned or set free. Unit type 4 journals what the figures
// compare: the projection alone, thickness in mm, force in N.
bool MakeYear(const QString &file, const QString &schema, int rows, const QDate &today)
{
    if (!MakeBenchJournal(file, schema, 0, [](int) { return BenchRow{}; }))
        return false;
    DatabaseSession db(UserDatabase); // the schema file has the dose columns
    UserDatabase.setKeepStatements(true);
    Execute(UserDatabase, QStringLiteral("BEGIN"));
    QRandomGenerator random(42);
    const char *const projections[] = {"R CC", "L CC", "R MLO", "L MLO"};
    for (int i = 0; i < rows; ++i) {
        const double t = std::clamp(55 + 12 * (random.generateDouble() + random.generateDouble() + random.generateDouble() - 1.5) * 2, 20.0, 90.0);
        const int draw = random.bounded(100);
        // One in a hundred far above the rest, as a wrong setting would give.
        const double agd = std::exp(-1 + 0.03 * t) * std::exp(0.15 * (random.generateDouble() - 0.5) * 2) * (draw == 99 ? 2.5 : 1);
        Execute(UserDatabase,
                QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit, Patname, "
                               "FKeyPatID, Unit, AGD, AgdSource, HVL, TargetFilter) VALUES (?, ?, '10:00:00', ?, ?, ?, ?, ?, ?, '450', ?, ?, 4, ?, "
                               "'reported dose', 0.5, 'W/Rh')"),
                {QString::number(25 + int(t / 10)), QString::number(40 + t, 'f', 1), QString::number(t, 'f', 0),
                 QString::number(agd * 1.3, 'f', 2), QString::number(60 + random.bounded(120)), DbDate(today.addDays(-(i % 365))),
                 QLatin1String(projections[i % 4]), draw < 4 ? QStringLiteral("0") : QStringLiteral("1"),
                 QStringLiteral("Patient^%1").arg(i / 4), draw < 3 ? QVariant() : QVariant(QStringLiteral("P%1").arg(i / 4)), agd});
    }
    const bool ok = Execute(UserDatabase, QStringLiteral("COMMIT")).ok();
    UserDatabase.setKeepStatements(false);
    return ok;
}

double Median(QList<qint64> ns)
{
    std::sort(ns.begin(), ns.end());
    return ns[ns.size() / 2] / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_doseqa JOURNAL SCHEMA_SQL\n");
        return 2;
    }
    const int rows = BenchRows();
    const QDate today = QDate::currentDate();
    const QString journal = QString::fromLocal8Bit(argv[1]);
    if (!MakeYear(journal, QString::fromLocal8Bit(argv[2]), rows, today)) {
        std::fprintf(stderr, "bench_doseqa: the journal could not be made\n");
        return 1;
    }
    QaFilter filter;
    filter.from = today.addDays(-364);
    filter.to = today;

    QList<qint64> figures;
    DoseStatistics stats;
    for (int run = 0; run < 7; ++run) {
        QElapsedTimer t;
        t.start();
        JournalRead read = ReadJournalExposures(journal, filter.from, filter.to);
        stats = DoseStatistics(std::move(read.rows));
        stats.filter(filter);
        figures.append(t.nsecsElapsed());
    }
    if (stats.selected().size() != size_t(rows)) {
        std::fprintf(stderr, "bench_doseqa: %zu of %d exposures read\n", stats.selected().size(), rows);
        return 1;
    }
    for (const BandStatistics &b : stats.bands())
        std::printf("band|%s|%d|%d|%.3f|%.3f|%.3f|%.3f\n", qPrintable(b.view), b.band, b.count, b.doseMedian, b.kvMedian, b.masMedian,
                    b.forceMedian);
    std::printf("figures_ms=%.1f\n", Median(figures));

    QList<qint64> window;
    Prompter prompter; // reading and drawing ask nothing
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        DoseQaForm form(journal, ReferenceLookup(), today, prompter);
        form.setRange(filter.from, filter.to);
        form.show();
        QEventLoop loop;
        QObject::connect(&form, &DoseQaForm::figuresShown, &loop, &QEventLoop::quit);
        if (form.reading())
            loop.exec();
        form.repaint(); // charts drawn
        window.append(t.nsecsElapsed());
    }
    std::printf("window_ms=%.1f\n", Median(window));
    return 0;
}
