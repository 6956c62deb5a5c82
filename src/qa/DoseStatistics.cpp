#include "qa/DoseStatistics.h"

#include "dose/Projection.h"

#include <QHash>
#include <QMap>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double MedianOf(std::vector<double> &values)
{
    std::sort(values.begin(), values.end());
    return Quantile(values, 0.5);
}

int ViewIndex(const QString &view) { return int(QaViews().indexOf(view)); }

} // namespace

const QStringList &QaViews()
{
    static const QStringList views{QStringLiteral("CC"), QStringLiteral("MLO"), QStringLiteral("other")};
    return views;
}

int ThicknessBand(const std::optional<double> &thicknessMm)
{
    if (!thicknessMm || *thicknessMm < 0)
        return -1;
    return int(std::floor(*thicknessMm / 10.0)) * 10;
}

QString BandLabel(int band)
{
    return band < 0 ? QStringLiteral("unknown") : QStringLiteral("%1-%2").arg(band).arg(band + 9);
}

double Quantile(const std::vector<double> &sorted, double q)
{
    if (sorted.empty())
        return NaN;
    const double pos = q * double(sorted.size() - 1);
    const size_t lower = size_t(std::floor(pos));
    const size_t upper = std::min(lower + 1, sorted.size() - 1);
    return sorted[lower] + (pos - double(lower)) * (sorted[upper] - sorted[lower]);
}

std::optional<ReferenceMatch> ExceededLevel(const JournalExposure &e, const ReferenceLookup &lookup)
{
    if (!lookup || !e.thickness)
        return std::nullopt;
    const std::optional<ReferenceMatch> level = lookup(ProjectionOfExposure(qint16(e.unit.value_or(0)), e.projection).view, *e.thickness);
    if (!level)
        return std::nullopt;
    const std::optional<double> dose = level->forAgd() ? e.agd : e.entranceDose;
    if (dose && *dose > level->level)
        return level;
    return std::nullopt;
}

double ViewRejects::rate() const { return given > 0 ? double(rejected) / double(given) : NaN; }

double DoseCurve::at(double thickness) const { return std::exp(a + b * thickness); }

DoseStatistics::DoseStatistics(QList<JournalExposure> rows)
    : rows_(std::move(rows))
{
    // The projection text repeats; parse each one once.
    QHash<QString, int> viewOfText;
    views_.reserve(size_t(rows_.size()));
    for (const JournalExposure &e : rows_) {
        const qint16 unit = qint16(e.unit.value_or(0));
        const QString key = QString::number(unit) + QLatin1Char('|') + e.projection;
        auto it = viewOfText.constFind(key);
        if (it == viewOfText.cend())
            it = viewOfText.insert(key, ViewIndex(ProjectionOfExposure(unit, e.projection).view));
        views_.push_back(*it);
    }
}

const QString &DoseStatistics::viewOf(int row) const { return QaViews()[views_[size_t(row)]]; }

std::optional<double> DoseStatistics::doseOf(const JournalExposure &e) const
{
    return doseIsAgd_ ? e.agd : e.entranceDose;
}

bool DoseStatistics::passesUnit(const JournalExposure &e) const { return !filter_.unit || e.unit == filter_.unit; }

QList<int> DoseStatistics::units() const
{
    QList<int> out;
    for (const JournalExposure &e : rows_)
        if (e.unit && !out.contains(*e.unit))
            out.append(*e.unit);
    std::sort(out.begin(), out.end());
    return out;
}

