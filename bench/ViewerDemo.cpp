// Shows the browser and viewer with a loaded four-view study, for screenshots.
//   lumora-viewer-demo DIR [--single N] [--mono2] [--full]
// DIR is made into an application folder when it has no databases yet. With
// --single the viewer shows image N alone, as after a double-click on its tile.
// The window stays open until killed; "ready" goes to stdout once it is painted.
#include "core/Settings.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Station.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QTest>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser cli;
    cli.addPositionalArgument(QStringLiteral("dir"), QStringLiteral("Application folder"));
    cli.addOption({QStringLiteral("single"), QStringLiteral("Show image N alone."), QStringLiteral("N")});
    cli.addOption({QStringLiteral("mono2"), QStringLiteral("MONOCHROME2 images instead of MONOCHROME1.")});
    cli.addOption({QStringLiteral("full"), QStringLiteral("Full-size 3328 x 4096 images.")});
    cli.process(app);
    if (cli.positionalArguments().size() != 1)
        cli.showHelp(2);
    const QString dir = cli.positionalArguments().first();
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(dir));
    if (!QFile::exists(dir + QStringLiteral("/Data/LumoraData.dat"))) {
        QString error;
        FixtureStudy study;
        study.patientId = QStringLiteral("DEMO0001");
        FixtureSeries series;
        series.images = cli.isSet(QStringLiteral("full")) ? FourViews(4096, 3328, 16, !cli.isSet(QStringLiteral("mono2")))
                                                          : FourViews(2048, 1664, 16, !cli.isSet(QStringLiteral("mono2")));
        study.series << series;
        if (!MakeStationDatabases(dir, &error) || !AddStudy(dir, study, &error)) {
            fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    LoadSettings();
    SetDatabasePaths();
    BrowserWindow w;
    if (!w.loadFirstStudy(QStringLiteral("DEMO0001"))) {
        fprintf(stderr, "no study loaded\n");
        return 1;
    }
    w.viewer->SelectImage(1);
    const int single = cli.value(QStringLiteral("single")).toInt();
    if (single > 0) {
        const QPoint at = w.dicomViewer.tileRect(single - 1).center();
        QTest::mouseDClick(&w.dicomViewer, Qt::LeftButton, Qt::NoModifier, at);
    }
    if (!QTest::qWaitFor([&] { return w.dicomViewer.viewComplete(); }, 60000))
        return 1;
    QTest::qWait(300);
    printf("ready\n");
    fflush(stdout);
    return app.exec();
}
