#include "store/Session.h"
#include "app/Workstation.h"

#include "acquisition/ImageViewer.h"
#include "acquisition/ProjectionAssignment.h"
#include "acquisition/SelectPosForm.h"
#include "acquisition/ViewerPanel.h"
#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "ui/Prompts.h"
#include "core/Settings.h"
#include "dictionary/DictionaryForms.h"
#include "dictionary/DictionaryStore.h"
#include "dose/DoseCalibrationForm.h"
#include "exposure/DoseList.h"
#include "exposure/DosisForm.h"
#include "exposure/ExposureCapture.h"
#include "exposure/StudyDoseReport.h"
#include "header/HeaderUpdateJob.h"
#include "header/HeaderView.h"
#include "header/TaskList.h"
#include "jobs/EditForm.h"
#include "network/PartnerForms.h"
#include "network/WorklistForm.h"
#include "transfer/ExportForm.h"
#include "transfer/Import.h"
#include "browse/Browser.h"
#include "browse/ListDeletion.h"
#include "qa/DayList.h"
#include "qa/DoseQaForm.h"
#include "store/ChangeWatch.h"
#include "store/DatabasePaths.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QTimer>

namespace {

// The loaded level as the task list and the header job name it.
QString LevelName(LoadedLevel level)
{
    return level == LoadedLevel::Study ? QStringLiteral("Studie") : level == LoadedLevel::Series ? QStringLiteral("Serie") : QString();
}

// The message boxes over the main window.
class WindowPrompter : public Prompter {
public:
    WindowPrompter(QWidget *window, Prompter &inner) : window_(window), inner_(inner) {}
    void information(QWidget *, const QString &text, const QString &title) override { inner_.information(window_, text, title); }
    void critical(QWidget *, const QString &text, const QString &title) override { inner_.critical(window_, text, title); }
    bool question(QWidget *, const QString &text, const QString &title) override { return inner_.question(window_, text, title); }
    bool confirm(QWidget *, const QString &text, const QString &title) override { return inner_.confirm(window_, text, title); }
    void plain(QWidget *, const QString &text, const QString &title) override { inner_.plain(window_, text, title); }

private:
    QWidget *window_;
    Prompter &inner_;
};

} // namespace

Workstation::Workstation(MainForm &main, Prompter &prompter)
    : QObject(&main)
    , main_(main)
    , prompter_(prompter)
    , windowPrompter_(std::make_unique<WindowPrompter>(&main, prompter))
{
    // Images a header update rewrote but could not hand over before the program ended.
    HeaderUpdateJob::HandOverLeftovers();
    attachExposure();
    attachViewerAndBrowser();
    attachAssignment();
    attachPartners();
    connectCommands();
    connect(&main_, &MainForm::filterLoadDue, this, [this] { LoadModFilter(session_); });
    runProgressDialog = [](EditForm &form) { form.exec(); };
    runExportDialog = [](ExportForm &form) { form.exec(); };
    chooseImportFiles = [this](bool directory) {
        if (directory) {
            const QString file = QFileDialog::getOpenFileName(&main_, QStringLiteral("DICOM Dir"), QString(), QStringLiteral("All files (*)"));
            return file.isEmpty() ? QStringList() : QStringList{file};
        }
        return QFileDialog::getOpenFileNames(&main_, QStringLiteral("DICOM Image(s)"), QString(),
                                             QStringLiteral("DICOM Image (*.dcm);;All files (*)"));
    };
}

Workstation::~Workstation() = default;

void Workstation::attachExposure()
{
    doseList_ = std::make_unique<DoseList>(session_, prompter_);
    doseList_->setPromptParent(&main_);
    capture_ = std::make_unique<ExposureCapture>(session_, *doseList_, *windowPrompter_);
    main_.bind(*capture_);
    main_.bind(session_);
    attachDoseList();
    connect(&main_, &MainForm::examinationTypeChosen, &session_, &Session::setExaminationType);
    // The indicator follows the port at once: a check queued before the port
    // was opened would show it red until the next round.
    connect(&main_, &MainForm::serialPortDue, this, [this] {
        capture_->Initialise_cPort();
        checkLinks();
    });
    connect(&main_, &MainForm::doseListRefreshDue, doseList_.get(), &DoseList::lvDosis_Fill);

    links_.serialOpen = [this] { return capture_->port().isOpen(); };
    links_.serialError = [this] { return capture_->port().errorString(); };
    links_.reopenSerial = [this] { capture_->Initialise_cPort(); };
    connect(&main_, &MainForm::linksCheckDue, this, &Workstation::checkLinks);
    main_.startLinkChecks();
    QTimer::singleShot(0, this, &Workstation::checkLinks);
}

