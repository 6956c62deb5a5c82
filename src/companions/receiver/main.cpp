// LumoraReceiver: the DICOM storage provider that fills the image database and
// the images folder, and takes in what the workstation drops into temp/.
#include "core/ApplicationFolder.h"
#include "companions/receiver/Receiver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
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

// The workstations of the folder find a receiver of another account (the
// service) through this file; /proc does not tell them which folder it serves.
void recordProcessId(const QString &path)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(::getpid()) + '\n') < 0 || !f.commit())
        ReceiverLog(QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
}

void dropProcessId(const QString &path)
{
    QFile f(path);
    if (f.open(QIODevice::ReadOnly) && f.readAll().trimmed().toLongLong() == ::getpid())
        QFile::remove(path);
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

    ImageStore store(ApplicationFolder());
    if (const Result opened = store.openDatabase(); !opened)
        return fail(ReceiverExit::NoDatabase,
                    QStringLiteral("cannot start: image database %1: %2").arg(AppPath(QLatin1String(AppFiles::ImageDatabase)), opened.text));
    store.closeDatabase();
    QDir().mkpath(store.imagesFolder());
    if (DiskNearlyFull(store.imagesFolder(), options.minimumFreeBytes))
        return fail(ReceiverExit::DiskFull, QStringLiteral("cannot start: disk full, less than %1 MB free below %2")
                                                .arg(options.minimumFreeBytes / (1024 * 1024))
                                                .arg(store.imagesFolder()));
    store.removeLeftovers();

    Receiver receiver(store, options);
    if (const Result listening = receiver.listen(); !listening)
        return fail(ReceiverExit::CannotListen, QStringLiteral("cannot listen on port %1: %2").arg(options.port).arg(listening.text));
    ReceiverLog(QStringLiteral("listening on port %1 as %2").arg(options.port).arg(options.aeTitle));
    const QString pidFile = AppPath(QLatin1String(AppFiles::ReceiverPidFile));
    recordProcessId(pidFile);
    const int code = receiver.run();
    dropProcessId(pidFile);
    store.closeDatabase();
    ReceiverLog(code == ReceiverExit::Clean ? QStringLiteral("stopped") : QStringLiteral("stopped with exit code %1").arg(code));
    return code;
}
