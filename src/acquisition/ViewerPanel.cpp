#include "acquisition/ViewerPanel.h"

#include "core/ErrorLog.h"

ViewerPanel::ViewerPanel(QWidget *parent) : QWidget(parent), menu_(QStringLiteral("Viewer"))
{
    setObjectName(QStringLiteral("ViewerPanel"));
    grid_.setParent(this);
    grid_.setObjectName(QStringLiteral("dv1"));
    scroll_.setParent(this);
    scroll_.setObjectName(QStringLiteral("dv1_vscroll"));
    menu_.setParent(this, menu_.windowFlags());
    menu_.setObjectName(QStringLiteral("PopUpViewer"));
    connect(&grid_, &ToolkitViewer::renderFailed, this, [](const ToolkitImagePtr &image, const Result &e) {
        WriteErrorLog(e.number, image->path() + QStringLiteral(": ") + e.text, QStringLiteral("MainForm dicomViewer (RENDER_ERROR)"));
    });
    connect(&grid_, &ToolkitViewer::renderNote, this, [](const ToolkitImagePtr &image, const QString &note) {
        WriteErrorLog(ErrorCode::NoPixels, image->path() + QStringLiteral(": ") + note, QStringLiteral("MainForm dicomViewer (RENDER_NOTE)"));
    });
}

void ViewerPanel::bind(ImageViewer &viewer)
{
    connect(&grid_, &ToolkitViewer::mouseDown, &viewer, &ImageViewer::MouseDown);
    connect(&grid_, &ToolkitViewer::keyDown, &viewer, &ImageViewer::KeyDown);
    connect(&scroll_, &QScrollBar::valueChanged, &viewer, &ImageViewer::ScrollChanged);
    menu_.clear();
    QMenu *group = nullptr;
    for (const ViewerMenuEntry &e : viewer.popUpEntries()) {
        if (e.action == ViewerAction::Separator) {
            group = nullptr;
            menu_.addSeparator()->setObjectName(e.objectName);
            continue;
        }
        if (e.group.isEmpty()) {
            group = nullptr;
        } else if (!group || group->title() != e.group) {
            group = menu_.addMenu(e.group);
            group->setObjectName(e.groupName);
            group->menuAction()->setObjectName(e.groupAction);
        }
        QMenu *in = group ? group : &menu_;
        QAction *a = in->addAction(e.caption);
        if (!e.objectName.isEmpty())
            a->setObjectName(e.objectName);
        connect(a, &QAction::triggered, &viewer, [&viewer, action = e.action] { viewer.trigger(action); });
    }
}

void ViewerPanel::placeGrid(const QRect &rect)
{
    setGeometry(rect.x(), rect.y(), rect.width() + scroll_.sizeHint().width(), rect.height());
    placeChildren(); // a hidden panel gets its resize event only when shown
}

void ViewerPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeChildren();
}

void ViewerPanel::placeChildren()
{
    const int scrollWidth = scroll_.sizeHint().width();
    grid_.setGeometry(0, 0, std::max(0, width() - scrollWidth), height());
    scroll_.setGeometry(width() - scrollWidth, 0, scrollWidth, height());
}

void ViewerPanel::setGrid(int columns, int rows, const QColor &background)
{
    grid_.setColumns(columns);
    grid_.setRows(rows);
    grid_.setBackgroundColor(background);
}

void ViewerPanel::setScrollRange(std::optional<int> maximum)
{
    if (!maximum) {
        scroll_.hide();
        return;
    }
    scroll_.setMinimum(0);
    scroll_.setMaximum(*maximum);
    scroll_.show();
}

void ViewerPanel::popUp(const QPoint &pos) { menu_.popup(grid_.mapToGlobal(pos)); }
