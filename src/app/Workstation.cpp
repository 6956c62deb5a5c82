#include "store/Session.h"
#include "app/Workstation.h"

#include "acquisition/ImageViewer.h"
#include "acquisition/ProjectionAssignment.h"
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
#include <QComboBox>
#include <QKeyEvent>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QMenu>
#include <QMouseEvent>
#include <QTextEdit>
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
    main_.hooks.LoadModFilter = [this] { LoadModFilter(session_); };
    EditForm::RegisterJob(JobKind::SendSeries, [this](EditForm &f) { SerieSenden(f, job_); });
    EditForm::RegisterJob(JobKind::SendStudy, [this](EditForm &f) { StudieSenden(f, job_); });
    EditForm::RegisterJob(JobKind::SendPatient, [this](EditForm &f) { PatientSenden(f, job_); });
    EditForm::RegisterJob(JobKind::UpdateStudy, [this](EditForm &f) { UpdateTimer(f); });
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
    c.projectionBox = main_.exposureBoxes[5];
    c.lblCount = main_.lblCount;
    c.decodeNowButton = main_.decodeNowButton;
    c.newExaminationButton = main_.newExaminationButton;
    c.activateButton = main_.activateButton;
    c.stopButton = main_.stopButton;
    c.txtcInput = main_.txtcInput;
    c.decoderTokenList = main_.decoderTokenList;
    c.doseLineBox = main_.doseLineBox;
    c.SerTimer = main_.SerTimer;
    c.sendTimer = main_.sendTimer;
    c.showMessage = [this](const QString &text) { Prompts().information(&main_, text, DefaultPromptTitle); };
    doseList_ = std::make_unique<DoseList>(session_);
    capture_ = std::make_unique<ExposureCapture>(session_, c, *doseList_);
    attachDoseList();
    connect(&main_, &MainForm::examinationTypeChosen, &session_, &Session::setExaminationType);
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

