#pragma once

// strace attached to a running process: the file and socket calls it makes
// while the object is recording, for checks on what reached the disk before
// the process told anybody.
#include <QList>
#include <QProcess>
#include <QString>

struct Syscall {
    QString name;  // "fsync", "pwrite64", "renameat2", ...
    QString path;  // the first argument's file (from strace -y), or the first path argument
    QString path2; // a rename's target
    // Where in the trace the call entered and where it returned: calls of
    // other threads can come in between (strace's "<unfinished ...>").
    int entered = -1;
    int returned = -1;
    bool socket() const { return path.startsWith(QLatin1String("TCP")) || path.startsWith(QLatin1String("socket:")); }
    bool flush() const { return name == QLatin1String("fsync") || name == QLatin1String("fdatasync"); }
    bool write() const;
    bool unlink() const { return name.startsWith(QLatin1String("unlink")); }
    bool rename() const { return name.startsWith(QLatin1String("rename")); }
};

class SyscallTrace {
public:
    ~SyscallTrace();
    // Attaches to every thread of `pid` and its children; true once strace reports it attached.
    bool attach(qint64 pid);
    // Detaches and reads the calls recorded, in the order strace saw them enter.
    QList<Syscall> detach();

private:
    QProcess strace_;
    QString log_;
};

// The first index at or after `from` whose call satisfies `match`, -1 for none.
template <typename Match>
int FindCall(const QList<Syscall> &calls, Match match, int from = 0)
{
    for (int i = qMax(0, from); i < calls.size(); ++i)
        if (match(calls.at(i)))
            return i;
    return -1;
}
