#include "support/Peers.h"

#include "support/Dicom.h"
#include "support/Station.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A socket bound to port 0 of `address`, listening when asked; its port.
int bindAnyPort(in_addr_t address, bool listening, quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (listening && ::listen(fd, 4) != 0)
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

bool answersOn(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(100);
}

QStringList storeArguments(const QString &aet, quint16 port, const QStringList &files, const QStringList &options)
{
    return options + QStringList{QStringLiteral("-to"), QStringLiteral("10"), QStringLiteral("-aec"), aet, QStringLiteral("127.0.0.1"), QString::number(port)} + files;
}

} // namespace

quint16 FreePort()
{
    quint16 port = 0;
    const int fd = bindAnyPort(INADDR_LOOPBACK, false, &port);
    if (fd < 0)
        return 0;
    ::close(fd);
    return port;
}

PortOccupant::PortOccupant() { fd_ = bindAnyPort(INADDR_ANY, true, &port_); }

PortOccupant::~PortOccupant()
{
    if (fd_ >= 0)
        ::close(fd_);
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
    port_ = FreePort();
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(QStringLiteral("storescp"),
                   QStringList{QStringLiteral("-aet"), aet, QStringLiteral("-od"), folder} + extra + QStringList{QString::number(port_)});
    return process_.waitForStarted(5000) && WaitFor([this] { return answersOn(port_); }, 5000);
}

QStringList StorePeer::received() const { return QDir(folder_).entryList(QDir::Files); }

void StorePeer::clear() const
{
    for (const QString &file : received())
        QFile::remove(folder_ + QLatin1Char('/') + file);
}

WorklistPeer::~WorklistPeer()
{
    process_.kill();
    process_.waitForFinished(3000);
}

bool WorklistPeer::start(const QString &folder, const QString &aet, const QStringList &extra, bool lockfile)
{
    entries_ = folder + QStringLiteral("/db/") + aet;
    requests_ = folder + QStringLiteral("/requests");
    QDir().mkpath(entries_);
    QDir().mkpath(requests_);
    if (lockfile)
        QFile(entries_ + QStringLiteral("/lockfile")).open(QIODevice::WriteOnly);
    port_ = FreePort();
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(QStringLiteral("wlmscpfs"), QStringList{QStringLiteral("-dfp"), folder + QStringLiteral("/db"), QStringLiteral("-csk"),
                                                           QStringLiteral("-rfp"), requests_}
                                                   + extra + QStringList{QString::number(port_)});
    return process_.waitForStarted(5000) && WaitFor([this] { return answersOn(port_); }, 5000);
}

bool WorklistPeer::add(const WorklistEntry &entry)
{
    return WriteWorklistFile(entry, entries_ + QStringLiteral("/entry%1.wl").arg(++added_));
}

QStringList WorklistPeer::requests() const
{
    QStringList out;
    // Named by the time they came, to the microsecond.
    for (const QFileInfo &f : QDir(requests_).entryInfoList(QDir::Files, QDir::Name)) {
        QFile file(f.filePath());
        if (file.open(QIODevice::ReadOnly))
            out << QString::fromLatin1(file.readAll());
    }
    return out;
}

int Echo(const QString &aet, quint16 port, QByteArray *output)
{
    const QStringList args{QStringLiteral("-to"), QStringLiteral("5"), QStringLiteral("-aec"), aet, QStringLiteral("127.0.0.1"), QString::number(port)};
    return RunProgram(QStringLiteral("echoscu"), args, output, 20000);
}

int Store(const QString &aet, quint16 port, const QStringList &files, QByteArray *output, const QStringList &options)
{
    return RunProgram(QStringLiteral("storescu"), storeArguments(aet, port, files, options), output, 120000);
}

void StartStore(QProcess &sender, const QString &aet, quint16 port, const QStringList &files, const QStringList &options)
{
    sender.setProcessChannelMode(QProcess::MergedChannels);
    sender.start(QStringLiteral("storescu"), storeArguments(aet, port, files, options));
}

