#include "dose/DoseCalibration.h"

#include <QSet>
#include <algorithm>
#include <cmath>

QStringList KnownTargetFilters()
{
    return {QStringLiteral("Mo/Mo"), QStringLiteral("Mo/Rh"), QStringLiteral("Rh/Rh"), QStringLiteral("Rh/Al"),
            QStringLiteral("W/Rh"),  QStringLiteral("W/Ag"),  QStringLiteral("W/Al"),  QStringLiteral("W/Mo")};
}

namespace {

// Linear in kV between the two measured points around it; exact at a point.
std::optional<double> alongKv(const DoseCalibration &c, const QString &targetFilter, double kv, double BeamPoint::*value)
{
    QList<const BeamPoint *> points;
    for (const BeamPoint &p : c.beam)
        if (p.targetFilter == targetFilter)
            points.append(&p);
    std::sort(points.begin(), points.end(), [](const BeamPoint *a, const BeamPoint *b) { return a->kv < b->kv; });
    for (qsizetype i = 0; i < points.size(); ++i) {
        if (points[i]->kv == kv)
            return points[i]->*value;
        if (i + 1 < points.size() && points[i]->kv < kv && kv < points[i + 1]->kv) {
            const double f = (kv - points[i]->kv) / (points[i + 1]->kv - points[i]->kv);
            return points[i]->*value + f * (points[i + 1]->*value - points[i]->*value);
        }
    }
    return std::nullopt;
}

} // namespace

