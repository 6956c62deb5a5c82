#include "ui/Widgets.h"

#include "ui/ListColumns.h"

#include <algorithm>
#include <vector>

#include <QEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <memory>

QPushButton *NamedButton(QWidget *parent, const QString &name, const QString &caption)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

QLineEdit *NamedLineEdit(QWidget *parent, const QString &name)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(name);
    return e;
}

namespace {

constexpr int kRowsMeasured = 1000;

void widenWindowFor(QTreeView *list)
{
    QWidget *window = list->window();
    if (window == list || !window->screen())
        return;
    QHeaderView *header = list->header();
    const int extra = header->length() - list->viewport()->width();
    if (extra <= 0)
        return;
    const QRect available = window->screen()->availableGeometry();
    const int frame = window->frameGeometry().width() - window->width();
    window->resize(std::min(window->width() + extra, available.width() - frame), window->height());
    const QRect now = window->frameGeometry();
    if (now.right() > available.right())
        window->move(std::max(available.left(), available.right() + 1 - now.width()), now.y());
}

// The width a column's cells need with their text wrapped: the longest word,
// which a line never breaks. Only the rows with the longest words by count
// of characters are measured, as for the one-line widths below.
int wrappedWidth(const QTreeView *list, int column)
{
    constexpr int kCandidates = 32;
    const QAbstractItemModel *model = list->model();
    const int margin = 2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
    const auto longestWord = [](const QString &text) {
        qsizetype longest = 0, run = 0;
        for (const QChar c : text) {
            run = c.isSpace() ? 0 : run + 1;
            longest = std::max(longest, run);
        }
        return longest;
    };
    const int rows = std::min(model->rowCount(), kRowsMeasured);
    std::vector<std::pair<qsizetype, int>> lengths;
    lengths.reserve(size_t(rows));
    for (int r = 0; r < rows; ++r)
        lengths.emplace_back(longestWord(model->index(r, column).data().toString()), r);
    const auto end = lengths.begin() + std::min(kCandidates, rows);
    std::partial_sort(lengths.begin(), end, lengths.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    static const QRegularExpression space(QStringLiteral("\\s+"));
    int widest = 0;
    for (auto it = lengths.begin(); it != end; ++it) {
        const QModelIndex i = model->index(it->second, column);
        QFont font = list->font();
        if (const QVariant f = i.data(Qt::FontRole); f.isValid())
            font = f.value<QFont>();
        const QFontMetrics fm(font);
        const int icon = i.data(Qt::DecorationRole).isValid() ? list->iconSize().width() + margin : 0;
        for (const QString &word : i.data().toString().split(space, Qt::SkipEmptyParts))
            widest = std::max(widest, fm.horizontalAdvance(word) + margin + icon);
    }
    return widest;
}

// The widest cell of a column and the widest but that one. A long list
// measures only its longest texts: asking the delegate for every row of ten
// thousand patients costs more than reading them from the database.
struct Widest {
    int first = 0, second = 0;
    void add(int w)
    {
        if (w > first) {
            second = first;
            first = w;
        } else {
            second = std::max(second, w);
        }
    }
};
// A cell's width as the delegate sizes it, and never less than its text's
// advance in its font with the margins the style draws it within: the two
// round apart by a pixel for some texts, which the style would then elide.
int cellWidth(const QTreeView *list, const QModelIndex &index)
{
    QFont font = list->font();
    if (const QVariant f = index.data(Qt::FontRole); f.isValid())
        font = f.value<QFont>();
    const int margin = 2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
    const int icon = index.data(Qt::DecorationRole).isValid() ? list->iconSize().width() + margin : 0;
    int text = 0;
    for (const QString &line : index.data().toString().split(QLatin1Char('\n')))
        text = std::max(text, QFontMetrics(font).horizontalAdvance(line));
    return std::max(list->sizeHintForIndex(index).width(), text + margin + icon);
}

Widest columnWidth(const QTreeView *list, int column)
{
    constexpr int kMeasuredWhole = 200, kCandidates = 32;
    const QAbstractItemModel *model = list->model();
    const int rows = model->rowCount();
    const int indent = column == 0 && list->rootIsDecorated() ? list->indentation() : 0;
    Widest widest;
    if (rows <= kMeasuredWhole) {
        // What the view's own sizeHintForColumn measures, cell by cell.
        for (int r = 0; r < rows; ++r)
            widest.add(cellWidth(list, model->index(r, column)) + indent);
        return widest;
    }
    std::vector<std::pair<qsizetype, int>> lengths;
    lengths.reserve(size_t(rows));
    for (int r = 0; r < rows; ++r)
        lengths.emplace_back(model->index(r, column).data().toString().size(), r);
    const auto end = lengths.begin() + std::min<qsizetype>(kCandidates, rows);
    std::partial_sort(lengths.begin(), end, lengths.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (auto it = lengths.begin(); it != end; ++it)
        widest.add(cellWidth(list, model->index(it->second, column)) + indent);
    return widest;
}

// A wrapped cell is as high as its lines at its column's width; the tree view
// alone asks for the height of one line.
class WrappingDelegate : public QStyledItemDelegate {
public:
    explicit WrappingDelegate(QTreeView *list) : QStyledItemDelegate(list), list_(list) {}

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem wrapped(option);
        if (list_->wordWrap())
            wrapped.rect = QRect(0, 0, list_->header()->sectionSize(index.column()), std::max(option.rect.height(), 1)); // a valid rect: the style wraps only then
        return QStyledItemDelegate::sizeHint(wrapped, index);
    }

private:
    QTreeView *list_;
};

void fitColumnsNow(QTreeView *list, bool widenWindow, bool uniformRows)
{
    const QAbstractItemModel *model = list->model();
    if (!model)
        return;
    QHeaderView *header = list->header();
    list->setWordWrap(false); // the cells' one-line widths
    const ListColumns *arranged = ListColumns::of(list);
    QList<int> need(model->columnCount(), 0), heading(model->columnCount(), 0), others(model->columnCount(), 0);
    int together = 0;
    for (int c = 0; c < model->columnCount(); ++c) {
        if (header->isSectionHidden(c))
            continue;
        if (arranged && arranged->keepsWidth(c)) {
            need[c] = arranged->keptWidth(c);
            together += need[c];
            continue;
        }
        heading[c] = header->isHidden() ? 0 : header->sectionSizeHint(c);
        const Widest widest = columnWidth(list, c);
        need[c] = std::max(widest.first, heading[c]);
        others[c] = std::max(widest.second, heading[c]);
        together += need[c];
    }
    const int room = list->viewport()->width();
    // Too wide for the list: the widest text column wraps its lines into the
    // room the others leave, if its longest word fits there. Otherwise the
    // scroll bar reaches what lies beyond the edge.
    int wrapped = -1;
    if (!widenWindow && together > room) {
        for (int c = 0; c < model->columnCount(); ++c)
            if (need[c] > 0 && !(arranged && arranged->keepsWidth(c)) && (wrapped < 0 || need[c] > need[wrapped]))
                wrapped = c;
        if (wrapped >= 0) {
            const int others = together - need[wrapped];
            if (others + std::max(heading[wrapped], wrappedWidth(list, wrapped)) <= room)
                need[wrapped] = room - others;
            else
                wrapped = -1;
        }
    }
    // One long cell (an ID far longer than the others) does not widen its
    // column for every row: when the column, as wide as its other cells
    // need, lets every column fit, it takes the room the others leave and
    // the cell is cut, its whole text in its tooltip.
    if (arranged && wrapped < 0 && together > room) {
        for (int c = 0; c < model->columnCount(); ++c) {
            if (header->isSectionHidden(c) || arranged->keepsWidth(c))
                continue;
            const int narrowed = room - (together - need[c]);
            const bool outlying = need[c] > others[c] + others[c] / 4;
            if (outlying && narrowed >= others[c] && narrowed < need[c]) {
                need[c] = narrowed;
                together = room;
                break;
            }
        }
    }
    for (int c = 0; c < model->columnCount(); ++c)
        if (!header->isSectionHidden(c))
            header->resizeSection(c, need[c]);
    list->setUniformRowHeights(uniformRows && wrapped < 0);
    if (wrapped >= 0 && !dynamic_cast<WrappingDelegate *>(list->itemDelegate()) && list->itemDelegate()->metaObject() == &QStyledItemDelegate::staticMetaObject)
        list->setItemDelegate(new WrappingDelegate(list));
    list->setWordWrap(wrapped >= 0);
    if (wrapped >= 0)
        list->doItemsLayout(); // the rows' heights follow the new widths
    if (widenWindow)
        widenWindowFor(list);
}

} // namespace

namespace {

// Fits the list again when its width changes, which moves what wraps.
class RefitOnResize : public QObject {
public:
    RefitOnResize(QWidget *viewport, std::function<void()> refit) : QObject(viewport), refit_(std::move(refit)), width_(viewport->width())
    {
        viewport->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Resize && static_cast<QWidget *>(watched)->width() != width_) {
            width_ = static_cast<QWidget *>(watched)->width();
            refit_();
        }
        return false;
    }

private:
    std::function<void()> refit_;
    int width_;
};

} // namespace

