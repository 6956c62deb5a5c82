#include "app/MainForm.h"
#include "store/Session.h"

#include "core/ApplicationFolder.h"
#include "app/Companions.h"
#include "core/DisplayText.h"
#include "core/ErrorLog.h"
#include "core/LogTrouble.h"
#include "app/OptionForm.h"
#include "core/Settings.h"
#include "acquisition/ImageViewer.h"
#include "acquisition/ProjectionAssignment.h"
#include "browse/Browser.h"
#include "exposure/DoseList.h"
#include "exposure/ExposureCapture.h"
#include "header/HeaderView.h"
#include "header/TaskList.h"
#include "network/PartnerForms.h"
#include "app/StartupChecks.h"
#include "ui/Prompts.h"
#include "ui/UiColors.h"
#include "ui/ListColumns.h"
#include "ui/Widgets.h"
#include "store/DatabasePaths.h"
#include "store/SchemaVersion.h"
#include "toolkit/Result.h"
#include "acquisition/ViewerPanel.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QSplitter>
#include <QPainter>
#include <QPointer>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

#include <memory>

namespace {

constexpr qint32 kListColour = 0x00C0FFFF;
constexpr qint32 kTaskListColour = 0x00E0E0E0;

void reportStyle(QTreeView *list, const QString &name, qint32 bgr)
{
    list->setObjectName(name);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    if (bgr >= 0) {
        QPalette p = list->palette();
        p.setColor(QPalette::Base, FromBgr(bgr));
        list->setPalette(p);
    }
    list->header()->setSectionResizeMode(QHeaderView::Interactive);
}

// A report-style list over a presenter's model: its captions come from the model.
QTreeView *reportView(QWidget *parent, const QString &name, qint32 bgr)
{
    auto *list = new QTreeView(parent);
    reportStyle(list, name, bgr);
    list->setSortingEnabled(false);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    return list;
}

bool hasRows(const QTreeView *list) { return list->model() && list->model()->rowCount() > 0; }

// The toolbar's background: a light weave under the red band of its buttons.
QPixmap toolbarPattern()
{
    QPixmap tile(8, 8);
    tile.fill(QColor(246, 214, 214));
    QPainter p(&tile);
    p.setPen(QColor(226, 168, 168));
    p.drawLine(0, 7, 7, 0);
    p.drawPoint(0, 0);
    return tile;
}

} // namespace

MainForm::MainForm(Prompter &prompter, QWidget *parent) : QMainWindow(parent), prompter_(prompter)
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("OrvanaMammo Version ") + VersionText());
    auto *central = new QWidget(this);
    setCentralWidget(central);
    auto *centralLayout = new QHBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);

    // The panels sit in splitters the operator drags; what they are given is
    // kept per station. The patient list is a band across the top of the
    // two columns, below it the study, series and image lists beside the
    // capture, the assignment, the header view and the task list.
    auto splitter = [](Qt::Orientation o, const QString &name, QWidget *parent) {
        auto *s = new QSplitter(o, parent);
        s->setObjectName(name);
        s->setChildrenCollapsible(false);
        return s;
    };
    mainSplitter_ = splitter(Qt::Horizontal, QStringLiteral("mainSplitter"), central);
    mainSplitter_->setHandleWidth(4);
    centralLayout->addWidget(mainSplitter_);
    leftPanel_ = new QWidget(mainSplitter_);
    auto *leftLayout = new QVBoxLayout(leftPanel_);
    leftLayout->setContentsMargins(4, 4, 4, 4);
    leftSplitter_ = splitter(Qt::Vertical, QStringLiteral("leftSplitter"), leftPanel_);
    leftLayout->addWidget(leftSplitter_);
    viewerHost_ = new QWidget(mainSplitter_);
    viewerHost_->setObjectName(QStringLiteral("viewerHost"));
    mainSplitter_->addWidget(leftPanel_);
    mainSplitter_->addWidget(viewerHost_);
    mainSplitter_->setStretchFactor(0, 0);
    mainSplitter_->setStretchFactor(1, 1);

    lowerSplitter_ = splitter(Qt::Horizontal, QStringLiteral("lowerSplitter"), leftSplitter_);
    browserSplitter_ = splitter(Qt::Vertical, QStringLiteral("browserSplitter"), lowerSplitter_);
    workSplitter_ = splitter(Qt::Vertical, QStringLiteral("workSplitter"), lowerSplitter_);
    buildBrowser(leftSplitter_, browserSplitter_);
    leftSplitter_->addWidget(lowerSplitter_);
    leftSplitter_->setStretchFactor(0, 0);
    leftSplitter_->setStretchFactor(1, 1);
    lowerSplitter_->addWidget(browserSplitter_);
    lowerSplitter_->addWidget(workSplitter_);
    lowerSplitter_->setStretchFactor(0, 0);
    lowerSplitter_->setStretchFactor(1, 1);
    auto *capture = new QWidget(workSplitter_);
    capture->setObjectName(QStringLiteral("capturePanel"));
    auto *assignment = new QWidget(workSplitter_);
    assignment->setObjectName(QStringLiteral("assignmentPanel"));
    workSplitter_->addWidget(capture);
    workSplitter_->addWidget(assignment);
    buildCapture(capture);
    buildAssignment(assignment);
    buildHeaderAndTasks(workSplitter_);
    for (int i = 0; i < 4; ++i)
        workSplitter_->setStretchFactor(i, i == 2 ? 1 : 0);

    viewerPanel_ = new ViewerPanel(viewerHost_);

    buildMenus();
    buildToolbar();
    // The commands the window carries out itself; the others are connected by
    // the subsystems.
    connect(command(Command::Exit), &QAction::triggered, this, &MainForm::mnuDateiBeenden_Click);
    connect(command(Command::Options), &QAction::triggered, this, &MainForm::mnuAnsichtEinstellungen_Click);
    connect(command(Command::ErrorLog), &QAction::triggered, this, &MainForm::showErrorLog);
    connect(command(Command::DebugLog), &QAction::triggered, this, &MainForm::showDebugLog);
    connect(command(Command::About), &QAction::triggered, this, &MainForm::showAbout);

    statusLine = new QStatusBar(this);
    statusLine->setObjectName(QStringLiteral("StatusBar1"));
    setStatusBar(statusLine);
    const std::array<int, 5> stretch{3, 3, 2, 2, 3};
    for (int i = 0; i < 5; ++i) {
        statusPanels[i] = new QLabel(statusLine);
        statusPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i + 1));
        statusPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        statusLine->addPermanentWidget(statusPanels[i], stretch[i]);
    }
    pbLoad = new QProgressBar(statusLine);
    pbLoad->setObjectName(QStringLiteral("pbLoad"));
    pbLoad->setMaximumWidth(160);
    pbLoad->setValue(0);
    statusLine->addPermanentWidget(pbLoad, 1);
    // The link indicators stand at the toolbar's right end: beside the five
    // panels the status line had no room for them on the smaller screens.
    auto *spacer = new QWidget(mainToolBar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    mainToolBar->addWidget(spacer);
    for (QLabel **link : {&receiverLink, &serialLink}) {
        *link = new QLabel(mainToolBar);
        (*link)->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        (*link)->setAutoFillBackground(true);
        (*link)->setMargin(2);
        mainToolBar->addWidget(*link);
    }
    receiverLink->setObjectName(QStringLiteral("receiverLink"));
    serialLink->setObjectName(QStringLiteral("serialLink"));
    linkTimer = new QTimer(this);
    linkTimer->setObjectName(QStringLiteral("linkTimer"));
    connect(linkTimer, &QTimer::timeout, this, &MainForm::linksCheckDue);

    UpdateTimer = new QTimer(this);
    UpdateTimer->setObjectName(QStringLiteral("UpdateTimer"));
    UpdateTimer->setInterval(PollIntervalMs);
    connect(UpdateTimer, &QTimer::timeout, this, &MainForm::patientListPollDue);
    UpdateTimer->start();

    applyClientLayout();
    // The debug layout as activation will show it, so that the panels' least
    // sizes are the ones the operator meets.
    txtcInput->setVisible(Settings.Debug == 1);
    decoderTokenList->setVisible(Settings.Debug == 1);
    lvDosis->setVisible(Settings.Debug != 1);
    resize(1280, 960);
    setMinimumSize(1000, 700);
    viewerHost_->installEventFilter(this);
    restoreLayout();
    layoutSave_ = new QTimer(this);
    layoutSave_->setSingleShot(true);
    layoutSave_->setInterval(400);
    connect(layoutSave_, &QTimer::timeout, this, &MainForm::saveLayout);
    for (QSplitter *s : splitters())
        connect(s, &QSplitter::splitterMoved, layoutSave_, qOverload<>(&QTimer::start));
    for (QTreeView *list : arrangedLists())
        connect(ListColumns::of(list), &ListColumns::changed, layoutSave_, qOverload<>(&QTimer::start));

    // A log that cannot be written is named once in the warnings panel, also
    // when that happened before this window (the options dialog) or on
    // another thread.
    SetLogTroubleReporter([self = QPointer<MainForm>(this)](const QString &text) {
        QMetaObject::invokeMethod(qApp, [self, text] {
            if (!self)
                return;
            const QString shown = self->statusPanel(5);
            self->setStatusPanel(5, shown.isEmpty() ? text : shown + QLatin1Char(' ') + text);
        }, Qt::QueuedConnection);
    });
}

