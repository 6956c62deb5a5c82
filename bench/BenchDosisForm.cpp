// The dose journal dialog's name search with a wild card over a journal of
// 100,000 rows of which 1,000 match, list filling included; the journal stays
// at the path given, so the script can time the sqlite3 shell beside it.
#include "BenchJournal.h"
#include "exposure/DosisForm.h"
#include "ui/Prompts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_dosisform JOURNAL SCHEMA_SQL\n");
        return 2;
    }
    const int rows = BenchRows();
    const QDate today = QDate::currentDate();
    const bool made = MakeBenchJournal(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]), rows, [&](int i) {
        return BenchRow{today.addDays(-(i % 1000)), QStringLiteral("1"),
                        i % 100 ? QStringLiteral("Patient^%1").arg(i / 4) : QStringLiteral("Meier^%1").arg(i)};
    });
    if (!made)
        return 1;

    Prompter prompter; // searching asks nothing
    DosisForm form(prompter);
    form.findChild<QLineEdit *>(QStringLiteral("txtPatname"))->setText(QStringLiteral("Mei*"));
    QList<qint64> times;
    for (int run = 0; run < 21; ++run) {
        QElapsedTimer t;
        t.start();
        form.findChild<QPushButton *>(QStringLiteral("cmdSearch"))->click();
        times.append(t.nsecsElapsed());
    }
    std::sort(times.begin(), times.end());
    std::printf("DosisForm search \"Mei*\": %d of %d rows listed, median %.2f ms, worst %.2f ms (target < 200 ms)\n",
                form.findChild<QTreeWidget *>(QStringLiteral("ListView1"))->topLevelItemCount(), rows, times[times.size() / 2] / 1e6, times.last() / 1e6);
    return form.findChild<QTreeWidget *>(QStringLiteral("ListView1"))->topLevelItemCount() == rows / 100 ? 0 : 1;
}
