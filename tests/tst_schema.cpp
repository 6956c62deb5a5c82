// The database files the build makes: tables, views and the statements the
// workstation runs against them, the shipped dictionary and its MG filter.
#include "dictionary/DictionaryStore.h"
#include "store/DatabasePaths.h"
#include "support/Station.h"

#include <QFile>
#include <QtTest>

class SchemaTest : public QObject {
    Q_OBJECT

    TestFolder folder_;
    QString dataDir_;

    Database openCopy(const QString &name, const QString &conn)
    {
        Database db(conn, QStringLiteral("test"));
        db.setPath(dataDir_ + QLatin1Char('/') + name);
        return db;
    }
    static QStringList columns(Database &db, const QString &table)
    {
        QStringList out;
        const DbResult r = Execute(db, QStringLiteral("SELECT name FROM pragma_table_info(?) ORDER BY cid"), {table});
        for (const QSqlRecord &row : r.rows)
            out << row.value(0).toString();
        return out;
    }
    static QStringList objects(Database &db, const QString &type)
    {
        QStringList out;
        const DbResult r = Execute(db, QStringLiteral("SELECT name FROM sqlite_master WHERE type = ? AND name NOT LIKE 'sqlite_%' ORDER BY name"), {type});
        for (const QSqlRecord &row : r.rows)
            out << row.value(0).toString();
        return out;
    }
    static void run(Database &db, const QString &sql, const QVariantList &values = {})
    {
        const DbResult r = Execute(db, sql, values);
        QVERIFY2(r.ok, qPrintable(sql + QStringLiteral(": ") + r.errorText));
    }
    static DbResult query(Database &db, const QString &sql, const QVariantList &values = {})
    {
        DbResult r = Execute(db, sql, values);
        if (!r.ok)
            qWarning() << sql << r.errorText;
        return r;
    }

    // A patient with one study, series and image, as the receiver enters them.
    static void addExamination(Database &db, const QString &patId, const QString &family, const QString &studyUid,
                               const QString &imageUid)
    {
        run(db, QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname, PatVorname, PatGebDatum) VALUES (?, ?, 'Mary', '19620314')"),
            {patId, family});
        const qlonglong pat = query(db, QStringLiteral("SELECT PatID FROM tblPatienten WHERE PatID1 = ?"), {patId}).first(QStringLiteral("PatID")).toLongLong();
        run(db, QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID, StudyDate, StudyTime, Modality, Bodypart) VALUES (?, ?, '20261206', '091500', 'MG', 'BREAST')"),
            {studyUid, pat});
        const qlonglong study = query(db, QStringLiteral("SELECT StudyID FROM tblStudies WHERE StudyUID = ?"), {studyUid}).first(QStringLiteral("StudyID")).toLongLong();
        run(db, QStringLiteral("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID) VALUES (?, 1, ?)"), {studyUid + QStringLiteral(".1"), study});
        const qlonglong series = query(db, QStringLiteral("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?"), {study}).first(QStringLiteral("SeriesID")).toLongLong();
        run(db, QStringLiteral("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime) VALUES (?, 1, ?, '20261206', '091501')"),
            {imageUid, series});
        run(db, QStringLiteral("INSERT INTO tblReceive (PatID, ImageUID) VALUES (?, ?)"), {patId, imageUid});
    }