MainForm::~MainForm()
{
    if (layoutSave_->isActive())
        saveLayout();
    SetLogTroubleReporter({});
}

std::array<QSplitter *, 5> MainForm::splitters() const
{
    return {mainSplitter_, leftSplitter_, lowerSplitter_, browserSplitter_, workSplitter_};
}

std::array<QTreeView *, 7> MainForm::arrangedLists() const
{
    return {lvPatients, lvStudien, lvSerien, lvImages, lvDosis, lvHeader, lvTasks};
}

namespace {

QString layoutKey(const QObject *o) { return QStringLiteral("Layout\\") + o->objectName(); }

// "716,560": a splitter's sizes as the settings keep them; empty when the text holds none.
QList<int> sizesOf(const QString &text, qsizetype count)
{
    QList<int> sizes;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int size = part.trimmed().toInt(&ok);
        if (!ok || size < 0)
            return {};
        sizes << size;
    }
    return sizes.size() == count ? sizes : QList<int>();
}

} // namespace

void MainForm::restoreLayout()
{
    // At first: the viewer where it always was, the patient band eight rows
    // high, the dose list eight rows, the task list as its entries need, the
    // header view what is left.
    const int bandChrome = frmPatients->sizeHint().height() - lvPatients->sizeHint().height();
    const int band = bandChrome + ListHeightForRows(lvPatients, 8);
    QWidget *capture = workSplitter_->widget(0);
    const int doseRow = std::max(lvDosis->sizeHint().height(), txtcInput->sizeHint().height());
    const int captureHeight = capture->sizeHint().height() - doseRow + ListHeightForRows(lvDosis, 8);
    const int assignmentHeight = workSplitter_->widget(1)->sizeHint().height();
    const int tasksHeight = frmTasks->sizeHint().height() - lvTasks->sizeHint().height() + ListHeightForRows(lvTasks, 3);
    const std::array<QList<int>, 5> firstSizes{
        QList<int>{ViewerLeft - 4, 1280 - ViewerLeft},
        QList<int>{band, 600},
        QList<int>{BrowserWidth, ViewerLeft - 8 - 4 - BrowserWidth},
        QList<int>{200, 100, 200},
        QList<int>{captureHeight, assignmentHeight, 100, tasksHeight},
    };
    const auto all = splitters();
    for (size_t i = 0; i < all.size(); ++i) {
        const QList<int> kept = sizesOf(ReadSetting(layoutKey(all[i]), QString()), all[i]->count());
        all[i]->setSizes(kept.isEmpty() ? firstSizes[i] : kept);
    }
    for (QTreeView *list : arrangedLists())
        if (auto *columns = const_cast<ListColumns *>(ListColumns::of(list)))
            columns->restore(ReadSetting(layoutKey(list), QString()));
}

void MainForm::saveLayout()
{
    layoutSave_->stop();
    const QString root = QString::fromLatin1(SettingsRoot);
    for (QSplitter *s : splitters()) {
        QStringList sizes;
        for (int size : s->sizes())
            sizes << QString::number(size);
        WriteSetting(root + layoutKey(s), sizes.join(QLatin1Char(',')));
    }
    for (QTreeView *list : arrangedLists())
        if (const ListColumns *columns = ListColumns::of(list))
            WriteSetting(root + layoutKey(list), columns->state());
}

void MainForm::closeEvent(QCloseEvent *event)
{
    if (layoutSave_->isActive())
        saveLayout();
    QMainWindow::closeEvent(event);
}

void MainForm::buildBrowser(QSplitter *band, QSplitter *below)
{
    frmPatients = new QGroupBox(QStringLiteral("Patient list"), band);
    frmPatients->setObjectName(QStringLiteral("frmPatients"));
    lvPatients = reportView(frmPatients, QStringLiteral("lvPatients"), kListColour);
    (new QVBoxLayout(frmPatients))->addWidget(lvPatients);
    band->addWidget(frmPatients);
    frmStudien = new QGroupBox(QStringLiteral("Study list"), below);
    frmStudien->setObjectName(QStringLiteral("frmStudien"));
    lvStudien = reportView(frmStudien, QStringLiteral("lvStudien"), kListColour);
    (new QVBoxLayout(frmStudien))->addWidget(lvStudien);
    frmSerien = new QGroupBox(QStringLiteral("Series list"), below);
    frmSerien->setObjectName(QStringLiteral("frmSerien"));
    lvSerien = reportView(frmSerien, QStringLiteral("lvSerien"), kListColour);
    (new QVBoxLayout(frmSerien))->addWidget(lvSerien);
    lvImages = reportView(below, QStringLiteral("lvImages"), kListColour);
    below->addWidget(frmStudien);
    below->addWidget(frmSerien);
    below->addWidget(lvImages);
    for (QTreeView *list : {lvPatients, lvSerien, lvImages})
        new ListColumns(list);
    // The study's number in the database says nothing to the operator; hidden
    // at first, so that its date and time are whole in the narrow column.
    new ListColumns(lvStudien, {0});
}

