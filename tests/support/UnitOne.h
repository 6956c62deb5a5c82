#pragma once

// Unit type 1 as it really reports an exposure, and a dose calibration of it
// entered the way "Dose calibration ..." stores one, so that its exposures
// carry an AGD.
#include "dose/DoseStore.h"
#include "store/DatabasePaths.h"
#include "support/DoseTables.h"
#include "support/Station.h"
#include "support/UnitMessages.h"

#include <QDateTime>

// One exposure message in the unit's own layout, target and filter Mo/Rh.
inline QByteArray UnitOneMessage(const QString &projection, int kv, const QString &dose = u"1.23mGy"_s,
                                 const QString &thickness = u"4.5cm"_s, const QString &time = u"10:22:31"_s)
{
    QString mGy = dose, cm = thickness;
    mGy.remove(u"mGy"_s);
    cm.remove(u"cm"_s);
    return SophieMessage({.time = time, .projection = projection, .target = u"Mo"_s, .kv = kv, .cm = cm, .mGy = mGy}).toLatin1();
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
    c.xrayUnit = {.manufacturer = u"Orvix Medical"_s, .model = u"Mammo 300"_s, .serialNumber = u"SN-4711"_s};
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
