#pragma once

// The header view: the active filter's attributes of the current image, each
// as value, tag and description, in a model the main window's list shows.
#include "toolkit/Toolkit.h"

#include <QObject>
#include <QStandardItemModel>

class Session;

// One attribute of an image as display text: group and element as hexadecimal
// text ("0020", "000D"). Absent or null: empty. Several values are joined by
// " | ", stopping at an empty value or at one that repeats the one before.
QString GetHeaderElement(const QString &group, const QString &element, const ToolkitImagePtr &image);

// One row of the header view.
struct HeaderRow {
    QString value;
    QString tag; // "gggg,eeee"
    QString description;
};

class HeaderView : public QObject {
    Q_OBJECT
public:
    enum Column { ValueColumn, TagColumn, DescriptionColumn };

    // Shows the session's current image and follows it: its rows when one is
    // current, none when none is.
    explicit HeaderView(Session &session, QObject *parent = nullptr);

    // "Value", "DICOM Tag", "DICOM Description"; the view shows "Value" last.
    QStandardItemModel *model() { return &model_; }

    // Refills the rows from the current image with the active filter's tags, sorted by tag.
    void LoadHeaderData();
    void clear() { model_.removeRows(0, model_.rowCount()); }
    // A click on a column's heading: sorts by the column, or reverses the
    // order when it is sorted by it already.
    void lvHeader_ColumnClick(int column);

    int rowCount() const { return model_.rowCount(); }
    HeaderRow row(int row) const;
    // The row of the tag; -1 when the view does not list it.
    int rowOf(const QString &tag) const;

signals:
    // The rows were sorted: the view shows the order in its heading.
    void sorted(int column, Qt::SortOrder order);

private:
    void sort();
    Session &session_;
    QStandardItemModel model_;
    int sortColumn_ = TagColumn;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};
