#include "support/BrowserWindow.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include <cstdio>

BrowserWindow::BrowserWindow(const std::function<void(BrowserControls &, ViewerControls &)> &adjust)
{
    window.setWindowTitle(QStringLiteral("OrvanaMammo"));
    auto *left = new QWidget(&window);
    auto *l = new QVBoxLayout(left);
    lvPatients.setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Lastname, Firstname"), QStringLiteral("2nd Name"), QStringLiteral("Birthdate")});
    lvStudien.setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("Modality"), QStringLiteral("Bodypart")});
    lvImages.setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("ImageUID")});
    for (QTreeWidget *t : {&lvPatients, &lvStudien, &lvImages}) {
        t->setRootIsDecorated(false);
        t->setStyleSheet(QStringLiteral("QTreeWidget { background: #FFFFC0; }"));
        l->addWidget(t);
    }
    (new QVBoxLayout(&frmSerien))->addWidget(&lvSerien);
    l->addWidget(&frmSerien);
    frmSerien.hide();
    l->addWidget(&pbLoad);
    pbLoad.hide();
    l->addWidget(&status);
    left->setFixedWidth(480);
    auto *h = new QHBoxLayout(&window);
    h->addWidget(left);
    h->addWidget(&dv1, 1);
    h->addWidget(&dv1_vscroll);
    window.resize(1280, 1024);

    auto setPanel = [this](int p, const QString &t) {
        panels[p] = t;
        status.setText(panels.values().join(QStringLiteral("  |  ")));
    };
    ViewerControls v;
    v.dv1 = &dv1;
    v.dv1_vscroll = &dv1_vscroll;
    v.lvImages = &lvImages;
    v.PopUpViewer = &PopUpViewer;
    v.setStatusPanel = setPanel;

    BrowserControls c;
    c.window = &window;
    c.lvPatients = &lvPatients;
    c.lvStudien = &lvStudien;
    c.lvSerien = &lvSerien;
    c.lvImages = &lvImages;
    c.lvDosis = &lvDosis;
    c.frmSerien = &frmSerien;
    c.pbLoad = &pbLoad;
    c.cmdSelected = &cmdSelected;
    c.PopUpPatient = &PopUpPatient;
    c.PopUpStudie = &PopUpStudie;
    c.PopUpSerie = &PopUpSerie;
    c.UpdateTimer = &UpdateTimer;
    c.dv1 = &dv1;
    c.viewer = viewer.get();
    c.setStatusPanel = setPanel;
    c.showCritical = [](const QString &m) { fprintf(stderr, "message: %s\n", qPrintable(m)); };
    if (adjust)
        adjust(c, v);
    viewer = std::make_unique<ImageViewer>(v);
    viewer->SetUpViewer();
    viewer->BuildPopUpViewer();
    c.viewer = viewer.get();
    browser = std::make_unique<Browser>(c);
    window.show();
}

bool BrowserWindow::loadFirstStudy(const QString &patientId)
{
    browser->RefreshPatientList();
    QTreeWidgetItem *row = patient(patientId);
    if (!row)
        return false;
    lvPatients.setCurrentItem(row);
    browser->lvPatients_ItemClick(row);
    if (lvStudien.topLevelItemCount() == 0)
        return false;
    lvStudien.setCurrentItem(lvStudien.topLevelItem(0));
    browser->lvStudien_ItemClick(lvStudien.topLevelItem(0));
    return dv1.imageCount() > 0;
}
