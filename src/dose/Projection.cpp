#include "dose/Projection.h"

#include <QStringList>

ExposureProjection ProjectionOfExposure(const QString &sonstiges)
{
    ExposureProjection p{QString(), QStringLiteral("other")};
    const QStringList words = sonstiges.simplified().toUpper().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    // Exactly a side and a view; anything longer is some unit's own text.
    if (words.size() != 2 || (words[0] != QLatin1String("R") && words[0] != QLatin1String("L")))
        return p;
    p.laterality = words[0];
    if (words[1] == QLatin1String("CC") || words[1] == QLatin1String("MLO"))
        p.view = words[1];
    return p;
}
