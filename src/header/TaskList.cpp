#include "header/TaskList.h"

#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "dictionary/DictionaryStore.h"
#include "header/HeaderView.h"
#include "store/DatabasePaths.h"
#include "store/Session.h"
#include "toolkit/Tags.h"
#include "ui/Prompts.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QSqlRecord>

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

const QStringList &TaskLevels()
{
    static const QStringList levels{QStringLiteral("Patient"), QStringLiteral("Study"), QStringLiteral("Series"), QStringLiteral("Image")};
    return levels;
}

const QStringList &TaskKinds()
{
    static const QStringList kinds{QStringLiteral("Change entry"), QStringLiteral("Move entry"), QStringLiteral("Switch entry")};
    return kinds;
}

TaskList::TaskList(Session &session, const HeaderView &header, TaskSources sources, Prompter &prompter, QObject *parent)
    : QObject(parent)
    , session_(session)
    , header_(header)
    , s_(std::move(sources))
    , prompter_(prompter)
{
    model_.setHorizontalHeaderLabels({QStringLiteral("Level"), QStringLiteral("Source"), QStringLiteral("Value"), QStringLiteral("Task"),
                                      QStringLiteral("Target")});
    if (!s_.askText)
        s_.askText = [this](const QString &prompt, QString *text) {
            bool ok = false;
            *text = QInputDialog::getText(s_.promptParent, DefaultPromptTitle, prompt, QLineEdit::Normal, QString(), &ok);
            return ok;
        };
}

void TaskList::appendRow(const QString &level, const QVariant &kind, const QString &source, const QString &value, const QString &task,
                         const QString &target)
{
    auto *first = new QStandardItem(level);
    first->setData(kind, Qt::UserRole);
    // Shown by its description, which the list has room for ("0018,11A0 -
    // Body Part Thickness" wrapped and was cut); the whole source is the data.
    auto *from = new QStandardItem(source.contains(QLatin1String(" - ")) ? source.section(QStringLiteral(" - "), 1) : source);
    from->setData(source, Qt::UserRole);
    from->setToolTip(source);
    model_.appendRow({first, from, new QStandardItem(value), new QStandardItem(task), new QStandardItem(target)});
}

void TaskList::addTask(const HeaderTask &t) { appendRow(t.level, t.kind, t.source, t.value, TaskKinds().value(t.kind), t.target); }

QList<HeaderTask> TaskList::tasks() const
{
    QList<HeaderTask> out;
    for (int i = 0; i < model_.rowCount(); ++i) {
        auto text = [&](int column) { return model_.index(i, column).data().toString(); };
        bool ok = false;
        const int kind = model_.index(i, LevelColumn).data(Qt::UserRole).toInt(&ok);
        out.append({text(LevelColumn), ok ? kind : -1, model_.index(i, SourceColumn).data(Qt::UserRole).toString(), text(ValueColumn),
                    text(TargetColumn)});
    }
    return out;
}

void TaskList::selectHeaderRow(int row)
{
    if (row < 0 || row >= header_.rowCount())
        return;
    const HeaderRow h = header_.row(row);
    entry_.selected = h.tag + QStringLiteral(" - ") + h.description;
    entry_.value = h.value;
    // A new UID is made by the job; the operator never types one.
    const bool uid = h.tag == Tags::SOPInstanceUID.text() || h.tag == Tags::StudyInstanceUID.text() || h.tag == Tags::SeriesInstanceUID.text();
    if (uid) {
        entry_.value = QStringLiteral("New UID");
        entry_.kind = 0;
    }
    entry_.valueEditable = !uid;
    entry_.kindEditable = !uid;
    if (entry_.kind == 1 || entry_.kind == 2)
        setKind(entry_.kind);
    emit entryChanged();
}

void TaskList::setKind(int kind)
{
    entry_.kind = kind;
    entry_.targets.clear();
    if (kind > 0) {
        entry_.valueEditable = false;
        const QString source = entry_.selected.left(9);
        const QMap<QString, QString> &tags = session_.activeFilterTags();
        for (auto it = tags.cbegin(); it != tags.cend(); ++it)
            if (it.key() != source)
                entry_.targets << it.key() + QStringLiteral(" - ") + it.value();
    }
    emit entryChanged();
}

void TaskList::clearEntry()
{
    entry_.selected.clear();
    entry_.value.clear();
    emit entryChanged();
}

void TaskList::RebuildRuleMenu()
{
    const DbResult r = InDefinitions([](Database &db) { return RuleSetNames(db); });
    if (!r.ok())
        LogFailure(r, QStringLiteral("MainForm LoadRules"));
    QStringList names;
    for (const QSqlRecord &row : r.rows)
        names << row.value(0).toString();
    emit ruleSetsChanged(names);
}

