#include "browse/RowModel.h"

#include <algorithm>

RowModel::RowModel(QStringList headings, QObject *parent)
    : QAbstractTableModel(parent)
    , headings_(std::move(headings))
{
}

void RowModel::reset(std::vector<Row> rows)
{
    beginResetModel();
    rows_ = std::move(rows);
    sortColumn_ = -1;
    endResetModel();
}

void RowModel::removeAt(int row)
{
    if (!at(row))
        return;
    beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
}

QString RowModel::text(int row, int column) const
{
    const Row *r = at(row);
    return r ? r->cells.value(column) : QString();
}

int RowModel::findText(int column, const QString &text) const
{
    for (int i = 0; i < count(); ++i)
        if (rows_[size_t(i)].cells.value(column) == text)
            return i;
    return -1;
}

int RowModel::findTag(const QVariant &tag) const
{
    const QString wanted = tag.toString();
    for (int i = 0; i < count(); ++i)
        if (rows_[size_t(i)].tag.toString() == wanted)
            return i;
    return -1;
}

int RowModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : count(); }

int RowModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(headings_.size()); }

QVariant RowModel::data(const QModelIndex &index, int role) const
{
    const Row *r = at(index.row());
    if (!r)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return r->cells.value(index.column());
    case Qt::UserRole:
        return index.column() == 0 ? r->tag : QVariant();
    case Qt::DecorationRole:
        return index.column() == 0 && r->decorated ? QVariant(icon_) : QVariant();
    default:
        return {};
    }
}

QVariant RowModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return headings_.value(section);
    return {};
}

void RowModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= columnCount())
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    // Persistent indexes (the view's current row) follow their rows.
    std::vector<int> order_(rows_.size());
    for (size_t i = 0; i < order_.size(); ++i)
        order_[i] = int(i);
    std::stable_sort(order_.begin(), order_.end(), [&](int a, int b) {
        const int c = QString::compare(rows_[size_t(a)].cells.value(column), rows_[size_t(b)].cells.value(column));
        return order == Qt::AscendingOrder ? c < 0 : c > 0;
    });
    std::vector<Row> sorted;
    sorted.reserve(rows_.size());
    std::vector<int> newRow(rows_.size());
    for (size_t i = 0; i < order_.size(); ++i) {
        newRow[size_t(order_[i])] = int(i);
        sorted.push_back(std::move(rows_[size_t(order_[i])]));
    }
    rows_ = std::move(sorted);
    QModelIndexList after;
    for (const QModelIndex &i : before)
        after << index(newRow[size_t(i.row())], i.column());
    changePersistentIndexList(before, after);
    sortColumn_ = column;
    sortOrder_ = order;
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
