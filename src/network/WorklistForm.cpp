#include "network/WorklistForm.h"

#include "ui/Prompts.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int kSortKeyRole = Qt::UserRole + 1;

// Sorts by the row's sort key where the column has one (the birth date, which
// the short date format would sort by day), otherwise by the text.
class WorklistItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem &other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        const QVariant a = data(column, kSortKeyRole), b = other.data(column, kSortKeyRole);
        if (a.isValid() || b.isValid())
            return a.toString() < b.toString();
        return QTreeWidgetItem::operator<(other);
    }
};

// Hundredths of the list's width per column.
constexpr int kShares[11] = {8, 13, 11, 9, 10, 7, 4, 9, 9, 10, 10};

} // namespace

WorklistForm::WorklistForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("WorklistForm"));
    setWindowTitle(QStringLiteral("Worklist"));
    lvWorklist = new QTreeWidget(this);
    lvWorklist->setObjectName(QStringLiteral("lvWorklist"));
    lvWorklist->setRootIsDecorated(false);
    lvWorklist->setAllColumnsShowFocus(true);
    lvWorklist->setHeaderLabels(WorklistHeaders());
    lvWorklist->setSortingEnabled(true);
    lvWorklist->sortByColumn(0, Qt::AscendingOrder);
    cmdRefresh = new QPushButton(QStringLiteral("Refresh"), this);
    cmdRefresh->setObjectName(QStringLiteral("cmdRefresh"));
    cmdOK = new QPushButton(QStringLiteral("Apply"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdRefresh);
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lvWorklist);
    layout->addLayout(buttons);
    resize(960, 420);

    connect(cmdRefresh, &QPushButton::clicked, this, &WorklistForm::Refresh);
    connect(cmdOK, &QPushButton::clicked, this, &WorklistForm::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(lvWorklist, &QTreeWidget::itemDoubleClicked, this, &WorklistForm::cmdOK_Click);
}

void WorklistForm::Form_Load()
{
    const int width = lvWorklist->width() - 24; // 360 twips for the frame and the scroll bar
    for (int i = 0; i < 11; ++i)
        lvWorklist->setColumnWidth(i, width * kShares[i] / 100);
}

void WorklistForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (loaded_)
        return;
    loaded_ = true;
    Form_Load();
    // Once the dialog is on the screen, so that the operator sees it wait.
    QTimer::singleShot(0, this, &WorklistForm::Refresh);
}

void WorklistForm::Refresh()
{
    if (querying_)
        return;
    QScopedValueRollback<bool> busy(querying_, true);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    lvWorklist->clear();
    cmdOK->setEnabled(false);
    QCoreApplication::processEvents();
    const WorklistAnswers result = query.QueryWorklist();
    QApplication::restoreOverrideCursor();
    if (result.ok)
        SaveData(result.answers);
    else
        Prompts().critical(this, result.error.text + QStringLiteral("\r\n\r\nWorklist-Query failed."), DefaultPromptTitle);
    if (lvWorklist->topLevelItemCount() == 0) {
        Prompts().information(this, QStringLiteral("No patients in worklist!"), QStringLiteral("Quessant"));
        return;
    }
    // A list refilled after an empty one can be applied again.
    cmdOK->setEnabled(true);
    lvWorklist->sortByColumn(0, Qt::AscendingOrder);
    lvWorklist->setCurrentItem(lvWorklist->topLevelItem(0));
}

void WorklistForm::SaveData(const QList<ToolkitDataSet> &answers)
{
    QList<QTreeWidgetItem *> items;
    for (const ToolkitDataSet &answer : answers) {
        const WorklistRow row = WorklistRowOf(answer);
        auto *item = new WorklistItem(row.columns);
        if (row.birthDate.isValid())
            item->setData(4, kSortKeyRole, row.birthDate.toString(Qt::ISODate));
        items << item;
    }
    lvWorklist->addTopLevelItems(items);
}

void WorklistForm::cmdOK_Click()
{
    const QTreeWidgetItem *row = lvWorklist->currentItem();
    if (!row || !cmdOK->isEnabled())
        return;
    // Without a first name the label shows the family name alone, not after a space.
    const QString name = (row->text(2) + QLatin1Char(' ') + row->text(1)).trimmed();
    if (patientChosen)
        patientChosen(name);
    accept();
}
