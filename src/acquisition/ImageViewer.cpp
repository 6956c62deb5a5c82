#include "acquisition/ImageViewer.h"

#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "toolkit/ToolkitViewer.h"
#include "ui/UiColors.h"

#include <QMenu>
#include <QScrollBar>

#include <cmath>
#include <limits>

namespace {

constexpr int SelectedFrameWidth = 2;

// The index arithmetic is 16-bit; a result outside that range is dropped, as
// the overflow that it would have raised skipped the statement.
bool fits16(qint64 v) { return v >= std::numeric_limits<qint16>::min() && v <= std::numeric_limits<qint16>::max(); }

} // namespace

void ClearCurrentImage(Session &session)
{
    if (const ToolkitImagePtr &image = session.currentImage())
        image->display().frameWidth = 0;
    session.clearCurrentImage();
}

void ClearViewer(Session &session, ToolkitViewer *dicomViewer)
{
    if (dicomViewer)
        dicomViewer->clearImages();
    ListClear(session.loadedImages());
    ClearCurrentImage(session);
}

qint16 ViewerRoundUp(double value)
{
    const double n = std::nearbyint(value); // ties to even under the default rounding mode
    const double r = value > n ? n + 1 : n;
    return fits16(qint64(r)) ? qint16(r) : std::numeric_limits<qint16>::max();
}

ImageViewer::ImageViewer(Session &session, const ViewerControls &controls, QObject *parent)
    : QObject(parent), session_(session), c_(controls)
{
    if (c_.dicomViewer) {
        connect(c_.dicomViewer, &ToolkitViewer::mouseDown, this, &ImageViewer::MouseDown);
        connect(c_.dicomViewer, &ToolkitViewer::keyDown, this, &ImageViewer::KeyDown);
        connect(c_.dicomViewer, &ToolkitViewer::renderFailed, this, [](const ToolkitImagePtr &image, const Result &e) {
            WriteErrorLog(e.number, image->path() + QStringLiteral(": ") + e.text, QStringLiteral("MainForm dicomViewer (RENDER_ERROR)"));
        });
        connect(c_.dicomViewer, &ToolkitViewer::renderNote, this, [](const ToolkitImagePtr &image, const QString &note) {
            WriteErrorLog(ErrorCode::NoPixels, image->path() + QStringLiteral(": ") + note, QStringLiteral("MainForm dicomViewer (RENDER_NOTE)"));
        });
    }
    if (c_.dv1_vscroll)
        connect(c_.dv1_vscroll, &QScrollBar::valueChanged, this, &ImageViewer::ScrollChanged);
}

void ImageViewer::SetUpViewer()
{
    if (!c_.dicomViewer)
        return;
    c_.dicomViewer->setColumns(Settings.Viewer_Columns > 0 ? Settings.Viewer_Columns : 3);
    c_.dicomViewer->setRows(Settings.Viewer_Rows > 0 ? Settings.Viewer_Rows : 7);
    c_.dicomViewer->setBackgroundColor(FromBgr(Settings.Viewer_bgColor));
}

// The grid the viewer shows, so that paging matches what is on screen.
int ImageViewer::TilesPerPage() const { return c_.dicomViewer ? c_.dicomViewer->rows() * c_.dicomViewer->columns() : 0; }

void ImageViewer::UpdateScrollRange()
{
    if (!c_.dicomViewer || !c_.dv1_vscroll)
        return;
    const int count = c_.dicomViewer->imageCount();
    const int tiles = TilesPerPage();
    if (tiles > count || count == 0) {
        c_.dv1_vscroll->hide();
        return;
    }
    c_.dv1_vscroll->setMinimum(0);
    c_.dv1_vscroll->setMaximum(ViewerRoundUp(double(count - tiles) / c_.dicomViewer->columns()));
    c_.dv1_vscroll->show();
}

