// The companion programs against real processes: found by name and folder, started once,
// stopped by their own id, never a process that is not the companion; and the
// running data manager: the rotated logs it keeps, checkpoints and its end.
#include "app/Companions.h"
#include "core/ApplicationFolder.h"
#include "core/Settings.h"
#include "store/Database.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kReceiver = QString::fromLatin1(ReceiverName), kManager = QString::fromLatin1(DataManagerName);

QString exeOf(qint64 pid) { return QFileInfo(u"/proc/%1/exe"_s.arg(pid)).symLinkTarget(); }

bool waitGone(qint64 pid, int ms = 5000) { return WaitFor([pid] { return !IsProcessAlive(pid); }, ms); }

// The process ignores SIGTERM (its SigIgn mask in /proc).
bool ignoresTerm(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("SigIgn:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ull << (SIGTERM - 1));
    return false;
}

// Some process runs the program (its full path).
bool runs(const QString &program)
{
    const QStringList pids = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return std::any_of(pids.begin(), pids.end(), [&](const QString &pid) { return exeOf(pid.toLongLong()) == program; });
}

QString stamp(int i) { return QDateTime(QDate(2026, 1, 1), QTime(0, 0)).addSecs(3600 * i).toString(u"yyyyMMddHHmmss"_s); }

QStringList logsIn(const QString &folder) { return QDir(folder).entryList(QDir::Files, QDir::Name); }

// A workstation start as an operator of the site: the main window's load
// (startMissing) in a process of that account. The ids it found or started.
std::array<qint64, 2> startAsOperator(unsigned uid)
{
    std::array<qint64, 2> ids{-1, -1};
    int link[2];
    if (::pipe(link) != 0)
        return ids;
    const pid_t child = fork();
    if (child == 0) {
        ::close(link[0]);
        const gid_t group = SiteAccount::Group;
        std::array<qint64, 2> found{-1, -1};
        if (::setgroups(1, &group) == 0 && ::setresgid(group, group, group) == 0 && ::setresuid(uid, uid, uid) == 0) {
            Companions operatorsCompanions;
            operatorsCompanions.startMissing();
            found = {operatorsCompanions.receiverId(), operatorsCompanions.dataManagerId()};
        }
        [[maybe_unused]] const ssize_t n = ::write(link[1], found.data(), sizeof found);
        _exit(0);
    }
    ::close(link[1]);
    if (child > 0) {
        if (::read(link[0], ids.data(), sizeof ids) != ssize_t(sizeof ids))
            ids = {-1, -1};
        waitpid(child, nullptr, 0);
    }
    ::close(link[0]);
    return ids;
}

// Ends every process that runs one of the programs, when the test ends however it ends.
struct EndAllOf {
    QStringList programs;
    ~EndAllOf()
    {
        for (const QString &program : programs)
            for (qint64 pid : ProcessesRunning(program))
                ::kill(pid_t(pid), SIGKILL);
        for (const QString &program : programs)
            WaitFor([&] { return ProcessesRunning(program).isEmpty(); }, 5000);
    }
};

// The permission bits of a path, as stat() gives them (no link followed).
int modeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

} // namespace

class CompanionsTest : public QObject {
    Q_OBJECT

    Companions c_;

private slots:
    void init()
    {
        ResetWorkstationState();
        c_ = Companions();
    }

