#include "support/BrowserWindow.h"

using namespace Qt::StringLiterals;

BrowserWindow::BrowserWindow()
{
    window.resize(1280, 1024);
    viewer = std::make_unique<ImageViewer>(session, window.viewerPanel());
    window.viewerPanel().bind(*viewer);
    viewer->SetUpViewer();
    browser = std::make_unique<Browser>(session, boxes);
    window.bind(*browser, *viewer, session);
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
    return ListCount(session.loadedImages()) > 0;
}
