#pragma once

#include <QString>

class QLineEdit;
class QPushButton;
class QWidget;

// Controls made with the object name tests and the settings find them by.

// A push button that Enter in a dialog never presses unless made its default.
QPushButton *NamedButton(QWidget *parent, const QString &name, const QString &caption);

QLineEdit *NamedLineEdit(QWidget *parent, const QString &name);
