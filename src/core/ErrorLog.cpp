#include "core/ErrorLog.h"

#include "core/ApplicationFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Log names compare without regard to case, as they did on the original file system.
QString findCaseInsensitive(const QDir &dir, const QString &name)
{
    if (QFileInfo::exists(dir.filePath(name)))
        return name;
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &e : entries) {
        if (e.compare(name, Qt::CaseInsensitive) == 0)
            return e;
    }
    return {};
}

void writeWhole(const QString &path, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666); // the umask decides
    if (fd < 0)
        return;
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        p += n;
        left -= n;
    }
    ::close(fd);
}

} // namespace

QString LogTimestamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    return locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ')
        + now.time().toString(QStringLiteral("HH:mm:ss"));
}

void AppendLogLine(const QString &currentName, const QString &rotatedPrefix, const QString &line)
{
    const QString folder = AppPath(QString::fromLatin1(AppFiles::LogsFolder));
    QDir dir(folder);
    if (!dir.exists())
        QDir().mkpath(folder); // a failure shows up as a failed open below

    QString existing = findCaseInsensitive(dir, currentName);
    if (!existing.isEmpty()) {
        const QFileInfo info(dir.filePath(existing));
        if (info.size() > LogRotateSize) {
            const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
            const QString rotated = dir.filePath(rotatedPrefix + stamp + QStringLiteral(".log"));
            // rename() would replace a file rotated in the same second; never lose it.
            if (!QFileInfo::exists(rotated) && QFile::rename(info.filePath(), rotated))
                existing.clear();
        }
    }
    const QString target = dir.filePath(existing.isEmpty() ? currentName : existing);
    writeWhole(target, (line + QStringLiteral("\r\n")).toUtf8());
}

void WriteErrorLog(qint32 number, const QString &description, const QString &location)
{
    // The number as the old runtime printed it: a leading space for a positive value.
    const QString num = number < 0 ? QString::number(number) : QLatin1Char(' ') + QString::number(number);
    AppendLogLine(QStringLiteral("Error.log"), QStringLiteral("error"),
                  LogTimestamp() + num + QLatin1Char(' ') + description + location);
}

void WriteDebugLog(const QString &text1, const QString &text2)
{
    AppendLogLine(QStringLiteral("Debug.log"), QStringLiteral("debug"), LogTimestamp() + text1 + text2);
}
