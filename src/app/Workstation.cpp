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
#include <QProgressBar>
#include <QTimer>
#include <QHeaderView>
#include <QTreeView>
#include <QTreeWidget>

namespace {

// The loaded level as the task list and the header job name it.
QString LevelName(LoadedLevel level)
{
    return level == LoadedLevel::Study ? QStringLiteral("Studie") : level == LoadedLevel::Series ? QStringLiteral("Serie") : QString();
}

// A browser list shown by its view: sortable lists show the model's order in their header.
void showRows(QTreeView *view, RowModel &rows, bool sortable)
{
    view->setModel(&rows);
    if (!sortable)
        return;
    view->header()->setSortIndicator(-1, Qt::AscendingOrder);
    view->setSortingEnabled(true);
    auto showOrder = [view, &rows] {
        const QSignalBlocker quiet(view->header()); // the model is sorted already
        view->header()->setSortIndicator(rows.sortColumn(), rows.sortOrder());
    };
    QObject::connect(&rows, &QAbstractItemModel::layoutChanged, view, showOrder);
    QObject::connect(&rows, &QAbstractItemModel::modelReset, view, showOrder);
}

// The message boxes over the main window.
class WindowPrompter : public Prompter {
public:
    explicit WindowPrompter(QWidget *window) : window_(window) {}
    void information(QWidget *, const QString &text, const QString &title) override { Prompts().information(window_, text, title); }
    void critical(QWidget *, const QString &text, const QString &title) override { Prompts().critical(window_, text, title); }
    bool question(QWidget *, const QString &text, const QString &title) override { return Prompts().question(window_, text, title); }
    bool confirm(QWidget *, const QString &text, const QString &title) override { return Prompts().confirm(window_, text, title); }
    void plain(QWidget *, const QString &text, const QString &title) override { Prompts().plain(window_, text, title); }

private:
    QWidget *window_;
};

} // namespace

