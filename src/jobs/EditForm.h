#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <functional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class Session;

// The job the progress dialog runs. The numbers are the job codes the
// launchers and the logs have always used.
enum class JobKind : qint16 {
    SendSeries = 0,
    SendStudy = 1,
    SendPatient = 2,
    UpdateStudy = 3,
    DeleteAll = 4,
    DeleteStudy = 5,
    DeletePatient = 6,
    DeleteSeries = 7,
    ImportImages = 8,
    ImportDir = 9,
};
extern JobKind JobMode;
// Set by a job that removed database entries; read after the dialog closed.
extern bool EntriesRemoved;

// The small modal progress dialog of the long jobs. Each job runs once, from
// its timer, after the dialog is shown; OK becomes usable when it is done.
class EditForm : public QDialog {
    Q_OBJECT

public:
    using Job = std::function<void(EditForm &)>;

    // With the operator's session, the image load is marked busy while the job runs.
    explicit EditForm(QWidget *parent = nullptr, Session *session = nullptr);
    ~EditForm() override;

    // The jobs by kind, registered by the subsystems that own them.
    static void RegisterJob(JobKind kind, Job job);

    // Load: clears EntriesRemoved, sets the busy flags, sets the caption of
    // JobMode and arms the runner for that job.
    void Form_Load();

    void setCaption(const QString &caption, const QString &label);
    // Appends to the running log and keeps its end in view.
    void append(const QString &text);
    void setProgressMaximum(int maximum);
    void advance();
    // The job is finished: OK can be pressed.
    void enableOK();
    void cmdOK_Click();

    QLabel *lblProgress = nullptr;
    QPlainTextEdit *txtProgress = nullptr;
    QProgressBar *progressBar = nullptr;
    QPushButton *cmdOK = nullptr;
    // Runs the job of the kind Form_Load took, once, after the dialog is shown.
    QTimer *jobTimer = nullptr;

    // When the dialog goes: the associations of a send are released.
    std::function<void()> onUnload;

signals:
    // OK pressed after a job with an AssignmentMode: the dose list and the
    // image list are to be refreshed.
    void closedWithAssignment();

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    Session *session_ = nullptr;
    void unload();
    JobKind kind_ = JobKind::SendSeries;
    bool unloaded_ = false;
    int progress_ = 0;
    QElapsedTimer shown_;
};

// The caption of a job kind.
QString JobCaption(JobKind kind);
