// Connections and the statement helper: open/close discipline, files that are
// missing, locked or not databases, bound values with apostrophes, error numbers.
#include "core/Settings.h"
#include "store/DatabasePaths.h"
#include "support/Station.h"

#include <QFile>
#include <QtTest>

class DatabaseTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    QString path_; // a journal database made from the shipped schema

    static bool makeDosisDb(const QString &path)
    {
        QFile schema(SourceDir() + QStringLiteral("/src/store/schema/dosis.sql"));
        if (!schema.open(QIODevice::ReadOnly) || !CreateDatabaseFile(path, nullptr))
            return false;
        Database db(QStringLiteral("make"), QStringLiteral("test"));
        db.setPath(path);
        const bool ok = db.open() && ExecuteScript(db, QString::fromUtf8(schema.readAll())).ok;
        db.close();
        return ok;
    }
    Database connection(const QString &name) const
    {
        Database db(name, QStringLiteral("test"));
        db.setPath(path_);
        return db;
    }
    static DbResult insertDose(Database &db, const QString &name)
    {
        return Execute(db, QStringLiteral("INSERT INTO tblDosis (KVP, Datum, Status, Patname) VALUES (?, ?, '0', ?)"),
                       {QStringLiteral("28"), DbDate(QDate(2026, 12, 6)), name});
    }

