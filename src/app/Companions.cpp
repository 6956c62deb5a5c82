#include "app/Companions.h"

#include "core/ApplicationFolder.h"
#include "core/PidFile.h"
#include "core/Settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <unistd.h>

namespace {

// The executable's file name; the kernel's short name when the link cannot be read.
QString executableName(const QString &pidDir)
{
    const QString target = QFileInfo(pidDir + QStringLiteral("/exe")).symLinkTarget();
    if (!target.isEmpty())
        return QFileInfo(target).fileName();
    QFile comm(pidDir + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromLocal8Bit(comm.readAll()).trimmed();
    return {};
}

char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // The state follows the parenthesised name, which may itself hold ")".
    const int close = line.lastIndexOf(')');
    if (close < 0 || close + 2 >= line.size())
        return 0;
    return line.at(close + 2);
}

QList<qint64> processIds()
{
    QList<qint64> pids;
    for (const QString &e : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (ok)
            pids << pid;
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

// Symbolic links and "..": two spellings of one folder are one station.
QString canonicalFolder(const QString &folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(folder) : canonical;
}

// The application folder a process serves: its LUMORA_APP_FOLDER, else the
// folder of its executable; empty when neither can be read (another account's process).
QString folderServed(qint64 pid)
{
    QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
    if (environ.open(QIODevice::ReadOnly)) {
        for (const QByteArray &entry : environ.readAll().split('\0'))
            if (entry.startsWith("LUMORA_APP_FOLDER="))
                return canonicalFolder(QString::fromLocal8Bit(entry.mid(18)));
    }
    const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    return exe.isEmpty() ? QString() : canonicalFolder(QFileInfo(exe).absolutePath());
}

// The process that holds the companion's pid file in this folder: whoever
// started it, under whatever account. What the file says counts for nothing
// without the lock (a crash leaves the file, and its pid may be reused).
qint64 pidFileHolder(const QString &name) { return PidFileHolder(AppPath(name + QStringLiteral(".pid"))); }

bool runsProgram(qint64 pid, const QString &name)
{
    const QString exe = executableName(QStringLiteral("/proc/%1").arg(pid)).toLower();
    return !exe.isEmpty() && exe.contains(name.toLower());
}

// The companion of this station: another station on the same machine runs
// a program of the same name for its own folder and port.
bool isCompanion(qint64 pid, const QString &name)
{
    if (!runsProgram(pid, name))
        return false;
    if (pidFileHolder(name) == pid)
        return true;
    // A process of this account without the pid file (it has not taken it
    // yet, or a stand-in): its environment names its folder. Another
    // account's process counts only through the pid file.
    const QString served = folderServed(pid);
    return !served.isEmpty() && served == canonicalFolder(ApplicationFolder());
}

// Installed, the companions stand beside the program; a test station keeps
// copies in its application folder.
QString companionProgram(const char *name)
{
    for (const QString &folder : {ProgramFolder(), ApplicationFolder()}) {
        const QString program = folder + QLatin1Char('/') + QString::fromLatin1(name);
        if (QFileInfo(program).isExecutable())
            return program;
    }
    return {};
}

qint64 start(const char *name)
{
    const QString program = companionProgram(name);
    if (program.isEmpty())
        return 0;
    QProcess p;
    p.setProgram(program);
    p.setWorkingDirectory(ApplicationFolder());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LUMORA_APP_FOLDER"), ApplicationFolder());
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    return p.startDetached(&pid) ? pid : 0;
}

// Watches a companion told to end: SIGKILL when it still runs after two
// seconds, then done once it is gone. The event loop runs meanwhile; nothing waits.
void watchEnd(qint64 target, const QString &name, QObject *owner, std::function<void()> done)
{
    // done belongs to its owner: it is not called once the owner has gone.
    const QPointer<QObject> context(owner);
    const bool hadContext = owner != nullptr;
    auto *poll = new QTimer(QCoreApplication::instance());
    poll->setInterval(20);
    const QDeadlineTimer term(2000);
    auto killed = std::make_shared<std::optional<QDeadlineTimer>>();
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        if (IsProcessAlive(target)) {
            if (!term.hasExpired())
                return;
            // Another second for the kill to take; only then is it given up.
            if (!*killed) {
                if (isCompanion(target, name))
                    ::kill(static_cast<pid_t>(target), SIGKILL);
                killed->emplace(1000);
                return;
            }
            if (!(*killed)->hasExpired())
                return;
        }
        poll->stop();
        poll->deleteLater();
        if (done && (!context.isNull() || !hadContext))
            done();
    });
    poll->start();
}

void stop(qint64 &pid, const char *name, QObject *context, std::function<void()> done)
{
    const qint64 target = pid;
    pid = 0;
    // The receiver service is stopped by the site, not by an operator's workstation.
    if (target <= 0 || !IsProcessAlive(target) || !isCompanion(target, QString::fromLatin1(name)) || RunsAsAnotherUser(target)
        || ::kill(static_cast<pid_t>(target), SIGTERM) != 0) {
        if (done)
            done();
        return;
    }
    watchEnd(target, QString::fromLatin1(name), context, std::move(done));
}

} // namespace

qint64 FindCompanion(const QString &exeName)
{
    // Both companions the same way: the pid file's holder first, as another
    // operator or the service may have started it.
    if (const qint64 holder = pidFileHolder(exeName); holder > 0 && IsProcessAlive(holder) && runsProgram(holder, exeName))
        return holder;
    for (qint64 pid : processIds())
        if (processState(pid) != 'Z' && isCompanion(pid, exeName))
            return pid;
    return 0;
}

bool RunsAsAnotherUser(qint64 processId)
{
    // The status file, not the folder's owner: /proc shows a process that
    // cannot be dumped (it changed its user or holds capabilities) as root's.
    QFile status(QStringLiteral("/proc/%1/status").arg(processId));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("Uid:"))
            return line.mid(4).simplified().split(' ').value(0).toUInt() != ::getuid();
    return false;
}

bool IsProcessAlive(qint64 processId)
{
    if (processId <= 0)
        return false;
    const char state = processState(processId);
    return state != 0 && state != 'Z' && state != 'X';
}

void Companions::start(Which which)
{
    if (which == Receiver && Settings.IR_Port.isEmpty())
        return;
    // The site's receiver service serves this folder: a second receiver would only find the port taken.
    if (which == Receiver) {
        if (const qint64 running = FindCompanion(QString::fromLatin1(ReceiverName)); running != 0 && RunsAsAnotherUser(running)) {
            ids_[which] = running;
            return;
        }
    }
    if (const qint64 pid = ::start(which == Receiver ? ReceiverName : DataManagerName))
        ids_[which] = pid;
}

void Companions::startMissing()
{
    for (Which which : {Receiver, DataManager}) {
        if ((ids_[which] = FindCompanion(QString::fromLatin1(which == Receiver ? ReceiverName : DataManagerName))) == 0)
            start(which);
    }
}

bool Companions::isRunning(Which which)
{
    if (ids_[which] == 0)
        ids_[which] = FindCompanion(QString::fromLatin1(which == Receiver ? ReceiverName : DataManagerName));
    return IsProcessAlive(ids_[which]);
}

void Companions::stop(Which which, QObject *context, std::function<void()> stopped)
{
    ::stop(ids_[which], which == Receiver ? ReceiverName : DataManagerName, context, std::move(stopped));
}
