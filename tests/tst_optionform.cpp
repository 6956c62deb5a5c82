// The options dialog: fields from the settings, the field rules, OK storing
// every field, and the serial-port options (Cancel: tst_startup).
#include "app/Companions.h"
#include "app/OptionForm.h"
#include "core/Settings.h"
#include "support/Peers.h"
#include "support/Widgets.h"

#include <csignal>

class OptionFormTest : public QObject {
    Q_OBJECT

    // A stored value; "General/Key" stands in the file's [General] section,
    // QSettings' top level.
    static QString stored(const TestFolder &f, const QString &key)
    {
        QSettings s(f.file(u"LumoraStation.ini"_s), QSettings::IniFormat);
        return s.value(key.startsWith(QLatin1String("General/")) ? key.mid(8) : key).toString();
    }

private slots:
    void init() { ResetWorkstationState(); }

    void loadShowsTheSettings()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        f.write(u"LumoraStation.ini"_s,
                "[%General]\nRunAsClient=1\nDebug=1\nViewer_Rows=4\nXrayComm=4\nAutoWindow=1\nComputeWindow=1\n"
                "[Com]\nIR_AET=MAMMO1\nIR_Port=11112\n[ComPort]\nSpeed=6\nPort=3\nTime_Out_Start=7\n[Worklist]\nRemoteIP=10.1.1.1\n");
        OptionForm form;
        form.Form_Load();
        // Modify Image Header by its default 1.
        const QList<QAbstractButton *> checked{form.chkClient, form.chkDebug, form.chkModify, form.optGESeno, form.portOptions[2]};
        for (QAbstractButton *b : checked)
            QVERIFY2(b->isChecked(), qPrintable(b->text()));
        QCOMPARE((QStringList{form.txtRC[0]->text(), form.txtRC[1]->text(), form.txtIR[0]->text(), form.speedCombo->currentText(),
                              form.timeOutStartBox->text(), form.txtWorklist[2]->text()}),
                 (QStringList{"4", "3", "MAMMO1", "9600", "7", "10.1.1.1"}));
        QVERIFY(!form.txtWidth->isEnabled()); // computed values: no fixed width
        // A receiver of another station on this machine is not this one's.
        QCOMPARE(form.txtStatus[0]->text(), u"- stopped"_s);
        QVERIFY(form.cmdStart[0]->isEnabled() && !form.cmdStop[0]->isEnabled());
    }

    void fieldRules()
    {
        TestFolder f;
        OptionForm form;
        form.Form_Load();
        form.show();
        // The grid's up-down buttons keep one to ten.
        const auto click = [&](const std::array<QToolButton *, 2> &buttons, int i, const QString &from) {
            form.txtRC[i]->setText(from);
            buttons[i]->click();
            return form.txtRC[i]->text();
        };
        QCOMPARE(click(form.UpDown1Up, 0, u"10"_s) + u'|' + click(form.UpDown1Down, 0, u"10"_s), u"10|9"_s);
        QCOMPARE(click(form.UpDown1Down, 1, u"1"_s) + u'|' + click(form.UpDown1Up, 1, u"1"_s), u"1|2"_s);

        // The receiver port takes digits only, its title anything.
        form.txtIR[1]->clear();
        QTest::keyClicks(form.txtIR[1], u"1a1-1 1.2"_s);
        QCOMPARE(form.txtIR[1]->text(), u"11112"_s);
        QTest::keyClick(form.txtIR[1], Qt::Key_Backspace);
        QCOMPARE(form.txtIR[1]->text(), u"1111"_s);
        form.txtIR[0]->clear();
        QTest::keyClicks(form.txtIR[0], u"AE-1 x"_s);
        QCOMPARE(form.txtIR[0]->text(), u"AE-1 x"_s);

        // The window fields follow their check boxes.
        QVERIFY(!form.chkWindow->isChecked());
        QVERIFY(!form.chkAutoValue->isVisible());
        QVERIFY(!form.txtWidth->isEnabled());
        form.chkWindow->click();
        QVERIFY(form.chkAutoValue->isVisible());
        QVERIFY(form.txtWidth->isEnabled() && form.txtCenter->isEnabled());
        form.chkAutoValue->click();
        QVERIFY(!form.txtWidth->isEnabled() && !form.txtCenter->isEnabled());
        form.chkWindow->click();
        QVERIFY(!form.chkAutoValue->isVisible());
        form.chkWindow->click();
        QVERIFY(!form.txtWidth->isEnabled()); // compute values is still checked

        // OK with a grid field that is no number keeps the grid, with no checked port the port.
        form.txtRC[0]->setText(u"many"_s);
        form.txtRC[1]->setText(u"40"_s);
        for (QRadioButton *b : form.portOptions)
            b->setChecked(false);
        form.cmdOK->click();
        QCOMPARE(Settings.Viewer_Rows, qint16(7));
        QCOMPARE(Settings.Viewer_Columns, qint16(3));
        QCOMPARE(Settings.ImagesPerPage, qint16(21));
        QCOMPARE(Settings.Port, qint16(1));
    }

    void okStoresEveryField()
    {
        TestFolder f;
        OptionForm form;
        QSignalSpy confirmed(&form, &OptionForm::confirmed);
        form.Form_Load();
        form.show();
        for (QCheckBox *box : {form.chkClient, form.chkDebug, form.chkEditAndSend, form.chkStopSvr, form.chkWindow})
            box->setChecked(true);
        for (QCheckBox *box : {form.chkModify, form.chkKeepImages, form.chkAutoValue})
            box->setChecked(false);
        const std::pair<QLineEdit *, const char *> texts[] = {
            {form.txtdbPath, "/srv/dosis/journal.dat"}, {form.txtRC[0], "5"}, {form.txtRC[1], "4"}, {form.txtWidth, "4000"},
            {form.txtCenter, "2000"}, {form.txtIR[0], "STATION2"}, {form.txtIR[1], "4104"}, {form.txtForPort, "4105"},
            {form.timeOutStartBox, "12.7s"}, {form.timeOutEndBox, "abc"}, {form.txtWorklist[0], "W0"}, {form.txtWorklist[1], "W1"},
            {form.txtWorklist[2], "W2"}, {form.txtWorklist[3], "W3"}};
        for (const auto &[box, text] : texts)
            box->setText(QString::fromUtf8(text));
        for (const auto &[combo, index] : {std::pair{form.speedCombo, 6}, {form.parityCombo, 0}, {form.dataBitsCombo, 3}, {form.stopBitsCombo, 2},
                                           {form.handshakeCombo, 1}})
            combo->setCurrentIndex(index);
        form.setColourField(form.txtBackground, 0x00102030);
        form.setColourField(form.txtMarker, 0x0000FF00);
        form.optLoradM4->click(); // the unit type reaches the record at once
        QCOMPARE(Settings.XrayComm, qint16(3));
        form.portOptions[2]->click(); // Comm3
        form.cmdOK->click();

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
        OptionForm form; // at start-up, before the main window
        form.Form_Load();
        QCOMPARE(form.txtStatus[0]->text() + form.txtStatus[1]->text(), u"- stopped- stopped"_s);
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
        QCOMPARE(form.txtStatus[0]->text() + form.txtStatus[1]->text(), u"- started- started"_s);
        form.cmdStop[0]->click();
        QVERIFY(WaitFor([&] { return !alive(secondReceiver); }, 5000));
        QCOMPARE(form.txtStatus[0]->text(), u"- stopped"_s);
        QVERIFY(alive(firstReceiver));
        QCOMPARE(Echo(u"LUMORA"_s, firstPort), 0);
        form.cmdStop[1]->click();
        QVERIFY(WaitFor([&] { return !alive(secondManager); }, 5000));
        QCOMPARE(form.txtStatus[1]->text(), u"- stopped"_s);
        QVERIFY(alive(firstManager));
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
        OptionForm form;
        form.Form_Load();
        QCOMPARE(ComPortDevice(3), pty.workstationEnd());
        for (int i = 0; i < 8; ++i)
            QCOMPARE(!form.portOptions[i]->isHidden(), i == 2); // the tab itself is not shown
        QVERIFY(OptionForm::PortTest(3));
        QVERIFY(!OptionForm::PortTest(4));
        QVERIFY(!OptionForm::PortTest(9));
    }
};

LUMORA_WIDGETS_TEST_MAIN(OptionFormTest, 1280, 1024)
#include "tst_optionform.moc"
