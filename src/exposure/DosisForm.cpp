#include "exposure/DosisForm.h"

#include "dose/Agd.h"

#include "core/DisplayText.h"
#include "core/ErrorLog.h"
#include "exposure/ExposureJournal.h"
#include "store/DatabasePaths.h"
#include "ui/Prompts.h"

#include "ui/Widgets.h"
#include <QCalendarWidget>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlRecord>
#include <QTreeWidget>

namespace {

const QString kFillSource = QStringLiteral("DosisForm DosisListFill");
const QString kAllSource = QStringLiteral("DosisForm cmdMod_Click");
const QString kFreeSource = QStringLiteral("DosisForm updateDosisDB");
constexpr int NameColumn = 1;
constexpr int DateColumn = 2;
constexpr int AgdColumn = 8;

// A journal row; the date column sorts by its date value, a text that is no
// date sorts as text among the dates' fixed-width renderings.
class JournalRow : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem &other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        if (column == DateColumn)
            return key(*this) < key(other);
        if (column == 0)
            return data(0, Qt::UserRole).toLongLong() < other.data(0, Qt::UserRole).toLongLong();
        return QTreeWidgetItem::operator<(other);
    }

private:
    static QString key(const QTreeWidgetItem &item)
    {
        const QDate d = item.data(DateColumn, Qt::UserRole).toDate();
        return d.isValid() ? d.toString(QStringLiteral("yyyy-MM-dd")) : item.text(DateColumn);
    }
};

} // namespace

