// The road of one examination through the whole workstation, driven as an
// operator would under Xvfb: four exposures through a serial line, four images
// through the receiver, the keyboard path to merge and send, and what the
// storage partner receives. One row per kind of X-ray unit and detector; and
// the patient taken from the worklist for the next exposure.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QtTest>

namespace {

// One examination: the unit's four messages in the order of the detector's
// views (R CC, L CC, R MLO, L MLO), the detector's kind, and per view the
// attributes the partner must receive ("<missing>": not there at all).
struct Examination {
    int unitType = 4;
    bool polled = false; // the unit answers the workstation's ENQ
    QList<QByteArray> messages;
    QStringList detector; // lumora-synth options
    QList<QStringList> expected;
};

// "ABCDEF0" kV mAs, exposure time "ms" compression, thickness "mm": the polled unit's layout.
QByteArray senographMessage(int kv, int mas, int ms, int compression, int thickness)
{
    return QStringLiteral("ABCDEF0%1%2 %3ms%4 %5mm 0 DIGITAL\r\n")
        .arg(kv)
        .arg(mas, 3, 10, QLatin1Char('0'))
        .arg(ms)
        .arg(compression)
        .arg(thickness)
        .toLatin1();
}

// The first visible window whose name matches, or "".
QString window(const QString &name, int timeoutMs)
{
    QString id;
    WaitFor([&] {
        QByteArray out;
        RunProgram(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), name}, &out, 20000);
        id = QString::fromLatin1(out).section(QLatin1Char('\n'), 0, 0).trimmed();
        return !id.isEmpty();
    },
            timeoutMs);
    return id;
}

// What the window shows now; null, with import's word, when it could not be taken.
QImage picture(const QString &windowId)
{
    // The picture alone: a warning on stderr would spoil the PNG.
    QProcess import;
    import.start(QStringLiteral("import"), {QStringLiteral("-window"), windowId, QStringLiteral("png:-")});
    if (!import.waitForFinished(20000))
        import.kill();
    const QImage image = QImage::fromData(import.readAllStandardOutput(), "PNG");
    if (image.isNull())
        qWarning("no picture of window %s: %s", qPrintable(windowId), import.readAllStandardError().constData());
    return image;
}

// Keys to the window, in order: X delivers them as one queue.
void keys(const QString &windowId, const QStringList &keyNames)
{
    RunProgram(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), windowId}, nullptr, 20000);
    RunProgram(QStringLiteral("xdotool"), QStringList{QStringLiteral("key")} + keyNames, nullptr, 20000);
}

void screenshot(const QString &name)
{
    RunProgram(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), TestBinDir() + QLatin1Char('/') + name});
}

