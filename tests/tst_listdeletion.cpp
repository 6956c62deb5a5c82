// Deletion from the lists over a real image database: one image, a series, a
// study, a patient and everything, with the escalation to the level above and
// the progress dialog's jobs; what goes is the row right-clicked, after a
// question; image rows after a send by its dose assignment. Files go one by
// one, never one the receiver filed meanwhile, and never through a link.
#include "store/Session.h"
#include "browse/ListDeletion.h"
#include "core/Settings.h"
#include "jobs/EditForm.h"
#include "store/DatabasePaths.h"
#include "support/BrowserWindow.h"
#include "support/Peers.h"
#include "support/Widgets.h"

static const QString kAet = u"LUMORA"_s;

// What storescu sent to the receiver: one study.
struct Received {
    QString study;
    QStringList series, images; // UIDs, images in the order sent
    bool sent = false;
};

class ListDeletionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder_;
    std::unique_ptr<BrowserWindow> rig_;
    std::unique_ptr<ListDeletion> deletion_;
    QList<JobKind> jobs_;
    int progress_ = -1, progressMaximum_ = -1; // the last job's bar
    QString jobText_; // what the last job's dialog said
    std::unique_ptr<CompanionProcess> receiver_;
    quint16 port_ = 0;

    bool startReceiver()
    {
        if ((port_ = FreePort()) == 0)
            return false;
        WriteReceiverSettings(*folder_, kAet, QString::number(port_));
        receiver_ = std::make_unique<CompanionProcess>(ReceiverProgram(), folder_->path());
        return receiver_->start() && receiver_->waitUntilAnswering(kAet, port_);
    }
    // A study of the patient sent to the receiver as a unit sends it; into an
    // existing study when its UID is given.
    Received receive(const QString &patientId, int series, int perSeries, const QString &studyUid = {})
    {
        Received r{studyUid.isEmpty() ? NewSyntheticUid() : studyUid, {}, {}};
        QStringList files;
        for (int s = 0; s < series; ++s) {
            r.series << NewSyntheticUid();
            for (int i = 0; i < perSeries; ++i) {
                r.images << NewSyntheticUid();
                const SyntheticImageSpec spec{.patientId = patientId, .studyUid = r.study, .seriesUid = r.series.last(), .sopUid = r.images.last(),
                                              .seriesNumber = s + 1, .instanceNumber = i + 1, .rows = 48, .columns = 32};
                files << folder_->file(u"in/%1.dcm"_s.arg(r.images.last()));
                if (!WriteImage(spec, files.last()))
                    return r;
            }
        }
        QByteArray out;
        r.sent = Store(kAet, port_, files, &out) == 0;
        if (!r.sent)
            qWarning().noquote() << out << folder_->read(u"Logs/Receiver.log"_s);
        return r;
    }
    QString studyKey(const QString &uid) { return QueryValue(ImageDatabaseFile(), u"SELECT StudyID FROM tblStudies WHERE StudyUID = ?"_s, {uid}).toString(); }
    QString imagePath(const QString &study, const QString &image) { return folder_->file(u"images/%1/%2.dcm"_s.arg(study, image)); }

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
        deletion_->setJobRunner([this](JobKind kind, Job job) {
            jobs_ << kind;
            EditForm form(rig_->session, kind, std::move(job), &rig_->window);
            form.Form_Load();
            form.show();
            [&] {
                QVERIFY(WaitFor([&] { return form.isDone(); }, 10000));
                QVERIFY(form.progressText().endsWith(u"Tasks done."_s));
            }();
            jobText_ = form.progressText();
            progress_ = Child<QProgressBar>(form, u"pb1"_s)->value();
            progressMaximum_ = Child<QProgressBar>(form, u"pb1"_s)->maximum();
            return form.outcome();
        });
        connect(deletion_.get(), &ListDeletion::statusPanel, &rig_->window, &MainForm::setStatusPanel);
        // As the workstation does: the viewer follows the session.
        connect(deletion_.get(), &ListDeletion::mainWindowResetRequested, &rig_->session, &Session::clearLoadedImages);
    }
    void cleanup()
    {
        const int receiverExit = receiver_ ? receiver_->terminate() : 0;
        receiver_.reset();
        deletion_.reset();
        rig_.reset();
        QVERIFY(NoDatabaseLeftOpen());
        folder_.reset();
        QCOMPARE(receiverExit, 0);
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
        const QString second = browser().images().text(1, 3);
        deletion_->RemoveImageRowsByList(DoseAssignment(mode), second);
        QCOMPARE(rows("tblImages"), left);
        if (left < 4) // the row of the image named went
            QVERIFY(!ImagesInDatabase({second}));
        QCOMPARE(browser().images().count(), 0);
    }

    // The unit still sends while the operator deletes a study (or its
    // patient): an image of that study the receiver files between the
    // deletion's commit and its file removal keeps its file, as its sender was told.
    void anImageFiledDuringADeletionKeepsItsFile_data()
    {
        QTest::addColumn<bool>("patient");
        QTest::newRow("study") << false;
        QTest::newRow("patient") << true;
    }
    void anImageFiledDuringADeletionKeepsItsFile()
    {
        QFETCH(bool, patient);
        QVERIFY(startReceiver());
        const Received a = receive(u"P1"_s, 1, 2);
        const Received b = receive(u"P1"_s, 1, 1);
        QVERIFY(a.sent && b.sent);
        browser().RefreshPatientList();
        browser().selectPatient(rig_->patientRow(u"P1"_s));
        const int study = browser().studies().findText(0, studyKey(a.study));
        QVERIFY(study >= 0);
        // The list drops the row once the deletion has committed; then the next image arrives.
        Received late;
        RowModel &list = patient ? browser().patients() : browser().studies();
        const QMetaObject::Connection filing = connect(&list, &QAbstractItemModel::rowsRemoved, this, [&] {
            if (!jobs_.isEmpty() && late.study.isEmpty())
                late = receive(u"P1"_s, 1, 1, a.study);
        });
        const auto disconnectFiling = qScopeGuard([&] { disconnect(filing); });
        patient ? deletion_->deletePatient(browser().patientTarget(rig_->patientRow(u"P1"_s))) : deletion_->deleteStudy(browser().studyTarget(study));
        QCOMPARE(jobs_, QList<JobKind>{patient ? JobKind::DeletePatient : JobKind::DeleteStudy});
        QVERIFY2(late.sent, "the image was not filed during the deletion");
        QCOMPARE(QueryValue(ImageDatabaseFile(), u"SELECT COUNT(*) FROM View_Images WHERE ImageUID = ?"_s, {late.images.value(0)}).toInt(), 1);
        QVERIFY2(QFile::exists(imagePath(a.study, late.images.value(0))), "the image filed during the deletion lost its file");
        QVERIFY(!QFile::exists(imagePath(a.study, a.images.value(0))));
        QCOMPARE(QFile::exists(imagePath(b.study, b.images.value(0))), !patient);
        const QString mismatch = ImagesMismatch(folder_->path(), 1);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    // A link planted in images/ where a study folder, an image file or a
    // series folder would be: the deletion removes the rows, leaves the link,
    // says which one it refused, and the link's target keeps every file.
    void deletionDoesNotFollowLinks_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("link");
        for (const char *command : {"image", "series", "study", "patient", "everything"})
            QTest::addRow("%s, study folder a link", command) << QString::fromLatin1(command) << u"study folder"_s;
        QTest::newRow("study, image file a link") << u"study"_s << u"image file"_s;
        QTest::newRow("everything, image file a link") << u"everything"_s << u"image file"_s;
        QTest::newRow("study, series folder a link") << u"study"_s << u"series folder"_s;
        QTest::newRow("everything, series folder a link") << u"everything"_s << u"series folder"_s;
        QTest::newRow("study, images folder a link") << u"study"_s << u"images folder"_s;
        QTest::newRow("everything, images folder a link") << u"everything"_s << u"images folder"_s;
    }
    void deletionDoesNotFollowLinks()
    {
        QFETCH(QString, command);
        QFETCH(QString, link);
        QVERIFY(startReceiver());
        const Received a = receive(u"P1"_s, 2, 1);
        const Received b = receive(u"P1"_s, 1, 1);
        QVERIFY(a.sent && b.sent);
        // Another account's files, outside images/.
        QString target = folder_->file(u"other/"_s + a.study);
        QVERIFY(QDir().mkpath(folder_->file(u"other"_s)));
        QString planted, linkTarget;
        if (link == "images folder"_L1) {
            planted = folder_->file(u"images"_s);
            linkTarget = folder_->file(u"other/images"_s);
            QVERIFY(QDir().rename(planted, linkTarget));
            target = linkTarget + u'/' + a.study;
        } else if (link == "study folder"_L1) {
            planted = folder_->file(u"images/"_s + a.study);
            QVERIFY(QDir().rename(planted, target));
        } else {
            QVERIFY(QDir().mkpath(target));
            planted = link == "image file"_L1 ? imagePath(a.study, a.images.value(0)) : folder_->file(u"images/%1/%2"_s.arg(a.study, a.series.value(0)));
            for (const QString &image : a.images)
                QVERIFY(QFile::copy(imagePath(a.study, image), u"%1/%2.dcm"_s.arg(target, image)));
            QVERIFY(!QFile::exists(planted) || QFile::remove(planted));
        }
        if (linkTarget.isEmpty())
            linkTarget = link == "image file"_L1 ? u"%1/%2.dcm"_s.arg(target, a.images.value(0)) : target;
        QVERIFY(QFile::link(linkTarget, planted));
        const QStringList others = QDir(target).entryList(QDir::Files);
        QCOMPARE(others.size(), 2);

        browser().RefreshPatientList();
        browser().selectPatient(rig_->patientRow(u"P1"_s));
        const int study = browser().studies().findText(0, studyKey(a.study));
        QVERIFY(study >= 0);
        if (command == "image"_L1) { // from the viewer, the study loaded
            browser().selectStudy(study);
            QCOMPARE(rig_->dicomViewer.imageCount(), 2);
            rig_->viewer->SelectImage(1);
            deletion_->PopupDeleteImage();
            QCOMPARE(rig_->dicomViewer.imageCount(), 1);
        } else if (command == "series"_L1) {
            browser().showSeries(study);
            deletion_->deleteSeries(browser().seriesTarget(1));
        } else if (command == "study"_L1) {
            deletion_->deleteStudy(browser().studyTarget(study));
        } else if (command == "patient"_L1) {
            deletion_->deletePatient(browser().patientTarget(rig_->patientRow(u"P1"_s)));
        } else {
            deletion_->deleteAll();
        }
        QCOMPARE(jobs_.size(), command == "image"_L1 ? 0 : 1);

        // The rows went; the target kept every file, the link is still there.
        const QMap<QString, int> imagesLeft{{u"image"_s, 2}, {u"series"_s, 2}, {u"study"_s, 1}, {u"patient"_s, 0}, {u"everything"_s, 0}};
        QCOMPARE(rows("tblImages"), imagesLeft.value(command));
        QCOMPARE(QDir(target).entryList(QDir::Files), others);
        for (const QString &file : others)
            QVERIFY2(QFileInfo(target + u'/' + file).size() > 1000, qPrintable(file));
        QVERIFY(QFileInfo(planted).isSymLink());
        // A link the deletion came to is named where it refused it; one it had no business with is left unmentioned.
        const bool met = link != "series folder"_L1 || command == "everything"_L1;
        const QString refusal = u"Refused: %1 is a link"_s.arg(planted);
        // One image goes without the progress dialog: the log alone tells.
        if (command != "image"_L1)
            QVERIFY2(jobText_.contains(refusal) == met, qPrintable(jobText_));
        QVERIFY2(folder_->read(u"Logs/Error.log"_s).contains(planted.toUtf8()) == met, folder_->read(u"Logs/Error.log"_s).constData());
    }
};

LUMORA_WIDGETS_TEST_MAIN(ListDeletionTest, 1280, 1024)
#include "tst_listdeletion.moc"