void MainForm::buildCapture(QWidget *parent)
{
    auto *l = new QGridLayout(parent);
    l->setContentsMargins(0, 0, 0, 0);
    newExaminationButton = NamedButton(parent, QStringLiteral("Command2"), QStringLiteral("New Examination"));
    activateButton = NamedButton(parent, QStringLiteral("Command3"), QStringLiteral("Activate"));
    stopButton = NamedButton(parent, QStringLiteral("Command4"), QStringLiteral("S T O P"));
    decodeNowButton = NamedButton(parent, QStringLiteral("Command1"), QStringLiteral("Decode message"));
    l->addWidget(newExaminationButton, 0, 0);
    l->addWidget(activateButton, 0, 1);
    l->addWidget(stopButton, 0, 2);
    const QStringList lorad{QStringLiteral("Refresh Patlist  (F2)"), QStringLiteral("Refresh Studylist (F3)"),
                            QStringLiteral("Refresh Dosislist (F4)")};
    for (int i = 0; i < 3; ++i) {
        cmdLorad[i] = NamedButton(parent, QStringLiteral("cmdLorad%1").arg(i), lorad[i]);
        cmdLorad[i]->installEventFilter(this);
        connect(cmdLorad[i], &QPushButton::clicked, this, [this, i] { cmdLorad_Click(i); });
        l->addWidget(cmdLorad[i], 1, i);
    }
    cmbDosis = new QComboBox(parent);
    cmbDosis->setObjectName(QStringLiteral("cmbDosis"));
    cmbDosis->setToolTip(QStringLiteral("Lists the exposures journalled for the patient chosen here"));
    cmbDosis->setPlaceholderText(QStringLiteral("Patient of the exposures"));
    auto *exposuresOf = new QHBoxLayout;
    auto *exposuresOfLabel = new QLabel(QStringLiteral("Exposures of:"), parent);
    exposuresOfLabel->setObjectName(QStringLiteral("lblExposuresOf"));
    exposuresOfLabel->setBuddy(cmbDosis);
    exposuresOf->addWidget(exposuresOfLabel);
    exposuresOf->addWidget(cmbDosis, 1);
    l->addLayout(exposuresOf, 3, 0, 1, 2);
    l->addWidget(decodeNowButton, 3, 2);
    nextPatientLabel = new QLabel(parent);
    nextPatientLabel->setObjectName(QStringLiteral("lblNextPatient"));
    nextPatientLabel->setWordWrap(true);
    l->addWidget(nextPatientLabel, 4, 0, 1, 3);
    // Report style over the dose list's model, which brings the column captions.
    lvDosis = new QTreeView(parent);
    lvDosis->setObjectName(QStringLiteral("lvDosis"));
    lvDosis->setRootIsDecorated(false);
    lvDosis->setUniformRowHeights(true);
    lvDosis->setAllColumnsShowFocus(true);
    lvDosis->setSortingEnabled(false);
    lvDosis->setEditTriggers(QAbstractItemView::NoEditTriggers);
    {
        QPalette p = lvDosis->palette();
        p.setColor(QPalette::Base, FromBgr(kListColour));
        lvDosis->setPalette(p);
    }
    lvDosis->header()->setSectionResizeMode(QHeaderView::Interactive);
    // The journal key and the date (the list is the day's) are hidden at
    // first: with them Status and expTime lay beyond the list's edge. The
    // chosen exposure's boxes show both; the header's menu brings them back.
    new ListColumns(lvDosis, {DoseList::Id, DoseList::Date});
    l->addWidget(lvDosis, 2, 0, 1, 3);
    // The raw serial input, shown instead of the dose list in debug mode.
    txtcInput = new QTextEdit(parent);
    txtcInput->setObjectName(QStringLiteral("txtcInput"));
    txtcInput->setAcceptRichText(false);
    decoderTokenList = new QListWidget(parent);
    decoderTokenList->setObjectName(QStringLiteral("List1"));
    auto *debugRow = new QHBoxLayout;
    debugRow->addWidget(txtcInput, 2);
    debugRow->addWidget(decoderTokenList, 1);
    l->addLayout(debugRow, 2, 0, 1, 3);
    spareCaptureBox = NamedLineEdit(parent, QStringLiteral("Text5"));
    spareCaptureBox->setVisible(false);
    l->setRowStretch(2, 1);
}

void MainForm::buildAssignment(QWidget *parent)
{
    auto *l = new QGridLayout(parent);
    l->setContentsMargins(0, 0, 0, 0);
    for (int i = 0; i < 8; ++i) {
        cmdProjection[i] = NamedButton(parent, QStringLiteral("cmdProjection%1").arg(i), QString());
        l->addWidget(cmdProjection[i], i / 4, i % 4);
    }
    cmdAll = NamedButton(parent, QStringLiteral("cmdAll"), QStringLiteral("Merge Image/s         (F1)"));
    cmdAll->installEventFilter(this);
    connect(cmdAll, &QPushButton::clicked, this, &MainForm::mergeRequested);
    cmdSelected = NamedButton(parent, QStringLiteral("cmdSelected"), QStringLiteral("Manually"));
    connect(cmdSelected, &QPushButton::clicked, this, &MainForm::manualMergeRequested);
    lblCount = new QLabel(parent);
    lblCount->setObjectName(QStringLiteral("lblCount"));
    l->addWidget(cmdAll, 2, 0, 1, 2);
    l->addWidget(cmdSelected, 2, 2);
    l->addWidget(lblCount, 2, 3);
    // One line, its caption beside the options: as a titled box it took the
    // header view's fifth row.
    examinationTypeFrame = new QFrame(parent);
    examinationTypeFrame->setObjectName(QStringLiteral("Frame3"));
    auto *fl = new QHBoxLayout(examinationTypeFrame);
    fl->setContentsMargins(0, 0, 0, 0);
    auto *typeCaption = new QLabel(QStringLiteral("Examination type:"), examinationTypeFrame);
    typeCaption->setObjectName(QStringLiteral("lblExaminationType"));
    fl->addWidget(typeCaption);
    const QStringList types{QStringLiteral("Curative"), QStringLiteral("Screening")};
    for (int i = 0; i < 2; ++i) {
        examinationTypeOptions[i] = new QRadioButton(types[i], examinationTypeFrame);
        examinationTypeOptions[i]->setObjectName(QStringLiteral("Option1_%1").arg(i));
        examinationTypeOptions[i]->setAutoFillBackground(true);
        connect(examinationTypeOptions[i], &QRadioButton::clicked, this, [this, i] { examinationTypeOptions_Click(i); });
        fl->addWidget(examinationTypeOptions[i]);
    }
    fl->addStretch();
    l->addWidget(examinationTypeFrame, 3, 0, 1, 4);
    // Text boxes of the exposure last clicked, in two rows: one row of nine
    // cut the date and the time.
    auto *detail = new QGridLayout;
    exposureDateBox = NamedLineEdit(parent, QStringLiteral("Text1"));
    exposureTimeBox = NamedLineEdit(parent, QStringLiteral("Text2"));
    txtID = NamedLineEdit(parent, QStringLiteral("txtID"));
    for (int i = 0; i < 6; ++i)
        exposureBoxes[i] = NamedLineEdit(parent, QStringLiteral("Text3_%1").arg(i));
    const QStringList hints{QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time")};
    const QStringList valueHints{QStringLiteral("kV"), QStringLiteral("mAs"), QStringLiteral("Thickness"),
                                 QStringLiteral("Press"), QStringLiteral("mGy"), QStringLiteral("Other")};
    const std::array<QLineEdit *, 3> first{txtID, exposureDateBox, exposureTimeBox};
    for (int i = 0; i < 3; ++i) {
        first[i]->setReadOnly(true);
        first[i]->setPlaceholderText(hints[i]);
        first[i]->setToolTip(hints[i]);
    }
    for (int i = 0; i < 6; ++i) {
        exposureBoxes[i]->setReadOnly(true);
        exposureBoxes[i]->setPlaceholderText(valueHints[i]);
        exposureBoxes[i]->setToolTip(valueHints[i]);
    }
    // The widest date of the locale (a two-digit day in each month) and time.
    QStringList dates;
    for (int month = 1; month <= 12; ++month)
        dates << QLocale().toString(QDate(2026, month, 28), QLocale::ShortFormat);
    FitLineEdit(exposureDateBox, dates);
    FitLineEdit(exposureTimeBox, {QStringLiteral("23:59:59")});
    FitLineEdit(txtID, {QStringLiteral("999999")});
    for (QLineEdit *box : exposureBoxes)
        FitLineEdit(box, {QStringLiteral("888.88")});
    // ID, date, time, kV and mAs above; thickness, pressure, dose and the
    // projection text below, the last taking what is left.
    const std::array<QLineEdit *, 5> top{txtID, exposureDateBox, exposureTimeBox, exposureBoxes[0], exposureBoxes[1]};
    for (int i = 0; i < 5; ++i)
        detail->addWidget(top[i], 0, i);
    for (int i = 2; i < 5; ++i)
        detail->addWidget(exposureBoxes[i], 1, i - 2);
    detail->addWidget(exposureBoxes[5], 1, 3, 1, 2);
    l->addLayout(detail, 4, 0, 1, 4);
}

void MainForm::buildHeaderAndTasks(QSplitter *parent)
{
    lvHeader = reportView(parent, QStringLiteral("lvHeader"), -1);
    parent->addWidget(lvHeader);
    new ListColumns(lvHeader);
    frmTasks = new QGroupBox(QStringLiteral("Task list"), parent);
    frmTasks->setObjectName(QStringLiteral("frmTasks"));
    auto *tl = new QGridLayout(frmTasks);
    lvTasks = reportView(frmTasks, QStringLiteral("lvTasks"), kTaskListColour);
    tagLabel = new QLabel(QStringLiteral("Tag:"), frmTasks);
    tagLabel->setObjectName(QStringLiteral("Label1"));
    txtSelected = NamedLineEdit(frmTasks, QStringLiteral("txtSelected"));
    txtNeu = NamedLineEdit(frmTasks, QStringLiteral("txtNeu"));
    cboTask = new QComboBox(frmTasks);
    cboTask->setObjectName(QStringLiteral("cboTask"));
    cboLevel = new QComboBox(frmTasks);
    cboLevel->setObjectName(QStringLiteral("cboLevel"));
    // Their entries whole; the text boxes beside them give way instead.
    cboTask->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    cboLevel->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    lbltarget = new QLabel(QStringLiteral("to:"), frmTasks);
    lbltarget->setObjectName(QStringLiteral("lbltarget"));
    cboTarget = new QComboBox(frmTasks);
    cboTarget->setObjectName(QStringLiteral("cboTarget"));
    cmdTask[0] = NamedButton(frmTasks, QStringLiteral("cmdTask0"), QStringLiteral("Add Task"));
    cmdTask[1] = NamedButton(frmTasks, QStringLiteral("cmdTask1"), QStringLiteral("Delete Task"));
    lvTasks->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvTasks, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { PopUpTaskList->popup(lvTasks->viewport()->mapToGlobal(pos)); });
    // The tag and its name ("0018,0060 - KVP") take most of the row: in a
    // column shared with the boxes below they were cut to "0060 - KVP".
    auto *tagRow = new QHBoxLayout;
    tagRow->addWidget(tagLabel);
    tagRow->addWidget(txtSelected, 3);
    tagRow->addWidget(txtNeu, 1);
    tagRow->addWidget(cmdTask[0]);
    tl->addLayout(tagRow, 0, 0, 1, 5);
    connect(txtSelected, &QLineEdit::textChanged, txtSelected, &QWidget::setToolTip);
    tl->addWidget(cboTask, 1, 0);
    tl->addWidget(cboLevel, 1, 1);
    tl->addWidget(lbltarget, 1, 2);
    tl->addWidget(cboTarget, 1, 3);
    tl->addWidget(cmdTask[1], 1, 4);
    tl->addWidget(lvTasks, 2, 0, 1, 5);
    new ListColumns(lvTasks);
    parent->addWidget(frmTasks);
}

