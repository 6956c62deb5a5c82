#include "core/ErrorLog.h"

#include "core/ApplicationFolder.h"
#include "core/LogTrouble.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMutex>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Troubles {
    QMutex mutex;
    QSet<QString> logs; // the files already reported
    QStringList texts;
    LogTroubleReporter reporter;
};

Troubles &troubles()
{
    static Troubles t;
    return t;
}

void toStandardError(const QString &text)
{
    const QString program = QCoreApplication::instance() ? QCoreApplication::applicationName() : QString::fromLocal8Bit(program_invocation_short_name);
    std::fprintf(stderr, "%s: %s\n", qPrintable(program), qPrintable(text));
    std::fflush(stderr);
}

void reportTrouble(const QString &path, int error)
{
    ReportTroubleOnce(path, QStringLiteral("The log %1 cannot be written (%2); its lines are lost.").arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

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
    // Group-writable, as far as the umask lets it: in a shared folder the
    // operators and the receiver service write the same logs.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660);
    if (fd < 0) {
        reportTrouble(path, errno);
        return;
    }
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            reportTrouble(path, errno);
            break;
        }
        p += n;
        left -= n;
    }
    ::close(fd);
}

} // namespace

// Once per key: a log that fails fails again with every line.
void ReportTroubleOnce(const QString &key, const QString &text)
{
    LogTroubleReporter tell;
    {
        Troubles &t = troubles();
        QMutexLocker lock(&t.mutex);
        if (t.logs.contains(key))
            return;
        t.logs.insert(key);
        t.texts << text;
        tell = t.reporter;
    }
    if (tell)
        tell(text);
    else
        toStandardError(text);
}

void SetLogTroubleReporter(LogTroubleReporter reporter)
{
    QStringList earlier;
    {
        Troubles &t = troubles();
        QMutexLocker lock(&t.mutex);
        t.reporter = reporter;
        earlier = t.texts;
    }
    if (reporter)
        for (const QString &text : earlier)
            reporter(text);
}

QStringList LogTroubles()
{
    Troubles &t = troubles();
    QMutexLocker lock(&t.mutex);
    return t.texts;
}

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
