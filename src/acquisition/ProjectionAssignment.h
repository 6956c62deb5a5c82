#pragma once

#include "acquisition/Stamping.h"

#include <QDialog>
#include <array>
#include <functional>

class ImageViewer;
class Session;
class QLineEdit;
class QPushButton;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;
class ToolkitViewer;

// "Side": the operator tells the side of a medio-lateral image.
class SelectPosForm : public QDialog {
    Q_OBJECT

public:
    SelectPosForm(QWidget *parent, const ToolkitImagePtr &image);
    ToolkitViewer *dicomViewer = nullptr;
    QPushButton *cmdLeft = nullptr;
    QPushButton *cmdRight = nullptr;
    QString side() const { return side_; }

private:
    void choose(const QString &side);
    QString side_;
};

// The controls and neighbours the merge commands work with; the main window owns them.
struct AssignmentControls {
    QWidget *parent = nullptr;
    QTreeWidget *lvImages = nullptr;                 // image list, same order as the viewer; column 3 the image UID
    QTreeWidget *lvDosis = nullptr;                  // dose list
    std::array<QLineEdit *, 6> exposureBoxes{};      // values of the selected exposure; index 5 its projection
    std::array<QPushButton *, 8> cmdProjection{};    // projection buttons
    QTextEdit *txtcInput = nullptr;                  // receive buffer of the serial link
    ImageViewer *viewer = nullptr;                   // selection of the current image
    std::function<void(QTreeWidgetItem *)> lvImages_ItemClick;
    std::function<void(QTreeWidgetItem *)> lvDosis_ItemClick;
    std::function<void()> dbFill;                    // the exposure decoder, again after a projection change
    std::function<bool()> SCPOnline;                 // opens the associations
    std::function<void()> SendPatient;               // the patient send launcher
    std::function<QStringList()> defaultPartner;     // AE title, address and port of the default partner
    SideQuestion askSide;                            // unset: the SelectPosForm dialog
};

// "Merge Image/s", "Manually" and the projection buttons.
class ProjectionAssignment : public QObject {
    Q_OBJECT

public:
    ProjectionAssignment(Session &session, const AssignmentControls &controls, QObject *parent = nullptr);

    void cmdAll_Click();
    void cmdSelected_Click();
    void cmdProjection_Click(int index);
    // Captions of the projection buttons from projection.ini (unit types 2 to 5).
    void LoadProjectionCaptions();

private:
    bool stamp(const ToolkitImagePtr &image, const QString &key);
    void sendToDefault(bool blankAfterAet);
    void emptyWorkFolder();
    QString askSide(const ToolkitImagePtr &image);

    // Stamping lets window events run, so a second F1 or click would start a
    // merge over the running one's files.
    bool merging_ = false;
    Session &session_;
    AssignmentControls c_;
};

