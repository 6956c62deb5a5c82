#pragma once

#include <QString>
#include <QStringList>

// Keeps the newest `keep` rotated error and debug logs (error<stamp>.log,
// debug<stamp>.log) in `logsFolder`, each kind counted on its own, and removes
// the older ones. The current Error.log and Debug.log are never touched.
// Returns the names removed.
QStringList PruneRotatedLogs(const QString &logsFolder, int keep);

// Checkpoints and truncates the write-ahead log of each existing database
// file; a file that is missing or busy is logged and skipped.
void CheckpointDatabases(const QStringList &paths);

// One hourly round: the logs of the application folder, then the image,
// definitions and user databases.
void RunHousekeeping();

// One line in Logs/DataMgr.log.
void DataMgrLog(const QString &text);

inline constexpr int KeptRotatedLogs = 20;
