#pragma once

#include <QString>
#include <array>
#include <functional>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QTextEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

// The main window's controls the exposure capture drives. The window creates
// them; the capture classes connect their own signals and never own them.
struct ExposureControls {
    QTreeWidget *lvDosis = nullptr;              // dose list, report style, 11 columns "ID" … "expTime"
    QComboBox *cmbDosis = nullptr;               // patient-name filter of the dose list, refilled as its list opens
    QMenu *Popup_Dosis = nullptr;                // context menu of lvDosis
    QAction *PopupDeleteDosis = nullptr;         // its single entry "Delete"; added to Popup_Dosis when unset
    QLineEdit *exposureDateBox = nullptr;        // date of the selected exposure
    QLineEdit *exposureTimeBox = nullptr;        // time of the selected exposure
    std::array<QLineEdit *, 6> exposureBoxes{};  // kV, mAs, thickness, compression, dose, projection of the selected exposure
    QLineEdit *txtID = nullptr;                  // ID of the selected exposure
    QLabel *lblCount = nullptr;                  // caption = current patient name, stamped into new exposures
    QPushButton *decodeNowButton = nullptr;      // caption "Command1": decodes at once
    QPushButton *newExaminationButton = nullptr; // "New Examination"
    QPushButton *activateButton = nullptr;       // "Activate"
    QPushButton *stopButton = nullptr;           // "S T O P"
    QTextEdit *txtcInput = nullptr;              // shows the receive buffer (visible in debug mode)
    QListWidget *decoderTokenList = nullptr;     // the decoder's token list (visible in debug mode)
    QLineEdit *doseLineBox = nullptr;            // work box of the "SM 1000" decoder: its dose line
    QLineEdit *spareCaptureBox = nullptr;        // part of the capture layout; not written by the capture
    QTimer *SerTimer = nullptr;                  // 100 ms, disabled at creation
    QTimer *sendTimer = nullptr;                 // 1000 ms, disabled at creation
    QTreeWidget *lvImages = nullptr;             // image list; the selected image row is marked on a dose-list click
    std::function<void()> runTaskButton0; // the task button with index 0, run after a dose-list click
    // Shows an information message box (OK only, title "PellanMammo"); unset: a real QMessageBox.
    std::function<void(const QString &text)> showMessage;
};
