#pragma once

#include "toolkit/Result.h"
#include "exposure/ExposureRecord.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <optional>

// The five message layouts of the X-ray units, without window, file or
// database: message and state in, record, state changes and messages out.

// Unit types as the settings hold them (General\XrayComm).
enum XrayUnit : qint16 {
    UnitSophie = 1,
    UnitGiotto = 2,
    UnitLoradM4 = 3,
    UnitGESeno = 4,
    UnitHFE = 5,
};

struct DecoderInput {
    qint16 unitType = 0;
    QString buffer;              // the receive buffer
    QString patientName;         // caption of lblCount
    QString currentProjection;   // caption of the projection button clicked last
    qint16 projectionCounter = 0;
    QString currentExposureTime;
    QString projectionBox;       // the projection box of the selected exposure
    QString doseLine;            // the dose-line work box of unit type 5
    bool debug = false;          // General\Debug = 1
    QLocale locale;              // number and short date formats
    QDateTime now;               // today and now of the decoding
};

struct DecoderOutput {
    std::optional<ExposureRecord> record; // at most one per call
    bool closingSteps = true;             // counter wrap, SerTimer on, list refill
    bool enableSerTimer = true;           // also true on the one path without closing steps that re-arms it
    QString buffer;                       // what the receive buffer holds afterwards
    QStringList tokens;                   // shown in the decoder token list
    QString doseLine;                     // the dose-line work box afterwards
    qint16 projectionCounter = 0;         // already wrapped from 4 to 0 when closingSteps
    QString currentExposureTime;
    bool clearProjectionBox = false;      // empty the projection box
    bool deleteSerialInput = false;       // remove a cInput.txt that arrived meanwhile
    QStringList messageBoxes;             // shown in order, OK only
    QList<Result> errors;                 // values that failed to decode; the rest of the record is written
};

DecoderOutput DecodeExposure(const DecoderInput &in);

// The four views in the order each polled unit type sends them; counter 1..4.
QString ProjectionOfCounter(qint16 unitType, qint16 counter);

// The decoders' date texts ("dd.MM.yyyy", the locale's short date, ISO) as a
// date; invalid when the text is none of them.
QDate ParseExposureDate(const QString &text, const QLocale &locale);
