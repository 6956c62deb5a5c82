#pragma once

// The task list: header tasks collected from the header view, and rule sets,
// named task lists kept in tblRules and tblRuleKey. The tasks are a model the
// main window's list shows; the task entry above it is plain data here.
#include "core/ExposureUnits.h"
#include "header/HeaderUpdateJob.h"
#include "store/Database.h"

#include <QObject>
#include <QStandardItemModel>
#include <functional>

class HeaderView;
class Prompter;
class QWidget;
class Session;

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

// The task entry: the attribute chosen in the header view and how a task treats it.
struct TaskEntry {
    QString selected;          // "gggg,eeee - description"
    QString value;             // its value, or "New UID"
    bool valueEditable = true; // false for a UID and for Move and Switch
    int kind = 0;              // index in TaskKinds()
    bool kindEditable = true;  // false for a UID: a new one is made by "Change entry"
    int level = 3;             // index in TaskLevels(); "Image" at start
    QStringList targets;       // Move and Switch: the filter's other attributes
};
// "Patient", "Study", "Series", "Image".
const QStringList &TaskLevels();
// "Change entry", "Move entry", "Switch entry".
const QStringList &TaskKinds();

// What the task list reads from the rest of the workstation when it makes tasks.
struct TaskSources {
    std::function<int()> currentImageIndex; // 1-based, in the viewer
    std::function<int()> viewerImageCount;
    std::function<QString()> loadedLevel;   // "Studie" or "Serie"
    std::function<ExposureValues()> exposure; // the exposure boxes: kV, mAs, thickness, compression, dose, other
    // A line of text from the operator; false when cancelled.
    std::function<bool(const QString &prompt, QString *text)> askText;
    QWidget *promptParent = nullptr; // of the message boxes
};

class TaskList : public QObject {
    Q_OBJECT
public:
    enum Column { LevelColumn, SourceColumn, ValueColumn, TaskColumn, TargetColumn };

    TaskList(Session &session, const HeaderView &header, TaskSources sources, Prompter &prompter, QObject *parent = nullptr);

    // "Level", "Source", "Value", "Task", "Target"; the task kind in Qt::UserRole of the level,
    // the whole source ("0018,0060 - KVP") in Qt::UserRole of the source, shown by its description.
    QStandardItemModel *model() { return &model_; }
    int taskCount() const { return model_.rowCount(); }
    // The rows as the header-update job takes them.
    QList<HeaderTask> tasks() const;
    void addTask(const HeaderTask &task);

    const TaskEntry &entry() const { return entry_; }
    // A click on a header-view row: the attribute into the task entry.
    void selectHeaderRow(int row);
    // The operator chose a task kind (cboTask_Click) or a level, or typed into the entry.
    void setKind(int kind);
    void setLevel(int level) { entry_.level = level; }
    void setSelected(const QString &text) { entry_.selected = text; }
    void setValue(const QString &text) { entry_.value = text; }
    void clearEntry();

    // The stored rule sets' names, for the rule menu; ruleSetsChanged tells them.
    void RebuildRuleMenu();
    // "Add Task": a task per exposure value, for the attribute of its tag where
    // the header view lists it (KVP kV, Exposure mAs, Body Part Thickness,
    // Compression Force, Entrance Dose); an empty box gives none.
    void AddTask();
    // Removes the task of the row; -1 removes none.
    void DeleteTask(int row);
    void ClearEntries() { model_.removeRows(0, model_.rowCount()); }
    // "Save as ...": the patient, study and series tasks as a rule set.
    void SaveAs();
    // A rule set's tasks into the list, asking for the values of its change
    // rules; a cancelled prompt adds none of them.
    void ApplyRuleSet(const QString &name);

signals:
    // The operator said yes to executing the tasks a rule set added.
    void applyTasksRequested();
    // The task entry changed other than by the operator's typing.
    void entryChanged();
    // The rule sets stored, by name; none: the menu says "No entries".
    void ruleSetsChanged(const QStringList &names);

private:
    void appendRow(const QString &level, const QVariant &kind, const QString &source, const QString &value, const QString &task,
                   const QString &target);
    Session &session_;
    const HeaderView &header_;
    TaskSources s_;
    Prompter &prompter_;
    QStandardItemModel model_;
    TaskEntry entry_;
};