DosisForm::DosisForm(Prompter &prompter, QWidget *parent)
    : QDialog(parent)
    , prompter_(prompter)
{
    setObjectName(QStringLiteral("DosisForm"));
    setWindowTitle(QStringLiteral("Reload Dosis"));
    auto *grid = new QGridLayout(this);
    auto lineEdit = [this](const char *name) {
        auto *e = new QLineEdit(this);
        e->setObjectName(QLatin1String(name));
        return e;
    };
    auto button = [this](const char *name, const QString &caption) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        return b;
    };
    txtID = lineEdit("txtID");
    txtPatname = lineEdit("txtPatname");
    MonthView1 = new QCalendarWidget(this);
    MonthView1->setObjectName(QStringLiteral("MonthView1"));
    cmdSearch = button("cmdSearch", QStringLiteral("Search"));
    cmdMod = button("cmdMod", QStringLiteral("All"));
    ListView1 = new QTreeWidget(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setRootIsDecorated(false);
    ListView1->setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Patient Name"), QStringLiteral("Date"), QStringLiteral("Time"),
                                QStringLiteral("Projection"), QStringLiteral("KVP"), QStringLiteral("mAs"), QStringLiteral("dicke"),
                                QStringLiteral("AGD mGy")});
    ListView1->header()->setSectionsClickable(true);
    FitColumnsToContents(ListView1);
    clSeBox = new QCheckBox(QStringLiteral("CL/SE"), this);
    clSeBox->setObjectName(QStringLiteral("Check1"));
    txtDoNo = lineEdit("txtDoNo");
    txtDoNo->setEnabled(false);
    cmdFree = button("cmdFree", QStringLiteral("Set Free"));
    cmdClose = button("cmdClose", QStringLiteral("Close"));

    grid->addWidget(new QLabel(QStringLiteral("PatID:"), this), 0, 0);
    grid->addWidget(txtID, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Patient Name:"), this), 1, 0);
    grid->addWidget(txtPatname, 1, 1);
    grid->addWidget(cmdSearch, 2, 0);
    grid->addWidget(cmdMod, 2, 1);
    grid->addWidget(MonthView1, 0, 2, 3, 2);
    grid->addWidget(ListView1, 3, 0, 1, 4);
    grid->addWidget(clSeBox, 4, 0);
    grid->addWidget(txtDoNo, 4, 1);
    grid->addWidget(cmdFree, 4, 2);
    grid->addWidget(cmdClose, 4, 3);
    resize(760, 560);

    connect(cmdSearch, &QPushButton::clicked, this, &DosisForm::DosisListFill);
    connect(cmdMod, &QPushButton::clicked, this, &DosisForm::cmdMod_Click);
    connect(MonthView1, &QCalendarWidget::clicked, this, &DosisForm::DosisListFill);
    connect(cmdFree, &QPushButton::clicked, this, &DosisForm::updateDosisDB);
    connect(clSeBox, &QCheckBox::clicked, this, &DosisForm::Check1_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(ListView1->header(), &QHeaderView::sectionClicked, this, &DosisForm::ListView1_ColumnClick);
}

void DosisForm::Form_Load()
{
    MonthView1->setSelectedDate(today());
    DosisListFill();
}

void DosisForm::DosisListFill() { fill(false, kFillSource); }

void DosisForm::cmdMod_Click() { fill(true, kAllSource); }

void DosisForm::fill(bool everything, const QString &source)
{
    ListView1->clear();
    DbResult r;
    {
        DatabaseSession db(UserDatabase);
        if (!db.ok())
            return LogFailure(db.error(), source);
        const JournalSearch search{txtID->text(), txtPatname->text(), MonthView1->selectedDate(), everything};
        r = SearchJournal(UserDatabase, search);
    }
    if (!r.ok())
        return LogFailure(r, source);
    const QLocale locale;
    QList<QTreeWidgetItem *> rows;
    rows.reserve(r.rows.size());
    const ShortDateForm dates(locale);
    for (const QSqlRecord &rec : r.rows) {
        auto *row = new JournalRow;
        row->setText(0, rec.value(0).toString());
        row->setData(0, Qt::UserRole, rec.value(0));
        for (int i = 1; i < 8; ++i)
            row->setText(i, rec.value(i).isNull() ? QString() : rec.value(i).toString());
        row->setText(AgdColumn, AgdText(rec.value(AgdColumn), locale));
        const QDate day = QDate::fromString(row->text(DateColumn), Qt::ISODate);
        if (day.isValid()) {
            row->setData(DateColumn, Qt::UserRole, day);
            row->setText(DateColumn, dates.text(day));
        }
        rows.append(row);
    }
    ListView1->addTopLevelItems(rows);
    if (sortColumn_ >= 0)
        ListView1->sortItems(sortColumn_, sortOrder_);
}

void DosisForm::updateDosisDB()
{
    QTreeWidgetItem *row = ListView1->currentItem();
    if (!row || !row->isSelected()) {
        prompter_.information(this, QStringLiteral("Please select an exposure first."), windowTitle());
        return;
    }
    const qlonglong id = row->data(0, Qt::UserRole).toLongLong();
    std::optional<QString> name;
    if (clSeBox->isChecked()) {
        name = txtDoNo->text();
        // An empty name would blank the patient's name in the journal.
        if (name->trimmed().isEmpty()) {
            bool ok = false;
            name = QInputDialog::getText(this, windowTitle(), QStringLiteral("Patient name for the released exposure:"), QLineEdit::Normal,
                                         QString(), &ok);
            if (!ok || name->trimmed().isEmpty())
                return;
        }
    }
    Result r;
    {
        DatabaseSession db(UserDatabase);
        r = db.ok() ? Result(ReleaseExposure(UserDatabase, id, name, today())) : db.error();
    }
    if (!r.ok()) {
        LogFailure(r, kFreeSource);
        prompter_.critical(this, QStringLiteral("The exposure could not be set free: ") + r.text, windowTitle());
        return;
    }
    DosisListFill();
}

void DosisForm::Check1_Click() { txtDoNo->setEnabled(clSeBox->isChecked()); }

void DosisForm::ListView1_ColumnClick(int column)
{
    if (column != NameColumn && column != DateColumn)
        return;
    sortColumn_ = column;
    sortOrder_ = sortOrder_ == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    ListView1->sortItems(column, sortOrder_);
}
