// Benchmark of the viewer load and the patient list.
//   bench-viewer prepare DIR [j2k]
//                              makes an application folder with a four-view study of
//                              full-size mammograms (JPEG 2000 lossless with j2k) and
//                              10,000 patients
//   bench-viewer load DIR      times LoadStudy until the four tiles are painted
//   bench-viewer patients DIR  times RefreshPatientList
// Each run is a process of its own, so that its peak memory is its own.
// With BENCH_QUICK set (the suite's run): 512x416 images and 100 patients.
#include "PeakMemory.h"
#include "acquisition/ImageViewer.h"
#include "core/Settings.h"
#include "browse/Browser.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Station.h"
#include "toolkit/Jpeg2000.h"
#include "toolkit/ToolkitViewer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>

namespace {

bool quick() { return !qEnvironmentVariableIsEmpty("BENCH_QUICK"); }
int patientCount() { return quick() ? 100 : 10000; }

int prepare(const QString &dir, bool jpeg2000)
{
    QString error;
    if (!MakeStationDatabases(dir, &error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    FixtureStudy study;
    study.patientId = QStringLiteral("BENCH0001");
    FixtureSeries series;
    series.images = quick() ? FourViews(512, 416, 16, true) : FourViews(4096, 3328, 16, true);
    if (jpeg2000)
        for (SyntheticImageSpec &image : series.images)
            image.encoding = SyntheticImageSpec::Encoding::Jpeg2000Lossless;
    study.series << series;
    if (!AddStudy(dir, study, &error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    Database db(QStringLiteral("prepare"), QStringLiteral("prepare"));
    db.setPath(dir + QStringLiteral("/Data/LumoraData.dat"));
    db.open();
    Execute(db, QStringLiteral("BEGIN"));
    for (int i = 1; i < patientCount(); ++i)
        Execute(db, QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname, PatVorname, PatGebDatum) VALUES (?, ?, ?, ?)"),
                {QStringLiteral("P%1").arg(i, 5, 10, QLatin1Char('0')), QStringLiteral("Family%1").arg(i * 7919 % 10000),
                 i % 5 ? QVariant(QStringLiteral("Given%1").arg(i)) : QVariant(), QStringLiteral("19600101")});
    Execute(db, QStringLiteral("COMMIT"));
    db.close();
    printf("%s\n", qPrintable(dir + QStringLiteral("/images/") + study.studyUid));
    return 0;
}

int load(BrowserWindow &w)
{
    w.browser->RefreshPatientList();
    const int found = w.patientRow(QStringLiteral("BENCH0001"));
    if (found < 0)
        return 1;
    w.browser->selectPatient(found);
    QCoreApplication::processEvents();
    const qlonglong before = PeakKb();

    // The longest gap between two ticks of a 10 ms timer: how long the window did not respond.
    QElapsedTimer tick;
    qint64 longestGap = 0;
    QTimer probe;
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, tick.restart());
    });

    QElapsedTimer clock;
    bool painted = false;
    QObject::connect(&w.dicomViewer, &ToolkitViewer::viewPainted, [&] { painted = w.dicomViewer.imageCount() == 4; });
    clock.start();
    tick.start();
    probe.start();
    w.browser->selectStudy(0);
    const qint64 listed = clock.elapsed();
    while (!painted && clock.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 ms = clock.elapsed();
    probe.stop();
    if (!painted) {
        fprintf(stderr, "tiles not painted within 120 s\n");
        return 1;
    }
    const QRect tile = w.dicomViewer.tileRect(0);
    printf("tile %dx%d\n", tile.width(), tile.height());
    printf("load_ms %lld\n", ms);
    printf("files_read_ms %lld\n", listed);
    printf("longest_event_gap_ms %lld\n", longestGap);
    printf("peak_kb_before %lld\n", before);
    printf("peak_kb %lld\n", PeakKb());
    printf("decoder_threads %d\n", Jpeg2000DecoderThreads());
    return 0;
}

int patients(BrowserWindow &w)
{
    QElapsedTimer clock;
    clock.start();
    w.browser->RefreshPatientList();
    QCoreApplication::processEvents(); // the list shows its rows
    const qint64 ms = clock.elapsed();
    const int listed = w.lvPatients.model()->rowCount();
    printf("patients %d\n", listed);
    printf("refresh_ms %lld\n", ms);
    return listed == patientCount() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        fprintf(stderr, "usage: bench-viewer prepare|load|patients DIR [j2k]\n");
        return 2;
    }
    const QString dir = args.at(2);
    qputenv("LUMORA_APP_FOLDER", QFile::encodeName(dir));
    if (args.at(1) == QLatin1String("prepare"))
        return prepare(dir, args.value(3) == QLatin1String("j2k"));
    LoadSettings();
    SetDatabasePaths();
    BrowserWindow w;
    QCoreApplication::processEvents();
    if (args.at(1) == QLatin1String("load"))
        return load(w);
    if (args.at(1) == QLatin1String("patients"))
        return patients(w);
    return 2;
}
