#pragma once

#include "store/Session.h"
#include "toolkit/Toolkit.h"

#include <QObject>
#include <QPoint>

#include <functional>

class QMenu;
class QScrollBar;
class QTreeWidget;
class ToolkitViewer;

// Forgets the session's current image (and switches its selection frame off).
void ClearCurrentImage(Session &session);

// Takes every image out of the viewer (dicomViewer may be null) and the
// session's loaded image list, and forgets the current image, which went with them.
void ClearViewer(Session &session, ToolkitViewer *dicomViewer);

// RoundUp(x): x rounded to the nearest whole number (halves to even), plus one
// when x lies above it; as a 16-bit integer.
qint16 ViewerRoundUp(double value);

// The controls the viewer logic drives; the main window owns them.
struct ViewerControls {
    ToolkitViewer *dicomViewer = nullptr;       // the tile grid
    QScrollBar *dv1_vscroll = nullptr;  // vertical scroll bar beside dicomViewer
    QMenu *PopUpViewer = nullptr;       // viewer pop-up menu; BuildPopUpViewer fills it
    std::function<void()> refreshHeader; // rebuilds the header view of the current image
    std::function<void(const QPoint &globalPos)> showPopUp; // optional; default opens PopUpViewer there
    std::function<void()> deleteImage; // the pop-up's "Delete image"; without it the entry is left out
};

// The viewer's grid, paging, selection and pop-up menu. Connects itself to
// dicomViewer (mouse and keys) and dv1_vscroll (value changes); the image
// selected becomes the session's current image.
class ImageViewer : public QObject {
    Q_OBJECT
public:
    ImageViewer(Session &session, const ViewerControls &controls, QObject *parent = nullptr);

    // Columns, rows and background from the settings (start-up, options dialog).
    void SetUpViewer();
    // After a load, a deletion or the options dialog.
    void UpdateScrollRange();
    int TilesPerPage() const;

    void ScrollChanged(int value);
    void KeyDown(int keyCode);
    void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, const QPoint &pos);

    // Makes the viewer image at index (1-based) the current one: frames and panel 3.
    void SelectImage(int index);
    // The image-list click rule: the first viewer image whose UID contains uidCell.
    // False (nothing changes) when none does.
    bool SelectImageByUid(const QString &uidCell);

    // Display operations, on the current image or on all images.
    void Rotate(bool right, bool all);
    void Mirror(bool horizontal, bool all);
    void Reset(bool all);

    // Fills the PopUpViewer menu with its entries (object names as the menu's).
    void BuildPopUpViewer();

signals:
    // A status line panel (1-based) gets this text.
    void statusText(int panel, const QString &text);
    // The operator clicked the image with this UID: its image-list row becomes the current one.
    void imageClicked(const QString &uid);

private:
    void openPopUp(const QPoint &pos);
    void forEachTarget(bool all, const std::function<void(ToolkitDisplay &)> &change);

    Session &session_;
    ViewerControls c_;
};
