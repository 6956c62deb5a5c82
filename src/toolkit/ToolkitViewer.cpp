#include "toolkit/ToolkitViewer.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QThread>
#include <QWheelEvent>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <utility>

namespace {

constexpr int TileMargin = 2;
constexpr int SelectionFrameWidth = 2; // pixels
constexpr double MaxZoom = 16.0;

struct RenderResult {
    QImage image;
    Result error;
    QStringList notes;
};

} // namespace

ToolkitViewer::ToolkitViewer(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Decoding a 27 MB mammogram takes a while: one per core.
    pool_.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
}

ToolkitViewer::~ToolkitViewer()
{
    ++generation_;
    pool_.waitForDone();
}

void ToolkitViewer::clearImages()
{
    images_.clear();
    framed_.reset();
    tiles_.clear();
    full_.clear();
    ++generation_;
    firstTile_ = 1;
    singleIndex_ = 0;
    changed();
}

void ToolkitViewer::addImage(const ToolkitImagePtr &image)
{
    if (!image)
        return;
    images_.append(image);
    changed();
}

void ToolkitViewer::setFramed(const ToolkitImagePtr &image, const QColor &color)
{
    framed_ = image;
    frameColor_ = color;
    changed();
}

ToolkitImagePtr ToolkitViewer::image(int index) const
{
    return index >= 1 && index <= images_.size() ? images_.at(index - 1) : nullptr;
}

void ToolkitViewer::setRows(int rows)
{
    rows_ = std::max(1, rows);
    changed();
}

void ToolkitViewer::setColumns(int columns)
{
    columns_ = std::max(1, columns);
    changed();
}

void ToolkitViewer::setFirstTile(int index)
{
    firstTile_ = std::max(1, index);
    changed();
}

void ToolkitViewer::setBackgroundColor(const QColor &color)
{
    background_ = color;
    changed();
}

void ToolkitViewer::setRedraw(bool on)
{
    redraw_ = on;
    setUpdatesEnabled(on);
    if (on)
        changed();
}

void ToolkitViewer::refreshDisplay() { changed(); }

void ToolkitViewer::changed()
{
    paintedSignalled_ = false;
    if (redraw_)
        update();
}

QRect ToolkitViewer::tileRect(int position) const
{
    const int w = width() / columns_, h = height() / rows_;
    return QRect((position % columns_) * w, (position / columns_) * h, w, h);
}

int ToolkitViewer::hitTest(const QPoint &pos) const
{
    if (!rect().contains(pos))
        return 0;
    if (singleView())
        return singleIndex_ <= images_.size() ? singleIndex_ : 0;
    const int w = width() / columns_, h = height() / rows_;
    if (w <= 0 || h <= 0)
        return 0;
    const int col = pos.x() / w, row = pos.y() / h;
    if (col >= columns_ || row >= rows_)
        return 0;
    const int index = firstTile_ + row * columns_ + col;
    return index <= images_.size() ? index : 0;
}

QList<int> ToolkitViewer::visibleIndexes() const
{
    QList<int> out;
    if (singleView()) {
        out << singleIndex_;
        return out;
    }
    for (int p = 0; p < rows_ * columns_; ++p) {
        const int index = firstTile_ + p;
        if (index > images_.size())
            break;
        out << index;
    }
    return out;
}

void ToolkitViewer::showSingle(int index)
{
    if (index < 1 || index > images_.size())
        return;
    singleIndex_ = index;
    zoom_ = 1.0;
    pan_ = QPointF();
    changed();
}

void ToolkitViewer::showGrid()
{
    singleIndex_ = 0;
    full_.clear(); // full-resolution pictures are big; keep only the tiles
    changed();
}

QSize ToolkitViewer::orientedSize(const ToolkitImagePtr &image, QSize size) const
{
    return image->display().rotation % 2 ? size.transposed() : size;
}

