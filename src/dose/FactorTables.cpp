#include "dose/FactorTables.h"

#include "dose/DoseCalibration.h"

#include <QHash>
#include <QStringList>
#include <algorithm>
#include <cmath>

namespace {

// Index i with axis[i] <= x <= axis[i+1] and the fraction of the way; none outside.
std::optional<std::pair<qsizetype, double>> bracket(const QList<double> &axis, double x)
{
    if (axis.isEmpty() || x < axis.first() || x > axis.last())
        return std::nullopt;
    if (axis.size() == 1)
        return std::pair<qsizetype, double>{0, 0.0};
    for (qsizetype i = 0; i + 1 < axis.size(); ++i)
        if (x <= axis[i + 1])
            return std::pair<qsizetype, double>{i, (x - axis[i]) / (axis[i + 1] - axis[i])};
    return std::nullopt;
}

struct Range {
    double low, high;
};
// Bounds that catch a misplaced decimal point or column, not the physics.
const Range kHvl{0.1, 2.0};
const Range kThickness{10, 150};
const QHash<QString, Range> kValues = {
    {QString::fromLatin1(FactorName::G), {0.01, 2.0}},
    {QString::fromLatin1(FactorName::C50to64), {0.3, 2.0}},
    {QString::fromLatin1(FactorName::C40to49), {0.3, 2.0}},
    {QString::fromLatin1(FactorName::S), {0.5, 2.0}},
};

struct Row {
    int line;
    QString targetFilter;
    std::optional<double> hvl, thickness;
    double value;
};

Result lineError(int line, const QString &text)
{
    return Result::failure(ErrorCode::InvalidProperty, QStringLiteral("Line %1: %2").arg(line).arg(text));
}

Result buildGrid(const QString &name, const QList<Row> &rows, FactorGrid &grid)
{
    if (rows.isEmpty())
        return Result::failure(ErrorCode::InvalidProperty, QStringLiteral("The factor \"%1\" is missing.").arg(name));
    for (const Row &r : rows) {
        if (!r.hvl || !r.thickness)
            return lineError(r.line, QStringLiteral("\"%1\" needs an HVL and a thickness.").arg(name));
        if (!r.targetFilter.isEmpty())
            return lineError(r.line, QStringLiteral("\"%1\" takes no target/filter.").arg(name));
        if (!grid.hvls.contains(*r.hvl))
            grid.hvls.append(*r.hvl);
        if (!grid.thicknesses.contains(*r.thickness))
            grid.thicknesses.append(*r.thickness);
    }
    std::sort(grid.hvls.begin(), grid.hvls.end());
    std::sort(grid.thicknesses.begin(), grid.thicknesses.end());
    const qsizetype columns = grid.thicknesses.size();
    grid.values = QList<double>(grid.hvls.size() * columns, 0.0);
    QList<int> lineOf(grid.values.size(), 0);
    for (const Row &r : rows) {
        const qsizetype i = grid.hvls.indexOf(*r.hvl) * columns + grid.thicknesses.indexOf(*r.thickness);
        if (lineOf[i] != 0)
            return lineError(r.line, QStringLiteral("\"%1\" at HVL %2 and %3 mm is given twice (line %4).")
                                         .arg(name).arg(*r.hvl).arg(*r.thickness).arg(lineOf[i]));
        lineOf[i] = r.line;
        grid.values[i] = r.value;
    }
    for (qsizetype i = 0; i < lineOf.size(); ++i)
        if (lineOf[i] == 0)
            return Result::failure(ErrorCode::InvalidProperty,
                                   QStringLiteral("The grid of \"%1\" is incomplete: no value at HVL %2 and %3 mm.")
                                       .arg(name).arg(grid.hvls[i / columns]).arg(grid.thicknesses[i % columns]));
    if (grid.hvls.size() < 2 || grid.thicknesses.size() < 2)
        return Result::failure(ErrorCode::InvalidProperty, QStringLiteral("The grid of \"%1\" needs at least two HVLs and two thicknesses.").arg(name));
    return {};
}

} // namespace

std::optional<double> FactorGrid::at(double hvl, double thicknessMm) const
{
    const auto h = bracket(hvls, hvl);
    const auto t = bracket(thicknesses, thicknessMm);
    if (!h || !t)
        return std::nullopt;
    const qsizetype columns = thicknesses.size();
    auto value = [&](qsizetype i, qsizetype j) {
        i = std::min(i, hvls.size() - 1);
        j = std::min(j, columns - 1);
        return values[i * columns + j];
    };
    const auto [i, fh] = *h;
    const auto [j, ft] = *t;
    const double low = value(i, j) + ft * (value(i, j + 1) - value(i, j));
    const double high = value(i + 1, j) + ft * (value(i + 1, j + 1) - value(i + 1, j));
    return low + fh * (high - low);
}

std::optional<double> SpectrumFactor::at(double thicknessMm) const
{
    if (values.isEmpty())
        return std::nullopt;
    if (thicknesses.isEmpty())
        return values.first();
    const auto t = bracket(thicknesses, thicknessMm);
    if (!t)
        return std::nullopt;
    const auto [j, f] = *t;
    const qsizetype next = std::min(j + 1, values.size() - 1);
    return values[j] + f * (values[next] - values[j]);
}

