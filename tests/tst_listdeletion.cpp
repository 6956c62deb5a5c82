// Deletion from the lists over a real image database: one image, a series, a
// study, a patient and everything, with the escalation to the level above and
// the progress dialog's jobs; what goes is the row right-clicked, after a
// question; image rows after a send by AssignmentMode.
#include "store/Session.h"
#include "browse/ListDeletion.h"
#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "jobs/EditForm.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Widgets.h"

class ListDeletionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<BrowserWindow> rig_;
    std::unique_ptr<ListDeletion> deletion_;
    QTreeWidget lvHeader_;
    QStringList questions_;
    QList<JobKind> jobs_;
    bool answer_ = true;
    QList<bool> answers_; // taken one per question before answer_
    QStringList informed_;
    int progress_ = -1, progressMaximum_ = -1; // the last job's bar

    qlonglong rows(const char *table) { return CountRows(QString::fromLatin1(table)); }
    bool imageExists(const FiledStudy &s, int i) { return QFile::exists(folder_->file(u"images/%1/%2.dcm"_s.arg(s.uid, s.images.value(i)))); }
    void rightClick(void (Browser::*mouseUp)(Qt::MouseButton, const QPoint &), QTreeWidget &list, QTreeWidgetItem *row)
    {
        QVERIFY(row);
        (rig_->browser.get()->*mouseUp)(Qt::RightButton, list.visualItemRect(row).center());
        QCOMPARE(list.currentItem(), row);
    }
    bool folderExists(const QString &studyUid) { return QDir(folder_->file(u"images/"_s + studyUid)).exists(); }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        ClearCurrentImage();
        rig_ = std::make_unique<BrowserWindow>([](BrowserControls &c, ViewerControls &) {
            c.askYesNo = [](const QString &) { return true; };
            c.showPopUp = [](QMenu *, const QPoint &) {};
        });
        questions_.clear();
        jobs_.clear();
        answer_ = true;
        answers_.clear();
        informed_.clear();
        DeletionControls d;
        d.window = &rig_->window;
        d.lvPatients = &rig_->lvPatients;
        d.lvStudien = &rig_->lvStudien;
        d.lvSerien = &rig_->lvSerien;
        d.lvImages = &rig_->lvImages;
        d.lvDosis = &rig_->lvDosis;
        d.lvHeader = &lvHeader_;
        d.frmSerien = &rig_->frmSerien;
        d.dicomViewer = &rig_->dicomViewer;
        d.setStatusPanel = [this](int panel, const QString &text) { rig_->panels[panel] = text; };
        d.askYesNo = [this](const QString &q) { questions_ << q; return answers_.isEmpty() ? answer_ : answers_.takeFirst(); };
        d.confirm = [this](const QString &q) { questions_ << u"confirm: "_s + q; return answers_.isEmpty() ? answer_ : answers_.takeFirst(); };
        d.inform = [this](const QString &m) { informed_ << m; };
        d.runJob = [this](JobKind kind) {
            jobs_ << kind;
            JobMode = kind;
            EditForm form(&rig_->window, &rig_->session);
            form.Form_Load();
            form.show();
            QVERIFY(WaitFor([&] { return form.cmdOK->isEnabled(); }, 10000));
            QVERIFY(form.txtProgress->toPlainText().endsWith(u"Tasks done."_s));
            progress_ = form.progressBar->value();
            progressMaximum_ = form.progressBar->maximum();
        };
        d.showFromFirstImage = [] {};
        d.resetMainWindow = [this] { rig_->dicomViewer.clearImages(); };
        d.refreshPatientList = [this] { rig_->browser->RefreshPatientList(); };
        deletion_ = std::make_unique<ListDeletion>(rig_->session, d);
        deletion_->RegisterJobs();
    }
    void cleanup()
    {
        deletion_.reset();
        rig_.reset();
        CloseAllDatabases();
        ListClear(LoadedImageList);
        ClearCurrentImage();
        folder_.reset();
    }

    // One image goes with its row and file; the last one takes its series,
    // and a study's only series takes the study and the patient with it.
    void imagesEscalateToTheLevelAbove()
    {
        const FiledStudy a = FileStudy(*folder_, u"P1"_s, 2, 2);
        QVERIFY(rig_->loadFirstStudy(u"P1"_s));
        rig_->viewer->SelectImage(2);
        const QString uid = ImageUid(CurrentImage);
        answer_ = false;
        deletion_->PopupDeleteImage();
        QCOMPARE(rig_->dicomViewer.imageCount(), 4);
        answer_ = true;
        {
            // A row that cannot go keeps its image in the viewer.
            WriteLockHolder lock(ImageDatabase.path());
            QVERIFY(lock.held());
            ImageDatabase.setBusyTimeout(200);
            deletion_->PopupDeleteImage();
            ImageDatabase.setBusyTimeout(8000);
        }
        QCOMPARE(rig_->dicomViewer.imageCount(), 4);
        QCOMPARE(ImageUid(CurrentImage), uid);
        QVERIFY(folder_->read(u"Logs/Error.log"_s).contains("MainForm PopupDeleteImage"));
        deletion_->PopupDeleteImage();
        QCOMPARE(questions_, QStringList(3, u"Delete image?"_s));
        QCOMPARE(rig_->dicomViewer.imageCount(), 3);
        QCOMPARE(rows("tblImages"), 3);
        QVERIFY(!QFile::exists(folder_->file(u"images/%1/%2.dcm"_s.arg(a.uid, uid))));
        QCOMPARE(rig_->panels.value(4), u"3 image(s)"_s);
        QVERIFY(jobs_.isEmpty());

        // A series of two: its last images go, then the series by job 7; the study stays.
        rig_->browser->PopUpStudie_SeriesWindow();
        rig_->browser->lvSerien_DblClick(rig_->lvSerien.topLevelItem(1));
        QCOMPARE(rig_->session.loadedLevel(), LoadedLevel::Series);
        while (rig_->dicomViewer.imageCount() > 0) {
            rig_->viewer->SelectImage(1);
            deletion_->PopupDeleteImage();
        }
        QCOMPARE(questions_.last(), u"confirm: Do you really want to delete this series of Doe, Jane (ID P1) with 1 image(s)?"_s);
        QCOMPARE(jobs_, QList<JobKind>{JobKind::DeleteSeries});
        QCOMPARE(rows("tblSeries"), 1);
        QVERIFY(folderExists(a.uid));

        // The other series is the study's only one: deleting it takes the patient.
        rig_->browser->lvPatients_ItemClick(rig_->patient(u"P1"_s));
        rig_->lvStudien.setCurrentItem(rig_->lvStudien.topLevelItem(0));
        rig_->browser->PopUpStudie_SeriesWindow();
        rig_->lvSerien.setCurrentItem(rig_->lvSerien.topLevelItem(1));
        deletion_->PopUpSerie_Delete();
        QCOMPARE(questions_.last(), u"confirm: Do you really want to delete the patient Doe, Jane (ID P1) with 2 image(s)?"_s);
        QCOMPARE(jobs_, (QList<JobKind>{JobKind::DeleteSeries, JobKind::DeletePatient}));
        QCOMPARE(rows("tblPatienten") + rows("tblStudies") + rows("tblSeries") + rows("tblImages"), 0);
        QVERIFY(!folderExists(a.uid));
        QCOMPARE(rig_->lvPatients.topLevelItemCount(), 0);
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
        rig_->lvPatients.setCurrentItem(rig_->patient(u"PB"_s));
        rig_->browser->lvPatients_ItemClick(rig_->patient(u"PB"_s));
        rightClick(&Browser::lvStudien_MouseUp, rig_->lvStudien, rig_->lvStudien.findItems(QString::number(b.study), Qt::MatchExactly).value(0));
        if (series) {
            rig_->browser->PopUpStudie_SeriesWindow();
            rightClick(&Browser::lvSerien_MouseUp, rig_->lvSerien, rig_->lvSerien.topLevelItem(1));
        }
        answer_ = answer;
        std::unique_ptr<WriteLockHolder> lock;
        if (locked) {
            lock = std::make_unique<WriteLockHolder>(ImageDatabase.path());
            QVERIFY(lock->held());
            ImageDatabase.setBusyTimeout(200);
        }
        series ? deletion_->PopUpSerie_Delete() : deletion_->PopUpStudie_Delete();
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
        QTreeWidget &list = series ? rig_->lvSerien : rig_->lvStudien;
        QCOMPARE(list.topLevelItemCount(), (series ? 2 : 1) + (gone ? 0 : 1));
        QCOMPARE(questions_, QStringList{u"confirm: Do you really want to delete this %1 of Doe, Jane (ID PB) with %2 image(s)?"_s
                                             .arg(series ? u"series"_s : u"study"_s).arg(series ? 2 : 4)});
        QCOMPARE(jobs_.size(), answer ? 1 : 0);
    }

    // A right-click beside the rows points at no patient: "Delete Patient"
    // deletes none, not the patient selected before.
    void rightClickBesideTheRowsDeletesNothing()
    {
        FileStudy(*folder_, u"PA"_s, 1, 2);
        QVERIFY(rig_->loadFirstStudy(u"PA"_s));
        const QRect row = rig_->lvPatients.visualItemRect(rig_->lvPatients.topLevelItem(0));
        const QPoint beside = row.center() + QPoint(0, 4 * row.height());
        QVERIFY(!rig_->lvPatients.itemAt(beside));
        rig_->browser->lvPatients_MouseUp(Qt::RightButton, beside);
        deletion_->PopUpPatient_Delete();
        QCOMPARE(informed_, QStringList{u"Nothing deleted: no entry is selected, or it is no longer in the database."_s});
        QCOMPARE(rows("tblImages"), 2);
        QCOMPARE(rig_->lvPatients.topLevelItemCount(), 1);
    }

    void studyOfTwoAndEverything()
    {
        const FiledStudy a = FileStudy(*folder_, u"P1"_s, 1, 2);
        const FiledStudy b = FileStudy(*folder_, u"P1"_s, 1, 2);
        FileStudy(*folder_, u"P2"_s, 1, 1);
        rig_->browser->RefreshPatientList();
        rig_->browser->lvPatients_ItemClick(rig_->patient(u"P1"_s));
        QCOMPARE(rig_->lvStudien.topLevelItemCount(), 2);
        rig_->lvStudien.setCurrentItem(rig_->lvStudien.topLevelItem(0));
        rig_->browser->lvStudien_ItemClick(rig_->lvStudien.topLevelItem(0));
        const QString gone = rig_->session.selection().studyUid;
        deletion_->PopUpStudie_Delete();
        QCOMPARE(jobs_, QList<JobKind>{JobKind::DeleteStudy});
        QCOMPARE(rig_->lvStudien.topLevelItemCount(), 1);
        QCOMPARE(rows("tblStudies"), 2);
        QVERIFY(!folderExists(gone) && folderExists(gone == a.uid ? b.uid : a.uid));
        QCOMPARE(rig_->dicomViewer.imageCount(), 0); // its images left the viewer with it

        // Everything: two questions, No to either changes nothing.
        questions_.clear();
        for (const QList<bool> &no : {QList<bool>{false}, QList<bool>{true, false}}) {
            answers_ = no;
            deletion_->PopUpPatient_DeleteAll();
            QCOMPARE(rows("tblImages"), 3);
        }
        deletion_->PopUpPatient_DeleteAll();
        const QString first = u"confirm: Delete all database entries and images?"_s;
        const QString second = u"confirm: All patients and all images will be deleted for good. Continue?"_s;
        QCOMPARE(questions_, (QStringList{first, first, second, first, second}));
        QCOMPARE(rows("tblPatienten") + rows("tblImages"), 0);
        QCOMPARE(QDir(folder_->file(u"images"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
        // The bar counted the two study folders it removed.
        QCOMPARE(QList<int>({progress_, progressMaximum_}), QList<int>({2, 2}));
        QCOMPARE(rig_->lvPatients.topLevelItemCount(), 0);
    }

    // After a send the listed image rows go by AssignmentMode, unless the images are kept.
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
        rig_->lvImages.setCurrentItem(rig_->lvImages.topLevelItem(1));
        Settings.SentAndKeep = qint16(keep);
        AssignmentMode = qint16(mode);
        deletion_->RemoveImageRowsByList();
        AssignmentMode = 0;
        QCOMPARE(rows("tblImages"), left);
        QCOMPARE(rig_->lvImages.topLevelItemCount(), 0);
    }
};

LUMORA_WIDGETS_TEST_MAIN(ListDeletionTest, 1280, 1024)
#include "tst_listdeletion.moc"
