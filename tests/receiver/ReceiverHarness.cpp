#include "receiver/ReceiverHarness.h"

#include "store/Database.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlRecord>
#include <QThread>
#include <QUuid>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

bool MakeDatabases(const QString &folder, QByteArray *output)
{
    return RunProgram(ToolsDir() + QStringLiteral("/lumora-mkdb"),
                      {SourceDir() + QStringLiteral("/src/store/schema"), SourceDir() + QStringLiteral("/src/dictionary/dictionary-tags.txt"),
                       folder + QStringLiteral("/Data")},
                      output)
        == 0;
}

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

} // namespace

quint16 FreeLoopbackPort()
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

void WriteReceiverSettings(const TestFolder &folder, const QString &aet, const QString &port)
{
    folder.write(QStringLiteral("LumoraStation.ini"), QStringLiteral("[Com]\nIR_AET=%1\nIR_Port=%2\n").arg(aet, port).toUtf8());
}

QList<QVariantList> QueryRows(const QString &dbPath, const QString &sql, const QVariantList &values)
{
    QList<QVariantList> out;
    Database db(QStringLiteral("check-") + QUuid::createUuid().toString(QUuid::Id128), QStringLiteral("test"));
    db.setPath(dbPath);
    if (!db.open())
        return out;
    const DbResult r = Execute(db, sql, values);
    for (const QSqlRecord &row : r.rows) {
        QVariantList cells;
        for (int i = 0; i < row.count(); ++i)
            cells << row.value(i);
        out << cells;
    }
    db.close();
    return out;
}

QVariant QueryValue(const QString &dbPath, const QString &sql, const QVariantList &values)
{
    const QList<QVariantList> rows = QueryRows(dbPath, sql, values);
    return rows.isEmpty() || rows.first().isEmpty() ? QVariant() : rows.first().first();
}

bool WaitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 100000; ++i) {
        if (condition())
            return true;
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return false;
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

int Echo(const QString &aet, quint16 port, QByteArray *output)
{
    return RunProgram(QStringLiteral("echoscu"), {QStringLiteral("-to"), QStringLiteral("5"), QStringLiteral("-aec"), aet,
                                                  QStringLiteral("127.0.0.1"), QString::number(port)},
                      output, 20000);
}

int Store(const QString &aet, quint16 port, const QStringList &files, QByteArray *output, const QStringList &options)
{
    QStringList args = options;
    args += {QStringLiteral("-to"), QStringLiteral("10"), QStringLiteral("-aec"), aet, QStringLiteral("127.0.0.1"), QString::number(port)};
    args += files;
    return RunProgram(QStringLiteral("storescu"), args, output, 120000);
}

bool WriteImage(const SyntheticImageSpec &spec, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString error;
    if (!WriteSyntheticImage(spec, path, &error)) {
        qWarning() << "cannot write" << path << error;
        return false;
    }
    return true;
}
