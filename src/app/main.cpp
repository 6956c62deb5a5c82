#include "app/StartupFlow.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OrvanaMammo"));
    return Main();
}