void DoseStatistics::filter(const QaFilter &f)
{
    filter_ = f;
    selected_.clear();
    bands_.clear();
    rejects_.clear();
    rejectsByView_.clear();
    daily_.clear();
    force_.clear();
    curves_.clear();

    const std::vector<int> &views = views_;
    const int wantedView = f.view.isEmpty() ? -1 : ViewIndex(f.view);
    doseIsAgd_ = false;
    for (int i = 0; i < rows_.size(); ++i) {
        const JournalExposure &e = rows_[i];
        if ((f.from.isValid() && e.day < f.from) || (f.to.isValid() && e.day > f.to) || !passesUnit(e))
            continue;
        if (wantedView >= 0 && views[size_t(i)] != wantedView)
            continue;
        if (f.band && ThicknessBand(e.thickness) != *f.band)
            continue;
        selected_.push_back(i);
        doseIsAgd_ = doseIsAgd_ || e.agd.has_value();
    }

    struct Collect {
        int count = 0;
        std::vector<double> dose, kv, mas, force;
    };
    QMap<std::pair<int, int>, Collect> byBand; // (view, band)
    QMap<QDate, std::vector<double>> byDay;
    QMap<std::pair<QDate, int>, DayRejects> rejectsByDay;
    std::vector<std::vector<double>> forceOfView(size_t(QaViews().size()));
    std::vector<ViewRejects> rejectsOfView(size_t(QaViews().size()));
    struct Sums {
        int n = 0;
        double t = 0, y = 0, tt = 0, ty = 0;
    };
    std::vector<Sums> fit(size_t(QaViews().size()));
    for (int i : selected_) {
        const JournalExposure &e = rows_[i];
        const int view = views[size_t(i)];
        Collect &c = byBand[{view, ThicknessBand(e.thickness)}];
        ++c.count;
        const std::optional<double> dose = doseOf(e);
        if (dose) {
            c.dose.push_back(*dose);
            byDay[e.day].push_back(*dose);
            if (*dose > 0 && e.thickness) {
                Sums &s = fit[size_t(view)];
                const double y = std::log(*dose);
                ++s.n;
                s.t += *e.thickness;
                s.y += y;
                s.tt += *e.thickness * *e.thickness;
                s.ty += *e.thickness * y;
            }
        }
        if (e.kv)
            c.kv.push_back(*e.kv);
        if (e.mas)
            c.mas.push_back(*e.mas);
        if (e.force) {
            c.force.push_back(*e.force);
            forceOfView[size_t(view)].push_back(*e.force);
        }
        DayRejects &r = rejectsByDay[{e.day, view}];
        ++r.total;
        // Assignment stores the patient's ID; setting free puts the row back
        // on the open list and keeps the ID of the images it had.
        if (e.patientId.isEmpty())
            ++r.neverAssigned;
        else if (e.status == QLatin1String("0"))
            ++r.setFree;
        // Given to a woman: assigned to her images ("1") or rejected during her examination ("2").
        const bool rejected = e.status == QLatin1String("2") && !e.patientId.isEmpty();
        if ((e.status == QLatin1String("1") && !e.patientId.isEmpty()) || rejected) {
            ViewRejects &v = rejectsOfView[size_t(view)];
            ++v.given;
            if (rejected) {
                ++v.rejected;
                if (dose) {
                    ++v.rejectedWithDose;
                    v.addedDose += *dose;
                }
            }
        }
    }
    ViewRejects allViews;
    allViews.view = QStringLiteral("all");
    for (int v = 0; v < QaViews().size(); ++v) {
        ViewRejects r = rejectsOfView[size_t(v)];
        if (r.given == 0)
            continue;
        r.view = QaViews()[v];
        allViews.given += r.given;
        allViews.rejected += r.rejected;
        allViews.rejectedWithDose += r.rejectedWithDose;
        allViews.addedDose += r.addedDose;
        rejectsByView_.append(r);
    }
    if (allViews.given > 0)
        rejectsByView_.append(allViews);

    for (auto it = byBand.begin(); it != byBand.end(); ++it) {
        Collect &c = it.value();
        BandStatistics b;
        b.view = QaViews()[it.key().first];
        b.band = it.key().second;
        b.count = c.count;
        b.doseCount = int(c.dose.size());
        std::sort(c.dose.begin(), c.dose.end());
        b.doseMedian = Quantile(c.dose, 0.5);
        b.doseP25 = Quantile(c.dose, 0.25);
        b.doseP75 = Quantile(c.dose, 0.75);
        b.doseMean = c.dose.empty() ? NaN : std::accumulate(c.dose.begin(), c.dose.end(), 0.0) / double(c.dose.size());
        b.kvMedian = MedianOf(c.kv);
        b.masMedian = MedianOf(c.mas);
        b.forceMedian = MedianOf(c.force);
        bands_.append(b);
    }
    for (auto it = byDay.begin(); it != byDay.end(); ++it)
        daily_.append({it.key(), int(it.value().size()), MedianOf(it.value())});
    for (auto it = rejectsByDay.begin(); it != rejectsByDay.end(); ++it) {
        DayRejects r = it.value();
        r.day = it.key().first;
        r.view = QaViews()[it.key().second];
        rejects_.append(r);
    }
    for (int v = 0; v < QaViews().size(); ++v) {
        std::vector<double> &force = forceOfView[size_t(v)];
        if (force.empty())
            continue;
        std::sort(force.begin(), force.end());
        force_.append({QaViews()[v], int(force.size()), force.front(), Quantile(force, 0.25), Quantile(force, 0.5),
                       Quantile(force, 0.75), force.back()});
    }
    for (int v = 0; v < QaViews().size(); ++v) {
        const Sums &s = fit[size_t(v)];
        const double denominator = s.n * s.tt - s.t * s.t;
        if (s.n < 3 || std::abs(denominator) < 1e-12)
            continue;
        DoseCurve curve;
        curve.view = QaViews()[v];
        curve.points = s.n;
        curve.b = (s.n * s.ty - s.t * s.y) / denominator;
        curve.a = (s.y - curve.b * s.t) / s.n;
        curves_.append(curve);
    }
    // The residual spread needs the curve first: a second pass.
    std::vector<double> squares(size_t(QaViews().size()), 0.0);
    for (int i : selected_) {
        const JournalExposure &e = rows_[i];
        const std::optional<double> dose = doseOf(e);
        if (!dose || *dose <= 0 || !e.thickness)
            continue;
        for (const DoseCurve &c : curves_)
            if (ViewIndex(c.view) == views[size_t(i)]) {
                const double r = std::log(*dose) - (c.a + c.b * *e.thickness);
                squares[size_t(views[size_t(i)])] += r * r;
            }
    }
    for (DoseCurve &c : curves_)
        c.sigma = std::sqrt(squares[size_t(ViewIndex(c.view))] / std::max(1, c.points - 2));
}

