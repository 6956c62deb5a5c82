#pragma once

#include "toolkit/Toolkit.h"

#include <QColor>
#include <QFutureWatcher>
#include <QPointF>
#include <QThreadPool>
#include <QWidget>

#include <map>

// The viewer control: a grid of rows x columns tiles showing the images of its
// collection from the first-tile index on. A double-click shows one image alone,
// filling the viewer, with wheel zoom and drag pan; another double-click returns
// to the grid. Tiles are rendered off the user-interface thread, each at the
// size it is shown, so full-size mammograms do not stall the window.
class ToolkitViewer : public QWidget {
    Q_OBJECT
public:
    explicit ToolkitViewer(QWidget *parent = nullptr);
    ~ToolkitViewer() override;

    // The images shown, indexed from 1: what its owner handed it, for drawing.
    void clearImages();
    void addImage(const ToolkitImagePtr &image);
    int imageCount() const { return int(images_.size()); }
    ToolkitImagePtr image(int index) const;
    const QList<ToolkitImagePtr> &images() const { return images_; }

    // The image drawn with the selection frame (null: none), in this colour.
    void setFramed(const ToolkitImagePtr &image, const QColor &color);
    const ToolkitImagePtr &framed() const { return framed_; }

    void setRows(int rows);
    int rows() const { return rows_; }
    void setColumns(int columns);
    int columns() const { return columns_; }

    // 1-based index of the image in the top-left tile.
    void setFirstTile(int index);
    int firstTile() const { return firstTile_; }

    void setBackgroundColor(const QColor &color);

    // Display updating: off while a load fills the collection.
    void setRedraw(bool on);
    bool redraw() const { return redraw_; }

    // 1-based index of the image under a point of the widget, 0 for none.
    int hitTest(const QPoint &pos) const;
    // The image under a point of the widget; null for none.
    ToolkitImagePtr imageAt(const QPoint &pos) const { return image(hitTest(pos)); }
    // The tile rectangle of a page position (0-based) in grid view.
    QRect tileRect(int position) const;

    // Repaints after display changes (frames, rotation, mirroring).
    void refreshDisplay();

    // Single-image view.
    bool singleView() const { return singleIndex_ > 0; }
    int singleIndex() const { return singleIndex_; }
    void showSingle(int index);
    void showGrid();
    double zoom() const { return zoom_; }
    QPointF pan() const { return pan_; }
    void setZoom(double zoom, const QPointF &anchor);
    // Where the single image is drawn (widget coordinates).
    QRectF singleImageRect() const;

    // Renders still running or queued.
    int pendingRenders() const { return pending_; }
    // True when every image in view has its picture (or is known to have none).
    bool viewComplete() const;

signals:
    // A mouse button went down over the viewer (x, y in widget coordinates).
    void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, const QPoint &pos);
    // A key went down; the code is the classic virtual-key code (33 Page Up ... 40 Down).
    void keyDown(int keyCode);
    // Everything in view has been painted with its picture.
    void viewPainted();
    // A picture could not be made; the tile stays an empty frame.
    void renderFailed(const ToolkitImagePtr &image, const Result &error);
    // The picture was made, but the decoder read the pixel data otherwise than
    // it says (as the header says); once per image while it stays in the viewer.
    void renderNote(const ToolkitImagePtr &image, const QString &note);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    struct Picture {
        QImage image;
        QSize requested;    // the size asked for; an invalid size means full resolution
        quint64 revision = 0;
        bool pending = false;
        bool failed = false;
        bool noted = false;
    };
    using Cache = std::map<const ToolkitImage *, Picture>;

    // Asks for the picture of an image at a size unless a good enough one exists.
    // Returns what can be drawn now (possibly an older, smaller picture).
    const QImage *picture(Cache &cache, const ToolkitImagePtr &image, QSize size);
    void render(Cache &cache, const ToolkitImagePtr &image, QSize size);
    void drawImage(QPainter &p, const ToolkitImagePtr &image, const QImage &pic, const QRectF &target) const;
    QSize orientedSize(const ToolkitImagePtr &image, QSize size) const;
    QList<int> visibleIndexes() const;
    void changed();

    QList<ToolkitImagePtr> images_;
    ToolkitImagePtr framed_;
    QColor frameColor_ = QColor(0xFF, 0xFF, 0xC0);
    int rows_ = 1;
    int columns_ = 1;
    int firstTile_ = 1;
    QColor background_ = Qt::black;
    bool redraw_ = true;

    int singleIndex_ = 0;
    double zoom_ = 1.0;
    QPointF pan_;
    QPoint dragFrom_;
    bool dragging_ = false;

    Cache tiles_;
    Cache full_; // single view, full resolution
    QThreadPool pool_;
    int pending_ = 0;
    quint64 generation_ = 0;
    bool paintedSignalled_ = false;
};
