#pragma once

#include "store/Session.h"
#include "store/Deletion.h"

#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QVariantList>

#include <functional>

class ImageViewer;
class QGroupBox;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class ToolkitViewer;

// A statement with its bound values.
struct BoundSql {
    QString sql;
    QVariantList values;
};

// The image and count statements of a whole study: its series in order.
struct StudyStatements {
    BoundSql imageSql;
    BoundSql countSql;
};
StudyStatements BuildStudyImageStatements(const QList<qlonglong> &seriesKeys);

// What a pop-up command acts on: the row the right button selected, taken
// when the command is given and completed from the database. Not valid
// without a row, on the series list's ".." row, or when the row's data is gone.
ImageTarget PatientRowTarget(const QTreeWidgetItem *row);
ImageTarget StudyRowTarget(const QTreeWidgetItem *row);
ImageTarget SeriesRowTarget(const QTreeWidgetItem *row);

// The controls the browser drives; the main window owns them. List views are
// report-style QTreeWidgets: row text = column 0, row tag = Qt::UserRole of column 0.
struct BrowserControls {
    QWidget *window = nullptr;          // parent of the message boxes
    QTreeWidget *lvPatients = nullptr;  // "ID", "Lastname, Firstname", "2nd Name", "Birthdate"
    QTreeWidget *lvStudien = nullptr;   // "ID", "Date", "Time", "Modality", "Bodypart"
    QTreeWidget *lvSerien = nullptr;    // series entries, one column
    QTreeWidget *lvImages = nullptr;    // "ID", "Date", "Time", "ImageUID"
    QTreeWidget *lvDosis = nullptr;     // the exposure list; its row count decides cmdSelected
    QGroupBox *frmSerien = nullptr;     // frame "Series list" around lvSerien, normally hidden
    QProgressBar *pbLoad = nullptr;     // load progress, shown while images load
    QPushButton *cmdSelected = nullptr; // "Manually"
    QMenu *PopUpPatient = nullptr;      // patient pop-up (send, delete)
    QMenu *PopUpStudie = nullptr;       // study pop-up ("View Series", "View Images", ...)
    QMenu *PopUpSerie = nullptr;        // series pop-up ("View Images", ...)
    QTimer *UpdateTimer = nullptr;      // the 10 s patient-list poll; stopped when a patient is selected
    ToolkitViewer *dicomViewer = nullptr;       // the viewer whose collection the loads fill
    ImageViewer *viewer = nullptr;      // dicomViewer's logic: scroll range, image selection
    std::function<void(int panel, const QString &text)> setStatusPanel; // statusLine panel (1-based)
    std::function<int()> taskCount;          // entries in the task list
    std::function<void()> clearTaskState;    // patient change: task list, header view, task fields, txtSelected, txtNeu emptied
    std::function<void()> clearTaskList;     // before a load: task list and header view emptied, entry fields reset
    std::function<bool(const QString &question)> askYesNo;   // optional; default a Yes/No question box
    std::function<void(const QString &message)> showCritical; // optional; default a critical message box
    std::function<void(QMenu *menu, const QPoint &globalPos)> showPopUp; // optional; default menu->popup
};

// The patient, study, series and image browser over the image database.
class Browser : public QObject {
    Q_OBJECT
public:
    Browser(Session &session, const BrowserControls &controls, QObject *parent = nullptr);

    // Always: toolbar "refresh" and menu "Refresh list". OnReceipts: the 10 s
    // poll, which reloads only when the receiver filed something since.
    enum class Refresh { Always, OnReceipts };
    void RefreshPatientList(Refresh when = Refresh::Always);

    void lvPatients_ItemClick(QTreeWidgetItem *item);
    void lvPatients_MouseUp(Qt::MouseButton button, const QPoint &pos); // pos in viewport coordinates
    void lvStudien_ItemClick(QTreeWidgetItem *item);
    void lvStudien_MouseUp(Qt::MouseButton button, const QPoint &pos);
    void lvSerien_MouseUp(Qt::MouseButton button, const QPoint &pos);
    void lvSerien_DblClick(QTreeWidgetItem *item);
    void lvImages_ItemClick(QTreeWidgetItem *item);

    void PopUpStudie_Laden();        // "View Images" of the study pop-up
    void PopUpStudie_SeriesWindow(); // "View Series"
    void PopUpSerie_Laden();         // "View Images" of the series pop-up

    void LoadStudy(const BoundSql &imageSql, const BoundSql &countSql);
    void LoadImages(const BoundSql &listSql);

private:
    void clearTaskStateForNewPatient();
    bool confirmRightClick();
    // Right button on the study or series list: the question, the row, the menu.
    void rightClick(QTreeWidget *list, QMenu *menu, Qt::MouseButton button, const QPoint &pos);
    void loadSeries(QTreeWidgetItem *item);
    void critical(const QString &message);
    void panel(int index, const QString &text);
    void popUp(QMenu *menu, QTreeWidget *list, const QPoint &pos);
    void takeStudyRow(QTreeWidgetItem *item);
    void select(const std::function<void(BrowserSelection &)> &change);

    Session &session_;
    BrowserControls c_;
    bool loading_ = false;
};
