#include "dose/ReferenceLevels.h"

#include "store/DatabasePaths.h"

#include <QSqlRecord>
#include <cmath>

namespace {

QString bandText(const ReferenceLevel &l) { return QStringLiteral("%1 %2-%3 mm").arg(l.view).arg(l.fromMm).arg(l.toMm); }

} // namespace

QStringList ValidateReferenceSet(const ReferenceSet &set)
{
    QStringList problems;
    if (set.name.trimmed().isEmpty())
        problems << QStringLiteral("The set needs a name.");
    if (set.source.trimmed().isEmpty())
        problems << QStringLiteral("The set needs its source: the publication with its reference, or \"local\".");
    if (set.levels.isEmpty())
        problems << QStringLiteral("The set has no levels.");
    const QStringList views{QStringLiteral("CC"), QStringLiteral("MLO"), QStringLiteral("other")};
    const QStringList quantities{QString::fromLatin1(ReferenceQuantity::Agd), QString::fromLatin1(ReferenceQuantity::EntranceDose)};
    for (qsizetype i = 0; i < set.levels.size(); ++i) {
        const ReferenceLevel &l = set.levels[i];
        // NaN passes every comparison below.
        if (!std::isfinite(l.fromMm) || !std::isfinite(l.toMm) || !std::isfinite(l.level)) {
            problems << QStringLiteral("Row %1: a thickness or the level is not a finite number.").arg(i + 1);
            continue;
        }
        if (!views.contains(l.view))
            problems << QStringLiteral("Row %1: the view is CC, MLO or other, not \"%2\".").arg(i + 1).arg(l.view);
        if (!quantities.contains(l.quantity))
            problems << QStringLiteral("Row %1: the level is for AGD or entrance dose, not \"%2\".").arg(i + 1).arg(l.quantity);
        if (l.fromMm < 0 || l.toMm <= l.fromMm || l.toMm > 200)
            problems << QStringLiteral("Row %1: the band %2 to %3 mm is empty or beyond 200 mm.").arg(i + 1).arg(l.fromMm).arg(l.toMm);
        if (l.level <= 0 || l.level > 100)
            problems << QStringLiteral("Row %1: the level %2 mGy is outside 0 to 100 mGy.").arg(i + 1).arg(l.level);
        for (qsizetype j = 0; j < i; ++j) {
            const ReferenceLevel &o = set.levels[j];
            if (o.view == l.view && o.quantity == l.quantity && l.fromMm < o.toMm && o.fromMm < l.toMm)
                problems << QStringLiteral("Row %1 overlaps row %2 (%3).").arg(i + 1).arg(j + 1).arg(bandText(l));
        }
    }
    return problems;
}

std::optional<ReferenceMatch> LevelIn(const ReferenceSet &set, const QString &view, double thicknessMm, const QString &quantity)
{
    for (const ReferenceLevel &l : set.levels)
        if (l.view == view && l.quantity == quantity && l.fromMm <= thicknessMm && thicknessMm < l.toMm)
            return ReferenceMatch{l.level, l.quantity, set.name, bandText(l)};
    return std::nullopt;
}

QString ReferenceExceeded::text() const
{
    return QStringLiteral("%1 %2 mGy above %3 mGy (%4, set \"%5\")")
        .arg(match.quantity)
        .arg(value, 0, 'f', 2)
        .arg(match.level, 0, 'f', 2)
        .arg(match.band, match.setName);
}

std::optional<ReferenceExceeded> CheckAgainst(const ReferenceSet &set, const QString &view, std::optional<double> thicknessMm,
                                              std::optional<double> agd, std::optional<double> entranceDose)
{
    if (!thicknessMm)
        return std::nullopt;
    // The AGD where there is one and the set has a level for it; else the entrance dose.
    for (const auto &[quantity, value] : {std::pair{ReferenceQuantity::Agd, agd}, std::pair{ReferenceQuantity::EntranceDose, entranceDose}}) {
        if (!value)
            continue;
        const auto match = LevelIn(set, view, *thicknessMm, QString::fromLatin1(quantity));
        if (!match)
            continue;
        if (*value > match->level)
            return ReferenceExceeded{*match, *value};
        return std::nullopt;
    }
    return std::nullopt;
}

