#pragma once

// The task list: header tasks collected in lvTasks from the header view, and
// rule sets, named task lists kept in tblRules and tblRuleKey.
#include "header/HeaderUpdateJob.h"
#include "store/Database.h"

#include <QObject>
#include <array>
#include <functional>

class QComboBox;
class Session;
class QLineEdit;
class QMenu;
class QTreeWidget;

// The rule-set tables. Names and sources lose their apostrophes, as rule sets always stored them.
struct RuleTask {
    QString level, source, task, taskId, target; // target empty for "Change entry"
};
DbResult RuleSetNames(Database &db);
DbResult RuleSetTasks(Database &db, const QString &name);
// Whether tblRules holds tasks of that name.
bool RuleSetExists(Database &db, const QString &name, DbResult *result = nullptr);
// Stores the tasks and the name, all or nothing.
DbResult SaveRuleSet(Database &db, const QString &name, const QList<RuleTask> &tasks);

// The rows of lvTasks as the header-update job takes them.
QList<HeaderTask> TasksFromList(const QTreeWidget *lvTasks);

struct TaskControls {
    QTreeWidget *lvTasks = nullptr;  // "Level", "Source", "Value", "Task", "Target"
    QTreeWidget *lvHeader = nullptr; // "Value", "DICOM Tag", "DICOM Description"
    QComboBox *cboLevel = nullptr;
    QComboBox *cboTask = nullptr;
    QComboBox *cboTarget = nullptr;
    QLineEdit *txtSelected = nullptr;
    QLineEdit *txtNeu = nullptr;
    std::array<QLineEdit *, 6> exposureBoxes{}; // kV, mAs, thickness, compression, dose, other
    QMenu *PopUpRules = nullptr;
    QWidget *window = nullptr;
    std::function<int()> currentImageIndex; // 1-based, in the viewer
    std::function<int()> viewerImageCount;
    std::function<QString()> loadedLevel; // "Studie" or "Serie"
    // A line of text from the operator; false when cancelled.
    std::function<bool(const QString &prompt, QString *text)> askText;
};

class TaskList : public QObject {
    Q_OBJECT
public:
    TaskList(const TaskControls &controls, Session &session, QObject *parent = nullptr);

    // cboLevel and cboTask, once at start.
    void FillTaskCombos();
    // One PopUpRules entry per rule set, "No entries" without one.
    void RebuildRuleMenu();
    void cboTask_Click();
    // "Add Task": a task per exposure value, for the attribute of its tag where
    // the header view lists it (KVP kV, Exposure mAs, Body Part Thickness,
    // Compression Force, Entrance Dose); an empty box gives none.
    void AddTask();
    void DeleteTask();
    void ClearEntries();
    // "Save as ...": the patient, study and series tasks as a rule set.
    void SaveAs();
    // A rule set's tasks into the list, asking for the values of its change
    // rules; a cancelled prompt adds none of them.
    void ApplyRuleSet(const QString &name);

signals:
    // The operator said yes to executing the tasks a rule set added.
    void applyTasksRequested();

private:
    TaskControls c_;
    Session &session_;
};
