#include "browse/RowModel.h"

#include <QColor>
#include <QHash>
#include <QFont>

#include <algorithm>

RowModel::RowModel(QStringList headings, QObject *parent)
    : QAbstractTableModel(parent)
    , headings_(std::move(headings))
{
}

void RowModel::reset(std::vector<Row> rows, int sortColumn)
{
    beginResetModel();
    rows_ = std::move(rows);
    sortColumn_ = -1;
    if (sortColumn >= 0 && sortColumn < columnCount()) {
        permute(sortedOrder(sortColumn, Qt::AscendingOrder));
        sortColumn_ = sortColumn;
        sortOrder_ = Qt::AscendingOrder;
    }
    endResetModel();
}

void RowModel::update(std::vector<Row> rows)
{
    QHash<QString, size_t> fresh;
    for (size_t i = 0; i < rows.size(); ++i)
        fresh.insert(rows[i].tag.toString(), i);
    std::vector<bool> listed(rows.size(), false);
    bool changed = false;
    for (int i = count() - 1; i >= 0; --i) {
        const auto it = fresh.constFind(rows_[size_t(i)].tag.toString());
        if (it == fresh.constEnd() || listed[it.value()]) {
            beginRemoveRows({}, i, i);
            rows_.erase(rows_.begin() + i);
            endRemoveRows();
            continue;
        }
        listed[it.value()] = true;
        Row &old = rows_[size_t(i)];
        Row &now = rows[it.value()];
        if (old.cells != now.cells || old.decorated != now.decorated || old.sortKeys != now.sortKeys) {
            old.cells = std::move(now.cells);
            old.sortKeys = std::move(now.sortKeys);
            old.decorated = now.decorated;
            changed = true;
            emit dataChanged(index(i, 0), index(i, columnCount() - 1));
        }
    }
    std::vector<Row> added;
    for (size_t i = 0; i < rows.size(); ++i)
        if (!listed[i])
            added.push_back(std::move(rows[i]));
    if (!added.empty()) {
        beginInsertRows({}, count(), count() + int(added.size()) - 1);
        for (Row &r : added)
            rows_.push_back(std::move(r));
        endInsertRows();
        changed = true;
    }
    if (changed && sortColumn_ >= 0)
        sort(sortColumn_, sortOrder_);
}

void RowModel::setMarked(int row, bool marked)
{
    if (!at(row) || rows_[size_t(row)].marked == marked)
        return;
    rows_[size_t(row)].marked = marked;
    emit dataChanged(index(row, 0), index(row, columnCount() - 1), {Qt::FontRole, Qt::ForegroundRole});
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
    case Qt::FontRole: {
        if (!r->marked)
            return {};
        QFont bold;
        bold.setBold(true);
        return bold;
    }
    case Qt::ForegroundRole:
        return r->marked ? QVariant(QColor(255, 0, 0)) : QVariant();
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

std::vector<int> RowModel::sortedOrder(int column, Qt::SortOrder order) const
{
    std::vector<int> result(rows_.size());
    std::vector<const QString *> keys(rows_.size());
    static const QString none;
    for (size_t i = 0; i < rows_.size(); ++i) {
        result[i] = int(i);
        const QStringList &texts = column < rows_[i].sortKeys.size() ? rows_[i].sortKeys : rows_[i].cells;
        keys[i] = column < texts.size() ? &texts.at(column) : &none;
    }
    // Stable, by text: rows of equal text keep their order, as the report lists did.
    if (order == Qt::AscendingOrder)
        std::stable_sort(result.begin(), result.end(), [&keys](int a, int b) { return *keys[size_t(a)] < *keys[size_t(b)]; });
    else
        std::stable_sort(result.begin(), result.end(), [&keys](int a, int b) { return *keys[size_t(b)] < *keys[size_t(a)]; });
    return result;
}

void RowModel::permute(const std::vector<int> &order)
{
    std::vector<Row> sorted;
    sorted.reserve(rows_.size());
    for (int from : order)
        sorted.push_back(std::move(rows_[size_t(from)]));
    rows_ = std::move(sorted);
}

void RowModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= columnCount())
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const std::vector<int> moved = sortedOrder(column, order);
    permute(moved);
    // Persistent indexes (the view's current row) follow their rows.
    std::vector<int> newRow(moved.size());
    for (size_t i = 0; i < moved.size(); ++i)
        newRow[size_t(moved[i])] = int(i);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    for (const QModelIndex &i : before)
        after << index(newRow[size_t(i.row())], i.column());
    changePersistentIndexList(before, after);
    sortColumn_ = column;
    sortOrder_ = order;
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
