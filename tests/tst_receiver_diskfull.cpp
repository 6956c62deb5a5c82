// The receiver whose images folder fills up in the middle of a study: a small
// tmpfs is mounted over images/ in a mount namespace of the receiver's own, so
// the machine's disk is never filled and the mount goes with the namespace.
#include "support/Peers.h"
#include "support/Station.h"

#include <QDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kAet = u"FULLRCV"_s;

// The receiver under `unshare`, inside a shell that mounts the tmpfs first and
// stays in the namespace after the receiver ended, so that the test can still
// look at the files through /proc/<shell>/root.
class ConfinedReceiver {
public:
    ConfinedReceiver(const TestFolder &folder, int imagesMb, int reserveMb) : folder_(folder)
    {
        QDir().mkpath(folder.file(u"images"_s));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"LUMORA_APP_FOLDER"_s, folder.path());
        env.insert(u"LUMORA_RECEIVER_MIN_FREE_MB"_s, QString::number(reserveMb));
        shell_.setProcessEnvironment(env);
        shell_.setProcessChannelMode(QProcess::MergedChannels);
        const QString script = u"mount -t tmpfs -o size=%1m tmpfs \"$1/images\" || exit 99\n"
                               "\"$2\" & echo $! > \"$1/receiver.pid\"\nwait $!; echo $? > \"$1/receiver.rc\"\nexec sleep 600\n"_s.arg(imagesMb);
        // Root gets a mount namespace of its own; anyone else a user namespace too.
        const QStringList args = ::geteuid() == 0 ? QStringList{u"-m"_s} : QStringList{u"-r"_s, u"-m"_s};
        shell_.start(u"unshare"_s, args + QStringList{u"sh"_s, u"-c"_s, script, u"sh"_s, folder.path(), ReceiverProgram()});
    }
    ~ConfinedReceiver()
    {
        const qint64 pid = folder_.read(u"receiver.pid"_s).trimmed().toLongLong();
        if (pid > 0 && exitCode() < 0)
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        shell_.kill();
        shell_.waitForFinished(5000);
    }
    bool started() { return shell_.waitForStarted(10000); }
    QString output() { return QString::fromUtf8(shell_.readAll()); }
    // The receiver's exit code once it ended by itself, -1 while it runs.
    int exitCode() const
    {
        const QByteArray rc = folder_.read(u"receiver.rc"_s).trimmed();
        return rc.isEmpty() ? -1 : rc.toInt();
    }
    // The images folder as the receiver sees it.
    QString images() const { return u"/proc/%1/root%2"_s.arg(shell_.processId()).arg(folder_.file(u"images"_s)); }
    bool running() const { return shell_.state() == QProcess::Running; }

private:
    const TestFolder &folder_;
    QProcess shell_;
};

} // namespace

class ReceiverDiskFullTest : public QObject {
    Q_OBJECT

private slots:
    // The reserve below which the receiver takes nothing more, and a reserve of
    // zero, where the write of the next object itself fails half way.
    void fillsUpDuringAStudy_data()
    {
        QTest::addColumn<int>("reserveMb");
        QTest::addColumn<QString>("logText");
        QTest::newRow("reserve reached") << 1 << "not stored: less than 1 MB free";
        QTest::newRow("write fails") << 0 << "disk full: receiving";
    }
    void fillsUpDuringAStudy()
    {
        QFETCH(int, reserveMb);
        QFETCH(QString, logText);
        TestFolder folder;
        QVERIFY(MakeStationDatabases(folder.path()));
        const quint16 port = FreePort();
        WriteReceiverSettings(folder, kAet, QString::number(port));
        // Eight images of 1.5 MB for an images folder of 5 MB.
        const QStringList files = WriteStudyFiles(folder.path(), {.rows = 1024, .columns = 768}, 1, 8, u"full"_s);
        QCOMPARE(files.size(), 8);

        ConfinedReceiver receiver(folder, 5, reserveMb);
        QVERIFY(receiver.started());
        QVERIFY2(WaitFor([&] { return !receiver.running() || Echo(kAet, port) == 0; }, 15000) && receiver.running(),
                 qPrintable(receiver.output()));
        // The sender is not left believing the study arrived.
        QByteArray out;
        Store(kAet, port, files, &out);
        QVERIFY2(out.contains("Failed"), out.constData());

        // It stops by itself, says why, and tells the disk full apart.
        const auto log = [&] { return QString::fromUtf8(folder.read(u"Logs/Receiver.log"_s)); };
        QVERIFY2(WaitFor([&] { return receiver.exitCode() >= 0; }, 30000), qPrintable(QString::fromUtf8(out) + log()));
        QCOMPARE(receiver.exitCode(), 4);
        QVERIFY2(log().contains(logText), qPrintable(log()));

        // What was answered with success is there, rows and file alike, and nothing else.
        const qlonglong kept = CountRows(folder.file(u"Data/LumoraData.dat"_s), u"tblImages"_s);
        QVERIFY2(kept >= 2 && kept < files.size(), qPrintable(QString::number(kept)));
        QCOMPARE(CountRows(folder.file(u"Data/LumoraData.dat"_s), u"tblReceive"_s), kept);
        const QString mismatch = ImagesMismatch(folder.path(), 1024 * 768 * 2, false, receiver.images());
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }
};

QTEST_GUILESS_MAIN(ReceiverDiskFullTest)
#include "tst_receiver_diskfull.moc"
