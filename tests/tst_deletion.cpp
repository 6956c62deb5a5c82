// Removal of series, studies, patients and everything: rows and files go
// together, a failure leaves both, and nothing outside the images folder is touched.
#include "core/Settings.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

namespace {

struct Ids {
    qlonglong patient = 0, study = 0;
    QList<qlonglong> series;
};

qlonglong insert(const QString &sql, const QVariantList &values)
{
    const DbResult r = Execute(ImageDatabase, sql, values);
    if (!r.ok)
        qWarning() << sql << r.errorText;
    return r.lastInsertId.toLongLong();
}

int count(const QString &table)
{
    OpenImageDatabase();
    const int n = Execute(ImageDatabase, QStringLiteral("SELECT COUNT(*) AS n FROM ") + table).first(QStringLiteral("n")).toInt();
    CloseImageDatabase();
    return n;
}

} // namespace

class DeletionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    QString log_;
    DeletionReport report_;
    int studyRows_ = 0, patientRows_ = 0;

    // A patient with a study of the given series, two images each, rows and files.
    Ids addExamination(const QString &patientId, const QString &studyUid, int seriesCount)
    {
        Ids ids;
        OpenImageDatabase();
        ids.patient = insert(QStringLiteral("INSERT INTO tblPatienten (PatID1, PatNachname) VALUES (?, ?)"), {patientId, QStringLiteral("O'Hara")});
        ids.study = insert(QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES (?, ?)"), {studyUid, ids.patient});
        for (int s = 0; s < seriesCount; ++s) {
            const QString seriesUid = studyUid + QStringLiteral(".%1").arg(s + 1);
            const qlonglong series = insert(QStringLiteral("INSERT INTO tblSeries (SeriesUID, SeriesNr, FKeyStudyID) VALUES (?, ?, ?)"),
                                            {seriesUid, s + 1, ids.study});
            ids.series << series;
            for (int i = 0; i < 2; ++i) {
                const QString uid = seriesUid + QStringLiteral(".%1").arg(i + 1);
                insert(QStringLiteral("INSERT INTO tblImages (ImageUID, ImageNr, FKeySeriesID) VALUES (?, ?, ?)"), {uid, i + 1, series});
                f_->write(QStringLiteral("images/%1/%2.dcm").arg(studyUid, uid), "DICM");
            }
        }
        CloseImageDatabase();
        return ids;
    }
    bool fileExists(const QString &studyUid, const QString &imageUid) const
    {
        return QFile::exists(f_->file(QStringLiteral("images/%1/%2.dcm").arg(studyUid, imageUid)));
    }

private slots:
    void init()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(MakeStationDatabases(f_->path()));
        Settings = SettingsRecord();
        SetDatabasePaths();
        ImageDatabase.setBusyTimeout(8000);
        log_.clear();
        studyRows_ = patientRows_ = 0;
        report_ = DeletionReport();
        report_.append = [this](const QString &t) { log_ += t; };
        report_.studyRowRemoved = [this] { ++studyRows_; };
        report_.patientRowRemoved = [this] { ++patientRows_; };
    }
    void cleanup() { f_.reset(); }

    void seriesOfAStudyThatKeepsOthers()
    {
        const Ids a = addExamination(QStringLiteral("P1"), QStringLiteral("1.2.3"), 2);
        QVERIFY2(DeleteSeriesFromDatabase(a.series[0], a.study, QStringLiteral("1.2.3"), a.patient, QStringLiteral("P1"), report_),
                 f_->read(QStringLiteral("Logs/Error.log")).constData());
        QCOMPARE(count(QStringLiteral("tblSeries")), 1);
        QCOMPARE(count(QStringLiteral("tblImages")), 2);
        QCOMPARE(count(QStringLiteral("tblStudies")), 1);
        QVERIFY(!fileExists(QStringLiteral("1.2.3"), QStringLiteral("1.2.3.1.1")));
        QVERIFY(fileExists(QStringLiteral("1.2.3"), QStringLiteral("1.2.3.2.1")));
        QCOMPARE(studyRows_, 0);
        QCOMPARE(log_, QStringLiteral("Updating Database ... OK\r\nRemoving images ... OK\r\n"));
    }

    void lastSeriesTakesStudyAndPatient()
    {
        const Ids a = addExamination(QStringLiteral("P1"), QStringLiteral("1.2.3"), 1);
        const Ids b = addExamination(QStringLiteral("P2"), QStringLiteral("1.2.4"), 1);
        QVERIFY(DeleteSeriesFromDatabase(a.series[0], a.study, QStringLiteral("1.2.3"), a.patient, QStringLiteral("P1"), report_));
        QCOMPARE(count(QStringLiteral("tblStudies")), 1);
        QCOMPARE(count(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(studyRows_, 1);
        QCOMPARE(patientRows_, 1);
        QVERIFY(!QDir(f_->file(QStringLiteral("images/1.2.3"))).exists());
        QVERIFY(QDir(f_->file(QStringLiteral("images/1.2.4"))).exists());
        QVERIFY(log_.contains(QStringLiteral("Removing image directory ... OK")));
        Q_UNUSED(b);
    }

    void studyAloneOrWithItsPatient()
    {
        const Ids a = addExamination(QStringLiteral("P1"), QStringLiteral("1.2.3"), 2);
        QVERIFY(DeleteStudyFromDatabase(a.study, QStringLiteral("1.2.3"), a.patient, QStringLiteral("P1"), false, report_));
        QCOMPARE(count(QStringLiteral("tblImages")), 0);
        QCOMPARE(count(QStringLiteral("tblSeries")), 0);
        QCOMPARE(count(QStringLiteral("tblStudies")), 0);
        QCOMPARE(count(QStringLiteral("tblPatienten")), 1); // not a send: the patient stays
        QVERIFY(!QDir(f_->file(QStringLiteral("images/1.2.3"))).exists());

        const Ids b = addExamination(QStringLiteral("P2"), QStringLiteral("1.2.4"), 1);
        QVERIFY(DeleteStudyFromDatabase(b.study, QStringLiteral("1.2.4"), b.patient, QStringLiteral("P2"), true, report_));
        QCOMPARE(count(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(patientRows_, 1);
    }

    void patientWithAllStudies()
    {
        const Ids a = addExamination(QStringLiteral("P1"), QStringLiteral("1.2.3"), 2);
        OpenImageDatabase();
        const qlonglong study2 = insert(QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES ('1.2.9', ?)"), {a.patient});
        const qlonglong series2 = insert(QStringLiteral("INSERT INTO tblSeries (SeriesUID, FKeyStudyID) VALUES ('1.2.9.1', ?)"), {study2});
        insert(QStringLiteral("INSERT INTO tblImages (ImageUID, FKeySeriesID) VALUES ('1.2.9.1.1', ?)"), {series2});
        CloseImageDatabase();
        f_->write(QStringLiteral("images/1.2.9/1.2.9.1.1.dcm"), "DICM");
        addExamination(QStringLiteral("P2"), QStringLiteral("1.2.4"), 1);
        QList<int> steps;
        report_.progress = [&](int done, int total) { steps << done * 10 + total; };
        QVERIFY(DeletePatientFromDatabase(a.patient, QStringLiteral("P1"), report_));
        QCOMPARE(count(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(count(QStringLiteral("tblStudies")), 1);
        QCOMPARE(count(QStringLiteral("tblImages")), 2);
        QVERIFY(!QDir(f_->file(QStringLiteral("images/1.2.3"))).exists());
        QVERIFY(!QDir(f_->file(QStringLiteral("images/1.2.9"))).exists());
        QVERIFY(QDir(f_->file(QStringLiteral("images/1.2.4"))).exists());
        QCOMPARE(steps, (QList<int>{12, 22}));
    }

    void everythingWhileAnotherProcessHoldsTheDatabase()
    {
        addExamination(QStringLiteral("P1"), QStringLiteral("1.2.3"), 2);
        addExamination(QStringLiteral("P2"), QStringLiteral("1.2.4"), 1);
        // The receiver keeps its own connection open.
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("receiver"));
        other.setDatabaseName(ImageDatabase.path());
        QVERIFY(other.open());
        {
            QSqlQuery q(other);
            QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM tblImages")) && q.next());
            QCOMPARE(q.value(0).toInt(), 6);
        }
        QVERIFY(DeleteAllFromDatabase(report_));
        QCOMPARE(count(QStringLiteral("tblImages")), 0);
        QCOMPARE(count(QStringLiteral("tblPatienten")), 0);
        QCOMPARE(QDir(f_->file(QStringLiteral("images"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 0);
        {
            QSqlQuery q(other); // the other connection sees the empty tables, not a broken file
            QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM tblImages")) && q.next());
            QCOMPARE(q.value(0).toInt(), 0);
            QVERIFY(q.exec(QStringLiteral("INSERT INTO tblPatienten (PatID1) VALUES ('P9')")));
        }
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("receiver"));
        QCOMPARE(count(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(log_, QStringLiteral("Removing database entries ... OK\r\nRemoving images ... "));
    }

    void everythingWithoutTemplateStillRemovesImages()
    {
        addExamination(QStringLiteral("P1"), QStringLiteral("1.2.3"), 1);
        QVERIFY(QFile::remove(f_->file(QStringLiteral("Data/LumoraDef.dat"))));
        QVERIFY(!DeleteAllFromDatabase(report_));
        QVERIFY(log_.startsWith(QStringLiteral("Removing database entries ... failed\r\n")));
        QCOMPARE(count(QStringLiteral("tblImages")), 2);
        QVERIFY(!QDir(f_->file(QStringLiteral("images/1.2.3"))).exists());
    }

    void lockedDatabaseLeavesRowsAndFiles()
    {
        const Ids a = addExamination(QStringLiteral("P1"), QStringLiteral("1.2.3"), 1);
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer"));
        other.setDatabaseName(ImageDatabase.path());
        QVERIFY(other.open());
        QSqlQuery lock(other);
        QVERIFY(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
        ImageDatabase.setBusyTimeout(200);
        QVERIFY(!DeleteStudyFromDatabase(a.study, QStringLiteral("1.2.3"), a.patient, QStringLiteral("P1"), true, report_));
        QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
        lock = QSqlQuery();
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("writer"));
        QCOMPARE(count(QStringLiteral("tblImages")), 2);
        QVERIFY(fileExists(QStringLiteral("1.2.3"), QStringLiteral("1.2.3.1.1")));
        QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains("EditForm DeleteStudyFromDatabase"));
        QCOMPARE(patientRows_, 0);
    }

    void uidsThatLeaveTheImagesFolderTouchNothing()
    {
        f_->write(QStringLiteral("keep/precious.txt"), "x");
        QVERIFY(StudyFolder(QStringLiteral("../keep")).isEmpty());
        QVERIFY(StudyFolder(QStringLiteral("..")).isEmpty());
        QVERIFY(StudyFolder(QStringLiteral("1.2.3\n")).isEmpty());
        QVERIFY(StudyFolder(QStringLiteral("1.2/../../keep")).isEmpty());
        QCOMPARE(StudyFolder(QStringLiteral("1.2.3")), f_->file(QStringLiteral("images/1.2.3")));
        OpenImageDatabase();
        const qlonglong p = insert(QStringLiteral("INSERT INTO tblPatienten (PatID1) VALUES ('P1')"), {});
        const qlonglong s = insert(QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES ('../keep', ?)"), {p});
        CloseImageDatabase();
        QVERIFY(DeleteStudyFromDatabase(s, QStringLiteral("../keep"), p, QStringLiteral("P1"), false, report_));
        QVERIFY(QFile::exists(f_->file(QStringLiteral("keep/precious.txt"))));
    }
};

QTEST_GUILESS_MAIN(DeletionTest)
#include "tst_deletion.moc"
