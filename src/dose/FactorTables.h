#pragma once

#include "toolkit/Result.h"

#include <QList>
#include <QMap>
#include <QString>
#include <optional>

// A factor over HVL (mm Al) and compressed thickness (mm): values on a full
// grid, row by row (one row per HVL, one column per thickness).
struct FactorGrid {
    QList<double> hvls;
    QList<double> thicknesses;
    QList<double> values;

    bool isEmpty() const { return values.isEmpty(); }
    // Bilinear within the grid; none outside it.
    std::optional<double> at(double hvl, double thicknessMm) const;
};

// The spectrum factor of one target/filter: one value, or one per thickness
// where the source tabulates it so.
struct SpectrumFactor {
    QList<double> thicknesses; // empty: the single value holds for every thickness
    QList<double> values;

    // Linear in thickness within the tabulated range; none outside it.
    std::optional<double> at(double thicknessMm) const;
};

// The glandular-dose factors the physicist loaded: g, c for the two age
// groups' glandularity, and s per target/filter.
struct FactorTables {
    FactorGrid g;
    FactorGrid c50to64;
    FactorGrid c40to49;
    QMap<QString, SpectrumFactor> s;

    bool isEmpty() const { return g.isEmpty(); }
};

// The factor names in the file's first column.
namespace FactorName {
inline const char *const G = "g";
inline const char *const C50to64 = "c50-64";
inline const char *const C40to49 = "c40-49";
inline const char *const S = "s";
} // namespace FactorName

struct FactorTablesLoad : Result {
    FactorTables tables;
};

// Where the package installs the factor file's format (docs/factor-tables.md).
inline constexpr const char *FactorTableFormatDocument = "/usr/share/doc/lumora-station/factor-tables.md";

// Reads the factor file (docs/factor-tables.md gives its format) and validates it: every
// factor present, each grid complete with no point twice, values positive and
// within plausible ranges. The failure names the line and what is wrong.
FactorTablesLoad ParseFactorTables(const QString &text);