QAction *MainForm::addEntry(QMenu *menu, Command c, const QString &name, const QString &caption)
{
    QAction *a = menu->addAction(caption);
    a->setObjectName(name);
    commands_[static_cast<size_t>(c)] = a;
    return a;
}

void MainForm::buildMenus()
{
    QMenuBar *bar = menuBar();
    mnuDatei = bar->addMenu(QStringLiteral("&File"));
    mnuDatei->setObjectName(QStringLiteral("mnuDatei"));
    QMenu *import = mnuDatei->addMenu(QStringLiteral("Import"));
    import->setObjectName(QStringLiteral("mnuImport"));
    addEntry(import, Command::ImportImages, QStringLiteral("mnuImportImages"), QStringLiteral("DICOM Image(s) ..."));
    addEntry(import, Command::ImportDir, QStringLiteral("mnuImportDir"), QStringLiteral("DICOM Dir ..."));
    QMenu *exportMenu = mnuDatei->addMenu(QStringLiteral("Export"));
    exportMenu->setObjectName(QStringLiteral("mnuFileExport"));
    addEntry(exportMenu, Command::ExportJpeg, QStringLiteral("mnuExportJPEG"), QStringLiteral("JPEG ..."));
    addEntry(exportMenu, Command::ExportDicom, QStringLiteral("mnuExportDICOM"), QStringLiteral("DICOM ..."));
    mnuDatei->addSeparator()->setObjectName(QStringLiteral("mnuFileTrenn2"));
    addEntry(mnuDatei, Command::PrintDayList, QStringLiteral("mnuPrint"), QStringLiteral("Print Day List"));
    mnuDatei->addSeparator()->setObjectName(QStringLiteral("mnuFileTrenn"));
    addEntry(mnuDatei, Command::Exit, QStringLiteral("mnuDateiBeenden"), QStringLiteral("E&xit"));

    mnuBearbeiten = bar->addMenu(QStringLiteral("&Edit"));
    mnuBearbeiten->setObjectName(QStringLiteral("mnuBearbeiten"));
    addEntry(mnuBearbeiten, Command::ApplyTasks, QStringLiteral("mnuApplyTasks"), QStringLiteral("Execute tasks ..."));
    addEntry(mnuBearbeiten, Command::RefreshList, QStringLiteral("mnuRefreshList"), QStringLiteral("Refresh list"));
    mnuBearbeiten->addSeparator()->setObjectName(QStringLiteral("mnuTrennE"));
    addEntry(mnuBearbeiten, Command::EditDictionary, QStringLiteral("mnuEditDatabase"), QStringLiteral("DICOM Dictionary ..."));
    addEntry(mnuBearbeiten, Command::DoseCalibration, QStringLiteral("mnuDoseCalibration"), QStringLiteral("Dose calibration ..."));

    mnuAnsicht = bar->addMenu(QStringLiteral("&View"));
    mnuAnsicht->setObjectName(QStringLiteral("mnuAnsicht"));
    addEntry(mnuAnsicht, Command::Options, QStringLiteral("mnuAnsichtEinstellungen"), QStringLiteral("&Options ..."));
    addEntry(mnuAnsicht, Command::DoseQa, QStringLiteral("mnuDoseQa"), QStringLiteral("Dose QA ..."));
    QMenu *protocols = mnuAnsicht->addMenu(QStringLiteral("Protocols"));
    protocols->setObjectName(QStringLiteral("mnuProtokoll"));
    addEntry(protocols, Command::ErrorLog, QStringLiteral("mnuProtokollFehler"), QStringLiteral("Errors ..."));
    addEntry(protocols, Command::DebugLog, QStringLiteral("mnuProtokollDebug"), QStringLiteral("Debug ..."));

    mnuInfo = bar->addMenu(QStringLiteral("&Help"));
    mnuInfo->setObjectName(QStringLiteral("mnuInfo"));
    addEntry(mnuInfo, Command::Fill, QStringLiteral("mnuFill"), QStringLiteral("Decode the stored serial input (%1)").arg(QLatin1String(AppFiles::SerialInput)));
    addEntry(mnuInfo, Command::About, QStringLiteral("mnuInfoAbout"), QStringLiteral("Abo&ut ..."));

    // Pop-ups: shown at the mouse by the lists and the viewer that own them.
    auto popup = [this](const QString &name, const QString &title) {
        auto *m = new QMenu(title, this);
        m->setObjectName(name);
        return m;
    };
    auto sub = [](QMenu *parentMenu, const QString &name) {
        QMenu *m = parentMenu->addMenu(QStringLiteral("Send to"));
        m->setObjectName(name);
        return m;
    };
    PopUpPatient = popup(QStringLiteral("PopUpPatient"), QStringLiteral("Patient"));
    P_SendTo = sub(PopUpPatient, QStringLiteral("P_SendTo"));
    addEntry(PopUpPatient, Command::DeletePatient, QStringLiteral("PopUpPatient_Delete"), QStringLiteral("Delete Patient"));
    addEntry(PopUpPatient, Command::DeleteAllPatients, QStringLiteral("PopUpPatient_DeleteAll"), QStringLiteral("Delete All Patients"));
    PopUpStudie = popup(QStringLiteral("PopUpStudie"), QStringLiteral("Study"));
    addEntry(PopUpStudie, Command::StudySeries, QStringLiteral("PopUpStudie_Serien"), QStringLiteral("View Series"));
    addEntry(PopUpStudie, Command::StudyImages, QStringLiteral("PopUpStudie_Laden"), QStringLiteral("View Images"));
    St_SendTo = sub(PopUpStudie, QStringLiteral("St_SendTo"));
    addEntry(PopUpStudie, Command::DeleteStudy, QStringLiteral("PopUpStudie_Delete"), QStringLiteral("Delete Images"));
    PopUpSerie = popup(QStringLiteral("PopUpSerie"), QStringLiteral("Series"));
    addEntry(PopUpSerie, Command::SeriesImages, QStringLiteral("PopUpSerie_Laden"), QStringLiteral("View Images"));
    Se_SendTo = sub(PopUpSerie, QStringLiteral("Se_SendTo"));
    addEntry(PopUpSerie, Command::DeleteSeries, QStringLiteral("PopUpSerie_Delete"), QStringLiteral("Delete Images"));
    PopUpTaskList = popup(QStringLiteral("PopUpTaskList"), QStringLiteral("Task list"));
    addEntry(PopUpTaskList, Command::ClearTaskList, QStringLiteral("PopUpTaskList_Clear"), QStringLiteral("Clear entries"));
    addEntry(PopUpTaskList, Command::SaveTaskList, QStringLiteral("PopUpTaskList_Save"), QStringLiteral("Save as ..."));
    PopUpRules = PopUpTaskList->addMenu(QStringLiteral("Add fav. task"));
    PopUpRules->setObjectName(QStringLiteral("PopUpRules"));
    PopUpRules->addAction(QStringLiteral("No entries"))->setEnabled(false);
    Popup_Dicom = popup(QStringLiteral("Popup_Dicom"), QStringLiteral("Image"));
    addEntry(Popup_Dicom, Command::DeleteViewerImage, QStringLiteral("Popup_Dicom_Delete"), QStringLiteral("Delete"));
    Popup_Dosis = popup(QStringLiteral("Popup_Dosis"), QStringLiteral("Exposure"));
    addEntry(Popup_Dosis, Command::DeleteExposure, QStringLiteral("PopupDeleteDosis"), QStringLiteral("Delete"));
}

