#include "support/BrowserWindow.h"

#include <cstdio>

using namespace Qt::StringLiterals;

BrowserWindow::BrowserWindow(const std::function<void(BrowserControls &, ViewerControls &)> &adjust)
{
    window.setWindowTitle(u"OrvanaMammo"_s);
    auto *left = new QWidget(&window);
    auto *l = new QVBoxLayout(left);
    lvPatients.setHeaderLabels({u"ID"_s, u"Lastname, Firstname"_s, u"2nd Name"_s, u"Birthdate"_s});
    lvStudien.setHeaderLabels({u"ID"_s, u"Date"_s, u"Time"_s, u"Modality"_s, u"Bodypart"_s});
    lvImages.setHeaderLabels({u"ID"_s, u"Date"_s, u"Time"_s, u"ImageUID"_s});
    for (QTreeWidget *t : {&lvPatients, &lvStudien, &lvImages}) {
        t->setRootIsDecorated(false);
        t->setStyleSheet(u"QTreeWidget { background: #FFFFC0; }"_s);
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
    h->addWidget(&dicomViewer, 1);
    h->addWidget(&dv1_vscroll);
    window.resize(1280, 1024);

    auto setPanel = [this](int p, const QString &t) {
        panels[p] = t;
        status.setText(panels.values().join(u"  |  "_s));
    };
    ViewerControls v{.dicomViewer = &dicomViewer, .dv1_vscroll = &dv1_vscroll, .lvImages = &lvImages, .PopUpViewer = &PopUpViewer, .setStatusPanel = setPanel};
    BrowserControls c{.window = &window, .lvPatients = &lvPatients, .lvStudien = &lvStudien, .lvSerien = &lvSerien, .lvImages = &lvImages,
                      .lvDosis = &lvDosis, .frmSerien = &frmSerien, .pbLoad = &pbLoad, .cmdSelected = &cmdSelected,
                      .PopUpPatient = &PopUpPatient, .PopUpStudie = &PopUpStudie, .PopUpSerie = &PopUpSerie, .UpdateTimer = &UpdateTimer,
                      .dicomViewer = &dicomViewer, .setStatusPanel = setPanel,
                      .showCritical = [](const QString &m) { fprintf(stderr, "message: %s\n", qPrintable(m)); }};
    if (adjust)
        adjust(c, v);
    viewer = std::make_unique<ImageViewer>(v);
    viewer->SetUpViewer();
    viewer->BuildPopUpViewer();
    c.viewer = viewer.get();
    browser = std::make_unique<Browser>(session, c);
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
    return dicomViewer.imageCount() > 0;
}
