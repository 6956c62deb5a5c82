// The companion programs against real processes: found by name, started once,
// stopped by their own id, never a process that is not the companion.
#include "app/Companions.h"
#include "core/Settings.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString exeOf(qint64 pid) { return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget(); }

bool waitGone(qint64 pid, int ms = 5000) { return WaitFor([pid] { return !IsProcessAlive(pid); }, ms); }

// The process ignores SIGTERM (its SigIgn mask in /proc).
bool ignoresTerm(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("SigIgn:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ull << (SIGTERM - 1));
    return false;
}

// Processes below the folder whose executable has the given name.
QList<qint64> runningFrom(const QString &folder, const QString &name)
{
    QList<qint64> out;
    for (const QString &e : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (ok && IsProcessAlive(pid) && exeOf(pid) == folder + QLatin1Char('/') + name)
            out << pid;
    }
    return out;
}

} // namespace

class CompanionsTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        ResetWorkstationState();
        ReceiverProcessId = DataManagerProcessId = 0;
    }

    void findsByNameWithoutRegardToCase()
    {
        TestFolder f;
        const QString unique = QStringLiteral("LumoraIdle%1").arg(QCoreApplication::applicationPid());
        const QString program = InstallIdleProgram(f.path(), unique);
        QVERIFY(!program.isEmpty());
        QCOMPARE(FindProcess(unique), qint64(0));
        QProcess p;
        p.start(program, {});
        QVERIFY(p.waitForStarted());
        const qint64 pid = p.processId();
        QCOMPARE(FindProcess(unique.toUpper()), pid);
        QCOMPARE(FindProcess(unique.mid(3).toLower()), pid); // "contains" is enough
        QVERIFY(IsProcessAlive(pid));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(FindProcess(unique), qint64(0));
        QVERIFY(!IsProcessAlive(pid));
    }

    void zombieIsNotAlive()
    {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        QVERIFY(child > 0);
        QVERIFY(waitGone(child)); // exited but not yet reaped
        QVERIFY(QFileInfo::exists(QStringLiteral("/proc/%1").arg(child)));
        waitpid(child, nullptr, 0);
        QVERIFY(!IsProcessAlive(0));
        QVERIFY(!IsProcessAlive(-1));
    }

    void startAndStopEachCompanionOnItsOwn()
    {
        TestFolder f;
        QVERIFY(!InstallIdleProgram(f.path(), QString::fromLatin1(ReceiverName)).isEmpty());
        QVERIFY(!InstallIdleProgram(f.path(), QString::fromLatin1(DataManagerName)).isEmpty());
        Settings.IR_Port = QStringLiteral("11112");
        StartReceiver();
        StartDataManager();
        const qint64 receiver = ReceiverProcessId;
        const qint64 manager = DataManagerProcessId;
        QVERIFY(receiver > 0 && manager > 0 && receiver != manager);
        QTRY_COMPARE(exeOf(receiver), f.file(QString::fromLatin1(ReceiverName)));
        QTRY_COMPARE(exeOf(manager), f.file(QString::fromLatin1(DataManagerName)));
        // The companion knows its station.
        QFile env(QStringLiteral("/proc/%1/environ").arg(receiver));
        QVERIFY(env.open(QIODevice::ReadOnly));
        QVERIFY(env.readAll().split('\0').contains("LUMORA_APP_FOLDER=" + QFile::encodeName(f.path())));

        StopDataManager();
        QCOMPARE(DataManagerProcessId, qint64(0));
        QVERIFY(waitGone(manager));
        QCOMPARE(ReceiverProcessId, receiver);
        QVERIFY(IsProcessAlive(receiver));
        StopReceiver();
        QCOMPARE(ReceiverProcessId, qint64(0));
        QVERIFY(waitGone(receiver));
        StopReceiver(); // nothing recorded: nothing happens
    }

    void noExecutableOrNoPortStartsNothing()
    {
        TestFolder f;
        Settings.IR_Port = QStringLiteral("11112");
        StartReceiver();
        StartDataManager();
        QCOMPARE(ReceiverProcessId, qint64(0));
        QCOMPARE(DataManagerProcessId, qint64(0));
        QVERIFY(!InstallIdleProgram(f.path(), QString::fromLatin1(ReceiverName)).isEmpty());
        Settings.IR_Port.clear();
        StartReceiver();
        QCOMPARE(ReceiverProcessId, qint64(0));
        QVERIFY(runningFrom(f.path(), QString::fromLatin1(ReceiverName)).isEmpty());
    }

    void companionThatIgnoresTermIsKilled()
    {
        TestFolder f;
        QVERIFY(!InstallIdleProgram(f.path(), QString::fromLatin1(DataManagerName)).isEmpty());
        qputenv("LUMORA_IDLE_IGNORE_TERM", "1");
        StartDataManager();
        qunsetenv("LUMORA_IDLE_IGNORE_TERM");
        const qint64 pid = DataManagerProcessId;
        QVERIFY(pid > 0);
        QTRY_COMPARE(exeOf(pid), f.file(QString::fromLatin1(DataManagerName)));
        QTRY_VERIFY(ignoresTerm(pid));
        QElapsedTimer t;
        t.start();
        StopDataManager();
        QVERIFY(waitGone(pid, 3000));
        QVERIFY(t.elapsed() >= 1900); // it had its two seconds
    }

    void recordedIdOfAnotherProgramIsLeftAlone()
    {
        // It reports the signals it gets; SIGWINCH, sent last, is handled after a pending SIGTERM.
        QProcess other;
        other.start(QStringLiteral("bash"), {QStringLiteral("-c"), QStringLiteral("trap 'echo TERM' TERM; trap 'echo WINCH' WINCH; "
                                                                                  "echo ready; while :; do sleep 0.05; done")});
        QByteArray said;
        QVERIFY(WaitFor([&] { return (said += other.readAllStandardOutput()).contains("ready"); }, 5000));
        ReceiverProcessId = other.processId(); // e.g. an id reused after the receiver ended
        StopReceiver();
        QCOMPARE(ReceiverProcessId, qint64(0));
        ::kill(pid_t(other.processId()), SIGWINCH);
        QVERIFY(WaitFor([&] { return (said += other.readAllStandardOutput()).contains("WINCH"); }, 5000));
        QVERIFY2(!said.contains("TERM"), said.constData());
        QCOMPARE(other.state(), QProcess::Running);
        other.kill();
        other.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(CompanionsTest)
#include "tst_companions.moc"
