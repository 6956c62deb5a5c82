#pragma once

#include "network/Worklist.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QDate>
#include <functional>
#include <memory>

class QLabel;
class Prompter;
class QProgressBar;
class QPushButton;
class QTreeWidget;

// The worklist dialog: today's scheduled procedure steps from the worklist
// provider; Apply hands the chosen patient's name to the main window.
class WorklistForm : public QDialog {
    Q_OBJECT

public:
    explicit WorklistForm(Prompter &prompter, QWidget *parent = nullptr);

    // The query the dialog runs; tests set its clock and time-out.
    WorklistQuery query;
    // Apply: "First Last" of the chosen row and her birth date (invalid when
    // the worklist gave none). The main window shows the name as the current
    // patient and marks "New Examination"; the birth date picks the dose's age table.
    std::function<void(const QString &patientName, const QDate &birthDate)> patientChosen;

    // Column widths in proportion to the list's width.
    void Form_Load();
    // Starts the query on a worker thread; the window keeps working and the
    // list fills when the answers come (the messages when it failed or is
    // empty). One query at a time: a Refresh while one runs does nothing.
    void Refresh();
    bool isQuerying() const { return cancel_ != nullptr; }
    // Ends the running query; the list stays empty, without a message.
    void cancelQuery();
    // Fills lvWorklist from the answers.
    void SaveData(const QList<ToolkitDataSet> &answers);
    // Apply, also a double click on a row.
    void cmdOK_Click();

    ~WorklistForm() override;

protected:
    // The first showing loads and refreshes. Later activations do not:
    // closing a message box reactivates the dialog, which would query again.
    void showEvent(QShowEvent *event) override;
    // Closing the dialog ends its query.
    void done(int result) override;

private:
    void queryFinished();
    Prompter &prompter_;
    QTreeWidget *lvWorklist = nullptr;
    QPushButton *cmdRefresh = nullptr;
    QPushButton *cmdOK = nullptr; // "Apply"
    QPushButton *cmdCancel = nullptr;
    // Shown while a query runs: what it asks, a busy bar, and its Cancel.
    QLabel *lblQuery = nullptr;
    QProgressBar *queryBusy = nullptr;
    QPushButton *cmdCancelQuery = nullptr;
    void showQuery(const QString &text, bool running);

    bool loaded_ = false;
    QFutureWatcher<WorklistAnswers> watcher_;
    // Set while a query runs; shared with its worker, which may outlive the dialog.
    std::shared_ptr<ToolkitCancel> cancel_;
};
