#pragma once

// The main window's browser and viewer at 1280 x 1024: lists on the left, the
// 7 x 3 viewer on the right, wired to Browser and ImageViewer as the
// workstation wires them. For the browser tests, benchmarks and screenshots.
#include "acquisition/ViewerPanel.h"
#include "browse/Browser.h"
#include "toolkit/ToolkitViewer.h"
#include "ui/Prompts.h"

#include <QtWidgets>
#include <functional>
#include <memory>

// The message boxes the browser showed, answered with `answer`.
struct BoxLog : Prompter {
    QStringList texts;
    bool answer = true;
    QList<bool> answers; // taken one per question before `answer`
    void information(QWidget *, const QString &text, const QString &) override { texts << text; }
    void critical(QWidget *, const QString &text, const QString &) override { texts << text; }
    bool question(QWidget *, const QString &text, const QString &) override { return answered(text); }
    bool confirm(QWidget *, const QString &text, const QString &) override { return answered(QStringLiteral("confirm: ") + text); }
    bool answered(const QString &text)
    {
        texts << text;
        return answers.isEmpty() ? answer : answers.takeFirst();
    }
};

struct BrowserWindow {
    Session session;
    BoxLog boxes;
    QWidget window;
    QGroupBox frmSerien{QStringLiteral("Series list")};
    QTreeView lvPatients, lvStudien, lvSerien;
    QTreeWidget lvImages;
    QProgressBar pbLoad;
    ViewerPanel viewerPanel;
    ToolkitViewer &dicomViewer = *viewerPanel.findChild<ToolkitViewer *>(QStringLiteral("dv1"));
    QScrollBar &dv1_vscroll = *viewerPanel.findChild<QScrollBar *>(QStringLiteral("dv1_vscroll"));
    QLabel status;
    QMap<int, QString> panels; // statusLine panels by number
    std::unique_ptr<ImageViewer> viewer;
    std::unique_ptr<Browser> browser;

    BrowserWindow();
    // Refreshes the list, selects the patient and loads its first study.
    bool loadFirstStudy(const QString &patientId);
    int patientRow(const QString &id) const { return browser->patients().findText(0, id); }
};

// The texts of a column over a model's rows.
inline QStringList RowTexts(const QAbstractItemModel &model, int column = 0)
{
    QStringList out;
    for (int i = 0; i < model.rowCount(); ++i)
        out << model.index(i, column).data().toString();
    return out;
}
