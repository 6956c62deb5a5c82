#include "support/BrowserWindow.h"

using namespace Qt::StringLiterals;

BrowserWindow::BrowserWindow()
{
    window.setWindowTitle(u"OrvanaMammo"_s);
    auto *left = new QWidget(&window);
    auto *l = new QVBoxLayout(left);
    lvImages.setHeaderLabels({u"ID"_s, u"Date"_s, u"Time"_s, u"ImageUID"_s});
    for (QTreeView *t : {&lvPatients, &lvStudien, &lvSerien, static_cast<QTreeView *>(&lvImages)}) {
        t->setRootIsDecorated(false);
        t->setUniformRowHeights(true); // as the main window's lists
        t->setStyleSheet(u"QTreeView { background: #FFFFC0; }"_s);
    }
    l->addWidget(&lvPatients);
    l->addWidget(&lvStudien);
    (new QVBoxLayout(&frmSerien))->addWidget(&lvSerien);
    l->addWidget(&frmSerien);
    l->addWidget(&lvImages);
    frmSerien.hide();
    l->addWidget(&pbLoad);
    pbLoad.hide();
    l->addWidget(&status);
    left->setFixedWidth(480);
    auto *h = new QHBoxLayout(&window);
    h->addWidget(left);
    h->addWidget(&viewerPanel, 1);
    window.resize(1280, 1024);

    auto setPanel = [this](int p, const QString &t) {
        panels[p] = t;
        status.setText(panels.values().join(u"  |  "_s));
    };
    viewer = std::make_unique<ImageViewer>(session, viewerPanel);
    QObject::connect(viewer.get(), &ImageViewer::statusText, &window, setPanel);
    QObject::connect(viewer.get(), &ImageViewer::imageClicked, &window, [this](const QString &uid) {
        for (int i = 0; i < lvImages.topLevelItemCount(); ++i)
            if (const QString cell = lvImages.topLevelItem(i)->text(3); !cell.isEmpty() && uid.contains(cell))
                return lvImages.setCurrentItem(lvImages.topLevelItem(i));
    });
    viewer->SetUpViewer();
    viewerPanel.bind(*viewer);
    browser = std::make_unique<Browser>(session, boxes);
    Browser *b = browser.get();
    lvPatients.setModel(&b->patients());
    lvStudien.setModel(&b->studies());
    lvSerien.setModel(&b->series());
    QObject::connect(&b->images(), &QAbstractItemModel::modelReset, &window, [this] {
        lvImages.clear();
        for (int i = 0; i < browser->images().count(); ++i)
            new QTreeWidgetItem(&lvImages, browser->images().at(i)->cells);
    });
    QObject::connect(b, &Browser::statusPanel, &window, setPanel);
    QObject::connect(b, &Browser::seriesListVisible, &frmSerien, &QWidget::setVisible);
    QObject::connect(b, &Browser::viewerCleared, &dicomViewer, &ToolkitViewer::clearImages);
    QObject::connect(b, &Browser::loadStarted, &window, [this] {
        dicomViewer.clearImages();
        dicomViewer.setRedraw(false);
    });
    QObject::connect(b, &Browser::imageLoaded, &dicomViewer, &ToolkitViewer::addImage);
    QObject::connect(b, &Browser::loadProgress, &window, [this](int done, int total) {
        pbLoad.setMaximum(total);
        pbLoad.setValue(done);
        pbLoad.show();
    });
    QObject::connect(b, &Browser::loadEnded, &window, [this] {
        dicomViewer.setRedraw(true);
        pbLoad.hide();
        viewer->UpdateScrollRange();
    });
    window.show();
}

bool BrowserWindow::loadFirstStudy(const QString &patientId)
{
    browser->RefreshPatientList();
    const int row = patientRow(patientId);
    if (row < 0)
        return false;
    browser->selectPatient(row);
    if (browser->studies().count() == 0)
        return false;
    browser->selectStudy(0);
    return dicomViewer.imageCount() > 0;
}
