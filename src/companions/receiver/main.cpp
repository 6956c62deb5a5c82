// LumoraReceiver: the DICOM storage provider that fills the image database and
// the images folder, and takes in what the workstation drops into temp/.
#include "audit/AuditTrail.h"
#include "core/ApplicationFolder.h"
#include "core/PidFile.h"
#include "companions/receiver/Receiver.h"
#include "store/SchemaVersion.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include <dcmtk/oflog/oflog.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

void onStopSignal(int) { ReceiverStopRequested = 1; }

int fail(int code, const QString &text)
{
    ReceiverLog(text);
    QTextStream(stderr) << "LumoraReceiver: " << text << '\n';
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    // Without it each small C-STORE answer waits for the sender's delayed ACK
    // (about 40 ms an object); DCMTK reads the switch from the environment.
    ::setenv("TCP_NODELAY", "1", 0);

    // Installed and started by hand for the per-user folder: made as the workstation makes it.
    const FolderChoice folder = ApplicationFolderChoice();
    if (QString error; !PrepareApplicationFolder(folder, TemplateFolder(), &error)) {
        QTextStream(stderr) << "LumoraReceiver: application folder " << folder.path << ": " << error << '\n';
        return ReceiverExit::NoDatabase;
    }

    ReceiverOptions options;
    if (const Result loaded = LoadReceiverOptions(&options); !loaded)
        return fail(ReceiverExit::BadSettings, QStringLiteral("cannot start: ") + loaded.text);

    const QString imageDatabase = AppPath(QLatin1String(AppFiles::ImageDatabase));
    if (const Result newer = RefuseNewerDatabase(imageDatabase, ImageSchemaSteps()); !newer)
        return fail(ReceiverExit::NewerDatabase, QStringLiteral("cannot start: ") + newer.text);

    ImageStore store(ApplicationFolder());
    if (const Result opened = store.openDatabase(); !opened)
        return fail(ReceiverExit::NoDatabase, QStringLiteral("cannot start: image database %1: %2").arg(imageDatabase, opened.text));
    store.closeDatabase();
    QDir().mkpath(store.imagesFolder());
    if (DiskNearlyFull(store.imagesFolder(), options.minimumFreeBytes))
        return fail(ReceiverExit::DiskFull, QStringLiteral("cannot start: disk full, less than %1 MB free below %2")
                                                .arg(options.minimumFreeBytes / (1024 * 1024))
                                                .arg(store.imagesFolder()));
    store.removeLeftovers();

    Receiver receiver(store, options);
    if (const Result listening = receiver.listen(); !listening)
        return fail(listening.number == ErrorCode::TlsRefused ? ReceiverExit::BadSettings : ReceiverExit::CannotListen,
                    QStringLiteral("cannot listen on %1").arg(listening.text));
    // The workstations of the folder find a receiver of another account (the
    // service) through this file; /proc does not tell them which folder it serves.
    PidFileClaim pidFile;
    qint64 holder = 0;
    if (QString why; !pidFile.claim(AppPath(QLatin1String(AppFiles::ReceiverPidFile)), &holder, &why)) {
        if (holder != 0)
            return fail(ReceiverExit::CannotListen, QStringLiteral("not started: receiver process %1 serves this folder").arg(holder));
        ReceiverLog(QStringLiteral("cannot keep the pid file: ") + why);
    }
    QStringList ports;
    if (options.plainPort)
        ports << QStringLiteral("port %1").arg(options.port);
    if (options.tlsPort != 0)
        ports << QStringLiteral("TLS port %1").arg(options.tlsPort);
    ReceiverLog(QStringLiteral("listening on %1 as %2").arg(ports.join(QStringLiteral(" and ")), options.aeTitle));
    AuditApplicationStart(options.aeTitle);
    const int code = receiver.run();
    AuditApplicationStop(options.aeTitle);
    pidFile.release();
    store.closeDatabase();
    ReceiverLog(code == ReceiverExit::Clean ? QStringLiteral("stopped") : QStringLiteral("stopped with exit code %1").arg(code));
    return code;
}