private slots:
    void initTestCase()
    {
        dataDir_ = folder_.file(QStringLiteral("Data"));
        QByteArray out;
        const int rc = RunProgram(ToolsDir() + QStringLiteral("/lumora-mkdb"),
                                  {SourceDir() + QStringLiteral("/src/store/schema"),
                                   SourceDir() + QStringLiteral("/src/dictionary/dictionary-tags.txt"), dataDir_},
                                  &out);
        QVERIFY2(rc == 0, out.constData());
        for (const char *name : {"LumoraData.dat", "LumoraUser.dat", "LumoraDef.dat"}) {
            QVERIFY(QFile::exists(dataDir_ + QLatin1Char('/') + QLatin1String(name)));
            QVERIFY(!QFile::exists(dataDir_ + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".new")));
        }
    }

    void stationFolderHoldsTheBuiltFiles()
    {
        for (const char *name : {"Data/LumoraData.dat", "Data/LumoraUser.dat", "Data/LumoraDef.dat", "projection.ini", "orvana.jpg",
                                 "OrvanaMammo", "LumoraReceiver", "LumoraDataMgr"})
            QVERIFY2(QFile::exists(StationDir() + QLatin1Char('/') + QLatin1String(name)), name);
        QFile captions(StationDir() + QStringLiteral("/projection.ini"));
        QVERIFY(captions.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = captions.readAll().split('\n');
        QCOMPARE(lines.first(), QByteArray("R CC\r"));
        QVERIFY(lines.size() - 1 <= 8);
    }

    void eachFileHoldsItsTables()
    {
        Database data = openCopy(QStringLiteral("LumoraData.dat"), QStringLiteral("s1"));
        Database user = openCopy(QStringLiteral("LumoraUser.dat"), QStringLiteral("s2"));
        Database def = openCopy(QStringLiteral("LumoraDef.dat"), QStringLiteral("s3"));
        QVERIFY(data.open() && user.open() && def.open());
        const QStringList imageTables{QStringLiteral("tblImages"), QStringLiteral("tblPatienten"), QStringLiteral("tblReceive"),
                                      QStringLiteral("tblSeries"), QStringLiteral("tblStudies")};
        QCOMPARE(objects(data, QStringLiteral("table")), imageTables);
        QCOMPARE(objects(data, QStringLiteral("view")), (QStringList{QStringLiteral("View_Images"), QStringLiteral("view_studies")}));
        QStringList templateTables = QStringList(imageTables) << QStringLiteral("tblDosis");
        templateTables.sort();
        QCOMPARE(objects(def, QStringLiteral("table")), templateTables);
        QCOMPARE(objects(def, QStringLiteral("view")), objects(data, QStringLiteral("view")));
        QCOMPARE(objects(user, QStringLiteral("table")),
                 (QStringList{QStringLiteral("tblDictionary"), QStringLiteral("tblModality"), QStringLiteral("tblRuleKey"),
                              QStringLiteral("tblRules"), QStringLiteral("tblSCP")}));
        // The template is empty; the journal is written into by position, so its order is fixed.
        QCOMPARE(query(def, QStringLiteral("SELECT COUNT(*) AS n FROM tblDosis")).first(QStringLiteral("n")).toInt(), 0);
        QCOMPARE(columns(def, QStringLiteral("tblDosis")).mid(0, 11),
                 (QStringList{QStringLiteral("ID"), QStringLiteral("KVP"), QStringLiteral("ma"), QStringLiteral("Zeit"), QStringLiteral("Dicke"),
                              QStringLiteral("mGy"), QStringLiteral("Druck"), QStringLiteral("Datum"), QStringLiteral("Sonstiges"),
                              QStringLiteral("Status"), QStringLiteral("expZeit")}));
        QVERIFY(columns(def, QStringLiteral("tblDosis")).contains(QStringLiteral("Patname")));
        QVERIFY(columns(def, QStringLiteral("tblDosis")).contains(QStringLiteral("FKeyPatID")));
        QCOMPARE(columns(user, QStringLiteral("tblSCP")),
                 (QStringList{QStringLiteral("ID"), QStringLiteral("Alias"), QStringLiteral("AET"), QStringLiteral("IP"), QStringLiteral("Port"),
                              QStringLiteral("Default")}));
        QCOMPARE(columns(user, QStringLiteral("tblRules")),
                 (QStringList{QStringLiteral("fName"), QStringLiteral("fLevel"), QStringLiteral("fSource"), QStringLiteral("fTask"),
                              QStringLiteral("fTaskID"), QStringLiteral("fTarget")}));
        QCOMPARE(query(data, QStringLiteral("PRAGMA journal_mode")).rows.first().value(0).toString(), QStringLiteral("wal"));
        data.close();
        user.close();
        def.close();
    }

    void journalIsFilteredByIndexes()
    {
        Database def = openCopy(QStringLiteral("LumoraDef.dat"), QStringLiteral("s4"));
        QVERIFY(def.open());
        const DbResult plan = query(def, QStringLiteral("EXPLAIN QUERY PLAN SELECT * FROM tblDosis where Status <> '1' and Datum = ?"), {QStringLiteral("2026-12-06")});
        QVERIFY(plan.ok);
        QString detail;
        for (const QSqlRecord &row : plan.rows)
            detail += row.value(QStringLiteral("detail")).toString();
        QVERIFY2(detail.contains(QStringLiteral("USING INDEX")), qPrintable(detail));
        for (const QString &table : {QStringLiteral("tblStudies"), QStringLiteral("tblSeries"), QStringLiteral("tblImages")}) {
            const DbResult idx = query(def, QStringLiteral("SELECT COUNT(*) AS n FROM pragma_index_list(?)"), {table});
            QVERIFY(idx.first(QStringLiteral("n")).toInt() >= 2);
        }
        def.close();
    }

    void imageStatementsRun()
    {
        Database data = openCopy(QStringLiteral("LumoraData.dat"), QStringLiteral("s5"));
        QVERIFY(data.open());
        addExamination(data, QStringLiteral("P1"), QStringLiteral("O'Brien"), QStringLiteral("1.2.3"), QStringLiteral("1.2.3.1.1"));
        addExamination(data, QStringLiteral("P2"), QStringLiteral("Smith"), QStringLiteral("1.2.4"), QStringLiteral("1.2.4.1.1"));

        QCOMPARE(query(data, QStringLiteral("SELECT Count(PatID) AS ReceiveCount FROM tblReceive")).first(QStringLiteral("ReceiveCount")).toInt(), 2);
        DbResult r = query(data, QStringLiteral("SELECT PatID, PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten"));
        QCOMPARE(r.rows.size(), 2);
        QVERIFY(r.rows.first().value(QStringLiteral("Pat2Vorname")).isNull());
        r = query(data, QStringLiteral("SELECT StudyID, StudyUID, StudyDate, StudyTime, Modality, Bodypart FROM view_studies WHERE PatID1 = ?"), {QStringLiteral("P1")});
        QCOMPARE(r.rows.size(), 1);
        QCOMPARE(r.first(QStringLiteral("StudyUID")).toString(), QStringLiteral("1.2.3"));
        QCOMPARE(r.first(QStringLiteral("Bodypart")).toString(), QStringLiteral("BREAST"));
        const int studyId = r.first(QStringLiteral("StudyID")).toInt();
        r = query(data, QStringLiteral("SELECT ImageID, ImageDate, ImageTime, ImageUID from View_Images WHERE StudyUID = ?"), {QStringLiteral("1.2.3")});
        QCOMPARE(r.rows.size(), 1);
        QCOMPARE(r.first(QStringLiteral("ImageUID")).toString(), QStringLiteral("1.2.3.1.1"));
        r = query(data, QStringLiteral("SELECT SeriesID, SeriesUID, SeriesNr FROM tblSeries WHERE FKeyStudyID = ?"), {studyId});
        const int seriesId = r.first(QStringLiteral("SeriesID")).toInt();
        QCOMPARE(query(data, QStringLiteral("SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE FKeySeriesID = ?"), {seriesId})
                     .first(QStringLiteral("ImageCount")).toInt(), 1);
        r = query(data, QStringLiteral("SELECT ImageID, ImageDate, ImageTime, ImageUID from View_Images WHERE FKeySeriesID = ?"), {seriesId});
        QCOMPARE(r.first(QStringLiteral("ImageDate")).toString(), QStringLiteral("20261206"));

        // Children before parents; a patient name with an apostrophe is no obstacle.
        run(data, QStringLiteral("DELETE FROM tblImages WHERE FKeySeriesID = ?"), {seriesId});
        run(data, QStringLiteral("DELETE FROM tblSeries WHERE FKeyStudyID = ?"), {studyId});
        run(data, QStringLiteral("DELETE FROM tblStudies WHERE StudyUID = ?"), {QStringLiteral("1.2.3")});
        QCOMPARE(query(data, QStringLiteral("SELECT COUNT(*) AS StudyCount FROM tblStudies WHERE FKeyPATID = (SELECT PatID FROM tblPatienten WHERE PatNachname = ?)"),
                       {QStringLiteral("O'Brien")}).first(QStringLiteral("StudyCount")).toInt(), 0);
        run(data, QStringLiteral("DELETE FROM tblPatienten WHERE PATID1 = ?"), {QStringLiteral("P1")});
        run(data, QStringLiteral("DELETE FROM tblReceive"));
        QCOMPARE(query(data, QStringLiteral("SELECT Count(PatID) AS ReceiveCount FROM tblReceive")).first(QStringLiteral("ReceiveCount")).toInt(), 0);
        QCOMPARE(query(data, QStringLiteral("SELECT COUNT(*) AS n FROM view_studies")).first(QStringLiteral("n")).toInt(), 1);

        // One row per SOP instance: a second image with the same UID is refused.
        QVERIFY(!Execute(data, QStringLiteral("INSERT INTO tblImages (ImageUID, FKeySeriesID) VALUES ('1.2.4.1.1', 1)")).ok);
        data.close();
    }

    void journalStatementsRun()
    {
        Database def = openCopy(QStringLiteral("LumoraDef.dat"), QStringLiteral("s6"));
        QVERIFY(def.open());
        const QString today = DbDate(QDate(2026, 12, 6));
        const QString yesterday = DbDate(QDate(2026, 12, 5));
        const QString insert = QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit, Patname) VALUES (?, ?, ?, ?, ?, ?, ?, ?, '0', ?, ?)");
        run(def, insert, {QStringLiteral("28"), QStringLiteral("63"), QStringLiteral("09:15:00"), QStringLiteral("45"), QStringLiteral("1.2"),
                          QStringLiteral("120"), today, QStringLiteral("R CC"), QStringLiteral("1,25"), QStringLiteral("D'Arcy^Ann")});
        run(def, insert, {QStringLiteral("29"), QStringLiteral("70"), QStringLiteral("09:16:00"), QStringLiteral("46"), QStringLiteral("1.3"),
                          QStringLiteral("110"), today, QStringLiteral("L CC"), QStringLiteral("1,30"), QStringLiteral("Smith^Eve")});
        run(def, insert, {QStringLiteral("30"), QStringLiteral("80"), QStringLiteral("23:59:00"), QStringLiteral("47"), QStringLiteral("1.4"),
                          QStringLiteral("100"), yesterday, QStringLiteral("R MLO"), QStringLiteral("1,40"), QStringLiteral("Smith^Eve")});

        DbResult r = query(def, QStringLiteral("SELECT * FROM tblDosis where Status <> '1' and Datum = ?"), {today});
        QCOMPARE(r.rows.size(), 2);
        QCOMPARE(r.rows.first().value(8).toString(), QStringLiteral("R CC")); // Sonstiges at position 8
        r = query(def, QStringLiteral("Select Distinct(Patname) from tblDosis where Datum = ? and Status <> '1'"), {today});
        QCOMPARE(r.rows.size(), 2);
        r = query(def, QStringLiteral("SELECT * FROM tblDosis where Status <> '1' and Patname = ? and Datum = ?"), {QStringLiteral("D'Arcy^Ann"), today});
        QCOMPARE(r.rows.size(), 1);
        const int id = r.first(QStringLiteral("ID")).toInt();
        run(def, QStringLiteral("Update tblDosis Set Status = '1', FKeyPatID = ?, Patname = ? Where ID = ?"), {QStringLiteral("P'7"), QStringLiteral("O'Neil^Ann"), id});
        run(def, QStringLiteral("Update tblDosis Set Status = '1' Where ID = ?"), {id + 1});
        QCOMPARE(query(def, QStringLiteral("SELECT * FROM tblDosis where Status <> '1' and Datum = ?"), {today}).rows.size(), 0);
        r = query(def, QStringLiteral("Select ID, Patname, Datum, Zeit, Sonstiges, KVP, ma, Dicke from tblDosis where FKeyPatID like ?"), {QStringLiteral("P'%")});
        QCOMPARE(r.rows.size(), 1);
        QCOMPARE(r.first(QStringLiteral("Patname")).toString(), QStringLiteral("O'Neil^Ann"));
        r = query(def, QStringLiteral("Select ID, Patname, Datum, Zeit, Sonstiges, kvp, ma, dicke from tblDosis where Patname like ? ORDER BY Datum"), {QStringLiteral("Smith%")});
        QCOMPARE(r.rows.size(), 2);
        QCOMPARE(r.rows.first().value(QStringLiteral("Datum")).toString(), yesterday); // ISO dates sort as dates
        r = query(def, QStringLiteral("Select * from tblDosis where ID = ?"), {id});
        QCOMPARE(r.first(QStringLiteral("Status")).toString(), QStringLiteral("1"));
        def.close();
    }

    void dictionaryShipsFilledWithTheMammographyFilter()
    {
        Database user = openCopy(QStringLiteral("LumoraUser.dat"), QStringLiteral("s7"));
        QVERIFY(user.open());
        DbResult r = query(user, QStringLiteral("SELECT \"Index\", Tag, Type, Description, Visible FROM tblDictionary ORDER BY Tag"));
        QVERIFY(r.rows.size() >= 100);
        QSet<QString> tags;
        for (const QSqlRecord &row : r.rows) {
            const QString tag = row.value(QStringLiteral("Tag")).toString();
            QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{4},[0-9A-F]{4}$")).match(tag).hasMatch(), qPrintable(tag));
            QVERIFY2(QRegularExpression(QStringLiteral("^[A-Z]{2}$")).match(row.value(QStringLiteral("Type")).toString()).hasMatch(), qPrintable(tag));
            QVERIFY(!row.value(QStringLiteral("Description")).toString().isEmpty());
            QCOMPARE(row.value(QStringLiteral("Visible")).toInt(), -1);
            QVERIFY2(!tags.contains(tag), qPrintable(tag));
            tags.insert(tag);
        }
        // What the standard says of a few of them.
        r = query(user, QStringLiteral("SELECT Type, Description FROM tblDictionary WHERE Tag = ?"), {QStringLiteral("0010,0010")});
        QCOMPARE(r.first(QStringLiteral("Type")).toString(), QStringLiteral("PN"));
        QCOMPARE(r.first(QStringLiteral("Description")).toString(), QStringLiteral("Patient Name"));
        r = query(user, QStringLiteral("SELECT Type, Description FROM tblDictionary WHERE Tag = ?"), {QStringLiteral("0040,8302")});
        QCOMPARE(r.first(QStringLiteral("Type")).toString(), QStringLiteral("DS"));
        QCOMPARE(r.first(QStringLiteral("Description")).toString(), QStringLiteral("Entrance Dose in mGy"));
        QCOMPARE(query(user, QStringLiteral("SELECT Type FROM tblDictionary WHERE Tag = ?"), {QStringLiteral("0020,000D")}).first(QStringLiteral("Type")).toString(),
                 QStringLiteral("UI"));
        // Everything stamping writes is there.
        for (const char *t : {"0018,1150", "0018,1153", "0018,7004", "0020,0062", "0054,0220", "0008,2218", "0020,0020", "0028,1050"})
            QVERIFY2(tags.contains(QLatin1String(t)), t);

        QCOMPARE(query(user, QStringLiteral("SELECT Modality FROM tblModality ORDER BY Modality")).rows.size(), 1);
        r = query(user, QStringLiteral("SELECT \"Index\", Tag, Description FROM tblDictionary WHERE MG = -1 ORDER BY Tag"));
        QStringList mg;
        for (const QSqlRecord &row : r.rows)
            mg << row.value(QStringLiteral("Tag")).toString();
        QCOMPARE(mg, MammographyFilterTags());
        QCOMPARE(query(user, QStringLiteral("SELECT COUNT(*) AS n FROM tblDictionary WHERE MG = 0 AND Visible = -1")).first(QStringLiteral("n")).toInt(),
                 tags.size() - 5);
        user.close();
    }

    void filterAndPartnerStatementsRun()
    {
        Database user = openCopy(QStringLiteral("LumoraUser.dat"), QStringLiteral("s8"));
        QVERIFY(user.open());
        // A new filter is a column with false in every row, and goes again with DROP COLUMN.
        DbResult r = AddModalityFilter(user, QStringLiteral("CR"));
        QVERIFY2(r.ok, qPrintable(r.errorText));
        QCOMPARE(query(user, QStringLiteral("SELECT COUNT(*) AS n FROM tblDictionary WHERE CR = 0")).first(QStringLiteral("n")).toInt(),
                 query(user, QStringLiteral("SELECT COUNT(*) AS n FROM tblDictionary")).first(QStringLiteral("n")).toInt());
        run(user, QStringLiteral("UPDATE tblDictionary SET CR = -1 WHERE Tag = ?"), {QStringLiteral("0010,0010")});
        QCOMPARE(query(user, QStringLiteral("SELECT \"Index\", Tag, Description FROM tblDictionary WHERE CR = -1")).rows.size(), 1);
        QVERIFY(!AddModalityFilter(user, QStringLiteral("C R")).ok);
        run(user, QStringLiteral("DELETE FROM tblModality WHERE Modality = ?"), {QStringLiteral("CR")});
        run(user, QStringLiteral("ALTER TABLE tblDictionary DROP COLUMN CR"));
        QVERIFY(!Execute(user, QStringLiteral("SELECT Tag FROM tblDictionary WHERE CR = -1")).ok);

        run(user, QStringLiteral("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES (?, ?, ?, ?, 1)"),
            {QStringLiteral("Archive"), QStringLiteral("ARCHIVE"), QStringLiteral("127.0.0.1"), QStringLiteral("104")});
        run(user, QStringLiteral("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES (?, ?, ?, ?)"),
            {QStringLiteral("Backup"), QStringLiteral("BACKUP"), QStringLiteral("127.0.0.1"), QStringLiteral("11112")});
        r = query(user, QStringLiteral("SELECT * FROM tblSCP ORDER BY Alias"));
        QCOMPARE(r.rows.size(), 2);
        QCOMPARE(r.rows[1].value(QStringLiteral("Default")).toInt(), 0);
        run(user, QStringLiteral("UPDATE tblSCP SET \"Default\" = 0"));
        run(user, QStringLiteral("UPDATE tblSCP SET \"Default\" = 1 WHERE ID = ?"), {r.rows[1].value(QStringLiteral("ID"))});
        QCOMPARE(query(user, QStringLiteral("SELECT Alias FROM tblSCP WHERE abs(\"Default\") = 1")).first(QStringLiteral("Alias")).toString(), QStringLiteral("Backup"));

        run(user, QStringLiteral("INSERT INTO tblRules (fLevel, fSource, fTask, fTaskID, fName) VALUES(?, ?, ?, ?, ?)"),
            {QStringLiteral("Study"), QStringLiteral("0008,1030"), QStringLiteral("Change"), QStringLiteral("0"), QStringLiteral("Clinic")});
        run(user, QStringLiteral("INSERT INTO tblRuleKey (fKeyName) VALUES(?)"), {QStringLiteral("Clinic")});
        QCOMPARE(query(user, QStringLiteral("SELECT COUNT(*) AS RuleCount FROM tblRules WHERE fName = ?"), {QStringLiteral("Clinic")}).first(QStringLiteral("RuleCount")).toInt(), 1);
        QVERIFY(query(user, QStringLiteral("SELECT * FROM tblRules WHERE fName = ?"), {QStringLiteral("Clinic")}).rows.first().value(QStringLiteral("fTarget")).isNull());
        user.close();
    }
};

QTEST_GUILESS_MAIN(SchemaTest)
#include "tst_schema.moc"
