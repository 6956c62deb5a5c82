#pragma once

#include <QLockFile>
#include <QSize>
#include <QString>
#include <memory>

#include "toolkit/Result.h"

// The smallest screen the workstation's windows fit on.
inline constexpr int MinimumScreenWidth = 1024;
inline constexpr int MinimumScreenHeight = 768;
bool ScreenMeetsMinimum(const QSize &screen);

// One workstation per application folder: a lock file held for the life of the
// program. A lock left by a crashed instance does not block the next start.
// The start-up takes it and hands it to the main window, which keeps it until
// File > Exit; letting the object go releases it.
class SingleInstance {
public:
    // True when this process now holds the lock (or held it already).
    bool acquire();
    bool held() const { return lock_ && lock_->isLocked(); }
    void release();

private:
    std::unique_ptr<QLockFile> lock_;
};

// Free bytes below which the workstation warns at start-up.
inline constexpr qint64 LowDiskSpaceLimit = 1200000000;

// Whether the file system of the application folder has at least the limit
// free; when not, the error log gets a line and the failure's text is the
// status-bar warning.
Result CheckFreeSpace(qint64 limit = LowDiskSpaceLimit);

// Copies the empty template to the user database's path when no file is there.
// Fails when a copy was needed and could not be made.
Result EnsureUserDatabase(const QString &userDatabasePath);

// transfer/, temp/ and bin/ below the application folder, where missing.
Result CreateWorkingFolders();