QRectF ToolkitViewer::singleImageRect() const
{
    const ToolkitImagePtr img = image(singleIndex_);
    if (!img)
        return {};
    QSizeF natural;
    auto it = full_.find(img.get());
    if (it != full_.end() && !it->second.image.isNull())
        natural = it->second.image.size();
    else if (auto t = tiles_.find(img.get()); t != tiles_.end() && !t->second.image.isNull())
        natural = t->second.image.size();
    else
        natural = QSizeF(width(), height());
    if (img->display().rotation % 2)
        natural.transpose();
    const QSizeF fit = natural.scaled(QSizeF(size()), Qt::KeepAspectRatio) * zoom_;
    const QPointF centre = QPointF(width() / 2.0, height() / 2.0) + pan_;
    return QRectF(centre - QPointF(fit.width() / 2, fit.height() / 2), fit);
}

void ToolkitViewer::setZoom(double zoom, const QPointF &anchor)
{
    zoom = std::clamp(zoom, 1.0, MaxZoom);
    // Keep the point under the anchor where it is.
    const QPointF centre = QPointF(width() / 2.0, height() / 2.0) + pan_;
    const double k = zoom / zoom_;
    const QPointF newCentre = anchor + (centre - anchor) * k;
    zoom_ = zoom;
    pan_ = zoom_ == 1.0 ? QPointF() : newCentre - QPointF(width() / 2.0, height() / 2.0);
    changed();
}

const QImage *ToolkitViewer::picture(Cache &cache, const ToolkitImagePtr &image, QSize size)
{
    Picture &p = cache[image.get()];
    const bool current = p.revision == image->revision();
    const bool bigEnough = !p.requested.isValid()
                           || (size.isValid() && p.requested.width() >= size.width() && p.requested.height() >= size.height());
    if (!p.pending && !(current && (p.failed || (!p.image.isNull() && bigEnough))))
        render(cache, image, size);
    return p.image.isNull() ? nullptr : &p.image;
}

void ToolkitViewer::render(Cache &cache, const ToolkitImagePtr &image, QSize size)
{
    Picture &p = cache[image.get()];
    p.pending = true;
    ++pending_;
    const quint64 generation = generation_;
    const quint64 revision = image->revision();
    const std::weak_ptr<ToolkitImage> weak = image;
    const ToolkitRenderJob job = MakeRenderJob(image, size);
    auto *watcher = new QFutureWatcher<RenderResult>(this);
    Cache *target = &cache;
    connect(watcher, &QFutureWatcher<RenderResult>::finished, this, [=, this] {
        const RenderResult r = watcher->result();
        watcher->deleteLater();
        --pending_;
        const ToolkitImagePtr img = weak.lock();
        if (generation != generation_ || !img)
            return;
        auto it = target->find(img.get());
        if (it == target->end())
            return; // dropped meanwhile (back to the grid)
        Picture &q = it->second;
        q.pending = false;
        q.revision = revision;
        q.requested = size;
        q.failed = r.image.isNull();
        if (!q.failed)
            q.image = r.image;
        else
            emit renderFailed(img, r.error);
        if (!r.notes.isEmpty() && !std::exchange(q.noted, true))
            for (const QString &note : r.notes)
                emit renderNote(img, note);
        changed();
    });
    watcher->setFuture(QtConcurrent::run(&pool_, [job] {
        RenderResult r;
        r.image = RunRenderJob(job, &r.error, &r.notes);
        return r;
    }));
}

void ToolkitViewer::drawImage(QPainter &p, const ToolkitImagePtr &image, const QImage &pic, const QRectF &target) const
{
    const ToolkitDisplay &d = image->display();
    p.save();
    p.translate(target.center());
    p.rotate(90.0 * d.rotation);
    p.scale(d.mirrorH ? -1 : 1, d.mirrorV ? -1 : 1);
    QSizeF s = target.size();
    if (d.rotation % 2)
        s.transpose();
    p.drawImage(QRectF(QPointF(-s.width() / 2, -s.height() / 2), s), pic);
    p.restore();
}

bool ToolkitViewer::viewComplete() const
{
    for (int index : visibleIndexes()) {
        const ToolkitImagePtr img = image(index);
        if (!img->isValid())
            continue;
        const Cache &cache = singleView() ? full_ : tiles_;
        auto it = cache.find(img.get());
        if (it == cache.end() || it->second.pending || (it->second.image.isNull() && !it->second.failed))
            return false;
    }
    return true;
}

