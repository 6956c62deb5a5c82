#include "store/Session.h"
#include "app/Workstation.h"

#include "acquisition/ImageViewer.h"
#include "acquisition/ProjectionAssignment.h"
#include "app/MainForm.h"
#include "app/OptionForm.h"
#include "ui/Prompts.h"
#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "dictionary/DictionaryForms.h"
#include "dictionary/DictionaryStore.h"
#include "exposure/DoseList.h"
#include "exposure/DosisForm.h"
#include "exposure/ExposureCapture.h"
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
#include "toolkit/ToolkitViewer.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QMenu>
#include <QMouseEvent>
#include <QTimer>
#include <QTreeWidget>

namespace {

// The loaded level as the task list and the header job name it.
QString LevelName(LoadedLevel level)
{
    return level == LoadedLevel::Study ? QStringLiteral("Studie") : level == LoadedLevel::Series ? QStringLiteral("Serie") : QString();
}

} // namespace

Workstation::Workstation(MainForm &main) : QObject(&main), main_(main)
{
    // Images a header update rewrote but could not hand over before the program ended.
    HeaderUpdateJob::HandOverLeftovers();
    attachExposure();
    attachViewerAndBrowser();
    attachAssignment();
    attachPartners();
    connectCommands();
    main_.hooks.LoadModFilter = [] { LoadModFilter(); };
    EditForm::RegisterJob(JobKind::SendSeries, [this](EditForm &f) { SerieSenden(f, job_); });
    EditForm::RegisterJob(JobKind::SendStudy, [this](EditForm &f) { StudieSenden(f, job_); });
    EditForm::RegisterJob(JobKind::SendPatient, [this](EditForm &f) { PatientSenden(f, job_); });
    EditForm::RegisterJob(JobKind::UpdateStudy, [this](EditForm &f) { UpdateTimer(f); });
    EditForm::RegisterJob(JobKind::ImportImages, [](EditForm &f) { ImportTimer(f); });
    EditForm::RegisterJob(JobKind::ImportDir, [](EditForm &f) { ImportDirTimer(f); });
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
    ExposureControls c;
    c.lvDosis = main_.lvDosis;
    c.cmbDosis = main_.cmbDosis;
    c.Popup_Dosis = main_.Popup_Dosis;
    c.PopupDeleteDosis = main_.command(Command::DeleteExposure);
    c.exposureDateBox = main_.exposureDateBox;
    c.exposureTimeBox = main_.exposureTimeBox;
    c.exposureBoxes = main_.exposureBoxes;
    c.txtID = main_.txtID;
    c.lblCount = main_.lblCount;
    c.decodeNowButton = main_.decodeNowButton;
    c.newExaminationButton = main_.newExaminationButton;
    c.activateButton = main_.activateButton;
    c.stopButton = main_.stopButton;
    c.txtcInput = main_.txtcInput;
    c.decoderTokenList = main_.decoderTokenList;
    c.doseLineBox = main_.doseLineBox;
    c.spareCaptureBox = main_.spareCaptureBox;
    c.SerTimer = main_.SerTimer;
    c.sendTimer = main_.sendTimer;
    c.lvImages = main_.lvImages;
    c.runTaskButton0 = [this] {
        if (tasks_ && !pairing_)
            tasks_->AddTask();
    };
    c.showMessage = [this](const QString &text) { Prompts().information(&main_, text, DefaultPromptTitle); };
    DoseList::PrepareColumns(main_.lvDosis);
    doseList_ = std::make_unique<DoseList>(session_, c);
    capture_ = std::make_unique<ExposureCapture>(c, *doseList_);
    // The indicator follows the port at once: a check queued before the port
    // was opened would show it red until the next round.
    main_.hooks.Initialise_cPort = [this] {
        capture_->Initialise_cPort();
        checkLinks();
    };
    main_.hooks.dbFill = [this] { capture_->dbFill(); };
    main_.hooks.lvDosis_Fill = [this] { doseList_->lvDosis_Fill(); };

    links_.serialOpen = [this] { return capture_->port().isOpen(); };
    links_.serialError = [this] { return capture_->port().errorString(); };
    links_.reopenSerial = [this] { capture_->Initialise_cPort(); };
    main_.linkTimer->setInterval(LinkMonitor::IntervalMs);
    connect(main_.linkTimer, &QTimer::timeout, this, &Workstation::checkLinks);
    main_.linkTimer->start();
    QTimer::singleShot(0, this, &Workstation::checkLinks);
}

