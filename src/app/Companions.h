#pragma once

#include <QString>

// The receiver and the data manager, found, started and stopped by process id.
extern qint64 ReceiverProcessId;    // 0: none recorded
extern qint64 DataManagerProcessId; // 0: none recorded

inline constexpr const char *ReceiverName = "LumoraReceiver";
inline constexpr const char *DataManagerName = "LumoraDataMgr";

// The first running process whose executable's file name, lower-cased,
// contains exeName lower-cased, and that serves this application folder (it
// runs with the same LUMORA_APP_FOLDER, or from this folder); 0 when none.
// Other stations on the same machine run companions of their own.
qint64 FindCompanion(const QString &exeName);

// True while the process exists and is not a zombie.
bool IsProcessAlive(qint64 processId);

// Start a companion from the application folder, detached, with the same
// LUMORA_APP_FOLDER. The receiver needs "Com\IR_Port"; a missing executable
// or port starts nothing.
void StartReceiver();
void StartDataManager();

// At main-window load: each companion of this folder that is not running is
// started; one that runs is recorded.
void StartMissingCompanions();

// SIGTERM, then SIGKILL after two seconds; the stored id becomes 0.
// A process that is no longer this folder's companion is left alone.
void StopReceiver();
void StopDataManager();