namespace {

// The list's fit after the round of events, once however often asked.
class ColumnRefit : public QObject {
public:
    ColumnRefit(QTreeView *list, std::function<void()> refit) : QObject(list), refit_(std::move(refit)) { setObjectName(QStringLiteral("ColumnRefit")); }
    void soon() { refit_(); }

private:
    std::function<void()> refit_;
};

} // namespace

void RefitColumnsSoon(QTreeView *list)
{
    if (auto *refit = list->findChild<ColumnRefit *>(QStringLiteral("ColumnRefit"), Qt::FindDirectChildrenOnly))
        refit->soon();
}

void FitColumnsToContents(QTreeView *list, bool widenWindow)
{
    TipCutCells(list);
    const bool uniformRows = list->uniformRowHeights();
    fitColumnsNow(list, widenWindow, uniformRows);
    const QAbstractItemModel *model = list->model();
    if (!model)
        return;
    // Rows arrive one by one in some lists: one fit after the round of events.
    auto due = std::make_shared<bool>(false);
    auto later = [list, due, widenWindow, uniformRows] {
        if (*due)
            return;
        *due = true;
        QTimer::singleShot(0, list, [list, due, widenWindow, uniformRows] {
            *due = false;
            fitColumnsNow(list, widenWindow, uniformRows);
        });
    };
    delete list->findChild<ColumnRefit *>(QStringLiteral("ColumnRefit"), Qt::FindDirectChildrenOnly);
    new ColumnRefit(list, later);
    QObject::connect(model, &QAbstractItemModel::modelReset, list, later);
    QObject::connect(model, &QAbstractItemModel::rowsInserted, list, later);
    QObject::connect(model, &QAbstractItemModel::rowsRemoved, list, later);
    QObject::connect(model, &QAbstractItemModel::dataChanged, list, later);
    QObject::connect(model, &QAbstractItemModel::headerDataChanged, list, later);
    if (!widenWindow)
        new RefitOnResize(list->viewport(), later);
}

