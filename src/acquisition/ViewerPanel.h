#pragma once

#include "acquisition/ImageViewer.h"
#include "toolkit/ToolkitViewer.h"

#include <QMenu>
#include <QScrollBar>
#include <QWidget>

// The viewer as the operator sees it: the tile grid, its scroll bar beside it
// and its pop-up menu (object names as the main window's always were). Draws
// what the viewer logic asks for and hands the mouse, keys and scrolling to it.
class ViewerPanel : public QWidget, public ViewerGrid {
    Q_OBJECT
public:
    explicit ViewerPanel(QWidget *parent = nullptr);

    // The logic's input from the grid and the scroll bar; the pop-up from its entries.
    void bind(ImageViewer &viewer);
    // Places the grid at rect (in the parent's coordinates) with the scroll bar to its right.
    void placeGrid(const QRect &rect);

    int columns() const override { return grid_.columns(); }
    int rows() const override { return grid_.rows(); }
    void setGrid(int columns, int rows, const QColor &background) override;
    void addImage(const ToolkitImagePtr &image) override { grid_.addImage(image); }
    void clearImages() override { grid_.clearImages(); }
    void setFramed(const ToolkitImagePtr &image, const QColor &color) override { grid_.setFramed(image, color); }
    void setRedraw(bool on) override { grid_.setRedraw(on); }
    int firstTile() const override { return grid_.firstTile(); }
    void setFirstTile(int first) override { grid_.setFirstTile(first); }
    void refreshDisplay() override { grid_.refreshDisplay(); }
    ToolkitImagePtr imageAt(const QPoint &pos) const override { return grid_.imageAt(pos); }
    void setScrollRange(std::optional<int> maximum) override;
    void popUp(const QPoint &pos) override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeChildren();

    ToolkitViewer grid_;
    QScrollBar scroll_{Qt::Vertical};
    QMenu menu_;
};