void ToolkitViewer::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), background_);
    if (!redraw_)
        return;
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const qreal dpr = devicePixelRatioF();
    const QColor emptyFrame(96, 96, 96);

    if (singleView()) {
        const ToolkitImagePtr img = image(singleIndex_);
        if (img && img->isValid()) {
            const QImage *pic = picture(full_, img, QSize());
            if (!pic) // the tile picture stands in until the full one is there
                if (auto t = tiles_.find(img.get()); t != tiles_.end() && !t->second.image.isNull())
                    pic = &t->second.image;
            if (pic)
                drawImage(p, img, *pic, singleImageRect());
        }
        if (img && img == framed_) {
            p.setPen(QPen(frameColor_, SelectionFrameWidth));
            p.drawRect(rect().adjusted(0, 0, -1, -1));
        }
    } else {
        const QList<int> indexes = visibleIndexes();
        for (int pos = 0; pos < indexes.size(); ++pos) {
            const ToolkitImagePtr img = image(indexes.at(pos));
            const QRect tile = tileRect(pos);
            const QRect inner = tile.adjusted(TileMargin, TileMargin, -TileMargin, -TileMargin);
            if (inner.isEmpty())
                continue;
            const QImage *pic = img->isValid()
                                    ? picture(tiles_, img, orientedSize(img, (QSizeF(inner.size()) * dpr).toSize()))
                                    : nullptr;
            if (pic) {
                const QSizeF shown = QSizeF(orientedSize(img, pic->size())).scaled(QSizeF(inner.size()), Qt::KeepAspectRatio);
                QRectF target(QPointF(), shown);
                target.moveCenter(QRectF(inner).center());
                drawImage(p, img, *pic, target);
            } else if (!img->isValid() || tiles_[img.get()].failed) {
                p.setPen(QPen(emptyFrame, 1));
                p.drawRect(inner.adjusted(0, 0, -1, -1));
            }
            if (img == framed_) {
                const int fw = SelectionFrameWidth;
                p.setPen(QPen(frameColor_, fw, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
                p.setBrush(Qt::NoBrush);
                p.drawRect(QRectF(tile).adjusted(fw / 2.0, fw / 2.0, -fw / 2.0, -fw / 2.0));
            }
        }
    }
    if (!paintedSignalled_ && viewComplete()) {
        paintedSignalled_ = true;
        emit viewPainted();
    }
}

void ToolkitViewer::mousePressEvent(QMouseEvent *event)
{
    setFocus(Qt::MouseFocusReason);
    if (singleView() && event->button() == Qt::LeftButton) {
        dragging_ = true;
        dragFrom_ = event->position().toPoint();
    }
    emit mouseDown(event->button(), event->modifiers(), event->position().toPoint());
}

void ToolkitViewer::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging_ || !singleView())
        return;
    const QPoint now = event->position().toPoint();
    pan_ += QPointF(now - dragFrom_);
    dragFrom_ = now;
    update();
}

void ToolkitViewer::mouseReleaseEvent(QMouseEvent *) { dragging_ = false; }

void ToolkitViewer::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (singleView()) {
        showGrid();
        return;
    }
    const int index = hitTest(event->position().toPoint());
    if (index > 0)
        showSingle(index);
}

void ToolkitViewer::wheelEvent(QWheelEvent *event)
{
    if (!singleView()) {
        event->ignore();
        return;
    }
    const double steps = event->angleDelta().y() / 120.0;
    if (steps != 0)
        setZoom(zoom_ * std::pow(1.25, steps), event->position());
    event->accept();
}

void ToolkitViewer::keyPressEvent(QKeyEvent *event)
{
    int code = 0;
    switch (event->key()) {
    case Qt::Key_PageUp: code = 33; break;
    case Qt::Key_PageDown: code = 34; break;
    case Qt::Key_End: code = 35; break;
    case Qt::Key_Home: code = 36; break;
    case Qt::Key_Left: code = 37; break;
    case Qt::Key_Up: code = 38; break;
    case Qt::Key_Right: code = 39; break;
    case Qt::Key_Down: code = 40; break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    emit keyDown(code);
}

void ToolkitViewer::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    changed();
}
