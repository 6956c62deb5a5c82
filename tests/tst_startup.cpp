// Start-up in order: splash, options dialog after the splash timer, main
// window on OK; Cancel, a second instance and a click on the splash end it.
#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "app/StartupChecks.h"
#include "core/ApplicationFolder.h"
#include "core/Settings.h"
#include "app/StartupFlow.h"
#include "store/SchemaVersion.h"
#include "store/DatabasePaths.h"
#include "support/Widgets.h"

class StartupTest : public QObject {
    Q_OBJECT

    RecordingPrompter prompter_;

private slots:
    void init()
    {
        prompter_.boxes.clear();
        ResetWorkstationState();
    }

    void splashThenOptionsThenMainWindow()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        StartupFlow flow(prompter_);
        QSignalSpy finished(&flow, &StartupFlow::finished);
        QVERIFY(flow.start());
        QVERIFY(flow.splash()->isVisible());
        QVERIFY(flow.optionForm() == nullptr); // not before the splash timer
        QTRY_VERIFY_WITH_TIMEOUT(flow.optionForm() && flow.optionForm()->isVisible(), 3000);
        QVERIFY(!flow.splash()->isVisible());
        QVERIFY(flow.mainForm() == nullptr); // only OK creates it
        QVERIFY(flow.singleInstance().held());