void ImageViewer::ScrollChanged(int value)
{
    if (!c_.dicomViewer)
        return;
    const qint64 first = qint64(value) * c_.dicomViewer->columns() + 1;
    if (fits16(first))
        c_.dicomViewer->setFirstTile(int(first));
}

void ImageViewer::KeyDown(int keyCode)
{
    if (!c_.dicomViewer)
        return;
    const qint64 first = c_.dicomViewer->firstTile();
    const qint64 tiles = TilesPerPage();
    const qint64 count = c_.dicomViewer->imageCount();
    qint64 next = first;
    switch (keyCode) {
    case 33: // Page Up
        next = (first - tiles > 1 && first != 1) ? first - tiles : 1;
        break;
    case 34: // Page Down
        if (first + tiles < count)
            next = first + tiles;
        break;
    case 37: // Left: first page
        if (count > tiles)
            next = 1;
        break;
    case 38: // Up: one back
        if (first >= 2)
            next = first - 1;
        break;
    case 39: // Right: last page
        if (count > tiles)
            next = count - (tiles - 1);
        break;
    case 40: // Down: one on
        if (count > tiles && first + tiles - 1 < count)
            next = first + 1;
        break;
    default: // End, Home and the rest: nothing
        return;
    }
    if (next != first && fits16(next))
        c_.dicomViewer->setFirstTile(int(next));
}

void ImageViewer::SelectImage(int index)
{
    const ToolkitImagePtr image = c_.dicomViewer ? c_.dicomViewer->image(index) : nullptr;
    if (!image)
        return;
    if (const ToolkitImagePtr &previous = session_.currentImage())
        previous->display().frameWidth = 0;
    image->display().frameWidth = SelectedFrameWidth;
    image->display().frameColor = FromBgr(Settings.Viewer_fgColor);
    session_.setCurrentImage(index, image);
    c_.dicomViewer->refreshDisplay();
    emit statusText(3, QStringLiteral("Sel. image #: ") + QString::number(index));
}

bool ImageViewer::SelectImageByUid(const QString &uidCell)
{
    if (!c_.dicomViewer)
        return false;
    for (int i = 1; i <= c_.dicomViewer->imageCount(); ++i) {
        const ToolkitImagePtr image = c_.dicomViewer->image(i);
        const QString uid = image->isValid() ? ImageUid(image) : QString();
        if (!uid.isEmpty() && uidCell.contains(uid)) {
            SelectImage(i);
            return true;
        }
    }
    return false;
}

void ImageViewer::MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers, const QPoint &pos)
{
    if (!c_.dicomViewer)
        return;
    const int index = c_.dicomViewer->hitTest(pos);
    if (index < 1 || index > c_.dicomViewer->imageCount())
        return;
    const ToolkitImagePtr image = c_.dicomViewer->image(index);
    if (!image->isValid())
        return; // an empty frame: nothing to select
    if (const ToolkitImagePtr &current = session_.currentImage(); current && ImageUid(current) == ImageUid(image)) {
        if (button == Qt::RightButton)
            openPopUp(pos);
        return;
    }
    SelectImage(index);
    emit imageClicked(ImageUid(image));
    // Mammograms carry the side as image laterality; the series laterality wins when present.
    QString side = GetAttribute(image, Tags::Laterality).value;
    if (side.isEmpty())
        side = GetAttribute(image, Tags::ImageLaterality).value;
    emit statusText(5, side.toUpper() + QLatin1Char('-') + GetAttribute(image, Tags::ViewPosition).value.toUpper());
    if (!Settings.FilterActive.isEmpty() && c_.refreshHeader)
        c_.refreshHeader();
    if (button == Qt::RightButton)
        openPopUp(pos);
}

void ImageViewer::openPopUp(const QPoint &pos)
{
    const QPoint global = c_.dicomViewer->mapToGlobal(pos);
    if (c_.showPopUp)
        c_.showPopUp(global);
    else if (c_.PopUpViewer)
        c_.PopUpViewer->popup(global);
}

