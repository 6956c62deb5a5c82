// The road of one examination through the whole workstation, driven as an
// operator would under Xvfb: the patient from the worklist, four exposures of
// the polled unit through a serial line, four images through the receiver, the
// keyboard path to merge and send, and what the storage partner receives.
#include "support/Dicom.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QtTest>

namespace {

// "ABCDEF0" kV mAs, exposure time "ms" compression, thickness "mm": the polled unit's layout.
QByteArray unitMessage(int kv, int mas, int ms, int compression, int thickness)
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

// How long an operator takes between two keys; the workstation answers each
// key with events of its own (list fills, image loads) that the next key meets.
constexpr int OperatorPaceMs = 2000;

// Keys to the window, in order: X delivers them as one queue.
void keys(const QString &windowId, const QStringList &keyNames)
{
    RunProgram(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), windowId}, nullptr, 20000);
    RunProgram(QStringLiteral("xdotool"), QStringList{QStringLiteral("key")} + keyNames, nullptr, 20000);
}

// Starts the workstation of the current application folder and confirms the
// options dialog; the main window's id, or "" after a failed QVERIFY.
void startStation(QProcess &station, QString &main)
{
    station.setProcessChannelMode(QProcess::MergedChannels);
    station.start(StationDir() + QStringLiteral("/OrvanaMammo"), {});
    QVERIFY(station.waitForStarted(5000));
    const QString options = window(QStringLiteral("^Options$"), 15000);
    QVERIFY2(!options.isEmpty(), station.readAll().constData());
    // Enter confirms the dialog; a key sent before it took the focus is pressed
    // again while the dialog is still there. On a loaded machine the main
    // window may take a while to come.
    QVERIFY2(WaitFor(
        [&] {
            if (!window(QStringLiteral("^Options$"), 0).isEmpty())
                keys(options, {QStringLiteral("Return")});
            main = window(QStringLiteral("^OrvanaMammo Version"), 2000);
            return !main.isEmpty();
        },
        60000),
             station.readAll().constData());
}