        QTest::keyClick(flow.optionForm(), Qt::Key_Return); // OK is the default button
        QVERIFY(flow.mainForm() && flow.mainForm()->isVisible());
        QVERIFY(!flow.optionForm()->isVisible());
        // The main window's load ran (what it prepares: tst_mainform loadPreparesTheStation).
        QVERIFY(QFile::exists(f.file(u"LumoraData.dat"_s)));
        QVERIFY(QFile::exists(f.file(u"LumoraStation.ini"_s)));
        QCOMPARE(finished.count(), 0);
        QVERIFY(!flow.ended());
        flow.mainForm()->close();
    }

    void cancelAtStartEndsTheProgram()
    {
        TestFolder f; // no splash picture either: no obstacle
        StartupFlow flow(prompter_);
        QSignalSpy finished(&flow, &StartupFlow::finished);
        QVERIFY(flow.start());
        QVERIFY(Child<QLabel>(flow.splash(), u"imgLogo"_s)->pixmap().isNull());
        QTRY_VERIFY_WITH_TIMEOUT(flow.optionForm() && flow.optionForm()->isVisible(), 3000);
        Child<QLineEdit>(flow.optionForm(), u"txtIR0"_s)->setText(u"CHANGED"_s);
        QTest::keyClick(flow.optionForm(), Qt::Key_Escape);
        QVERIFY(flow.ended());
        QCOMPARE(finished.count(), 1);
        QVERIFY(flow.mainForm() == nullptr);
        QVERIFY(!QFile::exists(f.file(u"LumoraStation.ini"_s))); // nothing stored
        QCOMPARE(Settings.IR_AET, u"LumoraStation"_s);
    }

    void secondInstanceIsRefused()
    {
        TestFolder f;
        QProcess holder;
        holder.setEnvironment(QProcess::systemEnvironment() << u"LUMORA_IDLE_LOCK="_s + f.file(u"OrvanaMammo.lock"_s));
        holder.start(TestBinDir() + u"/lumora-test-idle"_s, {});
        QVERIFY(holder.waitForReadyRead(5000));

        StartupFlow flow(prompter_);
        QVERIFY(flow.start());
        QTRY_VERIFY_WITH_TIMEOUT(flow.ended(), 3000);
        QVERIFY(flow.optionForm() == nullptr);
        QCOMPARE(prompter_.texts(), QStringList{u"You can only run one instance of 'OrvanaMammo'"_s});

        // A crashed instance's lock does not block the next start.
        holder.kill();
        QVERIFY(holder.waitForFinished());
        QVERIFY(QFile::exists(f.file(u"OrvanaMammo.lock"_s)));
        StartupFlow next(prompter_);
        QVERIFY(next.start());
        QTRY_VERIFY_WITH_TIMEOUT(next.optionForm() && next.optionForm()->isVisible(), 3000);
        QVERIFY(!next.ended());
        Child<QPushButton>(next.optionForm(), u"cmdCancel"_s)->click();
    }

    // The application folder is the one the process started with: a changed
    // LUMORA_APP_FOLDER (or site configuration) does not move the settings,
    // logs and databases apart when the options dialog is opened again.
    void folderStaysWhatTheProcessStartedWith()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        QTemporaryDir elsewhere;
        StartupFlow flow(prompter_);
        QVERIFY(flow.start());
        QTRY_VERIFY_WITH_TIMEOUT(flow.optionForm() && flow.optionForm()->isVisible(), 3000);
        QTest::keyClick(flow.optionForm(), Qt::Key_Return);
        QVERIFY(flow.mainForm() && flow.mainForm()->isVisible());

        qputenv("LUMORA_APP_FOLDER", QFile::encodeName(elsewhere.path()));
        flow.mainForm()->action(u"mnuAnsichtEinstellungen"_s)->trigger();
        QTRY_VERIFY(flow.optionForm()->isVisible());
        Child<QLineEdit>(flow.optionForm(), u"txtIR0"_s)->setText(u"MOVED"_s);
        QTest::keyClick(flow.optionForm(), Qt::Key_Return);
        QVERIFY(!flow.optionForm()->isVisible());
        QVERIFY(f.read(u"LumoraStation.ini"_s).contains("MOVED"));
        QVERIFY(!QFile::exists(elsewhere.filePath(u"LumoraStation.ini"_s)));
        QCOMPARE(ImageDatabase.path(), f.file(u"Data/LumoraData.dat"_s));
        QCOMPARE(DefinitionsDatabase.path(), f.file(u"Data/LumoraUser.dat"_s));
        QCOMPARE(AppPath(u"Logs"_s), f.file(u"Logs"_s));
        flow.mainForm()->close();
    }

    // A log the workstation cannot open is named in the status line, once.
    void logThatCannotBeOpenedIsShownOnce()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        QVERIFY(QDir().mkpath(f.file(u"Logs/Error.log"_s))); // a folder where the log should be
        f.write(u"transfer"_s, "a file where a folder should be"); // the load logs an error
        StartupFlow flow(prompter_);
        QVERIFY(flow.start());
        QTRY_VERIFY_WITH_TIMEOUT(flow.optionForm() && flow.optionForm()->isVisible(), 3000);
        QTest::keyClick(flow.optionForm(), Qt::Key_Return);
        QVERIFY(flow.mainForm() && flow.mainForm()->isVisible());
        const auto warning = [&] { return Child<QLabel>(flow.mainForm(), u"StatusPanel5"_s)->text(); };
        QTRY_VERIFY2(warning().contains(f.file(u"Logs/Error.log"_s)), qPrintable(warning()));

        // Lost again: nothing new to say.
        flow.mainForm()->setStatusPanel(5, QString());
        flow.mainForm()->Form_Load();
        QCoreApplication::processEvents();
        QCOMPARE(warning(), QString());
        flow.mainForm()->close();
    }

    // A journal a newer program version wrote: the main window's load says
    // so, naming both versions, and starts nothing on it.
    void newerJournalIsRefusedAtLoad()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        f.write(u"LumoraStation.ini"_s, "[General]\nDatabase=Data/LumoraDef.dat\n");
        const int known = LatestSchemaVersion(JournalSchemaSteps());
        QCOMPARE(RunProgram(u"sqlite3"_s, {f.file(u"Data/LumoraDef.dat"_s), u"PRAGMA user_version = %1;"_s.arg(known + 1)}), 0);
        StartupFlow flow(prompter_);
        QVERIFY(flow.start());
        QTRY_VERIFY_WITH_TIMEOUT(flow.optionForm() && flow.optionForm()->isVisible(), 3000);
        QTest::keyClick(flow.optionForm(), Qt::Key_Return);
        QVERIFY(flow.mainForm() && flow.mainForm()->isVisible());
        const QStringList said = prompter_.texts();
        QCOMPARE(said.size(), 1);
        QVERIFY2(said.first().contains(u"version %1"_s.arg(known + 1)) && said.first().contains(u"version %1"_s.arg(known))
                     && said.first().contains(f.file(u"Data/LumoraDef.dat"_s)), qPrintable(said.first()));
        QVERIFY(f.read(u"Logs/Error.log"_s).contains(u"version %1"_s.arg(known + 1).toUtf8()));
        QCOMPARE(QueryValue(f.file(u"Data/LumoraDef.dat"_s), u"PRAGMA user_version"_s).toInt(), known + 1);
        flow.mainForm()->close();
    }

    void clickOnTheSplashEndsTheProgram()
    {
        TestFolder f;
        StartupFlow flow(prompter_);
        QVERIFY(flow.start());
        QTest::mouseClick(flow.splash(), Qt::LeftButton);
        QVERIFY(flow.ended());
        QVERIFY(!flow.splash()->isWaiting()); // the options dialog never comes
        QVERIFY(flow.optionForm() == nullptr);
    }
};

LUMORA_WIDGETS_TEST_MAIN(StartupTest, 1280, 1024)
#include "tst_startup.moc"
