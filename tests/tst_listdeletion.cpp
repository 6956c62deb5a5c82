// Deletion from the lists over a real image database: one image, a series, a
// study, a patient and everything, with the escalation to the level above and
// the progress dialog's jobs; image rows after a send by AssignmentMode.
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
    QList<qint16> jobs_;
    bool answer_ = true;

    qlonglong rows(const char *table) { return CountRows(QString::fromLatin1(table)); }
    bool folderExists(const QString &studyUid) { return QDir(folder_->file(u"images/"_s + studyUid)).exists(); }

private slots:
    void init()
    {
        folder_ = std::make_unique<TestFolder>();
        QVERIFY(PrepareStation(*folder_));
        ClearCurrentImage();
        rig_ = std::make_unique<BrowserWindow>([](BrowserControls &c, ViewerControls &) {
            c.askYesNo = [](const QString &) { return true; };
        });
        questions_.clear();
        jobs_.clear();
        answer_ = true;
        DeletionControls d;
        d.window = &rig_->window;
        d.lvPatients = &rig_->lvPatients;
        d.lvStudien = &rig_->lvStudien;
        d.lvSerien = &rig_->lvSerien;
        d.lvImages = &rig_->lvImages;
        d.lvDosis = &rig_->lvDosis;
        d.lvHeader = &lvHeader_;
        d.frmSerien = &rig_->frmSerien;
        d.dv1 = &rig_->dv1;
        d.setStatusPanel = [this](int panel, const QString &text) { rig_->panels[panel] = text; };
        d.askYesNo = [this](const QString &q) { questions_ << q; return answer_; };
        d.runJob = [this](qint16 mode) {
            jobs_ << mode;
            JobMode = mode;
            EditForm form(&rig_->window);
            form.Form_Load();
            form.show();
            QVERIFY(WaitFor([&] { return form.cmdOK->isEnabled(); }, 10000));
            QVERIFY(form.txtProgress->toPlainText().endsWith(u"Tasks done."_s));
        };
        d.showFromFirstImage = [] {};
        d.resetMainWindow = [this] { rig_->dv1.clearImages(); };
        d.refreshPatientList = [this] { rig_->browser->RefreshPatientList(); };
        deletion_ = std::make_unique<ListDeletion>(d);
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
        QCOMPARE(rig_->dv1.imageCount(), 4);
        answer_ = true;
        deletion_->PopupDeleteImage();
        QCOMPARE(questions_, QStringList(2, u"Delete image?"_s));
        QCOMPARE(rig_->dv1.imageCount(), 3);
        QCOMPARE(rows("tblImages"), 3);
        QVERIFY(!QFile::exists(folder_->file(u"images/%1/%2.dcm"_s.arg(a.uid, uid))));
        QCOMPARE(rig_->panels.value(4), u"3 image(s)"_s);
        QVERIFY(jobs_.isEmpty());

        // A series of two: its last images go, then the series by job 7; the study stays.
        rig_->browser->PopUpStudie_SeriesWindow();
        rig_->browser->lvSerien_DblClick(rig_->lvSerien.topLevelItem(1));
        QCOMPARE(LoadedLevel, u"Serie"_s);
        while (rig_->dv1.imageCount() > 0) {
            rig_->viewer->SelectImage(1);
            deletion_->PopupDeleteImage();
        }
        QCOMPARE(jobs_, QList<qint16>{7});
        QCOMPARE(rows("tblSeries"), 1);
        QVERIFY(folderExists(a.uid));

        // The other series is the study's only one: deleting it takes the patient.
        rig_->browser->lvPatients_ItemClick(rig_->patient(u"P1"_s));
        rig_->lvStudien.setCurrentItem(rig_->lvStudien.topLevelItem(0));
        rig_->browser->PopUpStudie_SeriesWindow();
        rig_->lvSerien.setCurrentItem(rig_->lvSerien.topLevelItem(1));
        deletion_->PopUpSerie_Delete();
        QCOMPARE(jobs_, (QList<qint16>{7, 6}));
        QCOMPARE(rows("tblPatienten") + rows("tblStudies") + rows("tblSeries") + rows("tblImages"), 0);
        QVERIFY(!folderExists(a.uid));
        QCOMPARE(rig_->lvPatients.topLevelItemCount(), 0);
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
        const QString gone = CurrentSelection.studyUid;
        deletion_->PopUpStudie_Delete();
        QCOMPARE(jobs_, QList<qint16>{5});
        QCOMPARE(rig_->lvStudien.topLevelItemCount(), 1);
        QCOMPARE(rows("tblStudies"), 2);
        QVERIFY(!folderExists(gone) && folderExists(gone == a.uid ? b.uid : a.uid));

        answer_ = false;
        deletion_->PopUpPatient_DeleteAll();
        QCOMPARE(rows("tblImages"), 3);
        answer_ = true;
        deletion_->PopUpPatient_DeleteAll();
        QCOMPARE(questions_, QStringList(2, u"Delete all database entries and images?"_s));
        QCOMPARE(rows("tblPatienten") + rows("tblImages"), 0);
        QCOMPARE(QDir(folder_->file(u"images"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
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
