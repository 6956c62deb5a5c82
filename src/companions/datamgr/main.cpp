// LumoraDataMgr: the hourly housekeeper of logs and database journals.
#include "companions/datamgr/Housekeeping.h"
#include "core/ApplicationFolder.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }

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

    QTimer round;
    QObject::connect(&round, &QTimer::timeout, [] { RunHousekeeping(); });
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