void MainForm::buildToolbar()
{
    mainToolBar = addToolBar(QStringLiteral("Toolbar1"));
    mainToolBar->setObjectName(QStringLiteral("Toolbar1"));
    mainToolBar->setMovable(false);
    mainToolBar->setIconSize(QSize(24, 24));
    QStyle *s = style();
    struct Entry {
        const char *tip;
        const char *key;
        QStyle::StandardPixmap icon;
        Command command;
        bool repeatsMenu; // the button triggers the menu entry's action
    };
    const Entry entries[] = {
        {"Execute tasks", "exe", QStyle::SP_MediaPlay, Command::ApplyTasks, true},
        {"Refresh Patlist", "refresh", QStyle::SP_BrowserReload, Command::RefreshList, true},
        {"Refresh Dosislist", "refreshd", QStyle::SP_BrowserReload, Command::RefreshDoseList, false},
        {"Reload Dosislist", "reldosis", QStyle::SP_BrowserReload, Command::ReloadDoseList, false},
        {nullptr, nullptr, QStyle::SP_CustomBase, Command::Exit, false},
        {"Export JPEG", "eJPEG", QStyle::SP_FileDialogContentsView, Command::ExportJpeg, true},
        {"Export DICOM", "eDICOM", QStyle::SP_DialogSaveButton, Command::ExportDicom, true},
        {nullptr, nullptr, QStyle::SP_CustomBase, Command::Exit, false},
        {"Worklist", "worklist", QStyle::SP_FileDialogDetailedView, Command::Worklist, false},
        {"Exit", "exit", QStyle::SP_DialogCloseButton, Command::Exit, true},
    };
    for (const Entry &e : entries) {
        if (!e.key) {
            mainToolBar->addSeparator();
            continue;
        }
        QAction *a = mainToolBar->addAction(s->standardIcon(e.icon), QString::fromLatin1(e.tip));
        a->setObjectName(QStringLiteral("tb_") + QString::fromLatin1(e.key));
        a->setData(QString::fromLatin1(e.key));
        a->setToolTip(QString::fromLatin1(e.tip));
        if (e.repeatsMenu) {
            QAction *entry = command(e.command);
            connect(a, &QAction::triggered, entry, [entry] { entry->trigger(); });
        } else {
            commands_[static_cast<size_t>(e.command)] = a;
        }
    }
    // The toolbar's look: a patterned band with the buttons on red.
    mainToolBar->setAutoFillBackground(true);
    QPalette p = mainToolBar->palette();
    p.setBrush(QPalette::Window, QBrush(toolbarPattern()));
    mainToolBar->setPalette(p);
    mainToolBar->setStyleSheet(QStringLiteral("QToolButton { background-color: rgb(240, 120, 120); border: 1px solid rgb(200, 90, 90);"
                                           " border-radius: 3px; margin: 2px; padding: 2px; }"
                                           "QToolButton:hover { background-color: rgb(250, 150, 150); }"));
}

QAction *MainForm::action(const QString &name) const { return findChild<QAction *>(name); }
QAction *MainForm::toolButton(const QString &key) const { return findChild<QAction *>(QStringLiteral("tb_") + key); }


void MainForm::applyClientLayout()
{
    const bool client = Settings.RunAsClient == 1;
    lblCount->setVisible(client);
    cmdAll->setVisible(!client);
    for (QPushButton *b : cmdProjection)
        b->setVisible(!client);
}

void MainForm::Form_Load()
{
    const QString where = QStringLiteral("Mainform Form_Load");
    cmdSelected->setEnabled(false);
    if (!instance_.acquire()) {
        close();
        QCoreApplication::quit();
        return;
    }
    setWindowTitle(QStringLiteral("OrvanaMammo Version ") + VersionText());
    if (const Result space = CheckFreeSpace(); !space.ok())
        setStatusPanel(5, space.text);
    if (const Result r = EnsureUserDatabase(UserDatabase.path()); !r.ok())
        return LogFailure(r, where);
    // A file a newer version of the program wrote is not used; said once
    // here rather than by every list that cannot open it.
    for (Database *db : {&ImageDatabase, &DefinitionsDatabase, &UserDatabase}) {
        const DatabaseSession session(*db);
        if (!session.ok() && session.error().number == ErrorCode::DbNewerSchema) {
            LogFailure(session.error(), where);
            prompter_.critical(this, session.error().text, DefaultPromptTitle);
            return;
        }
    }
    if (const Result r = CreateWorkingFolders(); !r.ok())
        return LogFailure(r, where);
    LoadSettings();
    emit filterLoadDue();
    emit patientListRefreshDue();
    emit doseListRefreshDue(); // today's open exposures, without waiting for F4
    emit partnersChanged(); // the send menus from the table
    if (Settings.XrayComm == 3 || Settings.XrayComm == 4)
        emit pollingRequested();
    companions_.startMissing();
    emit taskListPrepareDue();
    // The keyboard path through patient, study and merge starts here.
    cmdLorad[0]->setFocus(Qt::OtherFocusReason);
}

void MainForm::Form_Activate()
{
    const bool debug = Settings.Debug == 1;
    txtcInput->setVisible(debug);
    decoderTokenList->setVisible(debug);
    lvDosis->setVisible(!debug);
    emit serialPortDue();
}

bool MainForm::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate)
        Form_Activate();
    const bool result = QMainWindow::event(e);
    if (e->type() == QEvent::Show)
        keepOnScreen();
    return result;
}

void MainForm::keepOnScreen()
{
    // 1280 x 960 with its frame is more than a 1280 x 1024 screen's width and
    // than the smallest screen allowed: what lay beyond its edges was cut.
    if (isMaximized() || isFullScreen() || !screen())
        return;
    const QRect available = screen()->availableGeometry();
    const QRect frame = frameGeometry();
    const int wider = std::max(0, frame.width() - available.width());
    const int higher = std::max(0, frame.height() - available.height());
    if (wider || higher)
        resize(width() - wider, height() - higher);
    const QRect now = frameGeometry();
    if (!available.contains(now))
        move(std::clamp(now.x(), available.left(), std::max(available.left(), available.right() + 1 - now.width())),
             std::clamp(now.y(), available.top(), std::max(available.top(), available.bottom() + 1 - now.height())));
}

void MainForm::resizeEvent(QResizeEvent *e)
{
    QMainWindow::resizeEvent(e);
    if (!isMinimized())
        applyResizeRules();
}

void MainForm::applyResizeRules()
{
    // Window width less the viewer's left and 500 twips; window height less the
    // viewer's top and 1500 twips (15 twips a pixel), both in window coordinates.
    // The viewer's left is where the operator put the splitter (ViewerLeft at first).
    QWidget *central = centralWidget();
    constexpr int rightMargin = 500 / 15;
    constexpr int bottomMargin = 1500 / 15;
    const int left = viewerHost_->mapTo(this, QPoint(0, 0)).x();
    const int vw = std::max(50, width() - left - rightMargin);
    const int vh = std::max(50, height() - (central->y() + ViewerTop) - bottomMargin);
    viewerPanel_->placeGrid(QRect(0, ViewerTop, vw, vh));
    for (QPushButton *b : cmdProjection)
        if (b->text().isEmpty())
            b->setEnabled(false);
}

