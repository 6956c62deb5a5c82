#pragma once

// The main window's browser and viewer controls at 1280 x 1024: lists on the
// left, the 7 x 3 viewer on the right, wired to Browser and ImageViewer.
// For the browser test, benchmarks and screenshots.
#include "acquisition/ImageViewer.h"
#include "browse/Browser.h"
#include "toolkit/ToolkitViewer.h"

#include <QtWidgets>
#include <functional>
#include <memory>

struct BrowserWindow {
    Session session;
    QWidget window;
    QGroupBox frmSerien{QStringLiteral("Series list")};
    QTreeWidget lvPatients, lvStudien, lvSerien, lvImages, lvDosis;
    QProgressBar pbLoad;
    QPushButton cmdSelected{QStringLiteral("Manually")};
    QMenu PopUpPatient, PopUpStudie, PopUpSerie, PopUpViewer;
    QTimer UpdateTimer;
    ToolkitViewer dicomViewer;
    QScrollBar dv1_vscroll{Qt::Vertical};
    QLabel status;
    QMap<int, QString> panels; // statusLine panels by number
    std::unique_ptr<ImageViewer> viewer;
    std::unique_ptr<Browser> browser;

    // adjust may replace hooks (message boxes, menus) before the logic takes the controls.
    explicit BrowserWindow(const std::function<void(BrowserControls &, ViewerControls &)> &adjust = {});
    QTreeWidgetItem *patient(const QString &id) const { return lvPatients.findItems(id, Qt::MatchExactly, 0).value(0); }
    // Refreshes the list, selects the patient and loads its first study.
    bool loadFirstStudy(const QString &patientId);
};
