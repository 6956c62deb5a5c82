#include "dictionary/DictionaryForms.h"

#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "dictionary/DictionaryStore.h"
#include "ui/Prompts.h"
#include "ui/Widgets.h"

#include <QCheckBox>
#include <QModelIndex>
#include <QComboBox>
#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlRecord>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// A row of buttons: `left` at its start, `right` at its end.
QHBoxLayout *buttonRow(std::initializer_list<QPushButton *> left, std::initializer_list<QPushButton *> right)
{
    auto *row = new QHBoxLayout;
    for (QPushButton *b : left)
        row->addWidget(b);
    row->addStretch();
    for (QPushButton *b : right)
        row->addWidget(b);
    return row;
}

QTreeWidget *list(QWidget *parent, const char *name, const QStringList &headers)
{
    auto *l = new QTreeWidget(parent);
    l->setObjectName(QLatin1String(name));
    l->setRootIsDecorated(false);
    l->setHeaderLabels(headers);
    // The longest attribute descriptions widen the dialog rather than lose their end.
    FitColumnsToContents(l, true);
    return l;
}

// Index in the row's tag, then the texts.
void fillRows(QTreeWidget *target, const DbResult &r, int firstText)
{
    target->clear();
    for (const QSqlRecord &rec : r.rows) {
        auto *item = new QTreeWidgetItem(target);
        item->setData(0, Qt::UserRole, rec.value(0));
        for (int i = 1; i < rec.count(); ++i)
            item->setText(firstText + i - 1, rec.value(i).toString());
    }
}

} // namespace

// --- "Add new filter" ---------------------------------------------------------

InputBoxForm::InputBoxForm(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("InputBoxForm"));
    setWindowTitle(QStringLiteral("Add new filter"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("max. 2 chars (i.e. CT, MR or CR)"), this));
    txtValue = NamedLineEdit(this, QStringLiteral("txtValue"));
    layout->addWidget(txtValue);
    QPushButton *ok = NamedButton(this, QStringLiteral("cmdOK"), QStringLiteral("OK"));
    QPushButton *cancel = NamedButton(this, QStringLiteral("cmdCancel"), QStringLiteral("Cancel"));
    ok->setDefault(true);
    layout->addLayout(buttonRow({}, {ok, cancel}));
    connect(ok, &QPushButton::clicked, this, [this] { cancelled_ = false; hide(); done(Accepted); });
    connect(txtValue, &QLineEdit::returnPressed, ok, &QPushButton::click);
    connect(cancel, &QPushButton::clicked, this, [this] { cancelled_ = true; hide(); done(Rejected); });
}

void InputBoxForm::setDefault(const QString &text) { txtValue->setText(text); }

QString InputBoxForm::showBox()
{
    cancelled_ = true;
    txtValue->selectAll();
    exec();
    return txtValue->text();
}

// --- "Add DicomTag ..." ---------------------------------------------------------

AddTagForm::AddTagForm(const QString &filter, QWidget *parent)
    : QDialog(parent)
    , filter_(filter)
{
    setObjectName(QStringLiteral("AddTagForm"));
    setWindowTitle(QStringLiteral("Add DicomTag ..."));
    auto *layout = new QVBoxLayout(this);
    lvDictionary = list(this, "lvDictionary", {QStringLiteral("Tag"), QStringLiteral("Beschreibung")});
    lvDictionary->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvDictionary->setSortingEnabled(true);
    lvDictionary->sortByColumn(0, Qt::AscendingOrder);
    layout->addWidget(lvDictionary);
    cmdAdd = NamedButton(this, QStringLiteral("cmdAdd"), QStringLiteral("Apply"));
    cmdCancel = NamedButton(this, QStringLiteral("cmdCancel"), QStringLiteral("Cancel"));
    layout->addLayout(buttonRow({}, {cmdAdd, cmdCancel}));
    resize(480, 420);
    connect(cmdAdd, &QPushButton::clicked, this, &AddTagForm::cmdAdd_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void AddTagForm::Form_Load()
{
    const DbResult r = InDefinitions([&](Database &db) { return AttributesForFilter(db, filter_); });
    if (!r.ok())
        LogFailure(r, QStringLiteral("AddTagForm Form_Load"));
    fillRows(lvDictionary, r, 0);
}

void AddTagForm::cmdAdd_Click()
{
    QStringList tags;
    for (const QTreeWidgetItem *item : lvDictionary->selectedItems())
        tags << item->text(0);
    const DbResult r = InDefinitions([&](Database &db) { return AddToFilter(db, filter_, tags); });
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("AddTagForm cmdAdd_Click"));
        return;
    }
    accept();
}