void Workstation::attachDoseList()
{
    main_.bind(*doseList_);
    connect(main_.command(Command::DeleteExposure), &QAction::triggered, doseList_.get(), &DoseList::PopupDeleteDosis);
    // The operator chose an exposure: its values become tasks.
    connect(doseList_.get(), &DoseList::exposureChosen, this, [this] {
        if (tasks_)
            tasks_->AddTask();
    });
}

void Workstation::pollLists()
{
    // A job, a load or a merge works on what the lists show (the merge walks
    // the dose list by row): the change stays unseen until a round finds them idle.
    if (session_.batchActive() || session_.imageLoadActive() || assignment_->merging())
        return;
    if (imageWatch_->changed())
        browser_->RefreshPatientList(Browser::Refresh::InPlace);
    if (journalWatch_->changed())
        doseList_->refreshInPlace();
}

void Workstation::checkLinks()
{
    links_.check();
    main_.showLinks(links_);
}

void Workstation::attachViewerAndBrowser()
{
    attachHeaderAndTasks();
    // The filter changed: the header view follows when it shows an image.
    connect(&main_, &MainForm::activeFilterChanged, &session_, &Session::setActiveFilterTags);
    connect(&main_, &MainForm::visibleTagsChanged, &session_, &Session::visibleTagsChanged);
    connect(&session_, &Session::activeFilterChanged, this, [this] {
        if (session_.currentImage())
            header_->LoadHeaderData();
    });
    connect(&session_, &Session::visibleTagsChanged, this, [this] {
        if (session_.currentImage() && header_->rowCount() > 0)
            header_->LoadHeaderData();
    });
    // The viewer shows the session's loaded images and frames its current
    // one; the header view follows the current image itself.
    viewer_ = std::make_unique<ImageViewer>(session_, main_.viewerPanel());
    connect(viewer_.get(), &ImageViewer::deleteImageRequested, this, [this] { deletion_->PopupDeleteImage(); });
    viewer_->setDeleteOffered(true);
    main_.viewerPanel().bind(*viewer_);
    viewer_->SetUpViewer();

    browser_ = std::make_unique<Browser>(session_, *windowPrompter_);
    Browser &br = *browser_;
    br.setPendingTasks([this] { return tasks_->taskCount(); });
    // The task state goes before the window clears its entry.
    connect(&br, &Browser::taskStateClearRequested, this, [this] {
        tasks_->ClearEntries();
        header_->clear();
    });
    connect(&br, &Browser::taskListClearRequested, this, [this] {
        tasks_->ClearEntries();
        header_->clear();
    });
    main_.bind(br, *viewer_, session_);

    deletion_ = std::make_unique<ListDeletion>(session_, br, *windowPrompter_);
    deletion_->setJobRunner([this](JobKind kind, Job job) {
        session_.clearCurrentImage();
        return runJob(kind, std::move(job));
    });
    connect(deletion_.get(), &ListDeletion::statusPanel, &main_, &MainForm::setStatusPanel);
    connect(deletion_.get(), &ListDeletion::mainWindowResetRequested, this, [this] {
        tasks_->ClearEntries();
        header_->clear();
        session_.clearLoadedImages();
    });
    connect(deletion_.get(), &ListDeletion::exposureListClearRequested, this, [this] { doseList_->clear(); });
    connect(deletion_.get(), &ListDeletion::studyReselectRequested, this,
            [this] { browser_->selectStudy(main_.studyRow()); });

    connect(&main_, &MainForm::patientListRefreshDue, this, [this] { browser_->RefreshPatientList(); });
    imageWatch_ = std::make_unique<ChangeWatch>(ImageDatabase);
    journalWatch_ = std::make_unique<ChangeWatch>(UserDatabase);
    connect(&main_, &MainForm::patientListPollDue, this, &Workstation::pollLists);
    connect(&main_, &MainForm::patientListReloadDue, this, [this] { browser_->RefreshPatientList(Browser::Refresh::InPlace); });
    connect(&main_, &MainForm::firstPatientChosen, this, [this] { browser_->selectPatient(0); });
    connect(&main_, &MainForm::firstStudyChosen, this, [this] { browser_->selectStudy(0); });
    connect(&main_, &MainForm::exitStarted, &session_, &Session::clearLoadedImages);
    connect(&main_, &MainForm::optionsOpened, this, [this] {
        viewer_->SetUpViewer();
        viewer_->UpdateScrollRange();
        tasks_->RebuildRuleMenu();
    });
    connect(&main_, &MainForm::optionsConfirmed, viewer_.get(), &ImageViewer::ApplyGridSettings);
}

