// Removal of series, studies, patients and everything: rows and files go
// together, a failure leaves both, and nothing outside the images folder is touched.
#include "core/Settings.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "support/Station.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class DeletionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    QString log_;
    DeletionReport report_;
    int studyRows_ = 0, patientRows_ = 0;

    FiledStudy file(const QString &patientId, int seriesCount)
    {
        const FiledStudy s = FileStudy(*f_, patientId, seriesCount, 2);
        if (s.images.size() != seriesCount * 2)
            qWarning() << "study not filed";
        return s;
    }
    QString image(const FiledStudy &s, int i) const { return f_->file(QStringLiteral("images/%1/%2.dcm").arg(s.uid, s.images.value(i))); }
    bool folderExists(const FiledStudy &s) const { return QDir(f_->file(QStringLiteral("images/") + s.uid)).exists(); }

private slots:
    void init()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(MakeStationDatabases(f_->path()));
        ResetWorkstationState();
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

    // The first series goes alone; the last one takes its study and patient along.
    void seriesOfAStudy()
    {
        const FiledStudy a = file(QStringLiteral("P1"), 2);
        const FiledStudy b = file(QStringLiteral("P2"), 1);
        QVERIFY2(DeleteSeriesFromDatabase(a.series[0], a.study, a.uid, a.patient, QStringLiteral("P1"), report_),
                 f_->read(QStringLiteral("Logs/Error.log")).constData());
        QCOMPARE(CountRows(QStringLiteral("tblSeries")), 2);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 4);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 2);
        QVERIFY(!QFile::exists(image(a, 0)));
        QVERIFY(QFile::exists(image(a, 2)));
        QCOMPARE(studyRows_, 0);
        QCOMPARE(log_, QStringLiteral("Updating Database ... OK\r\nRemoving images ... OK\r\n"));

        QVERIFY(DeleteSeriesFromDatabase(a.series[1], a.study, a.uid, a.patient, QStringLiteral("P1"), report_));
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 1);
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(studyRows_, 1);
        QCOMPARE(patientRows_, 1);
        QVERIFY(!folderExists(a));
        QVERIFY(folderExists(b));
        QVERIFY(log_.contains(QStringLiteral("Removing image directory ... OK")));
    }

    void studyAloneOrWithItsPatient()
    {
        const FiledStudy a = file(QStringLiteral("P1"), 2);
        QVERIFY(DeleteStudyFromDatabase(a.study, a.uid, a.patient, QStringLiteral("P1"), false, report_));
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 0);
        QCOMPARE(CountRows(QStringLiteral("tblSeries")), 0);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 0);
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 1); // not a send: the patient stays
        QVERIFY(!folderExists(a));

        const FiledStudy b = file(QStringLiteral("P2"), 1);
        QVERIFY(DeleteStudyFromDatabase(b.study, b.uid, b.patient, QStringLiteral("P2"), true, report_));
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(patientRows_, 1);
    }

    void patientWithAllStudies()
    {
        const FiledStudy a = file(QStringLiteral("P1"), 2);
        const FiledStudy a2 = file(QStringLiteral("P1"), 1); // a second study of the same patient
        const FiledStudy b = file(QStringLiteral("P2"), 1);
        QCOMPARE(a2.patient, a.patient);
        QList<int> steps;
        report_.progress = [&](int done, int total) { steps << done * 10 + total; };
        QVERIFY(DeletePatientFromDatabase(a.patient, QStringLiteral("P1"), report_));
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(CountRows(QStringLiteral("tblStudies")), 1);
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 2);
        QVERIFY(!folderExists(a));
        QVERIFY(!folderExists(a2));
        QVERIFY(folderExists(b));
        QCOMPARE(steps, (QList<int>{12, 22}));
    }

    void everythingWhileAnotherProcessHoldsTheDatabase()
    {
        file(QStringLiteral("P1"), 2);
        file(QStringLiteral("P2"), 1);
        // The receiver keeps its own connection open.
        Database other(QStringLiteral("receiver"), QStringLiteral("test"));
        other.setPath(ImageDatabase.path());
        QVERIFY(other.open());
        const QString images = QStringLiteral("SELECT COUNT(*) AS n FROM tblImages");
        QCOMPARE(Execute(other, images).first(QStringLiteral("n")).toInt(), 6);
        QVERIFY(DeleteAllFromDatabase(report_));
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 0);
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 0);
        QCOMPARE(QDir(f_->file(QStringLiteral("images"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 0);
        // The other connection sees the empty tables, not a broken file.
        const DbResult after = Execute(other, images);
        QVERIFY2(after.ok, qPrintable(after.errorText));
        QCOMPARE(after.first(QStringLiteral("n")).toInt(), 0);
        QVERIFY(Execute(other, QStringLiteral("INSERT INTO tblPatienten (PatID1) VALUES ('P9')")).ok);
        other.close();
        QCOMPARE(CountRows(QStringLiteral("tblPatienten")), 1);
        QCOMPARE(log_, QStringLiteral("Removing database entries ... OK\r\nRemoving images ... "));
    }

    void everythingWithoutTemplateStillRemovesImages()
    {
        const FiledStudy a = file(QStringLiteral("P1"), 1);
        QVERIFY(QFile::remove(f_->file(QStringLiteral("Data/LumoraDef.dat"))));
        QVERIFY(!DeleteAllFromDatabase(report_));
        QVERIFY(log_.startsWith(QStringLiteral("Removing database entries ... failed\r\n")));
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 2);
        QVERIFY(!folderExists(a));
    }

    void lockedDatabaseLeavesRowsAndFiles()
    {
        const FiledStudy a = file(QStringLiteral("P1"), 1);
        {
            WriteLockHolder lock(ImageDatabase.path());
            QVERIFY(lock.held());
            ImageDatabase.setBusyTimeout(200);
            QVERIFY(!DeleteStudyFromDatabase(a.study, a.uid, a.patient, QStringLiteral("P1"), true, report_));
        }
        QCOMPARE(CountRows(QStringLiteral("tblImages")), 2);
        QVERIFY(QFile::exists(image(a, 0)));
        QVERIFY(f_->read(QStringLiteral("Logs/Error.log")).contains("EditForm DeleteStudyFromDatabase"));
        QCOMPARE(patientRows_, 0);
    }

    void uidsThatLeaveTheImagesFolderTouchNothing()
    {
        f_->write(QStringLiteral("keep/precious.txt"), "x");
        for (const char *uid : {"../keep", "..", "1.2.3\n", "1.2/../../keep"})
            QVERIFY2(StudyFolder(QLatin1String(uid)).isEmpty(), uid);
        QCOMPARE(StudyFolder(QStringLiteral("1.2.3")), f_->file(QStringLiteral("images/1.2.3")));
        OpenImageDatabase();
        const qlonglong p = Execute(ImageDatabase, QStringLiteral("INSERT INTO tblPatienten (PatID1) VALUES ('P1')")).lastInsertId.toLongLong();
        const qlonglong s = Execute(ImageDatabase, QStringLiteral("INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES ('../keep', ?)"), {p})
                                .lastInsertId.toLongLong();
        CloseImageDatabase();
        QVERIFY(p > 0 && s > 0);
        QVERIFY(DeleteStudyFromDatabase(s, QStringLiteral("../keep"), p, QStringLiteral("P1"), false, report_));
        QVERIFY(QFile::exists(f_->file(QStringLiteral("keep/precious.txt"))));
    }
};

QTEST_GUILESS_MAIN(DeletionTest)
#include "tst_deletion.moc"
