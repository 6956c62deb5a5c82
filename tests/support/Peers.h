#pragma once

// The real peers the tests talk to: DCMTK's storescp, storescu and echoscu,
// Orthanc, a socat pseudo-terminal pair, and the companion programs.
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

struct WorklistEntry;

// A loopback TCP port nobody listens on right now.
quint16 FreePort();

// Holds a listening socket on a free port (all interfaces) while it lives.
class PortOccupant {
public:
    PortOccupant();
    ~PortOccupant();
    quint16 port() const { return port_; }

private:
    int fd_ = -1;
    quint16 port_ = 0;
};

// DCMTK's storescp on a free loopback port, writing what it receives into a folder.
class StorePeer {
public:
    ~StorePeer();
    bool start(const QString &folder, const QString &aet, const QStringList &extra = {});
    quint16 port() const { return port_; }
    const QString &folder() const { return folder_; }
    QStringList received() const;
    void clear() const;

private:
    QProcess process_;
    quint16 port_ = 0;
    QString folder_;
};

// DCMTK's wlmscpfs on a free loopback port, answering for one AE title from
// the worklist files in <folder>/<AE title>/ and returning each file's
// character set (-csk); each request it receives is kept as dcmdump text.
class WorklistPeer {
public:
    ~WorklistPeer();
    // Without a lockfile in the AE folder the provider refuses every query.
    bool start(const QString &folder, const QString &aet, const QStringList &extra = {}, bool lockfile = true);
    quint16 port() const { return port_; }
    // The entry as the next file of the AE folder.
    bool add(const WorklistEntry &entry);
    // The requests received so far, oldest first.
    QStringList requests() const;

private:
    QProcess process_;
    quint16 port_ = 0;
    QString entries_, requests_;
    int added_ = 0;
};

// echoscu and storescu against 127.0.0.1, run to their end: the exit code.
int Echo(const QString &aet, quint16 port, QByteArray *output = nullptr);
int Store(const QString &aet, quint16 port, const QStringList &files, QByteArray *output = nullptr, const QStringList &options = {});
// storescu started in the background, for sends the test interrupts or overlaps.
void StartStore(QProcess &sender, const QString &aet, quint16 port, const QStringList &files, const QStringList &options = {});

// The real receiver or data manager as a child process in an application folder.
class CompanionProcess {
public:
    CompanionProcess(const QString &program, const QString &appFolder, const QStringList &extraEnv = {});
    ~CompanionProcess();
    bool start();
    // For the receiver: started and answering C-ECHO.
    bool waitUntilAnswering(const QString &aet, quint16 port, int timeoutMs = 15000);
    // Sends SIGTERM and waits; the exit code, -1 on a crash or time-out.
    int terminate(int timeoutMs = 10000);
    void kill();
    int waitForExit(int timeoutMs);
    QProcess &process() { return process_; }

private:
    QString program_;
    QProcess process_;
};

QString ReceiverProgram();
QString DataMgrProgram();

// The idle stand-in companion, copied into a folder under the given name.
QString InstallIdleProgram(const QString &folder, const QString &name);

// A socat pseudo-terminal pair: the workstation opens one end, the test plays the X-ray unit on the other.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    bool ready() const { return unitFd_ >= 0; }
    QString workstationEnd() const { return devices_.value(0); }
    // The X-ray unit sends bytes.
    bool send(const QByteArray &bytes) const;
    // What the workstation sent that the unit has not read yet.
    QByteArray received() const;

private:
    QProcess socat_;
    QStringList devices_;
    int unitFd_ = -1;
};

// An Orthanc of its own in a temporary folder, on free loopback ports; it dies with the test.
class OrthancPeer {
public:
    ~OrthancPeer() { stop(); }
    // With a worklist folder, the worklist plugin answers from its *.wl files.
    bool start(QString *why, const QString &worklistFolder = {});
    void stop();
    // The archive dies as in a crash: its connections drop at once.
    void crash();
    quint16 dicomPort() const { return dicomPort_; }
    QProcess &process() { return process_; }
    QByteArray log() const;

    QByteArray raw(const QByteArray &verb, const QString &path, bool *ok, int ms = 10000);
    QJsonValue request(const QByteArray &verb, const QString &path, bool *ok, int ms = 10000);
    // GET that must succeed; an empty value (and a warning) otherwise.
    QJsonValue get(const QString &path);
    bool removeEverything();
    // The SOP Instance UIDs of everything stored, as the archive parsed them, sorted.
    QStringList instanceUids();

private:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 dicomPort_ = 0, httpPort_ = 0;
    QNetworkAccessManager net_;
};
