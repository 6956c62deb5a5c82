#pragma once

#include "app/LinkStatus.h"
#include "jobs/Job.h"
#include "network/SendJobs.h"
#include "store/Session.h"

#include <QObject>
#include <memory>

enum class ExportKind;
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
class ChangeWatch;

// Attaches the subsystems to the main window's controls and hooks, and holds
// the commands that span several of them (the send launchers). Lives as long
// as the main window (its child).
class Workstation : public QObject {
    Q_OBJECT

public:
    // Every box of the subsystems it attaches goes through `prompter`.
    Workstation(MainForm &main, Prompter &prompter);
    ~Workstation() override;

    Session &session() { return session_; }
    DoseList &doseList() { return *doseList_; }
    ExposureCapture &capture() { return *capture_; }
    ImageViewer &viewer() { return *viewer_; }
    Browser &browser() { return *browser_; }
    ProjectionAssignment &assignment() { return *assignment_; }
    HeaderView &headerView() { return *header_; }
    TaskList &tasks() { return *tasks_; }

    // The send launchers: the progress dialog with the series, study or
    // patient job on what the operator chose, over the associations opened for
    // the command, then the lists brought up to date.
    void SendSeries(const SendSelection &s, SendConnections connections);
    void SendStudy(const SendSelection &s, SendConnections connections);
    // A patient send from the merge commands applies the assignment to the
    // dose list when its progress dialog closes with OK.
    // With the examination a merge took: its study's report holds those
    // exposures (and those reported with it before), and the send assigns those listed.
    void SendPatient(const SendSelection &s, SendConnections connections, DoseAssignment assignment = DoseAssignment::None,
                     const std::optional<ExaminationExposures> &examination = std::nullopt);
    // Where a send command given now goes: the partners in use, both for a
    // curative examination.
    SendTarget sendTarget() const;
    const PartnersInUse &partnersInUse() const { return partners_; }
    // A send-menu entry: level 0 series, 1 study, 2 patient, of the row the
    // right button selected.
    void sendMenuClick(int level, const QString &tag);
    // The receiver and serial-line indicators brought up to date (linkTimer).
    void checkLinks();
    // The poll: the patient, study and dose lists follow what changed in
    // the image database and the journal, unless a job, a load or a merge runs.
    void pollLists();
    const LinkMonitor &links() const { return links_; }

    // How the runner's progress dialog is shown (modal by default); tests drive it.
    std::function<void(class EditForm &)> runProgressDialog;
    std::function<void(class ExportForm &)> runExportDialog;
    // The import's file dialog: the chosen files (a DICOMDIR for a directory); empty when cancelled.
    std::function<QStringList(bool directory)> chooseImportFiles;

private:
    void attachExposure();
    // The dose list's model and selection in lvDosis, its menu, filter and exposure boxes.
    void attachDoseList();
    void attachViewerAndBrowser();
    // The header view and the task list, their models shown by the main window's lists.
    void attachHeaderAndTasks();
    void attachAssignment();
    void attachPartners();
    // Each command's action to its handler, once.
    void connectCommands();
    // The worklist dialog, modal; Apply sets the current patient.
    void openWorklist();
    bool undoneTasksAllowSend();
    // A job, given its input now, run by the progress dialog (prepare connects
    // to the dialog first); its outcome once the dialog has gone.
    JobOutcome runJob(JobKind kind, Job job, const std::function<void(class EditForm &)> &prepare = {});
    // The associations of a send command; the failure told to the operator.
    bool openConnections(SendConnections &connections);
    // The send job; true when it removed database entries.
    bool runSendJob(JobKind kind, const SendSelection &s, SendConnections connections,
                    DoseAssignment assignment = DoseAssignment::None,
                    const std::optional<ExaminationExposures> &examination = std::nullopt);
    // Import (files, or a DICOMDIR) and export of the viewer's images.
    void importImages(bool directory);
    void exportImages(ExportKind kind);
    // Executes the task list on the loaded images (the study update job).
    void mnuApplyTasks();

    MainForm &main_;
    Prompter &prompter_;
    Session session_; // before the subsystems, which hold references to it
    LinkMonitor links_;
    std::unique_ptr<DoseList> doseList_;
    std::unique_ptr<ExposureCapture> capture_;
    std::unique_ptr<TaskList> tasks_;
    std::unique_ptr<HeaderView> header_;
    std::unique_ptr<ImageViewer> viewer_;
    std::unique_ptr<Prompter> windowPrompter_; // the browser's message boxes over the window
    std::unique_ptr<Browser> browser_;
    std::unique_ptr<ListDeletion> deletion_;
    std::unique_ptr<ProjectionAssignment> assignment_;
    PartnersInUse partners_; // taken from the table with the send menus
    std::unique_ptr<ChangeWatch> imageWatch_, journalWatch_;
};