void TaskList::AddTask()
{
    ClearEntries();
    QString level = TaskLevels().value(entry_.level);
    if (level == QLatin1String("Image"))
        level += QStringLiteral(" #") + QString::number(s_.currentImageIndex ? s_.currentImageIndex() : 0);
    if (level == QLatin1String("Series") && s_.loadedLevel && s_.loadedLevel() == QLatin1String("Studie")) {
        prompter_.information(s_.promptParent, QStringLiteral("Cannot create series task on study level."), DefaultPromptTitle);
        return;
    }
    // Each exposure value goes to its own attribute, found by its tag: the
    // header view's order follows its sort and the filter, not the boxes. The
    // values are written as stamping writes them: in the attribute's unit and
    // DICOM's number form, whatever the unit sent.
    const ExposureValues boxes = s_.exposure ? s_.exposure() : ExposureValues();
    const HeaderExposureValues converted = ExposureValuesForHeader(Settings.XrayComm, boxes, QString());
    if (!converted.notNumbers.isEmpty())
        WriteErrorLog(ErrorCode::TypeMismatch, QStringLiteral("Not a number, no task: ") + converted.notNumbers.join(QStringLiteral(", ")),
                      QStringLiteral("MainForm cmdAddTask_Click"));
    for (const auto &[tag, member] : kExposureTags) {
        const int row = header_.rowOf(QLatin1String(tag));
        const QString value = converted.*member;
        if (row < 0 || value.isEmpty())
            continue;
        const HeaderRow h = header_.row(row);
        appendRow(level, entry_.kind, h.tag + QStringLiteral(" - ") + h.description, h.value, TaskKinds().value(entry_.kind), value);
    }
}

void TaskList::DeleteTask(int row)
{
    if (row >= 0 && row < model_.rowCount())
        model_.removeRow(row);
}

void TaskList::SaveAs()
{
    QString name;
    DatabaseSession session(DefinitionsDatabase);
    for (;;) {
        if (!s_.askText(QStringLiteral("Please enter new name:"), &name) || name.trimmed().isEmpty())
            return;
        name = withoutApostrophes(name);
        DbResult r;
        if (!RuleSetExists(DefinitionsDatabase, name, &r) && r.ok())
            break;
        if (!r.ok()) {
            LogFailure(r, QStringLiteral("MainForm PopUpTaskListSub_Click"));
            return;
        }
        prompter_.information(s_.promptParent, QStringLiteral("Name already exists!"), DefaultPromptTitle);
    }
    QList<RuleTask> rules;
    for (int i = 0; i < model_.rowCount(); ++i) {
        auto text = [&](int column) { return model_.index(i, column).data().toString(); };
        if (!text(LevelColumn).startsWith(QLatin1String("Image")))
            rules.append({text(LevelColumn), model_.index(i, SourceColumn).data(Qt::UserRole).toString(), text(TaskColumn), model_.index(i, LevelColumn).data(Qt::UserRole).toString(),
                          text(TargetColumn)});
    }
    if (rules.isEmpty()) {
        prompter_.information(s_.promptParent, QStringLiteral("Tasks not saved.\nNo tasks with level \"Patient\", \"Study\" or \"Series\"."),
                              DefaultPromptTitle);
        return;
    }
    const DbResult r = SaveRuleSet(DefinitionsDatabase, name, rules);
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("MainForm PopUpTaskListSub_Click"));
        prompter_.critical(s_.promptParent, QStringLiteral("Tasks not saved: ") + r.text, DefaultPromptTitle);
        return;
    }
    prompter_.information(s_.promptParent, QStringLiteral("Task successfully saved!"), DefaultPromptTitle);
    RebuildRuleMenu();
}

void TaskList::ApplyRuleSet(const QString &name)
{
    if (!s_.viewerImageCount || s_.viewerImageCount() == 0)
        return;
    const DbResult r = InDefinitions([&](Database &db) { return RuleSetTasks(db, name); });
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
        else if (target.isEmpty() && !s_.askText(QStringLiteral("Enter new value (%1):").arg(source), &target))
            return;
        rows.append({rule.value(0).toString(), rule.value(3).toString(), source, rule.value(2).toString(), target});
    }
    for (const QStringList &row : rows)
        appendRow(row[0], row[1], row[2], QString(), row[3], row[4]);
    if (prompter_.question(s_.promptParent, QStringLiteral("Execute tasks now?"), DefaultPromptTitle))
        emit applyTasksRequested();
}