// --- "Dicom Dictionary" ----------------------------------------------------------

DatabaseForm::DatabaseForm(Prompter &prompter, QWidget *parent)
    : QDialog(parent)
    , prompter_(prompter)
{
    setObjectName(QStringLiteral("DatabaseForm"));
    setWindowTitle(QStringLiteral("Dicom Dictionary"));
    auto *layout = new QVBoxLayout(this);
    lvDatabase = list(this, "lvDatabase", {QStringLiteral("Visible"), QStringLiteral("DICOM Tag"), QStringLiteral("Type"),
                                           QStringLiteral("DICOM Description")});
    lvDatabase->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(lvDatabase);
    cmdAdd = NamedButton(this, QStringLiteral("cmdAdd"), QStringLiteral("Add New"));
    cmdAll = NamedButton(this, QStringLiteral("cmdAll"), QStringLiteral("Set all visible"));
    cmdApply = NamedButton(this, QStringLiteral("cmdApply"), QStringLiteral("Apply"));
    cmdCancel = NamedButton(this, QStringLiteral("cmdCancel"), QStringLiteral("Cancel"));
    layout->addLayout(buttonRow({cmdAdd, cmdAll}, {cmdApply, cmdCancel}));
    resize(640, 560);
    PopUp.addAction(QStringLiteral("Delete"), this, &DatabaseForm::PopDelete_Click)->setObjectName(QStringLiteral("PopDelete"));
    connect(lvDatabase, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        if (QTreeWidgetItem *item = lvDatabase->itemAt(pos)) {
            lvDatabase->setCurrentItem(item);
            PopUp.popup(lvDatabase->viewport()->mapToGlobal(pos));
        }
    });
    connect(cmdAdd, &QPushButton::clicked, this, &DatabaseForm::cmdAdd_Click);
    connect(cmdAll, &QPushButton::clicked, this, &DatabaseForm::cmdAll_Click);
    connect(cmdApply, &QPushButton::clicked, this, &DatabaseForm::cmdApply_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void DatabaseForm::UpdateDictionary()
{
    const DbResult r = InDefinitions([&](Database &db) { return DictionaryRows(db); });
    lvDatabase->clear();
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("DatabaseForm UpdateDictionary"));
        return;
    }
    QList<QTreeWidgetItem *> items;
    for (const QSqlRecord &rec : r.rows) {
        auto *item = new QTreeWidgetItem;
        const bool visible = rec.value(4).toInt() != 0;
        item->setData(0, Qt::UserRole, rec.value(0));
        item->setData(0, Qt::UserRole + 1, visible); // as loaded
        item->setCheckState(0, visible ? Qt::Checked : Qt::Unchecked);
        item->setText(0, visible ? QStringLiteral("True") : QStringLiteral("False"));
        item->setText(1, rec.value(1).toString());
        item->setText(2, rec.value(2).toString());
        item->setText(3, rec.value(3).toString());
        items << item;
    }
    lvDatabase->addTopLevelItems(items);
}

void DatabaseForm::cmdAll_Click()
{
    for (int i = 0; i < lvDatabase->topLevelItemCount(); ++i)
        lvDatabase->topLevelItem(i)->setCheckState(0, Qt::Checked);
}

void DatabaseForm::cmdApply_Click()
{
    if (!prompter_.question(this, QStringLiteral("Apply changes?"), DefaultPromptTitle))
        return;
    // Only the boxes the operator changed: another program's edit of the rest stays.
    QList<QPair<qlonglong, bool>> changes;
    for (int i = 0; i < lvDatabase->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = lvDatabase->topLevelItem(i);
        const bool checked = item->checkState(0) == Qt::Checked;
        if (checked != item->data(0, Qt::UserRole + 1).toBool())
            changes.append({item->data(0, Qt::UserRole).toLongLong(), checked});
    }
    const DbResult r = InDefinitions([&](Database &db) { return SetDictionaryVisible(db, changes); });
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("DatabaseForm cmdApply_Click"));
        return;
    }
    accept();
}

