#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "app/StartupFlow.h"
#include "app/Workstation.h"
#include "core/ApplicationFolder.h"
#include "ui/Prompts.h"

#include "LumoraVersion.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    // Answered before any window: a package check or a shell without a display asks too.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            // The package's version, as dpkg knows it: the commit a site runs.
            std::printf("OrvanaMammo %s\n", LUMORA_PACKAGE_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf("Usage: orvanamammo [--version] [--help]\n"
                        "The mammography acquisition and dose QA workstation. See orvanamammo(1).\n");
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OrvanaMammo"));
    const FolderChoice folder = ApplicationFolderChoice();
    if (QString error; !PrepareApplicationFolder(folder, TemplateFolder(), &error)) {
        std::fprintf(stderr, "orvanamammo: application folder %s: %s\n", qPrintable(folder.path), qPrintable(error));
        return 1;
    }
    // The program's one prompter: every box the operator sees comes through it.
    Prompter prompter;
    return Main(prompter, [&prompter](MainForm &main) { new Workstation(main, prompter); });
}
