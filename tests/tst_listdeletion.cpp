// Deletion from the lists over a real image database: one image, a series, a
// study, a patient and everything, with the escalation to the level above and
// the progress dialog's jobs; what goes is the row right-clicked, after a
// question; image rows after a send by its dose assignment.
#include "store/Session.h"
#include "browse/ListDeletion.h"
#include "core/Settings.h"
#include "jobs/EditForm.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Widgets.h"

class ListDeletionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<BrowserWindow> rig_;
    std::unique_ptr<ListDeletion> deletion_;
    QList<JobKind> jobs_;
    int progress_ = -1, progressMaximum_ = -1; // the last job's bar

    qlonglong rows(const char *table) { return CountRows(QString::fromLatin1(table)); }
    bool imageExists(const FiledStudy &s, int i) { return QFile::exists(folder_->file(u"images/%1/%2.dcm"_s.arg(s.uid, s.images.value(i)))); }
    bool folderExists(const QString &studyUid) { return QDir(folder_->file(u"images/"_s + studyUid)).exists(); }
    QStringList &questions() { return rig_->boxes.texts; }
    Browser &browser() { return *rig_->browser; }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        rig_ = std::make_unique<BrowserWindow>();
        jobs_.clear();
        deletion_ = std::make_unique<ListDeletion>(rig_->session, browser(), rig_->boxes);
        deletion_->setShownImages([this] { return rig_->dicomViewer.images(); });
        connect(deletion_.get(), &ListDeletion::jobRequested, this, [this](JobKind kind) {
            jobs_ << kind;
            EditForm form(rig_->session, kind, &rig_->window);
            form.Form_Load();
            form.show();
            [&] {
                QVERIFY(WaitFor([&] { return form.isDone(); }, 10000));
                QVERIFY(form.progressText().endsWith(u"Tasks done."_s));
            }();
            progress_ = Child<QProgressBar>(form, u"pb1"_s)->value();
            progressMaximum_ = Child<QProgressBar>(form, u"pb1"_s)->maximum();
        });
        connect(deletion_.get(), &ListDeletion::statusPanel, &rig_->window, &MainForm::setStatusPanel);
        connect(deletion_.get(), &ListDeletion::viewerImagesKept, this, [this](const QList<ToolkitImagePtr> &kept) {
            rig_->dicomViewer.clearImages();
            for (const ToolkitImagePtr &image : kept)
                rig_->dicomViewer.addImage(image);
        });
        connect(deletion_.get(), &ListDeletion::mainWindowResetRequested, this, [this] { rig_->dicomViewer.clearImages(); });
        deletion_->RegisterJobs();
    }
    void cleanup()
    {
        deletion_.reset();
        rig_.reset();
        QVERIFY(NoDatabaseLeftOpen());
        folder_.reset();
    }

    // One image goes with its row and file; the last one takes its series,
    // and a study's only series takes the study and the patient with it.
    void imagesEscalateToTheLevelAbove()
    {
        const FiledStudy a = FileStudy(*folder_, u"P1"_s, 2, 2);
        QVERIFY(rig_->loadFirstStudy(u"P1"_s));
        rig_->viewer->SelectImage(2);
        const QString uid = ImageUid(rig_->session.currentImage());
        rig_->boxes.answer = false;
        deletion_->PopupDeleteImage();
        QCOMPARE(rig_->dicomViewer.imageCount(), 4);
        rig_->boxes.answer = true;
        {
            // A row that cannot go keeps its image in the viewer.
            WriteLockHolder lock(ImageDatabase.path());
            QVERIFY(lock.held());
            ImageDatabase.setBusyTimeout(200);
            deletion_->PopupDeleteImage();
            ImageDatabase.setBusyTimeout(8000);
        }
        QCOMPARE(rig_->dicomViewer.imageCount(), 4);
        QCOMPARE(ImageUid(rig_->session.currentImage()), uid);
        QVERIFY(folder_->read(u"Logs/Error.log"_s).contains("MainForm PopupDeleteImage"));
        deletion_->PopupDeleteImage();
        QCOMPARE(questions(), QStringList(3, u"Delete image?"_s));
        QCOMPARE(rig_->dicomViewer.imageCount(), 3);
        QCOMPARE(rows("tblImages"), 3);
        QVERIFY(!QFile::exists(folder_->file(u"images/%1/%2.dcm"_s.arg(a.uid, uid))));
        QCOMPARE(rig_->window.statusPanel(4), u"3 image(s)"_s);
        QVERIFY(jobs_.isEmpty());

        // A series of two: its last images go, then the series by job 7; the study stays.
        browser().showSeries(0);
        browser().loadSeries(1);
        QCOMPARE(rig_->session.loadedLevel(), LoadedLevel::Series);
        while (rig_->dicomViewer.imageCount() > 0) {
            rig_->viewer->SelectImage(1);
            deletion_->PopupDeleteImage();
        }
        QCOMPARE(questions().last(), u"confirm: Do you really want to delete this series of Doe, Jane (ID P1) with 1 image(s)?"_s);
        QCOMPARE(jobs_, QList<JobKind>{JobKind::DeleteSeries});
        QCOMPARE(rows("tblSeries"), 1);
        QVERIFY(folderExists(a.uid));

        // The other series is the study's only one: deleting it takes the patient.
        browser().selectPatient(rig_->patientRow(u"P1"_s));
        browser().showSeries(0);
        deletion_->deleteSeries(browser().seriesTarget(1));
        QCOMPARE(questions().last(), u"confirm: Do you really want to delete the patient Doe, Jane (ID P1) with 2 image(s)?"_s);
        QCOMPARE(jobs_, (QList<JobKind>{JobKind::DeleteSeries, JobKind::DeletePatient}));
        QCOMPARE(rows("tblPatienten") + rows("tblStudies") + rows("tblSeries") + rows("tblImages"), 0);
        QVERIFY(!folderExists(a.uid));
        QCOMPARE(browser().patients().count(), 0);
    }

    // Load A's study, select patient B, right-click one of B's studies (or,
    // through "View Series", one of its series) and delete: B's goes, after
    // the question; A's, still in the viewer, stays in the database and on disk.
    void theRowRightClickedGoesNotTheLoadedOne_data()
    {
        QTest::addColumn<bool>("series");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("locked");
        QTest::newRow("study") << false << true << false;
        QTest::newRow("series") << true << true << false;
        QTest::newRow("study, answered No") << false << false << false;
        QTest::newRow("series, database locked") << true << true << true;
    }
    void theRowRightClickedGoesNotTheLoadedOne()
    {
        QFETCH(bool, series);
        QFETCH(bool, answer);
        QFETCH(bool, locked);
        const FiledStudy a = FileStudy(*folder_, u"PA"_s, 1, 2);
        const FiledStudy b = FileStudy(*folder_, u"PB"_s, 2, 2);
        FileStudy(*folder_, u"PB"_s, 1, 1);
        QVERIFY(rig_->loadFirstStudy(u"PA"_s));
        browser().selectPatient(rig_->patientRow(u"PB"_s));
        const int study = browser().studies().findText(0, QString::number(b.study));
        QVERIFY(study >= 0);
        // The target is taken from the row when the command is given.
        const ImageTarget target = series ? (browser().showSeries(study), browser().seriesTarget(1)) : browser().studyTarget(study);
        rig_->boxes.answer = answer;
        std::unique_ptr<WriteLockHolder> lock;
        if (locked) {
            lock = std::make_unique<WriteLockHolder>(ImageDatabase.path());
            QVERIFY(lock->held());
            ImageDatabase.setBusyTimeout(200);
        }
        series ? deletion_->deleteSeries(target) : deletion_->deleteStudy(target);
        lock.reset();
        ImageDatabase.setBusyTimeout(8000);

        QVERIFY(imageExists(a, 0) && imageExists(a, 1));
        QCOMPARE(rig_->dicomViewer.imageCount(), 2); // A's, as loaded
        const bool gone = answer && !locked;
        QCOMPARE(rows("tblImages"), gone ? (series ? 5 : 3) : 7);
        QCOMPARE(rows("tblStudies"), gone && !series ? 2 : 3);
        QCOMPARE(imageExists(b, 0), !gone);
        QCOMPARE(imageExists(b, 2), !gone || series);
        // The row goes only with its data.
        QCOMPARE((series ? browser().series() : browser().studies()).count(), (series ? 2 : 1) + (gone ? 0 : 1));
        QCOMPARE(questions(), QStringList{u"confirm: Do you really want to delete this %1 of Doe, Jane (ID PB) with %2 image(s)?"_s
                                             .arg(series ? u"series"_s : u"study"_s).arg(series ? 2 : 4)});
        QCOMPARE(jobs_.size(), answer ? 1 : 0);
    }

    // A right-click beside the rows points at no patient: "Delete Patient"
    // deletes none, not the patient selected before.
    void rightClickBesideTheRowsDeletesNothing()
    {
        FileStudy(*folder_, u"PA"_s, 1, 2);
        QVERIFY(rig_->loadFirstStudy(u"PA"_s));
        deletion_->deletePatient(browser().patientTarget(-1));
        QCOMPARE(questions(), QStringList{u"Nothing deleted: no entry is selected, or it is no longer in the database."_s});
        QCOMPARE(rows("tblImages"), 2);
        QCOMPARE(browser().patients().count(), 1);
    }

    void studyOfTwoAndEverything()
    {
        const FiledStudy a = FileStudy(*folder_, u"P1"_s, 1, 2);
        const FiledStudy b = FileStudy(*folder_, u"P1"_s, 1, 2);
        FileStudy(*folder_, u"P2"_s, 1, 1);
        browser().RefreshPatientList();
        browser().selectPatient(rig_->patientRow(u"P1"_s));
        QCOMPARE(browser().studies().count(), 2);
        browser().selectStudy(0);
        const QString gone = rig_->session.selection().studyUid;
        deletion_->deleteStudy(browser().studyTarget(0));
        QCOMPARE(jobs_, QList<JobKind>{JobKind::DeleteStudy});
        QCOMPARE(browser().studies().count(), 1);
        QCOMPARE(rows("tblStudies"), 2);
        QVERIFY(!folderExists(gone) && folderExists(gone == a.uid ? b.uid : a.uid));
        QCOMPARE(rig_->dicomViewer.imageCount(), 0); // its images left the viewer with it

        // Everything: two questions, No to either changes nothing.
        questions().clear();
        for (const QList<bool> &no : {QList<bool>{false}, QList<bool>{true, false}}) {
            rig_->boxes.answers = no;
            deletion_->deleteAll();
            QCOMPARE(rows("tblImages"), 3);
        }
        deletion_->deleteAll();
        const QString first = u"confirm: Delete all database entries and images?"_s;
        const QString second = u"confirm: All patients and all images will be deleted for good. Continue?"_s;
        QCOMPARE(questions(), (QStringList{first, first, second, first, second}));
        QCOMPARE(rows("tblPatienten") + rows("tblImages"), 0);
        QCOMPARE(QDir(folder_->file(u"images"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
        // The bar counted the two study folders it removed.
        QCOMPARE(QList<int>({progress_, progressMaximum_}), QList<int>({2, 2}));
        QCOMPARE(browser().patients().count(), 0);
    }

    // After a send the listed image rows go by its dose assignment, unless the images are kept.
    void imageRowsAfterASend_data()
    {
        QTest::addColumn<int>("keep");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("left");
        QTest::newRow("kept: rows stay") << 1 << 1 << 4;
        QTest::newRow("all listed rows") << 0 << 1 << 0;
        QTest::newRow("the selected row") << 0 << 2 << 3;
    }
    void imageRowsAfterASend()
    {
        QFETCH(int, keep);
        QFETCH(int, mode);
        QFETCH(int, left);
        FileStudy(*folder_, u"P1"_s, 1, 4);
        QVERIFY(rig_->loadFirstStudy(u"P1"_s));
        Settings.SentAndKeep = qint16(keep);
        deletion_->RemoveImageRowsByList(DoseAssignment(mode), 1);
        QCOMPARE(rows("tblImages"), left);
        QCOMPARE(browser().images().count(), 0);
    }
};

LUMORA_WIDGETS_TEST_MAIN(ListDeletionTest, 1280, 1024)
#include "tst_listdeletion.moc"