bool MainForm::eventFilter(QObject *watched, QEvent *e)
{
    // The viewer follows the splitter the operator drags.
    if (watched == viewerHost_ && (e->type() == QEvent::Resize || e->type() == QEvent::Move) && !isMinimized())
        applyResizeRules();
    eventFilterForLists(watched, e);
    if (e->type() != QEvent::KeyPress)
        return QMainWindow::eventFilter(watched, e);
    const int key = static_cast<QKeyEvent *>(e)->key();
    if (watched == cmdAll && key == Qt::Key_F1) {
        emit mergeRequested();
        return true;
    }
    if (watched == cmdLorad[0]) {
        // Every key on the patient button moves on to the study button; F2 reads the list, then selects first.
        if (key == Qt::Key_F2)
            cmdLorad_Click(0);
        cmdLorad[1]->setFocus(Qt::OtherFocusReason);
        return true;
    }
    if (watched == cmdLorad[1] && key == Qt::Key_F3) {
        if (hasRows(lvStudien)) {
            lvStudien->setCurrentIndex(lvStudien->model()->index(0, 0));
            emit firstStudyChosen();
        }
        return true;
    }
    if (watched == cmdLorad[2] && key == Qt::Key_F4) {
        emit doseListRefreshDue();
        return true;
    }
    return QMainWindow::eventFilter(watched, e);
}

void MainForm::cmdLorad_Click(int index)
{
    switch (index) {
    case 0:
        emit patientListReloadDue();
        if (hasRows(lvPatients)) {
            lvPatients->setCurrentIndex(lvPatients->model()->index(0, 0));
            emit firstPatientChosen();
        }
        break;
    case 1:
        if (hasRows(lvStudien)) {
            lvStudien->setCurrentIndex(lvStudien->model()->index(0, 0));
            emit firstStudyChosen();
        }
        if ((lvImages->model() ? lvImages->model()->rowCount() : 0) == (lvDosis->model() ? lvDosis->model()->rowCount() : 0))
            cmdAll->setFocus(Qt::OtherFocusReason);
        else
            cmdLorad[1]->setFocus(Qt::OtherFocusReason);
        break;
    case 2:
        emit doseListRefreshDue();
        break;
    default:
        break;
    }
}

void MainForm::bind(ExposureCapture &capture)
{
    connect(decodeNowButton, &QPushButton::clicked, &capture, &ExposureCapture::decodeNowButton_Click);
    connect(newExaminationButton, &QPushButton::clicked, &capture, &ExposureCapture::newExaminationButton_Click);
    connect(activateButton, &QPushButton::clicked, &capture, &ExposureCapture::activateButton_Click);
    connect(stopButton, &QPushButton::clicked, &capture, &ExposureCapture::stopButton_Click);
    connect(this, &MainForm::pollingRequested, &capture, &ExposureCapture::startPolling);
    connect(&capture, &ExposureCapture::bufferReplaced, txtcInput, [this](const QString &text) {
        txtcInput->setPlainText(text);
        txtcInput->moveCursor(QTextCursor::End);
    });
    connect(&capture, &ExposureCapture::bufferGrew, txtcInput, [this](const QString &tail) {
        txtcInput->moveCursor(QTextCursor::End);
        txtcInput->insertPlainText(tail);
        txtcInput->moveCursor(QTextCursor::End);
    });
    connect(&capture, &ExposureCapture::decoderTokens, decoderTokenList, [this](const QStringList &tokens) {
        decoderTokenList->clear();
        decoderTokenList->addItems(tokens);
    });
    connect(&capture, &ExposureCapture::buttonColour, this, [this](ExposureCapture::Button which, const QColor &colour) {
        QPushButton *button = which == ExposureCapture::Button::Stop ? stopButton : newExaminationButton;
        QPalette p = button->palette();
        p.setColor(QPalette::Button, colour);
        button->setPalette(p);
        button->setAutoFillBackground(true);
    });
    connect(&capture, &ExposureCapture::selectedProjectionCleared, exposureBoxes[5], &QLineEdit::clear);
    connect(&capture, &ExposureCapture::patientChosen, lblCount, &QLabel::setText);
}

void MainForm::ClearInfoFields()
{
    for (int i = 1; i <= 4; ++i)
        setStatusPanel(i, QString());
    txtSelected->clear();
    txtNeu->clear();
}

void MainForm::showLinks(const LinkMonitor &links)
{
    showLink(receiverLink, links.receiver());
    showLink(serialLink, links.serial());
}

void MainForm::startLinkChecks()
{
    linkTimer->setInterval(LinkMonitor::IntervalMs);
    linkTimer->start();
}

void MainForm::showLink(QLabel *indicator, const LinkState &state)
{
    const bool up = state.up;
    indicator->setText(state.text);
    indicator->setToolTip(state.lastError);
    // A style sheet, not the palette: the toolbar's own style sheet overrides
    // its children's palettes, and the warning must show.
    indicator->setStyleSheet(up ? QString() : QStringLiteral("QLabel { background-color: red; color: white; }"));
}

void MainForm::setStatusPanel(int panel, const QString &text)
{
    if (panel >= 1 && panel <= 5)
        statusPanels[panel - 1]->setText(text);
}

QString MainForm::statusPanel(int panel) const
{
    return panel >= 1 && panel <= 5 ? statusPanels[panel - 1]->text() : QString();
}

void MainForm::examinationTypeOptions_Click(int index)
{
    auto paint = [](QRadioButton *b, qint32 bgr) {
        QPalette p = b->palette();
        p.setColor(QPalette::Window, FromBgr(bgr));
        p.setColor(QPalette::Button, FromBgr(bgr));
        b->setPalette(p);
    };
    examinationTypeOptions[index]->setChecked(true);
    paint(examinationTypeOptions[index], 65280);
    paint(examinationTypeOptions[1 - index], 255);
    emit examinationTypeChosen(static_cast<qint16>(index + 1));
}

void MainForm::setExaminationTypeShown(bool shown) { examinationTypeFrame->setVisible(shown); }

void MainForm::setOptionForm(OptionForm *form)
{
    optionForm_ = form;
    if (form) {
        connect(form, &OptionForm::activeFilterChanged, this, &MainForm::activeFilterChanged);
        connect(form, &OptionForm::visibleTagsChanged, this, &MainForm::visibleTagsChanged);
        connect(form, &OptionForm::partnersChanged, this, &MainForm::partnersChanged);
        connect(form, &OptionForm::confirmed, this, &MainForm::optionsConfirmed);
        form->setCompanions(companions_);
    }
}

void MainForm::mnuAnsichtEinstellungen_Click()
{
    if (!optionForm_) {
        setOptionForm(new OptionForm(prompter_, this));
        optionForm_->setWindowFlag(Qt::Window);
        connect(optionForm_, &OptionForm::confirmed, this, [this](bool onePartner) {
            if (onePartner)
                setExaminationTypeShown(false);
            show();
            emit serialPortDue();
        });
    }
    optionForm_->Form_Load();
    optionForm_->show();
    optionForm_->raise();
    // The settings as they stand now reach the main window; what OK stores
    // reaches it on OK (optionsConfirmed).
    emit optionsOpened();
}

void MainForm::mnuDateiBeenden_Click()
{
    if (exitPending_)
        return;
    emit exitStarted();
    if (Settings.StopService != 1)
        return finishExit();
    // The companions get their two seconds to end before the program does;
    // the window takes no input meanwhile, and nothing waits.
    exitPending_ = true;
    setEnabled(false);
    auto left = std::make_shared<int>(2);
    const auto stopped = [this, left] {
        if (--*left == 0)
            finishExit();
    };
    companions_.stopReceiver(this, stopped);
    companions_.stopDataManager(this, stopped);
}

void MainForm::finishExit()
{
    exitPending_ = false;
    setEnabled(true);
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *w : windows)
        if (w != this && w->isVisible())
            w->close();
    close();
    instance_.release();
    QCoreApplication::quit();
}