void FitLineEdit(QLineEdit *box, const QStringList &samples)
{
    const QFontMetrics fm(box->font());
    int text = fm.horizontalAdvance(box->placeholderText());
    for (const QString &s : samples)
        text = std::max(text, fm.horizontalAdvance(s));
    // What the style puts around the text: the frame, the text margins, the
    // line edit's own 2 px each side and the cursor.
    QStyleOptionFrame opt;
    opt.initFrom(box);
    opt.rect = QRect(0, 0, 200, 30);
    opt.lineWidth = box->hasFrame() ? box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, box) : 0;
    const QMargins m = box->textMargins();
    const int around = 200 - box->style()->subElementRect(QStyle::SE_LineEditContents, &opt, box).width() + m.left() + m.right() + 4 + 1;
    box->setMinimumWidth(text + around);
}

QScrollArea *Scrolling(QWidget *page)
{
    auto *area = new QScrollArea;
    area->setObjectName(page->objectName().isEmpty() ? QStringLiteral("scrollArea") : page->objectName() + QStringLiteral("Scroll"));
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidget(page);
    // Only its height scrolls: a line scrolled sideways is a cut text.
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setMinimumWidth(page->minimumSizeHint().width() + area->verticalScrollBar()->sizeHint().width());
    return area;
}

void ResizeWithinScreen(QWidget *window, QSize wanted)
{
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QSize room = screen->availableGeometry().size() - WindowFrameAllowance;
        wanted = wanted.boundedTo(room);
    }
    window->resize(wanted);
}
