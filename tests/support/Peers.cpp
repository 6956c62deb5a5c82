#include "support/Peers.h"

#include "support/Station.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QStringList storeArguments(const QString &aet, quint16 port, const QStringList &files, const QStringList &options)
{
    return options + QStringList{u"-to"_s, u"10"_s, u"-aec"_s, aet, u"127.0.0.1"_s, QString::number(port)} + files;
}

} // namespace

void EndsWithTheTest(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

quint16 FreePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

ServerPeer::~ServerPeer()
{
    // The peer's group: a child it forked for an association (wlmscpfs
    // answering late) ends with it.
    if (const qint64 pid = process_.processId(); pid > 0)
        ::kill(-static_cast<pid_t>(pid), SIGKILL);
    process_.kill();
    process_.waitForFinished(3000);
}

bool ServerPeer::launch(const QString &program, const QStringList &args)
{
    port_ = FreePort();
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process_.start(program, args + QStringList{QString::number(port_)});
    const auto answers = [this] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port_);
        return probe.waitForConnected(100);
    };
    return process_.waitForStarted(5000) && WaitFor(answers, 5000);
}

bool StorePeer::start(const QString &folder, const QString &aet, const QStringList &extra)
{
    folder_ = folder;
    QDir().mkpath(folder);
    return launch(u"storescp"_s, QStringList{u"-aet"_s, aet, u"-od"_s, folder} + extra);
}

QStringList StorePeer::received() const { return QDir(folder_).entryList(QDir::Files); }

void StorePeer::clear() const
{
    for (const QString &file : received())
        QFile::remove(folder_ + u'/' + file);
}

bool WorklistPeer::start(const QString &folder, const QString &aet, const QStringList &extra, bool lockfile)
{
    entries_ = folder + u"/db/"_s + aet;
    requests_ = folder + u"/requests"_s;
    QDir().mkpath(entries_);
    QDir().mkpath(requests_);
    if (lockfile)
        QFile(entries_ + u"/lockfile"_s).open(QIODevice::WriteOnly);
    return launch(u"wlmscpfs"_s, QStringList{u"-dfp"_s, folder + u"/db"_s, u"-csk"_s, u"-rfp"_s, requests_} + extra);
}

bool WorklistPeer::add(const WorklistEntry &e)
{
    const QString path = entries_ + u"/entry%1.wl"_s.arg(++added_);
    const QString code = u"(0032,1064) SQ\n(fffe,e000) -\n(0008,0100) SH [%1]\n(0008,0102) SH [L]\n(0008,0104) LO [Screening]\n"
                         "(fffe,e00d) -\n(fffe,e0dd) -\n"_s.arg(e.codeValue);
    const QString text = u"(0008,0005) CS [%1]\n(0008,0050) SH [ACC1]\n(0008,0080) LO [Clinic]\n(0008,0090) PN [%2]\n"
                         "(0010,0010) PN [%3]\n(0010,0020) LO [%4]\n(0010,0030) DA [%5]\n(0010,0040) CS [%6]\n(0010,21c0) US 0\n"
                         "(0018,0015) CS [BREAST]\n(0020,000d) UI [1.2.826.0.1.3680043.2.1143.%7]\n(0032,1060) LO [Mammography]\n%8"
                         "(0040,0100) SQ\n(fffe,e000) -\n(0008,0060) CS [MG]\n(0040,0001) AE [%9]\n(0040,0002) DA [%10]\n"
                         "(0040,0003) TM [%11]\n(0040,0006) PN [Tech^Ann]\n(0040,0007) LO [Screening]\n(0040,0009) SH [SPS%4]\n"
                         "(fffe,e00d) -\n(fffe,e0dd) -\n(0040,1001) SH [RP%4]\n"_s
                             .arg(e.charset, e.referring, e.name, e.id, e.birthDate, e.sex, QString::number(qHash(e.id + e.name)),
                                  e.codeValue.isEmpty() ? QString() : code, e.stationAet)
                             .arg(e.date.toString(u"yyyyMMdd"_s), e.time);
    QFile dump(path + u".dump"_s);
    if (!dump.open(QIODevice::WriteOnly) || dump.write(e.charset == "ISO_IR 192"_L1 ? text.toUtf8() : text.toLatin1()) < 0)
        return false;
    dump.close();
    QByteArray out;
    const bool ok = RunProgram(u"dump2dcm"_s, {dump.fileName(), path}, &out) == 0;
    if (!ok)
        qWarning("dump2dcm: %s", out.constData());
    dump.remove();
    return ok;
}

QStringList WorklistPeer::requests() const
{
    QStringList out;
    // Named by the time they came, to the microsecond.
    for (const QFileInfo &f : QDir(requests_).entryInfoList(QDir::Files, QDir::Name))
        out << QString::fromLatin1(ReadFile(f.filePath()));
    return out;
}