// What the operator would have seen, and the windows there were.
void failed()
{
    screenshot(QStringLiteral("e2e-failed.png"));
    QByteArray tree;
    RunProgram(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")}, &tree);
    qWarning().noquote() << tree;
}

// Waits until the main window shows the same picture twice in a row, unlike
// `before` when given; keeps the last two pictures for a look when it never
// does. Now and then X forgets the main window's first id (BadWindow): then
// the window of that name is looked up again.
bool cameToRest(QString &main, QImage &shown, const QImage &before = QImage())
{
    QImage last = before;
    const bool rest = WaitFor([&] {
        shown = picture(main);
        if (shown.isNull())
            main = window(QStringLiteral("^OrvanaMammo Version"), 0);
        const bool same = !shown.isNull() && shown != before && shown == last;
        if (!same)
            last = shown;
        return same;
    },
                              20000);
    if (!rest) {
        failed();
        last.save(TestBinDir() + QStringLiteral("/e2e-unrest-1.png"));
        shown.save(TestBinDir() + QStringLiteral("/e2e-unrest-2.png"));
    }
    return rest;
}

// An operator presses the next key once the main window has answered the
// last: it shows something new and has come to rest.
bool keyAndWaitForAnswer(QString &main, const QString &key)
{
    const QImage before = picture(main);
    keys(main, {key});
    QImage shown;
    return cameToRest(main, shown, before);
}

// Whether the process has the device open.
bool holdsOpen(qint64 pid, const QString &device)
{
    const QString target = QFileInfo(device).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        if (fd.symLinkTarget() == target)
            return true;
    return false;
}


// NAME=value lines, as xdotool's --shell prints them.
QSettings::SettingsMap shellValues(const QByteArray &lines)
{
    QSettings::SettingsMap values;
    for (const QByteArray &line : lines.split('\n'))
        if (const int eq = line.indexOf('='); eq > 0)
            values.insert(QString::fromLatin1(line.left(eq)), QString::fromLatin1(line.mid(eq + 1)));
    return values;
}

void stopStation(QProcess &station)
{
    station.terminate();
    if (!station.waitForFinished(5000))
        station.kill();
}

// Starts the workstation and confirms the options dialog; the main window's id
// or "". Enter confirms the dialog; a key sent before it took the focus is
// pressed again, and now and then the OK button is clicked, the left of the two
// buttons in its bottom right corner; a dialog that takes neither for 15 s is
// given up. On a loaded machine the main window may take a while to come.
QString confirmedStation(QProcess &station)
{
    station.setProcessChannelMode(QProcess::MergedChannels);
    station.start(StationDir() + QStringLiteral("/OrvanaMammo"), {});
    const QString options = station.waitForStarted(5000) ? window(QStringLiteral("^Options$"), 15000) : QString();
    if (options.isEmpty())
        return {};
    QString main;
    int tries = 0;
    QElapsedTimer pressing;
    pressing.start();
    WaitFor(
        [&] {
            // The main window counts once the dialog is gone.
            if (!window(QStringLiteral("^Options$"), 0).isEmpty()) {
                if (pressing.elapsed() > 15000)
                    return true; // deaf: this start is given up
                if (tries++ % 2 == 0) {
                    keys(options, {QStringLiteral("Return")});
                } else {
                    QByteArray geometry;
                    RunProgram(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), options}, &geometry);
                    const QSettings::SettingsMap size = shellValues(geometry);
                    RunProgram(QStringLiteral("xdotool"),
                               {QStringLiteral("mousemove"), QStringLiteral("--window"), options,
                                QString::number(size.value(QStringLiteral("WIDTH")).toInt() - 137),
                                QString::number(size.value(QStringLiteral("HEIGHT")).toInt() - 23), QStringLiteral("click"), QStringLiteral("1")});
                }
                if (!WaitFor([] { return window(QStringLiteral("^Options$"), 0).isEmpty(); }, 2000))
                    return false;
            }
            main = window(QStringLiteral("^OrvanaMammo Version"), 2000);
            return !main.isEmpty();
        },
        30000);
    return main;
}

// The running workstation and its main window; stopped when it goes.
struct RunningStation {
    QProcess process;
    QString main;
    ~RunningStation() { stopStation(process); }
};

// Starts the workstation of the current application folder with its main
// window up; `main` stays "" after a failed QVERIFY. Under Xvfb without a
// window manager the options dialog at start now and then takes neither keys
// nor clicks while the program idles; such a start is reported and tried again.
void startStation(RunningStation &running)
{
    QProcess &station = running.process;
    QString &main = running.main;
    for (int attempt = 1; attempt <= 3 && main.isEmpty(); ++attempt) {
        main = confirmedStation(station);
        if (!main.isEmpty())
            break;
        failed();
        QByteArray focus;
        RunProgram(QStringLiteral("xdotool"), {QStringLiteral("getwindowfocus")}, &focus);
        qWarning("start %d without a main window: %s%s", attempt, station.readAll().constData(),
                 station.state() == QProcess::NotRunning ? qPrintable(QStringLiteral("; it ended, code %1").arg(station.exitCode()))
                                                         : qPrintable(u"; it runs, X focus: "_s + QString::fromLatin1(focus)));
        stopStation(station);
    }
    QVERIFY2(!main.isEmpty(), "the workstation did not come up in three starts");
}

// The screen point of the toolbar's button `index` (0-based, separators not
// counted), found by the buttons' red on a screenshot: the first row that
// crosses all eight of them runs above their icons. Null when none shows.
QPoint toolbarButton(int index)
{
    const QString shot = TestBinDir() + QStringLiteral("/e2e-toolbar.png");
    RunProgram(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), shot});
    const QImage image(shot);
    for (int y = 0; y < std::min(200, image.height()); ++y) {
        QList<std::pair<int, int>> runs;
        int start = -1;
        for (int x = 0; x <= image.width(); ++x) {
            const bool red = x < image.width() && image.pixel(x, y) == qRgb(240, 120, 120);
            if (red && start < 0)
                start = x;
            if (!red && start >= 0 && x - start >= 16)
                runs.append({start, x});
            if (!red)
                start = -1;
        }
        if (runs.size() == 8)
            return QPoint((runs[index].first + runs[index].second) / 2, y + 8);
    }
    return {};
}

} // namespace