void Workstation::attachHeaderAndTasks()
{
    header_ = std::make_unique<HeaderView>(session_);
    TaskSources t;
    t.currentImageIndex = [this] { return session_.currentImageIndex(); };
    t.viewerImageCount = [this] { return ListCount(session_.loadedImages()); };
    t.loadedLevel = [this] { return LevelName(session_.loadedLevel()); };
    t.exposure = [this] { return session_.selectedExposure(); };
    t.promptParent = &main_;
    tasks_ = std::make_unique<TaskList>(session_, *header_, t, prompter_);
    main_.bind(*header_, *tasks_);
}

void Workstation::attachAssignment()
{
    AssignmentControls a;
    a.parent = &main_;
    a.listedExposures = [this] { return doseList_->listedExposures(); };
    a.rewriteChosenProjection = [this](const QString &caption) { doseList_->rewriteCurrentProjection(caption); };
    a.redecode = [this] {
        if (!capture_->buffer().isEmpty())
            capture_->dbFill();
    };
    a.doseForBirthDate = DoseForBirthDate;
    a.askSide = [this](const ToolkitImagePtr &image) {
        SelectPosForm form(&main_, image);
        form.exec();
        return form.side();
    };
    a.defaultPartner = [this] { return SendPartner{partners_.partner.aet, partners_.partner.ip, partners_.partner.port}; };
    assignment_ = std::make_unique<ProjectionAssignment>(session_, a, prompter_);
    connect(assignment_.get(), &ProjectionAssignment::sendRequested, this,
            [this](const BrowserSelection &p, const SendPartner &, DoseAssignment assignment) {
                // The examination as it stands when the operator gives the command.
                std::optional<ExaminationExposures> examination;
                if (const auto taken = doseList_->examinationExposures(assignment, p.studyUid))
                    examination = ExaminationExposures{p.studyUid, taken->listed, taken->rejected};
                SendConnections connections;
                if (openConnections(connections))
                    SendPatient(p, std::move(connections), assignment, examination);
            });
    connect(&main_, &MainForm::mergeRequested, this, [this] { assignment_->cmdAll_Click(); });
    connect(&main_, &MainForm::manualMergeRequested, this, [this] { assignment_->cmdSelected_Click(); });
    main_.bind(*assignment_);
}

void Workstation::attachPartners()
{
    // At load, and when the options dialog changed the partners: the send
    // menus and the partners in use follow at once.
    connect(&main_, &MainForm::partnersChanged, &session_, &Session::partnersChanged);
    connect(&session_, &Session::partnersChanged, this, [this] {
        main_.updateSendMenus(partners_, [this](int level, const QString &tag) { sendMenuClick(level, tag); });
    });
}

SendTarget Workstation::sendTarget() const { return {partners_, session_.examinationType() == 1, Settings.IR_AET}; }

