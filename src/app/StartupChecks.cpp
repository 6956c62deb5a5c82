#include "app/StartupChecks.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "toolkit/Result.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

bool ScreenMeetsMinimum(const QSize &screen)
{
    return screen.width() >= MinimumScreenWidth && screen.height() >= MinimumScreenHeight;
}

bool SingleInstance::acquire()
{
    if (held())
        return true;
    lock_ = std::make_unique<QLockFile>(AppPath(QString::fromLatin1(AppFiles::LockFile)));
    // Held for hours: only a dead owner makes the lock stale, never its age.
    lock_->setStaleLockTime(0);
    // tryLock takes over a lock whose owner is gone.
    if (lock_->tryLock(0))
        return true;
    lock_.reset();
    return false;
}

void SingleInstance::release()
{
    if (lock_)
        lock_->unlock();
    lock_.reset();
}

Result CheckFreeSpace(qint64 limit)
{
    const QStorageInfo storage(ApplicationFolder());
    if (!storage.isValid() || !storage.isReady())
        return {};
    const qint64 free = storage.bytesAvailable();
    if (free >= limit)
        return {};
    // Images are never deleted to make room: some may not have been sent yet.
    const QString text = QStringLiteral("Low disk space: %1 MB free on %2; images are kept, free space by hand.")
                             .arg(free / 1000000)
                             .arg(storage.rootPath());
    WriteErrorLog(ErrorCode::OutOfSpace, text, QStringLiteral("Mainform Form_Load"));
    return Result::failure(ErrorCode::OutOfSpace, text);
}

Result EnsureUserDatabase(const QString &userDatabasePath)
{
    if (userDatabasePath.isEmpty() || QFileInfo::exists(userDatabasePath))
        return {};
    const QString templ = AppPath(QString::fromLatin1(AppFiles::TemplateDatabase));
    QDir().mkpath(QFileInfo(userDatabasePath).absolutePath());
    // Copy under a temporary name first: a half-copied journal must never look ready.
    const QString temp = userDatabasePath + QStringLiteral(".part");
    QFile::remove(temp);
    if (QFile::copy(templ, temp) && QFile::rename(temp, userDatabasePath))
        return {};
    QFile::remove(temp);
    return Result::failure(ErrorCode::PathNotFound, QStringLiteral("Cannot copy '%1' to '%2'.").arg(templ, userDatabasePath));
}

Result CreateWorkingFolders()
{
    for (const char *name : {AppFiles::TransferFolder, AppFiles::ImportFolder, AppFiles::WorkFolder}) {
        const QString path = AppPath(QString::fromLatin1(name));
        if (!QDir(path).exists() && !QDir().mkdir(path))
            return Result::failure(ErrorCode::PathNotFound, QStringLiteral("Path not found: %1").arg(path));
    }
    return {};
}
