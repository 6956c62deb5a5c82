// The options dialog: fields from the settings, the field rules, OK storing
// every field, and the serial-port options (Cancel: tst_startup).
#include "app/Companions.h"
#include "app/OptionForm.h"
#include "core/Settings.h"
#include "support/Peers.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QToolButton>
#include <QtTest>

class OptionFormTest : public QObject {
    Q_OBJECT

    // A stored value; "General/Key" stands in the file's [General] section,
    // QSettings' top level.
    static QString stored(const TestFolder &f, const QString &key)
    {
        QSettings s(f.file(QStringLiteral("LumoraStation.ini")), QSettings::IniFormat);
        return s.value(key.startsWith(QLatin1String("General/")) ? key.mid(8) : key).toString();
    }

private slots:
    void init() { ResetWorkstationState(); }

    void loadShowsTheSettings()
    {
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        f.write(QStringLiteral("LumoraStation.ini"),
                "[%General]\nRunAsClient=1\nDebug=1\nViewer_Rows=4\nXrayComm=4\nAutoWindow=1\nComputeWindow=1\n"
                "[Com]\nIR_AET=MAMMO1\nIR_Port=11112\n[ComPort]\nSpeed=6\nPort=3\nTime_Out_Start=7\n[Worklist]\nRemoteIP=10.1.1.1\n");
        OptionForm form;
        form.Form_Load();
        QVERIFY(form.chkClient->isChecked());
        QVERIFY(form.chkDebug->isChecked());
        QVERIFY(form.chkModify->isChecked()); // default 1
        QCOMPARE(form.txtRC[0]->text(), QStringLiteral("4"));
        QCOMPARE(form.txtRC[1]->text(), QStringLiteral("3"));
        QVERIFY(form.optGESeno->isChecked());
        QCOMPARE(form.txtIR[0]->text(), QStringLiteral("MAMMO1"));
        QCOMPARE(form.speedCombo->currentText(), QStringLiteral("9600"));
        QVERIFY(form.portOptions[2]->isChecked());
        QCOMPARE(form.timeOutStartBox->text(), QStringLiteral("7"));
        QCOMPARE(form.txtWorklist[2]->text(), QStringLiteral("10.1.1.1"));
        QVERIFY(!form.txtWidth->isEnabled()); // computed values: no fixed width
        // Any receiver on this machine counts, wherever it was started from.
        const bool running = FindProcess(QString::fromLatin1(ReceiverName)) != 0;
        QCOMPARE(form.txtStatus[0]->text(), running ? QStringLiteral("- started") : QStringLiteral("- stopped"));
        QCOMPARE(form.cmdStart[0]->isEnabled(), !running);
        QCOMPARE(form.cmdStop[0]->isEnabled(), running);
    }

    void fieldRules()
    {
        TestFolder f;
        OptionForm form;
        form.Form_Load();
        form.show();
        // The grid's up-down buttons keep one to ten.
        form.txtRC[0]->setText(QStringLiteral("10"));
        form.UpDown1Up[0]->click();
        QCOMPARE(form.txtRC[0]->text(), QStringLiteral("10"));
        form.UpDown1Down[0]->click();
        QCOMPARE(form.txtRC[0]->text(), QStringLiteral("9"));
        form.txtRC[1]->setText(QStringLiteral("1"));
        form.UpDown1Down[1]->click();
        QCOMPARE(form.txtRC[1]->text(), QStringLiteral("1"));
        form.UpDown1Up[1]->click();
        QCOMPARE(form.txtRC[1]->text(), QStringLiteral("2"));

        // The receiver port takes digits only, its title anything.
        form.txtIR[1]->clear();
        QTest::keyClicks(form.txtIR[1], QStringLiteral("1a1-1 1.2"));
        QCOMPARE(form.txtIR[1]->text(), QStringLiteral("11112"));
        QTest::keyClick(form.txtIR[1], Qt::Key_Backspace);
        QCOMPARE(form.txtIR[1]->text(), QStringLiteral("1111"));
        form.txtIR[0]->clear();
        QTest::keyClicks(form.txtIR[0], QStringLiteral("AE-1 x"));
        QCOMPARE(form.txtIR[0]->text(), QStringLiteral("AE-1 x"));

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
        form.txtRC[0]->setText(QStringLiteral("many"));
        form.txtRC[1]->setText(QStringLiteral("40"));
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
        form.chkClient->setChecked(true);
        form.txtdbPath->setText(QStringLiteral("/srv/dosis/journal.dat"));
        form.chkModify->setChecked(false);
        form.chkDebug->setChecked(true);
        form.chkKeepImages->setChecked(false);
        form.chkEditAndSend->setChecked(true);
        form.txtRC[0]->setText(QStringLiteral("5"));
        form.txtRC[1]->setText(QStringLiteral("4"));
        form.setColourField(form.txtBackground, 0x00102030);
        form.setColourField(form.txtMarker, 0x0000FF00);
        form.chkWindow->setChecked(true);
        form.chkAutoValue->setChecked(false);
        form.txtWidth->setText(QStringLiteral("4000"));
        form.txtCenter->setText(QStringLiteral("2000"));
        form.optLoradM4->click(); // the unit type reaches the record at once
        QCOMPARE(Settings.XrayComm, qint16(3));
        form.txtIR[0]->setText(QStringLiteral("STATION2"));
        form.txtIR[1]->setText(QStringLiteral("4104"));
        form.txtForPort->setText(QStringLiteral("4105"));
        form.chkStopSvr->setChecked(true);
        form.speedCombo->setCurrentIndex(6);
        form.parityCombo->setCurrentIndex(0);
        form.dataBitsCombo->setCurrentIndex(3);
        form.stopBitsCombo->setCurrentIndex(2);
        form.handshakeCombo->setCurrentIndex(1);
        form.portOptions[2]->click(); // Comm3
        form.timeOutStartBox->setText(QStringLiteral("12.7s"));
        form.timeOutEndBox->setText(QStringLiteral("abc"));
        for (int i = 0; i < 4; ++i)
            form.txtWorklist[i]->setText(QStringLiteral("W%1").arg(i));
        form.cmdOK->click();

        QCOMPARE(confirmed.count(), 1);
        QVERIFY(!form.isVisible());
        QCOMPARE(Settings.Port, qint16(3));
        QCOMPARE(Settings.ImagesPerPage, qint16(20));
        QCOMPARE(Settings.Time_Out_Start, qint16(12));
        QCOMPARE(Settings.Time_Out_End, qint16(0));
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
            const QString key = e.section(QLatin1Char('='), 0, 0);
            QCOMPARE(key + QLatin1Char('=') + stored(f, key), e);
        }
    }

    void portsThatOpenAreOffered()
    {
        TestFolder f;
        PtyPair pty;
        QVERIFY2(pty.ready(), "socat made no pty pair");
        QString ini = QStringLiteral("[ComPort]\n");
        for (int n = 1; n <= 8; ++n)
            ini += QStringLiteral("Device%1=%2\n").arg(n).arg(n == 3 ? pty.workstationEnd() : QStringLiteral("/nonexistent/tty%1").arg(n));
        f.write(QStringLiteral("LumoraStation.ini"), ini.toUtf8());
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