void ImageViewer::forEachTarget(bool all, const std::function<void(ToolkitDisplay &)> &change)
{
    if (!c_.dicomViewer)
        return;
    if (all) {
        for (const ToolkitImagePtr &image : c_.dicomViewer->images())
            change(image->display());
    } else if (const ToolkitImagePtr &current = session_.currentImage()) {
        change(current->display());
    }
    c_.dicomViewer->refreshDisplay();
}

void ImageViewer::Rotate(bool right, bool all)
{
    forEachTarget(all, [right](ToolkitDisplay &d) { d.rotation = (d.rotation + (right ? 1 : 3)) % 4; });
}

void ImageViewer::Mirror(bool horizontal, bool all)
{
    // Mirroring acts on the screen axes: on a quarter-turned image they are swapped.
    forEachTarget(all, [horizontal](ToolkitDisplay &d) {
        if (horizontal != (d.rotation % 2 == 1))
            d.mirrorH = !d.mirrorH;
        else
            d.mirrorV = !d.mirrorV;
    });
}

void ImageViewer::Reset(bool all)
{
    forEachTarget(all, [](ToolkitDisplay &d) {
        d.rotation = 0;
        d.mirrorH = d.mirrorV = false;
    });
}

void ImageViewer::BuildPopUpViewer()
{
    QMenu *menu = c_.PopUpViewer;
    if (!menu)
        return;
    menu->clear();
    auto sub = [&](const char *name, const QString &caption, const char *subName) {
        QMenu *m = menu->addMenu(caption);
        m->setObjectName(QLatin1String(subName));
        m->menuAction()->setObjectName(QLatin1String(name));
        return m;
    };
    auto entry = [](QMenu *m, const QString &caption, std::function<void()> f) {
        QAction *a = m->addAction(caption);
        QObject::connect(a, &QAction::triggered, m, std::move(f));
        return a;
    };
    QMenu *rotate = sub("PopUpViewerRotate", QStringLiteral("Drehen"), "PopUpViewerRotateSub");
    entry(rotate, QStringLiteral("90° rechts"), [this] { Rotate(true, false); });
    entry(rotate, QStringLiteral("90° links"), [this] { Rotate(false, false); });
    QMenu *mirror = sub("PopUpViewerMirror", QStringLiteral("Spiegeln"), "PopUpViewerMirrorSub");
    entry(mirror, QStringLiteral("horizontal"), [this] { Mirror(true, false); });
    entry(mirror, QStringLiteral("vertical"), [this] { Mirror(false, false); });
    menu->addSeparator()->setObjectName(QStringLiteral("mnuViewerTrennY"));
    QMenu *rotateAll = sub("PopUpViewerRotateAll", QStringLiteral("Alle Drehen"), "PopUpViewerRotateAllSub");
    entry(rotateAll, QStringLiteral("90° rechts"), [this] { Rotate(true, true); });
    entry(rotateAll, QStringLiteral("90° links"), [this] { Rotate(false, true); });
    QMenu *mirrorAll = sub("PopUpViewerMirrorAll", QStringLiteral("Alle Spiegeln"), "PopUpViewerMirrorAllSub");
    entry(mirrorAll, QStringLiteral("horizontal"), [this] { Mirror(true, true); });
    entry(mirrorAll, QStringLiteral("vertikal"), [this] { Mirror(false, true); });
    menu->addSeparator()->setObjectName(QStringLiteral("mnuViewerTrennX"));
    entry(menu, QStringLiteral("Zurücksetzen"), [this] { Reset(false); })->setObjectName(QStringLiteral("PopUpViewerReset"));
    entry(menu, QStringLiteral("Alle Zurücksetzen"), [this] { Reset(true); })->setObjectName(QStringLiteral("PopUpViewerResetAll"));
    if (c_.deleteImage) {
        menu->addSeparator();
        entry(menu, QStringLiteral("Delete image"), c_.deleteImage)->setObjectName(QStringLiteral("PopupDeleteImage"));
    }
}
