#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>
#include <QVariant>

#include <vector>

// The rows of one browser list as plain values: one text per column and a
// tag (the row's key) on column 0 under Qt::UserRole. Filled at once by
// reset(); sorting is stable and by text (or the row's sort key), as the report
// lists always sorted.
class RowModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Row {
        QStringList cells;
        QVariant tag;
        bool decorated = false; // shows the model's icon in column 0
        bool marked = false;    // bold and red: the row the chosen exposure's values go to
        // Where a cell's text does not sort (a date shown in the locale's
        // form), the key its column sorts by; empty: the texts.
        QStringList sortKeys{};
    };

    explicit RowModel(QStringList headings, QObject *parent = nullptr);

    void setIcon(const QIcon &icon) { icon_ = icon; }
    // The rows, sorted on `sortColumn` (-1: as given) before the views hear of them.
    void reset(std::vector<Row> rows, int sortColumn = -1);
    void clear() { reset({}); }
    // The rows brought up to date in place, matched by tag: rows gone are
    // removed, changed cells replaced, new rows added, the order the list was
    // sorted in kept. The views keep their selection, current row and scroll
    // position, which a reset would lose.
    void update(std::vector<Row> rows);
    void removeAt(int row);
    void setMarked(int row, bool marked);

    int count() const { return int(rows_.size()); }
    // Null beside the rows.
    const Row *at(int row) const { return row >= 0 && row < count() ? &rows_[size_t(row)] : nullptr; }
    QString text(int row, int column) const;
    // The first row whose cell or tag matches; -1 for none.
    int findText(int column, const QString &text) const;
    int findTag(const QVariant &tag) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    int sortColumn() const { return sortColumn_; }
    Qt::SortOrder sortOrder() const { return sortOrder_; }

private:
    // The new order of the rows: the row now at i was at result[i].
    std::vector<int> sortedOrder(int column, Qt::SortOrder order) const;
    void permute(const std::vector<int> &order);

    QStringList headings_;
    std::vector<Row> rows_;
    QIcon icon_;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};
