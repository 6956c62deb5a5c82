#pragma once

#include "app/Companions.h"
#include "app/LinkStatus.h"
#include "app/StartupChecks.h"

#include <QMainWindow>
#include <QMap>
#include <array>
#include <functional>
#include <optional>

class QAction;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTreeView;
class QScrollBar;
class QSplitter;
class QStatusBar;
class QTextEdit;
class QTimer;
class QToolBar;
class QTreeView;
class QVBoxLayout;
class OptionForm;
class Prompter;
class Browser;
class Session;
class DoseList;
class ExposureCapture;
class HeaderView;
class ImageViewer;
class ProjectionAssignment;
class TaskList;
class ViewerPanel;
struct PartnersInUse;
struct ExposureValues;
class Session;

// The operator's commands from the menus, the pop-ups and the toolbar. Each
// has one QAction, made once by the main window; a toolbar button that repeats
// a menu entry triggers that entry's action.
enum class Command {
    ImportImages, ImportDir, ExportJpeg, ExportDicom, PrintDayList, Exit,
    ApplyTasks, RefreshList, EditDictionary,
    Options, DoseQa, ErrorLog, DebugLog, Fill, About,
    DeletePatient, DeleteAllPatients,
    StudySeries, StudyImages, DeleteStudy,
    SeriesImages, DeleteSeries,
    ClearTaskList, SaveTaskList,
    DeleteViewerImage, DeleteExposure,
    DoseCalibration,
    RefreshDoseList, ReloadDoseList, Worklist, // toolbar only
};

// The workstation's one working window: the frame around the browser, the
// viewer, the exposure list, the header view and the task list, with the
// toolbar, menus, timers and status bar that dispatch to them.
class MainForm : public QMainWindow {
    Q_OBJECT

public:
    // The prompter asks and tells the operator for the window and its options dialog.
    explicit MainForm(Prompter &prompter, QWidget *parent = nullptr);
    ~MainForm() override;

    // Load: the start-up steps after creation (user database, folders,
    // settings, lists, timers, companions). Errors end the load, the window shows.
    void Form_Load();
    // Activation: the debug-dependent controls, then the serial port.
    void Form_Activate();

    void ClearInfoFields();
    void examinationTypeOptions_Click(int index);
    // Shutdown as File > Exit does it.
    void mnuDateiBeenden_Click();
    void mnuAnsichtEinstellungen_Click();
    void cmdLorad_Click(int index);
    void showAbout();
    void showErrorLog();
    void showDebugLog();
    // The status bar has five panels, numbered 1 to 5.
    void setStatusPanel(int panel, const QString &text);
    QString statusPanel(int panel) const;
    // The presenters shown by the window: their models in its lists, the
    // clicks and keys to them, what they signal to the window's controls.
    void bind(ExposureCapture &capture);
    void bind(DoseList &doseList);
    // The viewer and the image list follow the session's loaded and current images.
    void bind(Browser &browser, ImageViewer &viewer, Session &session);
    void bind(HeaderView &header, TaskList &tasks);
    void bind(ProjectionAssignment &assignment);
    // The exposure boxes follow the session's chosen exposure.
    void bind(Session &session);
    // The tile grid, its scroll bar and pop-up, for the viewer logic.
    ViewerPanel &viewerPanel() { return *viewerPanel_; }

    // The rows of the browser lists the operator made current (-1: none).
    int patientRow() const;
    int studyRow() const;
    int seriesRow() const;
    // The image-list row of the image with this whole SOP instance UID becomes
    // the selected one; none is selected when no row has it.
    void showImageRow(const QString &uid);
    // The send menus of the three lists from the partners in the table.
    void updateSendMenus(PartnersInUse &inUse, const std::function<void(int level, const QString &tag)> &chosen);
    // The receiver and serial-line indicators; the checks run every interval from startLinkChecks on.
    void showLinks(const LinkMonitor &links);
    void startLinkChecks();
    // Applies the viewer geometry rules to the current size.
    void applyResizeRules();

    // Shown again after the options dialog: the serial port is opened anew.
    void reopenSerialPort() { emit serialPortDue(); }
    void setExaminationTypeShown(bool shown);

