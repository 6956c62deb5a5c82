#include "support/StorePeer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

int FreeTcpPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

StorePeer::~StorePeer()
{
    process_.kill();
    process_.waitForFinished(3000);
}

bool StorePeer::start(const QString &folder, const QString &aet, const QStringList &extra)
{
    folder_ = folder;
    QDir().mkpath(folder);
    port_ = FreeTcpPort();
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(QStringLiteral("storescp"),
                   QStringList{QStringLiteral("-aet"), aet, QStringLiteral("-od"), folder} + extra + QStringList{QString::number(port_)});
    if (!process_.waitForStarted(5000))
        return false;
    QDeadlineTimer t(5000);
    while (!t.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
        if (probe.waitForConnected(100))
            return true;
        QThread::msleep(50);
    }
    return false;
}

QStringList StorePeer::received() const { return QDir(folder_).entryList(QDir::Files); }

void StorePeer::clear() const
{
    for (const QString &file : received())
        QFile::remove(folder_ + QLatin1Char('/') + file);
}
