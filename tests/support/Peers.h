#pragma once

// The real peers the tests talk to: DCMTK's storescp, wlmscpfs, storescu and
// echoscu, Orthanc, a socat pseudo-terminal pair, and the companion programs.
#include <QDate>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <memory>

// A loopback TCP port nobody listens on right now.
quint16 FreePort();

// The process started next by `process` goes with the test even when the
// test dies or is killed (the parent-death signal). Set before start().
void EndsWithTheTest(QProcess &process);

// Holds a listening socket on a free port (all interfaces) while it lives.
class PortOccupant {
public:
    PortOccupant() { server_.listen(QHostAddress::AnyIPv4); }
    quint16 port() const { return server_.serverPort(); }

private:
    QTcpServer server_;
};

// A DCMTK server on a free loopback port, killed when the object goes.
class ServerPeer {
public:
    ~ServerPeer();
    quint16 port() const { return port_; }

protected:
    // The program with the port as its last argument; true once it answers.
    bool launch(const QString &program, const QStringList &args);

private:
    QProcess process_;
    quint16 port_ = 0;
};

// storescp, writing what it receives into a folder.
class StorePeer : public ServerPeer {
public:
    bool start(const QString &folder, const QString &aet, const QStringList &extra = {});
    const QString &folder() const { return folder_; }
    QStringList received() const;
    // Removes what was received, for the next case.
    void clear() const;

private:
    QString folder_;
};

// The day of the worklist tests' entries and of the query they answer.
inline const QDate WorklistDay{2026, 12, 7};

// One scheduled procedure step as a worklist provider holds it. Texts are
// written in the entry's character set (ISO_IR 192 as UTF-8, anything else
// byte for byte as Latin-1).
struct WorklistEntry {
    QString name{};
    QDate date = WorklistDay;
    QString time{}; // TM as written
    QString stationAet = "MAMMO1"; // Scheduled Station AE Title
    QString charset{}; // empty: none, the default repertoire
    QString id = "ID1";
    QString birthDate = "19620314";
    QString sex = "F";
    QString codeValue{}; // of the requested procedure; empty: no code sequence
    QString referring = "Ref^Doc";
};

// wlmscpfs answering for one AE title from the worklist files in
// <folder>/db/<AE title>/ and returning each file's character set (-csk);
// each request it receives is kept as dcmdump text.
class WorklistPeer : public ServerPeer {
public:
    // Without a lockfile in the AE folder the provider refuses every query.
    bool start(const QString &folder, const QString &aet, const QStringList &extra = {}, bool lockfile = true);
    // The entry as the next file of the AE folder, made by dump2dcm; false with a warning.
    bool add(const WorklistEntry &entry);
    // The requests received so far, oldest first.
    QStringList requests() const;

private:
    QString entries_, requests_;
    int added_ = 0;
};

// echoscu and storescu against 127.0.0.1, run to their end: the exit code.
int Echo(const QString &aet, quint16 port, QByteArray *output = nullptr);
int Store(const QString &aet, quint16 port, const QStringList &files, QByteArray *output = nullptr, const QStringList &options = {});
// storescu started in the background, for sends the test interrupts or overlaps.
void StartStore(QProcess &sender, const QString &aet, quint16 port, const QStringList &files, const QStringList &options = {});

// The real receiver or data manager (or what runs it) as a child process in an application folder.
class CompanionProcess {
public:
    CompanionProcess(const QString &program, const QString &appFolder, const QStringList &extraEnv = {}, const QStringList &args = {});
    ~CompanionProcess() { kill(); }
    bool start();
    // For the receiver: started and answering C-ECHO.
    bool waitUntilAnswering(const QString &aet, quint16 port, int timeoutMs = 15000);
    // Sends SIGTERM and waits; the exit code, -1 on a crash or time-out.
    int terminate(int timeoutMs = 10000);
    void kill();
    int waitForExit(int timeoutMs);
    QProcess &process() { return process_; }

private:
    QProcess process_;
};

QString ReceiverProgram();
class TestFolder;
// The station's receiver in folder, answering as aet on a free port; no
// process when it did not start or answer.
struct StationReceiver {
    std::unique_ptr<CompanionProcess> process;
    quint16 port = 0;
};
StationReceiver StartStationReceiver(const TestFolder &folder, const QString &aet);
// A memory figure of a running process from /proc/<pid>/status ("VmRSS", the
// resident set; "VmHWM", its peak), in bytes; -1 when it cannot be read.
qint64 ProcessMemory(qint64 pid, const QByteArray &field);
QString DataMgrProgram();

// The idle stand-in companion, copied into a folder under the given name.
QString InstallIdleProgram(const QString &folder, const QString &name);

// Accounts of a site, by number (no names needed): two operators and the
// receiver service, all in the site's group. Only root can act as them.
namespace SiteAccount {
inline constexpr unsigned Group = 64100;
inline constexpr unsigned OperatorA = 64101;
inline constexpr unsigned OperatorB = 64102;
inline constexpr unsigned Service = 64103;
} // namespace SiteAccount

// The folder as the site's installation leaves it: everything in the site's
// group, readable and writable by the group only, folders setgid.
bool MakeSiteFolder(const QString &path);

// setpriv's arguments that run the program after them as the account, in the site's group.
QStringList AsSiteAccount(unsigned uid);

// The processes running the program (its full path).
QList<qint64> ProcessesRunning(const QString &program);

// The process's umask while it lives: what the programs set for the site folder.
class UmaskScope {
public:
    explicit UmaskScope(unsigned mask);
    ~UmaskScope();

private:
    unsigned previous_;
};

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
    // Empty once it answers, else why not. With a worklist folder, the
    // worklist plugin answers from its *.wl files; `extra` adds to (or
    // replaces) the configuration's keys (DICOM TLS, ...).
    QString start(const QString &worklistFolder = {}, const QJsonObject &extra = {});
    void stop();
    // The archive dies as in a crash: its connections drop at once.
    void crash();
    quint16 dicomPort() const { return dicomPort_; }
    QByteArray log() const;

    QByteArray raw(const QByteArray &verb, const QString &path, bool *ok, int ms = 10000);
    // GET of JSON that must succeed; an empty value (and a warning) otherwise.
    QJsonValue get(const QString &path);
    bool removeEverything();
    // Everything stored: Orthanc's id by SOP Instance UID, as the archive parsed it.
    QMap<QString, QString> instances();

private:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 dicomPort_ = 0, httpPort_ = 0;
    QNetworkAccessManager net_;
};
