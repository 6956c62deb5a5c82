#pragma once

#include "network/Worklist.h"

#include <QDialog>
#include <functional>

class QPushButton;
class QTreeWidget;

// The worklist dialog: today's scheduled procedure steps from the worklist
// provider; Apply hands the chosen patient's name to the main window.
class WorklistForm : public QDialog {
    Q_OBJECT

public:
    explicit WorklistForm(QWidget *parent = nullptr);

    QTreeWidget *lvWorklist = nullptr;
    QPushButton *cmdRefresh = nullptr;
    QPushButton *cmdOK = nullptr; // "Apply"
    QPushButton *cmdCancel = nullptr;

    // The query the dialog runs; tests set its clock and time-out.
    WorklistQuery query;
    // Apply: "First Last" of the chosen row. The main window shows it as the
    // current patient and marks "New Examination".
    std::function<void(const QString &patientName)> patientChosen;

    // Column widths in proportion to the list's width.
    void Form_Load();
    // Runs the query and fills the list; the messages when it failed or is empty.
    void Refresh();
    // Fills lvWorklist from the answers.
    void SaveData(const QList<ToolkitDataSet> &answers);
    // Apply, also a double click on a row.
    void cmdOK_Click();

protected:
    // The first showing loads and refreshes. Later activations do not:
    // closing a message box reactivates the dialog, which would query again.
    void showEvent(QShowEvent *event) override;

private:
    bool loaded_ = false;
    bool querying_ = false;
};
