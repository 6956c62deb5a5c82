// LumoraDataMgr: the hourly housekeeper of logs and database journals.
#include "companions/datamgr/Housekeeping.h"
#include "audit/AuditTrail.h"
#include "core/ApplicationFolder.h"
#include "core/PidFile.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <optional>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

int fail(int code, const QString &text)
{
    DataMgrLog(text);
    QTextStream(stderr) << "LumoraDataMgr: " << text << '\n';
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    // SIGTERM and SIGINT arrive as events on a descriptor, not in a handler:
    // no flag shared with a handler. Blocked before any thread exists, so
    // that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stopFd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (stopFd < 0)
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr); // then they end it as by default
    QCoreApplication app(argc, argv);
    RestrictFolderUmask(ApplicationFolderChoice());

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

    // LUMORA_AUDIT_DELIVERY_MS shortens the wait between deliveries for tests.
    int deliveryInterval = 5000;
    const int deliveryFromEnv = qEnvironmentVariable("LUMORA_AUDIT_DELIVERY_MS").toInt(&ok);
    if (ok && deliveryFromEnv > 0)
        deliveryInterval = deliveryFromEnv;
    AuditForwarding forwarding(deliveryInterval);
    QTimer delivery;
    delivery.setSingleShot(true);
    QObject::connect(&delivery, &QTimer::timeout, [&] { delivery.start(forwarding.round()); });
    delivery.start(0);

    std::optional<QSocketNotifier> stop;
    if (stopFd >= 0) {
        stop.emplace(stopFd, QSocketNotifier::Read);
        QObject::connect(&*stop, &QSocketNotifier::activated, [stopFd] {
            signalfd_siginfo info;
            while (::read(stopFd, &info, sizeof info) == ssize_t(sizeof info)) {
            }
            QCoreApplication::quit();
        });
    }

    DataMgrLog(QStringLiteral("started, housekeeping every %1 s").arg(interval / 1000.0));
    AuditApplicationStart();
    const int rc = app.exec();
    // Its record goes with what is pending, if the repository takes it in
    // time; otherwise with the next data manager's first round.
    AuditApplicationStop();
    forwarding.lastRound(LastDeliveryMs);
    DataMgrLog(QStringLiteral("stopped"));
    if (stopFd >= 0)
        ::close(stopFd);
    return rc;
}
