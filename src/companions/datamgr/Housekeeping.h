#pragma once

#include "toolkit/Result.h"

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

// The image, definitions and user databases of the application folder.
QStringList HousekeptDatabases();

// The first of them that a newer program version wrote, refused (the text
// names both versions); a success when there is none. The data manager does
// not keep such files: it ends.
Result RefuseNewerDatabases();

// Hands the audit trail on to the repository the settings name, round by
// round; after a failed round the wait doubles (from the interval up to a
// minute, or 64 intervals when shorter), and a trouble is logged when it
// starts and when it ends, not at every round.
class AuditForwarding {
public:
    explicit AuditForwarding(int intervalMs) : interval_(intervalMs), wait_(intervalMs) {}
    // One round; the milliseconds until the next.
    int round();
    // The round at the stop, ended after limitMs; what it does not deliver
    // stays past the offsets for the next start.
    void lastRound(int limitMs);

private:
    int interval_;
    int wait_;
    QString trouble_; // the last failure logged, empty when none
};

// One line in Logs/DataMgr.log.
void DataMgrLog(const QString &text);

inline constexpr int KeptRotatedLogs = 20;

// The last delivery at the stop ends within this: the workstation kills a
// data manager that has not ended two seconds after its SIGTERM.
inline constexpr int LastDeliveryMs = 1500;

// The data manager's pid file in the application folder, held while it runs:
// one data manager per folder, whoever started it.
inline constexpr const char *DataMgrPidFile = "LumoraDataMgr.pid";

// Exit codes.
namespace DataMgrExit {
inline constexpr int Clean = 0;
inline constexpr int NewerDatabase = 2;
inline constexpr int AlreadyRunning = 3; // another data manager keeps the folder
} // namespace DataMgrExit
