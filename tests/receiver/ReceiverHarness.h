#pragma once

#include "support/TestFolder.h"
#include "toolkit/SyntheticImage.h"

#include <QProcess>
#include <QString>
#include <QVariant>
#include <functional>

// Makes the three databases below <folder>/Data with the build's lumora-mkdb.
bool MakeDatabases(const QString &folder, QByteArray *output);

// A loopback port nobody listens on right now.
quint16 FreeLoopbackPort();

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

// Writes LumoraStation.ini with the receiver's AE title and port.
void WriteReceiverSettings(const TestFolder &folder, const QString &aet, const QString &port);

// One value of a query against a database file (a fresh connection each time,
// so the test never holds the file between checks).
QVariant QueryValue(const QString &dbPath, const QString &sql, const QVariantList &values = {});
QList<QVariantList> QueryRows(const QString &dbPath, const QString &sql, const QVariantList &values = {});

// Polls `condition` every 50 ms for at most `timeoutMs`.
bool WaitFor(const std::function<bool()> &condition, int timeoutMs);

// The real receiver or data manager as a child process in an application folder.
class CompanionProcess {
public:
    CompanionProcess(const QString &program, const QString &appFolder, const QStringList &extraEnv = {});
    ~CompanionProcess();
    bool start();
    // For the receiver: started and answering C-ECHO.
    bool waitUntilAnswering(const QString &aet, quint16 port, int timeoutMs = 15000);
    // Sends SIGTERM (or SIGKILL) and waits; the exit code, -1 on a crash or time-out.
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

// DCMTK's storescu/echoscu against 127.0.0.1; exit code, output in *output.
int Echo(const QString &aet, quint16 port, QByteArray *output = nullptr);
int Store(const QString &aet, quint16 port, const QStringList &files, QByteArray *output = nullptr, const QStringList &options = {});

// A synthetic image file at path; fails the test on error.
bool WriteImage(const SyntheticImageSpec &spec, const QString &path);
