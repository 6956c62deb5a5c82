#include "header/HeaderView.h"

#include "core/ErrorLog.h"
#include "store/Session.h"

#include <QApplication>
#include <QCoreApplication>

namespace {

const QString kUnknownDataType = QStringLiteral("Unknown Data Type");

} // namespace

QString GetHeaderElement(const QString &group, const QString &element, const ToolkitImagePtr &image)
{
    bool okGroup = false, okElement = false;
    const uint g = group.toUInt(&okGroup, 16);
    const uint e = element.toUInt(&okElement, 16);
    if (!okGroup || !okElement || g > 0xFFFF || e > 0xFFFF) {
        WriteErrorLog(ErrorCode::TypeMismatch, QStringLiteral("Type mismatch (%1,%2)").arg(group, element), QStringLiteral("GetHeaderElement"));
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

HeaderView::HeaderView(Session &session, QObject *parent) : QObject(parent), session_(session)
{
    model_.setHorizontalHeaderLabels({QStringLiteral("Value"), QStringLiteral("DICOM Tag"), QStringLiteral("DICOM Description")});
    // However the image was chosen (tile, image row, the merge).
    connect(&session_, &Session::currentImageChanged, this, [this] {
        if (session_.currentImage())
            LoadHeaderData();
        else
            clear();
    });
}

void HeaderView::LoadHeaderData()
{
    clear();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const ToolkitImagePtr image = session_.currentImage();
    const QMap<QString, QString> &tags = session_.activeFilterTags();
    for (auto it = tags.cbegin(); it != tags.cend(); ++it) {
        const QString group = it.key().section(QLatin1Char(','), 0, 0);
        const QString element = it.key().section(QLatin1Char(','), 1, 1);
        model_.appendRow({new QStandardItem(GetHeaderElement(group, element, image)), new QStandardItem(group + QLatin1Char(',') + element),
                          new QStandardItem(it.value())});
    }
    sortColumn_ = TagColumn;
    sort();
    QApplication::restoreOverrideCursor();
}

void HeaderView::lvHeader_ColumnClick(int column)
{
    if (column == sortColumn_)
        sortOrder_ = sortOrder_ == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    sortColumn_ = column;
    sort();
}

void HeaderView::sort()
{
    model_.sort(sortColumn_, sortOrder_);
    emit sorted(sortColumn_, sortOrder_);
}

HeaderRow HeaderView::row(int row) const
{
    return {model_.index(row, ValueColumn).data().toString(), model_.index(row, TagColumn).data().toString(),
            model_.index(row, DescriptionColumn).data().toString()};
}

int HeaderView::rowOf(const QString &tag) const
{
    for (int i = 0; i < model_.rowCount(); ++i)
        if (model_.index(i, TagColumn).data().toString().compare(tag, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}
