#pragma once

#include <QString>

#include <QSize>

class QLineEdit;
class QPushButton;
class QScrollArea;
class QWidget;

// Controls made with the object name tests and the settings find them by.

// A push button that Enter in a dialog never presses unless made its default.
QPushButton *NamedButton(QWidget *parent, const QString &name, const QString &caption);

QLineEdit *NamedLineEdit(QWidget *parent, const QString &name);

class QTreeView;

// Sizes the list's columns to their heading and cells now and whenever its
// model is filled anew, its rows change or its width changes (once per round
// of events). When they do not fit side by side, the widest column wraps its
// text into the room the others leave, if its longest word fits there; what
// still does not fit is reached with the scroll bar, never cut. With
// widenWindow the list's dialog grows to show them all instead, as far as the
// screen allows.
// Lists the operator arranges (a ListColumns) keep the widths the operator
// gave; there a column that one cell alone makes wider than the room the
// others leave is narrowed to that room (not below its other cells), the cell
// cut. Every list shows a cut cell's whole text as its tooltip.
void FitColumnsToContents(QTreeView *list, bool widenWindow = false);

// The list's columns fitted again after the round of events (a column shown,
// an operator's width given up).
void RefitColumnsSoon(QTreeView *list);

// A read-only box's least width: its placeholder and the widest of the sample
// values it shows, whole.
void FitLineEdit(QLineEdit *box, const QStringList &samples);

// The page in a scroll area as wide as the page needs, whose height takes
// the room there is and scrolls beyond: a dialog of many rows still fits the
// smallest screen (1024 x 768) and shows everything whole on a larger one.
QScrollArea *Scrolling(QWidget *page);

// The window resized to `wanted`, but no larger than the available part of
// its screen leaves room for, its frame and title bar included.
void ResizeWithinScreen(QWidget *window, QSize wanted);

// Room the window manager's frame and title bar take, which a window's size excludes.
inline constexpr QSize WindowFrameAllowance{16, 40};