    OptionForm *optionForm() const { return optionForm_; }
    void setOptionForm(OptionForm *form);
    // The receiver and data manager this window starts at load and stops at exit.
    Companions &companions() { return companions_; }
    // The single-instance lock: taken by the load unless the start-up hands it
    // over, held until File > Exit or the window goes.
    void takeSingleInstance(SingleInstance &&lock) { instance_ = std::move(lock); }
    const SingleInstance &singleInstance() const { return instance_; }

    // A command's action; the subsystems attached later connect to its triggered().
    QAction *command(Command c) const { return commands_.at(static_cast<size_t>(c)); }
    // Menu entries and toolbar buttons by their object names / keys (tests, reports).
    QAction *action(const QString &name) const;
    QAction *toolButton(const QString &key) const;

    // The lists' poll: a study filed shows within two seconds. A look is one
    // pragma per database on a kept connection (ChangeWatch).
    static constexpr int PollIntervalMs = 500;

    // Left edge (until the operator drags the splitter) and top of the viewer, in pixels.
    static constexpr int ViewerLeft = 720;
    static constexpr int ViewerTop = 4;
    // The study, series and image lists' width at first, beside the capture:
    // what the dose list needs for its columns is left to it.
    static constexpr int BrowserWidth = 176;

    // The splitter sizes and the lists' columns as the operator left them, in
    // the station's settings ("Layout\\<name>"); saved shortly after a change
    // and when the window closes.
    void saveLayout();

signals:
    // 1 = "Curative", 2 = "Screening": the operator picked the examination type.
    void examinationTypeChosen(qint16 type);
    // The poll (UpdateTimer, every PollIntervalMs): the lists follow what
    // changed in the databases.
    void patientListPollDue();
    // The link indicators are due for a check (every few seconds).
    void linksCheckDue();
    // The load found a polled unit: the capture asks it from now on.
    void pollingRequested();
    // The load's steps the subsystems carry out, in this order: the active
    // filter, the patient list, (the send menus,) the task entry.
    void filterLoadDue();
    void patientListRefreshDue();
    void taskListPrepareDue();
    // Activation and OK in the options dialog: the serial port is opened again.
    void serialPortDue();
    // The dose-list button and F4.
    void doseListRefreshDue();
    // "Merge Image/s" (and F1), "Manually".
    void mergeRequested();
    void manualMergeRequested();
    // F2 (and its button): the patient list read again, in place, before its
    // first row is chosen, so that a patient filed a moment ago is there.
    void patientListReloadDue();
    // The keyboard path: the first patient or study was made current.
    void firstPatientChosen();
    void firstStudyChosen();
    // Exit: the viewer's images go before the companions stop.
    void exitStarted();
    // The options dialog opened: the viewer settings and rule sets are read again.
    void optionsOpened();
    // OK in the options dialog opened from the menu: its viewer grid takes effect now.
    void optionsConfirmed();
    // The options dialog changed the active filter, or attributes joined a filter.
    void activeFilterChanged(const QMap<QString, QString> &tags);
    void visibleTagsChanged();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    // The storage partners are to be read again: at load, and when the
    // options dialog added, changed or removed one.
    void partnersChanged();

private:
    Prompter &prompter_;
    void buildMenus();
    void buildToolbar();
    void buildBrowser(QSplitter *band, QSplitter *below);
    void buildCapture(QWidget *parent);
    void buildAssignment(QWidget *parent);
    void buildHeaderAndTasks(QSplitter *parent);
    void showLog(const QString &fileName, const QString &title, const QString &name, const QString &whenEmpty);
    void restoreLayout();
    std::array<QSplitter *, 5> splitters() const;
    std::array<QTreeView *, 7> arrangedLists() const;
    void applyClientLayout();
    // Shown no larger than the screen's free area, frame included, and on it.
    void keepOnScreen();
    QAction *addEntry(QMenu *menu, Command c, const QString &name, const QString &caption);

    bool eventFilterForLists(QObject *watched, QEvent *event);
    // Red while a link is down, the reason in the tooltip.
    void showLink(QLabel *indicator, const LinkState &state);
    void markExposureRows();

