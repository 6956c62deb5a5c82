#pragma once

// ZIP archives of exports.
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTime>
#include <optional>

#include "toolkit/Result.h"

// What CreateZIP reports: 0 written, 1 the archive failed (already shown),
// 2 the old ZIP library's -2 (never returned now; kept for callers),
// 3 an unexpected error (logged).
namespace ZipResult {
inline constexpr int Written = 0;
inline constexpr int Failed = 1;
inline constexpr int LibraryMinusTwo = 2;
inline constexpr int Unexpected = 3;
} // namespace ZipResult

// The archive's name from the operator's answer (nullopt: cancelled): the time
// hhmmss when cancelled or empty, otherwise the answer trimmed with ".zip"
// added unless it ends so in any letter case.
QString ZipArchiveName(const std::optional<QString> &answer, const QTime &now);
// Whether a name may name an archive in the export folder (no path in it).
bool IsPlainArchiveName(const QString &name);
// folder/name, or name_1.zip, name_2.zip ... when that is taken.
QString FreeArchivePath(const QString &folder, const QString &name);

// Packs the files, deflated, each under its path relative to folder (or the
// name entryNames gives it), into archivePath. Touches no window: a window
// runs it on a worker (WriteArchive). The archive appears only when complete.
// WriteFailed with the reason.
Result WriteZipArchive(const QString &archivePath, const QString &folder, const QStringList &files,
                       const QMap<QString, QString> &entryNames = {});