QString ReceiverProgram() { return StationDir() + QStringLiteral("/LumoraReceiver"); }
QString DataMgrProgram() { return StationDir() + QStringLiteral("/LumoraDataMgr"); }

CompanionProcess::CompanionProcess(const QString &program, const QString &appFolder, const QStringList &extraEnv) : program_(program)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LUMORA_APP_FOLDER"), appFolder);
    for (const QString &kv : extraEnv)
        env.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::MergedChannels);
}

CompanionProcess::~CompanionProcess()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool CompanionProcess::start()
{
    process_.start(program_, {});
    return process_.waitForStarted(10000);
}

bool CompanionProcess::waitUntilAnswering(const QString &aet, quint16 port, int timeoutMs)
{
    return WaitFor([&] { return process_.state() == QProcess::Running && Echo(aet, port) == 0; }, timeoutMs);
}

int CompanionProcess::waitForExit(int timeoutMs)
{
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(timeoutMs))
        return -1;
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

int CompanionProcess::terminate(int timeoutMs)
{
    if (process_.state() == QProcess::NotRunning)
        return waitForExit(0);
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    return waitForExit(timeoutMs);
}

void CompanionProcess::kill()
{
    ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
    process_.waitForFinished(10000);
}

QString InstallIdleProgram(const QString &folder, const QString &name)
{
    const QString target = folder + QLatin1Char('/') + name;
    QFile::remove(target);
    if (!QFile::copy(TestBinDir() + QStringLiteral("/lumora-test-idle"), target))
        return {};
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
    return target;
}

