#include "support/Widgets.h"

#include <QCoreApplication>
#include <QDir>
#include <QApplication>
#include <QFile>

QString UseOffscreenScreen(int width, int height)
{
    // A test whose window is to be looked at runs on the display given (Xvfb at that size).
    if (qEnvironmentVariable("LUMORA_TEST_PLATFORM") == QLatin1String("xcb")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
        return {};
    }
    const QString config = QDir::tempPath() + QStringLiteral("/lumora-screen-%1x%2-%3.json").arg(width).arg(height).arg(QCoreApplication::applicationPid());
    QFile f(config);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(QStringLiteral("{\"screens\":[{\"name\":\"s\",\"x\":0,\"y\":0,\"width\":%1,\"height\":%2,\"logicalDpi\":96}]}")
                    .arg(width)
                    .arg(height)
                    .toUtf8());
    f.close();
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + QFile::encodeName(config));
    return config;
}

std::unique_ptr<QApplication> OffscreenApplication(int &argc, char **argv, int width, int height)
{
    const QString config = UseOffscreenScreen(width, height);
    auto app = std::make_unique<QApplication>(argc, argv);
    // The platform read the screen when the application came up; the file has served.
    if (!config.isEmpty())
        QFile::remove(config);
    return app;
}
