#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "app/StartupFlow.h"
#include "app/Workstation.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OrvanaMammo"));
    StartupAttachHook() = [](MainForm &main) { new Workstation(main); };
    return Main();
}
