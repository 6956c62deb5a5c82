#pragma once

// The header view: the active filter's attributes of the current image, each
// as tag, description and value text; a click on a row prepares the task entry.
#include "toolkit/Toolkit.h"

#include <QObject>
#include <functional>

class QComboBox;
class Session;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

// One attribute of an image as display text: group and element as hexadecimal
// text ("0020", "000D"). Absent or null: empty. Several values are joined by
// " | ", stopping at an empty value or at one that repeats the one before.
QString GetHeaderElement(const QString &group, const QString &element, const ToolkitImagePtr &image);

struct HeaderControls {
    QTreeWidget *lvHeader = nullptr; // "Value", "DICOM Tag", "DICOM Description"
    QLineEdit *txtSelected = nullptr;
    QLineEdit *txtNeu = nullptr;
    QComboBox *cboTask = nullptr;
    std::function<ToolkitImagePtr()> currentImage;
    // The task kind's change handler, run after a click leaves "Move entry" or "Switch entry" chosen.
    std::function<void()> cboTask_Click;
};

class HeaderView : public QObject {
    Q_OBJECT
public:
    // Shows "Value" last; the columns keep their order.
    HeaderView(const HeaderControls &controls, Session &session, QObject *parent = nullptr);

    // Refills lvHeader from the current image with the active filter's tags, sorted by tag.
    void LoadHeaderData();
    // Sorts by the column, or reverses the order when it is sorted by it already.
    void lvHeader_ColumnClick(int column);
    void lvHeader_ItemClick(QTreeWidgetItem *item);

private:
    HeaderControls c_;
    Session &session_;
    int sortColumn_ = 1; // the tag
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};
