// The main window's frame: layouts, function keys, dispatch, the examination
// type, the resize rules, load and shutdown.
#include "app/Companions.h"
#include "app/MainForm.h"
#include "core/Settings.h"
#include "app/StartupChecks.h"
#include "core/VbConvert.h"
#include "core/WorkstationState.h"
#include "store/DatabasePaths.h"
#include "support/Peers.h"
#include "support/Station.h"
#include "support/Widgets.h"
#include "toolkit/ToolkitViewer.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

namespace {

void addRows(QTreeWidget *list, int n)
{
    for (int i = 0; i < n; ++i)
        list->addTopLevelItem(new QTreeWidgetItem(QStringList{QString::number(i + 1)}));
}

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        ResetWorkstationState();
        LoadSettings();
    }

    void roundUp()
    {
        const QList<QPair<double, int>> cases{{2.5, 3}, {3.5, 4}, {3.0, 3}, {-2.3, -2}, {20.0 / 21.0, 1}, {22.0 / 21.0, 2}, {0.0, 0}};
        for (const auto &[x, up] : cases)
            QCOMPARE(RoundUp(x), qint16(up));
    }

    void clientAndDebugLayouts()
    {
        TestFolder f;
        Settings.RunAsClient = 1;
        MainForm client;
        QVERIFY(client.lblCount->isVisibleTo(&client));
        QVERIFY(!client.cmdAll->isVisibleTo(&client));
        for (QPushButton *b : client.cmdProjection)
            QVERIFY(!b->isVisibleTo(&client));
        Settings.RunAsClient = 0;
        MainForm station;
        QVERIFY(!station.lblCount->isVisibleTo(&station));
        QVERIFY(station.cmdAll->isVisibleTo(&station));

        int ports = 0;
        station.hooks.Initialise_cPort = [&] { ++ports; };
        Settings.Debug = 1;
        station.Form_Activate();
        QVERIFY(station.txtcInput->isVisibleTo(&station));
        QVERIFY(station.decoderTokenList->isVisibleTo(&station));
        QVERIFY(!station.lvDosis->isVisibleTo(&station));
        Settings.Debug = 0;
        station.Form_Activate();
        QVERIFY(!station.txtcInput->isVisibleTo(&station));
        QVERIFY(station.lvDosis->isVisibleTo(&station));
        QCOMPARE(ports, 2);
    }

    void dispatchReachesItsTarget()
    {
        TestFolder f;
        MainForm w;
        QStringList calls;
        w.hooks.RefreshPatientList = [&] { calls << QStringLiteral("patients"); };
        w.hooks.lvDosis_Fill = [&] { calls << QStringLiteral("dosis"); };
        w.hooks.dbFill = [&] { calls << QStringLiteral("dbFill"); };
        w.hooks.menuAction = [&](const QString &n) { calls << n; };
        for (const char *button : {"refresh", "refreshd", "exe", "eJPEG", "worklist", "nonsense"})
            w.Toolbar1_ButtonClick(QLatin1String(button));
        for (const char *menu : {"mnuFill", "mnuRefreshList", "mnuPrint", "mnuImportDir"})
            w.action(QLatin1String(menu))->trigger();
        QCOMPARE(calls, (QStringList{QStringLiteral("patients"), QStringLiteral("dosis"), QStringLiteral("mnuApplyTasks"),
                                     QStringLiteral("mnuExportJPEG"), QStringLiteral("worklist"), QStringLiteral("dbFill"),
                                     QStringLiteral("patients"), QStringLiteral("mnuImportDir")}));
        // The poll asks for a refresh.
        ListRefreshRequested = false;
        calls.clear();
        w.UpdateTimer->setInterval(20);
        QTRY_VERIFY(!calls.isEmpty());
        QVERIFY(ListRefreshRequested);
        QCOMPARE(calls.first(), QStringLiteral("patients"));
    }

    void functionKeysOnTheKeyboardPath()
    {
        TestFolder f;
        MainForm w;
        int patientSelections = 0, studySelections = 0, doseFills = 0, patientReloads = 0;
        w.hooks.selectFirstPatient = [&](int) { ++patientSelections; };
        w.hooks.selectFirstStudy = [&](int) { ++studySelections; };
        w.hooks.lvDosis_Fill = [&] { ++doseFills; };
        w.hooks.RefreshPatientList = [&] { ++patientReloads; };
        w.UpdateTimer->stop();
        addRows(w.lvPatients, 3);
        addRows(w.lvStudien, 2);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));

        w.lvPatients->setCurrentItem(w.lvPatients->topLevelItem(2));
        w.cmdLorad[0]->setFocus();
        QTest::keyClick(w.cmdLorad[0], Qt::Key_F2);
        QCOMPARE(w.lvPatients->currentItem(), w.lvPatients->topLevelItem(0));
        QCOMPARE(patientSelections, 1);
        QCOMPARE(QApplication::focusWidget(), w.cmdLorad[1]);

        w.cmdLorad[0]->setFocus();
        QTest::keyClick(w.cmdLorad[0], Qt::Key_A);
        QCOMPARE(QApplication::focusWidget(), w.cmdLorad[1]);
        QCOMPARE(patientSelections, 1);
        QCOMPARE(patientReloads, 0); // the list itself is not reloaded

        QTest::keyClick(w.cmdLorad[1], Qt::Key_F3);
        QCOMPARE(studySelections, 1);
        QCOMPARE(QApplication::focusWidget(), w.cmdLorad[1]); // no focus step on F3

        // A click: focus to merge when images and exposures match in number.
        addRows(w.lvImages, 4);
        addRows(w.lvDosis, 4);
        w.cmdLorad[1]->click();
        QCOMPARE(studySelections, 2);
        QCOMPARE(QApplication::focusWidget(), w.cmdAll); // F1 there merges: tst_workstation_e2e
        addRows(w.lvDosis, 1);
        w.cmdLorad[1]->click();
        QCOMPARE(QApplication::focusWidget(), w.cmdLorad[1]);

        w.cmdLorad[2]->setFocus();
        QTest::keyClick(w.cmdLorad[2], Qt::Key_F4);
        w.cmdLorad[2]->click();
        QCOMPARE(doseFills, 2);
        QTest::keyClick(w.cmdLorad[2], Qt::Key_F2); // F2 means nothing here
        QCOMPARE(patientSelections, 1);

        // With empty lists there is no first row to select.
        w.lvPatients->clear();
        w.cmdLorad[0]->click();
        QCOMPARE(patientSelections, 1);
        w.close();
    }

    void examinationTypeAndInfoFields()
    {
        TestFolder f;
        MainForm w;
        ExaminationType = 0;
        w.examinationTypeOptions_Click(1);
        QCOMPARE(ExaminationType, qint16(2));
        QCOMPARE(w.examinationTypeOptions[0]->property("bgr").toInt(), 255); // red: not chosen
        w.examinationTypeOptions[0]->click();
        QCOMPARE(ExaminationType, qint16(1));
        QCOMPARE(w.examinationTypeOptions[0]->property("bgr").toInt(), 65280); // green: chosen

        for (int i = 1; i <= 5; ++i)
            w.setStatusPanel(i, QStringLiteral("p%1").arg(i));
        w.txtSelected->setText(QStringLiteral("x"));
        w.txtNeu->setText(QStringLiteral("y"));
        w.ClearInfoFields();
        for (int i = 1; i <= 4; ++i)
            QCOMPARE(w.statusPanel(i), QString());
        QCOMPARE(w.statusPanel(5), QStringLiteral("p5"));
        QVERIFY(w.txtSelected->text().isEmpty() && w.txtNeu->text().isEmpty());
    }

    void resizeRules()
    {
        TestFolder f;
        MainForm w;
        w.cmdProjection[0]->setText(QStringLiteral("R CC"));
        w.show();
        w.resize(1200, 900);
        QTRY_COMPARE(w.size(), QSize(1200, 900));
        const QPoint topLeft = w.dv1->mapTo(&w, QPoint(0, 0));
        QCOMPARE(topLeft.x(), MainForm::ViewerLeft);
        QCOMPARE(w.dv1->width(), 1200 - MainForm::ViewerLeft - 33);
        QCOMPARE(w.dv1->height(), 900 - topLeft.y() - 100);
        QCOMPARE(w.dv1_vscroll->x(), w.dv1->x() + w.dv1->width());
        QCOMPARE(w.dv1_vscroll->height(), w.dv1->height());
        // A resize disables the projection buttons without text.
        QVERIFY(w.cmdProjection[0]->isEnabled());
        for (int i = 1; i < 8; ++i)
            QVERIFY(!w.cmdProjection[i]->isEnabled());
        w.close();
    }

    void loadPreparesTheStation()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        Settings.Database = QStringLiteral("journal/dosis.dat");
        Settings.XrayComm = 4;
        SetDatabasePaths();
        f.write(QStringLiteral("LumoraStation.ini"), "[%General]\nXrayComm=4\nDatabase=journal/dosis.dat\n");
        MainForm w;
        QStringList order;
        w.hooks.LoadModFilter = [&] { order << QStringLiteral("filter"); };
        w.hooks.RefreshPatientList = [&] { order << QStringLiteral("patients"); };
        w.hooks.UpdateSendToEntries = [&] { order << QStringLiteral("partners"); };
        w.hooks.PrepareTaskList = [&] { order << QStringLiteral("tasks"); };
        w.Form_Load();
        QCOMPARE(order, (QStringList{QStringLiteral("filter"), QStringLiteral("patients"), QStringLiteral("partners"), QStringLiteral("tasks")}));
        QVERIFY(QFile::exists(f.file(QStringLiteral("journal/dosis.dat"))));
        QVERIFY(OpenUserDatabase());
        QVERIFY(Execute(UserDatabase, QStringLiteral("SELECT COUNT(*) FROM tblDosis")).ok);
        CloseUserDatabase();
        QVERIFY(!w.cmdSelected->isEnabled());
        QVERIFY(w.SerTimer->isActive() && w.sendTimer->isActive());
        for (const char *dir : {"transfer", "temp", "bin"})
            QVERIFY(QFileInfo(f.file(QLatin1String(dir))).isDir());
        Instance().release();
    }

    void loadWithoutTemplateLogsAndStops()
    {
        TestFolder f; // no Data folder at all
        Settings.Database = QStringLiteral("dosis.dat");
        SetDatabasePaths();
        MainForm w;
        bool reachedLists = false;
        w.hooks.RefreshPatientList = [&] { reachedLists = true; };
        w.Form_Load();
        QVERIFY(!reachedLists);
        QVERIFY(f.read(QStringLiteral("Logs/Error.log")).contains("Mainform Form_Load"));
        Instance().release();
    }

    void lowDiskSpaceWarnsAndKeepsImages()
    {
        TestFolder f;
        f.write(QStringLiteral("images/1.2.3/1.2.3.4.dcm"), "DICM");
        QString warning;
        QVERIFY(CheckFreeSpace(&warning)); // this machine has room
        QVERIFY(!CheckFreeSpace(&warning, std::numeric_limits<qint64>::max()));
        QVERIFY(!warning.isEmpty());
        QVERIFY(f.read(QStringLiteral("Logs/Error.log")).contains("Mainform Form_Load"));
        QVERIFY(QFile::exists(f.file(QStringLiteral("images/1.2.3/1.2.3.4.dcm"))));
    }

    void errorLogIsShownReadOnlyAtItsEnd()
    {
        TestFolder f;
        QByteArray log;
        for (int i = 0; i < 300; ++i)
            log += "06.12.2026 10:00:00 " + QByteArray::number(i) + " something MainForm LoadStudy\r\n";
        f.write(QStringLiteral("Logs/Error.log"), log);
        MainForm w;
        w.action(QStringLiteral("mnuProtokollFehler"))->trigger();
        auto *view = w.findChild<QPlainTextEdit *>(QStringLiteral("ErrorLogText"));
        QVERIFY(view);
        QVERIFY(view->isReadOnly());
        QVERIFY(view->toPlainText().contains(QStringLiteral("299 something")));
        QVERIFY(view->textCursor().atEnd());
    }

    void exitStopsCompanionsWhenAsked()
    {
        TestFolder f;
        for (const char *name : {ReceiverName, DataManagerName})
            QVERIFY(!InstallIdleProgram(f.path(), QString::fromLatin1(name)).isEmpty());
        Settings.IR_Port = QStringLiteral("11112");
        StartReceiver();
        StartDataManager();
        const qint64 receiver = ReceiverProcessId, manager = DataManagerProcessId;
        QTRY_VERIFY(IsProcessAlive(receiver) && IsProcessAlive(manager));

        MainForm w;
        bool viewerEmptied = false;
        w.hooks.emptyViewer = [&] { viewerEmptied = true; };
        Settings.StopService = 0;
        w.mnuDateiBeenden_Click();
        QVERIFY(viewerEmptied);
        QVERIFY(IsProcessAlive(receiver) && IsProcessAlive(manager)); // kept: StopService is 0

        MainForm w2;
        Settings.StopService = 1;
        w2.Toolbar1_ButtonClick(QStringLiteral("exit"));
        QTRY_VERIFY(!IsProcessAlive(receiver) && !IsProcessAlive(manager));
        QCOMPARE(ReceiverProcessId, qint64(0));
    }
};

LUMORA_WIDGETS_TEST_MAIN(MainFormTest, 1280, 1024)
#include "tst_mainform.moc"
