// The road of one examination through the whole workstation, driven as an
// operator would under Xvfb: four exposures of the polled unit through a serial
// line, four images through the receiver, the keyboard path to merge and send,
// and what the storage partner receives.
#include "support/Peers.h"
#include "support/Peers.h"
#include "support/Station.h"
#include "support/Station.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {

// A program's output; empty when it failed.
QByteArray run(const QString &program, const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
               int timeoutMs = 20000)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return p.readAll();
}

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

QString tag(const QString &dump, const QString &t)
{
    const QRegularExpression re(QStringLiteral("\\(%1\\) \\w\\w \\[([^\\]]*)\\]").arg(QRegularExpression::escape(t)));
    const auto m = re.match(dump);
    return m.hasMatch() ? m.captured(1) : QStringLiteral("<none>");
}

} // namespace

class WorkstationE2ETest : public QObject {
    Q_OBJECT

    QProcess xvfb_;
    QString display_;

    QProcessEnvironment env(const TestFolder &f) const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), display_);
        e.insert(QStringLiteral("LUMORA_APP_FOLDER"), f.path());
        e.remove(QStringLiteral("QT_QPA_PLATFORM"));
        return e;
    }
    // The first window whose name matches, or "".
    QString window(const QString &name, int timeoutMs)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), display_);
        QString id;
        WaitFor([&] {
            id = QString::fromLatin1(run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                                      QStringLiteral("--name"), name},
                                         e))
                     .section(QLatin1Char('\n'), 0, 0)
                     .trimmed();
            return !id.isEmpty();
        },
                timeoutMs);
        return id;
    }
    void keys(const QString &windowId, const QStringList &keyNames)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), display_);
        run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), windowId}, e);
        // One key at a time, each after the window has done with the last.
        for (const QString &k : keyNames) {
            run(QStringLiteral("xdotool"), {QStringLiteral("key"), k}, e);
            QTest::qWait(2500);
        }
    }
    void screenshot(const QString &path)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), display_);
        run(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), path}, e);
    }

