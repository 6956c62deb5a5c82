#pragma once

#include <QString>
#include <array>
#include <functional>

class QObject;

inline constexpr const char *ReceiverName = "LumoraReceiver";
inline constexpr const char *DataManagerName = "LumoraDataMgr";

// The running companion of this application folder whose executable's file
// name, lower-cased, contains exeName lower-cased; 0 when none. The process
// that holds the lock of the pid file <exeName>.pid in this folder comes
// first, whatever account runs it (another operator's data manager, the
// receiver service); else the first process of this account that serves
// this folder (it runs with the same LUMORA_APP_FOLDER, or from this folder).
// A pid the file names without its lock (left by a crash, now another
// program's or another folder's) counts for nothing. Other stations on the
// same machine run companions of their own.
qint64 FindCompanion(const QString &exeName);

// The process runs as another account than this one: the site's receiver service.
bool RunsAsAnotherUser(qint64 processId);

// True while the process exists and is not a zombie.
bool IsProcessAlive(qint64 processId);

// The receiver and the data manager of this station, found, started and
// stopped by process id. The main window owns the one the operator works with.
class Companions {
public:
    enum Which { Receiver = 0, DataManager = 1 };

    // The recorded process id; 0 when none is recorded.
    qint64 processId(Which which) const { return ids_[which]; }
    qint64 receiverId() const { return ids_[Receiver]; }
    qint64 dataManagerId() const { return ids_[DataManager]; }
    // Records an id (a process found some other way).
    void record(Which which, qint64 processId) { ids_[which] = processId; }

    // Starts a companion, found beside the program or else in the application
    // folder, detached, with the same LUMORA_APP_FOLDER. The receiver needs "Com\IR_Port"; a missing
    // executable or port starts nothing.
    void start(Which which);
    void startReceiver() { start(Receiver); }
    void startDataManager() { start(DataManager); }

    // At main-window load: each companion of this folder that is not running
    // is started; one that runs is recorded.
    void startMissing();

    // With no id recorded, the running companion's is looked up; true when it runs.
    bool isRunning(Which which);

    // SIGTERM, then SIGKILL after two seconds; the recorded id becomes 0 at
    // once. A process that is no longer this folder's companion, or that
    // runs as another account (the receiver service), is left alone. Nothing
    // waits: stopped, when given, is called from the event loop once the
    // process has gone (at once when there was nothing to stop), unless
    // context was given and has gone by then.
    void stop(Which which, QObject *context = nullptr, std::function<void()> stopped = {});
    void stopReceiver(QObject *context = nullptr, std::function<void()> stopped = {}) { stop(Receiver, context, std::move(stopped)); }
    void stopDataManager(QObject *context = nullptr, std::function<void()> stopped = {}) { stop(DataManager, context, std::move(stopped)); }

private:
    std::array<qint64, 2> ids_{};
};
