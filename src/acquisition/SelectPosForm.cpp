#include "acquisition/SelectPosForm.h"

#include "toolkit/ToolkitViewer.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

SelectPosForm::SelectPosForm(QWidget *parent, const ToolkitImagePtr &image) : QDialog(parent)
{
    setObjectName(QStringLiteral("SelectPosForm"));
    setWindowTitle(QStringLiteral("Side"));
    setModal(true);
    auto *l = new QVBoxLayout(this);
    dicomViewer = new ToolkitViewer(this);
    dicomViewer->setRows(1);
    dicomViewer->setColumns(1);
    dicomViewer->setMinimumSize(300, 380);
    dicomViewer->addImage(image);
    l->addWidget(dicomViewer, 1);
    auto *b = new QHBoxLayout;
    cmdLeft = new QPushButton(QStringLiteral("L"), this);
    cmdLeft->setObjectName(QStringLiteral("cmdLeft"));
    cmdRight = new QPushButton(QStringLiteral("R"), this);
    cmdRight->setObjectName(QStringLiteral("cmdRight"));
    b->addWidget(cmdLeft);
    b->addWidget(cmdRight);
    l->addLayout(b);
    connect(cmdLeft, &QPushButton::clicked, this, [this] { choose(QStringLiteral("L")); });
    connect(cmdRight, &QPushButton::clicked, this, [this] { choose(QStringLiteral("R")); });
}

void SelectPosForm::choose(const QString &side)
{
    side_ = side;
    dicomViewer->clearImages();
    accept();
}