private slots:
    void initTestCase()
    {
        // A display of its own: Xvfb picks a free number and tells it.
        xvfb_.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                                              QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QVERIFY(xvfb_.waitForStarted(5000));
        QVERIFY(xvfb_.waitForReadyRead(10000));
        display_ = QStringLiteral(":") + QString::fromLatin1(xvfb_.readAllStandardOutput()).trimmed();
        QVERIFY(display_.size() > 1);
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
        const quint16 archivePort = FreePort();
        f.write(QStringLiteral("LumoraStation.ini"),
                QStringLiteral("[%General]\nXrayComm=4\nSentAndKeep=1\n[Com]\nIR_AET=LUMORA\nIR_Port=%1\n[ComPort]\nPort=1\nDevice1=%2\n")
                    .arg(receiverPort)
                    .arg(pty.workstationEnd())
                    .toUtf8());
        const QString definitions = f.file(QStringLiteral("Data/LumoraUser.dat"));
        QueryRows(definitions, QStringLiteral("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES ('Archive', 'ARCHIVE', '127.0.0.1', ?, 1)"),
                  {QString::number(archivePort)});

        // The storage partner.
        QDir().mkpath(f.file(QStringLiteral("archive")));
        QProcess archive;
        archive.start(QStringLiteral("storescp"), {QStringLiteral("-aet"), QStringLiteral("ARCHIVE"), QStringLiteral("-od"),
                                                    f.file(QStringLiteral("archive")), QString::number(archivePort)});
        QVERIFY(archive.waitForStarted(5000));

        // The receiver runs already; the workstation finds it and starts no second one.
        CompanionProcess receiver(ReceiverProgram(), f.path());
        QVERIFY(receiver.start());
        QVERIFY(receiver.waitUntilAnswering(QStringLiteral("LUMORA"), receiverPort));

        QProcess station;
        station.setProcessEnvironment(env(f));
        station.setProcessChannelMode(QProcess::MergedChannels);
        station.start(StationDir() + QStringLiteral("/OrvanaMammo"), {});
        QVERIFY(station.waitForStarted(5000));
        const QString options = window(QStringLiteral("^Options$"), 15000);
        QVERIFY2(!options.isEmpty(), station.readAll().constData());
        // Enter confirms the dialog; a key sent before it took the focus is pressed again.
        QString main;
        for (int attempt = 0; attempt < 5 && main.isEmpty(); ++attempt) {
            keys(options, {QStringLiteral("Return")});
            main = window(QStringLiteral("^OrvanaMammo Version"), 4000);
        }
        QVERIFY(!main.isEmpty());

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

        // F2 takes the first patient, F3 loads the study, Space on the study
        // button moves on to merge, F1 merges and sends.
        // The workstation's poll has listed the patient once it emptied the receipts.
        const QString imageDb = f.file(QStringLiteral("Data/LumoraData.dat"));
        QVERIFY(WaitFor([&] { return QueryValue(imageDb, QStringLiteral("SELECT COUNT(*) FROM tblReceive")).toInt() == 0; }, 20000));
        QTest::qWait(1500);
        keys(main, {QStringLiteral("F2"), QStringLiteral("F3"), QStringLiteral("space")});
        screenshot(TestBinDir() + QStringLiteral("/e2e-loaded.png"));
        keys(main, {QStringLiteral("F1")});
        const QString progress = window(QStringLiteral("^Send Images \\(Patient\\)$"), 30000);
        if (progress.isEmpty())
            screenshot(TestBinDir() + QStringLiteral("/e2e-failed.png"));
        QVERIFY2(!progress.isEmpty(), "the send did not start");
        QVERIFY(WaitFor([&] { return QDir(f.file(QStringLiteral("archive"))).entryList(QDir::Files).size() >= 4; }, 30000));
        QTest::qWait(1000);
        screenshot(TestBinDir() + QStringLiteral("/e2e-sent.png"));
        keys(progress, {QStringLiteral("Return")});

        // What the archive holds: each view with the exposure of its projection.
        const QStringList received = QDir(f.file(QStringLiteral("archive"))).entryList(QDir::Files);
        QCOMPARE(received.size(), 4);
        const QMap<QString, QList<int>> byView{{QStringLiteral("R|P\\L"), exposures[0]}, {QStringLiteral("L|A\\R"), exposures[1]},
                                               {QStringLiteral("R|P\\FL"), exposures[2]}, {QStringLiteral("L|A\\FR"), exposures[3]}};
        QSet<QString> views;
        for (const QString &name : received) {
            const QString path = f.file(QStringLiteral("archive/")) + name;
            const QString d = QString::fromUtf8(run(QStringLiteral("dcmdump"), {path}));
            const QString view = tag(d, QStringLiteral("0020,0062")) + QLatin1Char('|') + tag(d, QStringLiteral("0020,0020"));
            QVERIFY2(byView.contains(view), qPrintable(view));
            views.insert(view);
            const QList<int> &e = byView[view];
            QCOMPARE(tag(d, QStringLiteral("0018,0060")), QString::number(e[0]));
            QCOMPARE(tag(d, QStringLiteral("0018,1152")), QString::number(e[1]));
            QCOMPARE(tag(d, QStringLiteral("0018,1150")), QString::number(e[2]));
            QCOMPARE(tag(d, QStringLiteral("0018,11a2")), QString::number(e[3]));
            QCOMPARE(tag(d, QStringLiteral("0018,11a0")), QString::number(e[4]));
            QVERIFY(d.contains(e[2] == 400 || e[2] == 410 ? QStringLiteral("[R-10242]") : QStringLiteral("[R-10226]")));
            const QByteArray verdict = run(QStringLiteral("dciodvfy"), {path});
            QVERIFY2(!verdict.contains("Error"), verdict.constData());
            qInfo().noquote() << "dciodvfy" << name << ":" << QString::fromUtf8(verdict).trimmed().replace(QLatin1Char('\n'), QStringLiteral(" / "));
        }
        QCOMPARE(views.size(), 4);

        // The journal rows are assigned to the patient.
        QVERIFY(WaitFor([&] {
            const auto rows = QueryRows(journal, QStringLiteral("SELECT Status, FKeyPatID FROM tblDosis"));
            return rows.size() == 4 && std::all_of(rows.begin(), rows.end(), [](const QVariantList &r) {
                       return r.value(0).toString() == QLatin1String("1") && r.value(1).toString() == QLatin1String("E2E-1");
                   });
        },
                        10000));

        station.terminate();
        if (!station.waitForFinished(5000))
            station.kill();
        QCOMPARE(receiver.terminate(), 0);
        archive.kill();
        archive.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(WorkstationE2ETest)
#include "tst_workstation_e2e.moc"
