#pragma once

// The X-ray unit's own dose report, as a unit of another maker sends it with
// its images: written here with DCMTK's dcmsr, not by the workstation.
#include <QString>

struct UnitDoseReport {
    QString patientName, patientId, birthDate, sex;
    QString studyUid, studyDate, studyTime, accessionNumber;
    QString eventUid;    // the unit's irradiation event
    QString dateTime;    // YYYYMMDDHHMMSS
    double agdMGy = 0.0; // as the unit computed it
    QString seriesUid, sopUid; // filled in when written
};

// Writes the report to path (folders made on the way); empty on success, else why not.
QString WriteUnitDoseReport(UnitDoseReport &report, const QString &path);
