#pragma once

#include "store/Database.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// Reference levels per view ("CC", "MLO", "other") and compressed-thickness
// band [from, to) in mm, for the AGD or the entrance dose, in mGy.
namespace ReferenceQuantity {
inline const char *const Agd = "AGD";
inline const char *const EntranceDose = "entrance dose";
} // namespace ReferenceQuantity

struct ReferenceLevel {
    QString view;
    double fromMm = 0;
    double toMm = 0;
    QString quantity;
    double level = 0;
};

// A named set of levels with its source (the publication, or "local").
// One set is active: the one the exposures are checked against.
struct ReferenceSet {
    qlonglong id = 0;
    QString name;
    QString source;
    bool active = false;
    QList<ReferenceLevel> levels;
};

QStringList ValidateReferenceSet(const ReferenceSet &set);

struct ReferenceMatch {
    double level = 0;
    QString quantity;
    QString setName;
    QString band; // "CC 40-50 mm"
    bool forAgd() const { return quantity == QLatin1String(ReferenceQuantity::Agd); }
};

// The set's level for a view and thickness; the AGD level before the
// entrance-dose one when both are there.
std::optional<ReferenceMatch> LevelIn(const ReferenceSet &set, const QString &view, double thicknessMm, const QString &quantity);

// An exposure over its level: the match and the exposure's value.
struct ReferenceExceeded {
    ReferenceMatch match;
    double value = 0;
    QString text() const; // "AGD 2.40 mGy above 2.00 mGy (CC 40-50 mm, set \"…\")"
};
std::optional<ReferenceExceeded> CheckAgainst(const ReferenceSet &set, const QString &view, std::optional<double> thicknessMm,
                                              std::optional<double> agd, std::optional<double> entranceDose);

// The definitions database's sets. Writing an active set makes it the only active one.
struct ReferenceSetsRead : Result {
    QList<ReferenceSet> sets;
};
ReferenceSetsRead ReadReferenceSets(Database &db);
std::optional<ReferenceSet> ActiveReferenceSet(Database &db, Result *failure = nullptr);
Result WriteReferenceSet(Database &db, ReferenceSet &set);

// The definitions database's active set, read now; a failed read is logged at where.
std::optional<ReferenceSet> ReadActiveReferenceSet(const QString &where);

// The level for a view ("CC", "MLO", "other") and compressed thickness in mm;
// empty where the set has none.
using ReferenceLookup = std::function<std::optional<ReferenceMatch>(const QString &view, double thicknessMm)>;
// The active set, read now, as a lookup: its AGD level before its entrance-dose
// one. Empty without an active set; a failed read is logged at where.
ReferenceLookup ActiveReferenceLookup(const QString &where);

// For the QA view: the active set's level for a view and thickness.
std::optional<ReferenceMatch> ReferenceLevelFor(Database &definitions, const QString &view, double thicknessMm,
                                                const QString &quantity = QString::fromLatin1(ReferenceQuantity::Agd));
