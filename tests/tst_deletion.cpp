// Removal of series, studies, patients and everything: rows and files go
// together, a failure leaves both, and nothing outside the images folder is touched.
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "support/Rows.h"

class DeletionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> f_;
    QString log_;
    DeletionReport report_;
    int studyRows_ = 0, patientRows_ = 0;

    FiledStudy file(const QString &patientId, int seriesCount) { return FileStudy(*f_, patientId, seriesCount, 2); }
    QString image(const FiledStudy &s, int i) const { return f_->file(u"images/%1/%2.dcm"_s.arg(s.uid, s.images.value(i))); }
    bool folderExists(const FiledStudy &s) const { return QDir(f_->file(u"images/"_s + s.uid)).exists(); }

private slots:
    void init()
    {
        f_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*f_));
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
        const FiledStudy a = file(u"P1"_s, 2);
        const FiledStudy b = file(u"P2"_s, 1);
        QVERIFY2(Remove(RemovalLevel::Series, a.series[0], report_),
                 f_->read(u"Logs/Error.log"_s).constData());
        QCOMPARE(ImageRows(), (Counts{2, 2, 2, 4, 0}));
        QVERIFY(!QFile::exists(image(a, 0)) && QFile::exists(image(a, 2)));
        QCOMPARE(studyRows_, 0);
        QCOMPARE(log_, u"Updating Database ... OK\r\nRemoving images ... OK\r\n"_s);

        QVERIFY(Remove(RemovalLevel::Series, a.series[1], report_));
        QCOMPARE(ImageRows(), (Counts{1, 1, 1, 2, 0}));
        QCOMPARE(studyRows_, 1);
        QCOMPARE(patientRows_, 1);
        QVERIFY(!folderExists(a) && folderExists(b));
        QVERIFY(log_.contains(u"Removing image directory ... OK"_s));
    }

    void studyAloneOrWithItsPatient()
    {
        const FiledStudy a = file(u"P1"_s, 2);
        QVERIFY(Remove(RemovalLevel::Study, a.study, report_, {.emptiedParents = EmptiedParents::Kept}));
        QCOMPARE(ImageRows(), (Counts{1, 0, 0, 0, 0})); // not a send: the patient stays
        QVERIFY(!folderExists(a));

        const FiledStudy b = file(u"P2"_s, 1);
        QVERIFY(Remove(RemovalLevel::Study, b.study, report_));
        QCOMPARE(CountRows(u"tblPatienten"_s), 1);
        QCOMPARE(patientRows_, 1);
    }

    void patientWithAllStudies()
    {
        const FiledStudy a = file(u"P1"_s, 2);
        const FiledStudy a2 = file(u"P1"_s, 1); // a second study of the same patient
        const FiledStudy b = file(u"P2"_s, 1);
        QCOMPARE(a2.patient, a.patient);
        QList<int> steps;
        report_.progress = [&](int done, int total) { steps << done * 10 + total; };
        QVERIFY(Remove(RemovalLevel::Patient, a.patient, report_));
        QCOMPARE(ImageRows(), (Counts{1, 1, 1, 2, 0}));
        QVERIFY(!folderExists(a) && !folderExists(a2) && folderExists(b));
        QCOMPARE(steps, (QList<int>{2, 12, 22})); // the total once, then each folder
    }

    // The one removal at each level: the row named goes, the schema's cascade
    // takes the rows below, and the rows above left empty go unless kept;
    // the lists are told of a study or patient row as it goes.
    void removalAtEachLevel_data()
    {
        QTest::addColumn<QString>("level");  // "images" (those of the first series, or "all"), "series", "study", "patient"
        QTest::addColumn<bool>("all");       // images: every image of the study
        QTest::addColumn<bool>("keep");      // emptied parents kept
        QTest::addColumn<Counts>("rows");
        QTest::addColumn<int>("studyTold");
        QTest::addColumn<int>("patientTold");
        QTest::addColumn<bool>("folderGone");
        QTest::newRow("the images of a series") << u"images"_s << false << false << Counts{2, 2, 2, 4, 0} << 0 << 0 << false;
        QTest::newRow("every image of the study") << u"images"_s << true << false << Counts{1, 1, 1, 2, 0} << 1 << 1 << true;
        QTest::newRow("every image, emptied rows kept") << u"images"_s << true << true << Counts{2, 2, 3, 2, 0} << 0 << 0 << false;
        QTest::newRow("a series of two") << u"series"_s << false << false << Counts{2, 2, 2, 4, 0} << 0 << 0 << false;
        QTest::newRow("a study, its patient kept") << u"study"_s << false << true << Counts{2, 1, 1, 2, 0} << 1 << 0 << true;
        QTest::newRow("a study with its emptied patient") << u"study"_s << false << false << Counts{1, 1, 1, 2, 0} << 1 << 1 << true;
        QTest::newRow("a patient") << u"patient"_s << false << false << Counts{1, 1, 1, 2, 0} << 0 << 1 << true;
    }
    void removalAtEachLevel()
    {
        QFETCH(QString, level);
        QFETCH(bool, all);
        QFETCH(bool, keep);
        QFETCH(Counts, rows);
        QFETCH(int, studyTold);
        QFETCH(int, patientTold);
        QFETCH(bool, folderGone);
        const FiledStudy a = file(u"P1"_s, 2);
        const FiledStudy b = file(u"P2"_s, 1);
        QCOMPARE(ImageRows(), (Counts{2, 2, 3, 6, 0}));
        const RemovalOptions options{keep ? EmptiedParents::Kept : EmptiedParents::Removed, {}, {}};
        bool removed = false;
        if (level == "images"_L1)
            removed = RemoveImages(all ? a.images : a.images.mid(0, 2), report_, options);
        else if (level == "series"_L1)
            removed = Remove(RemovalLevel::Series, a.series[0], report_, options);
        else if (level == "study"_L1)
            removed = Remove(RemovalLevel::Study, a.study, report_, options);
        else
            removed = Remove(RemovalLevel::Patient, a.patient, report_, options);
        QVERIFY2(removed, f_->read(u"Logs/Error.log"_s).constData());
        QCOMPARE(ImageRows(), rows);
        QCOMPARE(studyRows_, studyTold);
        QCOMPARE(patientRows_, patientTold);
        QCOMPARE(folderExists(a), !folderGone);
        QVERIFY(!QFile::exists(image(a, 0)) && !QFile::exists(image(a, 1)));
        QCOMPARE(QFile::exists(image(a, 3)), !all && level != "study"_L1 && level != "patient"_L1);
        QVERIFY(QFile::exists(image(b, 0)) && QFile::exists(image(b, 1)));
        QCOMPARE(QueryRows(ImageDatabaseFile(), u"PRAGMA foreign_key_check"_s), QList<QVariantList>());
    }

    // A send that removed a patient's studies one by one takes her row only
    // while no study was filed under her since.
    void patientAfterHerStudiesWereSent()
    {
        const FiledStudy a = file(u"P1"_s, 1);
        QVERIFY(!RemovePatientIfEmpty(a.patient).ok());
        QCOMPARE(ImageRows(), (Counts{1, 1, 1, 2, 0}));
        QVERIFY(Remove(RemovalLevel::Study, a.study, report_, {.emptiedParents = EmptiedParents::Kept}));
        QCOMPARE(ImageRows(), (Counts{1, 0, 0, 0, 0}));
        QVERIFY(RemovePatientIfEmpty(a.patient).ok());
        QCOMPARE(ImageRows(), (Counts{0, 0, 0, 0, 0}));
    }

    void everythingWhileAnotherProcessHoldsTheDatabase()
    {
        file(u"P1"_s, 2);
        file(u"P2"_s, 1);
        // The receiver keeps its own connection open.
        Database other(u"receiver"_s, u"test"_s);
        other.setPath(ImageDatabase.path());
        QVERIFY(other.open());
        const QString images = u"SELECT COUNT(*) AS n FROM tblImages"_s;
        QCOMPARE(Execute(other, images).first(u"n"_s).toInt(), 6);
        QVERIFY(DeleteAllFromDatabase(report_));
        QCOMPARE(ImageRows(), (Counts{0, 0, 0, 0, 0}));
        QCOMPARE(QDir(f_->file(u"images"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 0);
        // The other connection sees the empty tables, not a broken file.
        const DbResult after = Execute(other, images);
        QVERIFY2(after.ok(), qPrintable(after.text));
        QCOMPARE(after.first(u"n"_s).toInt(), 0);
        QVERIFY(Execute(other, u"INSERT INTO tblPatienten (PatID1) VALUES ('P9')"_s).ok());
        other.close();
        QCOMPARE(CountRows(u"tblPatienten"_s), 1);
        QCOMPARE(log_, u"Removing database entries ... OK\r\nRemoving images ... "_s);
    }

    // Without the template the rows stay, and so do their images.
    void everythingWithoutTemplateKeepsTheImages()
    {
        const FiledStudy a = file(u"P1"_s, 1);
        QVERIFY(QFile::remove(f_->file(u"Data/LumoraDef.dat"_s)));
        QVERIFY(!DeleteAllFromDatabase(report_));
        QCOMPARE(log_, u"Removing database entries ... failed\r\n"_s);
        QCOMPARE(CountRows(u"tblImages"_s), 2);
        QVERIFY(QFile::exists(image(a, 0)) && QFile::exists(image(a, 1)));
    }

    void lockedDatabaseLeavesRowsAndFiles()
    {
        const FiledStudy a = file(u"P1"_s, 1);
        {
            WriteLockHolder lock(ImageDatabase.path());
            QVERIFY(lock.held());
            ImageDatabase.setBusyTimeout(200);
            QVERIFY(!Remove(RemovalLevel::Study, a.study, report_));
        }
        QCOMPARE(CountRows(u"tblImages"_s), 2);
        QVERIFY(QFile::exists(image(a, 0)));
        QVERIFY(f_->read(u"Logs/Error.log"_s).contains("EditForm DeleteStudyFromDatabase"));
        QCOMPARE(patientRows_, 0);
    }

    void uidsThatLeaveTheImagesFolderTouchNothing()
    {
        f_->write(u"keep/precious.txt"_s, "x");
        for (const char *uid : {"../keep", "..", "1.2.3\n", "1.2/../../keep"})
            QVERIFY2(StudyFolder(QLatin1String(uid)).isEmpty(), uid);
        QCOMPARE(StudyFolder(u"1.2.3"_s), f_->file(u"images/1.2.3"_s));
        qlonglong p = 0, s = 0;
        {
            DatabaseSession db(ImageDatabase);
            p = Execute(ImageDatabase, u"INSERT INTO tblPatienten (PatID1) VALUES ('P1')"_s).lastInsertId.toLongLong();
            s = Execute(ImageDatabase, u"INSERT INTO tblStudies (StudyUID, FKeyPATID) VALUES ('../keep', ?)"_s, {p}).lastInsertId.toLongLong();
        }
        QVERIFY(p > 0 && s > 0);
        QVERIFY(Remove(RemovalLevel::Study, s, report_, {.emptiedParents = EmptiedParents::Kept}));
        QVERIFY(QFile::exists(f_->file(u"keep/precious.txt"_s)));
    }
};

QTEST_GUILESS_MAIN(DeletionTest)
#include "tst_deletion.moc"
