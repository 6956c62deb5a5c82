// The data manager: which rotated logs it keeps, and the running process
// checkpointing the databases on its (shortened) interval and ending on SIGTERM.
#include "companions/datamgr/Housekeeping.h"
#include "store/Database.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <QDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

QString stamp(int i) { return QDateTime(QDate(2026, 1, 1), QTime(0, 0)).addSecs(3600 * i).toString(u"yyyyMMddHHmmss"_s); }

QStringList logsIn(const QString &folder) { return QDir(folder).entryList(QDir::Files, QDir::Name); }

} // namespace

class DataMgrTest : public QObject {
    Q_OBJECT

private slots:
    void keepsNewestTwentyOfEachKind()
    {
        TestFolder folder;
        const QString logs = folder.file(u"Logs"_s);
        // Written in shuffled order, so that file times say nothing about age.
        for (int i : {3, 24, 0, 11, 7, 19, 1, 22, 15, 2, 9, 23, 4, 18, 5, 13, 6, 21, 8, 10, 12, 14, 16, 17, 20})
            folder.write(u"Logs/error%1.log"_s.arg(stamp(i)), "e");
        for (int i = 0; i < 21; ++i)
            folder.write(u"Logs/debug%1.log"_s.arg(stamp(i)), "d");
        const QStringList others = u"Debug.log Error.log Receiver.log error-notes.txt errorlog.log receiver20200101000000.log"_s.split(u' ');
        for (const QString &other : others)
            folder.write(u"Logs/"_s + other, "keep");

        QStringList removed = PruneRotatedLogs(logs, KeptRotatedLogs);
        removed.sort();
        QStringList expected{u"debug%1.log"_s.arg(stamp(0))};
        for (int i = 0; i < 5; ++i)
            expected << u"error%1.log"_s.arg(stamp(i));
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
        folder.write(u"LumoraStation.ini"_s, "[General]\nDatabase=Data/LumoraDef.dat\n");
        for (int i = 0; i < 23; ++i)
            folder.write(u"Logs/debug%1.log"_s.arg(stamp(i)), "d");

        // A connection that keeps writing into the write-ahead log without checkpointing it.
        const QString image = folder.file(u"Data/LumoraData.dat"_s), wal = image + u"-wal"_s;
        Database writer(u"walwriter"_s, u"test"_s);
        writer.setPath(image);
        QVERIFY(writer.open());
        QVERIFY(Execute(writer, u"PRAGMA wal_autocheckpoint = 0"_s).ok);
        for (int i = 0; i < 50; ++i)
            QVERIFY(Execute(writer, u"INSERT INTO tblReceive (PatID, ImageUID) VALUES ('P', ?)"_s, {QString::number(i)}).ok);
        QVERIFY(QFileInfo(wal).size() > 0);

        CompanionProcess mgr(DataMgrProgram(), folder.path(), {u"LUMORA_DATAMGR_INTERVAL_MS=300"_s});
        QVERIFY(mgr.start());
        const auto log = [&] { return QString::fromUtf8(folder.read(u"Logs/DataMgr.log"_s)); };
        QVERIFY2(WaitFor([&] { return QFileInfo(wal).size() == 0; }, 15000), qPrintable(log()));
        QVERIFY(WaitFor([&] { return logsIn(folder.file(u"Logs"_s)).filter(u"debug2"_s).size() == 20; }, 5000));
        // The rows are in the database file itself now.
        writer.close();
        QCOMPARE(QueryValue(image, u"SELECT COUNT(*) FROM tblReceive"_s).toInt(), 50);
        QCOMPARE(mgr.terminate(5000), 0);
        QVERIFY(log().trimmed().endsWith(u"stopped"_s));
    }
};

QTEST_GUILESS_MAIN(DataMgrTest)
#include "tst_datamgr.moc"
