// The database files the build makes: tables, views and indexes the
// workstation relies on, the shipped dictionary and its MG filter.
#include "core/Settings.h"
#include "dictionary/DictionaryStore.h"
#include "exposure/ExposureJournal.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "store/SchemaVersion.h"
#include "support/Peers.h"
#include "support/Rows.h"
#include "support/Station.h"

// The image database as the first schema made it (version 0): references
// without an action.
static const char FirstImageSchema[] = R"(CREATE TABLE tblPatienten (
  PatID INTEGER PRIMARY KEY AUTOINCREMENT,
  PatID1 TEXT NOT NULL,
  PatNachname TEXT,
  PatVorname TEXT,
  Pat2Vorname TEXT,
  PatGebDatum TEXT,
  PatSex TEXT
);
CREATE UNIQUE INDEX ixPatientenPatID1 ON tblPatienten (PatID1);
CREATE TABLE tblStudies (
  StudyID INTEGER PRIMARY KEY AUTOINCREMENT,
  StudyUID TEXT NOT NULL,
  FKeyPATID INTEGER NOT NULL REFERENCES tblPatienten (PatID),
  StudyDate TEXT,
  StudyTime TEXT,
  Modality TEXT,
  Bodypart TEXT,
  AccessionNumber TEXT,
  StudyDescription TEXT
);
CREATE UNIQUE INDEX ixStudiesStudyUID ON tblStudies (StudyUID);
CREATE INDEX ixStudiesFKeyPATID ON tblStudies (FKeyPATID);
CREATE TABLE tblSeries (
  SeriesID INTEGER PRIMARY KEY AUTOINCREMENT,
  SeriesUID TEXT NOT NULL,
  SeriesNr INTEGER,
  FKeyStudyID INTEGER NOT NULL REFERENCES tblStudies (StudyID),
  Modality TEXT,
  SeriesDescription TEXT
);
CREATE UNIQUE INDEX ixSeriesSeriesUID ON tblSeries (SeriesUID);
CREATE INDEX ixSeriesFKeyStudyID ON tblSeries (FKeyStudyID);
CREATE TABLE tblImages (
  ImageID INTEGER PRIMARY KEY AUTOINCREMENT,
  ImageUID TEXT NOT NULL,
  ImageNr INTEGER,
  FKeySeriesID INTEGER NOT NULL REFERENCES tblSeries (SeriesID),
  ImageDate TEXT,
  ImageTime TEXT,
  SOPClassUID TEXT,
  ViewPosition TEXT,
  ImageLaterality TEXT
);
CREATE UNIQUE INDEX ixImagesImageUID ON tblImages (ImageUID);
CREATE INDEX ixImagesFKeySeriesID ON tblImages (FKeySeriesID);
CREATE TABLE tblReceive (
  ReceiveID INTEGER PRIMARY KEY AUTOINCREMENT,
  PatID TEXT,
  ImageUID TEXT,
  ReceivedAt TEXT
);
CREATE VIEW view_studies AS
  SELECT p.PatID1 AS PatID1, s.StudyID AS StudyID, s.StudyUID AS StudyUID,
         s.StudyDate AS StudyDate, s.StudyTime AS StudyTime,
         s.Modality AS Modality, s.Bodypart AS Bodypart
  FROM tblStudies s JOIN tblPatienten p ON p.PatID = s.FKeyPATID;
CREATE VIEW View_Images AS
  SELECT i.ImageID AS ImageID, i.ImageDate AS ImageDate, i.ImageTime AS ImageTime,
         i.ImageUID AS ImageUID, i.FKeySeriesID AS FKeySeriesID, s.StudyUID AS StudyUID,
         i.ImageNr AS ImageNr
  FROM tblImages i
  JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID
  JOIN tblStudies s ON s.StudyID = r.FKeyStudyID;
)";

class SchemaTest : public QObject {
    Q_OBJECT

    TestFolder folder_;