void Workstation::checkLinks()
{
    links_.check();
    main_.showLink(main_.receiverLink, links_.receiver().up, links_.receiver().text, links_.receiver().lastError);
    main_.showLink(main_.serialLink, links_.serial().up, links_.serial().text, links_.serial().lastError);
}

void Workstation::attachViewerAndBrowser()
{
    auto panel = [this](int i, const QString &text) { main_.setStatusPanel(i, text); };
    ViewerControls v;
    v.dicomViewer = main_.dicomViewer;
    v.dv1_vscroll = main_.dv1_vscroll;
    v.lvImages = main_.lvImages;
    v.PopUpViewer = main_.PopUpViewer;
    v.setStatusPanel = panel;
    HeaderControls h;
    h.lvHeader = main_.lvHeader;
    h.txtSelected = main_.txtSelected;
    h.txtNeu = main_.txtNeu;
    h.cboTask = main_.cboTask;
    h.currentImage = [] { return CurrentImageExists ? CurrentImage : ToolkitImagePtr(); };
    h.cboTask_Click = [this] { tasks_->cboTask_Click(); };
    header_ = std::make_unique<HeaderView>(h);
    TaskControls t;
    t.lvTasks = main_.lvTasks;
    t.lvHeader = main_.lvHeader;
    t.cboLevel = main_.cboLevel;
    t.cboTask = main_.cboTask;
    t.cboTarget = main_.cboTarget;
    t.txtSelected = main_.txtSelected;
    t.txtNeu = main_.txtNeu;
    t.exposureBoxes = main_.exposureBoxes;
    t.PopUpRules = main_.PopUpRules;
    t.window = &main_;
    t.currentImageIndex = [] { return CurrentImageIndex; };
    t.viewerImageCount = [this] { return main_.dicomViewer->imageCount(); };
    t.loadedLevel = [this] { return LevelName(session_.loadedLevel()); };
    tasks_ = std::make_unique<TaskList>(t);
    connect(tasks_.get(), &TaskList::applyTasksRequested, main_.command(Command::ApplyTasks), &QAction::trigger);
    connect(main_.cmdTask[0], &QPushButton::clicked, tasks_.get(), &TaskList::AddTask);
    connect(main_.cmdTask[1], &QPushButton::clicked, tasks_.get(), &TaskList::DeleteTask);
    main_.hooks.PrepareTaskList = [this] {
        tasks_->FillTaskCombos();
        tasks_->RebuildRuleMenu();
    };
    main_.hooks.rebuildRuleSets = [this] { tasks_->RebuildRuleMenu(); };
    v.refreshHeader = [this] { header_->LoadHeaderData(); };
    v.deleteImage = [this] { deletion_->PopupDeleteImage(); };
    // The filter changed: the header view follows when it shows an image.
    main_.hooks.rebuildHeaderView = [this] {
        if (CurrentImageExists)
            header_->LoadHeaderData();
    };
    viewer_ = std::make_unique<ImageViewer>(v);
    viewer_->BuildPopUpViewer();
    viewer_->SetUpViewer();

    BrowserControls b;
    b.window = &main_;
    b.lvPatients = main_.lvPatients;
    b.lvStudien = main_.lvStudien;
    b.lvSerien = main_.lvSerien;
    b.lvImages = main_.lvImages;
    b.lvDosis = main_.lvDosis;
    b.frmSerien = main_.frmSerien;
    b.pbLoad = main_.pbLoad;
    b.cmdSelected = main_.cmdSelected;
    b.PopUpPatient = main_.PopUpPatient;
    b.PopUpStudie = main_.PopUpStudie;
    b.PopUpSerie = main_.PopUpSerie;
    b.UpdateTimer = main_.UpdateTimer;
    b.dicomViewer = main_.dicomViewer;
    b.viewer = viewer_.get();
    b.setStatusPanel = panel;
    b.taskCount = [this] { return main_.lvTasks->topLevelItemCount(); };
    b.clearTaskState = [this] {
        main_.lvTasks->clear();
        main_.lvHeader->clear();
        main_.txtSelected->clear();
        main_.txtNeu->clear();
    };
    b.clearTaskList = [this] {
        main_.lvTasks->clear();
        main_.lvHeader->clear();
    };
    browser_ = std::make_unique<Browser>(session_, b);

    DeletionControls d;
    d.window = &main_;
    d.lvPatients = main_.lvPatients;
    d.lvStudien = main_.lvStudien;
    d.lvSerien = main_.lvSerien;
    d.lvImages = main_.lvImages;
    d.lvDosis = main_.lvDosis;
    d.lvHeader = main_.lvHeader;
    d.frmSerien = main_.frmSerien;
    d.dicomViewer = main_.dicomViewer;
    d.setStatusPanel = panel;
    d.askYesNo = [this](const QString &q) { return Prompts().question(&main_, q, DefaultPromptTitle); };
    d.confirm = [this](const QString &q) { return Prompts().confirm(&main_, q, DefaultPromptTitle); };
    d.inform = [this](const QString &m) { Prompts().information(&main_, m, DefaultPromptTitle); };
    d.runJob = [this](JobKind kind) { runDeletionJob(kind); };
    d.showFromFirstImage = [this] {
        main_.dicomViewer->setFirstTile(1);
        viewer_->UpdateScrollRange();
    };
    d.resetMainWindow = [this] {
        main_.lvTasks->clear();
        main_.lvHeader->clear();
        ClearViewer(main_.dicomViewer);
    };
    d.refreshPatientList = [this] { browser_->RefreshPatientList(); };
    d.selectStudyAgain = [this] {
        if (QTreeWidgetItem *study = main_.lvStudien->currentItem())
            browser_->lvStudien_ItemClick(study);
    };
    deletion_ = std::make_unique<ListDeletion>(session_, d);
    deletion_->RegisterJobs();

    main_.hooks.RefreshPatientList = [this] { browser_->RefreshPatientList(); };
    connect(&main_, &MainForm::patientListPollDue, this, [this] { browser_->RefreshPatientList(Browser::Refresh::OnReceipts); });
    main_.hooks.selectFirstPatient = [this](int) { browser_->lvPatients_ItemClick(main_.lvPatients->topLevelItem(0)); };
    main_.hooks.selectFirstStudy = [this](int) { browser_->lvStudien_ItemClick(main_.lvStudien->topLevelItem(0)); };
    main_.hooks.emptyViewer = [this] {
        ClearViewer(main_.dicomViewer);
    };
    main_.hooks.reapplyViewerSettings = [this] {
        viewer_->SetUpViewer();
        viewer_->UpdateScrollRange();
    };
    connect(main_.lvPatients, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { browser_->lvPatients_ItemClick(item); });
    connect(main_.lvStudien, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { browser_->lvStudien_ItemClick(item); });
    connect(main_.lvSerien, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) { browser_->lvSerien_DblClick(item); });
    connect(main_.lvImages, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { browser_->lvImages_ItemClick(item); });
    for (QTreeWidget *list : {main_.lvPatients, main_.lvStudien, main_.lvSerien})
        list->viewport()->installEventFilter(this);
}

