#pragma once

#include "toolkit/Toolkit.h"

#include <QDialog>

class QPushButton;
class ToolkitViewer;

// "Side": the operator tells the side of a medio-lateral image.
class SelectPosForm : public QDialog {
    Q_OBJECT

public:
    SelectPosForm(QWidget *parent, const ToolkitImagePtr &image);
    // "L" or "R"; empty when the dialog was closed without a choice.
    QString side() const { return side_; }

private:
    void choose(const QString &side);
    ToolkitViewer *dicomViewer = nullptr;
    QPushButton *cmdLeft = nullptr;
    QPushButton *cmdRight = nullptr;
    QString side_;
};
