// Connections and the statement helper: open/close discipline, files that are
// missing, locked or not databases, bound values with apostrophes, error numbers.
#include "core/Settings.h"
#include "store/DatabasePaths.h"
#include "support/Station.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

class DatabaseTest : public QObject {
    Q_OBJECT

private:
    static QString schema(const QString &name)
    {
        QFile f(SourceDir() + QStringLiteral("/src/store/schema/") + name);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    static bool makeDosisDb(const QString &path)
    {
        if (!CreateDatabaseFile(path, nullptr))
            return false;
        Database db(QStringLiteral("make"), QStringLiteral("test"));
        db.setPath(path);
        if (!db.open())
            return false;
        const bool ok = ExecuteScript(db, schema(QStringLiteral("dosis.sql"))).ok;
        db.close();
        return ok;
    }

private slots:
    void openAndCloseOnlyChangeStateOnce()
    {
        TestFolder f;
        QVERIFY(makeDosisDb(f.file(QStringLiteral("u.dat"))));
        Database db(QStringLiteral("t1"), QStringLiteral("test"));
        db.setPath(f.file(QStringLiteral("u.dat")));
        QVERIFY(!db.isOpen());
        db.close(); // closing a closed connection does nothing
        QVERIFY(db.open());
        QVERIFY(db.open()); // opening an open one does nothing
        QVERIFY(db.isOpen());
        QVERIFY(Execute(db, QStringLiteral("SELECT COUNT(*) AS n FROM tblDosis")).ok);
        db.close();
        QVERIFY(!db.isOpen());
        db.close();
        QVERIFY(db.open()); // and again for the next operation
        db.close();
    }

    void statementOnClosedConnectionFails()
    {
        Database db(QStringLiteral("t2"), QStringLiteral("test"));
        const DbResult r = Execute(db, QStringLiteral("SELECT 1"));
        QVERIFY(!r.ok);
        QCOMPARE(r.errorNumber, DbNotOpenError);
        QVERIFY(!r.errorText.isEmpty());
    }

    void missingFileIsNeverCreated()
    {
        TestFolder f;
        Database db(QStringLiteral("t3"), QStringLiteral("test"));
        db.setPath(f.file(QStringLiteral("Data/none.dat")));
        QVERIFY(!db.open());
        QVERIFY(db.error().number != 0);
        QVERIFY(db.error().text.contains(QStringLiteral("none.dat")));
        QVERIFY(!QFile::exists(f.file(QStringLiteral("Data/none.dat"))));
        db.setPath(QString());
        QVERIFY(!db.open());
    }

    void fileThatIsNotADatabaseDoesNotOpen()
    {
        TestFolder f;
        f.write(QStringLiteral("junk.dat"), QByteArray(8192, 'J'));
        Database db(QStringLiteral("t4"), QStringLiteral("test"));
        db.setPath(f.file(QStringLiteral("junk.dat")));
        QVERIFY(!db.open());
        QVERIFY(!db.isOpen());
        QVERIFY2(db.error().text.contains(QStringLiteral("not a database")), qPrintable(db.error().text));
        QCOMPARE(f.read(QStringLiteral("junk.dat")), QByteArray(8192, 'J'));
    }

    void apostrophesAreStoredAndFound()
    {
        TestFolder f;
        QVERIFY(makeDosisDb(f.file(QStringLiteral("u.dat"))));
        Database db(QStringLiteral("t5"), QStringLiteral("test"));
        db.setPath(f.file(QStringLiteral("u.dat")));
        QVERIFY(db.open());
        const QString name = QStringLiteral("O'Brien^Mary'); DROP TABLE tblDosis; --");
        DbResult r = Execute(db, QStringLiteral("INSERT INTO tblDosis (KVP, Datum, Status, Patname) VALUES (?, ?, '0', ?)"),
                             {QStringLiteral("28"), DbDate(QDate(2026, 12, 6)), name});
        QVERIFY2(r.ok, qPrintable(r.errorText));
        QCOMPARE(r.rowsAffected, 1);
        QCOMPARE(r.lastInsertId.toInt(), 1);
        r = Execute(db, QStringLiteral("Select Distinct(Patname) from tblDosis where Datum = ? and Status <> '1'"),
                    {DbDate(QDate(2026, 12, 6))});
        QVERIFY(r.ok);
        QCOMPARE(r.rows.size(), 1);
        QCOMPARE(r.first(QStringLiteral("patname")).toString(), name); // names are case-insensitive
        r = Execute(db, QStringLiteral("Update tblDosis Set Status = '1', FKeyPatID = ?, Patname = ? Where ID = ?"),
                    {QStringLiteral("P'1"), name, 1});
        QVERIFY(r.ok);
        QCOMPARE(r.rowsAffected, 1);
        r = Execute(db, QStringLiteral("SELECT COUNT(*) AS n FROM tblDosis WHERE FKeyPatID = ?"), {QStringLiteral("P'1")});
        QCOMPARE(r.first(QStringLiteral("n")).toInt(), 1);
        QVERIFY(!r.first(QStringLiteral("nope")).isValid());
        db.close();
    }

    // Kept statements give each run its own values and rows, and hold no read
    // lock between runs: another connection can still truncate the log.
    void keptStatementsAreResetBetweenRuns()
    {
        TestFolder f;
        QVERIFY(makeDosisDb(f.file(QStringLiteral("u.dat"))));
        Database db(QStringLiteral("t8"), QStringLiteral("test"));
        db.setPath(f.file(QStringLiteral("u.dat")));
        db.setKeepStatements(true);
        QVERIFY(db.open());
        const QString insert = QStringLiteral("INSERT INTO tblDosis (KVP, Datum, Status, Patname) VALUES (?, ?, '0', ?)");
        for (const char *name : {"A", "B", "C"}) {
            const DbResult r = Execute(db, insert, {QStringLiteral("28"), DbDate(QDate(2026, 12, 6)), QLatin1String(name)});
            QVERIFY2(r.ok, qPrintable(r.errorText));
        }
        const QString select = QStringLiteral("SELECT Patname FROM tblDosis WHERE Patname >= ? ORDER BY Patname");
        QCOMPARE(Execute(db, select, {QStringLiteral("B")}).rows.size(), 2);
        QCOMPARE(Execute(db, select, {QStringLiteral("C")}).first(QStringLiteral("Patname")).toString(), QStringLiteral("C"));
        QVERIFY(!Execute(db, QStringLiteral("SELECT nope FROM tblDosis"), {}).ok);

        Database other(QStringLiteral("t8b"), QStringLiteral("test"));
        other.setPath(f.file(QStringLiteral("u.dat")));
        QVERIFY(other.open());
        const DbResult cp = Execute(other, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        QVERIFY2(cp.ok, qPrintable(cp.errorText));
        QCOMPARE(cp.rows.first().value(0).toInt(), 0); // not busy
        other.close();
        db.close();
        // Open again, the kept statements are prepared anew on the new connection.
        QVERIFY(db.open());
        QCOMPARE(Execute(db, select, {QStringLiteral("A")}).rows.size(), 3);
        db.close();
    }

    void failedStatementReportsNumberAndText()
    {
        TestFolder f;
        QVERIFY(makeDosisDb(f.file(QStringLiteral("u.dat"))));
        Database db(QStringLiteral("t6"), QStringLiteral("test"));
        db.setPath(f.file(QStringLiteral("u.dat")));
        QVERIFY(db.open());
        DbResult r = Execute(db, QStringLiteral("SELECT * FROM tblMissing"));
        QVERIFY(!r.ok);
        QVERIFY(r.errorNumber != 0);
        QVERIFY2(r.errorText.contains(QStringLiteral("tblMissing")), qPrintable(r.errorText));
        r = Execute(db, QStringLiteral("SELEKT 1"));
        QVERIFY(!r.ok);
        QVERIFY(r.errorNumber != 0);
        db.close();
    }

    void lockedDatabaseFailsTheStatementNotTheProgram()
    {
        TestFolder f;
        const QString path = f.file(QStringLiteral("u.dat"));
        QVERIFY(makeDosisDb(path));
        // Another writer holds the write lock.
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(path);
        QVERIFY(other.open());
        QSqlQuery lock(other);
        QVERIFY(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));

        Database db(QStringLiteral("t7"), QStringLiteral("test"));
        db.setPath(path);
        db.setBusyTimeout(200);
        QVERIFY(db.open());
        QVERIFY(Execute(db, QStringLiteral("SELECT COUNT(*) FROM tblDosis")).ok); // readers go on
        const DbResult r = Execute(db, QStringLiteral("INSERT INTO tblDosis (Status) VALUES ('0')"));
        QVERIFY(!r.ok);
        QCOMPARE(r.errorNumber % 256, 5); // SQLITE_BUSY
        QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
        QVERIFY(Execute(db, QStringLiteral("INSERT INTO tblDosis (Status) VALUES ('0')")).ok);
        db.close();
        lock = QSqlQuery();
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
    }

    void scriptStopsAtTheFirstFailure()
    {
        TestFolder f;
        const QString path = f.file(QStringLiteral("s.dat"));
        QVERIFY(CreateDatabaseFile(path, nullptr));
        Database db(QStringLiteral("t8"), QStringLiteral("test"));
        db.setPath(path);
        QVERIFY(db.open());
        const DbResult r = ExecuteScript(db, QStringLiteral("-- two tables\nCREATE TABLE a (x);\nCREATE TABLE a (y);\nCREATE TABLE b (z);\n"));
        QVERIFY(!r.ok);
        QVERIFY(Execute(db, QStringLiteral("SELECT x FROM a")).ok);
        QVERIFY(!Execute(db, QStringLiteral("SELECT z FROM b")).ok);
        db.close();
    }

    void processDatabasesFollowTheSettings()
    {
        TestFolder f;
        Settings = SettingsRecord();
        Settings.Database = QStringLiteral("LumoraData.dat");
        SetDatabasePaths();
        QCOMPARE(ImageDatabase.path(), f.file(QStringLiteral("Data/LumoraData.dat")));
        QCOMPARE(DefinitionsDatabase.path(), f.file(QStringLiteral("Data/LumoraUser.dat")));
        // A bare name is below the application folder, never the current directory,
        // and never the image database beside it.
        QCOMPARE(UserDatabase.path(), f.file(QStringLiteral("LumoraData.dat")));
        Settings.Database = QStringLiteral("/srv/dosis/journal.dat");
        SetDatabasePaths();
        QCOMPARE(UserDatabase.path(), QStringLiteral("/srv/dosis/journal.dat"));

        // Missing files: the image and definitions opens stay quiet and closed;
        // the user database reports.
        OpenImageDatabase();
        QVERIFY(!ImageDatabase.isOpen());
        QVERIFY(!Execute(ImageDatabase, QStringLiteral("SELECT Count(PatID) AS ReceiveCount FROM tblReceive")).ok);
        OpenDefinitionsDatabase();
        QVERIFY(!DefinitionsDatabase.isOpen());
        QVERIFY(!OpenUserDatabase());
        QVERIFY(!UserDatabase.error().text.isEmpty());

        Settings.Database = QStringLiteral("journal.dat");
        SetDatabasePaths();
        QVERIFY(makeDosisDb(f.file(QStringLiteral("journal.dat"))));
        QVERIFY(OpenUserDatabase());
        CloseAllDatabases();
        QVERIFY(!UserDatabase.isOpen());
    }

    void safeNames()
    {
        QVERIFY(IsSafeSqlName(QStringLiteral("MG")));
        QVERIFY(IsSafeSqlName(QStringLiteral("CR_2")));
        QVERIFY(!IsSafeSqlName(QStringLiteral("2D")));
        QVERIFY(!IsSafeSqlName(QStringLiteral("M G")));
        QVERIFY(!IsSafeSqlName(QStringLiteral("MG; DROP TABLE tblDictionary")));
        QVERIFY(!IsSafeSqlName(QString()));
        QVERIFY(!IsSafeSqlName(QStringLiteral("MG\n")));
        QVERIFY(!IsSafeSqlName(QStringLiteral("MG\nDROP")));
    }
};

QTEST_GUILESS_MAIN(DatabaseTest)
#include "tst_database.moc"
