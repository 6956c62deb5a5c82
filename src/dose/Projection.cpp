#include "dose/Projection.h"

#include <QRegularExpression>

ExposureProjection ProjectionOfExposure(const QString &sonstiges)
{
    ExposureProjection p{QString(), QStringLiteral("other")};
    // "R CC" as most units have it; "LCC,AEC,…" or "L-MLO45" where a unit's
    // message fields follow or its own names are kept: the first field counts.
    static const QRegularExpression form(QStringLiteral("^([LR])[ -]?(CC|MLO|LMO)(45)?$"));
    static const QRegularExpression sideOnly(QStringLiteral("^([LR]) \\S+$"));
    const QString first = sonstiges.section(QLatin1Char(','), 0, 0).simplified().toUpper();
    if (const QRegularExpressionMatch m = form.match(first); m.hasMatch()) {
        p.laterality = m.captured(1);
        p.view = m.captured(2) == QLatin1String("CC") ? QStringLiteral("CC") : QStringLiteral("MLO");
    } else if (const QRegularExpressionMatch s = sideOnly.match(first); s.hasMatch() && !sonstiges.contains(QLatin1Char(','))) {
        p.laterality = s.captured(1);
    }
    return p;
}