FactorTablesLoad ParseFactorTables(const QString &text)
{
    FactorTablesLoad out;
    auto fail = [&out](const Result &r) {
        out.number = r.number;
        out.text = r.text;
        out.tables = {};
        return out;
    };
    static const QStringList header = {QStringLiteral("factor"), QStringLiteral("target_filter"), QStringLiteral("hvl_mm_al"),
                                       QStringLiteral("thickness_mm"), QStringLiteral("value")};
    QHash<QString, QList<Row>> byName;
    bool headerSeen = false;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int n = 0; n < lines.size(); ++n) {
        const QString line = lines[n].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList fields = line.split(QLatin1Char(','));
        for (QString &f : fields)
            f = f.trimmed();
        if (!headerSeen) {
            if (fields != header)
                return fail(lineError(n + 1, QStringLiteral("the first line must be \"%1\".").arg(header.join(QLatin1Char(',')))));
            headerSeen = true;
            continue;
        }
        if (fields.size() != header.size())
            return fail(lineError(n + 1, QStringLiteral("%1 fields, not 5.").arg(fields.size())));
        Row r{n + 1, fields[1], std::nullopt, std::nullopt, 0};
        auto number = [&](const QString &field, const char *what, std::optional<double> &into) -> Result {
            if (field.isEmpty())
                return {};
            bool ok = false;
            const double v = field.toDouble(&ok); // C locale: a decimal point, never a comma
            // toDouble takes "nan" and "inf"; a NaN would pass every range check.
            if (!ok || !std::isfinite(v))
                return lineError(n + 1, QStringLiteral("%1 \"%2\" is no finite number.").arg(QLatin1String(what), field));
            into = v;
            return {};
        };
        std::optional<double> value;
        for (const Result &e : {number(fields[2], "HVL", r.hvl), number(fields[3], "thickness", r.thickness), number(fields[4], "value", value)})
            if (!e.ok())
                return fail(e);
        const QString name = fields[0];
        if (!kValues.contains(name))
            return fail(lineError(n + 1, QStringLiteral("unknown factor \"%1\" (g, c50-64, c40-49 or s).").arg(name)));
        if (!value)
            return fail(lineError(n + 1, QStringLiteral("the value is missing.")));
        const Range range = kValues.value(name);
        if (*value <= 0 || *value < range.low || *value > range.high)
            return fail(lineError(n + 1, QStringLiteral("%1 = %2 is outside %3 to %4.").arg(name).arg(*value).arg(range.low).arg(range.high)));
        if (r.hvl && (*r.hvl < kHvl.low || *r.hvl > kHvl.high))
            return fail(lineError(n + 1, QStringLiteral("HVL %1 mm Al is outside %2 to %3.").arg(*r.hvl).arg(kHvl.low).arg(kHvl.high)));
        if (r.thickness && (*r.thickness < kThickness.low || *r.thickness > kThickness.high))
            return fail(lineError(n + 1, QStringLiteral("thickness %1 mm is outside %2 to %3.").arg(*r.thickness).arg(kThickness.low).arg(kThickness.high)));
        r.value = *value;
        byName[name].append(r);
    }
    if (!headerSeen)
        return fail(Result::failure(ErrorCode::InvalidProperty, QStringLiteral("The file holds no factors.")));

    FactorTables t;
    for (const auto &[name, grid] : {std::pair{FactorName::G, &t.g}, std::pair{FactorName::C50to64, &t.c50to64},
                                     std::pair{FactorName::C40to49, &t.c40to49}})
        if (const Result r = buildGrid(QString::fromLatin1(name), byName.value(QString::fromLatin1(name)), *grid); !r.ok())
            return fail(r);

    const QList<Row> sRows = byName.value(QString::fromLatin1(FactorName::S));
    if (sRows.isEmpty())
        return fail(Result::failure(ErrorCode::InvalidProperty, QStringLiteral("The factor \"s\" is missing.")));
    const QStringList known = KnownTargetFilters();
    QHash<QString, QList<Row>> sBy;
    for (const Row &r : sRows) {
        if (!known.contains(r.targetFilter))
            return fail(lineError(r.line, QStringLiteral("\"s\" needs a known target/filter, not \"%1\".").arg(r.targetFilter)));
        if (r.hvl)
            return fail(lineError(r.line, QStringLiteral("\"s\" takes no HVL.")));
        sBy[r.targetFilter].append(r);
    }
    for (auto it = sBy.begin(); it != sBy.end(); ++it) {
        QList<Row> rows = it.value();
        SpectrumFactor f;
        const bool single = rows.size() == 1 && !rows.first().thickness;
        if (!single) {
            std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.thickness.value_or(-1) < b.thickness.value_or(-1); });
            for (qsizetype i = 0; i < rows.size(); ++i) {
                if (!rows[i].thickness)
                    return fail(lineError(rows[i].line, QStringLiteral("\"s\" for %1 is given both with and without thickness.").arg(it.key())));
                if (i > 0 && *rows[i].thickness == *rows[i - 1].thickness)
                    return fail(lineError(rows[i].line, QStringLiteral("\"s\" for %1 at %2 mm is given twice.").arg(it.key()).arg(*rows[i].thickness)));
                f.thicknesses.append(*rows[i].thickness);
            }
            if (rows.size() < 2)
                return fail(lineError(rows.first().line, QStringLiteral("\"s\" for %1 by thickness needs two thicknesses at least.").arg(it.key())));
        }
        for (const Row &r : rows)
            f.values.append(r.value);
        t.s.insert(it.key(), f);
    }
    out.tables = t;
    return out;
}
