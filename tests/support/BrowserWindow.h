#pragma once

// The main window at 1280 x 1024 with its browser lists and viewer bound to
// Browser and ImageViewer. For the browser tests, benchmarks and screenshots.
#include "acquisition/ViewerPanel.h"
#include "app/MainForm.h"
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
    MainForm window{boxes}; // bound to the browser and the viewer as the workstation binds them
    ToolkitViewer &dicomViewer = *window.findChild<ToolkitViewer *>(QStringLiteral("dv1"));
    QScrollBar &dv1_vscroll = *window.findChild<QScrollBar *>(QStringLiteral("dv1_vscroll"));
    QTreeView &lvPatients = *window.findChild<QTreeView *>(QStringLiteral("lvPatients"));
    QTreeView &lvImages = *window.findChild<QTreeView *>(QStringLiteral("lvImages"));
    QGroupBox &frmSerien = *window.findChild<QGroupBox *>(QStringLiteral("frmSerien"));
    QProgressBar &pbLoad = *window.findChild<QProgressBar *>(QStringLiteral("pbLoad"));
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
