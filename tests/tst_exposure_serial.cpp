// The serial link and the decoding frame with a real pseudo-terminal pair:
// messages sent in pieces become one journal row and one list row each, the
// polled unit is answered, the exchange files, and the port's failures.
#include "core/WorkstationState.h"
#include "support/ExposureStation.h"
#include "support/Peers.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const QByteArray Sophie = "\x02SOPHIE V3\r\nName: 2005-03-17 10:22:31 W/Rh LCC AEC Grid 28kV 63mAs 1.25s 0 12kg 4.5cm 1.23 mGy\r\n";
const QByteArray Giotto = "\x02GIOTTO 10 28063 120 45 1.8\x03";
const QByteArray Lorad = "M4|0017|LCC|AEC|Mo/Mo|Grid|06.12.26|14:05|x|y|28 kV|z|63 mAs|a|b|c|d|120 N|e|f|g|1.23 mGy|4.5 cm";
const QByteArray Seno = "ABCDEF0\xb2" "8100 450ms12 45mm 0 DIGITAL\r\n"; // bit 7 set on one digit
const QByteArray Hfe = "SM 1000 V2.1\r\n0.98 mGy W/Rh 28 kV 80 mAs AEC\r\n 2 Grid 450LF ms 45 mm Comp 120 N\r\n*";

// Bytes waiting unread at a tty; -1 when it cannot be opened.
int waitingBytes(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    int n = -1;
    if (fd >= 0 && ::ioctl(fd, FIONREAD, &n) != 0)
        n = -1;
    if (fd >= 0)
        ::close(fd);
    return n;
}

} // namespace

class SerialLinkTest : public QObject {
    Q_OBJECT

    QDate today;

private:
    static void useUnit(ExposureFixture &f, qint16 unit, const QString &device)
    {
        Settings.XrayComm = unit;
        Settings.Port = 1;
        Settings.ComDevice[0] = device;
        f.c.lblCount->setText(QStringLiteral("O'Neill^Mary"));
        f.capture->setPollPauseMs(300);
    }

private slots:
    // A comma-decimal workstation with a two-digit-year short date.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void init()
    {
        ResetWorkstationState();
        CurrentProjection = QStringLiteral("L CC");
        // Messages carry today's date and the list shows today's rows: no case may straddle midnight.
        if (QTime::currentTime() > QTime(23, 59))
            QVERIFY(WaitFor([d = QDate::currentDate()] { return QDate::currentDate() != d; }, 61000));
        today = QDate::currentDate();
    }

    void endOfMessageTests()
    {
        QVERIFY(!ExposureCapture::MessageComplete(UnitSophie, QStringLiteral("1.2 mG")));
        QVERIFY(ExposureCapture::MessageComplete(UnitSophie, QStringLiteral("1.2 mGy")));
        QVERIFY(!ExposureCapture::MessageComplete(UnitSophie, QStringLiteral("1.2 MGY")));
        QVERIFY(ExposureCapture::MessageComplete(UnitGiotto, QStringLiteral("abc\x03")));
        QVERIFY(!ExposureCapture::MessageComplete(UnitGiotto, QStringLiteral("abc\x03x")));
        QVERIFY(ExposureCapture::MessageComplete(UnitLoradM4, QStringLiteral("4 cm")));
        QVERIFY(ExposureCapture::MessageComplete(UnitGESeno, QStringLiteral("xx CR yy")));
        QVERIFY(ExposureCapture::MessageComplete(UnitGESeno, QStringLiteral("DIGI")));
        QVERIFY(!ExposureCapture::MessageComplete(UnitGESeno, QStringLiteral("digital")));
        QVERIFY(ExposureCapture::MessageComplete(UnitHFE, QStringLiteral("*")));
        QVERIFY(!ExposureCapture::MessageComplete(7, QStringLiteral("mGy cm * DIGITAL\x03")));
    }

