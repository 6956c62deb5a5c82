#pragma once

// The export dialog: folder, DICOMDIR and ZIP choices, the JPEG quality, and
// the progress of the export it runs.
#include "toolkit/Toolkit.h"
#include "transfer/ImageExport.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QTimer>

#include <memory>

class QCheckBox;
class Prompter;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;

class ExportForm : public QDialog {
    Q_OBJECT

public:
    ExportForm(ExportKind kind, QList<ToolkitImagePtr> images, Prompter &prompter, QWidget *parent = nullptr);
    ~ExportForm() override;

    // Fills the quality list, sets the title and the controls of the kind.
    void Form_Load();
    void cmdExport_Click();
    void cmdBrowse_Click();

    // The ZIP archive's name and the clock, which tests answer; the dialog
    // adds itself as parent and its progress display.
    ExportHooks hooks;
    // The folder picker; empty when cancelled.
    std::function<QString()> chooseFolder;

    // Escape, Cancel and the window's close button wait for a running export.
    void reject() override;
    // An export runs: it goes on from the event loop, one image at a time,
    // the archive on a worker; the dialog closes when it is done.
    bool isBusy() const { return busy_; }

private:
    QLineEdit *txtExportDir = nullptr;
    QPushButton *cmdBrowse = nullptr;
    QCheckBox *chkDicomDir = nullptr;
    QCheckBox *chkCompress = nullptr;
    QGroupBox *imagePropertiesFrame = nullptr;
    QSlider *sldQuality = nullptr;
    QLineEdit *txtQuality = nullptr;
    QComboBox *cboQuality = nullptr;
    QGroupBox *exportingFrame = nullptr;
    QProgressBar *pbExport = nullptr;
    QLabel *lblFile = nullptr;
    QLabel *lblCount = nullptr;
    QPushButton *cmdExport = nullptr;
    QPushButton *cmdCancel = nullptr;
    void setBusy(bool busy);
    bool busy_ = false;
    void sldQuality_Change(int value);

    ExportKind kind_;
    QList<ToolkitImagePtr> images_;

    void exportStep();
    void archiveDone();
    void finish(bool done);
    std::unique_ptr<ImageExport> job_;
    bool compress_ = false;
    QTimer step_;
    QFutureWatcher<ArchiveOutcome> archiveWatcher_;
    Prompter &prompter_; // the export's messages
};
