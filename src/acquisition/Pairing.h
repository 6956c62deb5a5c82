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
        AnotherPatient,   // a listed exposure is journaled for another patient than the images': nothing is paired
    };
    // In the order of the images, up to the image where pairing stopped.
    QList<ImagePair> pairs;
    Stop stop = Stop::None;
    // What the operator is told when pairing stopped; empty otherwise.
    QString message;
    bool complete() const { return stop == Stop::None; }
};

// Whether an exposure's journal row names another patient than the image's
// header; the message naming both, empty when it is the same patient or the
// row names nobody (an exposure taken without a worklist patient).
// The journal knows a patient by the worklist's name the exposure was taken
// under (spoken, "Ann Alpha", with "´" for an apostrophe) and by the ID of
// the images it was assigned to before it was set free; it keeps no birth
// date (the worklist's is the session's, and the image's has the last word
// on her age). So another patient is:
// - an ID in the row that is not the image's Patient ID (0010,0020);
// - a name in the row whose words (its runs of letters and digits, case
//   folded, in any order) are not those of the image's Patient's Name
//   (0010,0010), "Ann Alpha" being "Alpha^Ann".
// What the image does not give is not compared.
QString AnotherPatientsExposure(const ToolkitImagePtr &image, const ChosenExposure &exposure);

// Pairs each loaded image with the listed exposure of its projection, read
// as the unit type journals it (ImageProjectionKey, ExposureMatchesKey): the
// first listed exposure that matches, else the last one listed. An image
// without an instance UID is left out. Looking up an MLO key writes the
// detector angle into the image, as ImageProjectionKey does. Nothing is
// paired when any listed exposure is another patient's than an image's
// (AnotherPatientsExposure): the merge would stamp it and assign it to her.
Pairing PairImages(const QList<ToolkitImagePtr> &images, const QList<ChosenExposure> &exposures, qint16 unitType);