    void messagesInPiecesBecomeOneRowEach_data()
    {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QList<int>>("cuts"); // where the message is cut into pieces
        QTest::newRow("Sophie") << int(UnitSophie) << Sophie << QList<int>{20, int(Sophie.size()) - 22, int(Sophie.size()) - 2};
        QTest::newRow("Giotto") << int(UnitGiotto) << Giotto << QList<int>{5, 15};
        QTest::newRow("Lorad M4") << int(UnitLoradM4) << Lorad << QList<int>{30, 70};
        QTest::newRow("GE Senograph") << int(UnitGESeno) << Seno << QList<int>{7, 19};
        QTest::newRow("SM 1000") << int(UnitHFE) << Hfe << QList<int>{25, 55};
    }
    void messagesInPiecesBecomeOneRowEach()
    {
        QFETCH(int, unit);
        QFETCH(QByteArray, message);
        QFETCH(QList<int>, cuts);
        // The unit sends its own date; today's keeps the row in the list.
        message.replace("2005-03-17", today.toString(Qt::ISODate).toLatin1());
        QList<QByteArray> chunks;
        int from = 0;
        for (int cut : cuts << int(message.size())) {
            chunks << message.mid(from, cut - from);
            from = cut;
        }
        PtyPair pty;
        QVERIFY2(pty.ready(), "socat made no pty pair");
        ExposureFixture f;
        QVERIFY(f.ready);
        useUnit(f, qint16(unit), pty.workstationEnd());
        f.c.exposureBoxes[5]->setText(QStringLiteral("L CC"));
        f.capture->Initialise_cPort();
        QVERIFY(f.capture->port().isOpen());
        QVERIFY(f.c.SerTimer->isActive());
        if (unit == UnitGESeno)
            f.c.activateButton->click();
        // Sent bytes are handled once the port has read them and a tick has run since.
        int reads = 0, ticksSinceRead = 0;
        connect(&f.capture->port(), &QSerialPort::readyRead, [&] {
            ++reads;
            ticksSinceRead = 0;
        });
        connect(f.c.SerTimer, &QTimer::timeout, [&] { ++ticksSinceRead; });
        const auto sendAndWaitHandled = [&](const QByteArray &bytes) {
            const int before = reads;
            return pty.send(bytes) && WaitFor([&] { return reads > before && ticksSinceRead > 0; }, 4000);
        };

        for (int message = 1; message <= 2; ++message) {
            if (unit == UnitGESeno) {
                // The unit answers only when polled; a lone ACK is no message.
                QByteArray polled;
                QVERIFY(WaitFor([&] { polled += pty.received(); return polled.contains('\x05'); }, 4000));
                QVERIFY(sendAndWaitHandled("\x06"));
            }
            if (unit == UnitGiotto)
                f.c.exposureBoxes[5]->setText(QStringLiteral("L CC"));
            for (qsizetype i = 0; i + 1 < chunks.size(); ++i)
                QVERIFY(sendAndWaitHandled(chunks[i]));
            QVERIFY(pty.send(chunks.last()));
            // A doubled row of the first message shows when the second one's row arrives.
            QVERIFY2(WaitFor([&] { return f.journal().size() >= message; }, 5000), "no journal row");
            QCOMPARE(f.journal().size(), message);
            QCOMPARE(f.c.lvDosis->topLevelItemCount(), message);
            const QSqlRecord row = f.journal().last();
            QCOMPARE(row.value(QStringLiteral("KVP")).toString(), QStringLiteral("28"));
            QCOMPARE(row.value(QStringLiteral("Patname")).toString(), QStringLiteral("O'Neill^Mary"));
            QCOMPARE(row.value(QStringLiteral("Status")).toString(), QStringLiteral("0"));
            QVERIFY(!QFile::exists(f.folder.file(QStringLiteral("cInput.txt"))));
            const QByteArray done = f.folder.read(QStringLiteral("done.txt"));
            QCOMPARE(done.count(chunks.first()), 1); // this message, once
            QVERIFY(done.endsWith("\r\n"));
            QVERIFY(!done.contains('\x06')); // the lone ACK was no part of it
            QVERIFY(f.capture->buffer().trimmed().isEmpty()); // at most the CR LF after "mGy"
        }
        QCOMPARE(f.journal().last().value(QStringLiteral("Datum")).toString(), DbDate(today));
        if (unit == UnitGESeno) {
            QCOMPARE(f.journal()[0].value(QStringLiteral("Sonstiges")).toString(), QStringLiteral("R CC"));
            QCOMPARE(f.journal()[1].value(QStringLiteral("Sonstiges")).toString(), QStringLiteral("L CC"));
        }
        QVERIFY2(f.errorLog().isEmpty(), qPrintable(f.errorLog()));
    }

