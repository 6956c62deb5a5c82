#pragma once

#include "dose/Agd.h"
#include "dose/FactorTables.h"
#include "store/Database.h"

#include <optional>

// The SQL of the dose tables of the definitions database. Callers hold a
// DatabaseSession; every value is bound.

struct CalibrationRead : Result {
    std::optional<DoseCalibration> calibration; // none when the unit type has none
};
CalibrationRead ReadCalibration(Database &db, qint16 unit);
// A stored calibration by its key, superseded or not.
CalibrationRead ReadCalibrationById(Database &db, qlonglong id);

// Stores the record as the unit type's calibration in use, in one
// transaction with its X-ray unit's entries; the older one stays, superseded.
// The unit type's device UID is kept (a new one for another unit, or for a
// unit first identified) and set in the record. Refused, with the problems as text, when it does not validate.
Result WriteCalibration(Database &db, DoseCalibration &calibration);

// The X-ray unit entered with a calibration: the unit type's calibration in
// use, or a stored one by its key (the one an exposure was taken under).
// found is false, and all empty, when none was entered with it.
struct XrayUnitRead : Result {
    XrayUnitIdentity unit;
    bool found = false;
};
XrayUnitRead ReadXrayUnit(Database &db, qint16 unit);
XrayUnitRead ReadXrayUnitOfCalibration(Database &db, qlonglong calibrationId);

struct FactorTablesRead : Result {
    FactorTables tables;   // empty when none were loaded
    QString fileName;      // the file they came from
    QString loadedAt;      // ISO date and time
};
FactorTablesRead ReadFactorTables(Database &db);

// Replaces the stored factor tables with the validated ones of a file.
Result WriteFactorTables(Database &db, const FactorTables &tables, const QString &fileName, const QDateTime &loadedAt);

// The physicist's load: reads the file, validates it and stores its tables;
// nothing is stored from a file that does not validate.
Result ImportFactorFile(Database &db, const QString &path, const QDateTime &now);

// An exposure's dose with the unit type's stored calibration and the stored
// factor tables; "not configured" without them. A failure to read them is
// the Result; the estimate is then "not configured" too.
struct StoredDoseEstimate : Result {
    DoseEstimate estimate;
};
StoredDoseEstimate EstimateWithStored(Database &definitions, qint16 unit, const ExposureDoseInput &in);

// The same with the stored calibration an exposure used, superseded or not:
// a later dose of that exposure keeps its calibration.
StoredDoseEstimate EstimateWithCalibration(Database &definitions, qlonglong calibrationId, const ExposureDoseInput &in);