void Workstation::connectCommands()
{
    auto on = [this](Command c, auto handler) { connect(main_.command(c), &QAction::triggered, this, handler); };
    // Each pop-up command acts on the row the right button made current.
    on(Command::StudyImages, [this] { browser_->loadStudy(main_.studyRow()); });
    on(Command::StudySeries, [this] { browser_->showSeries(main_.studyRow()); });
    on(Command::SeriesImages, [this] { browser_->loadSeries(main_.seriesRow()); });
    on(Command::Worklist, [this] { openWorklist(); });
    on(Command::RefreshList, [this] { browser_->RefreshPatientList(); });
    on(Command::RefreshDoseList, [this] { doseList_->lvDosis_Fill(); });
    on(Command::Fill, [this] { capture_->dbFill(); });
    on(Command::DeleteSeries, [this] { deletion_->deleteSeries(browser_->seriesTarget(main_.seriesRow())); });
    on(Command::DeleteStudy, [this] { deletion_->deleteStudy(browser_->studyTarget(main_.studyRow())); });
    on(Command::DeletePatient, [this] { deletion_->deletePatient(browser_->patientTarget(main_.patientRow())); });
    on(Command::DeleteAllPatients, [this] { deletion_->deleteAll(); });
    on(Command::DeleteViewerImage, [this] { deletion_->PopupDeleteImage(); }); // the viewer's current image
    on(Command::ApplyTasks, [this] { mnuApplyTasks(); });
    on(Command::ImportImages, [this] { importImages(false); });
    on(Command::ImportDir, [this] { importImages(true); });
    on(Command::ExportJpeg, [this] { exportImages(ExportKind::Jpeg); });
    on(Command::ExportDicom, [this] { exportImages(ExportKind::Dicom); });
    on(Command::ClearTaskList, [this] { tasks_->ClearEntries(); });
    on(Command::SaveTaskList, [this] { tasks_->SaveAs(); });
    on(Command::EditDictionary, [this] {
        DatabaseForm form(prompter_, &main_);
        form.UpdateDictionary();
        form.exec();
    });
    on(Command::DoseQa, [this] {
        auto *form = new DoseQaForm(UserDatabase.path(), ActiveReferenceLookup(QStringLiteral("MainForm DoseQa")), QDate::currentDate(), prompter_, &main_);
        form->setAttribute(Qt::WA_DeleteOnClose);
        form->show();
    });
    on(Command::PrintDayList, [this] {
        PrintDayList(&main_, QDate::currentDate(), UserDatabase.path(), ActiveReferenceLookup(QStringLiteral("MainForm PrintDayList")), prompter_);
    });
    on(Command::DoseCalibration, [this] {
        DoseCalibrationForm form(Settings.XrayComm, *windowPrompter_, &main_);
        form.exec();
        doseList_->lvDosis_Fill(); // marks follow a changed reference set
    });
    on(Command::ReloadDoseList, [this] {
        DosisForm form(prompter_, &main_);
        form.Form_Load();
        form.exec();
    });
}

void Workstation::importImages(bool directory)
{
    const QStringList chosen = chooseImportFiles(directory);
    if (chosen.isEmpty())
        return; // cancelled: no job
    // The job takes the files chosen now.
    Job job;
    if (directory)
        job = [dicomdir = chosen.first()](JobProgress &p) { return ImportDirTimer(p, dicomdir); };
    else
        job = [files = ImportFilesFrom(chosen)](JobProgress &p) { return ImportTimer(p, files); };
    QApplication::setOverrideCursor(Qt::WaitCursor);
    runJob(directory ? JobKind::ImportDir : JobKind::ImportImages, std::move(job));
    QApplication::restoreOverrideCursor();
}

JobOutcome Workstation::runJob(JobKind kind, Job job, const std::function<void(EditForm &)> &prepare)
{
    EditForm form(session_, kind, std::move(job), &main_);
    if (prepare)
        prepare(form);
    form.Form_Load();
    runProgressDialog(form);
    return form.outcome();
}

bool Workstation::openConnections(SendConnections &connections)
{
    const Result opened = connections.open(sendTarget());
    if (!opened.ok())
        prompter_.critical(&main_, QStringLiteral("Error #%1: %2").arg(opened.number).arg(opened.text), DefaultPromptTitle);
    return opened.ok();
}

