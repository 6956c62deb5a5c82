#pragma once

#include "dose/XrayUnit.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What the unit's reported dose is.
enum class ReportedDose { None, IncidentAirKerma, EntranceSurfaceAirKerma };
// Where the reported dose refers to.
enum class ReportedAt { UpperSurface, Distance };

// The target/filter used up to a tube voltage (inclusive); the last range has no limit.
struct TargetFilterRange {
    std::optional<double> upToKv;
    QString targetFilter; // "W/Rh", "Mo/Mo", ...
};

// One measured beam: HVL in mm Al and tube output in µGy/mAs at the
// calibration's output distance, at a kV, for a target/filter.
struct BeamPoint {
    QString targetFilter;
    double kv = 0;
    double hvl = 0;
    double output = 0;
};

// One X-ray unit type's dose calibration, as the physicist entered it.
struct DoseCalibration {
    qlonglong id = 0; // 0 until stored
    qint16 unit = 0;  // the settings record's unit type
    ReportedDose reported = ReportedDose::None;
    double backscatter = 0; // for an entrance surface air kerma
    ReportedAt reportedAt = ReportedAt::UpperSurface;
    double reportedDistanceMm = 0; // from the focus, with ReportedAt::Distance
    double focusSupportMm = 0;     // focus to breast support
    double outputDistanceMm = 0;   // focus to where the output was measured
    bool paddleInBeam = false;     // output and HVL measured through the compression paddle
    // Without the paddle in the beam: the share of the beam the paddle lets
    // through (0 < t <= 1), applied to K from the output.
    std::optional<double> paddleTransmission;
    QDate calibratedOn;
    QString calibratedBy;
    QList<TargetFilterRange> targetFilters;
    QList<BeamPoint> beam;
    XrayUnitIdentity xrayUnit; // the unit type's, the same in each of its calibrations
};

// The target/filter combinations the header's defined terms can name.
QStringList KnownTargetFilters();

// Everything wrong with the record, one text each; empty when it can be stored.
QStringList ValidateCalibration(const DoseCalibration &c);

// The target/filter at a kV; none when no range covers it.
std::optional<QString> TargetFilterAt(const DoseCalibration &c, double kv);
// HVL and output at a kV, linear between the measured kVs of that
// target/filter; none outside them.
std::optional<double> HvlAt(const DoseCalibration &c, const QString &targetFilter, double kv);
std::optional<double> OutputAt(const DoseCalibration &c, const QString &targetFilter, double kv);

// Text forms stored and shown: "IAK", "ESAK", "none"; "surface", "distance".
QString ReportedDoseText(ReportedDose kind);
std::optional<ReportedDose> ReportedDoseFromText(const QString &text);
