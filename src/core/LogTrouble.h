#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// A log that cannot be opened or written loses its lines; the program says
// so once per log file. Until a program sets its own, the news goes to
// standard error (the companions); the workstation shows it in its status line.
// The reporter may be called on any thread.
using LogTroubleReporter = std::function<void(const QString &text)>;

// Sets who hears from now on (an empty function: standard error again), and
// hands it what was reported before.
void SetLogTroubleReporter(LogTroubleReporter reporter);

// Tells the text once per key (a file's path) in this process, as a log's
// trouble is told; later calls with the same key say nothing.
void ReportTroubleOnce(const QString &key, const QString &text);

// What was reported so far in this process.
QStringList LogTroubles();
