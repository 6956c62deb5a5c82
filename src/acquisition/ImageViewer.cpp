#include "acquisition/ImageViewer.h"

#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "ui/UiColors.h"

#include <cmath>
#include <limits>

namespace {

// The index arithmetic is 16-bit; a result outside that range is dropped, as
// the overflow that it would have raised skipped the statement.
bool fits16(qint64 v) { return v >= std::numeric_limits<qint16>::min() && v <= std::numeric_limits<qint16>::max(); }

} // namespace

qint16 ViewerRoundUp(double value)
{
    const double n = std::nearbyint(value); // ties to even under the default rounding mode
    const double r = value > n ? n + 1 : n;
    return fits16(qint64(r)) ? qint16(r) : std::numeric_limits<qint16>::max();
}

ImageViewer::ImageViewer(Session &session, ViewerGrid &grid, QObject *parent) : QObject(parent), session_(session), grid_(grid)
{
    connect(&session_, &Session::imageLoaded, this, [this](const ToolkitImagePtr &image) { grid_.addImage(image); });
    connect(&session_, &Session::imageRemoved, this, &ImageViewer::showLoadedImages);
    connect(&session_, &Session::loadedImagesCleared, this, &ImageViewer::showLoadedImages);
    connect(&session_, &Session::currentImageChanged, this, &ImageViewer::showCurrentImage);
    showLoadedImages();
}

void ImageViewer::showLoadedImages()
{
    grid_.clearImages();
    for (const ToolkitImagePtr &image : session_.loadedImages().items)
        grid_.addImage(image);
    grid_.setFirstTile(1);
    UpdateScrollRange();
    showCurrentImage();
}

void ImageViewer::showCurrentImage()
{
    const ToolkitImagePtr image = session_.currentImage();
    grid_.setFramed(image, FromBgr(Settings.Viewer_fgColor));
    if (!image) {
        emit statusText(3, QString());
        return;
    }
    emit statusText(3, QStringLiteral("Sel. image #: ") + QString::number(session_.currentImageIndex()));
    // Mammograms carry the side as image laterality; the series laterality wins when present.
    QString side = GetAttribute(image, Tags::Laterality).value;
    if (side.isEmpty())
        side = GetAttribute(image, Tags::ImageLaterality).value;
    emit statusText(5, side.toUpper() + QLatin1Char('-') + GetAttribute(image, Tags::ViewPosition).value.toUpper());
}

void ImageViewer::SetUpViewer()
{
    grid_.setGrid(Settings.Viewer_Columns > 0 ? Settings.Viewer_Columns : 2, Settings.Viewer_Rows > 0 ? Settings.Viewer_Rows : 2,
                  FromBgr(Settings.Viewer_bgColor));
}

void ImageViewer::ApplyGridSettings()
{
    const int columns = Settings.Viewer_Columns > 0 ? Settings.Viewer_Columns : 2;
    const int rows = Settings.Viewer_Rows > 0 ? Settings.Viewer_Rows : 2;
    if (columns != grid_.columns() || rows != grid_.rows()) {
        if (ListCount(session_.loadedImages()) >= 2)
            grid_.setFirstTile(1);
    }
    SetUpViewer();
    UpdateScrollRange();
}

// The grid the viewer shows, so that paging matches what is on screen.
int ImageViewer::TilesPerPage() const { return grid_.rows() * grid_.columns(); }

void ImageViewer::UpdateScrollRange()
{
    const int count = ListCount(session_.loadedImages());
    const int tiles = TilesPerPage();
    if (tiles > count || count == 0) {
        grid_.setScrollRange(std::nullopt);
        return;
    }
    grid_.setScrollRange(ViewerRoundUp(double(count - tiles) / grid_.columns()));
}

void ImageViewer::ScrollChanged(int value)
{
    const qint64 first = qint64(value) * grid_.columns() + 1;
    if (fits16(first))
        grid_.setFirstTile(int(first));
}

void ImageViewer::KeyDown(int keyCode)
{
    const qint64 first = grid_.firstTile();
    const qint64 tiles = TilesPerPage();
    const qint64 count = ListCount(session_.loadedImages());
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
        grid_.setFirstTile(int(next));
}

void ImageViewer::SelectImage(int index)
{
    if (const ToolkitImagePtr image = ListItem(session_.loadedImages(), index))
        session_.setCurrentImage(ImageUid(image));
}

