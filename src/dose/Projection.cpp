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

ExposureProjection ProjectionOfExposure(qint16, const QString &sonstiges)
{
    // Old reading, kept for the first step: the first field counts.
    const QString first = sonstiges.section(QLatin1Char(','), 0, 0);
    if (first.contains(QLatin1Char(' ')) && !ProjectionOfText(first).laterality.isEmpty() && ProjectionOfText(first).view == QLatin1String("other")
        && sonstiges.contains(QLatin1Char(',')))
        return {QString(), QStringLiteral("other")};
    return ProjectionOfText(first);
}
