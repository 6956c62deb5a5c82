#include "ui/ListColumns.h"

#include "ui/Widgets.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QToolTip>
#include <QTreeView>

ListColumns::ListColumns(QTreeView *list, QSet<int> hiddenAtFirst) : QObject(list), list_(list), hidden_(std::move(hiddenAtFirst))
{
    setObjectName(QStringLiteral("ListColumns"));
    QHeaderView *header = list->header();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this, &ListColumns::showMenu);
    // Only a drag of an edge is the operator's width; the fitting and the
    // stretched last column resize sections too.
    header->viewport()->installEventFilter(this);
    connect(header, &QHeaderView::sectionResized, this, [this](int column, int, int size) {
        if (!dragging_ || size <= 0)
            return;
        widths_[column] = size;
        resized_ = true;
    });
    // The model's columns arrive after the object: arranged as they come.
    connect(header, &QHeaderView::sectionCountChanged, this, [this] { apply(); });
    connect(header, &QHeaderView::sectionHandleDoubleClicked, this, [this](int column) {
        if (widths_.remove(column)) {
            refit();
            emit changed();
        }
    });
    apply();
}

const ListColumns *ListColumns::of(const QTreeView *list)
{
    return list ? list->findChild<ListColumns *>(QStringLiteral("ListColumns"), Qt::FindDirectChildrenOnly) : nullptr;
}

bool ListColumns::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        dragging_ = true;
        resized_ = false;
    } else if (event->type() == QEvent::MouseButtonRelease && dragging_) {
        dragging_ = false;
        if (resized_)
            emit changed();
    }
    return QObject::eventFilter(watched, event);
}

QString ListColumns::state() const
{
    QStringList widths;
    for (auto it = widths_.cbegin(); it != widths_.cend(); ++it)
        widths << QStringLiteral("%1:%2").arg(it.key()).arg(it.value());
    QList<int> hidden(hidden_.cbegin(), hidden_.cend());
    std::sort(hidden.begin(), hidden.end());
    QStringList hiddenText;
    for (int c : hidden)
        hiddenText << QString::number(c);
    return QStringLiteral("widths=%1;hidden=%2").arg(widths.join(QLatin1Char(',')), hiddenText.join(QLatin1Char(',')));
}

void ListColumns::restore(const QString &state)
{
    if (state.trimmed().isEmpty())
        return;
    QMap<int, int> widths;
    QSet<int> hidden;
    for (const QString &part : state.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString name = part.section(QLatin1Char('='), 0, 0).trimmed();
        const QStringList items = part.section(QLatin1Char('='), 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString &item : items) {
            bool columnOk = false, widthOk = false;
            const int column = item.section(QLatin1Char(':'), 0, 0).trimmed().toInt(&columnOk);
            if (!columnOk || column < 0)
                continue;
            if (name == QLatin1String("widths")) {
                const int width = item.section(QLatin1Char(':'), 1).trimmed().toInt(&widthOk);
                if (widthOk && width > 0)
                    widths[column] = width;
            } else if (name == QLatin1String("hidden")) {
                hidden.insert(column);
            }
        }
    }
    widths_ = widths;
    hidden_ = hidden;
    apply();
}

void ListColumns::apply()
{
    QHeaderView *header = list_->header();
    const int count = header->count();
    // A kept arrangement never hides every column of the list.
    int shown = 0;
    for (int c = 0; c < count; ++c)
        shown += hidden_.contains(c) ? 0 : 1;
    for (int c = 0; c < count; ++c)
        header->setSectionHidden(c, shown > 0 && hidden_.contains(c));
    for (auto it = widths_.cbegin(); it != widths_.cend(); ++it)
        if (it.key() < count)
            header->resizeSection(it.key(), it.value());
    refit();
}

void ListColumns::refit() { RefitColumnsSoon(list_); }