bool Workstation::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto *m = static_cast<QMouseEvent *>(event);
        const QPoint pos = m->position().toPoint();
        if (watched == main_.lvPatients->viewport())
            browser_->lvPatients_MouseUp(m->button(), pos);
        else if (watched == main_.lvStudien->viewport())
            browser_->lvStudien_MouseUp(m->button(), pos);
        else if (watched == main_.lvSerien->viewport())
            browser_->lvSerien_MouseUp(m->button(), pos);
    }
    return QObject::eventFilter(watched, event);
}

void Workstation::attachAssignment()
{
    AssignmentControls a;
    a.parent = &main_;
    a.lvImages = main_.lvImages;
    a.lvDosis = main_.lvDosis;
    a.exposureBoxes = main_.exposureBoxes;
    a.cmdProjection = main_.cmdProjection;
    a.txtcInput = main_.txtcInput;
    a.viewer = viewer_.get();
    a.lvImages_ItemClick = [this](QTreeWidgetItem *item) { browser_->lvImages_ItemClick(item); };
    // The merge's pairing selects exposures itself: that is no operator's click,
    // and making tasks from it would wipe the undone tasks before the send asks.
    a.lvDosis_ItemClick = [this](QTreeWidgetItem *item) {
        pairing_ = true;
        doseList_->lvDosis_ItemClick(item);
        pairing_ = false;
    };
    a.dbFill = [this] { capture_->dbFill(); };
    a.SCPOnline = [this] { return SCPOnline(&main_); };
    a.SendPatient = [this] { SendPatient(selection()); };
    a.defaultPartner = [] { return QStringList{DefaultPartner.aet, DefaultPartner.ip, DefaultPartner.port}; };
    assignment_ = std::make_unique<ProjectionAssignment>(session_, a);
    main_.hooks.cmdAll_Click = [this] { assignment_->cmdAll_Click(); };
    main_.hooks.cmdSelected_Click = [this] { assignment_->cmdSelected_Click(); };
    // At creation, before the load: the captions the unit type names.
    assignment_->LoadProjectionCaptions();
    main_.applyResizeRules();
}

