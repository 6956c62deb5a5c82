// The error and debug logs: line formats, rotation at the size boundary,
// folders that cannot be written, and appends from several processes at once.
#include "core/ErrorLog.h"
#include "support/Peers.h"
#include "support/Station.h"

#include <sys/wait.h>
#include <unistd.h>

class LogTest : public QObject {
    Q_OBJECT

    // Rotated logs: <prefix><yyyyMMddHHmmss>.log
    static QStringList rotated(const TestFolder &f, const QString &prefix)
    {
        return QDir(f.file(u"Logs"_s)).entryList({prefix + u"[0-9]"_s.repeated(14) + u".log"_s}, QDir::Files);
    }

private slots:
    void lineFormats()
    {
        TestFolder f;
        WriteErrorLog(91, u"x"_s, u"y"_s);
        WriteErrorLog(-2147217900, u"Syntax error"_s, u"MainForm LoadStudy"_s);
        const QList<QByteArray> lines = f.read(u"Logs/Error.log"_s).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[1].endsWith("-2147217900 Syntax errorMainForm LoadStudy\r"));
        QVERIFY(!lines[1].contains(" -2147217900"));
        QVERIFY(lines[2].isEmpty());
        // The line starts with the local date and time; a positive number has a leading space.
        QVERIFY2(QRegularExpression(u"^\\d.*\\d{2}:\\d{2}:\\d{2} 91 xy\r$"_s).match(QString::fromUtf8(lines[0])).hasMatch(),
                 lines[0].constData());