private slots:
    void init()
    {
        f_ = std::make_unique<TestFolder>();
        path_ = f_->file(QStringLiteral("u.dat"));
        QVERIFY(makeDosisDb(path_));
    }
    void cleanup() { f_.reset(); }

    void openAndCloseOnlyChangeStateOnce()
    {
        Database db = connection(QStringLiteral("t1"));
        QVERIFY(!db.isOpen());
        db.close(); // closing a closed connection does nothing
        QVERIFY(db.open());
        QVERIFY(db.open()); // opening an open one does nothing
        QVERIFY(db.isOpen());
        QVERIFY(Execute(db, QStringLiteral("SELECT COUNT(*) AS n FROM tblDosis")).ok);
        db.close();
        QVERIFY(!db.isOpen()); // opening again: keptStatementsAreResetBetweenRuns

        Database closed(QStringLiteral("t2"), QStringLiteral("test"));
        const DbResult r = Execute(closed, QStringLiteral("SELECT 1"));
        QVERIFY(!r.ok);
        QCOMPARE(r.errorNumber, DbNotOpenError);
        QVERIFY(!r.errorText.isEmpty());
    }

    // A missing file is never created; a file that is no database is left as it is.
    void filesThatDoNotOpen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::addColumn<QString>("error");
        QTest::newRow("missing") << "Data/none.dat" << QByteArray() << "none.dat";
        QTest::newRow("not a database") << "junk.dat" << QByteArray(8192, 'J') << "not a database";
        QTest::newRow("no path") << "" << QByteArray() << "";
    }
    void filesThatDoNotOpen()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        if (!content.isNull())
            f_->write(name, content);
        Database db(QStringLiteral("t3"), QStringLiteral("test"));
        db.setPath(name.isEmpty() ? QString() : f_->file(name));
        QVERIFY(!db.open());
        QVERIFY(!db.isOpen());
        QVERIFY2(db.error().text.contains(error), qPrintable(db.error().text));
        if (!name.isEmpty()) {
            QVERIFY(db.error().number != 0);
            QCOMPARE(QFile::exists(f_->file(name)), !content.isNull());
            QCOMPARE(f_->read(name), content);
        }
    }

    void apostrophesAreStoredAndFound()
    {
        Database db = connection(QStringLiteral("t5"));
        QVERIFY(db.open());
        const QString name = QStringLiteral("O'Brien^Mary'); DROP TABLE tblDosis; --");
        DbResult r = insertDose(db, name);
        QVERIFY2(r.ok, qPrintable(r.errorText));
        QCOMPARE(r.rowsAffected, 1);
        QCOMPARE(r.lastInsertId.toInt(), 1);
        r = Execute(db, QStringLiteral("Select Distinct(Patname) from tblDosis where Datum = ? and Status <> '1'"), {DbDate(QDate(2026, 12, 6))});
        QVERIFY(r.ok);
        QCOMPARE(r.rows.size(), 1);
        QCOMPARE(r.first(QStringLiteral("patname")).toString(), name); // names are case-insensitive
        r = Execute(db, QStringLiteral("Update tblDosis Set Status = '1', FKeyPatID = ?, Patname = ? Where ID = ?"), {QStringLiteral("P'1"), name, 1});
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
        Database db = connection(QStringLiteral("t8"));
        db.setKeepStatements(true);
        QVERIFY(db.open());
        for (const char *name : {"A", "B", "C"}) {
            const DbResult r = insertDose(db, QLatin1String(name));
            QVERIFY2(r.ok, qPrintable(r.errorText));
        }
        const QString select = QStringLiteral("SELECT Patname FROM tblDosis WHERE Patname >= ? ORDER BY Patname");
        QCOMPARE(Execute(db, select, {QStringLiteral("B")}).rows.size(), 2);
        QCOMPARE(Execute(db, select, {QStringLiteral("C")}).first(QStringLiteral("Patname")).toString(), QStringLiteral("C"));
        QVERIFY(!Execute(db, QStringLiteral("SELECT nope FROM tblDosis"), {}).ok);

        Database other = connection(QStringLiteral("t8b"));
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

    void failuresReportNumberAndTextAndStopAScript()
    {
        Database db = connection(QStringLiteral("t6"));
        QVERIFY(db.open());
        DbResult r = Execute(db, QStringLiteral("SELECT * FROM tblMissing"));
        QVERIFY(!r.ok);
        QVERIFY(r.errorNumber != 0);
        QVERIFY2(r.errorText.contains(QStringLiteral("tblMissing")), qPrintable(r.errorText));
        // A script stops at its first failing statement.
        QVERIFY(!ExecuteScript(db, QStringLiteral("-- two tables\nCREATE TABLE a (x);\nCREATE TABLE a (y);\nCREATE TABLE b (z);\n")).ok);
        QVERIFY(Execute(db, QStringLiteral("SELECT x FROM a")).ok);
        QVERIFY(!Execute(db, QStringLiteral("SELECT z FROM b")).ok);
        db.close();
    }

    void lockedDatabaseFailsTheStatementNotTheProgram()
    {
        WriteLockHolder lock(path_); // another writer
        QVERIFY(lock.held());
        Database db = connection(QStringLiteral("t7"));
        db.setBusyTimeout(200);
        QVERIFY(db.open());
        QVERIFY(Execute(db, QStringLiteral("SELECT COUNT(*) FROM tblDosis")).ok); // readers go on
        const DbResult r = Execute(db, QStringLiteral("INSERT INTO tblDosis (Status) VALUES ('0')"));
        QVERIFY(!r.ok);
        QCOMPARE(r.errorNumber % 256, 5); // SQLITE_BUSY
        lock.release();
        QVERIFY(Execute(db, QStringLiteral("INSERT INTO tblDosis (Status) VALUES ('0')")).ok);
        db.close();
    }

    void processDatabasesFollowTheSettings()
    {
        ResetWorkstationState();
        Settings.Database = QStringLiteral("LumoraData.dat");
        SetDatabasePaths();
        QCOMPARE(ImageDatabase.path(), f_->file(QStringLiteral("Data/LumoraData.dat")));
        QCOMPARE(DefinitionsDatabase.path(), f_->file(QStringLiteral("Data/LumoraUser.dat")));
        // A bare name is below the application folder, never the current directory,
        // and never the image database beside it.
        QCOMPARE(UserDatabase.path(), f_->file(QStringLiteral("LumoraData.dat")));
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

        Settings.Database = QStringLiteral("u.dat");
        SetDatabasePaths();
        QVERIFY(OpenUserDatabase());
        CloseAllDatabases();
        QVERIFY(!UserDatabase.isOpen());
    }

    void safeNames()
    {
        for (const char *good : {"MG", "CR_2"})
            QVERIFY2(IsSafeSqlName(QLatin1String(good)), good);
        for (const char *bad : {"2D", "M G", "MG; DROP TABLE tblDictionary", "", "MG\n", "MG\nDROP"})
            QVERIFY2(!IsSafeSqlName(QLatin1String(bad)), bad);
    }
};

QTEST_GUILESS_MAIN(DatabaseTest)
#include "tst_database.moc"
