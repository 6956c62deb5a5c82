#include "network/WorklistForm.h"

#include "ui/Prompts.h"

#include "ui/Widgets.h"
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace {

constexpr int kSortKeyRole = Qt::UserRole + 1;

// Sorts by the row's sort key where the column has one (the time and the
// birth date, whose short forms would sort by hour and by day as text),
// otherwise by the text.
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

WorklistForm::WorklistForm(Prompter &prompter, QWidget *parent) : QDialog(parent), prompter_(prompter)
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
    // Long names and a referring physician's full name widen the dialog.
    FitColumnsToContents(lvWorklist, true);
    cmdRefresh = new QPushButton(QStringLiteral("Refresh"), this);
    cmdRefresh->setObjectName(QStringLiteral("cmdRefresh"));
    cmdOK = new QPushButton(QStringLiteral("Apply"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    lblQuery = new QLabel(this);
    lblQuery->setObjectName(QStringLiteral("lblQuery"));
    queryBusy = new QProgressBar(this);
    queryBusy->setObjectName(QStringLiteral("queryBusy"));
    queryBusy->setRange(0, 0);
    queryBusy->setMaximumWidth(160);
    cmdCancelQuery = new QPushButton(QStringLiteral("Cancel query"), this);
    cmdCancelQuery->setObjectName(QStringLiteral("cmdCancelQuery"));
    cmdCancelQuery->setAutoDefault(false);
    showQuery(QString(), false);

    auto *status = new QHBoxLayout;
    status->addWidget(lblQuery, 1);
    status->addWidget(queryBusy);
    status->addWidget(cmdCancelQuery);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdRefresh);
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lvWorklist);
    layout->addLayout(status);
    layout->addLayout(buttons);
    resize(960, 420);

    connect(cmdRefresh, &QPushButton::clicked, this, &WorklistForm::Refresh);
    connect(cmdOK, &QPushButton::clicked, this, &WorklistForm::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(lvWorklist, &QTreeWidget::itemDoubleClicked, this, &WorklistForm::cmdOK_Click);
    connect(cmdCancelQuery, &QPushButton::clicked, this, &WorklistForm::cancelQuery);
    connect(&watcher_, &QFutureWatcher<WorklistAnswers>::finished, this, &WorklistForm::queryFinished);
}

WorklistForm::~WorklistForm()
{
    // The worker holds its own share of the flag and ends on it; nobody waits.
    if (cancel_)
        cancel_->cancel();
    watcher_.disconnect(this);
}

void WorklistForm::showQuery(const QString &text, bool running)
{
    lblQuery->setText(text);
    lblQuery->setVisible(!text.isEmpty());
    queryBusy->setVisible(running);
    cmdCancelQuery->setVisible(running);
    cmdCancelQuery->setEnabled(running);
    cmdRefresh->setEnabled(!running);
    // The task bar and the window manager see it too.
    setWindowTitle(running ? QStringLiteral("Worklist (querying)") : QStringLiteral("Worklist"));
    if (running)
        lvWorklist->setCursor(Qt::BusyCursor);
    else
        lvWorklist->unsetCursor();
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
    if (isQuerying())
        return;
    lvWorklist->clear();
    cmdOK->setEnabled(false);
    const WorklistRequest request = query.request();
    cancel_ = std::make_shared<ToolkitCancel>();
    showQuery(QStringLiteral("Querying %1 at %2:%3 ...").arg(request.remoteAet, request.remoteIp, request.remotePort), true);
    watcher_.setFuture(QtConcurrent::run([request, cancel = cancel_] { return RunWorklistRequest(request, cancel.get()); }));
}

void WorklistForm::cancelQuery()
{
    if (!cancel_)
        return;
    cancel_->cancel();
    cmdCancelQuery->setEnabled(false);
    lblQuery->setText(QStringLiteral("Cancelling the query ..."));
}

void WorklistForm::done(int result)
{
    cancelQuery();
    QDialog::done(result);
}

void WorklistForm::queryFinished()
{
    const WorklistAnswers result = watcher_.result();
    const bool cancelled = cancel_ && cancel_->cancelled();
    cancel_.reset();
    if (cancelled) {
        showQuery(QStringLiteral("Query cancelled."), false);
        return;
    }
    showQuery(QString(), false);
    LogWorklistAnswers(result);
    if (result.ok())
        SaveData(result.answers);
    else
        prompter_.critical(this, result.text + QStringLiteral("\r\n\r\nWorklist-Query failed."), DefaultPromptTitle);
    if (lvWorklist->topLevelItemCount() == 0) {
        prompter_.information(this, QStringLiteral("No patients in worklist!"), DefaultPromptTitle);
        return;
    }
    // A list refilled after an empty one can be applied again.
    cmdOK->setEnabled(true);
    lvWorklist->sortByColumn(0, Qt::AscendingOrder);
    lvWorklist->setCurrentItem(lvWorklist->topLevelItem(0));
    lvWorklist->setFocus(Qt::OtherFocusReason);
}

void WorklistForm::SaveData(const QList<ToolkitDataSet> &answers)
{
    QList<QTreeWidgetItem *> items;
    for (const ToolkitDataSet &answer : answers) {
        const WorklistRow row = WorklistRowOf(answer);
        auto *item = new WorklistItem(row.columns);
        if (row.birthDate.isValid())
            item->setData(4, kSortKeyRole, row.birthDate.toString(Qt::ISODate));
        item->setData(0, kSortKeyRole, row.time);
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
        patientChosen(name, QDate::fromString(row->data(4, kSortKeyRole).toString(), Qt::ISODate));
    accept();
}
