#pragma once

#include "exposure/ExposureDecoders.h"
#include "exposure/ExposureJournal.h"
#include "store/Session.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <functional>

class DoseList;
class Prompter;

// The serial link to the X-ray unit and the decoding frame around the five
// decoders: port, receive buffer, end-of-message tests, the exchange files,
// the new journal row and the dose-list refill.
class ExposureCapture : public QObject {
    Q_OBJECT
public:
    // Which capture button a colour is for.
    enum class Button { NewExamination, Stop };

    // Sets the intervals of the read tick (100 ms) and the poll tick (1000 ms); neither runs yet.
    ExposureCapture(Session &session, DoseList &doseList, Prompter &prompter, QObject *parent = nullptr);

    // (Re)opens the port with the settings record; on every activation and after the options dialog.
    void Initialise_cPort();
    void SerTimer_Tick();
    void sendTimer_Tick();
    // Decodes "cInput.txt" or the receive buffer into one new journal row.
    void dbFill();

    // The read tick ("SerTimer") and the poll tick of the polled units ("sendTimer").
    QTimer &readTimer() { return serTimer_; }
    QTimer &pollTimer() { return sendTimer_; }
    // The polled unit's pause after a message ("pollPause"), at whose end the poll tick starts.
    const QTimer &pollPauseTimer() const { return pollPause_; }

    // The patient name on the label, which new exposures are journalled with
    // (the worklist patient's, once one is chosen).
    const QString &patientName() const { return patientName_; }
    void setPatientName(const QString &name) { patientName_ = name; }
    // The projection of the session's chosen exposure as the decoders read
    // it: empty once a decoding used it up, until the exposure or its
    // projection changes again.
    QString selectedProjection() const;
    // A projection button on the session's chosen exposure.
    void setSelectedProjection(const QString &projection) { session_.setChosenProjection(projection); }

public slots:
    void decodeNowButton_Click();
    void newExaminationButton_Click();
    void activateButton_Click();
    void stopButton_Click();
    // The polled units are asked from the load on: both ticks run.
    void startPolling();
    // The worklist dialog confirmed a patient: she becomes the session's
    // worklist patient, and new exposures carry her name; her birth date,
    // where the worklist gave one, chooses the glandularity table while her
    // name is on the label.
    void MarkPatientChosen(const QString &name, const QDate &birthDate = QDate());

signals:
    // The receive buffer was replaced by text, or grew by tail at its end.
    void bufferReplaced(const QString &text);
    void bufferGrew(const QString &tail);
    // The last decoding's tokens (shown in debug mode).
    void decoderTokens(const QStringList &tokens);
    // The capture state on its buttons: green runs, red stopped.
    void buttonColour(ExposureCapture::Button button, const QColor &colour);
    // The worklist's patient, whose name new exposures carry.
    void patientChosen(const QString &name);
    // The decoders used the chosen exposure's projection up.
    void selectedProjectionCleared();

public:
    // The receive buffer (shown in txtcInput).
    const QString &buffer() const { return buffer_; }
    void setBuffer(const QString &text);

    // The pause after each polled message; the unit needs 5 s before the next
    // ENQ. Nothing waits meanwhile: the poll tick starts when it ends.
    void setPollPauseMs(int ms) { pollPauseMs_ = ms; }
    // Now of the decoding; the workstation's clock unless a test fixes it.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

    QSerialPort &port() { return port_; }

    // The decoders' projection state: the caption of the projection button
    // clicked last, and the view counter of the polled units (0 to 4).
    const QString &currentProjection() const { return currentProjection_; }
    void setCurrentProjection(const QString &caption) { currentProjection_ = caption; }
    qint16 projectionCounter() const { return projectionCounter_; }
    void setProjectionCounter(qint16 counter) { projectionCounter_ = counter; }

    // The most the receive buffer holds without a complete message.
    static constexpr qsizetype MaxBufferLength = 1 << 20;

    // True when the buffer holds a whole message of the unit type.
    static bool MessageComplete(qint16 unitType, const QString &buffer);
    // The line-settings text of the settings record ("4800,N,8,1"); empty parts for indexes out of range.
    static QString LineSettingsText();

private:
    void applyLineSettings();
    // Logs an exposure over the active reference set's level.
    void checkReferenceLevel(qlonglong id, const ExposureRecord &record, std::optional<double> agd, std::optional<double> kerma);
    // The dose of a decoded exposure with the unit type's calibration.
    std::optional<ExposureDose> estimateDose(const ExposureRecord &record, const QString &patientName, const QDate &day);

    Session &session_;
    DoseList &doseList_;
    Prompter &prompter_;
    QTimer serTimer_;
    QTimer sendTimer_;
    QTimer pollPause_; // the polled unit's pause after a message, before the next poll
    // The session's worklist patient changed: her name goes on the label.
    void followWorklistPatient();

    QString patientName_;
    bool projectionUsed_ = false; // a decoding used the chosen exposure's projection up
    QString doseLine_; // the "SM 1000" decoder's dose line, kept between decodings
    QString currentProjection_;
    qint16 projectionCounter_ = 0;
    QSerialPort port_;
    QString buffer_;
    int pollPauseMs_ = 5000;
    std::function<QDateTime()> clock_;
};