        // The debug log joins its two texts, and goes to its own file.
        TestFolder g;
        WriteDebugLog(u"Initialise_cPort"_s, u"Port Open False"_s);
        const QByteArray debug = g.read(u"Logs/Debug.log"_s);
        QVERIFY2(QRegularExpression(u"^\\d.*\\d{2}:\\d{2}:\\d{2}Initialise_cPortPort Open False\r\n$"_s).match(QString::fromUtf8(debug)).hasMatch(),
                 debug.constData());
        QVERIFY(!QFile::exists(g.file(u"Logs/Error.log"_s)));
    }

    void rotationBoundary_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::newRow("debug") << u"debug"_s;
        QTest::newRow("error") << u"error"_s;
    }
    void rotationBoundary()
    {
        QFETCH(QString, prefix);
        TestFolder f;
        const bool errorLog = prefix == "error"_L1;
        const auto write = [&] { errorLog ? WriteErrorLog(5, u"next"_s, u" here"_s) : WriteDebugLog(u"next"_s, u" here"_s); };
        const QString logFile = errorLog ? u"Logs/Error.log"_s : u"Logs/Debug.log"_s;

        // Exactly the limit: not rotated, the line is appended.
        f.write(logFile, QByteArray(int(LogRotateSize), 'a'));
        write();
        QVERIFY(rotated(f, prefix).isEmpty());
        const qint64 grown = QFileInfo(f.file(logFile)).size();
        QVERIFY(grown > LogRotateSize);

        // Above it: moved aside whole, the new line starts a fresh file.
        write();
        const QStringList moved = rotated(f, prefix);
        QCOMPARE(moved.size(), 1);
        QCOMPARE(QFileInfo(f.file(u"Logs/"_s + moved.first())).size(), grown);
        const QByteArray fresh = f.read(logFile);
        QCOMPARE(fresh.count("\r\n"), 1);
        QVERIFY(fresh.contains("next"));
        // The time stamp is the local time of the rotation.
        const QDateTime when = QDateTime::fromString(moved.first().mid(prefix.size(), 14), u"yyyyMMddHHmmss"_s);
        QVERIFY(when.isValid());
        QVERIFY(qAbs(when.secsTo(QDateTime::currentDateTime())) < 120);

        // A rotated file of the same second is never replaced: the line goes on the current file.
        f.write(logFile, QByteArray(int(LogRotateSize) + 1, 'b'));
        const QDateTime now = QDateTime::currentDateTime();
        QStringList taken;
        for (int s = 0; s < 30; ++s) {
            taken << u"Logs/%1%2.log"_s.arg(prefix, now.addSecs(s).toString(u"yyyyMMddHHmmss"_s));
            f.write(taken.last(), "rotated before");
        }
        write();
        for (const QString &name : taken)
            QCOMPARE(f.read(name), QByteArray("rotated before"));
        const QByteArray kept = f.read(logFile);
        QVERIFY(kept.startsWith(QByteArray(int(LogRotateSize) + 1, 'b')) && kept.endsWith("next here\r\n"));
    }

    void existingLogIsFoundWithoutRegardToCase()
    {
        TestFolder f;
        f.write(u"Logs/debug.log"_s, "old\r\n");
        WriteDebugLog(u"a"_s, u"b"_s);
        QVERIFY(!QFile::exists(f.file(u"Logs/Debug.log"_s)));
        QCOMPARE(f.read(u"Logs/debug.log"_s).count("\r\n"), 2);

        f.write(u"Logs/ERROR.LOG"_s, QByteArray(int(LogRotateSize) + 1, 'e'));
        WriteErrorLog(1, u"d"_s, u"l"_s);
        QCOMPARE(rotated(f, u"error"_s).size(), 1);
        QCOMPARE(f.read(u"Logs/Error.log"_s).count("\r\n"), 1);
    }

    // The Logs folder being made is caught by lineFormats, which starts without it.
    void unwritableLogsAreIgnored()
    {
        // "Logs" as a plain file: nothing can be created below it; no crash, no throw.
        TestFolder g;
        g.write(u"Logs"_s, "not a folder");
        WriteErrorLog(2, u"lost"_s, u" y"_s);
        WriteDebugLog(u"lost"_s, QString());
        QCOMPARE(g.read(u"Logs"_s), QByteArray("not a folder"));

        // Error.log as a folder: the append fails quietly.
        TestFolder h;
        QDir().mkpath(h.file(u"Logs/Error.log"_s));
        WriteErrorLog(3, u"lost"_s, u" z"_s);
        QVERIFY(QFileInfo(h.file(u"Logs/Error.log"_s)).isDir());
    }

    // The first account to write makes the log; the lines of a second account
    // of the site's group (the receiver service after a receiver run as
    // root) still arrive, and the log stays the group's.
    void secondAccountsLinesArrive()
    {
        if (::geteuid() != 0)
            QSKIP("acts as a second account through setpriv, which needs root (CI runs as root)");
        const UmaskScope site(0007);
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        const quint16 port = FreePort();
        WriteReceiverSettings(f, u"SITE"_s, QString::number(port));
        QVERIFY(MakeSiteFolder(f.path()));
        const auto listening = [&] { return f.read(u"Logs/Receiver.log"_s).count("listening on port"); };
        {
            CompanionProcess first(ReceiverProgram(), f.path());
            QVERIFY(first.start());
            QVERIFY(first.waitUntilAnswering(u"SITE"_s, port));
            QCOMPARE(first.terminate(), 0);
        }
        QCOMPARE(listening(), 1);
        CompanionProcess second(u"setpriv"_s, f.path(), {}, AsSiteAccount(SiteAccount::Service) << ReceiverProgram());
        QVERIFY(second.start());
        QVERIFY2(second.waitUntilAnswering(u"SITE"_s, port), second.process().readAll().constData());
        QCOMPARE(second.terminate(), 0);
        QVERIFY2(listening() == 2, f.read(u"Logs/Receiver.log"_s).constData());
        const QFile::Permissions mode = QFileInfo(f.file(u"Logs/Receiver.log"_s)).permissions();
        QVERIFY(mode & QFile::WriteGroup);
        QVERIFY(!(mode & (QFile::ReadOther | QFile::WriteOther)));
    }

    // A companion whose log cannot be opened says so on standard error, once
    // however many lines it loses.
    void companionSaysOnceThatItsLogIsLost_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("logName");
        QTest::newRow("receiver") << ReceiverProgram() << u"Receiver.log"_s;
        QTest::newRow("data manager") << DataMgrProgram() << u"DataMgr.log"_s;
    }
    void companionSaysOnceThatItsLogIsLost()
    {
        QFETCH(QString, program);
        QFETCH(QString, logName);
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        const quint16 port = FreePort();
        WriteReceiverSettings(f, u"RCV"_s, QString::number(port));
        const QString log = f.file(u"Logs/"_s + logName);
        QVERIFY(QDir().mkpath(log)); // a folder where the log should be
        CompanionProcess companion(program, f.path());
        QVERIFY(companion.start());
        QString said;
        // Started ("listening", "started") is its first lost line; stopped its last.
        const bool told = WaitFor([&] { return (said += QString::fromLocal8Bit(companion.process().readAll())).contains(log); }, 15000);
        QCOMPARE(companion.terminate(), 0);
        said += QString::fromLocal8Bit(companion.process().readAll());
        QVERIFY2(told, qPrintable(said));
        QCOMPARE(said.count(log), 1);
        QVERIFY(QFileInfo(log).isDir());
    }

    void appendsFromSeveralProcessesStayWhole()
    {
        TestFolder f;
        constexpr int kProcesses = 4, kLines = 400;
        QList<pid_t> writers;
        for (int p = 0; p < kProcesses; ++p) {
            const pid_t pid = fork(); // a writer process of its own
            if (pid == 0) {
                for (int i = 0; i < kLines; ++i)
                    WriteErrorLog(i, u"w%1:%2:"_s.arg(p).arg(i) + QString(200, u'x'), u" writer"_s);
                _exit(0);
            }
            QVERIFY(pid > 0);
            writers << pid;
        }
        for (pid_t pid : writers) {
            int status = -1;
            QCOMPARE(waitpid(pid, &status, 0), pid);
            QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const QList<QByteArray> lines = f.read(u"Logs/Error.log"_s).split('\n');
        QCOMPARE(lines.size(), kProcesses * kLines + 1);
        const QRegularExpression re(u"^.* (\\d+) w(\\d):(\\d+):x{200} writer\\r$"_s);
        QSet<QString> seen;
        for (int i = 0; i < lines.size() - 1; ++i) {
            const auto m = re.match(QString::fromUtf8(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].left(120).constData());
            QCOMPARE(m.captured(1), m.captured(3));
            seen.insert(m.captured(2) + u':' + m.captured(3));
        }
        QCOMPARE(seen.size(), kProcesses * kLines);
    }
};

QTEST_GUILESS_MAIN(LogTest)
#include "tst_logs.moc"
