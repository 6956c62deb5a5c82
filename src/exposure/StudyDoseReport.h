#pragma once

#include "toolkit/DoseReport.h"

#include <QStringList>

// The exposures of a study for its dose report: the rows bound to the study
// (reported with it before, or rejected during it) and the rows whose
// Irradiation Event UID was stamped into one of its images. `captured` (the
// journal keys of her examination's exposures, taken when the operator gave
// the merge command, rejected ones included) are bound to the study first, so
// that they are reported with it now and on every later send. Never another
// study's by her name or date. A row without a UID gets one now.
struct StudyExposures : Result {
    QList<DoseReportEvent> events;
};
StudyExposures ReadStudyExposures(const QString &studyUid, const QStringList &stampedEventUids,
                                  const std::optional<QList<qlonglong>> &captured = std::nullopt);

// Fills the events, the X-ray unit entered with the calibration (as device
// observer and each event's irradiating device; unknown without entries) and
// the workstation as the report's creator into input, and writes the report
// to path; fails with the reason when the journal holds no exposure of the
// study or one lacks its AGD (and why it does).
DoseReportWritten WriteStudyDoseReport(const DoseReportInput &input, const QStringList &stampedEventUids,
                                       const std::optional<QList<qlonglong>> &captured, const QString &path);
