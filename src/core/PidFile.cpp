#include "core/PidFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct flock wholeFile(short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

} // namespace

bool PidFileClaim::claim(const QString &path, qint64 *holder, QString *error)
{
    release();
    if (holder)
        *holder = 0;
    const QByteArray name = QFile::encodeName(path);
    // A shared folder: never through a link, never a device or a pipe someone left.
    for (int attempt = 0; attempt < 5; ++attempt) {
        int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0660);
        if (fd < 0 && errno == EACCES) {
            // Left by an account whose files the group could not write
            // (an older version); the folder is the group's, so it may go.
            ::unlink(name.constData());
            fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
        }
        if (fd < 0) {
            if (error)
                *error = QStringLiteral("cannot open %1: %2").arg(path, errorText(errno));
            return false;
        }
        struct stat opened {};
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            ::close(fd);
            if (error)
                *error = QStringLiteral("%1 is not a plain file").arg(path);
            return false;
        }
        struct flock lock = wholeFile(F_WRLCK);
        if (::fcntl(fd, F_SETLK, &lock) != 0) {
            const int why = errno;
            struct flock probe = wholeFile(F_WRLCK);
            const bool held = (why == EAGAIN || why == EACCES) && ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
            ::close(fd);
            if (held) {
                if (holder)
                    *holder = probe.l_pid;
                if (error)
                    *error = QStringLiteral("%1 is held by process %2").arg(path).arg(probe.l_pid);
                return false;
            }
            if (why == EAGAIN || why == EACCES)
                continue; // its holder ended in between
            if (error)
                *error = QStringLiteral("cannot lock %1: %2").arg(path, errorText(why));
            return false;
        }
        // The one who had it may have removed the file after we opened it:
        // then the lock is on a file nobody else finds.
        struct stat named {};
        if (::stat(name.constData(), &named) != 0 || named.st_ino != opened.st_ino || named.st_dev != opened.st_dev) {
            ::close(fd);
            continue;
        }
        const QByteArray id = QByteArray::number(qint64(::getpid())) + '\n';
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, id.constData(), size_t(id.size()), 0) != id.size()) {
            const int why = errno;
            ::close(fd);
            if (error)
                *error = QStringLiteral("cannot write %1: %2").arg(path, errorText(why));
            return false;
        }
        fd_ = fd;
        path_ = path;
        return true;
    }
    if (error)
        *error = QStringLiteral("cannot claim %1: it keeps changing hands").arg(path);
    return false;
}

void PidFileClaim::release()
{
    if (fd_ < 0)
        return;
    // Removed while still locked: nobody takes a file that is about to go.
    [[maybe_unused]] const int truncated = ::ftruncate(fd_, 0);
    ::unlink(QFile::encodeName(path_).constData());
    ::close(fd_);
    fd_ = -1;
    path_.clear();
}

qint64 PidFileHolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st {};
    qint64 holder = 0;
    struct flock probe = wholeFile(F_WRLCK);
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK)
        holder = probe.l_pid;
    // This process holds no lock on it: closing drops nothing.
    ::close(fd);
    return holder;
}
