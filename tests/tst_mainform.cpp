// The main window's frame: layouts, function keys, dispatch, the examination
// type, the resize rules, load and shutdown.
#include "app/Companions.h"
#include "app/LinkStatus.h"
#include "app/MainForm.h"
#include "app/StartupChecks.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "store/DatabasePaths.h"
#include "support/Peers.h"
#include "support/Widgets.h"
#include "toolkit/ToolkitViewer.h"

#include <QAction>
#include <QSignalSpy>
#include <QStandardItemModel>

class MainFormTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    RecordingPrompter prompter_; // the window's boxes

    static void addRows(QStandardItemModel &model, int n)
    {
        for (int i = 0; i < n; ++i)
            model.appendRow(new QStandardItem(QString::number(i + 1)));
    }

private slots:
    void init()
    {
        f_ = std::make_unique<TestFolder>();
        ResetWorkstationState();
        LoadSettings();
        prompter_.boxes.clear();
    }
    void cleanup() { f_.reset(); }

    void clientAndDebugLayouts()
    {
        Settings.RunAsClient = 1;
        MainForm client(prompter_);
        QVERIFY(Child<QLabel>(client, u"lblCount"_s)->isVisibleTo(&client));
        QVERIFY(!Child<QPushButton>(client, u"cmdAll"_s)->isVisibleTo(&client));
        for (int i = 0; i < 8; ++i)
            QVERIFY(!Child<QPushButton>(client, u"cmdProjection%1"_s.arg(i))->isVisibleTo(&client));
        Settings.RunAsClient = 0;
        MainForm station(prompter_);
        QVERIFY(!Child<QLabel>(station, u"lblCount"_s)->isVisibleTo(&station));
        QVERIFY(Child<QPushButton>(station, u"cmdAll"_s)->isVisibleTo(&station));

        int ports = 0;
        connect(&station, &MainForm::serialPortDue, this, [&] { ++ports; });
        Settings.Debug = 1;
        station.Form_Activate();
        QVERIFY(Child<QTextEdit>(station, u"txtcInput"_s)->isVisibleTo(&station));
        QVERIFY(Child<QListWidget>(station, u"List1"_s)->isVisibleTo(&station));
        QVERIFY(!Child<QTreeView>(station, u"lvDosis"_s)->isVisibleTo(&station));
        Settings.Debug = 0;
        station.Form_Activate();
        QVERIFY(!Child<QTextEdit>(station, u"txtcInput"_s)->isVisibleTo(&station));
        QVERIFY(Child<QTreeView>(station, u"lvDosis"_s)->isVisibleTo(&station));
        QCOMPARE(ports, 2);
    }

    void dispatchReachesItsTarget()
    {
        MainForm w(prompter_);
        QStringList calls;
        // The commands the subsystems carry out reach whoever connects to them.
        for (Command c : {Command::ApplyTasks, Command::ExportJpeg, Command::Worklist, Command::ImportDir, Command::RefreshList,
                          Command::RefreshDoseList, Command::Fill})
            QObject::connect(w.command(c), &QAction::triggered, &w, [&calls, c] { calls << QString::number(int(c)); });
        const auto id = [](Command c) { return QString::number(int(c)); };
        for (const char *button : {"refresh", "refreshd", "exe", "eJPEG", "worklist"})
            w.toolButton(QLatin1String(button))->trigger();
        for (const char *menu : {"mnuFill", "mnuRefreshList", "mnuPrint", "mnuImportDir"})
            w.action(QLatin1String(menu))->trigger();
        QCOMPARE(calls, (QStringList{id(Command::RefreshList), id(Command::RefreshDoseList), id(Command::ApplyTasks), id(Command::ExportJpeg),
                                     id(Command::Worklist), id(Command::Fill), id(Command::RefreshList), id(Command::ImportDir)}));
        // Every command has its action, and the menu entries keep their object names.
        QCOMPARE(w.command(Command::ApplyTasks), w.action(u"mnuApplyTasks"_s));
        QCOMPARE(w.command(Command::DeleteExposure), w.action(u"PopupDeleteDosis"_s));
        QCOMPARE(w.command(Command::Worklist), w.toolButton(u"worklist"_s));
        for (int c = 0; c <= int(Command::Worklist); ++c)
            QVERIFY2(w.command(Command(c)), qPrintable(QString::number(c)));
        // The poll is no command: it asks for no full refresh.
        calls.clear();
        QSignalSpy polls(&w, &MainForm::patientListPollDue);
        Child<QTimer>(w, u"UpdateTimer"_s)->setInterval(20);
        QTRY_VERIFY(!polls.isEmpty());
        QVERIFY(calls.isEmpty());
    }

    void functionKeysOnTheKeyboardPath()
    {
        MainForm w(prompter_);
        int patientSelections = 0, studySelections = 0, doseFills = 0, patientReloads = 0, inPlaceReloads = 0;
        connect(&w, &MainForm::firstPatientChosen, this, [&] { ++patientSelections; });
        connect(&w, &MainForm::firstStudyChosen, this, [&] { ++studySelections; });
        connect(&w, &MainForm::doseListRefreshDue, this, [&] { ++doseFills; });
        connect(&w, &MainForm::patientListRefreshDue, this, [&] { ++patientReloads; });
        // F2 reads the list again before it selects: the row it selects is the list's first after that read.
        connect(&w, &MainForm::patientListReloadDue, this, [&] {
            ++inPlaceReloads;
            QCOMPARE(patientSelections, inPlaceReloads - 1);
        });
        Child<QTimer>(w, u"UpdateTimer"_s)->stop();
        QStandardItemModel patients, studies;
        Child<QTreeView>(w, u"lvPatients"_s)->setModel(&patients);
        Child<QTreeView>(w, u"lvStudien"_s)->setModel(&studies);
        addRows(patients, 3);
        addRows(studies, 2);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));

        Child<QTreeView>(w, u"lvPatients"_s)->setCurrentIndex(patients.index(2, 0));
        Child<QPushButton>(w, u"cmdLorad0"_s)->setFocus();
        QTest::keyClick(Child<QPushButton>(w, u"cmdLorad0"_s), Qt::Key_F2);
        QCOMPARE(Child<QTreeView>(w, u"lvPatients"_s)->currentIndex().row(), 0);
        QCOMPARE(patientSelections, 1);
        QCOMPARE(inPlaceReloads, 1);
        QCOMPARE(QApplication::focusWidget(), Child<QPushButton>(w, u"cmdLorad1"_s));

        Child<QPushButton>(w, u"cmdLorad0"_s)->setFocus();
        QTest::keyClick(Child<QPushButton>(w, u"cmdLorad0"_s), Qt::Key_A);
        QCOMPARE(QApplication::focusWidget(), Child<QPushButton>(w, u"cmdLorad1"_s));
        QCOMPARE(patientSelections, 1);
        QCOMPARE(patientReloads, 0); // no full refresh: the viewer and the sort order stay
        QCOMPARE(inPlaceReloads, 1); // any other key reads nothing

        QTest::keyClick(Child<QPushButton>(w, u"cmdLorad1"_s), Qt::Key_F3);
        QCOMPARE(studySelections, 1);
        QCOMPARE(QApplication::focusWidget(), Child<QPushButton>(w, u"cmdLorad1"_s)); // no focus step on F3

        // A click: focus to merge when images and exposures match in number.
        QStandardItemModel images, exposures(4, 11);
        addRows(images, 4);
        Child<QTreeView>(w, u"lvImages"_s)->setModel(&images);
        Child<QTreeView>(w, u"lvDosis"_s)->setModel(&exposures);
        Child<QPushButton>(w, u"cmdLorad1"_s)->click();
        QCOMPARE(studySelections, 2);
        QCOMPARE(QApplication::focusWidget(), Child<QPushButton>(w, u"cmdAll"_s)); // F1 there merges: tst_workstation_e2e
        exposures.appendRow(new QStandardItem);
        Child<QPushButton>(w, u"cmdLorad1"_s)->click();
        QCOMPARE(QApplication::focusWidget(), Child<QPushButton>(w, u"cmdLorad1"_s));

        Child<QPushButton>(w, u"cmdLorad2"_s)->setFocus();
        QTest::keyClick(Child<QPushButton>(w, u"cmdLorad2"_s), Qt::Key_F4);
        Child<QPushButton>(w, u"cmdLorad2"_s)->click();
        QCOMPARE(doseFills, 2);
        QTest::keyClick(Child<QPushButton>(w, u"cmdLorad2"_s), Qt::Key_F2); // F2 means nothing here
        QCOMPARE(patientSelections, 1);
        QCOMPARE(inPlaceReloads, 1);

        // With empty lists there is no first row to select.
        patients.clear();
        Child<QPushButton>(w, u"cmdLorad0"_s)->click();
        QCOMPARE(inPlaceReloads, 2);
        QCOMPARE(patientSelections, 1);
        w.close();
    }

    void examinationTypeAndInfoFields()
    {
        MainForm w(prompter_);
        // The colour the option really paints, at its corner beyond the caption.
        auto painted = [](QWidget *option) {
            const QImage image = option->grab().toImage();
            return image.pixelColor(image.width() - 1, image.height() - 1);
        };
        qint16 examinationType = 0;
        connect(&w, &MainForm::examinationTypeChosen, this, [&](qint16 type) { examinationType = type; });
        w.examinationTypeOptions_Click(1);
        QCOMPARE(examinationType, qint16(2));
        QCOMPARE(painted(Child<QRadioButton>(w, u"Option1_0"_s)), QColor(Qt::red)); // not chosen
        QCOMPARE(painted(Child<QRadioButton>(w, u"Option1_1"_s)), QColor(Qt::green)); // chosen
        Child<QRadioButton>(w, u"Option1_0"_s)->click();
        QCOMPARE(examinationType, qint16(1));
        QCOMPARE(painted(Child<QRadioButton>(w, u"Option1_0"_s)), QColor(Qt::green));
        QCOMPARE(painted(Child<QRadioButton>(w, u"Option1_1"_s)), QColor(Qt::red));

        for (int i = 1; i <= 5; ++i)
            w.setStatusPanel(i, u"p%1"_s.arg(i));
        Child<QLineEdit>(w, u"txtSelected"_s)->setText(u"x"_s);
        Child<QLineEdit>(w, u"txtNeu"_s)->setText(u"y"_s);
        w.ClearInfoFields();
        for (int i = 1; i <= 4; ++i)
            QCOMPARE(w.statusPanel(i), QString());
        QCOMPARE(w.statusPanel(5), u"p5"_s);
        QVERIFY(Child<QLineEdit>(w, u"txtSelected"_s)->text().isEmpty() && Child<QLineEdit>(w, u"txtNeu"_s)->text().isEmpty());
    }

    void resizeRules()
    {
        MainForm w(prompter_);
        w.show();
        w.resize(1200, 900);
        QTRY_COMPARE(w.size(), QSize(1200, 900));
        const auto *grid = w.findChild<ToolkitViewer *>(u"dv1"_s);
        const auto *scroll = w.findChild<QScrollBar *>(u"dv1_vscroll"_s);
        const QPoint topLeft = grid->mapTo(&w, QPoint(0, 0));
        QCOMPARE(topLeft.x(), MainForm::ViewerLeft);
        QCOMPARE(grid->width(), 1200 - MainForm::ViewerLeft - 33);
        QCOMPARE(grid->height(), 900 - topLeft.y() - 100);
        QCOMPARE(scroll->mapTo(&w, QPoint(0, 0)), topLeft + QPoint(grid->width(), 0));
        QCOMPARE(scroll->height(), grid->height());
        w.close();
    }

    void loadPreparesTheStation()
    {
        QVERIFY(MakeStationDatabases(f_->path()));
        Settings.Database = u"journal/dosis.dat"_s;
        Settings.XrayComm = 4;
        SetDatabasePaths();
        f_->write(u"LumoraStation.ini"_s, "[%General]\nXrayComm=4\nDatabase=journal/dosis.dat\n");
        MainForm w(prompter_);
        QSignalSpy polling(&w, &MainForm::pollingRequested);
        QStringList order;
        connect(&w, &MainForm::filterLoadDue, this, [&] { order << u"filter"_s; });
        connect(&w, &MainForm::patientListRefreshDue, this, [&] { order << u"patients"_s; });
        connect(&w, &MainForm::doseListRefreshDue, this, [&] { order << u"exposures"_s; });
        connect(&w, &MainForm::partnersChanged, this, [&] { order << u"partners"_s; });
        connect(&w, &MainForm::taskListPrepareDue, this, [&] { order << u"tasks"_s; });
        w.Form_Load();
        QCOMPARE(order, (QStringList{"filter", "patients", "exposures", "partners", "tasks"}));
        QVERIFY(QueryValue(f_->file(u"journal/dosis.dat"_s), u"SELECT COUNT(*) FROM tblDosis"_s).isValid()); // made from the template
        QVERIFY(!Child<QPushButton>(w, u"cmdSelected"_s)->isEnabled());
        QCOMPARE(polling.size(), 1); // the polled unit is asked from the load on
        for (const char *dir : {"transfer", "temp", "bin"})
            QVERIFY(QFileInfo(f_->file(QLatin1String(dir))).isDir());
    }

    void loadWithoutTemplateLogsAndStops()
    {
        // No Data folder at all.
        Settings.Database = u"dosis.dat"_s;
        SetDatabasePaths();
        MainForm w(prompter_);
        bool reachedLists = false;
        connect(&w, &MainForm::patientListRefreshDue, this, [&] { reachedLists = true; });
        w.Form_Load();
        QVERIFY(!reachedLists);
        QVERIFY(f_->read(u"Logs/Error.log"_s).contains("Mainform Form_Load"));
    }

    void lowDiskSpaceWarnsAndKeepsImages()
    {
        f_->write(u"images/1.2.3/1.2.3.4.dcm"_s, "DICM");
        QVERIFY(CheckFreeSpace().ok()); // this machine has room
        const Result low = CheckFreeSpace(std::numeric_limits<qint64>::max());
        QCOMPARE(low.number, ErrorCode::OutOfSpace);
        QVERIFY(!low.text.isEmpty());
        QVERIFY(f_->read(u"Logs/Error.log"_s).contains("Mainform Form_Load"));
        QVERIFY(QFile::exists(f_->file(u"images/1.2.3/1.2.3.4.dcm"_s)));
    }

    // View > Protocols: each entry shows its own log, read-only, at its last
    // line; an empty debug log says how to switch it on.
    void logIsShownReadOnlyAtItsEnd_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("log"); // written by the program's own writer, 300 lines
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("shown");
        QTest::newRow("errors") << u"mnuProtokollFehler"_s << u"error"_s << u"ErrorLogText"_s << u"299 something"_s;
        QTest::newRow("debug") << u"mnuProtokollDebug"_s << u"debug"_s << u"DebugLogText"_s << u"line 299 MainForm dbFill"_s;
        QTest::newRow("debug, switched off") << u"mnuProtokollDebug"_s << QString() << u"DebugLogText"_s << u"\"Activate debug logging\""_s;
    }
    void logIsShownReadOnlyAtItsEnd()
    {
        QFETCH(QString, entry);
        QFETCH(QString, log);
        QFETCH(QString, view);
        QFETCH(QString, shown);
        Settings.Debug = log == u"debug"_s ? 1 : 0;
        QByteArray lines;
        for (int i = 0; i < 300; ++i) {
            if (log == u"error"_s)
                lines += "06.12.2026 10:00:00 " + QByteArray::number(i) + " something MainForm LoadStudy\r\n";
            else if (log == u"debug"_s)
                WriteDebugLog(u"line %1 "_s.arg(i), u"MainForm dbFill"_s);
        }
        if (!lines.isEmpty())
            f_->write(u"Logs/Error.log"_s, lines);
        MainForm w(prompter_);
        w.action(entry)->trigger();
        auto *text = w.findChild<QPlainTextEdit *>(view);
        QVERIFY(text);
        QVERIFY(text->isReadOnly());
        QVERIFY2(text->toPlainText().contains(shown), qPrintable(text->toPlainText().right(200)));
        QVERIFY(text->textCursor().atEnd());
        QVERIFY(text->window()->isVisible());
    }

    // A link that is down shows red on the toolbar, whose own style sheet
    // must not cover the warning.
    void linkDownShowsRed()
    {
        MainForm w(prompter_);
        w.resize(1280, 960);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        LinkMonitor links;
        links.serialOpen = [] { return false; };
        links.serialError = [] { return u"cannot be opened"_s; };
        links.reopenSerial = [] {};
        links.check();
        QVERIFY(!links.receiver().up);
        w.showLinks(links);
        auto *receiver = Child<QLabel>(w, u"receiverLink"_s);
        const auto background = [receiver] { return receiver->grab().toImage().pixelColor(3, receiver->height() / 2); };
        QCOMPARE(background(), QColor(Qt::red));
    }

    void exitStopsCompanionsWhenAsked()
    {
        for (const char *name : {ReceiverName, DataManagerName})
            QVERIFY(!InstallIdleProgram(f_->path(), QString::fromLatin1(name)).isEmpty());
        Settings.IR_Port = u"11112"_s;
        MainForm w(prompter_);
        w.companions().startReceiver();
        w.companions().startDataManager();
        const qint64 receiver = w.companions().receiverId(), manager = w.companions().dataManagerId();
        QTRY_VERIFY(IsProcessAlive(receiver) && IsProcessAlive(manager));
        bool viewerEmptied = false;
        connect(&w, &MainForm::exitStarted, this, [&] { viewerEmptied = true; });
        Settings.StopService = 0;
        w.mnuDateiBeenden_Click();
        QVERIFY(viewerEmptied);
        QVERIFY(IsProcessAlive(receiver) && IsProcessAlive(manager)); // kept: StopService is 0

        MainForm w2(prompter_);
        w2.companions().startMissing(); // its load finds them running
        QCOMPARE(w2.companions().receiverId(), receiver);
        Settings.StopService = 1;
        w2.toolButton(u"exit"_s)->trigger();
        QVERIFY(!w2.isEnabled()); // no input while the companions end; nothing waits for them
        QTRY_VERIFY(!IsProcessAlive(receiver) && !IsProcessAlive(manager));
        QCOMPARE(w2.companions().receiverId(), qint64(0));
        QTRY_VERIFY(w2.isEnabled()); // then the exit went on
    }
};

LUMORA_WIDGETS_TEST_MAIN(MainFormTest, 1280, 1024)
#include "tst_mainform.moc"