Workstation::Workstation(MainForm &main)
    : QObject(&main)
    , main_(main)
    , windowPrompter_(std::make_unique<WindowPrompter>(&main))
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

    browser_ = std::make_unique<Browser>(session_, *windowPrompter_);
    Browser &br = *browser_;
    showRows(main_.lvPatients, br.patients(), true);
    showRows(main_.lvStudien, br.studies(), true);
    showRows(main_.lvSerien, br.series(), false);
    // The image list stays the tree the viewer and the merge mark rows in: it repeats the browser's rows.
    auto listImages = [this] {
        QTreeWidget *list = main_.lvImages;
        const RowModel &rows = browser_->images();
        list->setUpdatesEnabled(false);
        list->setSortingEnabled(false);
        list->clear();
        QList<QTreeWidgetItem *> items;
        for (int i = 0; i < rows.count(); ++i) {
            auto *item = new QTreeWidgetItem(rows.at(i)->cells);
            item->setData(0, Qt::UserRole, rows.at(i)->tag);
            items << item;
        }
        list->addTopLevelItems(items);
        if (rows.sortColumn() >= 0) {
            list->header()->setSortIndicator(rows.sortColumn(), rows.sortOrder());
            list->setSortingEnabled(true);
        }
        list->setUpdatesEnabled(true);
    };
    connect(&br.images(), &QAbstractItemModel::modelReset, this, listImages);
    connect(&br.images(), &QAbstractItemModel::layoutChanged, this, listImages);
    connect(&br.images(), &QAbstractItemModel::rowsRemoved, this, listImages);
    br.setPendingTasks([this] { return main_.lvTasks->topLevelItemCount(); });
    connect(&br, &Browser::statusPanel, &main_, &MainForm::setStatusPanel);
    connect(&br, &Browser::taskStateClearRequested, this, [this] {
        main_.lvTasks->clear();
        main_.lvHeader->clear();
        main_.txtSelected->clear();
        main_.txtNeu->clear();
        main_.dicomViewer->refreshDisplay();
    });
    connect(&br, &Browser::taskListClearRequested, this, [this] {
        main_.lvTasks->clear();
        main_.lvHeader->clear();
    });
    connect(&br, &Browser::patientSelected, main_.UpdateTimer, &QTimer::stop);
    connect(&br, &Browser::seriesListVisible, main_.frmSerien, &QWidget::setVisible);
    connect(&br, &Browser::viewerCleared, main_.dicomViewer, &ToolkitViewer::clearImages);
    connect(&br, &Browser::loadStarted, this, [this] {
        main_.dicomViewer->clearImages();
        main_.dicomViewer->setRedraw(false);
    });
    connect(&br, &Browser::imageLoaded, main_.dicomViewer, &ToolkitViewer::addImage);
    connect(&br, &Browser::loadProgress, this, [this](int done, int total) {
        main_.pbLoad->setMaximum(total);
        main_.pbLoad->setValue(done);
        main_.pbLoad->show();
    });
    connect(&br, &Browser::loadEnded, this, [this] {
        main_.dicomViewer->setRedraw(true);
        main_.pbLoad->hide();
        viewer_->UpdateScrollRange();
    });
    connect(&br, &Browser::studyImagesListed, this,
            [this](int images) { main_.cmdSelected->setEnabled(main_.lvDosis->topLevelItemCount() == images); });

    deletion_ = std::make_unique<ListDeletion>(session_, br, *windowPrompter_);
    deletion_->setShownImages([this] { return main_.dicomViewer->images(); });
    connect(deletion_.get(), &ListDeletion::jobRequested, this, &Workstation::runDeletionJob);
    connect(deletion_.get(), &ListDeletion::statusPanel, &main_, &MainForm::setStatusPanel);
    connect(deletion_.get(), &ListDeletion::viewerImagesKept, this, [this](const QList<ToolkitImagePtr> &kept) {
        main_.dicomViewer->clearImages();
        for (const ToolkitImagePtr &image : kept)
            main_.dicomViewer->addImage(image);
        main_.dicomViewer->setFirstTile(1);
        viewer_->UpdateScrollRange();
        main_.lvHeader->clear();
    });
    connect(deletion_.get(), &ListDeletion::mainWindowResetRequested, this, [this] {
        main_.lvTasks->clear();
        main_.lvHeader->clear();
        ClearViewer(main_.dicomViewer);
    });
    connect(deletion_.get(), &ListDeletion::exposureListClearRequested, main_.lvDosis, &QTreeWidget::clear);
    connect(deletion_.get(), &ListDeletion::studyReselectRequested, this,
            [this] { browser_->selectStudy(main_.lvStudien->currentIndex().row()); });
    deletion_->RegisterJobs();

    main_.hooks.RefreshPatientList = [this] { browser_->RefreshPatientList(); };
    connect(&main_, &MainForm::patientListPollDue, this, [this] { browser_->RefreshPatientList(Browser::Refresh::OnReceipts); });
    main_.hooks.selectFirstPatient = [this](int) { browser_->selectPatient(0); };
    main_.hooks.selectFirstStudy = [this](int) { browser_->selectStudy(0); };
    main_.hooks.emptyViewer = [this] {
        ClearViewer(main_.dicomViewer);
    };
    main_.hooks.reapplyViewerSettings = [this] {
        viewer_->SetUpViewer();
        viewer_->UpdateScrollRange();
    };
    connect(main_.lvPatients, &QTreeView::clicked, this, [this](const QModelIndex &i) { browser_->selectPatient(i.row()); });
    connect(main_.lvStudien, &QTreeView::clicked, this, [this](const QModelIndex &i) { browser_->selectStudy(i.row()); });
    connect(main_.lvSerien, &QTreeView::doubleClicked, this, [this](const QModelIndex &i) { browser_->loadSeries(i.row()); });
    connect(main_.lvImages, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { viewer_->SelectImageByUid(item->text(3)); });
    for (QTreeView *list : {main_.lvPatients, main_.lvStudien, main_.lvSerien})
        list->viewport()->installEventFilter(this);
}