bool ImageViewer::SelectImageByUid(const QString &uid) { return session_.setCurrentImage(uid); }

void ImageViewer::MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers, const QPoint &pos)
{
    const ToolkitImagePtr image = grid_.imageAt(pos);
    const QString uid = image ? ImageUid(image) : QString();
    // Not a loaded image (an empty frame, a tile left from before): nothing to select.
    if (uid.isEmpty() || !session_.loadedImage(uid))
        return;
    if (uid != session_.currentImageUid())
        session_.setCurrentImage(uid);
    if (button == Qt::RightButton)
        grid_.popUp(pos);
}

void ImageViewer::forEachTarget(bool all, const std::function<void(ToolkitDisplay &)> &change)
{
    if (all) {
        for (const ToolkitImagePtr &image : session_.loadedImages().items)
            change(image->display());
    } else if (const ToolkitImagePtr current = session_.currentImage()) {
        change(current->display());
    }
    grid_.refreshDisplay();
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

QList<ViewerMenuEntry> ImageViewer::popUpEntries() const
{
    const QString rotate = QStringLiteral("Drehen"), mirror = QStringLiteral("Spiegeln");
    const QString rotateAll = QStringLiteral("Alle Drehen"), mirrorAll = QStringLiteral("Alle Spiegeln");
    auto in = [](ViewerAction a, const QString &caption, const QString &group, const char *name) {
        const QString base = QLatin1String(name);
        return ViewerMenuEntry{a, caption, QString(), group, base + QStringLiteral("Sub"), base};
    };
    auto line = [](const char *name) { return ViewerMenuEntry{ViewerAction::Separator, QString(), QLatin1String(name), {}, {}, {}}; };
    QList<ViewerMenuEntry> entries{
        in(ViewerAction::RotateRight, QStringLiteral("90° rechts"), rotate, "PopUpViewerRotate"),
        in(ViewerAction::RotateLeft, QStringLiteral("90° links"), rotate, "PopUpViewerRotate"),
        in(ViewerAction::MirrorHorizontal, QStringLiteral("horizontal"), mirror, "PopUpViewerMirror"),
        in(ViewerAction::MirrorVertical, QStringLiteral("vertical"), mirror, "PopUpViewerMirror"),
        line("mnuViewerTrennY"),
        in(ViewerAction::RotateAllRight, QStringLiteral("90° rechts"), rotateAll, "PopUpViewerRotateAll"),
        in(ViewerAction::RotateAllLeft, QStringLiteral("90° links"), rotateAll, "PopUpViewerRotateAll"),
        in(ViewerAction::MirrorAllHorizontal, QStringLiteral("horizontal"), mirrorAll, "PopUpViewerMirrorAll"),
        in(ViewerAction::MirrorAllVertical, QStringLiteral("vertikal"), mirrorAll, "PopUpViewerMirrorAll"),
        line("mnuViewerTrennX"),
        {ViewerAction::Reset, QStringLiteral("Zurücksetzen"), QStringLiteral("PopUpViewerReset"), {}, {}, {}},
        {ViewerAction::ResetAll, QStringLiteral("Alle Zurücksetzen"), QStringLiteral("PopUpViewerResetAll"), {}, {}, {}},
    };
    if (deleteOffered_) {
        entries << line("");
        entries << ViewerMenuEntry{ViewerAction::DeleteImage, QStringLiteral("Delete image"), QStringLiteral("PopupDeleteImage"), {}, {}, {}};
    }
    return entries;
}

void ImageViewer::trigger(ViewerAction action)
{
    switch (action) {
    case ViewerAction::RotateRight: return Rotate(true, false);
    case ViewerAction::RotateLeft: return Rotate(false, false);
    case ViewerAction::MirrorHorizontal: return Mirror(true, false);
    case ViewerAction::MirrorVertical: return Mirror(false, false);
    case ViewerAction::RotateAllRight: return Rotate(true, true);
    case ViewerAction::RotateAllLeft: return Rotate(false, true);
    case ViewerAction::MirrorAllHorizontal: return Mirror(true, true);
    case ViewerAction::MirrorAllVertical: return Mirror(false, true);
    case ViewerAction::Reset: return Reset(false);
    case ViewerAction::ResetAll: return Reset(true);
    case ViewerAction::DeleteImage: emit deleteImageRequested(); return;
    case ViewerAction::Separator: return;
    }
}