int Echo(const QString &aet, quint16 port, QByteArray *output)
{
    return RunProgram(u"echoscu"_s, {u"-to"_s, u"5"_s, u"-aec"_s, aet, u"127.0.0.1"_s, QString::number(port)}, output, 20000);
}

int Store(const QString &aet, quint16 port, const QStringList &files, QByteArray *output, const QStringList &options)
{
    return RunProgram(u"storescu"_s, storeArguments(aet, port, files, options), output, 120000);
}

void StartStore(QProcess &sender, const QString &aet, quint16 port, const QStringList &files, const QStringList &options)
{
    sender.setProcessChannelMode(QProcess::MergedChannels);
    sender.start(u"storescu"_s, storeArguments(aet, port, files, options));
}

QString ReceiverProgram() { return StationDir() + u"/LumoraReceiver"_s; }
qint64 ProcessMemory(qint64 pid, const QByteArray &field)
{
    const QByteArray status = ReadFile(u"/proc/%1/status"_s.arg(pid));
    for (const QByteArray &line : status.split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong() * 1024; // given in kB
    return -1;
}

QString DataMgrProgram() { return StationDir() + u"/LumoraDataMgr"_s; }

CompanionProcess::CompanionProcess(const QString &program, const QString &appFolder, const QStringList &extraEnv, const QStringList &args)
{
    process_.setProgram(program);
    process_.setArguments(args);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"LUMORA_APP_FOLDER"_s, appFolder);
    for (const QString &kv : extraEnv)
        env.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::MergedChannels);
}

bool CompanionProcess::start()
{
    EndsWithTheTest(process_);
    process_.start();
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
    process_.terminate(); // SIGTERM, nothing once it ended
    return waitForExit(timeoutMs);
}

void CompanionProcess::kill()
{
    process_.kill();
    process_.waitForFinished(10000);
}

QString InstallIdleProgram(const QString &folder, const QString &name)
{
    const QString target = folder + u'/' + name;
    QFile::remove(target);
    if (!QFile::copy(TestBinDir() + u"/lumora-test-idle"_s, target))
        return {};
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
    return target;
}

bool MakeSiteFolder(const QString &path)
{
    const QString group = QString::number(SiteAccount::Group);
    return RunProgram(u"chgrp"_s, {u"-R"_s, group, path}) == 0 && RunProgram(u"chmod"_s, {u"-R"_s, u"g+rwX,o-rwx"_s, path}) == 0
        && RunProgram(u"find"_s, {path, u"-type"_s, u"d"_s, u"-exec"_s, u"chmod"_s, u"g+s"_s, u"{}"_s, u"+"_s}) == 0;
}

QStringList AsSiteAccount(unsigned uid)
{
    return {u"--reuid=%1"_s.arg(uid), u"--regid=%1"_s.arg(SiteAccount::Group), u"--clear-groups"_s};
}

QList<qint64> ProcessesRunning(const QString &program)
{
    QList<qint64> pids;
    for (const QString &e : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (!ok || QFileInfo(u"/proc/%1/exe"_s.arg(pid)).symLinkTarget() != program)
            continue;
        // A zombie runs nothing any more.
        const QByteArray stat = ReadFile(u"/proc/%1/stat"_s.arg(pid));
        const qsizetype close = stat.lastIndexOf(')');
        if (close > 0 && stat.mid(close + 2, 1) != "Z")
            pids << pid;
    }
    return pids;
}

UmaskScope::UmaskScope(unsigned mask) : previous_(::umask(mode_t(mask))) {}
UmaskScope::~UmaskScope() { ::umask(mode_t(previous_)); }

PtyPair::PtyPair()
{
    EndsWithTheTest(socat_);
    socat_.start(u"socat"_s, {u"-d"_s, u"-d"_s, u"pty,raw,echo=0"_s, u"pty,raw,echo=0"_s});
    if (!socat_.waitForStarted(5000))
        return;
    QByteArray err;
    // socat links the two ends only once it says so.
    for (int i = 0; i < 25 && !err.contains("starting data transfer loop") && socat_.state() == QProcess::Running; ++i) {
        socat_.waitForReadyRead(200);
        err += socat_.readAllStandardError();
    }
    for (const QRegularExpressionMatch &m : QRegularExpression(u"PTY is (\\S+)"_s).globalMatch(QString::fromLatin1(err)))
        devices_.append(m.captured(1));
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
    for (ssize_t n = 0; (n = ::read(unitFd_, buf, sizeof buf)) > 0 && all.size() < 256000;)
        all.append(buf, n);
    return all;
}

