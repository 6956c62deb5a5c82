#pragma once

#include "jobs/Job.h"

#include <QDialog>
#include <QElapsedTimer>
#include <functional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class Session;

// The runner of the long jobs: the small modal progress dialog. It is given
// one job with the command, runs it once from its timer after the dialog is
// shown, shows what the job tells and lets window events run between its
// items (the one place that does for jobs), keeps the outcome and hands it
// back through jobDone while still open; OK becomes usable when it is done.
class EditForm : public QDialog, private JobProgress {
    Q_OBJECT

public:
    EditForm(Session &session, JobKind kind, Job job, QWidget *parent = nullptr);
    ~EditForm() override;

    // Load: sets the busy flags, sets the caption of the job's kind and arms
    // the runner.
    void Form_Load();

    JobKind kind() const { return kind_; }
    // What the job returned; empty until it is done.
    const JobOutcome &outcome() const { return outcome_; }
    bool entriesRemoved() const { return outcome_.entriesRemoved; }

    void cmdOK_Click();

    // The job has finished: OK can be pressed.
    bool isDone() const;
    // What the job wrote into the running log.
    QString progressText() const;

    // When the dialog goes: the associations of a send are released.
    std::function<void()> onUnload;

signals:
    // The job returned, the dialog is still open and OK not yet usable.
    void jobDone(const JobOutcome &outcome);
    // OK pressed: a send that assigns exposures refreshes the dose list and
    // the image list.
    void closedWithOk();

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    void runJob();
    // JobProgress, for the job.
    void setCaption(const QString &caption, const QString &label) override;
    void append(const QString &text) override;
    void setMaximum(int maximum) override;
    void advance() override;
    void idle() override;
    void enableOK();
    void unload();
    QLabel *lblProgress = nullptr;
    QPlainTextEdit *txtProgress = nullptr;
    QProgressBar *progressBar = nullptr;
    QPushButton *cmdOK = nullptr;
    // Runs the job once, after the dialog is shown.
    QTimer *jobTimer = nullptr;
    Session &session_;
    JobKind kind_;
    Job job_;
    JobOutcome outcome_;
    bool unloaded_ = false;
    int progress_ = 0;
    QElapsedTimer shown_;
};
