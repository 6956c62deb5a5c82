#pragma once

#include <QString>

// The error log: Logs/Error.log, one line per trapped error. Never fails the caller.
void WriteErrorLog(qint32 number, const QString &description, const QString &location);
// A note in the error log: a line without an error number (written as 0).
inline void WriteErrorNote(const QString &description, const QString &location) { WriteErrorLog(0, description, location); }

// The debug log: Logs/Debug.log, the two texts side by side. Never fails the caller.
void WriteDebugLog(const QString &text1, const QString &text2);

// One line appended to Logs/<currentName>, rotated first when the file is above
// 1,000,000 bytes to <rotatedPrefix><yyyyMMddhhmmss>.log. The line goes out in a
// single append-mode write, so other processes writing the same log do not
// interleave within it. A new log is group-writable as far as the umask lets
// it: other accounts of the folder's group write to it too. Errors never
// reach the caller; a log that cannot be opened or written is reported once
// (core/LogTrouble.h).
void AppendLogLine(const QString &currentName, const QString &rotatedPrefix, const QString &line);

// Local date and time as the workstation's locale writes it in log lines.
QString LogTimestamp();

// The size above which a log is rotated before the next line.
inline constexpr qint64 LogRotateSize = 1000000;
