#include "support/Widgets.h"

#include "support/TestFolder.h"

#include <QDir>
#include <QFile>

void UseOffscreenScreen(int width, int height)
{
    const QString config = QDir::tempPath() + QStringLiteral("/lumora-screen-%1x%2.json").arg(width).arg(height);
    QFile f(config);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(QStringLiteral("{\"screens\":[{\"name\":\"s\",\"x\":0,\"y\":0,\"width\":%1,\"height\":%2,\"logicalDpi\":96}]}")
                    .arg(width)
                    .arg(height)
                    .toUtf8());
    f.close();
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + QFile::encodeName(config));
}

bool MakeStationDatabases(const QString &appFolder)
{
    QByteArray out;
    const int rc = RunProgram(ToolsDir() + QStringLiteral("/lumora-mkdb"),
                              {SourceDir() + QStringLiteral("/src/store/schema"),
                               SourceDir() + QStringLiteral("/src/dictionary/dictionary-tags.txt"), appFolder + QStringLiteral("/Data")},
                              &out);
    if (rc != 0)
        qWarning("lumora-mkdb: %s", out.constData());
    return rc == 0;
}

QString InstallIdleProgram(const QString &folder, const QString &name)
{
    const QString target = folder + QLatin1Char('/') + name;
    QFile::remove(target);
    if (!QFile::copy(TestBinDir() + QStringLiteral("/lumora-test-idle"), target))
        return {};
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
    return target;
}
