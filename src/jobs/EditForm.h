#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <functional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

// The job the progress dialog runs: 0 series send, 1 study send, 2 patient
// send, 3 study update, 4 delete everything, 5 delete study, 6 delete patient,
// 7 delete series, 8 import images, 9 import a DICOM directory.
extern qint16 JobMode;
// Set by a job that removed database entries; read after the dialog closed.
extern bool EntriesRemoved;

// The small modal progress dialog of the long jobs. Each job runs once, from
// its timer, after the dialog is shown; OK becomes usable when it is done.
class EditForm : public QDialog {
    Q_OBJECT

public:
    using Job = std::function<void(EditForm &)>;

    explicit EditForm(QWidget *parent = nullptr);
    ~EditForm() override;

    // The jobs by code, registered by the subsystems that own them.
    static void RegisterJob(qint16 mode, Job job);

    // Load: clears EntriesRemoved, sets the busy flags, sets the caption of
    // JobMode and arms its timer.
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
    QProgressBar *pb1 = nullptr;
    QPushButton *cmdOK = nullptr;
    QTimer *SendSeriesTimer = nullptr;
    QTimer *SendStudieTimer = nullptr;
    QTimer *SendPatientTimer = nullptr;
    QTimer *UpdateTimer = nullptr;
    QTimer *DeleteAllTimer = nullptr;
    QTimer *DeleteTimer = nullptr;
    QTimer *ImportTimer = nullptr;
    QTimer *ImportDirTimer = nullptr;

    // After OK with an AssignmentMode: the dose list and image list refresh.
    std::function<void()> RefreshDosisList;
    std::function<void()> RefreshImageList;
    // When the dialog goes: the associations of a send are released.
    std::function<void()> onUnload;

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    QTimer *timerFor(qint16 mode) const;
    void unload();
    bool unloaded_ = false;
    int progress_ = 0;
    QElapsedTimer shown_;
};

// The caption of a job code ("" for codes that start no job).
QString JobCaption(qint16 mode);
