#include "store/Session.h"
#include "exposure/DoseList.h"

#include "core/ErrorLog.h"
#include "core/WorkstationState.h"
#include "exposure/ExposureJournal.h"
#include "store/DatabasePaths.h"

#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QSqlRecord>
#include <QTreeWidget>

namespace {

const QString kFillSource = QStringLiteral("MainForm_lvDosis_Fill");
const QString kRefreshSource = QStringLiteral("MainForm_RefreshDosisList");

// Sub-items 1..10 and the columns behind them.
const char *const kColumns[] = {"Datum", "Zeit", "KVP", "ma", "Dicke", "Druck", "mGy", "Sonstiges", "Status", "expZeit"};

} // namespace

DoseList::DoseList(Session &session, const ExposureControls &controls, QObject *parent)
    : QObject(parent), session_(session), c_(controls), today_([] { return QDate::currentDate(); })
{
    if (c_.lvDosis) {
        connect(c_.lvDosis, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { lvDosis_ItemClick(item); });
        c_.lvDosis->viewport()->installEventFilter(this);
    }
    if (c_.cmbDosis) {
        c_.cmbDosis->installEventFilter(this);
        connect(c_.cmbDosis, &QComboBox::activated, this, &DoseList::cmbDosis_Click);
    }
    if (!c_.PopupDeleteDosis && c_.Popup_Dosis) {
        c_.PopupDeleteDosis = c_.Popup_Dosis->addAction(QStringLiteral("Delete"));
        c_.PopupDeleteDosis->setObjectName(QStringLiteral("PopupDeleteDosis"));
    }
    if (c_.PopupDeleteDosis)
        connect(c_.PopupDeleteDosis, &QAction::triggered, this, &DoseList::PopupDeleteDosis);
}

void DoseList::PrepareColumns(QTreeWidget *list)
{
    list->setColumnCount(11);
    list->setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("kV"),
                           QStringLiteral("mA"), QStringLiteral("Thickness"), QStringLiteral("Press"),
                           QStringLiteral("mGy"), QStringLiteral("Other"), QStringLiteral("Status"),
                           QStringLiteral("expTime")});
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
}

bool DoseList::eventFilter(QObject *watched, QEvent *event)
{
    if (c_.lvDosis && watched == c_.lvDosis->viewport() && event->type() == QEvent::MouseButtonRelease) {
        auto *me = static_cast<QMouseEvent *>(event);
        lvDosis_MouseUp(me->button(), me->position().toPoint());
    }
    // The presses that open the combo box's list refill it first.
    if (c_.cmbDosis && watched == c_.cmbDosis && c_.cmbDosis->isEnabled()) {
        if (event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            cmbDosis_DropDown();
        if (event->type() == QEvent::KeyPress) {
            const auto *ke = static_cast<QKeyEvent *>(event);
            const bool alt = ke->modifiers() & Qt::AltModifier;
            if (ke->key() == Qt::Key_F4 || (alt && (ke->key() == Qt::Key_Down || ke->key() == Qt::Key_Up)) ||
                (ke->key() == Qt::Key_Space && !c_.cmbDosis->isEditable()))
                cmbDosis_DropDown();
        }
    }
    return QObject::eventFilter(watched, event);
}

void DoseList::lvDosis_Fill()
{
    if (BatchJobActive)
        return;
    fillFrom(std::nullopt);
}

void DoseList::fillFrom(const std::optional<QString> &patientName)
{
    if (!OpenUserDatabase()) {
        WriteErrorLog(UserDatabase.error().number, UserDatabase.error().text, kFillSource);
        return;
    }
    const DbResult r = OpenExposuresOf(UserDatabase, today(), patientName);
    CloseUserDatabase();
    if (!r.ok()) {
        LogFailure(r, kFillSource);
        return;
    }
    QTreeWidget *list = c_.lvDosis;
    list->setUpdatesEnabled(false);
    list->clear();
    const QLocale locale;
    QList<QTreeWidgetItem *> items;
    items.reserve(r.rows.size());
    for (const QSqlRecord &rec : r.rows) {
        auto *item = new QTreeWidgetItem;
        const QString id = rec.value(0).toString();
        item->setText(0, id);
        item->setData(0, Qt::UserRole, rec.value(0));
        for (int i = 0; i < 10; ++i) {
            const QVariant v = rec.value(QString::fromLatin1(kColumns[i]));
            QString text = v.isNull() ? QString() : v.toString();
            if (i == 0 && !text.isEmpty()) {
                const QDate d = QDate::fromString(text, Qt::ISODate);
                if (d.isValid())
                    text = locale.toString(d, QLocale::ShortFormat);
            }
            item->setText(i + 1, text);
        }
        items.append(item);
    }
    list->addTopLevelItems(items);
    list->clearSelection();
    QCoreApplication::processEvents();
    list->setUpdatesEnabled(true);
}

void DoseList::RefreshDosisList()
{
    if (!OpenUserDatabase()) {
        WriteErrorLog(UserDatabase.error().number, UserDatabase.error().text, kRefreshSource);
        return;
    }
    QTreeWidget *list = c_.lvDosis;
    const auto selectedId = [list]() -> std::optional<qlonglong> {
        const QList<QTreeWidgetItem *> sel = list->selectedItems();
        if (sel.isEmpty())
            return std::nullopt;
        return sel.first()->data(0, Qt::UserRole).toLongLong();
    };
    const auto fail = [](const DbResult &r) {
        LogFailure(r, kRefreshSource);
        CloseUserDatabase();
    };
    const QString patientId = session_.selection().patientId;
    const QString patientName = session_.selection().patientName;
    switch (AssignmentMode) {
    case 1:
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            const DbResult r = AssignExposure(UserDatabase, list->topLevelItem(i)->data(0, Qt::UserRole).toLongLong(),
                                              patientId, patientName);
            if (!r.ok())
                return fail(r);
        }
        break;
    case 2:
    case 3: {
        const auto id = selectedId();
        if (!id) {
            WriteErrorLog(ErrorCode::NoObject, QStringLiteral("Object variable or With block variable not set (no selected exposure)"),
                          kRefreshSource);
            CloseUserDatabase();
            return;
        }
        const DbResult r = AssignmentMode == 2 ? RemoveExposureFromList(UserDatabase, *id)
                                               : AssignExposure(UserDatabase, *id, patientId, patientName);
        if (!r.ok())
            return fail(r);
        break;
    }
    default:
        break;
    }
    CloseUserDatabase();
    list->clear();
    lvDosis_Fill();
}