Q_DECLARE_METATYPE(Examination)

class WorkstationE2ETest : public QObject {
    Q_OBJECT

    QProcess xvfb_;

private slots:
    void initTestCase()
    {
        // A display of its own: Xvfb picks a free number and tells it. Without
        // -noreset it resets whenever its last client leaves (each xdotool run),
        // and a program connecting meanwhile is refused.
        xvfb_.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                                              QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                              QStringLiteral("-noreset")});
        QVERIFY(xvfb_.waitForStarted(5000));
        QVERIFY(xvfb_.waitForReadyRead(10000));
        const QByteArray display = ':' + xvfb_.readAllStandardOutput().trimmed();
        QVERIFY(display.size() > 1);
        // xdotool and the workstation inherit the display.
        qputenv("DISPLAY", display);
        qunsetenv("QT_QPA_PLATFORM");
        QVERIFY2(WaitFor([] { return RunProgram(QStringLiteral("xdotool"), {QStringLiteral("getdisplaygeometry")}, nullptr, 5000) == 0; }, 15000),
                 "the display does not answer");
    }
    void cleanupTestCase()
    {
        xvfb_.terminate();
        if (!xvfb_.waitForFinished(3000))
            xvfb_.kill();
    }

    void examinationFromExposureToArchive_data()
    {
        QTest::addColumn<Examination>("exam");
        // kV, mAs, ms, compression, thickness of each view: each lands in its attribute as sent.
        const QList<QList<int>> seno{{26, 80, 400, 10, 41}, {27, 90, 410, 11, 42}, {28, 100, 420, 12, 43}, {29, 110, 430, 13, 44}};
        Examination polled{4, true, {}, {}, {}};
        for (const QList<int> &e : seno) {
            polled.messages << senographMessage(e[0], e[1], e[2], e[3], e[4]);
            polled.expected << QStringList{QStringLiteral("0018,0060=%1").arg(e[0]), QStringLiteral("0018,1152=%1").arg(e[1]),
                                           QStringLiteral("0018,1150=%1").arg(e[2]), QStringLiteral("0018,11a2=%1").arg(e[3]),
                                           QStringLiteral("0018,11a0=%1").arg(e[4])};
        }
        QTest::newRow("GE Senograph, polled") << polled;
        Examination j2k = polled;
        j2k.detector = QStringList{QStringLiteral("--encoding"), QStringLiteral("j2k-lossless")};
        QTest::newRow("GE Senograph, JPEG 2000 detector") << j2k;

        // No exposure time: the partner gets none, the detector sent none. Thickness in cm becomes mm.
        Examination lorad{3, false, {}, {}, {}};
        const QStringList loradViews{QStringLiteral("R CC"), QStringLiteral("L CC"), QStringLiteral("R MLO"), QStringLiteral("L MLO")};
        for (int i = 0; i < 4; ++i) {
            lorad.messages << QStringLiteral("M4|0017|%1|AEC|Mo/Mo|Grid|07.12.26|14:05|x|y|%2 kV|z|%3 mAs|a|b|c|d|%4 N|4.%5 cm|e|f|1.%5 mGy|\r\n")
                                  .arg(loradViews[i])
                                  .arg(26 + i)
                                  .arg(80 + 10 * i)
                                  .arg(100 + i)
                                  .arg(i + 1)
                                  .toLatin1();
            lorad.expected << QStringList{QStringLiteral("0018,0060=%1").arg(26 + i), QStringLiteral("0018,1152=%1").arg(80 + 10 * i),
                                          QStringLiteral("0018,1150=<missing>"), QStringLiteral("0018,11a2=%1").arg(100 + i),
                                          QStringLiteral("0018,11a0=4%1").arg(i + 1), QStringLiteral("0040,8302=1.%1").arg(i + 1)};
        }
        QTest::newRow("Lorad M4, no exposure time") << lorad;

        // The side in View Position and no laterality, MONOCHROME1; seconds become
        // ms, kg tenths become N, and the dose keeps its value without its unit.
        Examination sophie{1, false, {}, {QStringLiteral("--side-in-view"), QStringLiteral("--mono1")}, {}};
        const QStringList sophieViews{QStringLiteral("R-CC"), QStringLiteral("L-CC"), QStringLiteral("R-MLO45"), QStringLiteral("L-MLO45")};
        for (int i = 0; i < 4; ++i) {
            sophie.messages << QStringLiteral("\x02SOPHIE V3\r\nName: 2026-12-07 10:22:3%1 %2 W/Rh AEC Grid %3kV %4mAs 1.2%1s 0 1%1kg 4.%1cm 1.6%1mGy\r\n")
                                   .arg(i + 1)
                                   .arg(sophieViews[i])
                                   .arg(26 + i)
                                   .arg(80 + 10 * i)
                                   .toLatin1();
            sophie.expected << QStringList{QStringLiteral("0018,0060=%1").arg(26 + i), QStringLiteral("0018,1152=%1").arg(80 + 10 * i),
                                           QStringLiteral("0018,1150=%1").arg(1210 + 10 * i),
                                           QStringLiteral("0018,11a2=%1").arg(QString::number((10 + i + 1) * 10 * 0.980665, 'g', 10)),
                                           QStringLiteral("0018,11a0=4%1").arg(i + 1), QStringLiteral("0040,8302=1.6%1").arg(i + 1),
                                           QStringLiteral("0028,0004=MONOCHROME1")};
        }
        QTest::newRow("Sophie, side in the view, MONOCHROME1") << sophie;
    }

    void examinationFromExposureToArchive()
    {
        QFETCH(Examination, exam);
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        for (const char *dir : {"images", "temp", "bin", "transfer"})
            QDir().mkpath(f.file(QLatin1String(dir)));
        QVERIFY(QFile::copy(ReceiverProgram(), f.file(QStringLiteral("LumoraReceiver"))));
        QFile::setPermissions(f.file(QStringLiteral("LumoraReceiver")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        PtyPair pty;
        QVERIFY(pty.ready());
        const quint16 receiverPort = FreePort();
        f.write(QStringLiteral("LumoraStation.ini"),
                QStringLiteral("[General]\nXrayComm=%1\nSentAndKeep=1\n[Com]\nIR_AET=LUMORA\nIR_Port=%2\n[ComPort]\nPort=1\nDevice1=%3\n")
                    .arg(exam.unitType)
                    .arg(receiverPort)
                    .arg(pty.workstationEnd())
                    .toUtf8());
        StorePeer archive;
        QVERIFY(archive.start(f.file(QStringLiteral("archive")), QStringLiteral("ARCHIVE")));
        QueryRows(f.file(QStringLiteral("Data/LumoraUser.dat")),
                  QStringLiteral("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES ('Archive', 'ARCHIVE', '127.0.0.1', ?, 1)"),
                  {QString::number(archive.port())});

        // The receiver runs already; the workstation finds it and starts no second one.
        CompanionProcess receiver(ReceiverProgram(), f.path());
        QVERIFY(receiver.start());
        QVERIFY(receiver.waitUntilAnswering(QStringLiteral("LUMORA"), receiverPort));

        RunningStation station;
        startStation(station);
        QString main = station.main;
        if (main.isEmpty())
            return;

        // The receiver and the serial line are up, and the status bar says so
        // from the first picture on.
        QImage shown;
        QVERIFY(cameToRest(main, shown));
        int red = 0;
        for (int y = shown.height() - 40; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                red += shown.pixel(x, y) == qRgb(255, 0, 0);
        QCOMPARE(red, 0);

        // Four exposures, a polled unit's each when the workstation asks. The
        // workstation drops what waits at the port when it opens it: a unit that
        // does not wait to be asked sends the first one again if it was lost so.
        const QString journal = f.file(QStringLiteral("LumoraData.dat"));
        QVERIFY2(WaitFor([&] { return holdsOpen(station.process.processId(), pty.workstationEnd()); }, 15000), "the serial port is not opened");
        auto journalRows = [&] { return QueryRows(journal, QStringLiteral("SELECT ID FROM tblDosis")).size(); };
        for (int i = 0; i < exam.messages.size(); ++i) {
            QByteArray polled;
            if (exam.polled)
                QVERIFY2(WaitFor([&] { polled += pty.received(); return polled.contains('\x05'); }, 15000), "no ENQ from the workstation");
            QVERIFY(pty.send(exam.messages[i]));
            if (!exam.polled && i == 0 && !WaitFor([&] { return journalRows() == 1; }, 5000) && journalRows() == 0)
                QVERIFY(pty.send(exam.messages[i]));
            QVERIFY2(WaitFor([&] { return journalRows() == i + 1; }, 15000),
                     f.read(QStringLiteral("Logs/Error.log")).prepend("the exposure did not reach the journal; error log:\n").constData());
        }

        // The detector's four views.
        const QString images = f.file(QStringLiteral("views"));
        QCOMPARE(RunProgram(ToolsDir() + QStringLiteral("/lumora-synth"),
                            QStringList{QStringLiteral("--out"), images, QStringLiteral("--count"), QStringLiteral("4"), QStringLiteral("--patient-id"),
                                        QStringLiteral("E2E-1"), QStringLiteral("--patient-name"), QStringLiteral("O'Brien^Ann"), QStringLiteral("--rows"),
                                        QStringLiteral("512"), QStringLiteral("--columns"), QStringLiteral("416")}
                                + exam.detector),
                 0);
        QStringList files;
        for (const QString &n : QDir(images).entryList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name))
            files << images + QLatin1Char('/') + n;
        QCOMPARE(files.size(), 4);
        QByteArray out;
        // A JPEG 2000 detector's views travel as they are; plain ones over the uncompressed contexts.
        QCOMPARE(Store(QStringLiteral("LUMORA"), receiverPort, files, &out, {QStringLiteral("-xv")}), 0);

        // The workstation's poll lists the patient when it empties the receipts,
        // here after the last image was filed; keys pressed after that wait
        // behind the listing.
        const QString imageDb = f.file(QStringLiteral("Data/LumoraData.dat"));
        QVERIFY(WaitFor([&] {
            return CountRows(imageDb, QStringLiteral("tblImages")) == 4 && CountRows(imageDb, QStringLiteral("tblReceive")) == 0;
        },
                        20000));
        // F2 takes the first patient, F3 loads the study, Space on the study
        // button loads it again and moves on to merge, F1 merges and sends the
        // patient. A merge waits for the loading study: F1 again until it starts.
        for (const QString &key : {QStringLiteral("F2"), QStringLiteral("F3")})
            if (!keyAndWaitForAnswer(main, key))
                QFAIL(qPrintable(QStringLiteral("no answer to %1").arg(key)));
        // The loaded study, for a look: one picture per row.
        screenshot(QStringLiteral("e2e-loaded-%1.png").arg(QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]+")), QStringLiteral("-"))));
        keys(main, {QStringLiteral("space")});
        const QString sending = QStringLiteral("^Send Images \\(Patient\\)$");
        QString progress;
        for (int i = 0; i < 10 && progress.isEmpty(); ++i) {
            keys(main, {QStringLiteral("F1")});
            progress = window(sending, 3000);
        }
        if (progress.isEmpty())
            failed();
        QVERIFY2(!progress.isEmpty(), "the send did not start");
        // OK closes the dialog once the job has finished and enabled it; the
        // patient send then assigns the journal rows to the patient.
        QVERIFY2(WaitFor([&] {
            keys(progress, {QStringLiteral("Return")});
            return window(sending, 1000).isEmpty();
        },
                         60000),
                 "the send did not finish");
        QVERIFY(WaitFor([&] {
            const auto rows = QueryRows(journal, QStringLiteral("SELECT Status, FKeyPatID FROM tblDosis"));
            return rows.size() == 4 && std::all_of(rows.begin(), rows.end(), [](const QVariantList &r) {
                       return r.value(0).toString() == QLatin1String("1") && r.value(1).toString() == QLatin1String("E2E-1");
                   });
        },
                        10000));

        // What the archive holds: each view with the exposure of its projection, valid.
        const QStringList received = archive.received();
        QCOMPARE(received.size(), 4);
        const QStringList views{QStringLiteral("R CC"), QStringLiteral("L CC"), QStringLiteral("R MLO"), QStringLiteral("L MLO")};
        QSet<QString> seen;
        for (const QString &name : received) {
            const QString path = f.file(QStringLiteral("archive/")) + name;
            const QString dump = Dump(path);
            const QString view = DumpedValue(dump, QStringLiteral("0020,0062")) + QLatin1Char(' ')
                                 + (dump.contains(QStringLiteral("[R-10242]")) ? QStringLiteral("CC") : QStringLiteral("MLO"));
            QVERIFY2(views.contains(view), qPrintable(view));
            seen.insert(view);
            QStringList actual;
            for (const QString &entry : exam.expected[views.indexOf(view)])
                actual << entry.section(QLatin1Char('='), 0, 0) + QLatin1Char('=') + DumpedValue(dump, entry.section(QLatin1Char('='), 0, 0));
            QCOMPARE(actual, exam.expected[views.indexOf(view)]);
            QCOMPARE(ValidationErrors(path), QStringList());
        }
        QCOMPARE(seen.size(), 4);

        // The workstation ends before its receiver.
        stopStation(station.process);
        QCOMPARE(receiver.terminate(), 0);
    }

    // The operator picks the second of today's entries with the toolbar's
    // worklist button; the next exposure is the chosen patient's.
    void worklistPatientForTheNextExposure()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        PtyPair pty;
        QVERIFY(pty.ready());
        WorklistPeer worklist;
        QVERIFY(worklist.start(f.file(QStringLiteral("worklist")), QStringLiteral("WORKLIST")));
        const QDate today = QDate::currentDate();
        for (const auto &[name, time] : {std::pair{"Early^Eve", "0700"}, {"Last^First", "0800"}, {"Later^Lou", "093000"}})
            QVERIFY(worklist.add({.name = name, .date = today, .time = time, .stationAet = "MAMMO1"}));
        f.write(QStringLiteral("LumoraStation.ini"),
                QStringLiteral("[General]\nXrayComm=4\n[ComPort]\nPort=1\nDevice1=%1\n[Worklist]\nLocalAET=MAMMO1\nRemoteAET=WORKLIST\n"
                               "RemoteIP=127.0.0.1\nRemotePort=%2\n")
                    .arg(pty.workstationEnd())
                    .arg(worklist.port())
                    .toUtf8());
        RunningStation station;
        startStation(station);
        QString main = station.main;
        if (main.isEmpty())
            return;

        QPoint button;
        QVERIFY2(WaitFor([&] { return !(button = toolbarButton(6)).isNull(); }, 15000), "no toolbar on the screen");
        RunProgram(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(button.x()), QString::number(button.y()),
                                                QStringLiteral("click"), QStringLiteral("1")});
        const QString dialog = window(QStringLiteral("^Worklist$"), 30000);
        QVERIFY2(!dialog.isEmpty(), station.process.readAll().constData());
        // Keys sent once the query is on its way wait for the list it fills.
        QVERIFY(WaitFor([&] { return worklist.requests().size() == 1; }, 15000));
        keys(dialog, {QStringLiteral("Down")});
        screenshot(QStringLiteral("e2e-worklist.png"));
        keys(dialog, {QStringLiteral("Return")});
        QVERIFY(WaitFor([&] { return window(QStringLiteral("^Worklist$"), 0).isEmpty(); }, 15000));

        const QString journal = f.file(QStringLiteral("LumoraData.dat"));
        QByteArray polled;
        QVERIFY2(WaitFor([&] { polled += pty.received(); return polled.contains('\x05'); }, 15000), "no ENQ from the workstation");
        QVERIFY(pty.send(senographMessage(28, 90, 410, 11, 42)));
        QVERIFY2(WaitFor([&] { return !QueryRows(journal, QStringLiteral("SELECT Patname FROM tblDosis")).isEmpty(); }, 15000),
                 "the exposure did not reach the journal");
        QCOMPARE(QueryRows(journal, QStringLiteral("SELECT Patname FROM tblDosis")), (QList<QVariantList>{{QStringLiteral("First Last")}}));
    }
};

QTEST_GUILESS_MAIN(WorkstationE2ETest)
#include "tst_workstation_e2e.moc"
