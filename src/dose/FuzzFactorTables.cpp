// libFuzzer entry: the factor-table file as "Load factor tables" reads it
// (UTF-8 bytes), through the parser that command uses. What it accepts must
// hold finite values on complete, ordered grids within the plausible ranges,
// and must be accepted again, unchanged, when read back from the stored rows.
#include "dose/FactorTables.h"

#include <QStringList>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

bool ordered(const QList<double> &axis)
{
    for (qsizetype i = 0; i < axis.size(); ++i)
        if (!std::isfinite(axis[i]) || (i > 0 && !(axis[i - 1] < axis[i])))
            return false;
    return true;
}

bool sound(const FactorGrid &g, double low, double high)
{
    if (g.hvls.size() < 2 || g.thicknesses.size() < 2 || g.values.size() != g.hvls.size() * g.thicknesses.size())
        return false;
    if (!ordered(g.hvls) || !ordered(g.thicknesses))
        return false;
    for (double v : g.values)
        if (!std::isfinite(v) || v < low || v > high)
            return false;
    // Inside the grid a value comes out, and it stays within the grid's values.
    const std::optional<double> mid = g.at((g.hvls.first() + g.hvls.last()) / 2, (g.thicknesses.first() + g.thicknesses.last()) / 2);
    return mid && std::isfinite(*mid) && *mid >= low && *mid <= high;
}

// The stored rows as the store reads them back into the parser.
QString asStored(const FactorTables &t)
{
    auto number = [](double v) { return QString::number(v, 'g', 17); };
    QStringList text{QStringLiteral("factor,target_filter,hvl_mm_al,thickness_mm,value")};
    for (const auto &[name, grid] : {std::pair{FactorName::G, &t.g}, std::pair{FactorName::C50to64, &t.c50to64},
                                     std::pair{FactorName::C40to49, &t.c40to49}}) {
        const qsizetype columns = grid->thicknesses.size();
        for (qsizetype i = 0; i < grid->values.size(); ++i)
            text << QStringList{QString::fromLatin1(name), QString(), number(grid->hvls[i / columns]), number(grid->thicknesses[i % columns]),
                                number(grid->values[i])}
                        .join(QLatin1Char(','));
    }
    for (auto it = t.s.cbegin(); it != t.s.cend(); ++it)
        for (qsizetype i = 0; i < it->values.size(); ++i)
            text << QStringList{QString::fromLatin1(FactorName::S), it.key(), QString(),
                                it->thicknesses.isEmpty() ? QString() : number(it->thicknesses[i]), number(it->values[i])}
                        .join(QLatin1Char(','));
    return text.join(QLatin1Char('\n'));
}

bool same(const FactorGrid &a, const FactorGrid &b) { return a.hvls == b.hvls && a.thicknesses == b.thicknesses && a.values == b.values; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const FactorTablesLoad load = ParseFactorTables(QString::fromUtf8(bytes));
    if (!load.ok()) {
        if (load.text.isEmpty() || !load.tables.isEmpty())
            __builtin_trap(); // a refusal says why and hands back nothing
        return 0;
    }
    const FactorTables &t = load.tables;
    if (!sound(t.g, 0.01, 2.0) || !sound(t.c50to64, 0.3, 2.0) || !sound(t.c40to49, 0.3, 2.0) || t.s.isEmpty())
        __builtin_trap();
    for (const SpectrumFactor &f : t.s) {
        if (f.values.isEmpty() || (!f.thicknesses.isEmpty() && (f.thicknesses.size() != f.values.size() || f.values.size() < 2)))
            __builtin_trap();
        if (!ordered(f.thicknesses))
            __builtin_trap();
        for (double v : f.values)
            if (!std::isfinite(v) || v < 0.5 || v > 2.0)
                __builtin_trap();
        const std::optional<double> v = f.at(f.thicknesses.isEmpty() ? 50.0 : f.thicknesses.first());
        if (!v || !std::isfinite(*v))
            __builtin_trap();
    }
    const FactorTablesLoad again = ParseFactorTables(asStored(t));
    if (!again.ok() || !same(again.tables.g, t.g) || !same(again.tables.c50to64, t.c50to64) || !same(again.tables.c40to49, t.c40to49)
        || again.tables.s.keys() != t.s.keys())
        __builtin_trap();
    for (auto it = t.s.cbegin(); it != t.s.cend(); ++it)
        if (again.tables.s.value(it.key()).values != it->values || again.tables.s.value(it.key()).thicknesses != it->thicknesses)
            __builtin_trap();
    return 0;
}
