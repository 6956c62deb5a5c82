#include "app/Companions.h"

#include "core/ApplicationFolder.h"
#include "core/Settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <sys/types.h>

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
// folder of its executable.
QString folderServed(qint64 pid)
{
    QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
    if (environ.open(QIODevice::ReadOnly)) {
        for (const QByteArray &entry : environ.readAll().split('\0'))
            if (entry.startsWith("LUMORA_APP_FOLDER="))
                return canonicalFolder(QString::fromLocal8Bit(entry.mid(18)));
    }
    return canonicalFolder(QFileInfo(QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget()).absolutePath());
}

// The companion of this station: another station on the same machine runs
// a program of the same name for its own folder and port.
bool isCompanion(qint64 pid, const QString &name)
{
    const QString exe = executableName(QStringLiteral("/proc/%1").arg(pid)).toLower();
    return !exe.isEmpty() && exe.contains(name.toLower()) && folderServed(pid) == canonicalFolder(ApplicationFolder());
}

qint64 start(const char *name)
{
    const QString program = AppPath(QString::fromLatin1(name));
    if (!QFileInfo(program).isExecutable())
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

void stop(qint64 &pid, const char *name)
{
    const qint64 target = pid;
    pid = 0;
    if (target <= 0 || !IsProcessAlive(target) || !isCompanion(target, QString::fromLatin1(name)))
        return;
    ::kill(static_cast<pid_t>(target), SIGTERM);
    QDeadlineTimer deadline(2000);
    while (IsProcessAlive(target) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
        QThread::msleep(20);
    }
    if (IsProcessAlive(target))
        ::kill(static_cast<pid_t>(target), SIGKILL);
}

} // namespace

qint64 FindCompanion(const QString &exeName)
{
    for (qint64 pid : processIds())
        if (processState(pid) != 'Z' && isCompanion(pid, exeName))
            return pid;
    return 0;
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

void Companions::stop(Which which) { ::stop(ids_[which], which == Receiver ? ReceiverName : DataManagerName); }