    QString file(const QString &name) const { return folder_.file(u"Data/"_s + name); }
    QStringList names(const QString &name, const QString &sql, const QVariantList &values = {}) const
    {
        QStringList out;
        for (const QVariantList &row : QueryRows(file(name), sql, values))
            out << row.value(0).toString();
        return out;
    }
    QStringList objects(const QString &name, const QString &type) const
    {
        return names(name, u"SELECT name FROM sqlite_master WHERE type = ? AND name NOT LIKE 'sqlite_%' ORDER BY name"_s, {type});
    }

private slots:
    // The receiver and data manager programs are checked by tst_receiver and
    // tst_datamgr, the workstation by tst_workstation_e2e.
    void initTestCase()
    {
        QVERIFY(MakeStationDatabases(folder_.path()));
        for (const QString &name : {u"LumoraData.dat"_s, u"LumoraUser.dat"_s, u"LumoraDef.dat"_s}) {
            QVERIFY(QFile::exists(file(name)) && !QFile::exists(file(name + u".new"_s)));
            QVERIFY2(QFile::exists(StationDir() + u"/Data/"_s + name), qPrintable(name));
        }
        for (const QString &name : {u"projection.ini"_s, u"orvana.jpg"_s})
            QVERIFY2(QFile::exists(StationDir() + u'/' + name), qPrintable(name));
    }

    // The template holds the image tables and the journal; the journal is read
    // by position, so its column order is fixed, and filtered by indexes.
    void eachFileHoldsItsTables()
    {
        const QString data = u"LumoraData.dat"_s, def = u"LumoraDef.dat"_s;
        QStringList templateTables = objects(data, u"table"_s) << u"tblDosis"_s;
        templateTables.sort();
        QCOMPARE(objects(def, u"table"_s), templateTables);
        QCOMPARE(objects(def, u"view"_s), objects(data, u"view"_s));
        QCOMPARE(objects(u"LumoraUser.dat"_s, u"table"_s),
                 u"tblDictionary tblDoseBeam tblDoseCalibration tblDoseFactor tblDoseFactorSource tblDoseTargetFilter tblKnownPartner tblModality "
                 "tblReferenceLevel tblReferenceSet tblRuleKey tblRules tblSCP tblXrayUnit"_s.split(u' '));
        QCOMPARE(CountRows(file(def), u"tblDosis"_s), 0);
        const QStringList dosis = names(def, u"SELECT name FROM pragma_table_info('tblDosis') ORDER BY cid"_s);
        QCOMPARE(dosis.mid(0, 11), u"ID KVP ma Zeit Dicke mGy Druck Datum Sonstiges Status expZeit"_s.split(u' '));
        QVERIFY(dosis.contains(u"Patname"_s) && dosis.contains(u"FKeyPatID"_s));
        QCOMPARE(QueryValue(file(data), u"PRAGMA journal_mode"_s).toString(), u"wal"_s);

        const QString sql = u"EXPLAIN QUERY PLAN SELECT * FROM tblDosis where Status <> '1' and Datum = ?"_s;
        QString plan;
        for (const QVariantList &row : QueryRows(file(def), sql, {u"2026-12-06"_s}))
            plan += row.value(3).toString();
        QVERIFY2(plan.contains(u"USING INDEX"_s), qPrintable(plan));
        for (const char *table : {"tblStudies", "tblSeries", "tblImages"})
            QVERIFY2(QueryValue(file(def), u"SELECT COUNT(*) FROM pragma_index_list(?)"_s, {QLatin1String(table)}).toInt() >= 2, table);
    }

    // How SQLite runs the dose journal dialog's search for a name typed.
    static QString searchPlan(const QString &path, const QString &name)
    {
        const JournalStatement st = SearchJournalStatement({.patientName = name});
        QString plan;
        for (const QVariantList &row : QueryRows(path, u"EXPLAIN QUERY PLAN "_s + st.sql, st.values))
            plan += row.value(3).toString() + u'\n';
        return plan;
    }