PtyPair::PtyPair()
{
    socat_.start(QStringLiteral("socat"), {QStringLiteral("-d"), QStringLiteral("-d"), QStringLiteral("pty,raw,echo=0"), QStringLiteral("pty,raw,echo=0")});
    if (!socat_.waitForStarted(5000))
        return;
    static const QRegularExpression pty(QStringLiteral("PTY is (\\S+)"));
    QByteArray err;
    // socat links the two ends only once it says so.
    for (int i = 0; i < 25 && !err.contains("starting data transfer loop") && socat_.state() == QProcess::Running; ++i) {
        socat_.waitForReadyRead(200);
        err += socat_.readAllStandardError();
    }
    auto it = pty.globalMatch(QString::fromLatin1(err));
    while (it.hasNext())
        devices_.append(it.next().captured(1));
    if (devices_.size() == 2)
        unitFd_ = ::open(devices_[1].toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

PtyPair::~PtyPair()
{
    if (unitFd_ >= 0)
        ::close(unitFd_);
    socat_.terminate();
    if (!socat_.waitForFinished(3000))
        socat_.kill();
    socat_.waitForFinished(3000);
}

bool PtyPair::send(const QByteArray &bytes) const { return ::write(unitFd_, bytes.constData(), size_t(bytes.size())) == bytes.size(); }

QByteArray PtyPair::received() const
{
    QByteArray all;
    char buf[256];
    for (int i = 0; i < 1000; ++i) {
        const ssize_t n = ::read(unitFd_, buf, sizeof buf);
        if (n <= 0)
            break;
        all.append(buf, n);
    }
    return all;
}

bool OrthancPeer::start(QString *why, const QString &worklistFolder)
{
    const QString binary = QStandardPaths::findExecutable(QStringLiteral("Orthanc"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    if (binary.isEmpty()) {
        *why = QStringLiteral("Orthanc is not installed (scripts/deps installs it)");
        return false;
    }
    {
        // Both ports are held while the second is chosen, so they differ.
        PortOccupant a, b;
        dicomPort_ = a.port();
        httpPort_ = b.port();
    }
    // Built as JSON, so that any folder name is quoted right.
    QJsonObject config{
        {QStringLiteral("Name"), QStringLiteral("lumora-test")},
        {QStringLiteral("StorageDirectory"), dir_.filePath(QStringLiteral("storage"))},
        {QStringLiteral("IndexDirectory"), dir_.filePath(QStringLiteral("index"))},
        {QStringLiteral("DicomAet"), QStringLiteral("ORTHANC")},
        {QStringLiteral("DicomPort"), dicomPort_},
        {QStringLiteral("HttpPort"), httpPort_},
        {QStringLiteral("RemoteAccessAllowed"), false},
        {QStringLiteral("AuthenticationEnabled"), false},
        {QStringLiteral("Plugins"), QJsonArray()},
        {QStringLiteral("DicomCheckCalledAet"), false},
    };
    if (!worklistFolder.isEmpty()) {
        config.insert(QStringLiteral("Plugins"), QJsonArray{QStringLiteral("/usr/share/orthanc/plugins/libModalityWorklists.so")});
        config.insert(QStringLiteral("Worklists"), QJsonObject{{QStringLiteral("Enable"), true}, {QStringLiteral("Database"), worklistFolder}});
        // Otherwise only modalities listed in its configuration may query.
        config.insert(QStringLiteral("DicomAlwaysAllowFindWorklist"), true);
    }
    QFile f(dir_.filePath(QStringLiteral("orthanc.json")));
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(config).toJson()) < 0) {
        *why = QStringLiteral("cannot write the configuration");
        return false;
    }
    f.close();
    // Orthanc goes with the test even when the test dies or is killed.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(dir_.filePath(QStringLiteral("orthanc.log")));
    process_.start(binary, {f.fileName()});
    if (!process_.waitForStarted(5000)) {
        *why = QStringLiteral("Orthanc did not start: ") + process_.errorString();
        return false;
    }
    const bool up = WaitFor(
        [this] {
            bool ok = false;
            raw("GET", QStringLiteral("/system"), &ok, 1000);
            return ok || process_.state() != QProcess::Running;
        },
        30000);
    if (up && process_.state() == QProcess::Running)
        return true;
    *why = QStringLiteral("Orthanc's HTTP port did not answer; its log: ") + QString::fromUtf8(log().right(2000));
    return false;
}

QByteArray OrthancPeer::log() const
{
    QFile f(dir_.filePath(QStringLiteral("orthanc.log")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void OrthancPeer::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(10000))
        crash();
}

void OrthancPeer::crash()
{
    process_.kill();
    process_.waitForFinished(3000);
}

QByteArray OrthancPeer::raw(const QByteArray &verb, const QString &path, bool *ok, int ms)
{
    QNetworkRequest req(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(httpPort_).arg(path)));
    QNetworkReply *reply = net_.sendCustomRequest(req, verb);
    const bool finished = QTest::qWaitFor([reply] { return reply->isFinished(); }, ms);
    if (!finished)
        reply->abort();
    const QByteArray body = reply->readAll();
    *ok = finished && reply->error() == QNetworkReply::NoError;
    reply->deleteLater();
    return body;
}

QJsonValue OrthancPeer::request(const QByteArray &verb, const QString &path, bool *ok, int ms)
{
    const QJsonDocument doc = QJsonDocument::fromJson(raw(verb, path, ok, ms));
    return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
}

QJsonValue OrthancPeer::get(const QString &path)
{
    bool ok = false;
    const QJsonValue v = request("GET", path, &ok);
    if (!ok)
        qWarning("GET %s failed", qPrintable(path));
    return v;
}

bool OrthancPeer::removeEverything()
{
    for (const QJsonValue &p : get(QStringLiteral("/patients")).toArray()) {
        bool ok = false;
        request("DELETE", QStringLiteral("/patients/") + p.toString(), &ok);
        if (!ok)
            return false;
    }
    return get(QStringLiteral("/instances")).toArray().isEmpty();
}

QStringList OrthancPeer::instanceUids()
{
    QStringList out;
    for (const QJsonValue &id : get(QStringLiteral("/instances")).toArray())
        out << get(QStringLiteral("/instances/%1/simplified-tags").arg(id.toString())).toObject().value(QStringLiteral("SOPInstanceUID")).toString();
    out.sort();
    return out;
}