void MainForm::showAbout()
{
    QDialog about(this);
    about.setObjectName(QStringLiteral("AboutForm"));
    about.setWindowTitle(QStringLiteral("About OrvanaMammo"));
    auto *l = new QVBoxLayout(&about);
    auto *name = new QLabel(QStringLiteral("OrvanaMammo"), &about);
    QFont f = name->font();
    f.setPointSize(f.pointSize() + 6);
    f.setBold(true);
    name->setFont(f);
    l->addWidget(name);
    l->addWidget(new QLabel(QStringLiteral("Version ") + VersionText(), &about));
    auto *ok = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    connect(ok, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    l->addWidget(ok);
    about.exec();
}

void MainForm::showErrorLog()
{
    showLog(QStringLiteral("Error.log"), QStringLiteral("Errors"), QStringLiteral("ErrorLog"), QStringLiteral("(the error log is empty)"));
}

void MainForm::showDebugLog()
{
    showLog(QStringLiteral("Debug.log"), QStringLiteral("Debug log"), QStringLiteral("DebugLog"),
            Settings.Debug == 1 ? QStringLiteral("(the debug log is empty)")
                                : QStringLiteral("(the debug log is empty: debug logging is off; switch it on under "
                                                 "View > Options ..., General, \"Activate debug logging\")"));
}

// The current file of a log in Logs/, read-only, scrolled to its last line.
void MainForm::showLog(const QString &fileName, const QString &title, const QString &name, const QString &whenEmpty)
{
    QString text;
    const QDir logs(AppPath(QString::fromLatin1(AppFiles::LogsFolder)));
    for (const QString &e : logs.entryList(QDir::Files)) {
        if (e.compare(fileName, Qt::CaseInsensitive) == 0) {
            QFile f(logs.filePath(e));
            if (f.open(QIODevice::ReadOnly))
                text = QString::fromUtf8(f.readAll());
            break;
        }
    }
    auto *view = new QDialog(this);
    view->setObjectName(name + QStringLiteral("View"));
    view->setAttribute(Qt::WA_DeleteOnClose);
    view->setWindowTitle(title);
    auto *l = new QVBoxLayout(view);
    auto *edit = new QPlainTextEdit(view);
    edit->setObjectName(name + QStringLiteral("Text"));
    edit->setReadOnly(true);
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    edit->setPlainText(text.isEmpty() ? whenEmpty : text);
    edit->moveCursor(QTextCursor::End);
    edit->ensureCursorVisible();
    l->addWidget(edit);
    auto *close = new QDialogButtonBox(QDialogButtonBox::Close, view);
    connect(close, &QDialogButtonBox::rejected, view, &QDialog::close);
    l->addWidget(close);
    view->resize(900, 500);
    view->show();
}

namespace {

// A browser list shown by its view: sortable lists show the model's order in their header.
void showRows(QTreeView *view, RowModel &rows, bool sortable)
{
    view->setModel(&rows);
    FitColumnsToContents(view);
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

} // namespace

void MainForm::bind(DoseList &doseList)
{
    doseList_ = &doseList;
    lvDosis->setModel(doseList.model());
    lvDosis->setSelectionModel(doseList.selectionModel());
    // The unit's dose and the AGD side by side after kV and mA: the twelve
    // columns are wider than the list, and the AGD, last of them, lay beyond
    // its edge. What the operator reads less often scrolls instead.
    QHeaderView *columns = lvDosis->header();
    columns->moveSection(columns->visualIndex(DoseList::MGy), columns->visualIndex(DoseList::MA) + 1);
    columns->moveSection(columns->visualIndex(DoseList::Agd), columns->visualIndex(DoseList::MGy) + 1);
    FitColumnsToContents(lvDosis);
    connect(lvDosis, &QTreeView::clicked, &doseList, [&doseList](const QModelIndex &index) { doseList.choose(index.row()); });
    lvDosis->viewport()->installEventFilter(this);
    cmbDosis->installEventFilter(this);
    connect(cmbDosis, &QComboBox::activated, &doseList, [this, &doseList](int index) {
        if (index >= 0)
            doseList.fillForPatient(cmbDosis->itemText(index));
    });
    connect(&doseList, &DoseList::exposureChosen, this, &MainForm::markExposureRows);
}

void MainForm::bind(Session &session)
{
    // The exposure boxes show the session's chosen exposure, whoever changed it.
    const auto show = [this, &session] {
        const ChosenExposure &e = session.chosenExposure();
        const ExposureValues &v = e.values;
        txtID->setText(e.key() > 0 ? QString::number(e.key()) : QString());
        exposureDateBox->setText(e.date);
        exposureTimeBox->setText(e.time);
        const std::array<QString, 6> values{v.kV, v.mAs, v.thickness, v.compression, v.dose, v.other};
        for (int i = 0; i < 6; ++i)
            exposureBoxes[i]->setText(values[i]);
    };
    connect(&session, &Session::selectedExposureChanged, this, show);
    show();
    // After the worklist's Apply the operator reads whom New Examination is for.
    const auto showNext = [this, &session] {
        const WorklistPatient &p = session.worklistPatient();
        if (p.name.isEmpty()) {
            nextPatientLabel->setText(QStringLiteral("Next examination: no worklist patient chosen"));
            nextPatientLabel->setStyleSheet(QString());
            return;
        }
        nextPatientLabel->setText(p.birthDate.isValid() ? QStringLiteral("Next examination: %1, born %2").arg(PersonNameText(p.name), DateText(p.birthDate))
                                                        : QStringLiteral("Next examination: %1").arg(PersonNameText(p.name)));
        nextPatientLabel->setStyleSheet(QStringLiteral("QLabel { font-weight: bold; color: rgb(160, 0, 0); }"));
    };
    connect(&session, &Session::worklistPatientChanged, this, showNext);
    showNext();
}

// The image rows the exposure's values go to are marked.
void MainForm::markExposureRows()
{
    auto *rows = qobject_cast<RowModel *>(lvImages->model());
    for (int i = 0; rows && i < rows->count(); ++i)
        rows->setMarked(i, lvImages->selectionModel()->isRowSelected(i));
}

void MainForm::bind(Browser &br, ImageViewer &viewer, Session &session)
{
    browser_ = &br;
    showRows(lvPatients, br.patients(), true);
    showRows(lvStudien, br.studies(), true);
    showRows(lvSerien, br.series(), false);
    showRows(lvImages, br.images(), true);
    // A shortened image list has no current row, as when it was filled anew.
    connect(&br.images(), &QAbstractItemModel::rowsRemoved, lvImages, [this] {
        lvImages->setCurrentIndex(QModelIndex());
        lvImages->clearSelection();
    });
    connect(&br, &Browser::statusPanel, this, &MainForm::setStatusPanel);
    connect(&br, &Browser::taskStateClearRequested, this, [this] {
        txtSelected->clear();
        txtNeu->clear();
        viewerPanel_->refreshDisplay();
    });
    connect(&br, &Browser::loadProgress, this, [this](int done, int total) {
        pbLoad->setMaximum(total);
        pbLoad->setValue(done);
        pbLoad->show();
    });
    connect(&br, &Browser::loadStarted, viewerPanel_, [this] { viewerPanel_->setRedraw(false); });
    connect(&br, &Browser::loadEnded, this, [this, &viewer] {
        viewerPanel_->setRedraw(true);
        pbLoad->hide();
        viewer.UpdateScrollRange();
    });
    connect(&br, &Browser::studyImagesListed, this,
            [this](int images) { cmdSelected->setEnabled((doseList_ ? doseList_->rowCount() : 0) == images); });
    connect(&viewer, &ImageViewer::statusText, this, &MainForm::setStatusPanel);
    // The image list's selection shows the session's current image; a click
    // on a row asks the session, and the row shown is what the session holds
    // then (a row whose image is not loaded changes nothing).
    auto showCurrentRow = [this, &session] { showImageRow(session.currentImageUid()); };
    connect(&session, &Session::currentImageChanged, lvImages, showCurrentRow);
    connect(&br.images(), &QAbstractItemModel::modelReset, lvImages, showCurrentRow);
    connect(&br.images(), &QAbstractItemModel::layoutChanged, lvImages, showCurrentRow);
    connect(lvPatients, &QTreeView::clicked, &br, [&br](const QModelIndex &i) { br.selectPatient(i.row()); });
    connect(lvStudien, &QTreeView::clicked, &br, [&br](const QModelIndex &i) { br.selectStudy(i.row()); });
    connect(lvSerien, &QTreeView::doubleClicked, &br, [&br](const QModelIndex &i) { br.loadSeries(i.row()); });
    connect(lvImages, &QTreeView::clicked, &viewer, [&viewer, showCurrentRow](const QModelIndex &i) {
        viewer.SelectImageByUid(i.siblingAtColumn(3).data().toString());
        showCurrentRow();
    });
    for (QTreeView *list : {lvPatients, lvStudien, lvSerien})
        list->viewport()->installEventFilter(this);
}

void MainForm::bind(HeaderView &header, TaskList &tasks)
{
    QTreeView *headerList = lvHeader;
    headerList->setModel(header.model());
    headerList->header()->moveSection(HeaderView::ValueColumn, HeaderView::DescriptionColumn); // "Value" shown last
    headerList->header()->setSectionsClickable(true);
    headerList->header()->setSortIndicatorShown(true);
    FitColumnsToContents(headerList);
    connect(headerList->header(), &QHeaderView::sectionClicked, &header, &HeaderView::lvHeader_ColumnClick);
    connect(&header, &HeaderView::sorted, headerList->header(), &QHeaderView::setSortIndicator);

    lvTasks->setModel(tasks.model());
    FitColumnsToContents(lvTasks);
    connect(headerList, &QTreeView::clicked, &tasks, [&tasks](const QModelIndex &index) { tasks.selectHeaderRow(index.row()); });
    // The entry's widgets and the task list's entry follow each other.
    connect(cboTask, &QComboBox::activated, &tasks, &TaskList::setKind);
    connect(cboLevel, &QComboBox::currentIndexChanged, &tasks, &TaskList::setLevel);
    connect(txtSelected, &QLineEdit::textChanged, &tasks, &TaskList::setSelected);
    connect(txtNeu, &QLineEdit::textChanged, &tasks, &TaskList::setValue);
    connect(&tasks, &TaskList::entryChanged, this, [this, &tasks] {
        const TaskEntry &e = tasks.entry();
        txtSelected->setText(e.selected);
        txtNeu->setText(e.value);
        txtNeu->setEnabled(e.valueEditable);
        cboTask->setCurrentIndex(e.kind);
        cboTask->setEnabled(e.kindEditable);
        cboTarget->clear();
        cboTarget->addItems(e.targets);
    });
    connect(&tasks, &TaskList::ruleSetsChanged, this, [this, &tasks](const QStringList &names) {
        PopUpRules->clear();
        for (const QString &name : names)
            PopUpRules->addAction(name, &tasks, [&tasks, name] { tasks.ApplyRuleSet(name); })->setObjectName(QStringLiteral("PopUpRules"));
        if (names.isEmpty())
            PopUpRules->addAction(QStringLiteral("No entries"))->setEnabled(false);
    });
    connect(&tasks, &TaskList::applyTasksRequested, command(Command::ApplyTasks), &QAction::trigger);
    connect(cmdTask[0], &QPushButton::clicked, &tasks, &TaskList::AddTask);
    connect(cmdTask[1], &QPushButton::clicked, &tasks, [this, &tasks] {
        const QModelIndex current = lvTasks->currentIndex();
        const bool selected = current.isValid() && lvTasks->selectionModel()->isSelected(current.siblingAtColumn(0));
        tasks.DeleteTask(selected ? current.row() : -1);
        lvTasks->clearSelection();
    });
    connect(this, &MainForm::taskListPrepareDue, &tasks, [this, &tasks] {
        const QSignalBlocker filling(cboLevel); // the entry keeps its level
        cboLevel->clear();
        cboLevel->addItems(TaskLevels());
        cboLevel->setCurrentIndex(tasks.entry().level);
        cboTask->clear();
        cboTask->addItems(TaskKinds());
        cboTask->setCurrentIndex(tasks.entry().kind);
        tasks.RebuildRuleMenu();
    });
}

void MainForm::bind(ProjectionAssignment &assignment)
{
    for (QPushButton *button : cmdProjection)
        connect(button, &QPushButton::clicked, &assignment, [&assignment, button] { assignment.cmdProjection_Click(button->text()); });
    // At creation, before the load: the captions the unit type names.
    const QStringList captions = ProjectionAssignment::ProjectionCaptions();
    for (int i = 0; i < captions.size(); ++i) {
        cmdProjection[i]->setText(captions[i]);
        cmdProjection[i]->setEnabled(!captions[i].isEmpty());
    }
    applyResizeRules();
}

int MainForm::patientRow() const { return lvPatients->currentIndex().row(); }
int MainForm::studyRow() const { return lvStudien->currentIndex().row(); }
int MainForm::seriesRow() const { return lvSerien->currentIndex().row(); }

void MainForm::showImageRow(const QString &uid)
{
    QAbstractItemModel *rows = lvImages->model();
    QItemSelectionModel *selection = lvImages->selectionModel();
    if (!rows || !selection)
        return;
    // The whole UID: "….1" is a part of "….10".
    const QModelIndex row = uid.isEmpty() ? QModelIndex()
                                          : rows->match(rows->index(0, 3), Qt::DisplayRole, uid, 1, Qt::MatchExactly).value(0);
    if (!row.isValid()) {
        selection->clear();
        return;
    }
    selection->setCurrentIndex(row.siblingAtColumn(0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    lvImages->scrollTo(row.siblingAtColumn(0)); // the row, not its UID column: ID, date and time stay in view
}

void MainForm::updateSendMenus(PartnersInUse &inUse, const std::function<void(int level, const QString &tag)> &chosen)
{
    UpdateSendToEntries(Se_SendTo, St_SendTo, P_SendTo, inUse, chosen);
}

bool MainForm::eventFilterForLists(QObject *watched, QEvent *event)
{
    // The presses that open the patient filter's list refill it first.
    if (watched == cmbDosis && cmbDosis->isEnabled() && doseList_) {
        bool opens = event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;
        if (event->type() == QEvent::KeyPress) {
            const auto *k = static_cast<QKeyEvent *>(event);
            const bool alt = k->modifiers() & Qt::AltModifier;
            opens = k->key() == Qt::Key_F4 || (alt && (k->key() == Qt::Key_Down || k->key() == Qt::Key_Up))
                || (k->key() == Qt::Key_Space && !cmbDosis->isEditable());
        }
        if (opens) {
            cmbDosis->clear();
            cmbDosis->addItems(doseList_->patientNames());
        }
    }
    if (event->type() != QEvent::MouseButtonRelease)
        return false;
    const auto *m = static_cast<QMouseEvent *>(event);
    const QPoint pos = m->position().toPoint();
    // The right button selects the dose-list row under the pointer and opens its menu.
    if (doseList_ && watched == lvDosis->viewport() && m->button() == Qt::RightButton && doseList_->rowCount() > 0) {
        if (const QModelIndex at = lvDosis->indexAt(pos); at.isValid())
            doseList_->select(at.row());
        Popup_Dosis->popup(lvDosis->viewport()->mapToGlobal(pos));
    }
    if (!browser_)
        return false;
    if (watched == lvPatients->viewport()) {
        QTreeView *list = lvPatients;
        if (m->button() == Qt::RightButton) {
            // Beside the rows no patient is pointed at: the menu's patient entries find none.
            const QModelIndex under = list->indexAt(pos);
            list->setCurrentIndex(under);
            if (!under.isValid())
                list->clearSelection();
            PopUpPatient->popup(list->viewport()->mapToGlobal(pos));
        }
        browser_->selectPatient(list->currentIndex().row());
    } else {
        // Study and series menus act on a row: none beside the rows, and none when pending tasks are kept.
        for (auto [list, menu] : {std::pair{lvStudien, PopUpStudie}, std::pair{lvSerien, PopUpSerie}}) {
            if (watched != list->viewport() || m->button() != Qt::RightButton)
                continue;
            const QModelIndex under = list->indexAt(pos);
            if (browser_->rowMenuAllowed(under.row())) {
                list->setCurrentIndex(under);
                menu->popup(list->viewport()->mapToGlobal(pos));
            }
        }
    }
    return false;
}
