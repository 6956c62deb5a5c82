#pragma once

#include <QString>

class QLineEdit;
class QPushButton;
class QWidget;

// Controls made with the object name tests and the settings find them by.

// A push button that Enter in a dialog never presses unless made its default.
QPushButton *NamedButton(QWidget *parent, const QString &name, const QString &caption);

QLineEdit *NamedLineEdit(QWidget *parent, const QString &name);

class QTreeView;

// Sizes the list's columns to their heading and cells now and whenever its
// model is filled anew or its rows change (once per round of events). What
// does not fit beside the others is reached with the scroll bar, never cut.
// With widenWindow the list's dialog grows to show them all, as far as the
// screen allows.
void FitColumnsToContents(QTreeView *list, bool widenWindow = false);

// A read-only box's least width: its placeholder and the widest of the sample
// values it shows, whole.
void FitLineEdit(QLineEdit *box, const QStringList &samples);
