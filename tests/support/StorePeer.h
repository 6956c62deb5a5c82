#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A free TCP port on the loopback address, for a peer about to listen there.
int FreeTcpPort();

// DCMTK's storescp as a storage partner on a free loopback port, writing
// what it receives into a folder; killed with the object.
class StorePeer {
public:
    ~StorePeer();
    bool start(const QString &folder, const QString &aet, const QStringList &extra = {});
    int port() const { return port_; }
    const QString &folder() const { return folder_; }
    QStringList received() const;
    void clear() const;

private:
    QProcess process_;
    int port_ = 0;
    QString folder_;
};
