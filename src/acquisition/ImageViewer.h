#pragma once

#include "store/Session.h"
#include "toolkit/Toolkit.h"

#include <QColor>
#include <QList>
#include <QObject>
#include <QPoint>

#include <functional>
#include <optional>

// The tile grid as the viewer logic sees it: it shows what the logic hands it
// (the session's loaded images, the current one framed), the page and the
// scroll range. The viewer panel implements it over its control.
class ViewerGrid {
public:
    virtual ~ViewerGrid() = default;
    virtual int columns() const = 0;
    virtual int rows() const = 0;
    virtual void setGrid(int columns, int rows, const QColor &background) = 0;
    virtual void addImage(const ToolkitImagePtr &image) = 0;
    virtual void clearImages() = 0;
    // The image drawn with the selection frame; null for none.
    virtual void setFramed(const ToolkitImagePtr &image, const QColor &color) = 0;
    // Off while a load adds its images, so that the grid is drawn once.
    virtual void setRedraw(bool on) = 0;
    virtual int firstTile() const = 0;
    virtual void setFirstTile(int first) = 0;
    virtual void refreshDisplay() = 0;
    // The image under a point of the grid; null for none.
    virtual ToolkitImagePtr imageAt(const QPoint &pos) const = 0;
    // The scroll bar's maximum (minimum 0); none hides it.
    virtual void setScrollRange(std::optional<int> maximum) = 0;
    // The pop-up menu at a point of the grid.
    virtual void popUp(const QPoint &pos) = 0;
};

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
// grid. The grid shows the session's loaded images and frames its current
// one, following the session's signals; a tile clicked makes its image, by
// UID, the session's current image, which the lists and the header view follow.
class ImageViewer : public QObject {
    Q_OBJECT
public:
    ImageViewer(Session &session, ViewerGrid &grid, QObject *parent = nullptr);

    ViewerGrid &grid() { return grid_; }

    // Columns, rows and background from the settings (start-up, options dialog).
    void SetUpViewer();
    // The grid and colours as the settings stand (the options' OK): a grid
    // of another size starts again at the first image; the scroll range follows.
    void ApplyGridSettings();
    // After a load, a deletion or the options dialog.
    void UpdateScrollRange();
    int TilesPerPage() const;

    void ScrollChanged(int value);
    void KeyDown(int keyCode);
    void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, const QPoint &pos);

    // Makes the loaded image at this position (1-based) the current one.
    void SelectImage(int index);
    // The loaded image with this SOP instance UID becomes the current one.
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
    // The pop-up's "Delete image" on the current image.
    void deleteImageRequested();

private:
    // The grid shows the session's loaded images anew, from the first tile.
    void showLoadedImages();
    // The frame and the status panels follow the session's current image.
    void showCurrentImage();
    void forEachTarget(bool all, const std::function<void(ToolkitDisplay &)> &change);

    Session &session_;
    ViewerGrid &grid_;
    bool deleteOffered_ = false;
};