void DatabaseForm::PopDelete_Click()
{
    QTreeWidgetItem *item = lvDatabase->currentItem();
    if (!item)
        return;
    // A filter loses the attribute with its row: asked first.
    if (!prompter_.question(this, QStringLiteral("Delete %1 (%2) from the dictionary?").arg(item->text(1), item->text(3)), DefaultPromptTitle))
        return;
    const DbResult r = InDefinitions([&](Database &db) { return DeleteDictionaryRow(db, item->data(0, Qt::UserRole).toLongLong()); });
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("DatabaseForm PopDelete_Click"));
        return;
    }
    delete item;
}

void DatabaseForm::cmdAdd_Click()
{
    AddTagToDB form(this, prompter_);
    form.exec();
}

// --- "Add new" --------------------------------------------------------------------

AddTagToDB::AddTagToDB(DatabaseForm *dictionary, Prompter &prompter)
    : QDialog(dictionary)
    , dictionary_(dictionary)
    , prompter_(prompter)
{
    setObjectName(QStringLiteral("AddTagToDB"));
    setWindowTitle(QStringLiteral("Add new"));
    auto *form = new QFormLayout(this);
    txtGroup = NamedLineEdit(this, QStringLiteral("txtGroup"));
    txtElement = NamedLineEdit(this, QStringLiteral("txtElement"));
    auto *tag = new QHBoxLayout;
    tag->addWidget(txtGroup);
    tag->addWidget(txtElement);
    form->addRow(QStringLiteral("Group / Element:"), tag);
    txtDescription = NamedLineEdit(this, QStringLiteral("txtDescription"));
    form->addRow(QStringLiteral("Description:"), txtDescription);
    txtVR = NamedLineEdit(this, QStringLiteral("txtVR"));
    form->addRow(QStringLiteral("VR Type:"), txtVR);
    chkVisi = new QCheckBox(QStringLiteral("visible"), this);
    chkVisi->setObjectName(QStringLiteral("chkVisi"));
    form->addRow(QString(), chkVisi);
    cmdOK = NamedButton(this, QStringLiteral("cmdOK"), QStringLiteral("OK"));
    cmdCancel = NamedButton(this, QStringLiteral("cmdCancel"), QStringLiteral("Cancel"));
    form->addRow(buttonRow({}, {cmdOK, cmdCancel}));
    for (QLineEdit *e : {txtGroup, txtElement})
        e->installEventFilter(this);
    connect(cmdOK, &QPushButton::clicked, this, &AddTagToDB::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool AddTagToDB::eventFilter(QObject *watched, QEvent *event)
{
    // Leaving a group or element field pads it to four characters.
    if (event->type() == QEvent::FocusOut)
        if (auto *e = qobject_cast<QLineEdit *>(watched))
            e->setText(PaddedTagPart(e->text()));
    return QDialog::eventFilter(watched, event);
}

void AddTagToDB::cmdOK_Click()
{
    txtGroup->setText(PaddedTagPart(txtGroup->text()));
    txtElement->setText(PaddedTagPart(txtElement->text()));
    DbResult r;
    const NewTagOutcome outcome = InDefinitions([&](Database &db) {
        return AddDictionaryTag(db, txtGroup->text(), txtElement->text(), txtDescription->text(), txtVR->text(), chkVisi->isChecked(), &r);
    });
    switch (outcome) {
    case NewTagOutcome::NotAValidVr:
        prompter_.information(this, QStringLiteral("Not a valid VR type!"), DefaultPromptTitle);
        return;
    case NewTagOutcome::NotAValidTag:
        prompter_.information(this, QStringLiteral("Not a valid group or element!"), DefaultPromptTitle);
        return;
    case NewTagOutcome::TagExists:
        prompter_.information(this, QStringLiteral("Tag already exists."), DefaultPromptTitle);
        return;
    case NewTagOutcome::Failed:
        LogFailure(r, QStringLiteral("AddTagToDB cmdOK_Click"));
        return;
    case NewTagOutcome::Added:
        break;
    }
    dictionary_->UpdateDictionary();
    accept();
}

// --- The options dialog's filter area ----------------------------------------------

FilterArea::FilterArea(QWidget *dialog, Prompter &prompter)
    : QObject(dialog)
    , dialog_(dialog)
    , prompter_(prompter)
    , inputBox_(new InputBoxForm(dialog))
{
    tags_.setHorizontalHeaderLabels({QStringLiteral("Tag"), QStringLiteral("Description")});
}

void FilterArea::FillFilterList()
{
    const DbResult r = InDefinitions([](Database &db) { return ModalityFilterNames(db); });
    QStringList names;
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("OptionForm Form_Load"));
        emit filtersChanged(names);
        return;
    }
    for (const QSqlRecord &row : r.rows)
        names << row.value(0).toString();
    emit filtersChanged(names);
    EditedFilter.clear();
    tags_.removeRows(0, tags_.rowCount());
}

