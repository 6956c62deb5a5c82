// The road of one examination through the whole workstation, driven as an
// operator would under Xvfb: four exposures through a serial line, four images
// through the receiver, the keyboard path to merge and send, and what the
// storage partner receives. One row per kind of X-ray unit and detector; and
// the patient taken from the worklist for the next exposure.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/SendJob.h"
#include "support/Station.h"

#include <QImage>

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
    return u"ABCDEF0%1%2 %3ms%4 %5mm 0 DIGITAL\r\n"_s.arg(kv).arg(mas, 3, 10, QChar(u'0')).arg(ms).arg(compression).arg(thickness).toLatin1();
}

// xdotool run to its end: its exit code.
int xdotool(const QStringList &args, QByteArray *out = nullptr) { return RunProgram(u"xdotool"_s, args, out, 20000); }

// The first visible window whose name matches, or "".
QString window(const QString &name, int timeoutMs)
{
    QString id;
    WaitFor([&] {
        QByteArray out;
        xdotool({u"search"_s, u"--onlyvisible"_s, u"--name"_s, name}, &out);
        return !(id = QString::fromLatin1(out).section(u'\n', 0, 0).trimmed()).isEmpty();
    }, timeoutMs);
    return id;
}

// What the window shows now; null, with import's word, when it could not be taken.
QImage picture(const QString &windowId)
{
    // The picture alone: a warning on stderr would spoil the PNG.
    QProcess import;
    import.start(u"import"_s, {u"-window"_s, windowId, u"png:-"_s});
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
    xdotool({u"windowfocus"_s, u"--sync"_s, windowId});
    xdotool(QStringList{u"key"_s} + keyNames);
}

void screenshot(const QString &name) { RunProgram(u"import"_s, {u"-window"_s, u"root"_s, TestBinDir() + u'/' + name}); }

