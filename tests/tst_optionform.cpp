// The options dialog: fields from the settings, the field rules, OK storing
// every field, and the serial-port options (Cancel: tst_startup).
#include "app/Companions.h"
#include "app/OptionForm.h"
#include "app/SerialPorts.h"
#include "core/Settings.h"
#include "support/Peers.h"
#include "support/Widgets.h"

#include <csignal>

class OptionFormTest : public QObject {
    Q_OBJECT

    RecordingPrompter prompter_; // the dialog's boxes

    // A stored value; "General/Key" stands in the file's [General] section,
    // QSettings' top level.
    static QString stored(const TestFolder &f, const QString &key)
    {
        QSettings s(f.file(u"LumoraStation.ini"_s), QSettings::IniFormat);
        return s.value(key.startsWith(QLatin1String("General/")) ? key.mid(8) : key).toString();
    }

private slots:
    void init()
    {
        ResetWorkstationState();
        prompter_.boxes.clear();
    }

    void loadShowsTheSettings()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        f.write(u"LumoraStation.ini"_s,
                "[%General]\nRunAsClient=1\nDebug=1\nViewer_Rows=4\nXrayComm=4\nAutoWindow=1\nComputeWindow=1\n"
                "[Com]\nIR_AET=MAMMO1\nIR_Port=11112\n[ComPort]\nSpeed=6\nPort=3\nTime_Out_Start=7\n[Worklist]\nRemoteIP=10.1.1.1\n");
        OptionForm form(prompter_);
        form.Form_Load();
        // Modify Image Header by its default 1.
        for (const QString &name : {u"chkClient"_s, u"chkDebug"_s, u"chkModify"_s, u"optGESeno"_s, u"Option1_2"_s})
            QVERIFY2(Child<QAbstractButton>(form, name)->isChecked(), qPrintable(name));
        QStringList shown;
        for (const QString &name : {u"txtRC0"_s, u"txtRC1"_s, u"txtIR0"_s, u"Text1"_s, u"txtWorklist2"_s})
            shown << Child<QLineEdit>(form, name)->text();
        QCOMPARE(shown, (QStringList{"4", "2", "MAMMO1", "7", "10.1.1.1"}));
        QCOMPARE(Child<QComboBox>(form, u"Combo1"_s)->currentText(), u"9600"_s);
        QVERIFY(!Child<QLineEdit>(form, u"txtWidth"_s)->isEnabled()); // computed values: no fixed width
        // A receiver of another station on this machine is not this one's.
        QCOMPARE(Child<QLineEdit>(form, u"txtStatus0"_s)->text(), u"- stopped"_s);
        QVERIFY(Child<QPushButton>(form, u"cmdStart0"_s)->isEnabled() && !Child<QPushButton>(form, u"cmdStop0"_s)->isEnabled());
    }

    void fieldRules()
    {
        TestFolder f;
        OptionForm form(prompter_);
        form.Form_Load();
        form.show();
        const auto box = [&](const QString &name) { return Child<QLineEdit>(form, name); };
        const auto check = [&](const QString &name) { return Child<QCheckBox>(form, name); };
        // The grid's up-down buttons keep one to ten.
        const auto click = [&](const QString &button, int i, const QString &from) {
            box(u"txtRC%1"_s.arg(i))->setText(from);
            Child<QToolButton>(form, button + QString::number(i))->click();
            return box(u"txtRC%1"_s.arg(i))->text();
        };
        QCOMPARE(click(u"UpDown1Up"_s, 0, u"10"_s) + u'|' + click(u"UpDown1Down"_s, 0, u"10"_s), u"10|9"_s);
        QCOMPARE(click(u"UpDown1Down"_s, 1, u"1"_s) + u'|' + click(u"UpDown1Up"_s, 1, u"1"_s), u"1|2"_s);

        // The receiver port takes digits only, its title anything.
        QLineEdit *port = box(u"txtIR1"_s), *title = box(u"txtIR0"_s);
        port->clear();
        QTest::keyClicks(port, u"1a1-1 1.2"_s);
        QCOMPARE(port->text(), u"11112"_s);
        QTest::keyClick(port, Qt::Key_Backspace);
        QCOMPARE(port->text(), u"1111"_s);
        title->clear();
        QTest::keyClicks(title, u"AE-1 x"_s);
        QCOMPARE(title->text(), u"AE-1 x"_s);

        // The window fields follow their check boxes.
        QCheckBox *window = check(u"chkWindow"_s), *autoValue = check(u"chkAutoValue"_s);
        QLineEdit *width = box(u"txtWidth"_s), *center = box(u"txtCenter"_s);
        QVERIFY(!window->isChecked());
        QVERIFY(!autoValue->isVisible());
        QVERIFY(!width->isEnabled());
        window->click();
        QVERIFY(autoValue->isVisible());
        QVERIFY(width->isEnabled() && center->isEnabled());
        autoValue->click();
        QVERIFY(!width->isEnabled() && !center->isEnabled());
        window->click();
        QVERIFY(!autoValue->isVisible());
        window->click();
        QVERIFY(!width->isEnabled()); // compute values is still checked

        // OK with a grid field that is no number keeps the grid, with no checked port the port.
        box(u"txtRC0"_s)->setText(u"many"_s);
        box(u"txtRC1"_s)->setText(u"40"_s);
        for (int i = 0; i < 8; ++i)
            Child<QRadioButton>(form, u"Option1_%1"_s.arg(i))->setChecked(false);
        Child<QPushButton>(form, u"cmdOK"_s)->click();
        QCOMPARE(Settings.Viewer_Rows, qint16(2));
        QCOMPARE(Settings.Viewer_Columns, qint16(2));
        QCOMPARE(Settings.ImagesPerPage, qint16(4));
        QCOMPARE(Settings.Port, qint16(1));
    }

    void okStoresEveryField()
    {
        TestFolder f;
        OptionForm form(prompter_);
        QSignalSpy confirmed(&form, &OptionForm::confirmed);
        form.Form_Load();
        form.show();
        for (const QString &name : {u"chkClient"_s, u"chkDebug"_s, u"chkEditAndSend"_s, u"chkStopSvr"_s, u"chkWindow"_s})
            Child<QCheckBox>(form, name)->setChecked(true);
        for (const QString &name : {u"chkModify"_s, u"chkKeepImages"_s, u"chkAutoValue"_s})
            Child<QCheckBox>(form, name)->setChecked(false);
        const std::pair<const char16_t *, const char *> texts[] = {
            {u"txtdbPath", "/srv/dosis/journal.dat"}, {u"txtRC0", "5"}, {u"txtRC1", "4"}, {u"txtWidth", "4000"},
            {u"txtCenter", "2000"}, {u"txtIR0", "STATION2"}, {u"txtIR1", "4104"}, {u"txtForPort", "4105"},
            {u"Text1", "12.7s"}, {u"Text2", "abc"}, {u"txtWorklist0", "W0"}, {u"txtWorklist1", "W1"},
            {u"txtWorklist2", "W2"}, {u"txtWorklist3", "W3"}};
        for (const auto &[name, text] : texts)
            Child<QLineEdit>(form, QString::fromUtf16(name))->setText(QString::fromUtf8(text));
        const int indexes[] = {6, 0, 3, 2, 1}; // speed, parity, data bits, stop bits, handshake
        for (int i = 0; i < 5; ++i)
            Child<QComboBox>(form, u"Combo%1"_s.arg(i + 1))->setCurrentIndex(indexes[i]);
        form.setColourField(Child<QLineEdit>(form, u"txtBackground"_s), 0x00102030);
        form.setColourField(Child<QLineEdit>(form, u"txtMarker"_s), 0x0000FF00);
        Child<QRadioButton>(form, u"optLoradM4"_s)->click(); // the unit type reaches the record at once
        QCOMPARE(Settings.XrayComm, qint16(3));
        Child<QRadioButton>(form, u"Option1_2"_s)->click(); // Comm3
        Child<QPushButton>(form, u"cmdOK"_s)->click();

        QCOMPARE(confirmed.count(), 1);
        QVERIFY(!form.isVisible());
        QCOMPARE(Settings.ImagesPerPage, qint16(20));
        const QStringList expect{
            "General/RunAsClient=1", "General/Database=/srv/dosis/journal.dat", "General/ModifyImageHeader=0", "General/Debug=1",
            "General/SentAndKeep=0", "General/EditAndSend=1", "General/Viewer_Rows=5", "General/Viewer_Columns=4",
            "General/Viewer_bgColor=" + QString::number(0x00102030), "General/Viewer_fgColor=" + QString::number(0x0000FF00),
            "General/AutoWindow=1", "General/ComputeWindow=0", "General/CustomWidth=4000", "General/CustomCenter=2000",
            "General/StopService=1", "General/XrayComm=3", "Com/IR_AET=STATION2", "Com/IR_Port=4104", "Com/FOR_Port=4105",
            "Worklist/LocalAET=W0", "Worklist/RemoteAET=W1", "Worklist/RemoteIP=W2", "Worklist/RemotePort=W3",
            "ComPort/Speed=6", "ComPort/Parity=0", "ComPort/Bit_Get=3", "ComPort/Bit_Put=2", "ComPort/Flux=1",
            "ComPort/Port=3", "ComPort/Time_Out_Start=12", "ComPort/Time_Out_End=0"};
        for (const QString &e : expect) {
            const QString key = e.section(u'=', 0, 0);
            QCOMPARE(key + u'=' + stored(f, key), e);
        }
    }

    // Two stations on one machine, each with its own folder and receiver port.
    // The second, started beside the running first, starts, shows and stops
    // its own companions and never the first's.
    void secondStationBesideARunningOne()
    {
        const auto prepare = [](const TestFolder &f, quint16 port) {
            for (const QString &program : {ReceiverProgram(), DataMgrProgram()}) {
                const QString copy = f.file(QFileInfo(program).fileName());
                if (!QFile::copy(program, copy) || !QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
                    return false;
            }
            WriteReceiverSettings(f, u"LUMORA"_s, QString::number(port));
            ResetWorkstationState();
            LoadSettings();
            return MakeStationDatabases(f.path());
        };
        const auto alive = [](qint64 pid) { return pid > 0 && IsProcessAlive(pid); };
        const auto end = [](std::initializer_list<qint64> pids) {
            for (qint64 pid : pids)
                if (pid > 0)
                    ::kill(pid_t(pid), SIGTERM);
        };
        TestFolder first;
        const quint16 firstPort = FreePort();
        QVERIFY(prepare(first, firstPort));
        Companions firstStation;
        firstStation.startMissing();
        const qint64 firstReceiver = firstStation.receiverId(), firstManager = firstStation.dataManagerId();
        const auto endFirst = qScopeGuard([&] { end({firstReceiver, firstManager}); });
        QVERIFY(alive(firstReceiver) && alive(firstManager));
        QVERIFY(WaitFor([&] { return Echo(u"LUMORA"_s, firstPort) == 0; }, 15000));

        TestFolder second;
        const quint16 secondPort = FreePort();
        QVERIFY(prepare(second, secondPort));
        OptionForm form(prompter_); // at start-up, before the main window
        form.Form_Load();
        const auto status = [&] { return Child<QLineEdit>(form, u"txtStatus0"_s)->text() + Child<QLineEdit>(form, u"txtStatus1"_s)->text(); };
        QCOMPARE(status(), u"- stopped- stopped"_s);
        form.companions().startMissing(); // the main window's load
        const qint64 secondReceiver = form.companions().receiverId(), secondManager = form.companions().dataManagerId();
        const auto endSecond = qScopeGuard([&] { end({secondReceiver, secondManager}); });
        QVERIFY(alive(secondReceiver) && secondReceiver != firstReceiver);
        QVERIFY(alive(secondManager) && secondManager != firstManager);
        // Images sent to the second station reach its own folder.
        const QString image = second.file(u"in/view.dcm"_s);
        QVERIFY(WriteImage(FourViews().first(), image));
        QVERIFY(WaitFor([&] { return Echo(u"LUMORA"_s, secondPort) == 0; }, 15000));
        QByteArray out;
        QVERIFY2(Store(u"LUMORA"_s, secondPort, {image}, &out) == 0, out.constData());
        QTRY_COMPARE(CountRows(second.file(u"Data/LumoraData.dat"_s), u"tblReceive"_s), 1);

        form.RefreshCompanionStatus();
        QCOMPARE(status(), u"- started- started"_s);
        Child<QPushButton>(form, u"cmdStop0"_s)->click();
        QCOMPARE(status(), u"- stopping- started"_s); // nothing waits for it to go
        QVERIFY(WaitFor([&] { return !alive(secondReceiver); }, 5000));
        QTRY_COMPARE(status(), u"- stopped- started"_s); // said once the stop has seen it go
        QVERIFY(alive(firstReceiver));
        QCOMPARE(Echo(u"LUMORA"_s, firstPort), 0);
        Child<QPushButton>(form, u"cmdStop1"_s)->click();
        QCOMPARE(status(), u"- stopped- stopping"_s);
        QVERIFY(WaitFor([&] { return !alive(secondManager); }, 5000));
        QTRY_COMPARE(status(), u"- stopped- stopped"_s);
        QVERIFY(alive(firstManager));
    }

    // The port list from the settings' numbered devices and the machine's
    // serial devices as QSerialPortInfo describes them, passed in as data.
    void portChoices_data()
    {
        QTest::addColumn<QStringList>("opening");  // the devices that open
        QTest::addColumn<bool>("usbAdapter");      // the machine has /dev/ttyUSB0
        QTest::addColumn<QStringList>("captions"); // "slot|caption|opens"
        QTest::addColumn<int>("free");             // the number a new device goes behind
        QTest::newRow("nothing opens") << QStringList() << false << QStringList() << 1;
        QTest::newRow("Comm1 and Comm3 open") << QStringList{u"/dev/ttyS0"_s, u"/dev/ttyS2"_s} << false
                                              << QStringList{u"1|Comm1: /dev/ttyS0 (16550A, Serial)|1"_s, u"3|Comm3: /dev/ttyS2|1"_s} << 2;
        QTest::newRow("USB adapter that opens") << QStringList{u"/dev/ttyS0"_s, u"/dev/ttyUSB0"_s} << true
                                                << QStringList{u"1|Comm1: /dev/ttyS0 (16550A, Serial)|1"_s,
                                                               u"0|/dev/ttyUSB0 (FT232R USB UART, FTDI)|1"_s} << 2;
        QTest::newRow("USB adapter closed to this account") << QStringList() << true
                                                            << QStringList{u"0|/dev/ttyUSB0 (FT232R USB UART, FTDI): cannot be opened|0"_s} << 1;
        QTest::newRow("USB adapter behind Comm2") << QStringList{u"/dev/ttyUSB0"_s} << true
                                                  << QStringList{u"2|Comm2: /dev/ttyUSB0 (FT232R USB UART, FTDI)|1"_s} << 1;
    }
    void portChoices()
    {
        QFETCH(QStringList, opening);
        QFETCH(bool, usbAdapter);
        QFETCH(QStringList, captions);
        QFETCH(int, free);
        std::array<QString, 8> devices;
        for (int n = 0; n < 8; ++n)
            devices[size_t(n)] = u"/dev/ttyS%1"_s.arg(n);
        if (QString::fromUtf8(QTest::currentDataTag()).contains(u"Comm2"_s))
            devices[1] = u"/dev/ttyUSB0"_s;
        QList<SerialDevice> machine{{u"ttyS0"_s, u"/dev/ttyS0"_s, u"16550A"_s, u"Serial"_s, false},
                                    {u"ttyS1"_s, u"/dev/ttyS1"_s, QString(), QString(), false}};
        if (usbAdapter)
            machine << SerialDevice{u"ttyUSB0"_s, u"/dev/ttyUSB0"_s, u"FT232R USB UART"_s, u"FTDI"_s, true};
        const auto opens = [&opening](const QString &device) { return opening.contains(device); };
        QStringList shown;
        for (const PortChoice &c : PortChoices(devices, machine, opens))
            shown << u"%1|%2|%3"_s.arg(c.slot).arg(c.caption).arg(c.opens ? 1 : 0);
        QCOMPARE(shown, captions);
        QCOMPARE(FreePortSlot(devices, opens), free);
    }

    // A USB adapter chosen in the options goes behind the first number that
    // offers nothing; the stored setting reads as before (Port and DeviceN).
    void usbAdapterChosen()
    {
        TestFolder f;
        f.write(u"LumoraStation.ini"_s, "[ComPort]\nPort=1\nDevice1=/dev/ttyS0\n");
        OptionForm form(prompter_);
        form.serialDevices = [] { return QList<SerialDevice>{{u"ttyUSB0"_s, u"/dev/ttyUSB0"_s, u"FT232R USB UART"_s, u"FTDI"_s, true}}; };
        form.deviceOpens = [](const QString &device) { return device == u"/dev/ttyS0"_s || device == u"/dev/ttyUSB0"_s; };
        form.Form_Load();
        form.show();
        QVERIFY(Child<QRadioButton>(form, u"Option1_0"_s)->isChecked());
        QCOMPARE(Child<QRadioButton>(form, u"Option1_0"_s)->text(), u"Comm1: /dev/ttyS0"_s);
        QVERIFY(Child<QLabel>(form, u"lblPortHint"_s)->isHidden()); // the tab itself is not shown
        auto *usb = Child<QRadioButton>(form, u"optDevice0"_s);
        QCOMPARE(usb->text(), u"/dev/ttyUSB0 (FT232R USB UART, FTDI)"_s);
        usb->click();
        QVERIFY(usb->isChecked() && !Child<QRadioButton>(form, u"Option1_0"_s)->isChecked());
        Child<QPushButton>(form, u"cmdOK"_s)->click();
        QCOMPARE(stored(f, u"ComPort/Port"_s), u"2"_s);
        QCOMPARE(stored(f, u"ComPort/Device2"_s), u"/dev/ttyUSB0"_s);
        QCOMPARE(stored(f, u"ComPort/Device1"_s), u"/dev/ttyS0"_s); // Comm1 still means what it meant
        QCOMPARE(ComPortDevice(Settings.Port), u"/dev/ttyUSB0"_s);
        QVERIFY(prompter_.boxes.isEmpty());
    }

    // Where no port opens, the box says why and what to do instead of staying empty.
    void noPortGivesAHint()
    {
        TestFolder f;
        OptionForm form(prompter_);
        form.serialDevices = [] { return QList<SerialDevice>{}; };
        form.deviceOpens = [](const QString &) { return false; };
        form.Form_Load();
        form.show();
        for (int i = 0; i < 8; ++i)
            QVERIFY(Child<QRadioButton>(form, u"Option1_%1"_s.arg(i))->isHidden());
        auto *hint = Child<QLabel>(form, u"lblPortHint"_s);
        QVERIFY(!hint->isHidden()); // the tab itself is not shown
        QVERIFY2(hint->text().contains(u"No serial port can be opened"_s) && hint->text().contains(u"dialout"_s), qPrintable(hint->text()));
    }

    void portsThatOpenAreOffered()
    {
        TestFolder f;
        PtyPair pty;
        QVERIFY2(pty.ready(), "socat made no pty pair");
        QString ini = u"[ComPort]\n"_s;
        for (int n = 1; n <= 8; ++n)
            ini += u"Device%1=%2\n"_s.arg(n).arg(n == 3 ? pty.workstationEnd() : u"/nonexistent/tty%1"_s.arg(n));
        f.write(u"LumoraStation.ini"_s, ini.toUtf8());
        OptionForm form(prompter_);
        form.Form_Load();
        QCOMPARE(ComPortDevice(3), pty.workstationEnd());
        for (int i = 0; i < 8; ++i)
            QCOMPARE(!Child<QRadioButton>(form, u"Option1_%1"_s.arg(i))->isHidden(), i == 2); // the tab itself is not shown
        QVERIFY(OptionForm::PortTest(3));
        QVERIFY(!OptionForm::PortTest(4));
        QVERIFY(!OptionForm::PortTest(9));
    }
};

LUMORA_WIDGETS_TEST_MAIN(OptionFormTest, 1280, 1024)
#include "tst_optionform.moc"