ReferenceSetsRead ReadReferenceSets(Database &db)
{
    ReferenceSetsRead out;
    const DbResult sets = Execute(db, QStringLiteral("SELECT ID, Name, Source, Active FROM tblReferenceSet ORDER BY Name"));
    const DbResult levels = Execute(db, QStringLiteral("SELECT SetID, View, FromThickness, ToThickness, Quantity, Level FROM tblReferenceLevel "
                                                       "ORDER BY SetID, rowid"));
    for (const DbResult *q : {&sets, &levels})
        if (!q->ok()) {
            static_cast<Result &>(out) = *q;
            return out;
        }
    for (const QSqlRecord &r : sets.rows) {
        ReferenceSet s{r.value(0).toLongLong(), r.value(1).toString(), r.value(2).toString(), r.value(3).toInt() != 0, {}};
        for (const QSqlRecord &l : levels.rows)
            if (l.value(0).toLongLong() == s.id)
                s.levels.append({l.value(1).toString(), l.value(2).toDouble(), l.value(3).toDouble(), l.value(4).toString(), l.value(5).toDouble()});
        out.sets.append(s);
    }
    return out;
}

std::optional<ReferenceSet> ActiveReferenceSet(Database &db, Result *failure)
{
    const ReferenceSetsRead read = ReadReferenceSets(db);
    if (failure)
        *failure = read;
    for (const ReferenceSet &s : read.sets)
        if (s.active)
            return s;
    return std::nullopt;
}

Result WriteReferenceSet(Database &db, ReferenceSet &set)
{
    if (const QStringList problems = ValidateReferenceSet(set); !problems.isEmpty())
        return Result::failure(ErrorCode::InvalidProperty, problems.join(QLatin1Char('\n')));
    if (DbResult r = Execute(db, QStringLiteral("BEGIN IMMEDIATE")); !r.ok())
        return r;
    auto run = [&]() -> Result {
        if (set.active)
            if (DbResult r = Execute(db, QStringLiteral("UPDATE tblReferenceSet SET Active = 0")); !r.ok())
                return r;
        if (set.id == 0) {
            const DbResult ins = Execute(db, QStringLiteral("INSERT INTO tblReferenceSet (Name, Source, Active) VALUES (?, ?, ?)"),
                                         {set.name.trimmed(), set.source.trimmed(), set.active ? 1 : 0});
            if (!ins.ok())
                return ins;
            set.id = ins.lastInsertId.toLongLong();
        } else {
            const DbResult up = Execute(db, QStringLiteral("UPDATE tblReferenceSet SET Name = ?, Source = ?, Active = ? WHERE ID = ?"),
                                        {set.name.trimmed(), set.source.trimmed(), set.active ? 1 : 0, set.id});
            if (!up.ok())
                return up;
            if (DbResult d = Execute(db, QStringLiteral("DELETE FROM tblReferenceLevel WHERE SetID = ?"), {set.id}); !d.ok())
                return d;
        }
        for (const ReferenceLevel &l : set.levels)
            if (DbResult q = Execute(db, QStringLiteral("INSERT INTO tblReferenceLevel (SetID, View, FromThickness, ToThickness, Quantity, Level) "
                                                        "VALUES (?, ?, ?, ?, ?, ?)"),
                                     {set.id, l.view, l.fromMm, l.toMm, l.quantity, l.level});
                !q.ok())
                return q;
        return Execute(db, QStringLiteral("COMMIT"));
    };
    const qlonglong before = set.id;
    const Result r = run();
    if (!r.ok()) {
        Execute(db, QStringLiteral("ROLLBACK"));
        set.id = before; // a row rolled back has no number
    }
    return r;
}

std::optional<ReferenceMatch> ReferenceLevelFor(Database &definitions, const QString &view, double thicknessMm, const QString &quantity)
{
    const auto set = ActiveReferenceSet(definitions);
    return set ? LevelIn(*set, view, thicknessMm, quantity) : std::nullopt;
}

std::optional<ReferenceSet> ReadActiveReferenceSet(const QString &where)
{
    DatabaseSession defs(DefinitionsDatabase);
    Result failure = defs.error();
    std::optional<ReferenceSet> set;
    if (defs.ok())
        set = ActiveReferenceSet(DefinitionsDatabase, &failure);
    if (!failure.ok())
        LogFailure(failure, where);
    return set;
}

ReferenceLookup ActiveReferenceLookup(const QString &where)
{
    const std::optional<ReferenceSet> set = ReadActiveReferenceSet(where);
    if (!set)
        return {};
    // A copy: the QA view reads off the window's thread.
    return [set = *set](const QString &view, double thicknessMm) {
        if (auto agd = LevelIn(set, view, thicknessMm, QString::fromLatin1(ReferenceQuantity::Agd)))
            return agd;
        return LevelIn(set, view, thicknessMm, QString::fromLatin1(ReferenceQuantity::EntranceDose));
    };
}
