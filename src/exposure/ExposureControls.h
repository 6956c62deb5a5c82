#pragma once

#include <QString>
#include <functional>

class QLabel;
class QLineEdit;
class QListWidget;
class QTextEdit;
class QPushButton;
class QTimer;

// The main window's controls the serial capture drives. The window creates
// them; the capture connects their signals and never owns them.
struct ExposureControls {
    QLineEdit *projectionBox = nullptr;          // projection of the selected exposure; the decoders read and empty it
    QLabel *lblCount = nullptr;                  // caption = current patient name, stamped into new exposures
    QPushButton *decodeNowButton = nullptr;      // caption "Command1": decodes at once
    QPushButton *newExaminationButton = nullptr; // "New Examination"
    QPushButton *activateButton = nullptr;       // "Activate"
    QPushButton *stopButton = nullptr;           // "S T O P"
    QTextEdit *txtcInput = nullptr;              // shows the receive buffer (visible in debug mode)
    QListWidget *decoderTokenList = nullptr;     // the decoder's token list (visible in debug mode)
    QLineEdit *doseLineBox = nullptr;            // work box of the "SM 1000" decoder: its dose line
    QTimer *SerTimer = nullptr;                  // 100 ms, disabled at creation
    QTimer *sendTimer = nullptr;                 // 1000 ms, disabled at creation
    // Shows an information message box (OK only, title "PellanMammo"); unset: a real QMessageBox.
    std::function<void(const QString &text)> showMessage;
};
