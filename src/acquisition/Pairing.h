#pragma once

#include "store/Session.h"
#include "toolkit/Toolkit.h"

#include <QList>
#include <QString>

// One loaded image and the listed exposure it is to be stamped with.
struct ImagePair {
    ToolkitImagePtr image;
    QString imageUid;
    // The projection key the image was paired by: its own, or the previous
    // image's when its attributes name none.
    QString key;
    ChosenExposure exposure;
    // False when no listed exposure has the key: the last one listed stands,
    // as a walk down the list leaves it.
    bool matched = false;
};

struct Pairing {
    enum class Stop {
        None,
        NotAllImages,     // images and listed exposures differ in number: nothing is paired
        ProjectionNotSet, // unit type 2: an exposure on the way to the match has no projection
    };
    // In the order of the images, up to the image where pairing stopped.
    QList<ImagePair> pairs;
    Stop stop = Stop::None;
    // What the operator is told when pairing stopped; empty otherwise.
    QString message;
    bool complete() const { return stop == Stop::None; }
};

// Pairs each loaded image with the listed exposure of its projection, read
// as the unit type journals it (ImageProjectionKey, ExposureMatchesKey): the
// first listed exposure that matches, else the last one listed. An image
// without an instance UID is left out. Looking up an MLO key writes the
// detector angle into the image, as ImageProjectionKey does.
Pairing PairImages(const QList<ToolkitImagePtr> &images, const QList<ChosenExposure> &exposures, qint16 unitType);
