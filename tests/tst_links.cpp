// The receiver and serial-line indicators: a receiver that could not listen or
// died, and a serial device that is missing and then appears.
#include "app/Companions.h"
#include "app/LinkStatus.h"
#include "core/Settings.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <QScopeGuard>
#include <QSerialPort>
#include <QTcpServer>

#include <csignal>
#include <unistd.h>

namespace {

// A port below 1024 that nothing listens on; 0 when none is free.
quint16 freePrivilegedPort()
{
    for (quint16 port = 1023; port > 900; --port) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::AnyIPv4, port))
            return port;
    }
    return 0;
}

} // namespace

class LinksTest : public QObject {
    Q_OBJECT

    Companions companions_;

    // A station whose receiver listens on the port, started as the workstation starts it.
    void prepare(const TestFolder &f, quint16 port)
    {
        QVERIFY(MakeStationDatabases(f.path()));
        QVERIFY(QFile::copy(ReceiverProgram(), f.file(u"LumoraReceiver"_s)));
        QFile::setPermissions(f.file(u"LumoraReceiver"_s), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        WriteReceiverSettings(f, u"LUMORA"_s, QString::number(port));
        ResetWorkstationState();
        LoadSettings();
    }

private slots:
    void cleanup() { companions_.stopReceiver(); }

    // The indicator names each port the receiver opens, the TLS one too.
    void receiverPortsText_data()
    {
        QTest::addColumn<int>("tls");
        QTest::addColumn<int>("plainPort");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain only") << 0 << 1 << u"port 11112"_s;
        QTest::newRow("TLS off, plain port setting ignored") << 0 << 0 << u"port 11112"_s;
        QTest::newRow("TLS beside plain") << 1 << 1 << u"port 11112, TLS port 2762"_s;
        QTest::newRow("TLS alone") << 1 << 0 << u"TLS port 2762"_s;
    }
    void receiverPortsText()
    {
        QFETCH(int, tls);
        QFETCH(int, plainPort);
        QFETCH(QString, text);
        SettingsRecord settings;
        settings.IR_Port = u"11112"_s;
        settings.IR_TLS_Port = u"2762"_s;
        settings.IR_TLS = qint16(tls);
        settings.IR_PlainPort = qint16(plainPort);
        QCOMPARE(ReceiverPortsText(settings), text);
    }

    void receiverThatCannotListenSaysWhy()
    {
        TestFolder f;
        const auto stopFirst = qScopeGuard([this] { companions_.stopReceiver(); }); // while the folder is there
        PortOccupant other;
        prepare(f, other.port());
        companions_.startReceiver();
        QVERIFY(companions_.receiverId() != 0);
        QVERIFY2(WaitFor([this] { return !IsProcessAlive(companions_.receiverId()); }, 15000), "the receiver listens on a port in use");
        const LinkState s = ReceiverLinkState();
        QVERIFY(!s.up);
        QCOMPARE(s.text, u"Receiver stopped – port %1 in use"_s.arg(other.port()));
        QVERIFY2(s.lastError.contains(QLatin1String("in use")), qPrintable(s.lastError));
    }

    void receiverKilledAndRestarted()
    {
        TestFolder f;
        const auto stopFirst = qScopeGuard([this] { companions_.stopReceiver(); }); // while the folder is there
        const quint16 port = FreePort();
        prepare(f, port);
        companions_.startReceiver();
        QVERIFY(WaitFor([] { return ReceiverLinkState().up; }, 15000));
        QCOMPARE(ReceiverLinkState().text, u"Receiver: port %1"_s.arg(port));
        ::kill(static_cast<pid_t>(companions_.receiverId()), SIGKILL);
        QVERIFY(WaitFor([] { return !ReceiverLinkState().up; }, 15000));
        QCOMPARE(ReceiverLinkState().text, u"Receiver stopped – port %1"_s.arg(port));
        // Restarted from the options dialog: the indicator is clear again.
        companions_.startReceiver();
        QVERIFY(WaitFor([] { return ReceiverLinkState().up; }, 15000));
    }

    // The site's receiver service: a system user with nothing but
    // CAP_NET_BIND_SERVICE (granted by setpriv as the unit grants it) listens
    // on a port below 1024, and the workstation shows it as the service.
    void serviceReceiverOnPrivilegedPort_data()
    {
        QTest::addColumn<bool>("capability");
        QTest::newRow("with CAP_NET_BIND_SERVICE") << true;
        QTest::newRow("without the capability") << false;
    }

    void serviceReceiverOnPrivilegedPort()
    {
        if (::geteuid() != 0)
            QSKIP("runs the receiver as another user through setpriv, which needs root (CI runs as root)");
        QFETCH(bool, capability);
        TestFolder f;
        const quint16 port = freePrivilegedPort();
        QVERIFY(port != 0);
        prepare(f, port);
        QCOMPARE(RunProgram(u"chmod"_s, {u"-R"_s, u"a+rwX"_s, f.path()}), 0);
        QStringList args{u"--reuid=nobody"_s, u"--regid=nogroup"_s, u"--clear-groups"_s};
        if (capability)
            args << u"--inh-caps=+net_bind_service"_s << u"--ambient-caps=+net_bind_service"_s;
        CompanionProcess service(u"setpriv"_s, f.path(), {}, args << ReceiverProgram());
        QVERIFY(service.start());
        if (!capability) {
            QVERIFY(service.waitForExit(15000) != 0);
            QCOMPARE(ReceiverLinkState().text, u"Receiver stopped – port %1: permission denied"_s.arg(port));
            return;
        }
        QVERIFY2(service.waitUntilAnswering(u"LUMORA"_s, port), service.process().readAll().constData());
        QCOMPARE(ReceiverLinkState().text, u"Receiver service: port %1"_s.arg(port));
        // The workstation starts next to it: it uses the service and leaves it running.
        companions_.startReceiver();
        QCOMPARE(companions_.receiverId(), service.process().processId());
        companions_.stopReceiver();
        QVERIFY(IsProcessAlive(service.process().processId()));
        QCOMPARE(f.read(u"LumoraReceiver.pid"_s).trimmed().toLongLong(), service.process().processId());
        QCOMPARE(service.terminate(), 0);
        QVERIFY(!QFile::exists(f.file(u"LumoraReceiver.pid"_s)));
    }

    void serialDeviceThatAppearsIsOpened()
    {
        TestFolder f;
        ResetWorkstationState();
        LoadSettings();
        const QString device = f.file(u"ttyXray"_s);
        Settings.Port = 1;
        Settings.ComDevice[0] = device;
        QSerialPort port;
        int reopened = 0;
        LinkMonitor links;
        links.serialOpen = [&] { return port.isOpen(); };
        links.serialError = [&] { return port.errorString(); };
        links.reopenSerial = [&] {
            ++reopened;
            port.setPortName(device);
            port.open(QIODevice::ReadWrite);
        };
        links.check();
        QVERIFY(!links.serial().up);
        QCOMPARE(links.serial().text, u"X-ray unit: %1 not found"_s.arg(device));
        QCOMPARE(reopened, 0);

        QProcess socat;
        socat.start(u"socat"_s, {u"pty,raw,echo=0,link="_s + device, u"pty,raw,echo=0"_s});
        QVERIFY(WaitFor([&] { return QFile::exists(device); }, 5000));
        links.check();
        QCOMPARE(reopened, 1);
        QVERIFY(links.serial().up);
        QCOMPARE(links.serial().text, u"X-ray unit: %1"_s.arg(device));
        port.close();
        socat.terminate();
        socat.waitForFinished(3000);
    }
};

QTEST_GUILESS_MAIN(LinksTest)
#include "tst_links.moc"