void Workstation::exportImages(ExportKind kind)
{
    const QList<ToolkitImagePtr> images = session_.loadedImages().items;
    if (images.isEmpty()) {
        prompter_.information(&main_, QStringLiteral("No images loaded into viewport."), DefaultPromptTitle);
        return;
    }
    ExportForm form(kind, images, prompter_, &main_);
    form.Form_Load();
    runExportDialog(form);
}

void Workstation::openWorklist()
{
    WorklistForm form(prompter_, &main_);
    // The session keeps the chosen entry; the capture's label and button follow it.
    form.patientChosen = [this](const QString &name, const QDate &birthDate) { session_.setWorklistPatient({name, birthDate}); };
    form.exec();
}

void Workstation::sendMenuClick(int level, const QString &tag)
{
    // Taken now: the row the menu was opened on, not what was loaded before.
    const ImageTarget target = level == 0   ? browser_->seriesTarget(main_.seriesRow())
                               : level == 1 ? browser_->studyTarget(main_.studyRow())
                                            : browser_->patientTarget(main_.patientRow());
    const PartnerAddress p = PartnerFromTag(tag);
    // The partner chosen for this send, in the session; the settings are not written.
    session_.setSendPartner({p.aet, p.ip, p.port});
    if (p.aet.isEmpty() || p.ip.isEmpty() || p.port.isEmpty()) {
        prompter_.plain(&main_,
                        QStringLiteral("Incomplete Storage Class Provider values!\r\nAET: ") + p.aet + QStringLiteral("\r\nIP: ") + p.ip
                            + QStringLiteral("\r\nPort: ") + p.port,
                        DefaultPromptTitle);
        return;
    }
    if (!target.valid) {
        prompter_.information(&main_, QStringLiteral("Nothing sent: no entry is selected, or it is no longer in the database."), DefaultPromptTitle);
        return;
    }
    // The associations go to the partners in use, whichever entry was chosen.
    SendConnections connections;
    if (!openConnections(connections))
        return;
    const SendSelection s{target.patientKey, target.patientId, target.patientName, target.studyKey, target.studyUid, target.seriesKey};
    if (level == 0)
        SendSeries(s, std::move(connections));
    else if (level == 1)
        SendStudy(s, std::move(connections));
    else
        SendPatient(s, std::move(connections));
}

bool Workstation::undoneTasksAllowSend()
{
    if (tasks_->taskCount() == 0)
        return true;
    if (!prompter_.question(&main_, QStringLiteral("Undone tasks in list!\r\nContinue?"), DefaultPromptTitle))
        return false; // the launcher's associations end with it
    tasks_->ClearEntries();
    return true;
}

bool Workstation::runSendJob(JobKind kind, const SendSelection &s, SendConnections connections, DoseAssignment assignment,
                             const std::optional<ExaminationExposures> &examination)
{
    // The job's input, taken now; it lives until the dialog has gone.
    SendJob input;
    input.selection = s;
    input.connections = std::move(connections);
    input.assignment = assignment;
    input.examination = examination;
    input.writeDoseReport = WriteStudyDoseReport;
    const QString currentImage = session_.currentImageUid(); // taken now: the job empties it
    session_.clearCurrentImage();
    // The exposures go to the patient sent, whoever is selected meanwhile.
    // A merge's send assigns the exposures it took, not what is listed by then.
    const auto assignSent = [this, s, examination](DoseAssignment mode) {
        if (examination)
            doseList_->assignExposures(examination->listed, s);
        else
            doseList_->RefreshDosisList(mode, s);
    };
    Job job;
    if (kind == JobKind::SendSeries)
        job = [&input](JobProgress &p) { return SerieSenden(p, input); };
    else if (kind == JobKind::SendStudy)
        job = [&input](JobProgress &p) { return StudieSenden(p, input); };
    else
        job = [&input](JobProgress &p) { return PatientSenden(p, input); };
    const JobOutcome outcome = runJob(kind, std::move(job), [&](EditForm &form) {
        form.onUnload = [&input] { input.connections.release(); };
        connect(&form, &EditForm::jobDone, this, [this, &form, assignSent](const JobOutcome &done) {
            // The rows of what the job removed: a patient send goes through its studies.
            for (qlonglong key : done.studiesRemoved)
                browser_->studyRemoved(key);
            if (done.assignNow)
                assignSent(done.assignment);
            for (const QString &id : done.patientsRemoved)
                browser_->patientRemoved(id);
            if (!done.ok())
                prompter_.critical(&form, QStringLiteral("Error #%1: %2").arg(done.number).arg(done.text), DefaultPromptTitle);
            if (!done.notice.isEmpty())
                prompter_.information(&form, done.notice, DefaultPromptTitle);
        });
        connect(&form, &EditForm::closedWithOk, this, [this, &form, assignSent, currentImage] {
            const DoseAssignment mode = form.outcome().assignment;
            if (mode == DoseAssignment::None)
                return;
            assignSent(mode);
            deletion_->RemoveImageRowsByList(mode, currentImage);
        });
    });
    return outcome.entriesRemoved;
}

