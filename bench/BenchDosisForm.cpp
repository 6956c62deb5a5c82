// The dose journal dialog's name search with a wild card over a journal of
// 100,000 rows of which 1,000 match, list filling included; the journal stays
// at the path given, so the script can time the sqlite3 shell beside it.
#include "core/Settings.h"
#include "exposure/DosisForm.h"
#include "store/DatabasePaths.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
    const QString path = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    QFile::remove(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile schema(QString::fromLocal8Bit(argv[2]));
    if (!CreateDatabaseFile(path, nullptr) || !schema.open(QIODevice::ReadOnly))
        return 1;
    Settings.Database = path;
    SetDatabasePaths();
    if (!OpenUserDatabase() || !ExecuteScript(UserDatabase, QString::fromUtf8(schema.readAll())).ok)
        return 1;
    const int rows = 100000;
    const QDate today = QDate::currentDate();
    Execute(UserDatabase, QStringLiteral("BEGIN"));
    for (int i = 0; i < rows; ++i)
        Execute(UserDatabase,
            QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit, Patname) "
                           "VALUES ('28', '63', '10:00:00', '45', '1.2', '120', ?, 'L CC', '1', '450', ?)"),
            {DbDate(today.addDays(-(i % 1000))), i % 100 ? QStringLiteral("Patient^%1").arg(i / 4) : QStringLiteral("Meier^%1").arg(i)});
    Execute(UserDatabase, QStringLiteral("COMMIT"));
    CloseUserDatabase();

    DosisForm form;
    form.txtPatname->setText(QStringLiteral("Mei*"));
    QList<qint64> times;
    for (int run = 0; run < 21; ++run) {
        QElapsedTimer t;
        t.start();
        form.cmdSearch->click();
        times.append(t.nsecsElapsed());
    }
    std::sort(times.begin(), times.end());
    std::printf("DosisForm search \"Mei*\": %d of %d rows listed, median %.2f ms, worst %.2f ms (target < 200 ms)\n",
                form.ListView1->topLevelItemCount(), rows, times[times.size() / 2] / 1e6, times.last() / 1e6);
    return form.ListView1->topLevelItemCount() == rows / 100 ? 0 : 1;
}
