// LumoraDataMgr: the hourly housekeeper of logs and database journals.
#include "companions/datamgr/Housekeeping.h"
#include "core/ApplicationFolder.h"
#include "core/PidFile.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <csignal>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }

int fail(int code, const QString &text)
{
    DataMgrLog(text);
    QTextStream(stderr) << "LumoraDataMgr: " << text << '\n';
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RestrictFolderUmask(ApplicationFolderChoice());
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    // LUMORA_DATAMGR_INTERVAL_MS shortens the hour for tests.
    int interval = 3600 * 1000;
    bool ok = false;
    const int fromEnv = qEnvironmentVariable("LUMORA_DATAMGR_INTERVAL_MS").toInt(&ok);
    if (ok && fromEnv > 0)
        interval = fromEnv;

    // One data manager per folder: operators of a shared folder each start one.
    PidFileClaim pidFile;
    qint64 holder = 0;
    if (QString why; !pidFile.claim(AppPath(QLatin1String(DataMgrPidFile)), &holder, &why)) {
        if (holder != 0)
            return fail(DataMgrExit::AlreadyRunning, QStringLiteral("not started: data manager process %1 keeps this folder").arg(holder));
        DataMgrLog(QStringLiteral("cannot keep the pid file: ") + why);
    }
    if (const Result newer = RefuseNewerDatabases(); !newer.ok())
        return fail(DataMgrExit::NewerDatabase, QStringLiteral("not started: ") + newer.text);

    QTimer round;
    QObject::connect(&round, &QTimer::timeout, [] {
        // A newer program may have come since the start.
        if (const Result newer = RefuseNewerDatabases(); !newer.ok()) {
            fail(DataMgrExit::NewerDatabase, QStringLiteral("stopping: ") + newer.text);
            QCoreApplication::exit(DataMgrExit::NewerDatabase);
            return;
        }
        RunHousekeeping();
    });
    round.start(interval);

    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [] {
        if (stopRequested)
            QCoreApplication::quit();
    });
    watch.start(100);

    DataMgrLog(QStringLiteral("started, housekeeping every %1 s").arg(interval / 1000.0));
    const int rc = app.exec();
    DataMgrLog(QStringLiteral("stopped"));
    return rc;
}