void Workstation::attachPartners()
{
    main_.hooks.UpdateSendToEntries = [this] {
        UpdateSendToEntries(main_.Se_SendTo, main_.St_SendTo, main_.P_SendTo,
                            [this](int level, const QString &tag) { sendMenuClick(level, tag); });
    };
}

void Workstation::AttachOptionForm(OptionForm &form)
{
    auto *partners = new StoragePartnerList(form.lvSCP);
    form.UpdateSCP = [partners] { partners->UpdateSCP(); };
}

void Workstation::connectCommands()
{
    auto on = [this](Command c, auto handler) { connect(main_.command(c), &QAction::triggered, this, handler); };
    on(Command::StudyImages, [this] { browser_->PopUpStudie_Laden(); });
    on(Command::StudySeries, [this] { browser_->PopUpStudie_SeriesWindow(); });
    on(Command::SeriesImages, [this] { browser_->PopUpSerie_Laden(); });
    on(Command::Worklist, [this] { openWorklist(); });
    on(Command::DeleteSeries, [this] { deletion_->PopUpSerie_Delete(); });
    on(Command::DeleteStudy, [this] { deletion_->PopUpStudie_Delete(); });
    on(Command::DeletePatient, [this] { deletion_->PopUpPatient_Delete(); });
    on(Command::DeleteAllPatients, [this] { deletion_->PopUpPatient_DeleteAll(); });
    on(Command::DeleteViewerImage, [this] { deletion_->PopupDeleteImage(); }); // the viewer's current image
    on(Command::ApplyTasks, [this] { mnuApplyTasks(); });
    on(Command::ImportImages, [this] { importImages(JobKind::ImportImages); });
    on(Command::ImportDir, [this] { importImages(JobKind::ImportDir); });
    on(Command::ExportJpeg, [this] { exportImages(ExportKinds::Jpeg); });
    on(Command::ExportDicom, [this] { exportImages(ExportKinds::Dicom); });
    on(Command::ClearTaskList, [this] { tasks_->ClearEntries(); });
    on(Command::SaveTaskList, [this] { tasks_->SaveAs(); });
    on(Command::EditDictionary, [this] {
        DatabaseForm form(&main_);
        form.UpdateDictionary();
        form.exec();
    });
    on(Command::ReloadDoseList, [this] {
        DosisForm form(&main_);
        form.Form_Load();
        form.exec();
    });
}

