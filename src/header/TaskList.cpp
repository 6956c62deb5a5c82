#include "header/TaskList.h"

#include "core/ErrorLog.h"
#include "core/ExposureUnits.h"
#include "core/Settings.h"
#include "store/Session.h"
#include "store/DatabasePaths.h"
#include "ui/Prompts.h"

#include <QComboBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QSqlRecord>
#include <QTreeWidget>

namespace {

const QString kGenerateUid = QStringLiteral("generate new UID");
const QStringList kUidTags{QStringLiteral("0008,0018"), QStringLiteral("0020,000E"), QStringLiteral("0020,000D")};

// The attribute each exposure value fills; the sixth box, the projection, fills none.
struct ExposureTag {
    const char *tag;
    QString HeaderExposureValues::*value;
};
const ExposureTag kExposureTags[] = {
    {"0018,0060", &HeaderExposureValues::kvp},
    {"0018,1152", &HeaderExposureValues::mas},
    {"0018,11A0", &HeaderExposureValues::thickness},
    {"0018,11A2", &HeaderExposureValues::compression},
    {"0040,8302", &HeaderExposureValues::dose},
};

QString withoutApostrophes(QString text) { return text.remove(QLatin1Char('\'')); }

} // namespace

DbResult RuleSetNames(Database &db) { return Execute(db, QStringLiteral("SELECT fKeyName FROM tblRuleKey ORDER BY fKeyName")); }

DbResult RuleSetTasks(Database &db, const QString &name)
{
    return Execute(db, QStringLiteral("SELECT fLevel, fSource, fTask, fTaskID, fTarget FROM tblRules WHERE fName = ? ORDER BY rowid"), {name});
}

bool RuleSetExists(Database &db, const QString &name, DbResult *result)
{
    const DbResult r = Execute(db, QStringLiteral("SELECT COUNT(*) FROM tblRules WHERE fName = ?"), {name});
    if (result)
        *result = r;
    return r.ok() && r.rows.value(0).value(0).toInt() != 0;
}

