// OrvanaMammo: for now the splash of the workstation over its settings and databases.
#include "app/ApplicationFolder.h"
#include "app/Settings.h"
#include "store/DatabasePaths.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    LoadSettings();
    SetDatabasePaths();

    const QString version = QStringLiteral("%1.%2.%3").arg(LUMORA_VERSION_MAJOR).arg(LUMORA_VERSION_MINOR).arg(LUMORA_VERSION_PATCH);
    QWidget splash;
    splash.setWindowTitle(QStringLiteral("OrvanaMammo Version ") + version);
    auto *layout = new QVBoxLayout(&splash);
    auto *picture = new QLabel;
    picture->setPixmap(QPixmap(AppPath(QString::fromLatin1(AppFiles::SplashPicture))));
    layout->addWidget(picture);
    layout->addWidget(new QLabel(QStringLiteral("Version ") + version));
    splash.show();
    return app.exec();
}
