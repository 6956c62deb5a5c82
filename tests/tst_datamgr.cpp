// The data manager: which rotated logs it keeps, and the running process
// checkpointing the databases on its (shortened) interval and ending on SIGTERM.
#include "companions/datamgr/Housekeeping.h"
#include "support/Peers.h"
#include "support/Station.h"

#include "store/Database.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

QString stamp(int i) { return QDateTime(QDate(2026, 1, 1), QTime(0, 0)).addSecs(3600 * i).toString(QStringLiteral("yyyyMMddHHmmss")); }

QStringList logsIn(const QString &folder) { return QDir(folder).entryList(QDir::Files, QDir::Name); }

} // namespace

class DataMgrTest : public QObject {
    Q_OBJECT

private slots:
    void keepsNewestTwentyOfEachKind()
    {
        TestFolder folder;
        const QString logs = folder.file(QStringLiteral("Logs"));
        // Written in shuffled order, so that file times say nothing about age.
        for (int i : {3, 24, 0, 11, 7, 19, 1, 22, 15, 2, 9, 23, 4, 18, 5, 13, 6, 21, 8, 10, 12, 14, 16, 17, 20})
            folder.write(QStringLiteral("Logs/error%1.log").arg(stamp(i)), "e");
        for (int i = 0; i < 21; ++i)
            folder.write(QStringLiteral("Logs/debug%1.log").arg(stamp(i)), "d");
        const QStringList others{QStringLiteral("Debug.log"), QStringLiteral("Error.log"), QStringLiteral("Receiver.log"),
                                 QStringLiteral("error-notes.txt"), QStringLiteral("errorlog.log"), QStringLiteral("receiver20200101000000.log")};
        for (const QString &other : others)
            folder.write(QStringLiteral("Logs/") + other, "keep");

        QStringList removed = PruneRotatedLogs(logs, KeptRotatedLogs);
        removed.sort();
        QStringList expected{QStringLiteral("debug%1.log").arg(stamp(0))};
        for (int i = 0; i < 5; ++i)
            expected << QStringLiteral("error%1.log").arg(stamp(i));
        QCOMPARE(removed, expected);
        QStringList left = logsIn(logs);
        for (const QString &other : others)
            QVERIFY2(left.removeOne(other), qPrintable(other));
        QCOMPARE(left.size(), 40); // twenty of each kind

        // A second round removes nothing more.
        QCOMPARE(PruneRotatedLogs(logs, KeptRotatedLogs), QStringList());
    }

    void runningHousekeeperCheckpointsAndStops()
    {
        TestFolder folder;
        QVERIFY(MakeStationDatabases(folder.path()));
        folder.write(QStringLiteral("LumoraStation.ini"), "[General]\nDatabase=Data/LumoraDef.dat\n");
        for (int i = 0; i < 23; ++i)
            folder.write(QStringLiteral("Logs/debug%1.log").arg(stamp(i)), "d");

        // A connection that keeps writing into the write-ahead log without checkpointing it.
        const QString image = folder.file(QStringLiteral("Data/LumoraData.dat"));
        Database writer(QStringLiteral("walwriter"), QStringLiteral("test"));
        writer.setPath(image);
        QVERIFY(writer.open());
        QVERIFY(Execute(writer, QStringLiteral("PRAGMA wal_autocheckpoint = 0")).ok);
        for (int i = 0; i < 50; ++i)
            QVERIFY(Execute(writer, QStringLiteral("INSERT INTO tblReceive (PatID, ImageUID) VALUES (?, ?)"), {QStringLiteral("P"), QString::number(i)}).ok);
        const QString wal = image + QStringLiteral("-wal");
        QVERIFY(QFileInfo(wal).size() > 0);

        CompanionProcess mgr(DataMgrProgram(), folder.path(), {QStringLiteral("LUMORA_DATAMGR_INTERVAL_MS=300")});
        QVERIFY(mgr.start());
        QVERIFY2(WaitFor([&] { return QFileInfo(wal).size() == 0; }, 15000), qPrintable(QString::fromUtf8(folder.read(QStringLiteral("Logs/DataMgr.log")))));
        QVERIFY(WaitFor([&] { return logsIn(folder.file(QStringLiteral("Logs"))).filter(QStringLiteral("debug2")).size() == 20; }, 5000));
        // The rows are in the database file itself now.
        writer.close();
        QCOMPARE(QueryValue(image, QStringLiteral("SELECT COUNT(*) FROM tblReceive")).toInt(), 50);
        QCOMPARE(mgr.terminate(5000), 0);
        QVERIFY(QString::fromUtf8(folder.read(QStringLiteral("Logs/DataMgr.log"))).trimmed().endsWith(QStringLiteral("stopped")));
    }
};

QTEST_GUILESS_MAIN(DataMgrTest)
#include "tst_datamgr.moc"
