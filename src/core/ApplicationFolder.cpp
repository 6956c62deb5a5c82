#include "core/ApplicationFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString ApplicationFolder()
{
    const QString fromEnv = qEnvironmentVariable("LUMORA_APP_FOLDER");
    if (!fromEnv.isEmpty())
        return QDir::cleanPath(QDir(fromEnv).absolutePath());
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    // No application object yet (early start, plain tools): ask the kernel.
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    return QFileInfo(self.symLinkTarget()).absolutePath();
}

QString AppPath(const QString &relative)
{
    return ApplicationFolder() + QLatin1Char('/') + relative;
}

QString VersionText()
{
    return QStringLiteral("%1.%2.%3").arg(LUMORA_VERSION_MAJOR).arg(LUMORA_VERSION_MINOR).arg(LUMORA_VERSION_PATCH);
}