void FilterArea::cboModality_Click(const QString &filter)
{
    EditedFilter = filter;
    emit activatable(!EditedFilter.isEmpty() && EditedFilter != Settings.FilterActive);
    const DbResult r = InDefinitions([&](Database &db) { return FilterAttributes(db, EditedFilter); });
    if (!r.ok())
        LogFailure(r, QStringLiteral("OptionForm cboModality_Click"));
    tags_.removeRows(0, tags_.rowCount());
    for (const QSqlRecord &rec : r.rows) {
        auto *tag = new QStandardItem(rec.value(1).toString());
        tag->setData(rec.value(0), Qt::UserRole);
        tags_.appendRow({tag, new QStandardItem(rec.value(2).toString())});
    }
}

void FilterArea::cmdNew_Click()
{
    const QString entry = inputBox_->showBox().trimmed();
    if (inputBox_->isCancelled() || entry.isEmpty())
        return;
    const QString name = entry.toUpper();
    const DbResult r = InDefinitions([&](Database &db) { return AddModalityFilter(db, name); });
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("OptionForm cmdNew_Click"));
        prompter_.information(dialog_, QStringLiteral("The filter \"%1\" cannot be created: %2").arg(name, r.text), DefaultPromptTitle);
        return;
    }
    FillFilterList();
}

void FilterArea::cmdDelMod_Click()
{
    if (EditedFilter.isEmpty())
        return;
    if (!prompter_.question(dialog_, QStringLiteral("Delete filter \"%1\"?").arg(EditedFilter), DefaultPromptTitle))
        return;
    const DbResult r = InDefinitions([&](Database &db) { return DeleteModalityFilter(db, EditedFilter); });
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("OptionForm cmdDelMod_Click"));
        return;
    }
    if (EditedFilter == Settings.FilterActive) {
        Settings.FilterActive.clear();
        WriteSetting(QLatin1String(SettingsRoot) + QStringLiteral("Filter\\Active"), QString());
        emit activeFilterChanged({});
    }
    FillFilterList();
}

void FilterArea::cmdAdd_Click()
{
    if (EditedFilter.isEmpty()) {
        prompter_.information(dialog_, QStringLiteral("No filter selected!"), DefaultPromptTitle);
        return;
    }
    AddTagForm form(EditedFilter, dialog_);
    form.Form_Load();
    const bool added = form.exec() == QDialog::Accepted;
    cboModality_Click(EditedFilter);
    if (added) {
        emit visibleTagsChanged();
        activeFilterEdited();
    }
}

void FilterArea::cmdDelete_Click(const QList<int> &rows)
{
    QList<qlonglong> indexes;
    for (int row : rows)
        indexes << tags_.index(row, 0).data(Qt::UserRole).toLongLong();
    if (EditedFilter.isEmpty() || indexes.isEmpty())
        return;
    const DbResult r = InDefinitions([&](Database &db) { return RemoveFromFilter(db, EditedFilter, indexes); });
    if (!r.ok()) {
        LogFailure(r, QStringLiteral("OptionForm cmdDelete_Click"));
        return;
    }
    QList<int> gone = rows;
    std::sort(gone.rbegin(), gone.rend());
    for (int row : gone)
        tags_.removeRow(row);
    activeFilterEdited();
}

void FilterArea::activeFilterEdited()
{
    if (EditedFilter.isEmpty() || EditedFilter != Settings.FilterActive)
        return;
    emit activeFilterChanged(listedTags());
}

void FilterArea::cmdActivate_Click()
{
    if (EditedFilter.isEmpty()) {
        prompter_.information(dialog_, QStringLiteral("No filter selected!"), DefaultPromptTitle);
        return;
    }
    Settings.FilterActive = EditedFilter;
    WriteSetting(QLatin1String(SettingsRoot) + QStringLiteral("Filter\\Active"), EditedFilter);
    emit activatable(false);
    emit activeFilterChanged(listedTags());
}

QMap<QString, QString> FilterArea::listedTags() const
{
    QMap<QString, QString> tags;
    for (int i = 0; i < tags_.rowCount(); ++i)
        tags.insert(tags_.index(i, 0).data().toString(), tags_.index(i, 1).data().toString());
    return tags;
}