void stopStation(QProcess &station)
{
    station.terminate();
    if (!station.waitForFinished(5000))
        station.kill();
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

    void examinationFromExposureToArchive()
    {
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
                QStringLiteral("[%General]\nXrayComm=4\nSentAndKeep=1\n[Com]\nIR_AET=LUMORA\nIR_Port=%1\n[ComPort]\nPort=1\nDevice1=%2\n")
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

        QProcess station;
        QString main;
        startStation(station, main);
        if (main.isEmpty())
            return;

        // Four exposures, each sent when the workstation polls.
        const QList<QList<int>> exposures{{26, 80, 400, 10, 41}, {27, 90, 410, 11, 42}, {28, 100, 420, 12, 43}, {29, 110, 430, 13, 44}};
        const QString journal = f.file(QStringLiteral("LumoraData.dat"));
        for (int i = 0; i < exposures.size(); ++i) {
            QByteArray polled;
            QVERIFY2(WaitFor([&] { polled += pty.received(); return polled.contains('\x05'); }, 15000), "no ENQ from the workstation");
            const QList<int> &e = exposures[i];
            QVERIFY(pty.send(unitMessage(e[0], e[1], e[2], e[3], e[4])));
            QVERIFY2(WaitFor([&] { return QueryRows(journal, QStringLiteral("SELECT ID FROM tblDosis")).size() == i + 1; }, 15000),
                     "the exposure did not reach the journal");
        }

        // The detector's four views.
        const QString images = f.file(QStringLiteral("views"));
        QCOMPARE(RunProgram(ToolsDir() + QStringLiteral("/lumora-synth"),
                            {QStringLiteral("--out"), images, QStringLiteral("--count"), QStringLiteral("4"), QStringLiteral("--patient-id"),
                             QStringLiteral("E2E-1"), QStringLiteral("--patient-name"), QStringLiteral("O'Brien^Ann"), QStringLiteral("--rows"),
                             QStringLiteral("512"), QStringLiteral("--columns"), QStringLiteral("416")}),
                 0);
        QStringList files;
        for (const QString &n : QDir(images).entryList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name))
            files << images + QLatin1Char('/') + n;
        QCOMPARE(files.size(), 4);
        QByteArray out;
        QCOMPARE(Store(QStringLiteral("LUMORA"), receiverPort, files, &out), 0);

        // The workstation's poll lists the patient when it empties the
        // receipts, here after the last image was filed. Keys pressed while it
        // lists would lose their selection: two polls of the unit after it
        // show that its event loop has gone round since.
        const QString imageDb = f.file(QStringLiteral("Data/LumoraData.dat"));
        QVERIFY(WaitFor([&] {
            return CountRows(imageDb, QStringLiteral("tblImages")) == 4 && CountRows(imageDb, QStringLiteral("tblReceive")) == 0;
        },
                        20000));
        pty.received();
        QByteArray polled;
        QVERIFY(WaitFor([&] { polled += pty.received(); return polled.count('\x05') >= 2; }, 15000));
        // F2 takes the first patient, F3 loads the study, Space on the study
        // button moves on to merge, F1 merges and sends: at an operator's pace,
        // each key after the window has done with the last. (Keys in a burst
        // once found merges that started while the study loaded.)
        const QString sending = QStringLiteral("^Send Images \\(Patient\\)$");
        // A key that meets the poll refilling the patient list loses its
        // selection: the operator then goes through the keys again.
        QString progress;
        for (int round = 0; round < 4 && progress.isEmpty(); ++round) {
            for (const QString &key : {QStringLiteral("F2"), QStringLiteral("F3"), QStringLiteral("space"), QStringLiteral("F1")}) {
                keys(main, {key});
                QTest::qWait(OperatorPaceMs);
            }
            progress = window(sending, 15000);
        }
        if (progress.isEmpty()) // what the operator would have seen
            RunProgram(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), TestBinDir() + QStringLiteral("/e2e-failed.png")});
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

        // What the archive holds: each view with the exposure of its projection.
        const QStringList received = archive.received();
        QCOMPARE(received.size(), 4);
        const QMap<QString, QList<int>> byView{{QStringLiteral("R|P\\L"), exposures[0]}, {QStringLiteral("L|A\\R"), exposures[1]},
                                               {QStringLiteral("R|P\\FL"), exposures[2]}, {QStringLiteral("L|A\\FR"), exposures[3]}};
        QSet<QString> views;
        for (const QString &name : received) {
            const QString path = f.file(QStringLiteral("archive/")) + name;
            const QString view = DumpTag(path, QStringLiteral("0020,0062")) + QLatin1Char('|') + DumpTag(path, QStringLiteral("0020,0020"));
            QVERIFY2(byView.contains(view), qPrintable(view));
            views.insert(view);
            const QList<int> &e = byView[view];
            const QStringList exposureTags{"0018,0060", "0018,1152", "0018,1150", "0018,11a2", "0018,11a0"}; // unitMessage's order
            for (int t = 0; t < exposureTags.size(); ++t)
                QCOMPARE(DumpTag(path, exposureTags[t]), QString::number(e[t]));
            QVERIFY(Dump(path).contains(e[2] == 400 || e[2] == 410 ? QStringLiteral("[R-10242]") : QStringLiteral("[R-10226]")));
            QCOMPARE(ValidationErrors(path), QStringList());
        }
        QCOMPARE(views.size(), 4);

        stopStation(station);
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
                QStringLiteral("[%General]\nXrayComm=4\n[ComPort]\nPort=1\nDevice1=%1\n[Worklist]\nLocalAET=MAMMO1\nRemoteAET=WORKLIST\n"
                               "RemoteIP=127.0.0.1\nRemotePort=%2\n")
                    .arg(pty.workstationEnd())
                    .arg(worklist.port())
                    .toUtf8());
        QProcess station;
        QString main;
        startStation(station, main);
        if (main.isEmpty())
            return;

        QPoint button;
        QVERIFY2(WaitFor([&] { return !(button = toolbarButton(6)).isNull(); }, 15000), "no toolbar on the screen");
        RunProgram(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(button.x()), QString::number(button.y()),
                                                QStringLiteral("click"), QStringLiteral("1")});
        const QString dialog = window(QStringLiteral("^Worklist$"), 30000);
        QVERIFY2(!dialog.isEmpty(), station.readAll().constData());
        // Keys sent once the query is on its way wait for the list it fills.
        QVERIFY(WaitFor([&] { return worklist.requests().size() == 1; }, 15000));
        keys(dialog, {QStringLiteral("Down")});
        RunProgram(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), TestBinDir() + QStringLiteral("/e2e-worklist.png")});
        keys(dialog, {QStringLiteral("Return")});
        QVERIFY(WaitFor([&] { return window(QStringLiteral("^Worklist$"), 0).isEmpty(); }, 15000));

        const QString journal = f.file(QStringLiteral("LumoraData.dat"));
        QByteArray polled;
        QVERIFY2(WaitFor([&] { polled += pty.received(); return polled.contains('\x05'); }, 15000), "no ENQ from the workstation");
        QVERIFY(pty.send(unitMessage(28, 90, 410, 11, 42)));
        QVERIFY2(WaitFor([&] { return !QueryRows(journal, QStringLiteral("SELECT Patname FROM tblDosis")).isEmpty(); }, 15000),
                 "the exposure did not reach the journal");
        QCOMPARE(QueryRows(journal, QStringLiteral("SELECT Patname FROM tblDosis")), (QList<QVariantList>{{QStringLiteral("First Last")}}));
        stopStation(station);
    }
};

QTEST_GUILESS_MAIN(WorkstationE2ETest)
#include "tst_workstation_e2e.moc"