QList<FarExposure> DoseStatistics::farExposures(double sigmas, int maxPoints) const
{
    QList<FarExposure> far;
    for (int i : selected_) {
        const JournalExposure &e = rows_[i];
        const std::optional<double> dose = doseOf(e);
        if (!dose || *dose <= 0 || !e.thickness)
            continue;
        const QString &view = viewOf(i);
        for (const DoseCurve &c : curves_) {
            if (c.view != view || c.sigma <= 0)
                continue;
            const double r = (std::log(*dose) - (c.a + c.b * *e.thickness)) / c.sigma;
            if (std::abs(r) > sigmas)
                far.append({e.id, view, *e.thickness, *dose, r});
        }
    }
    std::sort(far.begin(), far.end(), [](const FarExposure &x, const FarExposure &y) { return std::abs(x.residual) > std::abs(y.residual); });
    if (far.size() > maxPoints)
        far.resize(maxPoints);
    return far;
}

QList<ProposedLevel> DoseStatistics::proposedLevels(int months) const
{
    const QDate last = filter_.to.isValid() ? filter_.to : QDate::currentDate();
    const QDate first = last.addMonths(-months).addDays(1);
    QMap<std::pair<int, int>, std::vector<double>> byBand;
    for (int i = 0; i < rows_.size(); ++i) {
        const JournalExposure &e = rows_[i];
        if (e.day < first || e.day > last || !passesUnit(e))
            continue;
        if ((!filter_.view.isEmpty() && viewOf(i) != filter_.view) || (filter_.band && ThicknessBand(e.thickness) != *filter_.band))
            continue;
        const std::optional<double> dose = doseOf(e);
        if (dose)
            byBand[{views_[size_t(i)], ThicknessBand(e.thickness)}].push_back(*dose);
    }
    QList<ProposedLevel> out;
    for (auto it = byBand.begin(); it != byBand.end(); ++it) {
        std::vector<double> &v = it.value();
        std::sort(v.begin(), v.end());
        out.append({QaViews()[it.key().first], it.key().second, int(v.size()), Quantile(v, 0.75)});
    }
    return out;
}