void Workstation::attachDoseList()
{
    main_.lvDosis->setModel(doseList_->model());
    main_.lvDosis->setSelectionModel(doseList_->selectionModel());
    connect(main_.lvDosis, &QTreeView::clicked, this, [this](const QModelIndex &index) { doseList_->choose(index.row()); });
    main_.lvDosis->viewport()->installEventFilter(this);
    main_.cmbDosis->installEventFilter(this);
    connect(main_.cmbDosis, &QComboBox::activated, this, [this](int index) {
        if (index >= 0)
            doseList_->fillForPatient(main_.cmbDosis->itemText(index));
    });
    connect(main_.command(Command::DeleteExposure), &QAction::triggered, doseList_.get(), &DoseList::PopupDeleteDosis);
    connect(doseList_.get(), &DoseList::exposureChosen, this, [this](const QStringList &cells) {
        // The image rows the values go to are marked.
        QTreeWidget *images = main_.lvImages;
        for (int i = 0; i < images->topLevelItemCount(); ++i) {
            QTreeWidgetItem *row = images->topLevelItem(i);
            const bool marked = row->isSelected();
            for (int col = 0; col < images->columnCount(); ++col) {
                QFont f = row->font(col);
                f.setBold(marked);
                row->setFont(col, f);
                row->setForeground(col, marked ? QColor(255, 0, 0) : QColor(0, 0, 0));
            }
        }
        main_.exposureDateBox->setText(cells[DoseList::Date]);
        main_.exposureTimeBox->setText(cells[DoseList::Time]);
        for (int i = 0; i < 6; ++i)
            main_.exposureBoxes[i]->setText(cells[DoseList::KV + i]);
        main_.txtID->setText(cells[DoseList::Id]);
        // The merge's pairing selects exposures itself: that is no operator's
        // click, and making tasks from it would wipe the undone tasks before the send asks.
        if (tasks_ && !pairing_)
            tasks_->AddTask();
    });
    connect(doseList_.get(), &DoseList::exposureCleared, this, [this] {
        main_.exposureDateBox->clear();
        main_.exposureTimeBox->clear();
        for (QLineEdit *box : main_.exposureBoxes)
            box->clear();
    });
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
    v.PopUpViewer = main_.PopUpViewer;
    attachHeaderAndTasks();
    v.refreshHeader = [this] { header_->LoadHeaderData(); };
    v.deleteImage = [this] { deletion_->PopupDeleteImage(); };
    // The filter changed: the header view follows when it shows an image.
    main_.hooks.setActiveFilter = [this](const QMap<QString, QString> &tags) { session_.setActiveFilterTags(tags); };
    main_.hooks.visibleTagsChanged = [this] { emit session_.visibleTagsChanged(); };
    connect(&session_, &Session::activeFilterChanged, this, [this] {
        if (session_.currentImage())
            header_->LoadHeaderData();
    });
    connect(&session_, &Session::visibleTagsChanged, this, [this] {
        if (session_.currentImage() && header_->rowCount() > 0)
            header_->LoadHeaderData();
    });
    viewer_ = std::make_unique<ImageViewer>(session_, v);
    connect(viewer_.get(), &ImageViewer::statusText, &main_, &MainForm::setStatusPanel);
    connect(viewer_.get(), &ImageViewer::imageClicked, this, [this](const QString &uid) {
        for (int i = 0; i < main_.lvImages->topLevelItemCount(); ++i) {
            QTreeWidgetItem *item = main_.lvImages->topLevelItem(i);
            if (!item->text(3).isEmpty() && uid.contains(item->text(3))) {
                main_.lvImages->setCurrentItem(item);
                break;
            }
        }
    });
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
    br.setPendingTasks([this] { return tasks_->taskCount(); });
    connect(&br, &Browser::statusPanel, &main_, &MainForm::setStatusPanel);
    connect(&br, &Browser::taskStateClearRequested, this, [this] {
        tasks_->ClearEntries();
        header_->clear();
        main_.txtSelected->clear();
        main_.txtNeu->clear();
        main_.dicomViewer->refreshDisplay();
    });
    connect(&br, &Browser::taskListClearRequested, this, [this] {
        tasks_->ClearEntries();
        header_->clear();
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
            [this](int images) { main_.cmdSelected->setEnabled(doseList_->rowCount() == images); });

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
        header_->clear();
    });
    connect(deletion_.get(), &ListDeletion::mainWindowResetRequested, this, [this] {
        tasks_->ClearEntries();
        header_->clear();
        ClearViewer(session_, main_.dicomViewer);
    });
    connect(deletion_.get(), &ListDeletion::exposureListClearRequested, this, [this] { doseList_->clear(); });
    connect(deletion_.get(), &ListDeletion::studyReselectRequested, this,
            [this] { browser_->selectStudy(main_.lvStudien->currentIndex().row()); });
    deletion_->RegisterJobs();

    main_.hooks.RefreshPatientList = [this] { browser_->RefreshPatientList(); };
    connect(&main_, &MainForm::patientListPollDue, this, [this] { browser_->RefreshPatientList(Browser::Refresh::OnReceipts); });
    main_.hooks.selectFirstPatient = [this](int) { browser_->selectPatient(0); };
    main_.hooks.selectFirstStudy = [this](int) { browser_->selectStudy(0); };
    main_.hooks.emptyViewer = [this] {
        ClearViewer(session_, main_.dicomViewer);
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

void Workstation::attachHeaderAndTasks()
{
    header_ = std::make_unique<HeaderView>(session_, [this] { return session_.currentImage(); });
    QTreeView *headerList = main_.lvHeader;
    headerList->setModel(header_->model());
    headerList->header()->moveSection(HeaderView::ValueColumn, HeaderView::DescriptionColumn); // "Value" shown last
    headerList->header()->setSectionsClickable(true);
    headerList->header()->setSortIndicatorShown(true);
    connect(headerList->header(), &QHeaderView::sectionClicked, header_.get(), &HeaderView::lvHeader_ColumnClick);
    connect(header_.get(), &HeaderView::sorted, headerList->header(), &QHeaderView::setSortIndicator);

    TaskSources t;
    t.currentImageIndex = [this] { return session_.currentImageIndex(); };
    t.viewerImageCount = [this] { return main_.dicomViewer->imageCount(); };
    t.loadedLevel = [this] { return LevelName(session_.loadedLevel()); };
    t.exposure = [this] {
        const auto &b = main_.exposureBoxes;
        return ExposureValues{b[0]->text(), b[1]->text(), b[2]->text(), b[3]->text(), b[4]->text(), b[5]->text()};
    };
    t.promptParent = &main_;
    tasks_ = std::make_unique<TaskList>(session_, *header_, t);
    main_.lvTasks->setModel(tasks_->model());
    connect(headerList, &QTreeView::clicked, this, [this](const QModelIndex &index) { tasks_->selectHeaderRow(index.row()); });
    // The entry's widgets and the task list's entry follow each other.
    connect(main_.cboTask, &QComboBox::activated, tasks_.get(), &TaskList::setKind);
    connect(main_.cboLevel, &QComboBox::currentIndexChanged, tasks_.get(), &TaskList::setLevel);
    connect(main_.txtSelected, &QLineEdit::textChanged, tasks_.get(), &TaskList::setSelected);
    connect(main_.txtNeu, &QLineEdit::textChanged, tasks_.get(), &TaskList::setValue);
    connect(tasks_.get(), &TaskList::entryChanged, this, [this] {
        const TaskEntry &e = tasks_->entry();
        main_.txtSelected->setText(e.selected);
        main_.txtNeu->setText(e.value);
        main_.txtNeu->setEnabled(e.valueEditable);
        main_.cboTask->setCurrentIndex(e.kind);
        main_.cboTask->setEnabled(e.kindEditable);
        main_.cboTarget->clear();
        main_.cboTarget->addItems(e.targets);
    });
    connect(tasks_.get(), &TaskList::ruleSetsChanged, this, [this](const QStringList &names) {
        main_.PopUpRules->clear();
        for (const QString &name : names)
            main_.PopUpRules->addAction(name, tasks_.get(), [this, name] { tasks_->ApplyRuleSet(name); })->setObjectName(QStringLiteral("PopUpRules"));
        if (names.isEmpty())
            main_.PopUpRules->addAction(QStringLiteral("No entries"))->setEnabled(false);
    });
    connect(tasks_.get(), &TaskList::applyTasksRequested, main_.command(Command::ApplyTasks), &QAction::trigger);
    connect(main_.cmdTask[0], &QPushButton::clicked, tasks_.get(), &TaskList::AddTask);
    connect(main_.cmdTask[1], &QPushButton::clicked, this, [this] {
        const QModelIndex current = main_.lvTasks->currentIndex();
        const bool selected = current.isValid() && main_.lvTasks->selectionModel()->isSelected(current.siblingAtColumn(0));
        tasks_->DeleteTask(selected ? current.row() : -1);
        main_.lvTasks->clearSelection();
    });
    main_.hooks.PrepareTaskList = [this] {
        const QSignalBlocker filling(main_.cboLevel); // the entry keeps its level
        main_.cboLevel->clear();
        main_.cboLevel->addItems(TaskLevels());
        main_.cboLevel->setCurrentIndex(tasks_->entry().level);
        main_.cboTask->clear();
        main_.cboTask->addItems(TaskKinds());
        main_.cboTask->setCurrentIndex(tasks_->entry().kind);
        tasks_->RebuildRuleMenu();
    };
    main_.hooks.rebuildRuleSets = [this] { tasks_->RebuildRuleMenu(); };
}

bool Workstation::eventFilter(QObject *watched, QEvent *event)
{
    // The presses that open the patient filter's list refill it first.
    if (watched == main_.cmbDosis && main_.cmbDosis->isEnabled()) {
        bool opens = event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;
        if (event->type() == QEvent::KeyPress) {
            const auto *k = static_cast<QKeyEvent *>(event);
            const bool alt = k->modifiers() & Qt::AltModifier;
            opens = k->key() == Qt::Key_F4 || (alt && (k->key() == Qt::Key_Down || k->key() == Qt::Key_Up))
                || (k->key() == Qt::Key_Space && !main_.cmbDosis->isEditable());
        }
        if (opens) {
            main_.cmbDosis->clear();
            main_.cmbDosis->addItems(doseList_->patientNames());
        }
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto *m = static_cast<QMouseEvent *>(event);
        const QPoint pos = m->position().toPoint();
        // The right button selects the dose-list row under the pointer and opens its menu.
        if (watched == main_.lvDosis->viewport() && m->button() == Qt::RightButton && doseList_->rowCount() > 0) {
            if (const QModelIndex at = main_.lvDosis->indexAt(pos); at.isValid())
                doseList_->select(at.row());
            main_.Popup_Dosis->popup(main_.lvDosis->viewport()->mapToGlobal(pos));
        }
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
    a.viewer = viewer_.get();
    a.imageRowUid = [this](int row) -> std::optional<QString> {
        const QTreeWidgetItem *item = main_.lvImages->topLevelItem(row);
        return item ? std::optional<QString>(item->text(3)) : std::nullopt;
    };
    a.exposureCount = [this] { return doseList_->rowCount(); };
    a.chooseExposure = [this](int row) {
        pairing_ = true;
        doseList_->select(row);
        doseList_->choose(row);
        pairing_ = false;
    };
    a.rewriteChosenProjection = [this](const QString &caption) { doseList_->rewriteCurrentProjection(caption); };
    a.redecode = [this] {
        if (!main_.txtcInput->toPlainText().isEmpty())
            capture_->dbFill();
    };
    a.defaultPartner = [this] { return QStringList{partners_.partner.aet, partners_.partner.ip, partners_.partner.port}; };
    assignment_ = std::make_unique<ProjectionAssignment>(session_, a);
    connect(assignment_.get(), &ProjectionAssignment::imageChosen, this, [this](int row) {
        if (QTreeWidgetItem *item = main_.lvImages->topLevelItem(row)) {
            main_.lvImages->setCurrentItem(item);
            viewer_->SelectImageByUid(item->text(3));
        }
    });
    connect(assignment_.get(), &ProjectionAssignment::sendRequested, this,
            [this](const BrowserSelection &p, const QStringList &, DoseAssignment assignment) {
                SendConnections connections;
                if (connections.open(sendTarget(), &main_))
                    SendPatient(p, std::move(connections), assignment);
            });
    main_.hooks.cmdAll_Click = [this] { assignment_->cmdAll_Click(); };
    main_.hooks.cmdSelected_Click = [this] { assignment_->cmdSelected_Click(); };
    for (QPushButton *button : main_.cmdProjection)
        connect(button, &QPushButton::clicked, this, [this, button] { assignment_->cmdProjection_Click(button->text()); });
    // At creation, before the load: the captions the unit type names.
    const QStringList captions = ProjectionAssignment::ProjectionCaptions();
    for (int i = 0; i < captions.size(); ++i) {
        main_.cmdProjection[i]->setText(captions[i]);
        main_.cmdProjection[i]->setEnabled(!captions[i].isEmpty());
    }
    main_.applyResizeRules();
}

void Workstation::attachPartners()
{
    // At load, and when the options dialog changed the partners: the send
    // menus and the partners in use follow at once.
    connect(&main_, &MainForm::partnersChanged, &session_, &Session::partnersChanged);
    connect(&session_, &Session::partnersChanged, this, [this] {
        UpdateSendToEntries(main_.Se_SendTo, main_.St_SendTo, main_.P_SendTo, partners_,
                            [this](int level, const QString &tag) { sendMenuClick(level, tag); });
    });
}

void Workstation::AttachOptionForm(OptionForm &form)
{
    auto *partners = new StoragePartnerList(form.lvSCP);
    form.UpdateSCP = [partners] { partners->UpdateSCP(); };
    connect(partners, &StoragePartnerList::partnersChanged, &form, &OptionForm::partnersChanged);
}

SendTarget Workstation::sendTarget() const { return {partners_, session_.examinationType() == 1, Settings.IR_AET}; }

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
    on(Command::ExportJpeg, [this] { exportImages(ExportKind::Jpeg); });
    on(Command::ExportDicom, [this] { exportImages(ExportKind::Dicom); });
    on(Command::ClearTaskList, [this] { tasks_->ClearEntries(); });
    on(Command::SaveTaskList, [this] { tasks_->SaveAs(); });
    on(Command::EditDictionary, [this] {
        DatabaseForm form(&main_);
        form.UpdateDictionary();
        form.exec();
    });
    on(Command::DoseCalibration, [this] {
        DoseCalibrationForm form(Settings.XrayComm, *windowPrompter_, &main_);
        form.exec();
        doseList_->lvDosis_Fill(); // marks follow a changed reference set
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
    // The job takes the files chosen now.
    if (directory)
        EditForm::RegisterJob(kind, [dicomdir = chosen.first()](EditForm &f) { ImportDirTimer(f, dicomdir); });
    else
        EditForm::RegisterJob(kind, [files = ImportFilesFrom(chosen)](EditForm &f) { ImportTimer(f, files); });
    QApplication::setOverrideCursor(Qt::WaitCursor);
    {
        EditForm form(session_, kind, &main_);
        form.Form_Load();
        runProgressDialog(form);
    }
    QApplication::restoreOverrideCursor();
}

void Workstation::exportImages(ExportKind kind)
{
    const QList<ToolkitImagePtr> images = main_.dicomViewer->images();
    if (images.isEmpty()) {
        Prompts().information(&main_, QStringLiteral("No images loaded into viewport."), DefaultPromptTitle);
        return;
    }
    ExportForm form(kind, images, &main_);
    form.Form_Load();
    runExportDialog(form);
}

void Workstation::openWorklist()
{
    WorklistForm form(&main_);
    // Only the label and the button colour keep the chosen entry.
    form.patientChosen = [this](const QString &name, const QDate &birthDate) {
        main_.lblCount->setText(name);
        capture_->MarkPatientChosen(birthDate);
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
    // The settings record the partner chosen last; the send does not read it.
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
    SendConnections connections;
    if (!connections.open(sendTarget(), &main_))
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
    if (!Prompts().question(&main_, QStringLiteral("Undone tasks in list!\r\nContinue?"), DefaultPromptTitle))
        return false; // the launcher's associations end with it
    tasks_->ClearEntries();
    return true;
}

bool Workstation::runSendJob(JobKind kind, const SendSelection &s, SendConnections connections, DoseAssignment assignment)
{
    job_ = SendJob();
    job_.selection = s;
    job_.connections = std::move(connections);
    job_.assignment = assignment;
    // The rows of what the job removed: a patient send goes through its studies.
    job_.studyRowRemoved = [this] { browser_->studyRemoved(job_.selection.studyKey); };
    job_.patientRowRemoved = [this] { browser_->patientRemoved(job_.selection.patientId); };
    ClearCurrentImage(session_);
    EditForm form(session_, kind, &main_);
    form.onUnload = [this] { job_.connections.release(); };
    connect(&form, &EditForm::assignListedExposures, this, [this] { doseList_->RefreshDosisList(job_.assignment); });
    connect(&form, &EditForm::closedWithOk, this, [this] {
        if (job_.assignment == DoseAssignment::None)
            return;
        doseList_->RefreshDosisList(job_.assignment);
        deletion_->RemoveImageRowsByList(job_.assignment, main_.lvImages->indexOfTopLevelItem(main_.lvImages->currentItem()));
    });
    form.Form_Load();
    runProgressDialog(form);
    return form.entriesRemoved();
}

bool Workstation::runDeletionJob(JobKind kind)
{
    ClearCurrentImage(session_);
    EditForm form(session_, kind, &main_);
    form.Form_Load();
    runProgressDialog(form);
    return form.entriesRemoved();
}

void Workstation::mnuApplyTasks()
{
    if (doseList_->rowCount() == 0 || main_.exposureDateBox->text().isEmpty())
        return;
    // The job's input as the operator sees it now: the tasks, the loaded
    // images and the selected patient.
    pendingUpdate_ = {.tasks = tasks_->tasks(), .images = main_.dicomViewer->images(), .loadedLevel = LevelName(session_.loadedLevel()),
                      .patientKey = session_.selection().patientKey, .viewerWindow = {}};
    ClearCurrentImage(session_);
    headerJobRefused_ = false;
    bool removed = false;
    {
        EditForm form(session_, JobKind::UpdateStudy, &main_);
        form.Form_Load();
        runProgressDialog(form);
        removed = form.entriesRemoved();
    }
    pendingUpdate_ = {};
    if (headerJobRefused_)
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
    ClearViewer(session_, main_.dicomViewer);
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
    const HeaderUpdateResult result = job.run();
    form.setEntriesRemoved(result.ok());
    headerJobRefused_ = result.refused;
    form.enableOK();
}

void Workstation::SendSeries(const SendSelection &s, SendConnections connections)
{
    if (!undoneTasksAllowSend())
        return;
    ClearViewer(session_, main_.dicomViewer);
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

void Workstation::SendPatient(const SendSelection &s, SendConnections connections, DoseAssignment assignment)
{
    if (!undoneTasksAllowSend())
        return;
    if (runSendJob(JobKind::SendPatient, s, std::move(connections), assignment)) {
        browser_->studies().clear();
        browser_->series().clear();
        browser_->images().clear();
        doseList_->clear();
        ClearViewer(session_, main_.dicomViewer);
    }
    browser_->RefreshPatientList();
    main_.ClearInfoFields();
}
