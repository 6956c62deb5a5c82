#pragma once

#include "acquisition/Stamping.h"
#include "store/Session.h"

#include <QDialog>
#include <array>
#include <functional>

class ImageViewer;
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
    std::array<QPushButton *, 8> cmdProjection{};    // projection buttons
    QTextEdit *txtcInput = nullptr;                  // receive buffer of the serial link
    ImageViewer *viewer = nullptr;                   // selection of the current image
    std::function<int()> exposureCount;              // rows of the dose list
    std::function<void(int row)> chooseExposure;     // selects the dose-list row as the session's exposure
    std::function<void(const QString &caption)> rewriteChosenProjection; // the chosen row's projection becomes the caption
    std::function<void()> dbFill;                    // the exposure decoder, again after a projection change
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

signals:
    // The merge goes to the image row (0-based) of the image list it stamps next.
    void imageChosen(int row);
    // The stamped images are to go to the partner (AE title, address, port)
    // as the patient's; closing the send with OK applies the assignment to the dose list.
    void sendRequested(const BrowserSelection &patient, const QStringList &partner, DoseAssignment assignment);

private:
    bool stamp(const ToolkitImagePtr &image, const QString &key);
    void sendToDefault(bool blankAfterAet, DoseAssignment assignment);
    void emptyWorkFolder();
    int exposureCount() const;
    QString askSide(const ToolkitImagePtr &image);

    // Stamping lets window events run, so a second F1 or click would start a
    // merge over the running one's files.
    bool merging_ = false;
    Session &session_;
    AssignmentControls c_;
    QString rememberedSide_; // the side last found on an image, for one whose side cannot be found
};

