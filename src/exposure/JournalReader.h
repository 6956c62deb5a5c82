#pragma once

#include "toolkit/Result.h"

#include <QDate>
#include <QList>
#include <QString>
#include <optional>

// One journal row as the dose statistics read it: what the unit sent, in the
// units of its attributes (converted by the row's unit type as stamping
// converts them), and what the dose computation added (empty in a journal
// that lacks those columns). An unknown or unreadable number is empty.
struct JournalExposure {
    qlonglong id = 0;
    QDate day;
    QString time;
    std::optional<double> kv;
    std::optional<double> mas;
    std::optional<double> thickness;     // compressed, mm
    std::optional<double> reportedDose;  // the unit's own figure, mGy
    std::optional<double> force;         // compression, N
    // The entrance dose as the image's header has it: K at the breast's upper
    // surface where the dose computation gave one, else the unit's figure.
    std::optional<double> entranceDose;
    QString projection;                  // Sonstiges
    QString status;
    QString exposureTime;
    QString patientName;
    QString patientId;                   // set once the row was assigned to images
    std::optional<int> unit;
    QString targetFilter;
    std::optional<double> hvl;
    std::optional<double> kerma;
    std::optional<double> agd;
    QString agdSource;
    QString ageTable;
    std::optional<qlonglong> calibrationId;
};

struct JournalRead : Result {
    QList<JournalExposure> rows;
};

// The rows dated from..to (both included) in journal order, read from the
// journal file at path over a connection of its own, so that a worker thread
// may call it while the window's thread keeps the process-wide one. The
// caller logs a failure. Rows journalled before the journal kept the unit
// type are read as `olderRowsUnit` sends its values (the station's type).
JournalRead ReadJournalExposures(const QString &path, const QDate &from, const QDate &to, qint16 olderRowsUnit = 0);