bool Workstation::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto *m = static_cast<QMouseEvent *>(event);
        const QPoint pos = m->position().toPoint();
        if (watched == main_.lvPatients->viewport()) {
            QTreeView *list = main_.lvPatients;
            if (m->button() == Qt::RightButton) {
                // Beside the rows no patient is pointed at: the menu's patient entries find none.
                const QModelIndex under = list->indexAt(pos);
                list->setCurrentIndex(under);
                if (!under.isValid())
                    list->clearSelection();
                main_.PopUpPatient->popup(list->viewport()->mapToGlobal(pos));
            }
            browser_->selectPatient(list->currentIndex().row());
        } else {
            // Study and series menus act on a row: none beside the rows, and none when pending tasks are kept.
            for (auto [list, menu] : {std::pair{main_.lvStudien, main_.PopUpStudie}, std::pair{main_.lvSerien, main_.PopUpSerie}}) {
                if (watched != list->viewport() || m->button() != Qt::RightButton)
                    continue;
                const QModelIndex under = list->indexAt(pos);
                if (browser_->rowMenuAllowed(under.row())) {
                    list->setCurrentIndex(under);
                    menu->popup(list->viewport()->mapToGlobal(pos));
                }
            }
        }
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
    a.lvImages_ItemClick = [this](QTreeWidgetItem *item) { viewer_->SelectImageByUid(item->text(3)); };
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
    // Each pop-up command acts on the row the right button made current.
    auto row = [](QTreeView *list) { return list->currentIndex().row(); };
    on(Command::StudyImages, [this, row] { browser_->loadStudy(row(main_.lvStudien)); });
    on(Command::StudySeries, [this, row] { browser_->showSeries(row(main_.lvStudien)); });
    on(Command::SeriesImages, [this, row] { browser_->loadSeries(row(main_.lvSerien)); });
    on(Command::Worklist, [this] { openWorklist(); });
    on(Command::DeleteSeries, [this, row] { deletion_->deleteSeries(browser_->seriesTarget(row(main_.lvSerien))); });
    on(Command::DeleteStudy, [this, row] { deletion_->deleteStudy(browser_->studyTarget(row(main_.lvStudien))); });
    on(Command::DeletePatient, [this, row] { deletion_->deletePatient(browser_->patientTarget(row(main_.lvPatients))); });
    on(Command::DeleteAllPatients, [this] { deletion_->deleteAll(); });
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
    const ImageTarget target = level == 0   ? browser_->seriesTarget(main_.lvSerien->currentIndex().row())
                               : level == 1 ? browser_->studyTarget(main_.lvStudien->currentIndex().row())
                                            : browser_->patientTarget(main_.lvPatients->currentIndex().row());
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
    job_.studyRowRemoved = [this] { browser_->studyRemoved(job_.selection.studyKey); };
    job_.patientRowRemoved = [this] { browser_->patientRemoved(job_.selection.patientId); };
    ClearCurrentImage();
    JobMode = kind;
    EditForm form(&main_, &session_);
    form.onUnload = [] { ReleaseConnections(); };
    connect(&form, &EditForm::closedWithAssignment, this, [this] {
        doseList_->RefreshDosisList();
        deletion_->RemoveImageRowsByList(main_.lvImages->indexOfTopLevelItem(main_.lvImages->currentItem()));
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
        browser_->studies().clear();
        browser_->series().clear();
        browser_->images().clear();
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
        browser_->seriesRemoved(s.seriesKey);
        if (BrowserSelection now = session_.selection(); now.seriesKey == s.seriesKey) {
            now.seriesKey = 0;
            session_.setSelection(now);
        }
    }
    if (browser_->series().count() == 1)
        browser_->closeSeriesList();
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
        browser_->studies().clear();
        browser_->series().clear();
        browser_->images().clear();
        main_.lvDosis->clear();
        ClearViewer(main_.dicomViewer);
    }
    browser_->RefreshPatientList();
    main_.ClearInfoFields();
}
