#pragma once

#include "app/LinkStatus.h"
#include "header/HeaderUpdateJob.h"
#include "network/SendJobs.h"
#include "store/Session.h"

#include <QObject>
#include <memory>

enum class JobKind : qint16;
class Browser;
class Prompter;
class ListDeletion;
class DoseList;
class ExposureCapture;
class HeaderView;
class TaskList;
class ImageViewer;
class MainForm;
class OptionForm;
class ProjectionAssignment;

// Attaches the subsystems to the main window's controls and hooks, and holds
// the commands that span several of them (the send launchers). Lives as long
// as the main window (its child).
class Workstation : public QObject {
    Q_OBJECT

public:
    explicit Workstation(MainForm &main);
    ~Workstation() override;

    // For the options dialogs the workstation opens: the partner list.
    static void AttachOptionForm(OptionForm &form);

    Session &session() { return session_; }
    DoseList &doseList() { return *doseList_; }
    ExposureCapture &capture() { return *capture_; }
    ImageViewer &viewer() { return *viewer_; }
    Browser &browser() { return *browser_; }
    ProjectionAssignment &assignment() { return *assignment_; }

    // The send launchers: the progress dialog with the series, study or
    // patient job on what the operator chose, then the lists brought up to date.
    void SendSeries(const SendSelection &s);
    void SendStudy(const SendSelection &s);
    void SendPatient(const SendSelection &s);
    // A send-menu entry: level 0 series, 1 study, 2 patient, of the row the
    // right button selected.
    void sendMenuClick(int level, const QString &tag);
    // The receiver and serial-line indicators brought up to date (linkTimer).
    void checkLinks();
    const LinkMonitor &links() const { return links_; }

    // How the progress dialog is run (modal by default); tests drive it.
    std::function<void(class EditForm &)> runProgressDialog;
    std::function<void(class ExportForm &)> runExportDialog;
    // The import's file dialog: the chosen files (a DICOMDIR for a directory); empty when cancelled.
    std::function<QStringList(bool directory)> chooseImportFiles;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void attachExposure();
    void attachViewerAndBrowser();
    void attachAssignment();
    void attachPartners();
    // Each command's action to its handler, once.
    void connectCommands();
    // The worklist dialog, modal; Apply sets the current patient.
    void openWorklist();
    bool undoneTasksAllowSend();
    void runSendJob(JobKind kind, const SendSelection &s);
    void runDeletionJob(JobKind kind);
    // Import (files, or a DICOMDIR) and export (ExportKinds) of the viewer's images.
    void importImages(JobKind kind);
    void exportImages(int kind);
    // Executes the task list on the loaded images (the study update job).
    void mnuApplyTasks();
    void UpdateTimer(class EditForm &form);
    bool headerJobRefused_ = false;
    HeaderUpdateInput pendingUpdate_; // taken by mnuApplyTasks, run by UpdateTimer
    // The patient selection held, for the send after a merge.
    SendSelection selection() const;

    MainForm &main_;
    Session session_; // before the subsystems, which hold references to it
    LinkMonitor links_;
    std::unique_ptr<DoseList> doseList_;
    std::unique_ptr<ExposureCapture> capture_;
    std::unique_ptr<TaskList> tasks_;
    bool pairing_ = false; // the merge selects exposures
    std::unique_ptr<HeaderView> header_;
    std::unique_ptr<ImageViewer> viewer_;
    std::unique_ptr<Prompter> windowPrompter_; // the browser's message boxes over the window
    std::unique_ptr<Browser> browser_;
    std::unique_ptr<ListDeletion> deletion_;
    std::unique_ptr<ProjectionAssignment> assignment_;
    SendJob job_;
};
