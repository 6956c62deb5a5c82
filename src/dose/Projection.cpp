#include "dose/Projection.h"

#include <QRegularExpression>

ExposureProjection ProjectionOfExposure(const QString &sonstiges)
{
    // Some units put further message fields after the projection; only the
    // leading side and view count.
    static const QRegularExpression pattern(QStringLiteral("^\\s*([RL])\\s*-?\\s*(CC|MLO)\\b"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = pattern.match(sonstiges);
    if (!m.hasMatch())
        return {QString(), QStringLiteral("other")};
    return {m.captured(1).toUpper(), m.captured(2).toUpper()};
}