    void giottoWaitsForAProjection()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        useUnit(f, UnitGiotto, QString());
        f.capture->setBuffer(QString::fromLatin1(Giotto));
        f.c.SerTimer->start();
        f.capture->SerTimer_Tick();
        QCOMPARE(f.messages, QStringList{QStringLiteral("Please click on a Projection button first!")});
        QVERIFY(f.journal().isEmpty());
        QVERIFY(!f.c.SerTimer->isActive());
        QCOMPARE(f.capture->buffer(), QString::fromLatin1(Giotto) + QStringLiteral("\r\n"));
        // The projection button: the kept message is decoded with it.
        CurrentProjection = QStringLiteral("R MLO");
        f.c.exposureBoxes[5]->setText(CurrentProjection);
        f.capture->dbFill();
        QCOMPARE(f.journal().size(), 1);
        QCOMPARE(f.journal()[0].value(QStringLiteral("Sonstiges")).toString(), QStringLiteral("R MLO"));
        QVERIFY(f.c.exposureBoxes[5]->text().isEmpty());
        QVERIFY(f.c.SerTimer->isActive());
    }

    void exchangeFileLeftInPlaceCollectsTheNextMessage()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        useUnit(f, UnitSophie, QString());
        // A dropped file is taken by the decode-now button and ends as done.txt.
        f.folder.write(QStringLiteral("cInput.txt"), Sophie);
        f.c.decodeNowButton->click();
        QCOMPARE(f.journal().size(), 1);
        QCOMPARE(f.folder.read(QStringLiteral("done.txt")), Sophie);

        // done.txt that cannot be replaced: cInput.txt stays and collects the next message.
        QFile::remove(f.folder.file(QStringLiteral("done.txt")));
        f.folder.write(QStringLiteral("done.txt/keep"), "x");
        f.capture->setBuffer(QString::fromLatin1(Sophie));
        f.capture->SerTimer_Tick();
        QCOMPARE(f.journal().size(), 2);
        QVERIFY(f.errorLog().contains(QStringLiteral("MainForm dbFill")));
        f.capture->setBuffer(QString::fromLatin1(Sophie).replace(QStringLiteral("28kV"), QStringLiteral("35kV")));
        f.capture->SerTimer_Tick();
        QCOMPARE(f.journal().size(), 3);
        const QByteArray kept = f.folder.read(QStringLiteral("cInput.txt"));
        QCOMPARE(kept.count("Name:"), 2);
        QVERIFY(kept.startsWith(Sophie + "\r\n"));
        // Both messages were read as one text: the first one's values, one row.
        QCOMPARE(f.journal().last().value(QStringLiteral("KVP")).toString(), QStringLiteral("28"));
    }

    void frameCarriesTheDecoderStateAndMessages()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        useUnit(f, UnitGESeno, QString());
        Settings.Debug = 1;
        f.capture->setBuffer(QStringLiteral("ABCDEF028100 450ms12 45mm 0 DIGITAL"));
        f.capture->dbFill();
        Settings.Debug = 0;
        QCOMPARE(f.messages.size(), 3);
        QCOMPARE(f.messages.first(), QStringLiteral("KVP 28, MAS 100"));
        QCOMPARE(CurrentExposureTime, QStringLiteral("450"));
        QCOMPARE(ProjectionCounter, qint16(1));
        QCOMPARE(f.c.decoderTokenList->count(), 5);
        QCOMPARE(f.c.decoderTokenList->item(4)->text(), QStringLiteral("DIGITAL"));
        QCOMPARE(f.journal().size(), 1);
        QCOMPARE(f.c.lvDosis->topLevelItem(0)->text(8), QStringLiteral("R CC"));
    }

    void endlessNoiseIsDiscarded()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        useUnit(f, UnitHFE, QString());
        QString noise(ExposureCapture::MaxBufferLength, QLatin1Char('x'));
        f.capture->setBuffer(noise);
        f.capture->SerTimer_Tick();
        QCOMPARE(f.capture->buffer().size(), ExposureCapture::MaxBufferLength); // at the limit it is kept
        f.capture->setBuffer(noise + QStringLiteral("xx*"));
        f.c.SerTimer->start();
        f.capture->SerTimer_Tick();
        QVERIFY(f.capture->buffer().isEmpty());
        QVERIFY(f.c.txtcInput->toPlainText().isEmpty());
        QVERIFY(f.errorLog().contains(QStringLiteral("Ser_Timer")));
        QVERIFY(f.journal().isEmpty());
        QVERIFY(f.c.SerTimer->isActive());
    }

    void badValuesAreLoggedAndTheRowStillWritten()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        useUnit(f, UnitSophie, QString());
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        f.capture->setBuffer(QStringLiteral("Name: 2005-13-45 a b c d e 30kV 50mAs xs 0 heavykg 4.5cm 1 mGy"));
        f.capture->dbFill();
        QLocale::setDefault(before);
        const auto rows = f.journal();
        QCOMPARE(rows.size(), 1);
        QVERIFY(rows[0].value(QStringLiteral("Datum")).isNull());
        QCOMPARE(rows[0].value(QStringLiteral("KVP")).toString(), QStringLiteral("30"));
        QCOMPARE(rows[0].value(QStringLiteral("Druck")).toString(), QString());
        QCOMPARE(rows[0].value(QStringLiteral("Dicke")).toString(), QStringLiteral("45"));
        const QString log = f.errorLog();
        QCOMPARE(log.count(QStringLiteral("MainForm dbFill")), 3); // date, exposure time, compression
        // The row is not today's: the list stays empty.
        QCOMPARE(f.c.lvDosis->topLevelItemCount(), 0);

        // Without a journal nothing is written, the closing steps still run.
        QFile::remove(ResolveUserDatabasePath(Settings.Database));
        f.c.SerTimer->stop();
        f.capture->setBuffer(QString::fromLatin1(Sophie));
        f.capture->dbFill();
        QVERIFY(f.c.SerTimer->isActive());
        QVERIFY(!QFile::exists(ResolveUserDatabasePath(Settings.Database)));
    }

    void refusedLineSettingsStillOpenThePort()
    {
        PtyPair pty;
        QVERIFY2(pty.ready(), "socat made no pty pair");
        ExposureFixture f;
        QVERIFY(f.ready);
        useUnit(f, UnitSophie, pty.workstationEnd());
        Settings.Bit_Get = 0; // 4 data bits
        Settings.Bit_Put = 1; // 1.5 stop bits
        Settings.Flux = 3;    // RTS with XOn/XOff
        QCOMPARE(ExposureCapture::LineSettingsText(), QStringLiteral("4800,N,4,1.5"));
        // A half-received message and bytes waiting at the port are dropped.
        f.capture->setBuffer(QStringLiteral("Name: 2005"));
        QVERIFY(pty.send("stale bytes"));
        QVERIFY(WaitFor([&] { return waitingBytes(pty.workstationEnd()) == 11; }, 4000));
        f.capture->Initialise_cPort();
        QVERIFY(f.capture->port().isOpen());
        QVERIFY(f.c.SerTimer->isActive());
        QCOMPARE(f.errorLog().count(QStringLiteral("Initialise_cPort")), 3);
        QVERIFY(f.capture->buffer().isEmpty());
        QVERIFY(pty.send("fresh"));
        QVERIFY(WaitFor([&] { return f.capture->buffer().contains(QStringLiteral("fresh")); }, 4000));
        QCOMPARE(f.capture->buffer(), QStringLiteral("fresh"));

        // Defaults and debug mode: the port reports its line settings.
        LoadSettings();
        Settings.Debug = 1;
        Settings.ComDevice[0] = pty.workstationEnd();
        f.capture->Initialise_cPort();
        const QString debug = QString::fromLatin1(f.folder.read(QStringLiteral("Logs/Debug.log")));
        QVERIFY2(debug.contains(QStringLiteral("Initialize_cPort 4800,N,8,1")), qPrintable(debug));
        QVERIFY(debug.contains(QStringLiteral("Initialise_cPort Port Open True")));
        Settings.Debug = 0;
    }

    void portThatDoesNotOpenIsOnlyNoted()
    {
        ExposureFixture f;
        QVERIFY(f.ready);
        useUnit(f, UnitGESeno, f.folder.file(QStringLiteral("no-such-tty")));
        f.capture->Initialise_cPort();
        QVERIFY(!f.capture->port().isOpen());
        QVERIFY(f.c.SerTimer->isActive());
        const QString debug = QString::fromLatin1(f.folder.read(QStringLiteral("Logs/Debug.log")));
        QVERIFY(debug.contains(QStringLiteral("Initialise_cPort")) && debug.contains(QStringLiteral("Port Open False")));
        f.capture->sendTimer_Tick(); // logged, nothing else
        f.capture->SerTimer_Tick();
        QVERIFY(f.journal().isEmpty());
        QVERIFY(f.errorLog().contains(QStringLiteral("sendTimer")));
    }
};

QTEST_MAIN(SerialLinkTest)
#include "tst_exposure_serial.moc"
