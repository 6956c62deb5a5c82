#pragma once

#include "store/Session.h"
#include "toolkit/Toolkit.h"

#include <QColor>
#include <QList>
#include <QObject>
#include <QPoint>

#include <functional>
#include <optional>

// The tile grid as the viewer logic sees it: the images shown, the page and
// the scroll range. The viewer panel implements it over its control.
class ViewerGrid {
public:
    virtual ~ViewerGrid() = default;
    virtual int columns() const = 0;
    virtual int rows() const = 0;
    virtual void setGrid(int columns, int rows, const QColor &background) = 0;
    virtual int imageCount() const = 0;
    // 1-based; null outside the list.
    virtual ToolkitImagePtr image(int index) const = 0;
    virtual QList<ToolkitImagePtr> images() const = 0;
    virtual void addImage(const ToolkitImagePtr &image) = 0;
    virtual void clearImages() = 0;
    // Off while a load adds its images, so that the grid is drawn once.
    virtual void setRedraw(bool on) = 0;
    virtual int firstTile() const = 0;
    virtual void setFirstTile(int first) = 0;
    virtual void refreshDisplay() = 0;
    // The image index (1-based) under a point of the grid; 0 for none.
    virtual int hitTest(const QPoint &pos) const = 0;
    // The scroll bar's maximum (minimum 0); none hides it.
    virtual void setScrollRange(std::optional<int> maximum) = 0;
    // The pop-up menu at a point of the grid.
    virtual void popUp(const QPoint &pos) = 0;
};

// Forgets the session's current image (and switches its selection frame off).
void ClearCurrentImage(Session &session);

// Takes every image out of the grid (which may be null) and the session's
// loaded image list, and forgets the current image, which went with them.
void ClearViewer(Session &session, ViewerGrid *grid);

// RoundUp(x): x rounded to the nearest whole number (halves to even), plus one
// when x lies above it; as a 16-bit integer.
qint16 ViewerRoundUp(double value);

// The pop-up's commands.
enum class ViewerAction {
    RotateRight, RotateLeft, MirrorHorizontal, MirrorVertical,
    RotateAllRight, RotateAllLeft, MirrorAllHorizontal, MirrorAllVertical,
    Reset, ResetAll, DeleteImage,
    Separator, // no command: a line between groups
};

// One entry of the pop-up, in menu order. Entries with a group sit in a
// submenu of that caption (object name groupName, its menu action groupAction).
struct ViewerMenuEntry {
    ViewerAction action;
    QString caption;
    QString objectName;
    QString group;
    QString groupName;
    QString groupAction;
};

// The viewer's paging, selection, display changes and pop-up entries over a
// grid; the image selected becomes the session's current image (whose
// currentImageChanged the header view follows).
class ImageViewer : public QObject {
    Q_OBJECT
public:
    ImageViewer(Session &session, ViewerGrid &grid, QObject *parent = nullptr);

    ViewerGrid &grid() { return grid_; }

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
    // The viewer image with this SOP instance UID becomes the current one.
    // False (nothing changes) when none has it.
    bool SelectImageByUid(const QString &uid);

    // Display operations, on the current image or on all images.
    void Rotate(bool right, bool all);
    void Mirror(bool horizontal, bool all);
    void Reset(bool all);

    // The pop-up's entries; "Delete image" only when deletion is offered.
    QList<ViewerMenuEntry> popUpEntries() const;
    void setDeleteOffered(bool offered) { deleteOffered_ = offered; }
    void trigger(ViewerAction action);

signals:
    // A status line panel (1-based) gets this text.
    void statusText(int panel, const QString &text);
    // The operator clicked the image with this UID: its image-list row becomes the current one.
    void imageClicked(const QString &uid);
    // The pop-up's "Delete image" on the current image.
    void deleteImageRequested();

private:
    void forEachTarget(bool all, const std::function<void(ToolkitDisplay &)> &change);

    Session &session_;
    ViewerGrid &grid_;
    bool deleteOffered_ = false;
};