void DoseList::PopupDeleteDosis()
{
    AssignmentMode = 2;
    RefreshDosisList();
    c_.exposureDateBox->clear();
    c_.exposureTimeBox->clear();
    for (QLineEdit *t : c_.exposureBoxes)
        t->clear();
}

void DoseList::lvDosis_ItemClick(QTreeWidgetItem *item)
{
    if (!item || c_.lvDosis->topLevelItemCount() == 0)
        return;
    if (QTreeWidget *images = c_.lvImages; images && images->topLevelItemCount() > 0) {
        for (int i = 0; i < images->topLevelItemCount(); ++i) {
            QTreeWidgetItem *row = images->topLevelItem(i);
            const bool marked = row->isSelected();
            for (int col = 0; col < images->columnCount(); ++col) {
                QFont f = row->font(col);
                f.setBold(marked);
                row->setFont(col, f);
                row->setForeground(col, marked ? QColor(255, 0, 0) : QColor(0, 0, 0));
            }
        }
    }
    SelectedExposure.kV = item->text(3);
    SelectedExposure.mAs = item->text(4);
    SelectedExposure.thickness = item->text(5);
    SelectedExposure.compression = item->text(6);
    SelectedExposure.dose = item->text(7);
    SelectedExposure.other = item->text(8);
    CurrentExposureTime = item->text(10);
    c_.exposureDateBox->setText(item->text(1));
    c_.exposureTimeBox->setText(item->text(2));
    for (int i = 0; i < 6; ++i)
        c_.exposureBoxes[i]->setText(item->text(3 + i));
    c_.txtID->setText(item->text(0));
    if (c_.runTaskButton0)
        c_.runTaskButton0();
}

void DoseList::lvDosis_MouseUp(Qt::MouseButton button, const QPoint &pos)
{
    if (button != Qt::RightButton || c_.lvDosis->topLevelItemCount() == 0)
        return;
    if (QTreeWidgetItem *item = c_.lvDosis->itemAt(pos)) {
        c_.lvDosis->clearSelection();
        item->setSelected(true);
        c_.lvDosis->setCurrentItem(item);
    }
    if (c_.Popup_Dosis)
        c_.Popup_Dosis->popup(c_.lvDosis->viewport()->mapToGlobal(pos));
}

void DoseList::cmbDosis_DropDown()
{
    c_.cmbDosis->clear();
    if (!OpenUserDatabase()) {
        WriteErrorLog(UserDatabase.error().number, UserDatabase.error().text, kFillSource);
        return;
    }
    const DbResult r = OpenPatientNamesOf(UserDatabase, today());
    CloseUserDatabase();
    if (!r.ok()) {
        LogFailure(r, kFillSource);
        return;
    }
    for (const QSqlRecord &rec : r.rows)
        c_.cmbDosis->addItem(rec.value(0).toString());
}

void DoseList::cmbDosis_Click(int index)
{
    if (BatchJobActive || index < 0)
        return;
    fillFrom(c_.cmbDosis->itemText(index));
}
