// Fills the dose list for today from a journal of 100,000 rows over three
// years and prints the fill time; the journal stays at the path given, so the
// script can time the sqlite3 shell on the same query beside it.
#include "BenchJournal.h"
#include "exposure/DoseList.h"
#include "store/Session.h"
#include "ui/Prompts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTreeView>
#include <algorithm>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_exposure_doselist JOURNAL SCHEMA_SQL\n");
        return 2;
    }
    const int rows = BenchRows();
    const QDate today = QDate::currentDate();
    const int days = 3 * 365;
    int todays = 0;
    const bool made = MakeBenchJournal(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]), rows, [&](int i) {
        const QDate day = today.addDays(-(days - 1) + qint64(i) * days / rows);
        todays += day == today;
        return BenchRow{day, QString::fromLatin1(i % 3 ? "1" : "0"), QStringLiteral("Patient^%1").arg(i / 4)};
    });
    if (!made)
        return 1;

    Session session;
    Prompter prompter; // filling the list asks nothing
    DoseList list(session, prompter);
    QTreeView view; // the list as the window shows it
    view.setModel(list.model());
    QList<qint64> times;
    for (int run = 0; run < 21; ++run) {
        QElapsedTimer t;
        t.start();
        list.lvDosis_Fill();
        times.append(t.nsecsElapsed());
    }
    std::sort(times.begin(), times.end());
    std::printf("lvDosis_Fill today: %d of %d rows listed (%d dated today), median %.2f ms, worst %.2f ms (target < 100 ms)\n",
                list.rowCount(), rows, todays, times[times.size() / 2] / 1e6, times.last() / 1e6);
    return list.rowCount() > 0 ? 0 : 1;
}
