#include "support/SyscallTrace.h"

#include "support/Station.h"

#include <QHash>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <csignal>

bool Syscall::write() const
{
    static const QStringList writes{u"write"_s, u"pwrite64"_s, u"writev"_s, u"pwritev"_s, u"pwritev2"_s};
    return writes.contains(name);
}

SyscallTrace::~SyscallTrace()
{
    if (strace_.state() != QProcess::NotRunning) {
        strace_.kill();
        strace_.waitForFinished(5000);
    }
    if (!log_.isEmpty())
        QFile::remove(log_);
}

bool SyscallTrace::attach(qint64 pid)
{
    QTemporaryFile log(QDir::tempPath() + u"/lumora-strace-XXXXXX.log"_s);
    log.setAutoRemove(false);
    if (!log.open())
        return false;
    log_ = log.fileName();
    const QString calls = u"write,pwrite64,writev,pwritev,pwritev2,sendto,sendmsg,fsync,fdatasync,"
                          "rename,renameat,renameat2,unlink,unlinkat"_s;
    strace_.setProcessChannelMode(QProcess::SeparateChannels);
    strace_.start(u"strace"_s, {u"-f"_s, u"-y"_s, u"-s"_s, u"0"_s, u"-e"_s, u"trace="_s + calls, u"-o"_s, log_, u"-p"_s, QString::number(pid)});
    if (!strace_.waitForStarted(10000))
        return false;
    QByteArray said;
    return WaitFor(
        [&] {
            said += strace_.readAllStandardError();
            return said.contains("attached") || strace_.state() == QProcess::NotRunning;
        },
        10000)
        && strace_.state() == QProcess::Running;
}

QList<Syscall> SyscallTrace::detach()
{
    ::kill(static_cast<pid_t>(strace_.processId()), SIGINT);
    strace_.waitForFinished(10000);
    // "123 fsync(7</a/b.dcm>) = 0", "123 renameat2(AT_FDCWD, "/a", AT_FDCWD, "/b", 0) = 0";
    // a call another thread interrupts: "123 fsync(7</a/b.dcm> <unfinished ...>", later "123 <... fsync resumed>) = 0"
    static const QRegularExpression line(uR"(^(?:\[pid\s+)?(\d+)\]?\s+([a-z0-9_]+)\((.*)$)"_s);
    static const QRegularExpression resumed(uR"(^(?:\[pid\s+)?(\d+)\]?\s+<\.\.\. [a-z0-9_]+ resumed>)"_s);
    static const QRegularExpression fdPath(uR"(^-?\d+<([^>]*)>)"_s);
    static const QRegularExpression quoted(uR"re("((?:[^"\\]|\\.)*)")re"_s);
    QList<Syscall> calls;
    QHash<QString, qsizetype> unfinished; // thread → its call not yet returned
    int at = 0;
    for (const QByteArray &raw : ReadFile(log_).split('\n')) {
        ++at;
        const QString text = QString::fromUtf8(raw);
        if (const QRegularExpressionMatch r = resumed.match(text); r.hasMatch()) {
            if (const qsizetype i = unfinished.take(r.captured(1)); i > 0)
                calls[i - 1].returned = at;
            continue;
        }
        const QRegularExpressionMatch m = line.match(text);
        if (!m.hasMatch())
            continue;
        Syscall call{.name = m.captured(2), .entered = at};
        const QString args = m.captured(3);
        if (args.endsWith(u"<unfinished ...>"_s))
            unfinished.insert(m.captured(1), calls.size() + 1);
        else
            call.returned = at;
        if (const QRegularExpressionMatch fd = fdPath.match(args); fd.hasMatch()) {
            call.path = fd.captured(1);
        }
        QRegularExpressionMatchIterator strings = quoted.globalMatch(args);
        QStringList paths;
        while (strings.hasNext())
            paths << strings.next().captured(1);
        if (call.rename() || call.unlink()) {
            // A name relative to an opened folder (unlinkat(7</a>, "b", 0)) as the path it reached.
            const QString folder = call.path;
            call.path = paths.value(0);
            call.path2 = paths.value(1);
            if (!folder.isEmpty() && !call.path.startsWith(u'/'))
                call.path = folder + u'/' + call.path;
        }
        calls << call;
    }
    return calls;
}
