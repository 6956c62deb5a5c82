// A stand-in companion: runs until SIGTERM. With LUMORA_IDLE_IGNORE_TERM=1 it
// ignores SIGTERM; with LUMORA_IDLE_LOCK=path it holds that lock file.
#include <QCoreApplication>
#include <QLockFile>

#include <csignal>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariable("LUMORA_IDLE_IGNORE_TERM") == QLatin1String("1"))
        std::signal(SIGTERM, SIG_IGN);
    QLockFile lock(qEnvironmentVariable("LUMORA_IDLE_LOCK"));
    if (qEnvironmentVariableIsSet("LUMORA_IDLE_LOCK")) {
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0))
            return 3;
        if (::write(STDOUT_FILENO, "locked\n", 7) != 7)
            return 4; // the test waits for this line
    }
    alarm(600); // ten minutes at most
    for (;;)
        pause();
}