    // A name typed with a known beginning reads only the rows under that
    // beginning, through the folded names' index, in any alphabet; one
    // beginning with the wild card reads them all.
    void nameSearchUsesTheIndex_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("indexed");
        QTest::newRow("Mei*") << u"Mei*"_s << true;
        QTest::newRow("mü*") << u"mü*"_s << true;
        QTest::newRow("ÖZ*") << u"ÖZ*"_s << true;
        QTest::newRow("a whole name") << u"O'Brien^Ann"_s << true;
        QTest::newRow("*eier") << u"*eier"_s << false;
    }
    void nameSearchUsesTheIndex()
    {
        QFETCH(QString, name);
        QFETCH(bool, indexed);
        const QString plan = searchPlan(file(u"LumoraDef.dat"_s), name);
        QVERIFY2(plan.contains(u"USING INDEX ixDosisPatnameFolded"_s) == indexed, qPrintable(plan));
    }

    // The columns and indexes of a file, as the schema (not the rows) shows them.
    static QStringList shape(const QString &path)
    {
        QStringList out;
        for (const QVariantList &row : QueryRows(path, u"SELECT m.name, p.name, p.type FROM sqlite_master m, pragma_table_info(m.name) p "
                                                       "WHERE m.type = 'table' AND m.name NOT LIKE 'sqlite_%' ORDER BY m.name, p.cid"_s))
            out << row.value(0).toString() + u'.' + row.value(1).toString() + u' ' + row.value(2).toString();
        for (const QVariantList &row : QueryRows(path, u"SELECT name FROM sqlite_master WHERE type = 'index' AND name NOT LIKE 'sqlite_%' ORDER BY name"_s))
            out << row.value(0).toString();
        return out;
    }

    // A journal and a definitions file from before the dose columns, with rows,
    // opened by the workstation: upgraded once to what a new file has, every
    // row kept. A file the steps cannot upgrade (a column someone added by
    // hand) is left exactly as it was, and does not open.
    void olderFilesAreUpgradedOnce_data()
    {
        QTest::addColumn<int>("fromVersion"); // of the old journal
        QTest::addColumn<QString>("extra");   // a statement run on the old file
        QTest::addColumn<bool>("upgrades");
        QTest::addColumn<int>("definitionsFrom"); // the old definitions file's version
        QTest::newRow("old files with rows") << 0 << QString() << true << 0;
        QTest::newRow("journal with dose columns, without event UIDs") << 1 << QString() << true << 0;
        QTest::newRow("journal with event UIDs, without studies") << 2 << QString() << true << 0;
        QTest::newRow("journal with studies, without folded names") << 3 << QString() << true << 0;
        QTest::newRow("journal with a hand-made AGD column") << 0 << u"ALTER TABLE tblDosis ADD COLUMN AGD TEXT"_s << false << 0;
        QTest::newRow("definitions with dose tables, without X-ray units") << LatestSchemaVersion(JournalSchemaSteps()) << QString() << true << 1;
        QTest::newRow("definitions with X-ray units, without the paddle's transmission") << LatestSchemaVersion(JournalSchemaSteps()) << QString()
                                                                                          << true << 2;
        QTest::newRow("definitions with the paddle's transmission, without known partners") << LatestSchemaVersion(JournalSchemaSteps())
                                                                                             << QString() << true << 3;
    }
    void olderFilesAreUpgradedOnce()
    {
        QFETCH(int, fromVersion);
        QFETCH(QString, extra);
        QFETCH(bool, upgrades);
        QFETCH(int, definitionsFrom);
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        const QString journal = f.file(u"old-journal.dat"_s), definitions = f.file(u"Data/LumoraUser.dat"_s);
        {
            // The journal as the schema made it before version 1.
            QVERIFY(CreateDatabaseFile(journal).ok());
            Database old(u"old"_s, u"test"_s);
            old.setPath(journal);
            QVERIFY(old.open());
            QVERIFY(ExecuteScript(old, u"CREATE TABLE tblDosis (ID INTEGER PRIMARY KEY AUTOINCREMENT, KVP TEXT, ma TEXT, Zeit TEXT, "
                                       "Dicke TEXT, mGy TEXT, Druck TEXT, Datum TEXT, Sonstiges TEXT, Status TEXT NOT NULL DEFAULT '0', "
                                       "expZeit TEXT, Patname TEXT, FKeyPatID TEXT);\n"
                                       "CREATE INDEX ixDosisDatumStatus ON tblDosis (Datum, Status);\n"
                                       "CREATE INDEX ixDosisStatus ON tblDosis (Status);\n"
                                       "CREATE INDEX ixDosisFKeyPatID ON tblDosis (FKeyPatID);\n"_s).ok());
            for (const SchemaStep &step : JournalSchemaSteps())
                if (step.version <= fromVersion)
                    for (const QString &sql : step.statements)
                        QVERIFY(Execute(old, sql).ok());
            QVERIFY(Execute(old, u"PRAGMA user_version = %1"_s.arg(fromVersion)).ok());
            // Names as an older program wrote them, without a folded copy; one exposure nobody's.
            const QVariant names[] = {u"O'Brien"_s, u"Müller^Eva"_s, u"MÜLLER^Max"_s, QVariant(QMetaType::fromType<QString>())};
            for (int i = 0; i < 4; ++i)
                QVERIFY(Execute(old, u"INSERT INTO tblDosis (KVP, ma, Dicke, mGy, Datum, Sonstiges, Status, Patname) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"_s,
                                {u"28"_s, u"%1"_s.arg(60 + i), u"45"_s, u"1.2"_s, u"2025-03-0%1"_s.arg(i + 1), u"R CC"_s, u"1"_s, names[i]})
                            .ok());
            if (!extra.isEmpty())
                QVERIFY(Execute(old, extra).ok());
            old.close();
            // The definitions file loses the tables of the steps after its version.
            Database defs(u"olddefs"_s, u"test"_s);
            defs.setPath(definitions);
            QVERIFY(defs.open());
            QStringList tables;
            if (definitionsFrom < 2)
                tables << u"tblXrayUnit"_s;
            if (definitionsFrom < 4)
                tables << u"tblKnownPartner"_s;
            if (definitionsFrom >= 1 && definitionsFrom < 3)
                QVERIFY(Execute(defs, u"ALTER TABLE tblDoseCalibration DROP COLUMN PaddleTransmission"_s).ok());
            if (definitionsFrom < 1)
                tables << QStringList{u"tblDoseCalibration"_s, u"tblDoseTargetFilter"_s, u"tblDoseBeam"_s, u"tblDoseFactor"_s,
                                      u"tblDoseFactorSource"_s, u"tblReferenceSet"_s, u"tblReferenceLevel"_s};
            for (const QString &table : tables)
                QVERIFY(Execute(defs, u"DROP TABLE "_s + table).ok());
            QVERIFY(Execute(defs, u"PRAGMA user_version = %1"_s.arg(definitionsFrom)).ok());
            defs.close();
        }
        const QStringList oldShape = shape(journal);
        const QList<QVariantList> oldRows = QueryRows(journal, u"SELECT ID, KVP, ma, Dicke, mGy, Datum, Sonstiges, Status, Patname FROM tblDosis"_s);
        const qlonglong dictionaryRows = CountRows(definitions, u"tblDictionary"_s);

        QVERIFY(PrepareStation(f));
        Settings.Database = journal;
        SetDatabasePaths();
        {
            DatabaseSession user(UserDatabase), defs(DefinitionsDatabase);
            QVERIFY2(user.ok() == upgrades, qPrintable(user.error().text));
            QVERIFY(defs.ok());
        }
        QCOMPARE(QueryRows(journal, u"SELECT ID, KVP, ma, Dicke, mGy, Datum, Sonstiges, Status, Patname FROM tblDosis"_s), oldRows);
        QCOMPARE(CountRows(definitions, u"tblDictionary"_s), dictionaryRows);
        QCOMPARE(shape(definitions), shape(file(u"LumoraUser.dat"_s)));
        QCOMPARE(QueryValue(definitions, u"PRAGMA user_version"_s).toInt(), LatestSchemaVersion(DefinitionsSchemaSteps()));
        QCOMPARE(QueryValue(definitions, u"SELECT COUNT(*) FROM tblXrayUnit"_s).toInt(), 0);
        if (!upgrades) {
            QCOMPARE(shape(journal), oldShape);
            QCOMPARE(QueryValue(journal, u"PRAGMA user_version"_s).toInt(), 0);
            return;
        }
        QCOMPARE(shape(journal), shape(file(u"LumoraDef.dat"_s)).filter(QRegularExpression(u"^(tblDosis|sqlite_sequence|ixDosis)"_s)));
        QCOMPARE(QueryValue(journal, u"PRAGMA user_version"_s).toInt(), LatestSchemaVersion(JournalSchemaSteps()));
        QCOMPARE(QueryValue(journal, u"SELECT COUNT(*) FROM tblDosis WHERE AGD IS NULL AND AgdSource IS NULL AND Unit IS NULL "
                                     "AND IrradiationEventUID IS NULL AND StudyUID IS NULL"_s).toInt(), 4);
        // Every old name got its folded copy, and the name search finds them
        // through its index (the definitions' cases start from a current journal).
        if (fromVersion < LatestSchemaVersion(JournalSchemaSteps())) {
            for (const QVariantList &row : QueryRows(journal, u"SELECT Patname, PatnameFolded FROM tblDosis ORDER BY ID"_s))
                QCOMPARE(row.value(1), row.value(0).isNull() ? row.value(0) : QVariant(FoldForSearch(row.value(0).toString())));
            DatabaseSession user(UserDatabase);
            QVERIFY(user.ok());
            const DbResult found = SearchJournal(UserDatabase, {.patientName = u"mü*"_s});
            QVERIFY2(found.ok(), qPrintable(found.text));
            QStringList names;
            for (const QSqlRecord &row : found.rows)
                names << row.value(u"Patname"_s).toString();
            QCOMPARE(names, (QStringList{u"Müller^Eva"_s, u"MÜLLER^Max"_s}));
            const QString plan = searchPlan(journal, u"mü*"_s);
            QVERIFY2(plan.contains(u"USING INDEX ixDosisPatnameFolded"_s), qPrintable(plan));
        }

        // Opened again, by this process or the next: nothing left to do.
        Database again(u"again"_s, u"test"_s);
        again.setPath(journal);
        QVERIFY(again.open());
        int applied = -1;
        QVERIFY(UpgradeSchema(again, JournalSchemaSteps(), &applied).ok());
        QCOMPARE(applied, 0);
        // An old row gets its event UID when first needed, and keeps it.
        const EventUid first = EnsureEventUid(again, oldRows[0][0].toLongLong());
        QVERIFY2(first.ok() && first.uid.startsWith(u"1.2."_s), qPrintable(first.text + first.uid));
        QCOMPARE(EnsureEventUid(again, oldRows[0][0].toLongLong()).uid, first.uid);
        QVERIFY(EnsureEventUid(again, oldRows[1][0].toLongLong()).uid != first.uid);
        again.close();
        QCOMPARE(shape(journal).count(u"tblDosis.AGD REAL"_s), 1);
    }

    // An image database as the first schema made it, with the receiver's
    // rows (and the gaps removals left in the keys), opened by the
    // workstation: upgraded in place to what a new file has, every row kept
    // under its key, no key given again; a removal then takes the rows below
    // by the schema's cascade, and the emptied parents as before.
    void imageDatabaseUpgradedInPlace_data()
    {
        QTest::addColumn<QString>("removed"); // "patient", "study" or "series"
        QTest::newRow("a patient") << u"patient"_s;
        QTest::newRow("a study") << u"study"_s;
        QTest::newRow("a series") << u"series"_s;
    }
    void imageDatabaseUpgradedInPlace()
    {
        QFETCH(QString, removed);
        TestFolder f;
        QVERIFY(PrepareStation(f));
        const QString path = f.file(u"Data/LumoraData.dat"_s);
        for (const QString &suffix : {u""_s, u"-wal"_s, u"-shm"_s})
            QFile::remove(path + suffix);
        QVERIFY(CreateDatabaseFile(path).ok());
        {
            Database old(u"oldimages"_s, u"test"_s);
            old.setPath(path);
            QVERIFY(old.open());
            QVERIFY(ExecuteScript(old, QLatin1String(FirstImageSchema)).ok());
            old.close();
        }
        // Filed as the receiver files: P1 with two studies (two series, then
        // one), P2 with one; the last image filed was removed again.
        FixtureStudy a{.patientId = u"P1"_s}, a2{.patientId = u"P1"_s}, b{.patientId = u"P2"_s};
        a.series = {FixtureSeries{1, {SyntheticImageSpec(), SyntheticImageSpec()}}, FixtureSeries{2, {SyntheticImageSpec()}}};
        a2.series = b.series = {FixtureSeries{1, {SyntheticImageSpec(), SyntheticImageSpec()}}};
        QString error;
        for (FixtureStudy *s : {&a, &a2, &b})
            QVERIFY2(AddStudy(f.path(), *s, &error, true), qPrintable(error));
        QCOMPARE(RunProgram(u"sqlite3"_s, {path, u"DELETE FROM tblImages WHERE ImageID = (SELECT MAX(ImageID) FROM tblImages);"_s}), 0);
        QCOMPARE(QueryValue(path, u"PRAGMA user_version"_s).toInt(), 0);
        const QStringList tables{u"tblPatienten"_s, u"tblStudies"_s, u"tblSeries"_s, u"tblImages"_s, u"tblReceive"_s};
        auto allRows = [&] {
            QList<QList<QVariantList>> out;
            for (const QString &table : tables)
                out << QueryRows(path, u"SELECT * FROM %1 ORDER BY 1"_s.arg(table));
            return out;
        };
        const QList<QList<QVariantList>> before = allRows();
        const qlonglong lastImageKey = QueryValue(path, u"SELECT seq FROM sqlite_sequence WHERE name = 'tblImages'"_s).toLongLong();
        QVERIFY(lastImageKey > QueryValue(path, u"SELECT MAX(ImageID) FROM tblImages"_s).toLongLong());
        const QList<QVariantList> studiesShown = QueryRows(path, u"SELECT * FROM view_studies ORDER BY StudyID"_s);
        const QList<QVariantList> imagesShown = QueryRows(path, u"SELECT * FROM View_Images ORDER BY ImageID"_s);

        {
            DatabaseSession session(ImageDatabase);
            QVERIFY2(session.ok(), qPrintable(session.error().text));
        }
        QCOMPARE(QueryValue(path, u"PRAGMA user_version"_s).toInt(), LatestSchemaVersion(ImageSchemaSteps()));
        QCOMPARE(allRows(), before);
        QCOMPARE(QueryRows(path, u"SELECT * FROM view_studies ORDER BY StudyID"_s), studiesShown);
        QCOMPARE(QueryRows(path, u"SELECT * FROM View_Images ORDER BY ImageID"_s), imagesShown);
        // What a new file has: columns, indexes, views and the references' actions.
        const QString fresh = file(u"LumoraData.dat"_s);
        QVERIFY(!shape(fresh).isEmpty());
        QCOMPARE(shape(path), shape(fresh));
        const QString views = u"SELECT name FROM sqlite_master WHERE type = 'view' ORDER BY name"_s;
        QCOMPARE(QueryRows(path, views), QueryRows(fresh, views));
        QCOMPARE(QueryRows(path, views).size(), 2);
        const QString references = u"SELECT m.name, k.\"table\", k.\"from\", k.on_delete FROM sqlite_master m, pragma_foreign_key_list(m.name) k "
                                   "WHERE m.type = 'table' ORDER BY m.name"_s;
        const QList<QVariantList> cascades{{u"tblImages"_s, u"tblSeries"_s, u"FKeySeriesID"_s, u"CASCADE"_s},
                                           {u"tblSeries"_s, u"tblStudies"_s, u"FKeyStudyID"_s, u"CASCADE"_s},
                                           {u"tblStudies"_s, u"tblPatienten"_s, u"FKeyPATID"_s, u"CASCADE"_s}};
        QCOMPARE(QueryRows(path, references), cascades);
        QCOMPARE(QueryRows(fresh, references), cascades);
        QCOMPARE(QueryRows(path, u"PRAGMA foreign_key_check"_s), QList<QVariantList>());

        // Opened again: nothing left to do.
        {
            Database again(u"imagesagain"_s, u"test"_s);
            again.setPath(path);
            QVERIFY(again.open());
            int applied = -1;
            QVERIFY(UpgradeSchema(again, ImageSchemaSteps(), &applied).ok());
            QCOMPARE(applied, 0);
            again.close();
        }

        // The next image filed gets a key never given before.
        FixtureStudy c{.patientId = u"P3"_s};
        c.series = {FixtureSeries{1, {SyntheticImageSpec()}}};
        QVERIFY2(AddStudy(f.path(), c, &error, false), qPrintable(error));
        QVERIFY(QueryValue(path, u"SELECT MAX(ImageID) FROM tblImages"_s).toLongLong() > lastImageKey);

        // The removal on the upgraded file: the rows below go by the cascade.
        const DeletionReport quiet;
        auto count = [&](const QString &sql, const QVariantList &values) { return QueryValue(path, sql, values).toLongLong(); };
        if (removed == "patient"_L1) {
            QVERIFY(Remove(RemovalLevel::Patient, a.patientKey, quiet));
            QCOMPARE(ImageRows(path), (Counts{2, 2, 2, 2, 7}));
        } else if (removed == "study"_L1) {
            QVERIFY(Remove(RemovalLevel::Study, a.studyKey, quiet, {EmptiedParents::Kept, {}, {}}));
            QCOMPARE(ImageRows(path), (Counts{3, 3, 3, 4, 7}));
            QCOMPARE(count(u"SELECT COUNT(*) FROM tblSeries WHERE FKeyStudyID = ?"_s, {a.studyKey}), 0);
        } else {
            QVERIFY(Remove(RemovalLevel::Series, a.series[0].seriesKey, quiet));
            QCOMPARE(ImageRows(path), (Counts{3, 4, 4, 5, 7}));
            QCOMPARE(count(u"SELECT COUNT(*) FROM tblImages WHERE FKeySeriesID = ?"_s, {a.series[0].seriesKey}), 0);
        }
        QCOMPARE(QueryRows(path, u"PRAGMA foreign_key_check"_s), QList<QVariantList>());
        QCOMPARE(count(u"SELECT COUNT(*) FROM tblImages i LEFT JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID WHERE r.SeriesID IS NULL"_s, {}), 0);
        QVERIFY(!QFile::exists(f.file(u"images/%1/%2.dcm"_s.arg(a.studyUid, a.series[0].images[0].sopUid))));
        QVERIFY(QFile::exists(f.file(u"images/%1/%2.dcm"_s.arg(b.studyUid, b.series[0].images[0].sopUid))));
    }

    // A file a newer program version wrote (its user_version above what this
    // program knows) is refused by whoever opens it, with both versions named,
    // and left as it was; a companion logs why and ends with status 2.
    void newerFilesAreRefused_data()
    {
        QTest::addColumn<QString>("file");   // below Data/
        QTest::addColumn<int>("version");    // the newer program's
        QTest::addColumn<int>("known");      // this program's
        QTest::addColumn<QString>("opener"); // "workstation", "receiver" or "data manager"
        for (const char *opener : {"workstation", "data manager"}) {
            const int journal = LatestSchemaVersion(JournalSchemaSteps());
            QTest::addRow("journal at %d, %s", journal + 1, opener) << u"LumoraDef.dat"_s << journal + 1 << journal << QString::fromLatin1(opener);
            const int definitions = LatestSchemaVersion(DefinitionsSchemaSteps());
            QTest::addRow("definitions at %d, %s", definitions + 1, opener) << u"LumoraUser.dat"_s << definitions + 1 << definitions
                                                                            << QString::fromLatin1(opener);
            const int images = LatestSchemaVersion(ImageSchemaSteps());
            QTest::addRow("images at %d, %s", images + 1, opener) << u"LumoraData.dat"_s << images + 1 << images << QString::fromLatin1(opener);
        }
        const int images = LatestSchemaVersion(ImageSchemaSteps());
        QTest::addRow("images at %d, receiver", images + 7) << u"LumoraData.dat"_s << images + 7 << images << u"receiver"_s;
    }
    void newerFilesAreRefused()
    {
        QFETCH(QString, file);
        QFETCH(int, version);
        QFETCH(int, known);
        QFETCH(QString, opener);
        TestFolder f;
        QVERIFY(MakeStationDatabases(f.path()));
        const QString path = f.file(u"Data/"_s + file);
        // As the newer program left it.
        QCOMPARE(RunProgram(u"sqlite3"_s, {path, u"PRAGMA user_version = %1;"_s.arg(version)}), 0);
        const QStringList before = shape(path);
        const QString versions = u"version %1"_s.arg(version), ours = u"version %1"_s.arg(known);
        const auto namesBoth = [&](const QString &text) { return text.contains(versions) && text.contains(ours) && text.contains(path); };

        if (opener == "workstation"_L1) {
            f.write(u"LumoraStation.ini"_s, "[General]\nDatabase=Data/LumoraDef.dat\n");
            ResetWorkstationState();
            LoadSettings();
            SetDatabasePaths();
            Database &db = file == "LumoraDef.dat"_L1 ? UserDatabase : file == "LumoraUser.dat"_L1 ? DefinitionsDatabase : ImageDatabase;
            QCOMPARE(db.path(), path);
            DatabaseSession session(db);
            QVERIFY(!session.ok());
            QVERIFY2(namesBoth(session.error().text), qPrintable(session.error().text));
        } else {
            const quint16 port = FreePort();
            f.write(u"LumoraStation.ini"_s, u"[General]\nDatabase=Data/LumoraDef.dat\n[Com]\nIR_AET=RCV\nIR_Port=%1\n"_s.arg(port).toUtf8());
            const bool receiver = opener == "receiver"_L1;
            CompanionProcess companion(receiver ? ReceiverProgram() : DataMgrProgram(), f.path());
            QVERIFY(companion.start());
            QCOMPARE(companion.waitForExit(15000), 2);
            const QString log = QString::fromUtf8(f.read(receiver ? u"Logs/Receiver.log"_s : u"Logs/DataMgr.log"_s));
            QVERIFY2(namesBoth(log), qPrintable(log));
        }
        QCOMPARE(QueryValue(path, u"PRAGMA user_version"_s).toInt(), version);
        QCOMPARE(shape(path), before);
    }

    // One row per SOP instance, whatever its series. What the views show is read
    // by tst_receiver (studyOfFourImagesFromTwoSeries) and tst_browser.
    void imageUidsAreUnique()
    {
        FixtureStudy a, b;
        b.patientId = u"PAT0002"_s;
        a.series = b.series = {FixtureSeries{1, {SyntheticImageSpec()}}};
        QString error;
        QVERIFY2(AddStudy(folder_.path(), a, &error) && AddStudy(folder_.path(), b, &error), qPrintable(error));
        Database db(u"s5"_s, u"test"_s);
        db.setPath(file(u"LumoraData.dat"_s));
        QVERIFY(db.open());
        const QString failure = Execute(db, u"INSERT INTO tblImages (ImageUID, FKeySeriesID) VALUES (?, ?)"_s,
                                        {a.series[0].images[0].sopUid, b.series[0].seriesKey}).text;
        QVERIFY2(failure.contains(u"UNIQUE"_s), qPrintable(failure));
    }

    // Every tag once, as "GGGG,EEEE", with a two-letter type and a description, visible.
    void dictionaryShipsFilledWithTheMammographyFilter()
    {
        const QString user = file(u"LumoraUser.dat"_s);
        const qlonglong rows = CountRows(user, u"tblDictionary"_s);
        QVERIFY(rows >= 100);
        const QString wellFormed = u"SELECT COUNT(DISTINCT Tag) FROM tblDictionary WHERE Tag GLOB '%1,%1' AND Type GLOB '[A-Z][A-Z]' "
                                   "AND Description <> '' AND Visible = -1"_s.arg(u"[0-9A-F][0-9A-F][0-9A-F][0-9A-F]"_s);
        QCOMPARE(QueryValue(user, wellFormed).toLongLong(), rows);
        QCOMPARE(QueryRows(user, u"SELECT Type, Description FROM tblDictionary WHERE Tag = '0010,0010'"_s),
                 (QList<QVariantList>{{u"PN"_s, u"Patient Name"_s}}));
        // Everything stamping writes is there.
        QCOMPARE(QueryValue(user, u"SELECT COUNT(*) FROM tblDictionary WHERE Tag IN ('0018,1150', '0018,1153', '0018,7004', '0020,0062', "
                                  "'0054,0220', '0008,2218', '0020,0020', '0028,1050', '0040,0316', '0040,0314', '0040,8303', '0018,1191', "
                                  "'0018,7050')"_s).toInt(), 13);

        QCOMPARE(CountRows(user, u"tblModality"_s), 1);
        QCOMPARE(names(u"LumoraUser.dat"_s, u"SELECT Tag FROM tblDictionary WHERE MG = -1 ORDER BY Tag"_s), MammographyFilterTags());
        QCOMPARE(QueryValue(user, u"SELECT COUNT(*) FROM tblDictionary WHERE MG = 0 AND Visible = -1"_s).toLongLong(), rows - 5);
    }
};

QTEST_GUILESS_MAIN(SchemaTest)
#include "tst_schema.moc"
