#pragma once

#include <QString>

// The side and view of an exposure as the journal's Sonstiges holds them
// ("R CC", "L MLO"). Units that put other message fields there give "other".
struct ExposureProjection {
    QString laterality; // "R", "L" or empty
    QString view;       // "CC", "MLO" or "other"
};

ExposureProjection ProjectionOfExposure(const QString &sonstiges);
