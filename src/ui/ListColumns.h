#pragma once

#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

class QAbstractItemView;
class QModelIndex;
class QTreeView;

// The columns of a list the operator arranges. Each column is sized to its
// content (FitColumnsToContents) until the operator drags its edge; from then
// on it keeps that width, until a double click on the edge fits it again. The
// header's context menu shows or hides columns (the last one shown stays).
// The arrangement goes to and comes from a line of text, which the window
// keeps per station.
class ListColumns : public QObject {
    Q_OBJECT
public:
    // Made as the list's child; `hiddenAtFirst` are the columns hidden until a
    // kept arrangement says otherwise.
    explicit ListColumns(QTreeView *list, QSet<int> hiddenAtFirst = {});

    // "widths=0:120,3:88;hidden=1,2": the operator's widths and the hidden columns.
    QString state() const;
    // A text state() gave; an empty one leaves the first arrangement.
    void restore(const QString &state);

    bool keepsWidth(int column) const { return widths_.contains(column); }
    int keptWidth(int column) const { return widths_.value(column); }

    // The list the object arranges (the fitting finds its arrangement this way).
    static const ListColumns *of(const QTreeView *list);

signals:
    // The operator sized, hid or showed a column.
    void changed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void apply();
    void showMenu(const QPoint &pos);
    void refit();

    QTreeView *list_;
    QMap<int, int> widths_;
    QSet<int> hidden_;
    bool dragging_ = false;
    bool resized_ = false;
};

// The cell's text is cut: wider than the room the view gives it (its column,
// or what of it the list shows), or, wrapped, higher than its row.
bool CellTextCut(const QAbstractItemView *view, const QModelIndex &index);

// A cell whose text is cut shows the whole text as its tooltip (and the
// model's own tooltip below it); other cells show the model's tooltip.
void TipCutCells(QAbstractItemView *view);

// The height of a report-style list that shows this many rows whole: frame,
// heading and rows (rows as high as the list's font makes them).
int ListHeightForRows(const QTreeView *list, int rows);