    // By name without regard to case, and only the one serving this folder:
    // the same program run for another station is not this station's.
    void findsThisStationsCompanionByName()
    {
        TestFolder f;
        const QString unique = u"LumoraIdle%1"_s.arg(QCoreApplication::applicationPid());
        const QString program = InstallIdleProgram(f.path(), unique);
        QVERIFY(!program.isEmpty());
        QCOMPARE(FindCompanion(unique), qint64(0));
        QProcess other;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"LUMORA_APP_FOLDER"_s, f.file(u"other"_s));
        other.setProcessEnvironment(env);
        other.start(program, {});
        QVERIFY(other.waitForStarted());
        QProcess p;
        p.start(program, {});
        QVERIFY(p.waitForStarted());
        const qint64 pid = p.processId();
        QTRY_COMPARE(FindCompanion(unique.toUpper()), pid);
        QCOMPARE(FindCompanion(unique.mid(3).toLower()), pid); // "contains" is enough
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(FindCompanion(unique), qint64(0));
        QVERIFY(!IsProcessAlive(pid));
        other.terminate();
        QVERIFY(other.waitForFinished(5000));
    }

    // Installed (the build's install rules, below a DESTDIR) and started by an
    // operator without LUMORA_APP_FOLDER: the receiver makes the per-user
    // folder from the shipped templates and files there, nothing below /usr.
    void installedReceiverUsesThePerUserFolder()
    {
        TestFolder root;
        QProcess install;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DESTDIR"_s, root.path());
        install.setProcessEnvironment(env);
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(u"cmake"_s, {u"--install"_s, TestBinDir() + u"/.."_s, u"--prefix"_s, u"/usr"_s});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());

        const QString home = root.file(u"home/alice"_s);
        const QString folder = home + u"/.local/share/lumora-station"_s;
        const quint16 port = FreePort();
        QDir().mkpath(folder);
        QFile ini(folder + u"/LumoraStation.ini"_s);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(u"[Com]\nIR_AET=ALICE\nIR_Port=%1\n"_s.arg(port).toUtf8());
        ini.close();

        QProcess receiver;
        env.remove(u"DESTDIR"_s);
        env.remove(u"LUMORA_APP_FOLDER"_s);
        env.insert(u"HOME"_s, home);
        receiver.setProcessEnvironment(env);
        receiver.setProcessChannelMode(QProcess::MergedChannels);
        receiver.start(root.file(u"usr/lib/lumora-station/LumoraReceiver"_s), {});
        QVERIFY(receiver.waitForStarted(10000));
        const bool answered = WaitFor([&] { return receiver.state() == QProcess::Running && Echo(u"ALICE"_s, port) == 0; }, 15000);
        const QByteArray said = receiver.readAll();
        receiver.terminate();
        receiver.waitForFinished(10000);
        QVERIFY2(answered, said.constData());
        for (const QString &made : {u"Data/LumoraData.dat"_s, u"Data/LumoraUser.dat"_s, u"projection.ini"_s, u"Logs/Receiver.log"_s})
            QVERIFY2(QFile::exists(folder + u'/' + made), qPrintable(made));
        // Under the operator's usual umask 022, what the receiver made is the operator's alone.
        for (const QString &made : {u"Data"_s, u"Data/LumoraData.dat"_s, u"Logs"_s, u"Logs/Receiver.log"_s, u"images"_s})
            QVERIFY2((modeOf(folder + u'/' + made) & 077) == 0, qPrintable(u"%1 is %2"_s.arg(made).arg(modeOf(folder + u'/' + made), 0, 8)));
        QCOMPARE(QDir(root.file(u"usr/lib/lumora-station"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{u"LumoraDataMgr"_s, u"LumoraReceiver"_s, u"OrvanaMammo"_s}));
    }

    // What a program makes of its application folder is never for other
    // accounts, whatever umask it was started with: the site-wide folder is
    // the group's, a per-user folder its owner's. The templates are
    // readable by all, as the package installs them.
    void preparedFolderIsClosedToOthers_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<int>("folderMode");
        QTest::newRow("site-wide") << int(FolderKind::SiteWide) << 0660 << 0770;
        QTest::newRow("per-user") << int(FolderKind::PerUser) << 0600 << 0700;
    }
    void preparedFolderIsClosedToOthers()
    {
        QFETCH(int, kind);
        QFETCH(int, fileMode);
        QFETCH(int, folderMode);
        TestFolder f;
        f.write(u"templates/Data/LumoraData.dat"_s, "database");
        f.write(u"templates/projection.ini"_s, "[Projection]\n");
        for (const QString &t : {u"templates/Data/LumoraData.dat"_s, u"templates/projection.ini"_s})
            QVERIFY(QFile::setPermissions(f.file(t), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        const mode_t given = ::umask(022);
        QString error;
        const bool prepared = PrepareApplicationFolder({f.file(u"station"_s), FolderKind(kind)}, f.file(u"templates"_s), &error);
        const mode_t left = ::umask(given);
        QVERIFY2(prepared, qPrintable(error));
        QCOMPARE(int(left & 07), 07); // and what the program makes later, too
        for (const QString &folder : {u"station/Data"_s, u"station/images"_s, u"station/temp"_s, u"station/Logs"_s})
            QVERIFY2(modeOf(f.file(folder)) == folderMode, qPrintable(u"%1 is %2"_s.arg(folder).arg(modeOf(f.file(folder)), 0, 8)));
        for (const QString &file : {u"station/Data/LumoraData.dat"_s, u"station/projection.ini"_s})
            QVERIFY2(modeOf(f.file(file)) == fileMode, qPrintable(u"%1 is %2"_s.arg(file).arg(modeOf(f.file(file)), 0, 8)));
    }

    void zombieIsNotAlive()
    {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        QVERIFY(child > 0);
        QVERIFY(waitGone(child)); // exited but not yet reaped
        QVERIFY(QFileInfo::exists(u"/proc/%1"_s.arg(child)));
        waitpid(child, nullptr, 0);
        QVERIFY(!IsProcessAlive(0) && !IsProcessAlive(-1));
    }

    // Without the program nothing starts, nor without a port the receiver;
    // then each companion starts once and stops on its own.
    void startAndStopEachCompanionOnItsOwn()
    {
        TestFolder f;
        Settings.IR_Port = u"11112"_s;
        c_.startReceiver();
        c_.startDataManager();
        QCOMPARE(c_.receiverId() + c_.dataManagerId(), qint64(0));
        const QString program = InstallIdleProgram(f.path(), kReceiver);
        QVERIFY(!program.isEmpty() && !InstallIdleProgram(f.path(), kManager).isEmpty());
        Settings.IR_Port.clear();
        c_.startReceiver();
        QCOMPARE(c_.receiverId(), qint64(0));
        QVERIFY(!runs(program)); // a detached start has run the program once it returns

        Settings.IR_Port = u"11112"_s;
        c_.startReceiver();
        c_.startDataManager();
        const qint64 receiver = c_.receiverId(), manager = c_.dataManagerId();
        QVERIFY(receiver > 0 && manager > 0 && receiver != manager);
        QTRY_COMPARE(exeOf(receiver), f.file(kReceiver));
        QTRY_COMPARE(exeOf(manager), f.file(kManager));
        // The companion knows its station.
        QVERIFY(ReadFile(u"/proc/%1/environ"_s.arg(receiver)).split('\0').contains("LUMORA_APP_FOLDER=" + QFile::encodeName(f.path())));

        c_.stopDataManager();
        QCOMPARE(c_.dataManagerId(), qint64(0));
        QVERIFY(waitGone(manager));
        QCOMPARE(c_.receiverId(), receiver);
        QVERIFY(IsProcessAlive(receiver));
        c_.stopReceiver();
        QCOMPARE(c_.receiverId(), qint64(0));
        QVERIFY(waitGone(receiver));
        c_.stopReceiver(); // nothing recorded: nothing happens
    }

    void companionThatIgnoresTermIsKilled()
    {
        TestFolder f;
        QVERIFY(!InstallIdleProgram(f.path(), kManager).isEmpty());
        qputenv("LUMORA_IDLE_IGNORE_TERM", "1");
        c_.startDataManager();
        qunsetenv("LUMORA_IDLE_IGNORE_TERM");
        const qint64 pid = c_.dataManagerId();
        QVERIFY(pid > 0);
        QTRY_COMPARE(exeOf(pid), f.file(kManager));
        QTRY_VERIFY(ignoresTerm(pid));
        QElapsedTimer t;
        t.start();
        c_.stopDataManager();
        QVERIFY(waitGone(pid, 3000));
        QVERIFY(t.elapsed() >= 1900); // it had its two seconds
    }

    // A test's throw-away folder ends the companions serving it, also those
    // that hold no pid file (not yet taken, or a stand-in), so that no test
    // leaves a process behind; one serving another folder stays.
    void companionsEndWithTheirTestFolder()
    {
        QProcess other;
        qint64 receiver = 0, manager = 0;
        {
            TestFolder f;
            Settings.IR_Port = u"11112"_s;
            const QString program = InstallIdleProgram(f.path(), kReceiver);
            QVERIFY(!program.isEmpty() && !InstallIdleProgram(f.path(), kManager).isEmpty());
            c_.startReceiver();
            c_.startDataManager();
            receiver = c_.receiverId(), manager = c_.dataManagerId();
            QVERIFY(receiver > 0 && manager > 0);
            QTRY_COMPARE(exeOf(receiver), f.file(kReceiver));
            QTRY_COMPARE(exeOf(manager), f.file(kManager));
            QVERIFY(!QFile::exists(f.file(kReceiver + u".pid"_s)));
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(u"LUMORA_APP_FOLDER"_s, f.file(u"other"_s));
            other.setProcessEnvironment(env);
            other.start(program, {});
            QVERIFY(other.waitForStarted());
        }
        QVERIFY(waitGone(receiver));
        QVERIFY(waitGone(manager));
        QCOMPARE(other.state(), QProcess::Running);
        other.terminate();
        QVERIFY(other.waitForFinished(5000));
    }

    // A process of the data manager's name serving this folder without its
    // pid file (one starting up, or a stand-in), started before the one that
    // holds the file: the holder is the companion, recorded at a start and stopped.
    void pidFileHolderIsTheCompanion()
    {
        TestFolder f;
        Settings.IR_Port.clear(); // the data manager alone
        QVERIFY(MakeStationDatabases(f.path()));
        QVERIFY(!InstallIdleProgram(f.path(), kManager).isEmpty());
        QProcess standIn;
        standIn.start(f.file(kManager), {});
        QVERIFY(standIn.waitForStarted());
        CompanionProcess holder(DataMgrProgram(), f.path());
        QVERIFY(holder.start());
        const qint64 pid = holder.process().processId();
        QVERIFY2(WaitFor([&] { return f.read(u"Logs/DataMgr.log"_s).contains("started"); }, 10000), f.read(u"Logs/DataMgr.log"_s).constData());
        QCOMPARE(FindCompanion(kManager), pid);
        c_.startMissing();
        QCOMPARE(c_.dataManagerId(), pid);
        c_.stopDataManager();
        QVERIFY(waitGone(pid));
        QCOMPARE(standIn.state(), QProcess::Running);
        standIn.kill();
        standIn.waitForFinished();
    }

    void recordedIdOfAnotherProgramIsLeftAlone()
    {
        // It reports the signals it gets; SIGWINCH, sent last, is handled after a pending SIGTERM.
        // `wait` returns on any trapped signal; the tail it waits on ends with the shell.
        QProcess other;
        other.start(u"bash"_s, {u"-c"_s, u"trap 'echo TERM' TERM; trap 'echo WINCH' WINCH; tail -f --pid=$$ /dev/null & echo ready; while :; do wait $!; done"_s});
        QByteArray said;
        QVERIFY(WaitFor([&] { return (said += other.readAllStandardOutput()).contains("ready"); }, 5000));
        c_.record(Companions::Receiver, other.processId()); // e.g. an id reused after the receiver ended
        c_.stopReceiver();
        QCOMPARE(c_.receiverId(), qint64(0));
        ::kill(pid_t(other.processId()), SIGWINCH);
        QVERIFY(WaitFor([&] { return (said += other.readAllStandardOutput()).contains("WINCH"); }, 5000));
        QVERIFY2(!said.contains("TERM"), said.constData());
        QCOMPARE(other.state(), QProcess::Running);
        other.kill();
        other.waitForFinished();
    }

    // Two operators start their workstations on one site folder, one after the
    // other: the second finds the first one's data manager, and one runs.
    void oneDataManagerForTwoOperators()
    {
        if (::geteuid() != 0)
            QSKIP("acts as two operators, which needs root (CI runs as root)");
        const UmaskScope site(0007);
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        const QString program = f.file(kManager);
        QVERIFY(QFile::copy(DataMgrProgram(), program));
        const EndAllOf ending{{program}};
        QVERIFY(MakeSiteFolder(f.path()));
        Settings.IR_Port.clear(); // the data manager alone

        const qint64 first = startAsOperator(SiteAccount::OperatorA)[Companions::DataManager];
        QVERIFY(first > 0);
        QVERIFY2(WaitFor([&] { return f.read(u"Logs/DataMgr.log"_s).contains("started"); }, 10000), f.read(u"Logs/DataMgr.log"_s).constData());
        const qint64 second = startAsOperator(SiteAccount::OperatorB)[Companions::DataManager];
        QCOMPARE(second, first);
        QCOMPARE(ProcessesRunning(program), QList<qint64>{first});
    }

    // However it is started, a second data manager of a folder ends at once
    // and says which one keeps the folder.
    void secondDataManagerOfAFolderEnds()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        CompanionProcess first(DataMgrProgram(), f.path()), second(DataMgrProgram(), f.path());
        QVERIFY(first.start());
        const auto log = [&] { return QString::fromUtf8(f.read(u"Logs/DataMgr.log"_s)); };
        QVERIFY(WaitFor([&] { return log().contains(u"started"_s); }, 10000));
        QVERIFY(second.start());
        QVERIFY2(second.waitForExit(10000) >= 0, qPrintable(log()));
        QVERIFY2(log().contains(u"process %1"_s.arg(first.process().processId())), qPrintable(log()));
        QCOMPARE(first.process().state(), QProcess::Running);
        QCOMPARE(first.terminate(), 0);
        // Ended, it leaves no pid file naming it.
        QVERIFY(!QFile::exists(f.file(u"LumoraDataMgr.pid"_s)));
    }

    // The receiver's pid file names a process that is not this folder's
    // receiver: a workstation start of an operator starts one all the same.
    void pidFileNamingAnotherProcessCountsAsNone_data()
    {
        QTest::addColumn<QString>("named");
        QTest::newRow("crashed receiver (dead pid)") << u"dead"_s;
        QTest::newRow("pid reused by another program") << u"other program"_s;
        QTest::newRow("receiver of another folder") << u"other folder"_s;
        QTest::newRow("older receiver's file, not writable by the group") << u"read-only file"_s;
    }
    void pidFileNamingAnotherProcessCountsAsNone()
    {
        if (::geteuid() != 0)
            QSKIP("acts as an operator and the receiver service, which needs root (CI runs as root)");
        QFETCH(QString, named);
        const UmaskScope site(0007);
        TestFolder f;
        QTemporaryDir otherFolder;
        QVERIFY(MakeStationDatabases(f.path()) && MakeStationDatabases(otherFolder.path()));
        const QString program = f.file(kReceiver), idle = f.file(u"lumora-test-idle"_s);
        QVERIFY(QFile::copy(ReceiverProgram(), program));
        QVERIFY(!InstallIdleProgram(f.path(), u"lumora-test-idle"_s).isEmpty());
        const EndAllOf ending{{program}};
        const quint16 port = FreePort(), otherPort = FreePort();
        QVERIFY(port != otherPort);
        WriteReceiverSettings(f, u"SITEA"_s, QString::number(port));
        QFile other(otherFolder.path() + u"/LumoraStation.ini"_s);
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write(u"[Com]\nIR_AET=SITEB\nIR_Port=%1\n"_s.arg(otherPort).toUtf8());
        other.close();
        QVERIFY(MakeSiteFolder(f.path()) && MakeSiteFolder(otherFolder.path()));
        const QString pidFile = f.file(u"LumoraReceiver.pid"_s);

        // What the pid file names, as the service account runs it.
        qint64 stale = 0;
        CompanionProcess service(u"setpriv"_s, f.path(), {}, AsSiteAccount(SiteAccount::Service) << ReceiverProgram());
        CompanionProcess stranger(u"setpriv"_s, f.path(), {}, AsSiteAccount(SiteAccount::Service) << idle);
        CompanionProcess otherService(u"setpriv"_s, otherFolder.path(), {}, AsSiteAccount(SiteAccount::Service) << ReceiverProgram());
        if (named == "dead"_L1) {
            QVERIFY(service.start());
            QVERIFY(service.waitUntilAnswering(u"SITEA"_s, port));
            QVERIFY(WaitFor([&] { return QFile::exists(pidFile); }, 5000));
            stale = f.read(u"LumoraReceiver.pid"_s).trimmed().toLongLong();
            service.kill(); // a crash: the pid file stays
            QVERIFY(QFile::exists(pidFile));
        } else if (named == "other program"_L1) {
            QVERIFY(stranger.start());
            stale = stranger.process().processId();
            QVERIFY(WaitFor([&] { return ProcessesRunning(idle).contains(stale); }, 5000));
            f.write(u"LumoraReceiver.pid"_s, QByteArray::number(stale) + '\n'); // as the crashed receiver left it
        } else if (named == "read-only file"_L1) {
            QProcess ended;
            ended.start(u"true"_s, {});
            QVERIFY(ended.waitForStarted());
            stale = ended.processId();
            QVERIFY(ended.waitForFinished());
            f.write(u"LumoraReceiver.pid"_s, QByteArray::number(stale) + '\n');
        } else {
            QVERIFY(otherService.start());
            QVERIFY(otherService.waitUntilAnswering(u"SITEB"_s, otherPort));
            stale = otherService.process().processId();
            f.write(u"LumoraReceiver.pid"_s, QByteArray::number(stale) + '\n');
        }
        QVERIFY(stale > 0);
        QVERIFY(MakeSiteFolder(f.path()));
        if (named == "read-only file"_L1)
            QVERIFY(QFile::setPermissions(pidFile, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));

        LoadSettings();
        const qint64 started = startAsOperator(SiteAccount::OperatorA)[Companions::Receiver];
        QVERIFY(started > 0);
        QVERIFY(started != stale);
        QVERIFY2(WaitFor([&] { return Echo(u"SITEA"_s, port) == 0; }, 15000), f.read(u"Logs/Receiver.log"_s).constData());
        QCOMPARE(ProcessesRunning(program), QList<qint64>{started});
        QVERIFY(WaitFor([&] { return f.read(u"LumoraReceiver.pid"_s).trimmed().toLongLong() == started; }, 5000));
    }

    // A second receiver of a folder (on another port) ends once it finds the
    // first holding the folder's pid file.
    void secondReceiverOfAFolderEnds()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        const quint16 port = FreePort();
        WriteReceiverSettings(f, u"RCV"_s, QString::number(port));
        CompanionProcess first(ReceiverProgram(), f.path());
        QVERIFY(first.start());
        QVERIFY(first.waitUntilAnswering(u"RCV"_s, port));
        QVERIFY(WaitFor([&] { return QFile::exists(f.file(u"LumoraReceiver.pid"_s)); }, 5000));
        const quint16 otherPort = FreePort();
        WriteReceiverSettings(f, u"RCV"_s, QString::number(otherPort));
        CompanionProcess second(ReceiverProgram(), f.path());
        QVERIFY(second.start());
        QCOMPARE(second.waitForExit(15000), 3);
        const QString log = QString::fromUtf8(f.read(u"Logs/Receiver.log"_s));
        QVERIFY2(log.contains(u"receiver process %1 serves this folder"_s.arg(first.process().processId())), qPrintable(log));
        QCOMPARE(f.read(u"LumoraReceiver.pid"_s).trimmed().toLongLong(), first.process().processId());
        QCOMPARE(first.terminate(), 0);
        QVERIFY(!QFile::exists(f.file(u"LumoraReceiver.pid"_s)));
    }

    // The running data manager keeps the newest twenty rotated logs of each
    // kind and nothing else of theirs, checkpoints the databases on its
    // (shortened) interval, and ends on SIGTERM.
    void runningHousekeeperPrunesCheckpointsAndStops()
    {
        TestFolder folder;
        QVERIFY(MakeStationDatabases(folder.path()));
        folder.write(u"LumoraStation.ini"_s, "[General]\nDatabase=Data/LumoraDef.dat\n");
        // Written in shuffled order, so that file times say nothing about age.
        QStringList kept = u"Debug.log Error.log Receiver.log error-notes.txt errorlog.log receiver20200101000000.log"_s.split(u' ');
        for (const QString &other : kept)
            folder.write(u"Logs/"_s + other, "keep");
        for (int i : {3, 24, 0, 11, 7, 19, 1, 22, 15, 2, 9, 23, 4, 18, 5, 13, 6, 21, 8, 10, 12, 14, 16, 17, 20}) {
            folder.write(u"Logs/error%1.log"_s.arg(stamp(i)), "e");
            folder.write(u"Logs/debug%1.log"_s.arg(stamp(i)), "d");
            if (i >= 5)
                kept << u"error%1.log"_s.arg(stamp(i)) << u"debug%1.log"_s.arg(stamp(i));
        }
        kept.sort();
        const auto left = [&] {
            QStringList names = logsIn(folder.file(u"Logs"_s));
            names.removeAll(u"DataMgr.log"_s);
            return names;
        };

        // A connection that keeps writing into the write-ahead log without checkpointing it.
        const QString image = folder.file(u"Data/LumoraData.dat"_s), wal = image + u"-wal"_s;
        Database writer(u"walwriter"_s, u"test"_s);
        writer.setPath(image);
        QVERIFY(writer.open());
        QVERIFY(Execute(writer, u"PRAGMA wal_autocheckpoint = 0"_s).ok());
        for (int i = 0; i < 50; ++i)
            QVERIFY(Execute(writer, u"INSERT INTO tblReceive (PatID, ImageUID) VALUES ('P', ?)"_s, {QString::number(i)}).ok());
        QVERIFY(QFileInfo(wal).size() > 0);

        CompanionProcess mgr(DataMgrProgram(), folder.path(), {u"LUMORA_DATAMGR_INTERVAL_MS=300"_s});
        QVERIFY(mgr.start());
        const auto log = [&] { return QString::fromUtf8(folder.read(u"Logs/DataMgr.log"_s)); };
        QVERIFY2(WaitFor([&] { return QFileInfo(wal).size() == 0; }, 15000), qPrintable(log()));
        QVERIFY2(WaitFor([&] { return left() == kept; }, 5000), qPrintable(left().join(u' ')));
        // The rows are in the database file itself now.
        writer.close();
        QCOMPARE(QueryValue(image, u"SELECT COUNT(*) FROM tblReceive"_s).toInt(), 50);
        QCOMPARE(mgr.terminate(5000), 0);
        QVERIFY(log().trimmed().endsWith(u"stopped"_s));
    }
};

QTEST_GUILESS_MAIN(CompanionsTest)
#include "tst_companions.moc"
