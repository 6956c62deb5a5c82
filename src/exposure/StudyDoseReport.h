#pragma once

#include "toolkit/DoseReport.h"

#include <QStringList>

// The exposures of a study for its dose report: the journal rows whose
// Irradiation Event UID was stamped into one of its images, and the rows
// assigned to its patient on the study's date (rejected exposures, which
// left no kept image, among them). A row without a UID gets one now.
struct StudyExposures : Result {
    QList<DoseReportEvent> events;
};
StudyExposures ReadStudyExposures(const QString &patientId, const QString &studyDate, const QStringList &stampedEventUids);

// Fills the events, the X-ray unit entered with the calibration (as device
// observer and each event's irradiating device; unknown without entries) and
// the workstation as the report's creator into input, and writes the report
// to path; fails with the reason when the journal holds no exposure of the
// study or one lacks its AGD (and why it does).
DoseReportWritten WriteStudyDoseReport(const DoseReportInput &input, const QStringList &stampedEventUids, const QString &path);
