#include "dose/Agd.h"

#include <cmath>

QString AgeTableFor(const QDate &birthDate, const QDate &exposureDay)
{
    if (!birthDate.isValid() || !exposureDay.isValid())
        return QString::fromLatin1(AgeTable50to64);
    int age = exposureDay.year() - birthDate.year();
    if (exposureDay.month() < birthDate.month() || (exposureDay.month() == birthDate.month() && exposureDay.day() < birthDate.day()))
        --age;
    return QString::fromLatin1(age >= 40 && age <= 49 ? AgeTable40to49 : AgeTable50to64);
}

namespace {

// Focus to the breast's upper surface, mm; none for a breast as thick as the distance.
std::optional<double> focusToSurface(const DoseCalibration &c, double thicknessMm)
{
    const double d = c.focusSupportMm - thicknessMm;
    return d > 0 ? std::optional<double>(d) : std::nullopt;
}

} // namespace

std::optional<double> KermaFromReportedDose(const DoseCalibration &c, double reportedMGy, double thicknessMm)
{
    if (c.reported == ReportedDose::None || reportedMGy <= 0)
        return std::nullopt;
    const auto surface = focusToSurface(c, thicknessMm);
    if (!surface)
        return std::nullopt;
    // An entrance surface air kerma includes the breast's backscatter; K does not.
    double k = c.reported == ReportedDose::EntranceSurfaceAirKerma ? reportedMGy / c.backscatter : reportedMGy;
    if (c.reportedAt == ReportedAt::Distance) {
        const double ratio = c.reportedDistanceMm / *surface;
        k *= ratio * ratio;
    }
    return k;
}

std::optional<double> KermaFromOutput(const DoseCalibration &c, const QString &targetFilter, double kv, double mAs, double thicknessMm)
{
    const auto output = OutputAt(c, targetFilter, kv);
    const auto surface = focusToSurface(c, thicknessMm);
    if (!output || !surface || mAs <= 0)
        return std::nullopt;
    // K is defined with the paddle in the beam.
    double paddle = 1.0;
    if (!c.paddleInBeam) {
        if (!c.paddleTransmission || !std::isfinite(*c.paddleTransmission) || *c.paddleTransmission <= 0 || *c.paddleTransmission > 1)
            return std::nullopt;
        paddle = *c.paddleTransmission;
    }
    const double ratio = c.outputDistanceMm / *surface;
    return *output * mAs * ratio * ratio * paddle / 1000.0; // µGy → mGy
}

DoseEstimate EstimateDose(const DoseCalibration *calibration, const FactorTables *factors, const ExposureDoseInput &in)
{
    DoseEstimate e;
    e.ageTable = in.ageTable;
    // What the unit reported is journalled and stamped with or without a calibration.
    if (!in.reportedTargetFilter.targetFilter.isEmpty())
        e.targetFilter = in.reportedTargetFilter.targetFilter;
    if (!calibration || !factors || factors->isEmpty()) {
        e.source = QString::fromLatin1(AgdSource::NotConfigured);
        e.why = !calibration ? QStringLiteral("no dose calibration for this unit type") : QStringLiteral("no factor tables loaded");
        return e;
    }
    const DoseCalibration &c = *calibration;
    e.calibrationId = c.id;
    const bool reported = in.reportedMGy && *in.reportedMGy > 0 && c.reported != ReportedDose::None;
    e.source = QString::fromLatin1(reported ? AgdSource::ReportedDose : AgdSource::Output);
    if (!in.kv || !in.thicknessMm) {
        e.why = QStringLiteral("the unit sent no kV or no thickness");
        return e;
    }
    // The unit's own target/filter where it reports one: its exposure control
    // chose it, whatever the kV ranges say.
    const ReportedTargetFilter &sent = in.reportedTargetFilter;
    if (sent.sent && sent.targetFilter.isEmpty()) {
        e.why = QStringLiteral("the unit reported the target/filter \"%1\", which names no known anode and filter").arg(sent.text);
        return e;
    }
    e.targetFilter = sent.sent ? std::optional<QString>(sent.targetFilter) : TargetFilterAt(c, *in.kv);
    if (!e.targetFilter) {
        e.why = QStringLiteral("no target/filter is calibrated at %1 kV").arg(*in.kv);
        return e;
    }
    e.hvl = HvlAt(c, *e.targetFilter, *in.kv);
    if (reported) {
        e.kerma = KermaFromReportedDose(c, *in.reportedMGy, *in.thicknessMm);
        if (in.mAs)
            e.kermaFromOutput = KermaFromOutput(c, *e.targetFilter, *in.kv, *in.mAs, *in.thicknessMm);
    }
    else if (in.mAs) {
        e.kerma = KermaFromOutput(c, *e.targetFilter, *in.kv, *in.mAs, *in.thicknessMm);
        if (!c.paddleInBeam && c.paddleTransmission)
            e.source = QStringLiteral("%1, paddle transmission %2").arg(e.source).arg(*c.paddleTransmission);
    }
    if (!e.hvl) {
        e.why = sent.sent ? QStringLiteral("the unit reported %1 at %2 kV, for which the calibration has no HVL").arg(*e.targetFilter).arg(*in.kv)
                          : QStringLiteral("%1 kV is outside the calibrated kVs of %2").arg(*in.kv).arg(*e.targetFilter);
        return e;
    }
    if (!e.kerma) {
        if (reported)
            e.why = QStringLiteral("the reported dose cannot be converted");
        else if (!c.paddleInBeam && !c.paddleTransmission)
            e.why = QStringLiteral("the output was measured without the compression paddle and the calibration gives no paddle transmission factor");
        else
            e.why = QStringLiteral("no mAs or no output at %1 kV").arg(*in.kv);
        return e;
    }
    const FactorGrid &cGrid = in.ageTable == QLatin1String(AgeTable40to49) ? factors->c40to49 : factors->c50to64;
    const auto g = factors->g.at(*e.hvl, *in.thicknessMm);
    const auto cf = cGrid.at(*e.hvl, *in.thicknessMm);
    const auto s = factors->s.contains(*e.targetFilter) ? factors->s.value(*e.targetFilter).at(*in.thicknessMm) : std::nullopt;
    if (!g || !cf) {
        e.why = QStringLiteral("HVL %1 mm Al and %2 mm lie outside the factor tables").arg(*e.hvl).arg(*in.thicknessMm);
        return e;
    }
    if (!s) {
        e.why = QStringLiteral("the factor tables give no s for %1 at %2 mm").arg(*e.targetFilter).arg(*in.thicknessMm);
        return e;
    }
    e.agd = *e.kerma * *g * *cf * *s;
    return e;
}

QString KermaCrossCheckNote(const DoseEstimate &e)
{
    if (!e.kerma || !e.kermaFromOutput || *e.kermaFromOutput <= 0)
        return {};
    const double apart = std::abs(*e.kerma / *e.kermaFromOutput - 1.0);
    if (apart <= KermaCrossCheckTolerance)
        return {};
    return QStringLiteral("K %1 mGy from the reported dose, %2 mGy from the output: %3 % apart")
        .arg(*e.kerma, 0, 'f', 3)
        .arg(*e.kermaFromOutput, 0, 'f', 3)
        .arg(apart * 100, 0, 'f', 0);
}

QString AgdText(const QVariant &agd, const QLocale &locale)
{
    bool ok = false;
    const double v = agd.isNull() ? 0 : agd.toDouble(&ok);
    return ok ? locale.toString(v, 'f', 2) : QString();
}