void Workstation::importImages(JobKind kind)
{
    const bool directory = kind == JobKind::ImportDir;
    const QStringList chosen = chooseImportFiles(directory);
    if (chosen.isEmpty())
        return; // cancelled: no job
    if (directory) {
        ImportFiles = chosen.mid(0, 1);
        ImportMulti = false;
    } else {
        SetImportFiles(chosen);
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    JobMode = kind;
    {
        EditForm form(&main_, &session_);
        form.Form_Load();
        runProgressDialog(form);
    }
    QApplication::restoreOverrideCursor();
}

void Workstation::exportImages(int kind)
{
    const QList<ToolkitImagePtr> images = main_.dicomViewer->images();
    if (images.isEmpty()) {
        Prompts().information(&main_, QStringLiteral("No images loaded into viewport."), DefaultPromptTitle);
        return;
    }
    ExportKind = kind;
    ExportForm form(images, &main_);
    form.Form_Load();
    runExportDialog(form);
}

void Workstation::openWorklist()
{
    WorklistForm form(&main_);
    // Only the label and the button colour keep the chosen entry.
    form.patientChosen = [this](const QString &name) {
        main_.lblCount->setText(name);
        capture_->MarkPatientChosen();
    };
    form.exec();
}

void Workstation::sendMenuClick(int level, const QString &tag)
{
    // Taken now: the row the menu was opened on, not what was loaded before.
    const ImageTarget target = level == 0   ? SeriesRowTarget(main_.lvSerien->currentItem())
                               : level == 1 ? StudyRowTarget(main_.lvStudien->currentItem())
                                            : PatientRowTarget(main_.lvPatients->currentItem());
    const PartnerAddress p = PartnerFromTag(tag);
    Settings.SCP_AET = p.aet;
    Settings.SCP_IP = p.ip;
    Settings.SCP_Port = p.port;
    if (p.aet.isEmpty() || p.ip.isEmpty() || p.port.isEmpty()) {
        Prompts().plain(&main_,
                        QStringLiteral("Incomplete Storage Class Provider values!\r\nAET: ") + p.aet + QStringLiteral("\r\nIP: ") + p.ip
                            + QStringLiteral("\r\nPort: ") + p.port,
                        DefaultPromptTitle);
        return;
    }
    if (!target.valid) {
        Prompts().information(&main_, QStringLiteral("Nothing sent: no entry is selected, or it is no longer in the database."), DefaultPromptTitle);
        return;
    }
    // The associations go to the partners in use, whichever entry was chosen.
    if (!SCPOnline(&main_))
        return;
    const SendSelection s{target.patientKey, target.patientId, target.patientName, target.studyKey, target.studyUid, target.seriesKey};
    if (level == 0)
        SendSeries(s);
    else if (level == 1)
        SendStudy(s);
    else
        SendPatient(s);
}

bool Workstation::undoneTasksAllowSend()
{
    if (main_.lvTasks->topLevelItemCount() == 0)
        return true;
    if (!Prompts().question(&main_, QStringLiteral("Undone tasks in list!\r\nContinue?"), DefaultPromptTitle)) {
        ReleaseConnections();
        return false;
    }
    main_.lvTasks->clear();
    return true;
}

SendSelection Workstation::selection() const
{
    const BrowserSelection &s = session_.selection();
    return {s.patientKey, s.patientId, s.patientName, s.studyKey, s.studyUid, s.seriesKey};
}

void Workstation::runSendJob(JobKind kind, const SendSelection &s)
{
    job_ = SendJob();
    job_.selection = s;
    job_.RefreshDosisList = [this] { doseList_->RefreshDosisList(); };
    // The rows of what the job removed: a patient send goes through its studies.
    job_.studyRowRemoved = [this] {
        delete main_.lvStudien->findItems(QString::number(job_.selection.studyKey), Qt::MatchExactly, 0).value(0);
    };
    job_.patientRowRemoved = [this] { delete main_.lvPatients->findItems(job_.selection.patientId, Qt::MatchExactly, 0).value(0); };
    ClearCurrentImage();
    JobMode = kind;
    EditForm form(&main_, &session_);
    form.onUnload = [] { ReleaseConnections(); };
    connect(&form, &EditForm::closedWithAssignment, this, [this] {
        doseList_->RefreshDosisList();
        deletion_->RemoveImageRowsByList();
    });
    form.Form_Load();
    runProgressDialog(form);
}

void Workstation::runDeletionJob(JobKind kind)
{
    ClearCurrentImage();
    JobMode = kind;
    EditForm form(&main_, &session_);
    form.Form_Load();
    runProgressDialog(form);
}

void Workstation::mnuApplyTasks()
{
    if (main_.lvDosis->topLevelItemCount() == 0 || main_.exposureDateBox->text().isEmpty())
        return;
    // The job's input as the operator sees it now: the tasks, the loaded
    // images and the selected patient.
    pendingUpdate_ = {.tasks = TasksFromList(main_.lvTasks), .images = main_.dicomViewer->images(), .loadedLevel = LevelName(session_.loadedLevel()),
                      .patientKey = session_.selection().patientKey, .viewerWindow = {}};
    ClearCurrentImage();
    headerJobRefused_ = false;
    JobMode = JobKind::UpdateStudy;
    {
        EditForm form(&main_, &session_);
        form.Form_Load();
        runProgressDialog(form);
    }
    pendingUpdate_ = {};
    if (headerJobRefused_)
        return; // nothing was changed: the operator may correct the tasks
    // The loaded images were rewritten (or half so in memory): their rows and
    // files are gone or will be filed anew from temp/.
    if (EntriesRemoved) {
        main_.lvTasks->clear();
        BrowserSelection s = session_.selection();
        s.studyKey = 0;
        s.studyUid.clear();
        s.seriesKey = 0;
        session_.setSelection(s);
        main_.lvStudien->clear();
        main_.lvSerien->clear();
        main_.lvImages->clear();
    }
    main_.lvHeader->clear();
    ClearViewer(main_.dicomViewer);
    browser_->RefreshPatientList();
}

void Workstation::UpdateTimer(EditForm &form)
{
    HeaderUpdateInput in = std::exchange(pendingUpdate_, {});
    HeaderUpdateReport r;
    r.append = [&form](const QString &t) { form.append(t); };
    r.setMaximum = [&form](int m) { form.setProgressMaximum(m); };
    r.advance = [&form] { form.advance(); };
    r.message = [&form](const QString &t) { Prompts().information(&form, t, DefaultPromptTitle); };
    HeaderUpdateJob job(in, r);
    EntriesRemoved = job.run();
    headerJobRefused_ = job.refused();
    form.enableOK();
}

void Workstation::SendSeries(const SendSelection &s)
{
    if (!undoneTasksAllowSend())
        return;
    ClearViewer(main_.dicomViewer);
    runSendJob(JobKind::SendSeries, s);
    if (EntriesRemoved) {
        for (int i = 1; i < main_.lvSerien->topLevelItemCount(); ++i) {
            if (main_.lvSerien->topLevelItem(i)->data(0, Qt::UserRole).toLongLong() == s.seriesKey) {
                delete main_.lvSerien->topLevelItem(i);
                break;
            }
        }
        if (BrowserSelection now = session_.selection(); now.seriesKey == s.seriesKey) {
            now.seriesKey = 0;
            session_.setSelection(now);
        }
    }
    if (main_.lvSerien->topLevelItemCount() == 1) {
        main_.frmSerien->setVisible(false);
        main_.lvSerien->clear();
    }
}

void Workstation::SendStudy(const SendSelection &s)
{
    if (!undoneTasksAllowSend())
        return;
    runSendJob(JobKind::SendStudy, s);
    if (BrowserSelection now = session_.selection(); EntriesRemoved && now.studyKey == s.studyKey) {
        now.studyKey = 0;
        now.studyUid.clear();
        session_.setSelection(now);
    }
    browser_->RefreshPatientList();
}

void Workstation::SendPatient(const SendSelection &s)
{
    if (!undoneTasksAllowSend())
        return;
    runSendJob(JobKind::SendPatient, s);
    if (EntriesRemoved) {
        main_.lvStudien->clear();
        main_.lvSerien->clear();
        main_.lvImages->clear();
        main_.lvDosis->clear();
        ClearViewer(main_.dicomViewer);
    }
    browser_->RefreshPatientList();
    main_.ClearInfoFields();
}
