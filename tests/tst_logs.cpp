// The error and debug logs: line formats, rotation at the size boundary,
// folders that cannot be written, and appends from several processes at once.
#include "core/ErrorLog.h"
#include "support/Station.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

class LogTest : public QObject {
    Q_OBJECT

    // Rotated logs: <prefix><yyyyMMddHHmmss>.log
    static QStringList rotated(const TestFolder &f, const QString &prefix)
    {
        return QDir(f.file(QStringLiteral("Logs"))).entryList({prefix + QStringLiteral("[0-9]").repeated(14) + QStringLiteral(".log")}, QDir::Files);
    }

private slots:
    void lineFormats()
    {
        TestFolder f;
        WriteErrorLog(91, QStringLiteral("x"), QStringLiteral("y"));
        WriteErrorLog(-2147217900, QStringLiteral("Syntax error"), QStringLiteral("MainForm LoadStudy"));
        const QList<QByteArray> lines = f.read(QStringLiteral("Logs/Error.log")).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[1].endsWith("-2147217900 Syntax errorMainForm LoadStudy\r"));
        QVERIFY(!lines[1].contains(" -2147217900"));
        QVERIFY(lines[2].isEmpty());
        // The line starts with the local date and time; a positive number has a leading space.
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d.*\\d{2}:\\d{2}:\\d{2} 91 xy\r$")).match(QString::fromUtf8(lines[0])).hasMatch(),
                 lines[0].constData());

        // The debug log joins its two texts, and goes to its own file.
        TestFolder g;
        WriteDebugLog(QStringLiteral("Initialise_cPort"), QStringLiteral("Port Open False"));
        const QByteArray debug = g.read(QStringLiteral("Logs/Debug.log"));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d.*\\d{2}:\\d{2}:\\d{2}Initialise_cPortPort Open False\r\n$")).match(QString::fromUtf8(debug)).hasMatch(),
                 debug.constData());
        QVERIFY(!QFile::exists(g.file(QStringLiteral("Logs/Error.log"))));
    }

    void rotationBoundary_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<bool>("errorLog");
        QTest::newRow("debug") << "Debug.log" << "debug" << false;
        QTest::newRow("error") << "Error.log" << "error" << true;
    }
    void rotationBoundary()
    {
        QFETCH(QString, current);
        QFETCH(QString, prefix);
        QFETCH(bool, errorLog);
        TestFolder f;
        auto write = [&] {
            if (errorLog)
                WriteErrorLog(5, QStringLiteral("next"), QStringLiteral(" here"));
            else
                WriteDebugLog(QStringLiteral("next"), QStringLiteral(" here"));
        };
        const QString logFile = QStringLiteral("Logs/") + current;

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
        QCOMPARE(QFileInfo(f.file(QStringLiteral("Logs/") + moved.first())).size(), grown);
        const QByteArray fresh = f.read(logFile);
        QCOMPARE(fresh.count("\r\n"), 1);
        QVERIFY(fresh.contains("next"));
        // The time stamp is the local time of the rotation.
        const QString stamp = moved.first().mid(prefix.size(), 14);
        const QDateTime when = QDateTime::fromString(stamp, QStringLiteral("yyyyMMddHHmmss"));
        QVERIFY(when.isValid());
        QVERIFY(qAbs(when.secsTo(QDateTime::currentDateTime())) < 120);

        // A rotated file of the same second is never replaced: the line goes on the current file.
        f.write(logFile, QByteArray(int(LogRotateSize) + 1, 'b'));
        const QDateTime now = QDateTime::currentDateTime();
        QStringList taken;
        for (int s = 0; s < 30; ++s) {
            taken << QStringLiteral("Logs/%1%2.log").arg(prefix, now.addSecs(s).toString(QStringLiteral("yyyyMMddHHmmss")));
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
        f.write(QStringLiteral("Logs/debug.log"), "old\r\n");
        WriteDebugLog(QStringLiteral("a"), QStringLiteral("b"));
        QVERIFY(!QFile::exists(f.file(QStringLiteral("Logs/Debug.log"))));
        QCOMPARE(f.read(QStringLiteral("Logs/debug.log")).count("\r\n"), 2);

        f.write(QStringLiteral("Logs/ERROR.LOG"), QByteArray(int(LogRotateSize) + 1, 'e'));
        WriteErrorLog(1, QStringLiteral("d"), QStringLiteral("l"));
        QCOMPARE(rotated(f, QStringLiteral("error")).size(), 1);
        QCOMPARE(f.read(QStringLiteral("Logs/Error.log")).count("\r\n"), 1);
    }

    // The Logs folder being made is caught by lineFormats, which starts without it.
    void unwritableLogsAreIgnored()
    {
        // "Logs" as a plain file: nothing can be created below it; no crash, no throw.
        TestFolder g;
        g.write(QStringLiteral("Logs"), "not a folder");
        WriteErrorLog(2, QStringLiteral("lost"), QStringLiteral(" y"));
        WriteDebugLog(QStringLiteral("lost"), QString());
        QCOMPARE(g.read(QStringLiteral("Logs")), QByteArray("not a folder"));

        // Error.log as a folder: the append fails quietly.
        TestFolder h;
        QDir().mkpath(h.file(QStringLiteral("Logs/Error.log")));
        WriteErrorLog(3, QStringLiteral("lost"), QStringLiteral(" z"));
        QVERIFY(QFileInfo(h.file(QStringLiteral("Logs/Error.log"))).isDir());
    }

    void appendsFromSeveralProcessesStayWhole()
    {
        TestFolder f;
        const QString writer = TestBinDir() + QStringLiteral("/lumora-test-logwriter");
        QVERIFY(QFile::exists(writer));
        constexpr int kProcesses = 4;
        constexpr int kLines = 400;
        QProcess procs[kProcesses];
        for (int p = 0; p < kProcesses; ++p)
            procs[p].start(writer, {QStringLiteral("w%1").arg(p), QString::number(kLines)});
        for (QProcess &proc : procs) {
            QVERIFY(proc.waitForFinished(60000));
            QCOMPARE(proc.exitCode(), 0);
        }
        const QList<QByteArray> lines = f.read(QStringLiteral("Logs/Error.log")).split('\n');
        QCOMPARE(lines.size(), kProcesses * kLines + 1);
        const QRegularExpression re(QStringLiteral("^.* (\\d+) w(\\d):(\\d+):x{200} LogWriter main\\r$"));
        QSet<QString> seen;
        for (int i = 0; i < lines.size() - 1; ++i) {
            const auto m = re.match(QString::fromUtf8(lines[i]));
            QVERIFY2(m.hasMatch(), lines[i].left(120).constData());
            QCOMPARE(m.captured(1), m.captured(3));
            seen.insert(m.captured(2) + QLatin1Char(':') + m.captured(3));
        }
        QCOMPARE(seen.size(), kProcesses * kLines);
    }
};

QTEST_GUILESS_MAIN(LogTest)
#include "tst_logs.moc"
