// Start-up in order: splash, options dialog after the splash timer, main
// window on OK; Cancel, a second instance and a click on the splash end it.
#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "app/StartupChecks.h"
#include "core/Settings.h"
#include "app/StartupFlow.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class StartupTest : public QObject {
    Q_OBJECT

    RecordingPrompter prompter_;

private slots:
    void init()
    {
        prompter_.boxes.clear();
        ResetWorkstationState();
    }
    void cleanup() { Instance().release(); }

    void splashThenOptionsThenMainWindow()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        StartupFlow flow;
        QSignalSpy finished(&flow, &StartupFlow::finished);
        QVERIFY(flow.start());
        QVERIFY(flow.splash()->isVisible());
        QCOMPARE(flow.splash()->windowTitle(), QStringLiteral("OrvanaMammo Version 1.0.0"));
        QVERIFY(flow.optionForm() == nullptr); // not before the splash timer
        QTRY_VERIFY_WITH_TIMEOUT(flow.optionForm() && flow.optionForm()->isVisible(), 3000);
        QVERIFY(!flow.splash()->isVisible());
        QVERIFY(flow.mainForm() == nullptr); // only OK creates it
        QVERIFY(Instance().held());

        QTest::keyClick(flow.optionForm(), Qt::Key_Return); // OK is the default button
        QVERIFY(flow.mainForm());
        QVERIFY(flow.mainForm()->isVisible());
        QVERIFY(!flow.optionForm()->isVisible());
        QCOMPARE(flow.mainForm()->windowTitle(), QStringLiteral("OrvanaMammo Version 1.0.0"));
        // The main window's load ran (what it prepares: tst_mainform loadPreparesTheStation).
        QVERIFY(QFile::exists(f.file(QStringLiteral("LumoraData.dat"))));
        QVERIFY(QFile::exists(f.file(QStringLiteral("LumoraStation.ini"))));
        QCOMPARE(finished.count(), 0);
        QVERIFY(!flow.ended());
        flow.mainForm()->close();
    }

    void cancelAtStartEndsTheProgram()
    {
        TestFolder f; // no splash picture either: no obstacle
        StartupFlow flow;
        QSignalSpy finished(&flow, &StartupFlow::finished);
        QVERIFY(flow.start());
        QVERIFY(flow.splash()->imgLogo->pixmap().isNull());
        QTRY_VERIFY_WITH_TIMEOUT(flow.optionForm() && flow.optionForm()->isVisible(), 3000);
        flow.optionForm()->txtIR[0]->setText(QStringLiteral("CHANGED"));
        QTest::keyClick(flow.optionForm(), Qt::Key_Escape);
        QVERIFY(flow.ended());
        QCOMPARE(finished.count(), 1);
        QVERIFY(flow.mainForm() == nullptr);
        QVERIFY(!QFile::exists(f.file(QStringLiteral("LumoraStation.ini")))); // nothing stored
        QCOMPARE(Settings.IR_AET, QStringLiteral("LumoraStation"));
    }

    void secondInstanceIsRefused()
    {
        TestFolder f;
        QProcess holder;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LUMORA_IDLE_LOCK"), f.file(QStringLiteral("OrvanaMammo.lock")));
        holder.setProcessEnvironment(env);
        holder.start(TestBinDir() + QStringLiteral("/lumora-test-idle"), {});
        QVERIFY(holder.waitForReadyRead(5000));

        StartupFlow flow;
        QVERIFY(flow.start());
        QTRY_VERIFY_WITH_TIMEOUT(flow.ended(), 3000);
        QVERIFY(flow.optionForm() == nullptr);
        QCOMPARE(prompter_.boxes.size(), 1);
        QCOMPARE(prompter_.boxes[0].text, QStringLiteral("Your can only run one instance of 'OrvanaMammo'"));

        // A crashed instance's lock does not block the next start.
        holder.kill();
        QVERIFY(holder.waitForFinished());
        QVERIFY(QFile::exists(f.file(QStringLiteral("OrvanaMammo.lock"))));
        StartupFlow next;
        QVERIFY(next.start());
        QTRY_VERIFY_WITH_TIMEOUT(next.optionForm() && next.optionForm()->isVisible(), 3000);
        QVERIFY(!next.ended());
        next.optionForm()->cmdCancel->click();
    }

    void clickOnTheSplashEndsTheProgram()
    {
        TestFolder f;
        StartupFlow flow;
        QVERIFY(flow.start());
        QTest::mouseClick(flow.splash(), Qt::LeftButton);
        QVERIFY(flow.ended());
        QVERIFY(!flow.splash()->splashTimer->isActive()); // the options dialog never comes
        QVERIFY(flow.optionForm() == nullptr);
    }
};

LUMORA_WIDGETS_TEST_MAIN(StartupTest, 1280, 1024)
#include "tst_startup.moc"
