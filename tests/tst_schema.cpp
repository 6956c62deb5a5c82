// The database files the build makes: tables, views and indexes the
// workstation relies on, the shipped dictionary and its MG filter.
#include "dictionary/DictionaryStore.h"
#include "store/DatabasePaths.h"
#include "support/Station.h"

#include <QFile>
#include <QtTest>

class SchemaTest : public QObject {
    Q_OBJECT

    TestFolder folder_;

    QString file(const QString &name) const { return folder_.file(QStringLiteral("Data/") + name); }
    Database open(const QString &name, const QString &conn) const
    {
        Database db(conn, QStringLiteral("test"));
        db.setPath(file(name));
        if (!db.open())
            qWarning() << "cannot open" << name;
        return db;
    }
    QStringList names(const QString &name, const QString &sql, const QVariantList &values = {}) const
    {
        QStringList out;
        for (const QVariantList &row : QueryRows(file(name), sql, values))
            out << row.value(0).toString();
        return out;
    }
    QStringList objects(const QString &name, const QString &type) const
    {
        return names(name, QStringLiteral("SELECT name FROM sqlite_master WHERE type = ? AND name NOT LIKE 'sqlite_%' ORDER BY name"), {type});
    }

private slots:
    // The receiver and data manager programs are checked by tst_receiver and
    // tst_datamgr, the workstation by tst_workstation_e2e.
    void initTestCase()
    {
        QVERIFY(MakeStationDatabases(folder_.path()));
        for (const char *name : {"LumoraData.dat", "LumoraUser.dat", "LumoraDef.dat"}) {
            QVERIFY(QFile::exists(file(QLatin1String(name))));
            QVERIFY(!QFile::exists(file(QLatin1String(name) + QStringLiteral(".new"))));
            QVERIFY2(QFile::exists(StationDir() + QStringLiteral("/Data/") + QLatin1String(name)), name);
        }
        for (const char *name : {"projection.ini", "orvana.jpg"})
            QVERIFY2(QFile::exists(StationDir() + QLatin1Char('/') + QLatin1String(name)), name);
    }

