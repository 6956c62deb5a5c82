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

// The small modal progress dialog of the long jobs. Each job runs once, from
// its timer, after the dialog is shown; OK becomes usable when it is done.
class EditForm : public QDialog {
    Q_OBJECT

public:
    using Job = std::function<void(EditForm &)>;

    // The job is the operator's command: its kind is fixed with the dialog.
    EditForm(Session &session, JobKind kind, QWidget *parent = nullptr);
    ~EditForm() override;

    // The jobs by kind, registered by the subsystems that own them.
    static void RegisterJob(JobKind kind, Job job);

    // Load: clears entriesRemoved, sets the busy flags, sets the caption of
    // the job's kind and arms the runner for that job.
    void Form_Load();

    JobKind kind() const { return kind_; }
    // Set by a job that removed database entries; read after the dialog closed.
    bool entriesRemoved() const { return entriesRemoved_; }
    void setEntriesRemoved(bool removed) { entriesRemoved_ = removed; }

    void setCaption(const QString &caption, const QString &label);
    // Appends to the running log and keeps its end in view.
    void append(const QString &text);
    void setProgressMaximum(int maximum);
    void advance();
    // The job is finished: OK can be pressed.
    void enableOK();
    void cmdOK_Click();

    // The job has finished: OK can be pressed.
    bool isDone() const;
    // What the job wrote into the running log.
    QString progressText() const;

    // When the dialog goes: the associations of a send are released.
    std::function<void()> onUnload;

signals:
    // OK pressed: a send that assigns exposures refreshes the dose list and
    // the image list.
    void closedWithOk();
    // A patient send is about to remove the patient: the listed exposures are
    // to be marked as used for him first.
    void assignListedExposures();

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    void unload();
    QLabel *lblProgress = nullptr;
    QPlainTextEdit *txtProgress = nullptr;
    QProgressBar *progressBar = nullptr;
    QPushButton *cmdOK = nullptr;
    // Runs the job of the kind Form_Load took, once, after the dialog is shown.
    QTimer *jobTimer = nullptr;
    Session &session_;
    JobKind kind_;
    bool entriesRemoved_ = false;
    bool unloaded_ = false;
    int progress_ = 0;
    QElapsedTimer shown_;
};

// The caption of a job kind.
QString JobCaption(JobKind kind);