void Workstation::mnuApplyTasks()
{
    if (doseList_->rowCount() == 0 || session_.chosenExposure().date.isEmpty())
        return;
    // The job's input as the operator sees it now: the tasks, the loaded
    // images and the selected patient.
    HeaderUpdateInput input{.tasks = tasks_->tasks(), .images = session_.loadedImages().items, .loadedLevel = LevelName(session_.loadedLevel()),
                            .patientKey = session_.selection().patientKey, .viewerWindow = {}};
    session_.clearCurrentImage();
    const JobOutcome outcome = runJob(
        JobKind::UpdateStudy,
        [input = std::move(input)](JobProgress &p) {
            const HeaderUpdateResult result = HeaderUpdateJob(input, p).run();
            JobOutcome out;
            out.entriesRemoved = result.ok();
            out.refused = result.refused;
            if (result.refused)
                static_cast<Result &>(out) = result;
            return out;
        },
        [this](EditForm &form) {
            // A task that cannot be carried out is told while the dialog is open.
            connect(&form, &EditForm::jobDone, &form, [this, &form](const JobOutcome &done) {
                if (done.refused)
                    prompter_.information(&form, done.text, DefaultPromptTitle);
            });
        });
    const bool removed = outcome.entriesRemoved;
    if (outcome.refused)
        return; // nothing was changed: the operator may correct the tasks
    // The loaded images were rewritten (or half so in memory): their rows and
    // files are gone or will be filed anew from temp/.
    if (removed) {
        tasks_->ClearEntries();
        BrowserSelection s = session_.selection();
        s.studyKey = 0;
        s.studyUid.clear();
        s.seriesKey = 0;
        session_.setSelection(s);
        browser_->studies().clear();
        browser_->series().clear();
        browser_->images().clear();
    }
    header_->clear();
    session_.clearLoadedImages();
    browser_->RefreshPatientList();
}

void Workstation::SendSeries(const SendSelection &s, SendConnections connections)
{
    if (!undoneTasksAllowSend())
        return;
    session_.clearLoadedImages();
    if (runSendJob(JobKind::SendSeries, s, std::move(connections))) {
        browser_->seriesRemoved(s.seriesKey);
        if (BrowserSelection now = session_.selection(); now.seriesKey == s.seriesKey) {
            now.seriesKey = 0;
            session_.setSelection(now);
        }
    }
    if (browser_->series().count() == 1)
        browser_->closeSeriesList();
}

void Workstation::SendStudy(const SendSelection &s, SendConnections connections)
{
    if (!undoneTasksAllowSend())
        return;
    if (BrowserSelection now = session_.selection(); runSendJob(JobKind::SendStudy, s, std::move(connections)) && now.studyKey == s.studyKey) {
        now.studyKey = 0;
        now.studyUid.clear();
        session_.setSelection(now);
    }
    browser_->RefreshPatientList();
}

void Workstation::SendPatient(const SendSelection &s, SendConnections connections, DoseAssignment assignment,
                              const std::optional<ExaminationExposures> &examination)
{
    if (!undoneTasksAllowSend())
        return;
    if (runSendJob(JobKind::SendPatient, s, std::move(connections), assignment, examination)) {
        browser_->studies().clear();
        browser_->series().clear();
        browser_->images().clear();
        doseList_->clear();
        session_.clearLoadedImages();
    }
    browser_->RefreshPatientList();
    main_.ClearInfoFields();
}