    // The template holds the image tables and the journal; the journal is read
    // by position, so its column order is fixed.
    void eachFileHoldsItsTables()
    {
        const QString data = QStringLiteral("LumoraData.dat"), def = QStringLiteral("LumoraDef.dat");
        QStringList templateTables = objects(data, QStringLiteral("table")) << QStringLiteral("tblDosis");
        templateTables.sort();
        QCOMPARE(objects(def, QStringLiteral("table")), templateTables);
        QCOMPARE(objects(def, QStringLiteral("view")), objects(data, QStringLiteral("view")));
        QCOMPARE(objects(QStringLiteral("LumoraUser.dat"), QStringLiteral("table")),
                 (QStringList{QStringLiteral("tblDictionary"), QStringLiteral("tblModality"), QStringLiteral("tblRuleKey"), QStringLiteral("tblRules"), QStringLiteral("tblSCP")}));
        QCOMPARE(CountRows(file(def), QStringLiteral("tblDosis")), 0);
        const QStringList dosis = names(def, QStringLiteral("SELECT name FROM pragma_table_info('tblDosis') ORDER BY cid"));
        QCOMPARE(dosis.mid(0, 11), (QStringList{QStringLiteral("ID"), QStringLiteral("KVP"), QStringLiteral("ma"), QStringLiteral("Zeit"),
                                                QStringLiteral("Dicke"), QStringLiteral("mGy"), QStringLiteral("Druck"), QStringLiteral("Datum"),
                                                QStringLiteral("Sonstiges"), QStringLiteral("Status"), QStringLiteral("expZeit")}));
        QVERIFY(dosis.contains(QStringLiteral("Patname")) && dosis.contains(QStringLiteral("FKeyPatID")));
        QCOMPARE(QueryValue(file(data), QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
    }

    void journalIsFilteredByIndexes()
    {
        Database def = open(QStringLiteral("LumoraDef.dat"), QStringLiteral("s4"));
        const DbResult plan = Execute(def, QStringLiteral("EXPLAIN QUERY PLAN SELECT * FROM tblDosis where Status <> '1' and Datum = ?"), {QStringLiteral("2026-12-06")});
        def.close();
        QString detail;
        for (const QSqlRecord &row : plan.rows)
            detail += row.value(QStringLiteral("detail")).toString();
        QVERIFY2(detail.contains(QStringLiteral("USING INDEX")), qPrintable(detail));
        for (const char *table : {"tblStudies", "tblSeries", "tblImages"})
            QVERIFY2(QueryValue(file(QStringLiteral("LumoraDef.dat")), QStringLiteral("SELECT COUNT(*) FROM pragma_index_list(?)"), {QLatin1String(table)}).toInt() >= 2,
                     table);
    }

    // One row per SOP instance, whatever its series. What the views show is read
    // by tst_receiver (studyOfFourImagesFromTwoSeries) and tst_browser.
    void imageUidsAreUnique()
    {
        FixtureStudy a, b;
        b.patientId = QStringLiteral("PAT0002");
        a.series = b.series = {FixtureSeries{1, {SyntheticImageSpec()}}};
        QString error;
        QVERIFY2(AddStudy(folder_.path(), a, &error) && AddStudy(folder_.path(), b, &error), qPrintable(error));
        Database db = open(QStringLiteral("LumoraData.dat"), QStringLiteral("s5"));
        QVERIFY(!Execute(db, QStringLiteral("INSERT INTO tblImages (ImageUID, FKeySeriesID) VALUES (?, ?)"), {a.series[0].images[0].sopUid, b.series[0].seriesKey}).ok);
        db.close();
    }

    void dictionaryShipsFilledWithTheMammographyFilter()
    {
        const QString user = file(QStringLiteral("LumoraUser.dat"));
        const QList<QVariantList> rows = QueryRows(user, QStringLiteral("SELECT Tag, Type, Description, Visible FROM tblDictionary ORDER BY Tag"));
        QVERIFY(rows.size() >= 100);
        const QRegularExpression tagForm(QStringLiteral("^[0-9A-F]{4},[0-9A-F]{4}$")), typeForm(QStringLiteral("^[A-Z]{2}$"));
        QSet<QString> tags;
        for (const QVariantList &row : rows) {
            const QString tag = row.at(0).toString();
            QVERIFY2(tagForm.match(tag).hasMatch() && typeForm.match(row.at(1).toString()).hasMatch(), qPrintable(tag));
            QVERIFY(!row.at(2).toString().isEmpty());
            QCOMPARE(row.at(3).toInt(), -1);
            QVERIFY2(!tags.contains(tag), qPrintable(tag));
            tags.insert(tag);
        }
        QCOMPARE(QueryRows(user, QStringLiteral("SELECT Type, Description FROM tblDictionary WHERE Tag = '0010,0010'")),
                 (QList<QVariantList>{{QStringLiteral("PN"), QStringLiteral("Patient Name")}}));
        // Everything stamping writes is there.
        for (const char *t : {"0018,1150", "0018,1153", "0018,7004", "0020,0062", "0054,0220", "0008,2218", "0020,0020", "0028,1050"})
            QVERIFY2(tags.contains(QLatin1String(t)), t);

        QCOMPARE(CountRows(user, QStringLiteral("tblModality")), 1);
        QCOMPARE(names(QStringLiteral("LumoraUser.dat"), QStringLiteral("SELECT Tag FROM tblDictionary WHERE MG = -1 ORDER BY Tag")), MammographyFilterTags());
        QCOMPARE(QueryValue(user, QStringLiteral("SELECT COUNT(*) FROM tblDictionary WHERE MG = 0 AND Visible = -1")).toInt(), tags.size() - 5);
    }

    // A new filter is a column with false in every row; unsafe names are refused.
    void modalityFilterIsAColumn()
    {
        Database user = open(QStringLiteral("LumoraUser.dat"), QStringLiteral("s8"));
        const DbResult r = AddModalityFilter(user, QStringLiteral("CR"));
        QVERIFY2(r.ok, qPrintable(r.errorText));
        QVERIFY(!AddModalityFilter(user, QStringLiteral("C R")).ok);
        user.close();
        const QString path = file(QStringLiteral("LumoraUser.dat"));
        QCOMPARE(QueryValue(path, QStringLiteral("SELECT COUNT(*) FROM tblDictionary WHERE CR = 0")).toLongLong(), CountRows(path, QStringLiteral("tblDictionary")));
        QCOMPARE(QueryValue(path, QStringLiteral("SELECT COUNT(*) FROM tblModality WHERE Modality = 'CR'")).toInt(), 1);
    }
};

QTEST_GUILESS_MAIN(SchemaTest)
#include "tst_schema.moc"
