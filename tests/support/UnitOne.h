#pragma once

// Unit type 1 as it really reports an exposure, and a dose calibration of it
// entered the way "Dose calibration ..." stores one, so that its exposures
// carry an AGD.
#include "dose/DoseStore.h"
#include "store/DatabasePaths.h"
#include "support/DoseTables.h"
#include "support/Station.h"

#include <QDateTime>

// One exposure message: "Name:", date, time, projection, target, filter, a
// number, kV, mAs, seconds, AEC, kg, cm, dose.
inline QByteArray UnitOneMessage(const QString &projection, int kv, const QString &dose = u"1.23mGy"_s,
                                 const QString &thickness = u"4.5cm"_s, const QString &time = u"10:22:31"_s)
{
    return (u"\x02SOPHIE V3\r\nName: 2026-12-07 %1 %2 Mo Rh 28 %3kV 63mAs 1.25s AEC 12kg %4 %5\r\n"_s)
        .arg(time, projection)
        .arg(kv)
        .arg(thickness, dose)
        .toLatin1();
}

// The made-up factor table with s for the unit's Mo/Rh too (no published value).
inline QString UnitOneFactorTable() { return TestFactorTable + u"s,Mo/Rh,,,1.02\n"_s; }

// Mo/Rh at every kV, HVL 0.40 at 26 kV and 0.60 at 30 kV.
inline DoseCalibration UnitOneCalibration()
{
    DoseCalibration c = TestCalibration();
    c.id = 0;
    c.unit = 1;
    c.targetFilters = {{std::nullopt, u"Mo/Rh"_s}};
    c.beam = {{u"Mo/Rh"_s, 26, 0.40, 100}, {u"Mo/Rh"_s, 30, 0.60, 140}};
    return c;
}

// Stores the factor table and the calibration in the definitions database; "" or why not.
inline QString CalibrateUnitOne(const TestFolder &folder)
{
    folder.write(u"unit-one-factors.csv"_s, UnitOneFactorTable().toUtf8());
    DatabaseSession db(DefinitionsDatabase);
    if (!db.ok())
        return db.error().text;
    const Result imported = ImportFactorFile(DefinitionsDatabase, folder.file(u"unit-one-factors.csv"_s), QDateTime::currentDateTime());
    if (!imported.ok())
        return imported.text;
    DoseCalibration c = UnitOneCalibration();
    const Result written = WriteCalibration(DefinitionsDatabase, c);
    return written.ok() ? QString() : written.text;
}
