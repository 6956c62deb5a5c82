#pragma once

#include "companions/receiver/ImageStore.h"
#include "toolkit/TlsFiles.h"

#include <QElapsedTimer>
#include <QSet>
#include <QString>
#include <csignal>
#include <memory>

// Set by SIGTERM/SIGINT; the receiver finishes the object in hand and ends.
// Process-wide: a signal handler can reach nothing else.
extern volatile std::sig_atomic_t ReceiverStopRequested;

// One line in Logs/Receiver.log.
void ReceiverLog(const QString &text);

// A TLS handshake on the receiver's TLS port that failed: the peer's address
// and the reason (OpenSSL's, "certificate verify failed: ..."). Logged here;
// the one place a security alert about it is raised from.
void ReceiverTlsFailure(const QString &peer, const QString &reason);

// What the receiver runs with, from LumoraStation.ini and the environment.
struct ReceiverOptions {
    QString aeTitle;
    quint16 port = 0;
    // Com\IR_PlainPort: whether the plain port stays open beside the TLS port.
    bool plainPort = true;
    // Com\IR_TLS_Port when Com\IR_TLS is 1, else 0 (no TLS port).
    quint16 tlsPort = 0;
    TlsFiles tls;
    qint64 minimumFreeBytes = 64LL * 1024 * 1024;
    int tempPollMs = 2000;
};

// Reads Com\IR_AET and Com\IR_Port, and the TLS port with its files
// (Com\IR_TLS, Com\IR_TLS_Port, Com\IR_PlainPort, Com\TLS_PrivateKey,
// Com\TLS_Certificate, Com\TLS_TrustedCertificates); the reason for the log
// when they cannot be used (AE title above 16 characters, bad port, no port
// left open, both on one port).
Result LoadReceiverOptions(ReceiverOptions *options);

// Exit codes, distinct so that a start-up failure can be told apart.
namespace ReceiverExit {
inline constexpr int Clean = 0;
inline constexpr int BadSettings = 2;
inline constexpr int CannotListen = 3;
inline constexpr int DiskFull = 4;
inline constexpr int NoDatabase = 5;
// A newer program version wrote the image database: as a bad setting, nothing
// to retry until that version runs.
inline constexpr int NewerDatabase = 2;
} // namespace ReceiverExit

// Takes the .dcm files of temp/ through the store: stored ones are removed,
// unreadable ones moved to temp/rejected/, others retried (logged once).
class TempIntake {
public:
    TempIntake(ImageStore &store, const QString &tempFolder, qint64 minimumFreeBytes);
    // One pass; a full disk ends it and is reported through diskFull().
    void poll();
    bool diskFull() const { return diskFull_; }

private:
    void reject(const QString &path, const QString &reason);
    // Logs a file's trouble the first time only; it is retried quietly.
    void reportOnce(const QString &path, const QString &text);

    ImageStore &store_;
    QString temp_;
    qint64 minimumFree_;
    bool diskFull_ = false;
    QSet<QString> reported_;
};

// How many association profiles (one per set of storage classes a sender
// proposes) the receiver keeps; the least recently used goes first.
inline constexpr int ReceiverProfilesKept = 32;

// Status codes the C-STORE answer carries for each store outcome.
quint16 StoreStatus(ImageStore::Outcome outcome);

class StorageProvider;

// The DICOM storage provider: one association at a time, the listen backlog
// holding the others, temp/ polled between associations. It listens on the
// plain port, the TLS port or both from one thread, waiting on both sockets
// at once: an association on either is taken as soon as it comes.
class Receiver {
public:
    Receiver(ImageStore &store, const ReceiverOptions &options);
    ~Receiver();
    // Opens the ports; the reason when it cannot (ErrorCode::TlsRefused when
    // the TLS files cannot serve).
    Result listen();
    // Serves until a stop is requested or the disk is full; the exit code.
    int run();

private:
    std::unique_ptr<StorageProvider> scp_;
    ReceiverOptions options_;
};
