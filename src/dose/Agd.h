#pragma once

#include "dose/DoseCalibration.h"
#include "dose/FactorTables.h"
#include "dose/Projection.h"

#include <QDate>
#include <QLocale>
#include <QVariant>
#include <QString>
#include <optional>

// Where an exposure's AGD came from; stored as these texts.
namespace AgdSource {
inline const char *const ReportedDose = "reported dose";
inline const char *const Output = "output";
inline const char *const NotConfigured = "not configured";
} // namespace AgdSource

// The glandularity table: "50-64" unless the birth date puts the woman at 40 to 49.
inline const char *const AgeTable50to64 = "50-64";
inline const char *const AgeTable40to49 = "40-49";
QString AgeTableFor(const QDate &birthDate, const QDate &exposureDay);

// One exposure's values in the units of their attributes.
struct ExposureDoseInput {
    std::optional<double> kv;
    std::optional<double> mAs;
    std::optional<double> thicknessMm;
    std::optional<double> reportedMGy; // the unit's reported dose; none when it sent none (or 0)
    QString ageTable = QString::fromLatin1(AgeTable50to64);
    // The target/filter the unit reported with the exposure; where it sent
    // one, the calibration's kV ranges are not used.
    ReportedTargetFilter reportedTargetFilter;
};

// What the journal records beside what the unit sent.
struct DoseEstimate {
    std::optional<QString> targetFilter;
    std::optional<double> hvl;
    std::optional<double> kerma; // K, incident air kerma at the breast's upper surface, mGy
    std::optional<double> agd;   // mGy
    QString source;              // an AgdSource text
    QString ageTable;
    std::optional<qlonglong> calibrationId;
    QString why; // why a value is missing, for the log; empty when the AGD was computed
    // K from output × mAs beside a K from the reported dose, as a check of
    // the unit's dose and of the calibration; none where there is no output at the kV.
    std::optional<double> kermaFromOutput;
};

// How far apart the two K may be before the log says so: the station's own
// choice, wide enough for the spread of a unit's output between measurements.
inline constexpr double KermaCrossCheckTolerance = 0.25;
// The log note when the K from the reported dose and the K from output differ
// by more than the tolerance (of the latter); empty when they agree or one is missing.
QString KermaCrossCheckNote(const DoseEstimate &estimate);

// K from the reported dose as the calibration says what it is and where it
// refers to; none when the unit reported none or the calibration says there is none.
std::optional<double> KermaFromReportedDose(const DoseCalibration &c, double reportedMGy, double thicknessMm);
// K from output × mAs, by the inverse square from the output distance to the
// breast's upper surface (focus-to-support distance minus thickness), times
// the paddle's transmission where the output was measured without the paddle;
// none without that factor.
std::optional<double> KermaFromOutput(const DoseCalibration &c, const QString &targetFilter, double kv, double mAs, double thicknessMm);

// AGD = K · g · c · s. Without a calibration or factor tables the AGD stays
// empty and the source says "not configured"; nothing outside the calibration
// or the factor grids is estimated.
DoseEstimate EstimateDose(const DoseCalibration *calibration, const FactorTables *factors, const ExposureDoseInput &in);

// The journal's AGD as lists show it: mGy with two decimals in the
// workstation's locale; empty when none was computed.
QString AgdText(const QVariant &agd, const QLocale &locale);
