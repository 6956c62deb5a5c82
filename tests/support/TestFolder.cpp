#include "support/TestFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

TestFolder::TestFolder()
{
    hadPrevious_ = qEnvironmentVariableIsSet("LUMORA_APP_FOLDER");
    previous_ = qgetenv("LUMORA_APP_FOLDER");
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(dir_.path()));
}

TestFolder::~TestFolder()
{
    if (hadPrevious_)
        qputenv("LUMORA_APP_FOLDER", previous_);
    else
        qunsetenv("LUMORA_APP_FOLDER");
}

void TestFolder::write(const QString &relative, const QByteArray &bytes) const
{
    const QString path = file(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QByteArray TestFolder::read(const QString &relative) const
{
    QFile f(file(relative));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString ToolsDir() { return qEnvironmentVariable("LUMORA_TOOLS_DIR"); }
QString StationDir() { return qEnvironmentVariable("LUMORA_STATION_DIR"); }
QString SourceDir() { return qEnvironmentVariable("LUMORA_SOURCE_DIR"); }
QString TestBinDir() { return qEnvironmentVariable("LUMORA_TEST_BIN_DIR"); }

int RunProgram(const QString &program, const QStringList &args, QByteArray *output, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return -1;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