QString OrthancPeer::start(const QString &worklistFolder, const QJsonObject &extra)
{
    const QString binary = QStandardPaths::findExecutable(u"Orthanc"_s, {u"/usr/sbin"_s, u"/usr/bin"_s});
    if (binary.isEmpty())
        return u"Orthanc is not installed (scripts/deps installs it)"_s;
    {
        // Both ports are held while the second is chosen, so they differ.
        PortOccupant a, b;
        dicomPort_ = a.port();
        httpPort_ = b.port();
    }
    // Built as JSON, so that any folder name is quoted right.
    QJsonObject config{{"Name", "lumora-test"}, {"StorageDirectory", dir_.filePath(u"storage"_s)}, {"DicomAet", "ORTHANC"},
                       {"IndexDirectory", dir_.filePath(u"index"_s)}, {"DicomPort", dicomPort_}, {"HttpPort", httpPort_},
                       {"RemoteAccessAllowed", false}, {"AuthenticationEnabled", false}, {"Plugins", QJsonArray()},
                       {"DicomCheckCalledAet", false}};
    if (!worklistFolder.isEmpty()) {
        config.insert(u"Plugins"_s, QJsonArray{u"/usr/share/orthanc/plugins/libModalityWorklists.so"_s});
        config.insert(u"Worklists"_s, QJsonObject{{"Enable", true}, {"Database", worklistFolder}});
        // Otherwise only modalities listed in its configuration may query.
        config.insert(u"DicomAlwaysAllowFindWorklist"_s, true);
    }
    for (auto it = extra.begin(); it != extra.end(); ++it)
        config.insert(it.key(), it.value());
    QFile f(dir_.filePath(u"orthanc.json"_s));
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(config).toJson()) < 0)
        return u"cannot write the configuration"_s;
    f.close();
    EndsWithTheTest(process_);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(dir_.filePath(u"orthanc.log"_s));
    process_.start(binary, {f.fileName()});
    if (!process_.waitForStarted(5000))
        return u"Orthanc did not start: "_s + process_.errorString();
    bool up = false;
    const auto answered = [&] {
        raw("GET", u"/system"_s, &up, 1000);
        return up || process_.state() != QProcess::Running;
    };
    if (WaitFor(answered, 30000) && up)
        return {};
    return u"Orthanc's HTTP port did not answer; its log: "_s + QString::fromUtf8(log().right(2000));
}

QByteArray OrthancPeer::log() const { return ReadFile(dir_.filePath(u"orthanc.log"_s)); }

void OrthancPeer::stop()
{
    process_.terminate();
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(10000))
        crash();
}

void OrthancPeer::crash()
{
    process_.kill();
    process_.waitForFinished(3000);
}

QByteArray OrthancPeer::raw(const QByteArray &verb, const QString &path, bool *ok, int ms)
{
    QNetworkReply *reply = net_.sendCustomRequest(QNetworkRequest(QUrl(u"http://127.0.0.1:%1%2"_s.arg(httpPort_).arg(path))), verb);
    const bool finished = QTest::qWaitFor([reply] { return reply->isFinished(); }, ms);
    if (!finished)
        reply->abort();
    const QByteArray body = reply->readAll();
    *ok = finished && reply->error() == QNetworkReply::NoError;
    reply->deleteLater();
    return body;
}

QJsonValue OrthancPeer::get(const QString &path)
{
    bool ok = false;
    const QJsonDocument doc = QJsonDocument::fromJson(raw("GET", path, &ok));
    if (!ok)
        qWarning("GET %s failed", qPrintable(path));
    return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
}

bool OrthancPeer::removeEverything()
{
    for (const QJsonValue &p : get(u"/patients"_s).toArray()) {
        bool ok = false;
        raw("DELETE", u"/patients/"_s + p.toString(), &ok);
        if (!ok)
            return false;
    }
    return get(u"/instances"_s).toArray().isEmpty();
}

QMap<QString, QString> OrthancPeer::instances()
{
    QMap<QString, QString> out;
    for (const QJsonValue &v : get(u"/instances"_s).toArray()) {
        const QString id = v.toString();
        out.insert(get(u"/instances/%1/simplified-tags"_s.arg(id)).toObject().value(u"SOPInstanceUID"_s).toString(), id);
    }
    return out;
}

StationReceiver StartStationReceiver(const TestFolder &folder, const QString &aet)
{
    StationReceiver r;
    r.port = FreePort();
    WriteReceiverSettings(folder, aet, QString::number(r.port));
    r.process = std::make_unique<CompanionProcess>(ReceiverProgram(), folder.path());
    if (!r.process->start() || !r.process->waitUntilAnswering(aet, r.port))
        r.process.reset();
    return r;
}