    QWidget *leftPanel_ = nullptr;
    QWidget *viewerHost_ = nullptr; // the viewer's side of the main splitter
    QSplitter *mainSplitter_ = nullptr;    // the lists and controls | the viewer
    QSplitter *leftSplitter_ = nullptr;    // the patient band | what lies below
    QSplitter *lowerSplitter_ = nullptr;   // study, series, images | capture and the rest
    QSplitter *browserSplitter_ = nullptr; // study list | series list | image list
    QSplitter *workSplitter_ = nullptr;    // capture | assignment | header view | task list
    QTimer *layoutSave_ = nullptr;
    DoseList *doseList_ = nullptr; // bound presenters, for the mouse and key events
    Browser *browser_ = nullptr;
    // Browser (patients, studies, series, images)
    QGroupBox *frmPatients = nullptr;
    // The lists show the browser's models.
    QTreeView *lvPatients = nullptr;
    QGroupBox *frmStudien = nullptr;
    QTreeView *lvStudien = nullptr;
    QGroupBox *frmSerien = nullptr;
    QTreeView *lvSerien = nullptr;
    QTreeView *lvImages = nullptr; // the browser's image rows
    // Viewer: the tile grid, its scroll bar and pop-up
    ViewerPanel *viewerPanel_ = nullptr;
    // Exposure capture and the dose list. Object names keep the numbered
    // control names (Command2, Text3_5, Option1_0 ...) that reports use.
    QTreeView *lvDosis = nullptr; // shows the dose list's model
    QComboBox *cmbDosis = nullptr;
    QPushButton *decodeNowButton = nullptr;
    QPushButton *newExaminationButton = nullptr;
    QPushButton *activateButton = nullptr;
    QPushButton *stopButton = nullptr;
    QTextEdit *txtcInput = nullptr;
    QListWidget *decoderTokenList = nullptr;
    QLineEdit *spareCaptureBox = nullptr;
    std::array<QPushButton *, 3> cmdLorad{};
    // Projection assignment
    std::array<QPushButton *, 8> cmdProjection{};
    QPushButton *cmdAll = nullptr;
    QPushButton *cmdSelected = nullptr;
    QLabel *lblCount = nullptr;
    // The worklist patient the next examination is for, in view under the dose list.
    QLabel *nextPatientLabel = nullptr;
    QFrame *examinationTypeFrame = nullptr;
    std::array<QRadioButton *, 2> examinationTypeOptions{};
    // Header view and task editing
    QTreeView *lvHeader = nullptr; // the header view's model: "Value", "DICOM Tag", "DICOM Description"
    QGroupBox *frmTasks = nullptr;
    QTreeView *lvTasks = nullptr; // the task list's model: "Level", "Source", "Value", "Task", "Target"
    QComboBox *cboTask = nullptr;
    QComboBox *cboLevel = nullptr;
    QComboBox *cboTarget = nullptr;
    std::array<QPushButton *, 2> cmdTask{}; // "Add Task", "Delete Task"
    QLabel *tagLabel = nullptr;
    QLabel *lbltarget = nullptr;
    QLineEdit *txtSelected = nullptr;
    QLineEdit *txtNeu = nullptr;
    QLineEdit *txtID = nullptr;
    QLineEdit *exposureDateBox = nullptr;
    QLineEdit *exposureTimeBox = nullptr;
    std::array<QLineEdit *, 6> exposureBoxes{};
    // Frame
    QProgressBar *pbLoad = nullptr;
    QStatusBar *statusLine = nullptr;
    std::array<QLabel *, 5> statusPanels{};
    QLabel *receiverLink = nullptr;
    QLabel *serialLink = nullptr;
    QTimer *linkTimer = nullptr;
    QToolBar *mainToolBar = nullptr;
    QTimer *UpdateTimer = nullptr;
    // Menus; the pop-ups are shown by the lists and the viewer that own them.
    QMenu *mnuDatei = nullptr;
    QMenu *mnuBearbeiten = nullptr;
    QMenu *mnuAnsicht = nullptr;
    QMenu *mnuInfo = nullptr;
    QMenu *PopUpPatient = nullptr;
    QMenu *P_SendTo = nullptr;
    QMenu *PopUpStudie = nullptr;
    QMenu *St_SendTo = nullptr;
    QMenu *PopUpSerie = nullptr;
    QMenu *Se_SendTo = nullptr;
    QMenu *PopUpTaskList = nullptr;
    QMenu *PopUpRules = nullptr;
    QMenu *Popup_Dicom = nullptr;
    QMenu *Popup_Dosis = nullptr;

    std::array<QAction *, static_cast<size_t>(Command::Worklist) + 1> commands_{};
    OptionForm *optionForm_ = nullptr;
    Companions companions_;
    SingleInstance instance_;
    // File > Exit waits for the companions to end.
    void finishExit();
    bool exitPending_ = false;
};
