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

namespace {

// The element symbols a unit writes for its anode and filter, in the form the
// calibration and the header's defined terms use.
QString elementSymbol(const QString &text)
{
    static const QStringList symbols{QStringLiteral("Mo"), QStringLiteral("Rh"), QStringLiteral("W"), QStringLiteral("Ag"),
                                     QStringLiteral("Al")};
    for (const QString &s : symbols)
        if (text.trimmed().compare(s, Qt::CaseInsensitive) == 0)
            return s;
    return {};
}

} // namespace

ReportedTargetFilter TargetFilterOfExposure(qint16 unitType, const QString &sonstiges)
{
    ReportedTargetFilter out;
    if (unitType != 1)
        return out;
    const QStringList fields = sonstiges.split(QLatin1Char(','));
    QString target = fields.value(0).trimmed(), filter = fields.value(1).trimmed();
    // The pair written as one token ("W/Rh").
    if (target.contains(QLatin1Char('/'))) {
        filter = target.section(QLatin1Char('/'), 1);
        target = target.section(QLatin1Char('/'), 0, 0);
    }
    if (target.isEmpty() && filter.isEmpty())
        return out;
    out.sent = true;
    out.text = target + QLatin1Char('/') + filter;
    const QString t = elementSymbol(target), f = elementSymbol(filter);
    if (!t.isEmpty() && !f.isEmpty())
        out.targetFilter = t + QLatin1Char('/') + f;
    return out;
}