DbResult SaveRuleSet(Database &db, const QString &name, const QList<RuleTask> &tasks)
{
    DbResult r = Execute(db, QStringLiteral("BEGIN IMMEDIATE"));
    if (!r.ok())
        return r;
    for (const RuleTask &t : tasks) {
        // A change rule has no target: its value is asked for when the set is applied.
        r = Execute(db, QStringLiteral("INSERT INTO tblRules (fLevel, fSource, fTask, fTaskID, fTarget, fName) VALUES (?, ?, ?, ?, ?, ?)"),
                    {t.level, withoutApostrophes(t.source), t.task, t.taskId,
                     t.taskId == QLatin1String("0") ? QVariant() : QVariant(withoutApostrophes(t.target)), name});
        if (!r.ok())
            break;
    }
    if (r.ok())
        r = Execute(db, QStringLiteral("INSERT INTO tblRuleKey (fKeyName) VALUES (?)"), {name});
    const DbResult end = Execute(db, r.ok() ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK"));
    return r.ok() ? end : r;
}

QList<HeaderTask> TasksFromList(const QTreeWidget *lvTasks)
{
    QList<HeaderTask> tasks;
    for (int i = 0; i < lvTasks->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = lvTasks->topLevelItem(i);
        bool ok = false;
        const int kind = row->data(0, Qt::UserRole).toInt(&ok);
        tasks.append({row->text(0), ok ? kind : -1, row->text(1), row->text(2), row->text(4)});
    }
    return tasks;
}

TaskList::TaskList(const TaskControls &controls, Session &session, QObject *parent)
    : QObject(parent)
    , c_(controls)
    , session_(session)
{
    if (!c_.askText)
        c_.askText = [this](const QString &prompt, QString *text) {
            bool ok = false;
            *text = QInputDialog::getText(c_.window, DefaultPromptTitle, prompt, QLineEdit::Normal, QString(), &ok);
            return ok;
        };
    connect(c_.cboTask, &QComboBox::activated, this, &TaskList::cboTask_Click);
}

void TaskList::FillTaskCombos()
{
    c_.cboLevel->clear();
    c_.cboLevel->addItems({QStringLiteral("Patient"), QStringLiteral("Study"), QStringLiteral("Series"), QStringLiteral("Image")});
    c_.cboLevel->setCurrentIndex(3);
    c_.cboTask->clear();
    c_.cboTask->addItems({QStringLiteral("Change entry"), QStringLiteral("Move entry"), QStringLiteral("Switch entry")});
    c_.cboTask->setCurrentIndex(0);
}

void TaskList::RebuildRuleMenu()
{
    OpenDefinitionsDatabase();
    const DbResult r = RuleSetNames(DefinitionsDatabase);
    CloseDefinitionsDatabase();
    c_.PopUpRules->clear();
    if (!r.ok())
        LogFailure(r, QStringLiteral("MainForm LoadRules"));
    for (const QSqlRecord &row : r.rows) {
        const QString name = row.value(0).toString();
        QAction *entry = c_.PopUpRules->addAction(name, this, [this, name] { ApplyRuleSet(name); });
        entry->setObjectName(QStringLiteral("PopUpRules"));
    }
    if (c_.PopUpRules->isEmpty())
        c_.PopUpRules->addAction(QStringLiteral("No entries"))->setEnabled(false);
}

void TaskList::cboTask_Click()
{
    c_.cboTarget->clear();
    if (c_.cboTask->currentIndex() <= 0)
        return;
    c_.txtNeu->setEnabled(false);
    const QString source = c_.txtSelected->text().left(9);
    const QMap<QString, QString> &tags = session_.activeFilterTags();
    for (auto it = tags.cbegin(); it != tags.cend(); ++it)
        if (it.key() != source)
            c_.cboTarget->addItem(it.key() + QStringLiteral(" - ") + it.value());
}

void TaskList::AddTask()
{
    c_.lvTasks->clear();
    QString level = c_.cboLevel->currentText();
    if (level == QLatin1String("Image"))
        level += QStringLiteral(" #") + QString::number(c_.currentImageIndex ? c_.currentImageIndex() : 0);
    if (level == QLatin1String("Series") && c_.loadedLevel && c_.loadedLevel() == QLatin1String("Studie")) {
        Prompts().information(c_.window, QStringLiteral("Cannot create series task on study level."), DefaultPromptTitle);
        return;
    }
    // Each exposure value goes to its own attribute, found by its tag: the
    // header view's order follows its sort and the filter, not the boxes. The
    // values are written as stamping writes them: in the attribute's unit and
    // DICOM's number form, whatever the unit sent.
    const ExposureValues boxes{c_.exposureBoxes[0]->text(), c_.exposureBoxes[1]->text(), c_.exposureBoxes[2]->text(),
                               c_.exposureBoxes[3]->text(), c_.exposureBoxes[4]->text(), c_.exposureBoxes[5]->text()};
    const HeaderExposureValues converted = ExposureValuesForHeader(Settings.XrayComm, boxes, QString());
    if (!converted.notNumbers.isEmpty())
        WriteErrorLog(13, QStringLiteral("Not a number, no task: ") + converted.notNumbers.join(QStringLiteral(", ")),
                      QStringLiteral("MainForm cmdAddTask_Click"));
    for (const auto &[tag, member] : kExposureTags) {
        const QList<QTreeWidgetItem *> found = c_.lvHeader->findItems(QLatin1String(tag), Qt::MatchFixedString, 1);
        const QString value = converted.*member;
        if (found.isEmpty() || value.isEmpty())
            continue;
        const QTreeWidgetItem *header = found.first();
        auto *task = new QTreeWidgetItem(c_.lvTasks);
        task->setText(0, level);
        task->setData(0, Qt::UserRole, c_.cboTask->currentIndex());
        task->setText(1, header->text(1) + QStringLiteral(" - ") + header->text(2));
        task->setText(2, header->text(0));
        task->setText(3, c_.cboTask->currentText());
        task->setText(4, value);
    }
}

void TaskList::DeleteTask()
{
    if (QTreeWidgetItem *row = c_.lvTasks->currentItem(); row && row->isSelected())
        delete row;
    c_.lvTasks->clearSelection();
}

void TaskList::ClearEntries() { c_.lvTasks->clear(); }

void TaskList::SaveAs()
{
    QString name;
    OpenDefinitionsDatabase();
    for (;;) {
        if (!c_.askText(QStringLiteral("Please enter new name:"), &name) || name.trimmed().isEmpty()) {
            CloseDefinitionsDatabase();
            return;
        }
        name = withoutApostrophes(name);
        DbResult r;
        if (!RuleSetExists(DefinitionsDatabase, name, &r) && r.ok())
            break;
        if (!r.ok()) {
            LogFailure(r, QStringLiteral("MainForm PopUpTaskListSub_Click"));
            CloseDefinitionsDatabase();
            return;
        }
        Prompts().information(c_.window, QStringLiteral("Name already exists!"), DefaultPromptTitle);
    }
    QList<RuleTask> tasks;
    for (int i = 0; i < c_.lvTasks->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = c_.lvTasks->topLevelItem(i);
        if (!row->text(0).startsWith(QLatin1String("Image")))
            tasks.append({row->text(0), row->text(1), row->text(3), row->data(0, Qt::UserRole).toString(), row->text(4)});
    }
    if (tasks.isEmpty()) {
        CloseDefinitionsDatabase();
        Prompts().information(c_.window, QStringLiteral("Tasks not saved.\nNo tasks with level \"Patient\", \"Study\" or \"Series\"."),
                              DefaultPromptTitle);
        return;
    }
    const DbResult r = SaveRuleSet(DefinitionsDatabase, name, tasks);
    CloseDefinitionsDatabase();
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("MainForm PopUpTaskListSub_Click"));
        Prompts().critical(c_.window, QStringLiteral("Tasks not saved: ") + r.text, DefaultPromptTitle);
        return;
    }
    Prompts().information(c_.window, QStringLiteral("Task successfully saved!"), DefaultPromptTitle);
    RebuildRuleMenu();
}

void TaskList::ApplyRuleSet(const QString &name)
{
    if (!c_.viewerImageCount || c_.viewerImageCount() == 0)
        return;
    OpenDefinitionsDatabase();
    const DbResult r = RuleSetTasks(DefinitionsDatabase, name);
    CloseDefinitionsDatabase();
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("MainForm PopUpRules_Click"));
        return;
    }
    // All values first: a cancelled prompt leaves the list as it was.
    QList<QStringList> rows;
    for (const QSqlRecord &rule : r.rows) {
        const QString source = rule.value(1).toString();
        QString target = rule.value(4).toString();
        if (kUidTags.contains(source.left(9)))
            target = kGenerateUid;
        else if (target.isEmpty() && !c_.askText(QStringLiteral("Enter new value (%1):").arg(source), &target))
            return;
        rows.append({rule.value(0).toString(), rule.value(3).toString(), source, rule.value(2).toString(), target});
    }
    for (const QStringList &row : rows) {
        auto *task = new QTreeWidgetItem(c_.lvTasks);
        task->setText(0, row[0]);
        task->setData(0, Qt::UserRole, row[1]);
        task->setText(1, row[2]);
        task->setText(3, row[3]);
        task->setText(4, row[4]);
    }
    if (Prompts().question(c_.window, QStringLiteral("Execute tasks now?"), DefaultPromptTitle))
        emit applyTasksRequested();
}
