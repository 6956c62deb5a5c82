#include "ui/Widgets.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QTreeView>
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

void fitColumnsNow(QTreeView *list, bool widenWindow)
{
    const QAbstractItemModel *model = list->model();
    if (!model)
        return;
    QHeaderView *header = list->header();
    for (int c = 0; c < model->columnCount(); ++c) {
        if (header->isSectionHidden(c))
            continue;
        const int heading = header->isHidden() ? 0 : header->sectionSizeHint(c);
        header->resizeSection(c, std::max(static_cast<const QAbstractItemView *>(list)->sizeHintForColumn(c), heading));
    }
    if (widenWindow)
        widenWindowFor(list);
}

} // namespace

void FitColumnsToContents(QTreeView *list, bool widenWindow)
{
    fitColumnsNow(list, widenWindow);
    const QAbstractItemModel *model = list->model();
    if (!model)
        return;
    // Rows arrive one by one in some lists: one fit after the round of events.
    auto due = std::make_shared<bool>(false);
    auto later = [list, due, widenWindow] {
        if (*due)
            return;
        *due = true;
        QTimer::singleShot(0, list, [list, due, widenWindow] {
            *due = false;
            fitColumnsNow(list, widenWindow);
        });
    };
    QObject::connect(model, &QAbstractItemModel::modelReset, list, later);
    QObject::connect(model, &QAbstractItemModel::rowsInserted, list, later);
    QObject::connect(model, &QAbstractItemModel::rowsRemoved, list, later);
    QObject::connect(model, &QAbstractItemModel::dataChanged, list, later);
    QObject::connect(model, &QAbstractItemModel::headerDataChanged, list, later);
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
