#pragma once

#include <QString>

// The side and view of an exposure as the journal's Sonstiges holds them.
// Where the projection sits depends on the unit type: unit 1 journals its
// message fields ("W/Rh,AEC,Grid,R-CC,0") with the projection as the fourth;
// unit 2 the projection button's caption ("R-LMO45") as it is; units 3 to 5
// the projection alone ("LCC", "R MLO"). Anything else is view "other".
struct ExposureProjection {
    QString laterality; // "R", "L" or empty
    QString view;       // "CC", "MLO" or "other"
};

// unitType 0 (a row from before the journal kept its unit) is read as units 3 to 5 are.
ExposureProjection ProjectionOfExposure(qint16 unitType, const QString &sonstiges);

// A projection written on its own: "R CC", "L-CC", "LCC", "L-MLO45", "R-LMO45".
ExposureProjection ProjectionOfText(const QString &projection);

// The target/filter a unit type reports with each exposure. Unit 1 journals
// its target and filter as the first two fields ("Mo,Rh,28,R-CC,AEC"); the
// other types report none.
struct ReportedTargetFilter {
    bool sent = false;    // the unit reported one (possibly unreadable)
    QString targetFilter; // "Mo/Rh"; empty when what it sent names no known element
    QString text;         // what it sent, for a message
};
ReportedTargetFilter TargetFilterOfExposure(qint16 unitType, const QString &sonstiges);
