#include "dose/Projection.h"

#include <QRegularExpression>

ExposureProjection ProjectionOfText(const QString &projection)
{
    ExposureProjection p{QString(), QStringLiteral("other")};
    static const QRegularExpression form(QStringLiteral("^([LR])[ -]?(CC|MLO|LMO)(45)?$"));
    static const QRegularExpression sideOnly(QStringLiteral("^([LR]) \\S+$"));
    const QString text = projection.simplified().toUpper();
    if (const QRegularExpressionMatch m = form.match(text); m.hasMatch()) {
        p.laterality = m.captured(1);
        p.view = m.captured(2) == QLatin1String("CC") ? QStringLiteral("CC") : QStringLiteral("MLO");
    } else if (const QRegularExpressionMatch s = sideOnly.match(text); s.hasMatch()) {
        p.laterality = s.captured(1);
    }
    return p;
}

ExposureProjection ProjectionOfExposure(qint16 unitType, const QString &sonstiges)
{
    if (unitType == 1)
        return ProjectionOfText(sonstiges.split(QLatin1Char(',')).value(3));
    // Unit 2's caption is compared as written when pairing: a padded one is no projection.
    if (unitType == 2 && sonstiges != sonstiges.trimmed())
        return {QString(), QStringLiteral("other")};
    if (sonstiges.contains(QLatin1Char(',')))
        return {QString(), QStringLiteral("other")};
    return ProjectionOfText(sonstiges);
}
