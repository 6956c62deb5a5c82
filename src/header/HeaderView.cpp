#include "header/HeaderView.h"

#include "core/ErrorLog.h"
#include "store/Session.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QTreeWidget>

namespace {

constexpr int ValueColumn = 0;
constexpr int TagColumn = 1;
constexpr int DescriptionColumn = 2;
const QString kUnknownDataType = QStringLiteral("Unknown Data Type");

} // namespace

QString GetHeaderElement(const QString &group, const QString &element, const ToolkitImagePtr &image)
{
    bool okGroup = false, okElement = false;
    const uint g = group.toUInt(&okGroup, 16);
    const uint e = element.toUInt(&okElement, 16);
    if (!okGroup || !okElement || g > 0xFFFF || e > 0xFFFF) {
        WriteErrorLog(13, QStringLiteral("Type mismatch (%1,%2)").arg(group, element), QStringLiteral("GetHeaderElement"));
        return {};
    }
    const ToolkitAttribute a = GetAttribute(image, quint16(g), quint16(e));
    if (!a.exists)
        return {};
    if (!a.charsetProblem.isEmpty())
        WriteErrorLog(ErrorCode::NotReadable, QStringLiteral("(%1,%2): %3").arg(group, element, a.charsetProblem), QStringLiteral("GetHeaderElement"));
    if (!a.isMultiValued())
        return a.value;
    QStringList values;
    for (int i = 1; i <= a.values.size(); ++i) {
        const QString v = a.valueAt(i);
        if (v.isEmpty() || (i > 1 && v == a.valueAt(i - 1)))
            break;
        values << v;
        if (v == kUnknownDataType)
            break;
    }
    return values.join(QStringLiteral(" | "));
}

HeaderView::HeaderView(const HeaderControls &controls, Session &session, QObject *parent)
    : QObject(parent)
    , c_(controls)
    , session_(session)
{
    c_.lvHeader->header()->moveSection(ValueColumn, DescriptionColumn);
    // The view sorts only when told: its own header-click sorting would answer the click twice.
    c_.lvHeader->setSortingEnabled(false);
    c_.lvHeader->header()->setSectionsClickable(true);
    c_.lvHeader->header()->setSortIndicatorShown(true);
    connect(c_.lvHeader->header(), &QHeaderView::sectionClicked, this, &HeaderView::lvHeader_ColumnClick);
    connect(c_.lvHeader, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { lvHeader_ItemClick(item); });
}

void HeaderView::LoadHeaderData()
{
    QTreeWidget *list = c_.lvHeader;
    list->clear();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    list->setUpdatesEnabled(false);
    const ToolkitImagePtr image = c_.currentImage ? c_.currentImage() : ToolkitImagePtr();
    const QMap<QString, QString> &tags = session_.activeFilterTags();
    for (auto it = tags.cbegin(); it != tags.cend(); ++it) {
        QCoreApplication::processEvents();
        const QString group = it.key().section(QLatin1Char(','), 0, 0);
        const QString element = it.key().section(QLatin1Char(','), 1, 1);
        auto *row = new QTreeWidgetItem(list);
        row->setText(ValueColumn, GetHeaderElement(group, element, image));
        row->setText(TagColumn, group + QLatin1Char(',') + element);
        row->setText(DescriptionColumn, it.value());
    }
    sortColumn_ = TagColumn;
    list->sortItems(sortColumn_, sortOrder_);
    list->setUpdatesEnabled(true);
    QApplication::restoreOverrideCursor();
}

void HeaderView::lvHeader_ColumnClick(int column)
{
    if (column == sortColumn_)
        sortOrder_ = sortOrder_ == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    sortColumn_ = column;
    c_.lvHeader->sortItems(sortColumn_, sortOrder_);
}

void HeaderView::lvHeader_ItemClick(QTreeWidgetItem *item)
{
    if (!item)
        return;
    const QString tag = item->text(TagColumn);
    c_.txtSelected->setText(tag + QStringLiteral(" - ") + item->text(DescriptionColumn));
    c_.txtNeu->setText(item->text(ValueColumn));
    // A new UID is made by the job; the operator never types one.
    const bool uid = tag == Tags::SOPInstanceUID.text() || tag == Tags::StudyInstanceUID.text() || tag == Tags::SeriesInstanceUID.text();
    if (uid) {
        c_.txtNeu->setText(QStringLiteral("New UID"));
        c_.cboTask->setCurrentIndex(0);
    }
    c_.txtNeu->setEnabled(!uid);
    c_.cboTask->setEnabled(!uid);
    const QString kind = c_.cboTask->currentText();
    if ((kind == QLatin1String("Move entry") || kind == QLatin1String("Switch entry")) && c_.cboTask_Click)
        c_.cboTask_Click();
}
