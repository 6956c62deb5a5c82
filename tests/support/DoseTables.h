#pragma once

// A factor table and a calibration made up for the tests, whose results the
// tests check by hand calculation. No published values.
#include "dose/DoseCalibration.h"
#include "dose/DoseStore.h"
#include "store/DatabasePaths.h"

#include <QString>

using namespace Qt::StringLiterals;

// Made up for this test (no published values): two HVLs by two thicknesses,
// s for W/Rh as one value and for W/Al by thickness.
inline const QString TestFactorTable = u"# test factors\n"
                         "factor,target_filter,hvl_mm_al,thickness_mm,value\n"
                         "g,,0.40,20,0.50\n"
                         "g,,0.40,60,0.30\n"
                         "g,,0.60,20,0.70\n"
                         "g,,0.60,60,0.40\n"
                         "c50-64,,0.40,20,1.00\n"
                         "c50-64,,0.40,60,1.10\n"
                         "c50-64,,0.60,20,1.02\n"
                         "c50-64,,0.60,60,1.20\n"
                         "c40-49,,0.40,20,0.90\n"
                         "c40-49,,0.40,60,1.00\n"
                         "c40-49,,0.60,20,0.94\n"
                         "c40-49,,0.60,60,1.04\n"
                         "s,W/Rh,,,1.05\n"
                         "s,W/Al,,20,1.10\n"
                         "s,W/Al,,60,1.30\n"_s;

// W/Rh up to 31 kV (HVL 0.40 at 26 kV, 0.60 at 30 kV), W/Al above (0.40 at
// 32 kV, 0.60 at 34 kV); output at 500 mm, measured through the paddle; breast
// support 650 mm from the focus.
inline DoseCalibration TestCalibration()
{
    DoseCalibration c;
    c.id = 7;
    c.unit = 3;
    c.reported = ReportedDose::IncidentAirKerma;
    c.reportedAt = ReportedAt::UpperSurface;
    c.focusSupportMm = 650;
    c.outputDistanceMm = 500;
    c.paddleInBeam = true;
    c.calibratedOn = QDate(2026, 11, 30);
    c.calibratedBy = u"A. Physicist"_s;
    c.targetFilters = {{31.0, u"W/Rh"_s}, {std::nullopt, u"W/Al"_s}};
    c.beam = {{u"W/Rh"_s, 26, 0.40, 100}, {u"W/Rh"_s, 30, 0.60, 140}, {u"W/Al"_s, 32, 0.40, 80}, {u"W/Al"_s, 34, 0.60, 120}};
    return c;
}


// Stores the calibration as the dialog's save does (its id set); false when it could not.
inline bool StoreCalibration(DoseCalibration &c)
{
    DatabaseSession db(DefinitionsDatabase);
    return db.ok() && WriteCalibration(DefinitionsDatabase, c).ok();
}