void ListColumns::showMenu(const QPoint &pos)
{
    const QAbstractItemModel *model = list_->model();
    if (!model)
        return;
    QHeaderView *header = list_->header();
    auto *menu = new QMenu(header);
    menu->setObjectName(QStringLiteral("ColumnMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    int shown = 0;
    for (int c = 0; c < model->columnCount(); ++c)
        shown += header->isSectionHidden(c) ? 0 : 1;
    for (int c = 0; c < model->columnCount(); ++c) {
        QAction *a = menu->addAction(model->headerData(c, Qt::Horizontal).toString());
        a->setObjectName(QStringLiteral("ColumnShown%1").arg(c));
        a->setCheckable(true);
        a->setChecked(!header->isSectionHidden(c));
        a->setEnabled(header->isSectionHidden(c) || shown > 1);
        connect(a, &QAction::toggled, this, [this, c](bool on) {
            if (on)
                hidden_.remove(c);
            else
                hidden_.insert(c);
            apply();
            emit changed();
        });
    }
    menu->popup(header->mapToGlobal(pos));
}

namespace {

QStyleOptionViewItem cellOption(const QAbstractItemView *view, const QModelIndex &index)
{
    QStyleOptionViewItem opt;
    opt.initFrom(view);
    opt.rect = view->visualRect(index);
    opt.font = view->font();
    if (const QVariant f = index.data(Qt::FontRole); f.isValid())
        opt.font = f.value<QFont>();
    opt.fontMetrics = QFontMetrics(opt.font);
    opt.text = index.data(Qt::DisplayRole).toString();
    opt.features |= QStyleOptionViewItem::HasDisplay;
    opt.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    if (const QVariant a = index.data(Qt::TextAlignmentRole); a.isValid())
        opt.displayAlignment = Qt::Alignment(a.toInt());
    if (const QVariant d = index.data(Qt::DecorationRole); d.isValid()) {
        opt.features |= QStyleOptionViewItem::HasDecoration;
        const int small = view->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, view);
        opt.decorationSize = view->iconSize().isValid() ? view->iconSize() : QSize(small, small);
    }
    if (index.data(Qt::CheckStateRole).isValid())
        opt.features |= QStyleOptionViewItem::HasCheckIndicator;
    const auto *tree = qobject_cast<const QTreeView *>(view);
    const auto *table = qobject_cast<const QTableView *>(view);
    if ((tree && tree->wordWrap()) || (table && table->wordWrap()))
        opt.features |= QStyleOptionViewItem::WrapText;
    return opt;
}

// Shows the whole text of a cut cell as its tooltip.
class CutCellTips : public QObject {
public:
    explicit CutCellTips(QAbstractItemView *view) : QObject(view->viewport()), view_(view)
    {
        setObjectName(QStringLiteral("CutCellTips"));
        view->viewport()->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::ToolTip)
            return QObject::eventFilter(watched, event);
        const auto *help = static_cast<QHelpEvent *>(event);
        const QModelIndex index = view_->indexAt(help->pos());
        if (!index.isValid() || !CellTextCut(view_, index))
            return false; // the view shows the model's own tooltip
        QString tip = index.data(Qt::DisplayRole).toString();
        const QString own = index.data(Qt::ToolTipRole).toString();
        if (!own.isEmpty() && own != tip)
            tip += QLatin1Char('\n') + own;
        QToolTip::showText(help->globalPos(), tip, view_->viewport(), view_->visualRect(index));
        return true;
    }

private:
    QAbstractItemView *view_;
};

} // namespace

bool CellTextCut(const QAbstractItemView *view, const QModelIndex &index)
{
    const QStyleOptionViewItem opt = cellOption(view, index);
    if (opt.text.isEmpty())
        return false;
    QRect text = view->style()->subElementRect(QStyle::SE_ItemViewItemText, &opt, view);
    // What lies beyond the list's edge is cut as well.
    const QRect shown = view->viewport()->rect();
    text.setLeft(std::max(text.left(), shown.left()));
    text.setRight(std::min(text.right(), shown.right()));
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    const int room = text.width() - 2 * margin;
    if (opt.features & QStyleOptionViewItem::WrapText) {
        const QRect lines = opt.fontMetrics.boundingRect(QRect(0, 0, std::max(room, 1), 100000), Qt::TextWordWrap, opt.text);
        return lines.width() > room || lines.height() > text.height();
    }
    int widest = 0;
    for (const QString &line : opt.text.split(QLatin1Char('\n')))
        widest = std::max(widest, opt.fontMetrics.horizontalAdvance(line));
    return widest > room;
}

void TipCutCells(QAbstractItemView *view)
{
    if (!view->viewport()->findChild<QObject *>(QStringLiteral("CutCellTips"), Qt::FindDirectChildrenOnly))
        new CutCellTips(view);
}

int ListHeightForRows(const QTreeView *list, int rows)
{
    // A row as the style sizes an item of one line of the list's font.
    QStyleOptionViewItem opt;
    opt.initFrom(list);
    opt.font = list->font();
    opt.fontMetrics = QFontMetrics(opt.font);
    opt.text = QStringLiteral("ÄgÉy");
    opt.features = QStyleOptionViewItem::HasDisplay;
    const int row = list->style()->sizeFromContents(QStyle::CT_ItemViewItem, &opt, QSize(), list).height();
    const int frame = 2 * list->frameWidth();
    // Before its model comes the heading has no section to size it by.
    QStyleOptionHeader section;
    section.initFrom(list->header());
    section.text = QStringLiteral("ÄgÉy");
    const int sectionHeight = list->style()->sizeFromContents(QStyle::CT_HeaderSection, &section, QSize(), list->header()).height();
    const int heading = list->header()->isHidden() ? 0 : std::max(list->header()->sizeHint().height(), sectionHeight);
    return frame + heading + rows * row;
}
