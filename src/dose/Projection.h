#pragma once

#include <QString>

// The view and side of an exposure as the unit's message names it in the
// journal's Sonstiges ("R CC", "L MLO"). view is "CC", "MLO" or "other";
// laterality "R", "L" or empty.
struct ExposureProjection {
    QString laterality;
    QString view;
};

ExposureProjection ProjectionOfExposure(const QString &sonstiges);