// What the operator would have seen, and the windows there were.
void failed()
{
    screenshot(u"e2e-failed.png"_s);
    QByteArray tree;
    RunProgram(u"xwininfo"_s, {u"-root"_s, u"-tree"_s}, &tree);
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
            main = window(u"^OrvanaMammo Version"_s, 0);
        const bool same = !shown.isNull() && shown != before && shown == last;
        if (!same)
            last = shown;
        return same;
    }, 20000);
    if (!rest) {
        failed();
        last.save(TestBinDir() + u"/e2e-unrest-1.png"_s);
        shown.save(TestBinDir() + u"/e2e-unrest-2.png"_s);
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
    const QDir fds(u"/proc/%1/fd"_s.arg(pid));
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
    if (station.terminate(), !station.waitForFinished(5000))
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
    EndsWithTheTest(station);
    station.start(StationDir() + u"/OrvanaMammo"_s, {});
    const QString options = station.waitForStarted(5000) ? window(u"^Options$"_s, 15000) : QString();
    if (options.isEmpty())
        return {};
    QString main;
    int tries = 0;
    QElapsedTimer pressing;
    pressing.start();
    WaitFor([&] {
        // The main window counts once the dialog is gone.
        if (!window(u"^Options$"_s, 0).isEmpty()) {
            if (pressing.elapsed() > 15000)
                return true; // deaf: this start is given up
            if (tries++ % 2 == 0) {
                keys(options, {u"Return"_s});
            } else {
                QByteArray geometry;
                xdotool({u"getwindowgeometry"_s, u"--shell"_s, options}, &geometry);
                const QSettings::SettingsMap size = shellValues(geometry);
                xdotool({u"mousemove"_s, u"--window"_s, options, QString::number(size.value(u"WIDTH"_s).toInt() - 137),
                         QString::number(size.value(u"HEIGHT"_s).toInt() - 23), u"click"_s, u"1"_s});
            }
            if (!WaitFor([] { return window(u"^Options$"_s, 0).isEmpty(); }, 2000))
                return false;
        }
        return !(main = window(u"^OrvanaMammo Version"_s, 2000)).isEmpty();
    }, 30000);
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
        xdotool({u"getwindowfocus"_s}, &focus);
        qWarning("start %d without a main window: %s%s", attempt, station.readAll().constData(),
                 station.state() == QProcess::NotRunning ? qPrintable(u"; it ended, code %1"_s.arg(station.exitCode()))
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
    const QString shot = TestBinDir() + u"/e2e-toolbar.png"_s;
    RunProgram(u"import"_s, {u"-window"_s, u"root"_s, shot});
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
        EndsWithTheTest(xvfb_);
        xvfb_.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1280x1024x24"_s, u"-nolisten"_s, u"tcp"_s, u"-noreset"_s});
        QVERIFY(xvfb_.waitForStarted(5000));
        QVERIFY(xvfb_.waitForReadyRead(10000));
        const QByteArray display = ':' + xvfb_.readAllStandardOutput().trimmed();
        QVERIFY(display.size() > 1);
        // xdotool and the workstation inherit the display.
        qputenv("DISPLAY", display);
        qunsetenv("QT_QPA_PLATFORM");
        QVERIFY2(WaitFor([] { return xdotool({u"getdisplaygeometry"_s}) == 0; }, 15000), "the display does not answer");
    }
    void cleanupTestCase() { stopStation(xvfb_); }

    void examinationFromExposureToArchive_data()
    {
        QTest::addColumn<Examination>("exam");
        // Per view i: kV 26 + i, mAs 80 + 10 i, each in its attribute as sent.
        Examination polled{4, true}, lorad{3}, sophie{1, false, {}, {u"--side-in-view"_s, u"--mono1"_s}};
        const QStringList views{u"R CC"_s, u"L CC"_s, u"R MLO"_s, u"L MLO"_s}, sophieViews{u"R-CC"_s, u"L-CC"_s, u"R-MLO45"_s, u"L-MLO45"_s};
        for (int i = 0; i < 4; ++i) {
            const QStringList exposure{u"0018,0060=%1"_s.arg(26 + i), u"0018,1152=%1"_s.arg(80 + 10 * i)};
            polled.messages << senographMessage(26 + i, 80 + 10 * i, 400 + 10 * i, 10 + i, 41 + i);
            polled.expected << exposure + QStringList{u"0018,1150=%1"_s.arg(400 + 10 * i), u"0018,11a2=%1"_s.arg(10 + i), u"0018,11a0=%1"_s.arg(41 + i)};
            // No exposure time: the partner gets none, the detector sent none. Thickness in cm becomes mm.
            lorad.messages << u"M4|0017|%1|AEC|Mo/Mo|Grid|07.12.26|14:05|x|y|%2 kV|z|%3 mAs|a|b|c|d|%4 N|4.%5 cm|e|f|1.%5 mGy|\r\n"_s
                                  .arg(views[i]).arg(26 + i).arg(80 + 10 * i).arg(100 + i).arg(i + 1).toLatin1();
            lorad.expected << exposure + QStringList{u"0018,1150=<missing>"_s, u"0018,11a2=%1"_s.arg(100 + i), u"0018,11a0=4%1"_s.arg(i + 1),
                                                     u"0040,8302=1.%1"_s.arg(i + 1)};
            // The side in View Position and no laterality, MONOCHROME1; seconds become ms, kg tenths
            // become N, and the dose keeps its value without its unit. The unit sends its own date.
            sophie.messages << u"\x02SOPHIE V3\r\nName: today 10:22:3%1 %2 W Rh %3 %3kV %4mAs 1.2%1s AEC 1%1kg 4.%1cm 1.6%1mGy\r\n"_s
                                   .arg(i + 1).arg(sophieViews[i]).arg(26 + i).arg(80 + 10 * i).toLatin1();
            sophie.expected << exposure + QStringList{u"0018,1150=%1"_s.arg(1210 + 10 * i),
                                                      u"0018,11a2=%1"_s.arg(QString::number((10 + i + 1) * 10 * 0.980665, 'g', 10)),
                                                      u"0018,11a0=4%1"_s.arg(i + 1), u"0040,8302=1.6%1"_s.arg(i + 1), u"0028,0004=MONOCHROME1"_s};
        }
        QTest::newRow("GE Senograph, polled") << polled;
        Examination j2k = polled;
        j2k.detector = QStringList{u"--encoding"_s, u"j2k-lossless"_s};
        QTest::newRow("GE Senograph, JPEG 2000 detector") << j2k;
        QTest::newRow("Lorad M4, no exposure time") << lorad;
        QTest::newRow("Sophie, side in the view, MONOCHROME1") << sophie;
    }

    void examinationFromExposureToArchive()
    {
        QFETCH(Examination, exam);
        // The station lists the day's exposures only, by its own clock: an
        // examination does not start in the last minutes of a day.
        const QDateTime start = QDateTime::currentDateTime();
        if (start.time() >= QTime(23, 57))
            QVERIFY(WaitFor([&] { return QDate::currentDate() != start.date(); }, 185000));
        const QByteArray today = QDate::currentDate().toString(Qt::ISODate).toLatin1();
        TestFolder f;
        QVERIFY(PrepareStation(f));
        for (const QString &dir : {u"images"_s, u"temp"_s, u"bin"_s, u"transfer"_s})
            QDir().mkpath(f.file(dir));
        QVERIFY(QFile::copy(ReceiverProgram(), f.file(u"LumoraReceiver"_s)));
        QFile::setPermissions(f.file(u"LumoraReceiver"_s), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        PtyPair pty;
        QVERIFY(pty.ready());
        const quint16 receiverPort = FreePort();
        f.write(u"LumoraStation.ini"_s, u"[General]\nXrayComm=%1\nSentAndKeep=1\n[Com]\nIR_AET=LUMORA\nIR_Port=%2\n[ComPort]\nPort=1\nDevice1=%3\n"_s
                                            .arg(exam.unitType).arg(receiverPort).arg(pty.workstationEnd()).toUtf8());
        StorePeer archive;
        QVERIFY(archive.start(f.file(u"archive"_s), u"ARCHIVE"_s));
        // The archive stored as the options dialog stores a default partner.
        const QString refused = AddStoragePartner(u"Archive"_s, {u"ARCHIVE"_s, u"127.0.0.1"_s, QString::number(archive.port())}, true);
        QVERIFY2(refused.isEmpty(), qPrintable(refused));

        // The receiver runs already; the workstation finds it and starts no second one.
        CompanionProcess receiver(ReceiverProgram(), f.path());
        QVERIFY(receiver.start() && receiver.waitUntilAnswering(u"LUMORA"_s, receiverPort));

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
        const QString journal = f.file(u"LumoraData.dat"_s);
        QVERIFY2(WaitFor([&] { return holdsOpen(station.process.processId(), pty.workstationEnd()); }, 15000), "the serial port is not opened");
        auto journalRows = [&] { return QueryRows(journal, u"SELECT ID FROM tblDosis"_s).size(); };
        for (int i = 0; i < exam.messages.size(); ++i) {
            QByteArray polled;
            if (exam.polled)
                QVERIFY2(WaitFor([&] { polled += pty.received(); return polled.contains('\x05'); }, 15000), "no ENQ from the workstation");
            const QByteArray message = QByteArray(exam.messages[i]).replace("today", today);
            QVERIFY(pty.send(message));
            if (!exam.polled && i == 0 && !WaitFor([&] { return journalRows() == 1; }, 5000) && journalRows() == 0)
                QVERIFY(pty.send(message));
            QVERIFY2(WaitFor([&] { return journalRows() == i + 1; }, 15000),
                     f.read(u"Logs/Error.log"_s).prepend("the exposure did not reach the journal; error log:\n").constData());
        }

        // The detector's four views.
        const QString images = f.file(u"views"_s);
        QCOMPARE(RunProgram(ToolsDir() + u"/lumora-synth"_s, QStringList{u"--out"_s, images, u"--count"_s, u"4"_s, u"--patient-id"_s, u"E2E-1"_s,
                                                                  u"--patient-name"_s, u"O'Brien^Ann"_s, u"--rows"_s, u"512"_s, u"--columns"_s, u"416"_s}
                                                           + exam.detector),
                 0);
        QStringList files;
        for (const QString &n : QDir(images).entryList({u"*.dcm"_s}, QDir::Files, QDir::Name))
            files << images + u'/' + n;
        QCOMPARE(files.size(), 4);
        QByteArray out;
        // A JPEG 2000 detector's views travel as they are; plain ones over the uncompressed contexts.
        QCOMPARE(Store(u"LUMORA"_s, receiverPort, files, &out, {u"-xv"_s}), 0);

        // The workstation's poll lists the patient when it empties the receipts,
        // here after the last image was filed; keys pressed after that wait
        // behind the listing.
        const QString imageDb = f.file(u"Data/LumoraData.dat"_s);
        QVERIFY(WaitFor([&] { return CountRows(imageDb, u"tblImages"_s) == 4 && CountRows(imageDb, u"tblReceive"_s) == 0; }, 20000));
        // F2 takes the first patient, F3 loads the study, Space on the study
        // button loads it again and moves on to merge, F1 merges and sends the
        // patient. A merge waits for the loading study: F1 again until it starts.
        for (const QString &key : {u"F2"_s, u"F3"_s})
            if (!keyAndWaitForAnswer(main, key))
                QFAIL(qPrintable(u"no answer to %1"_s.arg(key)));
        // The loaded study, for a look: one picture per row.
        screenshot(u"e2e-loaded-%1.png"_s.arg(QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression(u"[^A-Za-z0-9]+"_s), u"-"_s)));
        keys(main, {u"space"_s});
        const QString sending = u"^Send Images \\(Patient\\)$"_s;
        QString progress;
        for (int i = 0; i < 10 && progress.isEmpty(); ++i) {
            keys(main, {u"F1"_s});
            progress = window(sending, 3000);
        }
        if (progress.isEmpty())
            failed();
        QVERIFY2(!progress.isEmpty(), "the send did not start");
        // OK closes the dialog once the job has finished and enabled it; the
        // patient send then assigns the journal rows to the patient.
        QVERIFY2(WaitFor([&] { return keys(progress, {u"Return"_s}), window(sending, 1000).isEmpty(); }, 60000), "the send did not finish");
        const QString assigned = u"SELECT COUNT(*) = 4 AND SUM(CAST(Status AS TEXT) = '1' AND FKeyPatID = 'E2E-1') = 4 FROM tblDosis"_s;
        QVERIFY(WaitFor([&] { return QueryValue(journal, assigned).toInt() == 1; }, 10000));

        // What the archive holds: each view with the exposure of its projection, valid.
        const QStringList received = archive.received();
        QCOMPARE(received.size(), 4);
        const QStringList views{u"R CC"_s, u"L CC"_s, u"R MLO"_s, u"L MLO"_s};
        QSet<QString> seen;
        for (const QString &name : received) {
            const QString path = f.file(u"archive/"_s) + name;
            const QString dump = Dump(path);
            const QString view = DumpedValue(dump, u"0020,0062"_s) + (dump.contains(u"[R-10242]"_s) ? u" CC"_s : u" MLO"_s);
            QVERIFY2(views.contains(view), qPrintable(view));
            seen.insert(view);
            QStringList actual;
            for (const QString &entry : exam.expected[views.indexOf(view)])
                actual << entry.section(u'=', 0, 0) + u'=' + DumpedValue(dump, entry.section(u'=', 0, 0));
            QCOMPARE(actual, exam.expected[views.indexOf(view)]);
            QCOMPARE(ValidationErrors(path), QStringList());
        }
        QCOMPARE(seen.size(), 4);

        // The workstation ends before its receiver.
        stopStation(station.process);
        QCOMPARE(receiver.terminate(), 0);
    }

    // The operator picks the second of today's entries with the toolbar's
    // worklist button; the next exposure is the chosen patient's. The same
    // entries tomorrow, should the day change before the station asks.
    void worklistPatientForTheNextExposure()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        PtyPair pty;
        QVERIFY(pty.ready());
        WorklistPeer worklist;
        QVERIFY(worklist.start(f.file(u"worklist"_s), u"WORKLIST"_s));
        const QDate today = QDate::currentDate();
        for (const QDate &day : {today, today.addDays(1)})
            for (const auto &[name, time] : {std::pair{"Early^Eve", "0700"}, {"Last^First", "0800"}, {"Later^Lou", "093000"}})
                QVERIFY(worklist.add({.name = name, .date = day, .time = time, .stationAet = "MAMMO1"}));
        f.write(u"LumoraStation.ini"_s, u"[General]\nXrayComm=4\n[ComPort]\nPort=1\nDevice1=%1\n[Worklist]\nLocalAET=MAMMO1\nRemoteAET=WORKLIST\n"
                                        "RemoteIP=127.0.0.1\nRemotePort=%2\n"_s.arg(pty.workstationEnd()).arg(worklist.port()).toUtf8());
        RunningStation station;
        startStation(station);
        QString main = station.main;
        if (main.isEmpty())
            return;

        QPoint button;
        QVERIFY2(WaitFor([&] { return !(button = toolbarButton(6)).isNull(); }, 15000), "no toolbar on the screen");
        xdotool({u"mousemove"_s, QString::number(button.x()), QString::number(button.y()), u"click"_s, u"1"_s});
        const QString dialog = window(u"^Worklist$"_s, 30000);
        QVERIFY2(!dialog.isEmpty(), station.process.readAll().constData());
        // The query runs beside the window; its title says when the list is filled.
        QVERIFY(WaitFor([&] { return worklist.requests().size() == 1; }, 15000));
        QVERIFY(!window(u"^Worklist$"_s, 15000).isEmpty());
        keys(dialog, {u"Down"_s});
        screenshot(u"e2e-worklist.png"_s);
        keys(dialog, {u"Return"_s});
        QVERIFY(WaitFor([&] { return window(u"^Worklist$"_s, 0).isEmpty(); }, 15000));

        const QString journal = f.file(u"LumoraData.dat"_s);
        QByteArray polled;
        QVERIFY2(WaitFor([&] { polled += pty.received(); return polled.contains('\x05'); }, 15000), "no ENQ from the workstation");
        QVERIFY(pty.send(senographMessage(28, 90, 410, 11, 42)));
        QVERIFY2(WaitFor([&] { return CountRows(journal, u"tblDosis"_s) > 0; }, 15000), "the exposure did not reach the journal");
        QCOMPARE(QueryRows(journal, u"SELECT Patname FROM tblDosis"_s), (QList<QVariantList>{{u"First Last"_s}}));
    }
};

QTEST_GUILESS_MAIN(WorkstationE2ETest)
#include "tst_workstation_e2e.moc"
