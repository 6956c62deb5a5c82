// Connections and the statement helper: open/close discipline, files that are
// missing, locked or not databases, bound values with apostrophes, error numbers.
#include "core/Settings.h"
#include "store/DatabasePaths.h"
#include "support/Station.h"

class DatabaseTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    QString path_; // a journal database made from the shipped schema

    Database connection(const QString &name) const
    {
        Database db(name, u"test"_s);
        db.setPath(path_);
        return db;
    }
    static DbResult insertDose(Database &db, const QString &name)
    {
        return Execute(db, u"INSERT INTO tblDosis (KVP, Datum, Status, Patname) VALUES ('28', ?, '0', ?)"_s, {DbDate(QDate(2026, 12, 6)), name});
    }

private slots:
    void init()
    {
        f_ = std::make_unique<TestFolder>();
        path_ = f_->file(u"u.dat"_s);
        QFile schema(SourceDir() + u"/src/store/schema/dosis.sql"_s);
        QVERIFY(schema.open(QIODevice::ReadOnly) && CreateDatabaseFile(path_).ok());
        Database db = connection(u"make"_s);
        QVERIFY(db.open() && ExecuteScript(db, QString::fromUtf8(schema.readAll())).ok());
        db.close();
    }
    void cleanup() { f_.reset(); }

    // Opening an open connection and closing a closed one change nothing;
    // failures give a number and a text, and stop a script.
    void openCloseAndFailures()
    {
        Database db = connection(u"t1"_s);
        const DbResult closed = Execute(db, u"SELECT 1"_s);
        QVERIFY(!closed.ok() && !closed.text.isEmpty());
        QCOMPARE(closed.number, ErrorCode::DbNotOpen);
        db.close();
        QVERIFY(!db.isOpen());
        QVERIFY(db.open());
        QVERIFY(db.open());
        QVERIFY(db.isOpen());
        const DbResult r = Execute(db, u"SELECT * FROM tblMissing"_s);
        QVERIFY(!r.ok() && r.number != 0);
        QVERIFY2(r.text.contains(u"tblMissing"_s), qPrintable(r.text));
        QVERIFY(!ExecuteScript(db, u"-- two tables\nCREATE TABLE a (x);\nCREATE TABLE a (y);\nCREATE TABLE b (z);\n"_s).ok());
        QVERIFY(Execute(db, u"SELECT x FROM a"_s).ok());
        QVERIFY(!Execute(db, u"SELECT z FROM b"_s).ok());
        db.close();
        QVERIFY(!db.isOpen()); // opening again: keptStatementsAreResetBetweenRuns
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
        Database db(u"t3"_s, u"test"_s);
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
        Database db = connection(u"t5"_s);
        QVERIFY(db.open());
        const QString name = u"O'Brien^Mary'); DROP TABLE tblDosis; --"_s;
        DbResult r = insertDose(db, name);
        QVERIFY2(r.ok(), qPrintable(r.text));
        QCOMPARE(r.rowsAffected, 1);
        QCOMPARE(r.lastInsertId.toInt(), 1);
        r = Execute(db, u"Select Distinct(Patname) from tblDosis where Datum = ? and Status <> '1'"_s, {DbDate(QDate(2026, 12, 6))});
        QCOMPARE(r.rows.size(), 1);
        QCOMPARE(r.first(u"patname"_s).toString(), name); // names are case-insensitive
        r = Execute(db, u"Update tblDosis Set Status = '1', FKeyPatID = ?, Patname = ? Where ID = ?"_s, {u"P'1"_s, name, 1});
        QCOMPARE(r.rowsAffected, 1);
        r = Execute(db, u"SELECT COUNT(*) AS n FROM tblDosis WHERE FKeyPatID = ?"_s, {u"P'1"_s});
        QCOMPARE(r.first(u"n"_s).toInt(), 1);
        QVERIFY(!r.first(u"nope"_s).isValid());
        db.close();
    }

    // Kept statements give each run its own values and rows, and hold no read
    // lock between runs: another connection can still truncate the log.
    void keptStatementsAreResetBetweenRuns()
    {
        Database db = connection(u"t8"_s);
        db.setKeepStatements(true);
        QVERIFY(db.open());
        for (const char *name : {"A", "B", "C"})
            QVERIFY(insertDose(db, QLatin1String(name)).ok());
        const QString select = u"SELECT Patname FROM tblDosis WHERE Patname >= ? ORDER BY Patname"_s;
        QCOMPARE(Execute(db, select, {u"B"_s}).rows.size(), 2);
        QCOMPARE(Execute(db, select, {u"C"_s}).first(u"Patname"_s).toString(), u"C"_s);
        QVERIFY(!Execute(db, u"SELECT nope FROM tblDosis"_s, {}).ok());

        Database other = connection(u"t8b"_s);
        QVERIFY(other.open());
        const DbResult cp = Execute(other, u"PRAGMA wal_checkpoint(TRUNCATE)"_s);
        QVERIFY2(cp.ok(), qPrintable(cp.text));
        QCOMPARE(cp.rows.first().value(0).toInt(), 0); // not busy
        other.close();
        db.close();
        // Open again, the kept statements are prepared anew on the new connection.
        QVERIFY(db.open());
        QCOMPARE(Execute(db, select, {u"A"_s}).rows.size(), 3);
        db.close();
    }

    void lockedDatabaseFailsTheStatementNotTheProgram()
    {
        WriteLockHolder lock(path_); // another writer
        QVERIFY(lock.held());
        Database db = connection(u"t7"_s);
        db.setBusyTimeout(200);
        QVERIFY(db.open());
        QVERIFY(Execute(db, u"SELECT COUNT(*) FROM tblDosis"_s).ok()); // readers go on
        const DbResult r = Execute(db, u"INSERT INTO tblDosis (Status) VALUES ('0')"_s);
        QVERIFY(!r.ok());
        QCOMPARE(r.number % 256, 5); // SQLITE_BUSY
        lock.release();
        QVERIFY(Execute(db, u"INSERT INTO tblDosis (Status) VALUES ('0')"_s).ok());
        db.close();
    }

    void processDatabasesFollowTheSettings()
    {
        ResetWorkstationState();
        Settings.Database = u"LumoraData.dat"_s;
        SetDatabasePaths();
        // A bare journal name is below the application folder, never the current
        // directory, and never the image database beside it.
        QCOMPARE((QStringList{ImageDatabase.path(), DefinitionsDatabase.path(), UserDatabase.path()}),
                 (QStringList{f_->file(u"Data/LumoraData.dat"_s), f_->file(u"Data/LumoraUser.dat"_s), f_->file(u"LumoraData.dat"_s)}));
        Settings.Database = u"/srv/dosis/journal.dat"_s;
        SetDatabasePaths();
        QCOMPARE(UserDatabase.path(), u"/srv/dosis/journal.dat"_s);

        // Missing files: the image and definitions opens stay quiet and closed;
        // the user database reports.
        {
            DatabaseSession images(ImageDatabase), definitions(DefinitionsDatabase), user(UserDatabase);
            QVERIFY(!images.ok() && !ImageDatabase.isOpen());
            QVERIFY(!Execute(ImageDatabase, u"SELECT Count(PatID) AS ReceiveCount FROM tblReceive"_s).ok());
            QVERIFY(!definitions.ok() && !DefinitionsDatabase.isOpen());
            QVERIFY(!user.ok());
            QVERIFY(!user.error().text.isEmpty());
        }

        // Sessions nest: the connection closes with the last one.
        Settings.Database = u"u.dat"_s;
        SetDatabasePaths();
        {
            DatabaseSession outer(UserDatabase);
            QVERIFY(outer.ok());
            {
                DatabaseSession inner(UserDatabase);
                QVERIFY(inner.ok());
            }
            QVERIFY(UserDatabase.isOpen());
            QVERIFY(Execute(UserDatabase, u"SELECT 1"_s).ok());
        }
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