QStringList ValidateCalibration(const DoseCalibration &c)
{
    QStringList problems;
    if (c.unit <= 0)
        problems << QStringLiteral("No X-ray unit type is chosen.");
    if (c.calibratedBy.trimmed().isEmpty())
        problems << QStringLiteral("Who entered the calibration is missing.");
    if (!c.calibratedOn.isValid())
        problems << QStringLiteral("The calibration date is missing.");
    else if (c.calibratedOn > QDate::currentDate())
        problems << QStringLiteral("The calibration date %1 lies in the future.").arg(c.calibratedOn.toString(Qt::ISODate));
    // NaN passes every comparison below: refused by name first.
    const QList<std::pair<const char *, double>> figures{{"The backscatter factor", c.backscatter},
                                                         {"The reported dose's distance from the focus", c.reportedDistanceMm},
                                                         {"Focus to breast support", c.focusSupportMm},
                                                         {"The output distance", c.outputDistanceMm}};
    for (const auto &[name, value] : figures)
        if (!std::isfinite(value))
            problems << QStringLiteral("%1 is not a finite number.").arg(QLatin1String(name));
    if (!c.paddleInBeam && c.paddleTransmission && !std::isfinite(*c.paddleTransmission))
        problems << QStringLiteral("The paddle transmission factor is not a finite number.");
    for (qsizetype i = 0; i < c.targetFilters.size(); ++i)
        if (c.targetFilters[i].upToKv && !std::isfinite(*c.targetFilters[i].upToKv))
            problems << QStringLiteral("Target/filter range %1: the kV limit is not a finite number.").arg(i + 1);
    for (qsizetype i = 0; i < c.beam.size(); ++i) {
        const BeamPoint &p = c.beam[i];
        if (!std::isfinite(p.kv) || !std::isfinite(p.hvl) || !std::isfinite(p.output))
            problems << QStringLiteral("Beam row %1: the kV, HVL or output is not a finite number.").arg(i + 1);
    }
    problems << ValidateXrayUnit(c.xrayUnit);
    if (!problems.isEmpty())
        return problems;
    if (c.focusSupportMm < 400 || c.focusSupportMm > 1000)
        problems << QStringLiteral("Focus to breast support %1 mm is outside 400 to 1000 mm.").arg(c.focusSupportMm);
    if (c.outputDistanceMm < 200 || c.outputDistanceMm > 1000)
        problems << QStringLiteral("The output distance %1 mm is outside 200 to 1000 mm.").arg(c.outputDistanceMm);
    if (c.reported == ReportedDose::EntranceSurfaceAirKerma && (c.backscatter < 1.0 || c.backscatter > 1.5))
        problems << QStringLiteral("An entrance surface air kerma needs a backscatter factor from 1.0 to 1.5 (%1).").arg(c.backscatter);
    if (c.reported != ReportedDose::None && c.reportedAt == ReportedAt::Distance
        && (c.reportedDistanceMm < 200 || c.reportedDistanceMm > c.focusSupportMm))
        problems << QStringLiteral("The reported dose's point, %1 mm from the focus, is not between 200 mm and the breast support.")
                        .arg(c.reportedDistanceMm);

    if (!c.paddleInBeam && !c.paddleTransmission)
        problems << QStringLiteral("The paddle transmission factor is missing: the output was measured without the compression paddle.");
    else if (!c.paddleInBeam && (*c.paddleTransmission <= 0 || *c.paddleTransmission > 1))
        problems << QStringLiteral("The paddle transmission factor %1 is not above 0 and at most 1.").arg(*c.paddleTransmission);
    if (c.targetFilters.isEmpty())
        problems << QStringLiteral("No target/filter is given.");
    const QStringList known = KnownTargetFilters();
    double previous = 0;
    for (qsizetype i = 0; i < c.targetFilters.size(); ++i) {
        const TargetFilterRange &r = c.targetFilters[i];
        if (!known.contains(r.targetFilter))
            problems << QStringLiteral("Unknown target/filter \"%1\" (known: %2).").arg(r.targetFilter, known.join(QStringLiteral(", ")));
        const bool last = i + 1 == c.targetFilters.size();
        if (!r.upToKv && !last)
            problems << QStringLiteral("Only the last target/filter range may be open above.");
        if (r.upToKv && (*r.upToKv <= previous || *r.upToKv < 20 || *r.upToKv > 50))
            problems << QStringLiteral("The kV limits must rise, within 20 to 50 kV (%1).").arg(*r.upToKv);
        if (r.upToKv)
            previous = *r.upToKv;
    }

    QSet<QString> usedFilters;
    QSet<QPair<QString, double>> seen;
    for (const BeamPoint &p : c.beam) {
        usedFilters.insert(p.targetFilter);
        if (!known.contains(p.targetFilter))
            problems << QStringLiteral("Unknown target/filter \"%1\" in the beam table.").arg(p.targetFilter);
        if (p.kv < 20 || p.kv > 50)
            problems << QStringLiteral("%1 kV is outside 20 to 50 kV.").arg(p.kv);
        if (p.hvl < 0.2 || p.hvl > 1.2)
            problems << QStringLiteral("HVL %1 mm Al at %2 kV is outside 0.2 to 1.2 mm Al.").arg(p.hvl).arg(p.kv);
        if (p.output <= 0 || p.output > 500)
            problems << QStringLiteral("Output %1 µGy/mAs at %2 kV is outside 0 to 500 µGy/mAs.").arg(p.output).arg(p.kv);
        if (seen.contains({p.targetFilter, p.kv}))
            problems << QStringLiteral("%1 at %2 kV is entered twice.").arg(p.targetFilter).arg(p.kv);
        seen.insert({p.targetFilter, p.kv});
    }
    for (const TargetFilterRange &r : c.targetFilters)
        if (!usedFilters.contains(r.targetFilter))
            problems << QStringLiteral("The beam table has no HVL and output for %1.").arg(r.targetFilter);
    return problems;
}

std::optional<QString> TargetFilterAt(const DoseCalibration &c, double kv)
{
    for (const TargetFilterRange &r : c.targetFilters)
        if (!r.upToKv || kv <= *r.upToKv)
            return r.targetFilter;
    return std::nullopt;
}

std::optional<double> HvlAt(const DoseCalibration &c, const QString &targetFilter, double kv)
{
    return alongKv(c, targetFilter, kv, &BeamPoint::hvl);
}

std::optional<double> OutputAt(const DoseCalibration &c, const QString &targetFilter, double kv)
{
    return alongKv(c, targetFilter, kv, &BeamPoint::output);
}

QString ReportedDoseText(ReportedDose kind)
{
    switch (kind) {
    case ReportedDose::IncidentAirKerma: return QStringLiteral("IAK");
    case ReportedDose::EntranceSurfaceAirKerma: return QStringLiteral("ESAK");
    case ReportedDose::None: break;
    }
    return QStringLiteral("none");
}

std::optional<ReportedDose> ReportedDoseFromText(const QString &text)
{
    for (ReportedDose k : {ReportedDose::None, ReportedDose::IncidentAirKerma, ReportedDose::EntranceSurfaceAirKerma})
        if (ReportedDoseText(k) == text)
            return k;
    return std::nullopt;
}
