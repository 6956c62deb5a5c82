#pragma once

#include "core/WorkstationState.h"
#include "toolkit/Toolkit.h"

#include <functional>

// The side ("L" or "R") last found on an image; an image whose side cannot be
// found takes it over. Empty at start.
extern QString RememberedSide;

// Asks the operator which side an image shows ("L", "R", or "" when no side
// button was pressed).
using SideQuestion = std::function<QString(const ToolkitImagePtr &image)>;

// Writes the projection and the fixed attributes of a mammogram for
// presentation into the image in memory; false (after logging "ModifyImage")
// when the toolkit refused a write.
bool ModifyImage(const ToolkitImagePtr &image, const SideQuestion &askSide);

// The projection an image shows, in the form the exposures of the unit type
// carry it (unit 1 "L-CC"/"L-MLO45", unit 2 "L-CC"/"L-LMO45", units 3 to 5
// "L CC"/"L MLO"); empty when the image's attributes name none. For the MLO
// keys of units 1 and 3 to 5 the detector angle is written as "45".
QString ImageProjectionKey(qint16 unitType, const ToolkitImagePtr &image);

// Whether an exposure's projection text (what the "Other" column shows) is the key.
bool ExposureMatchesKey(qint16 unitType, const QString &exposureProjection, const QString &key);

// The exposure values in the units of their attributes, as DICOM text: KVP in
// kV, Exposure in mAs, Exposure Time in ms, Body Part Thickness in mm,
// Compression Force in N, Entrance Dose in mGy. The journal keeps what each
// unit type sent; here a unit text after the number ("1.61mGy", "4.5 CM") is
// read and converted, and so are the units each type sends without one
// (type 1's exposure time in s and compression in kg x 10, type 3's thickness
// in cm). A value not reported, or reported as 0, stays empty: it is no
// measurement, and the detector's own value stays in the image.
struct HeaderExposureValues {
    QString kvp, exposureTime, mas, thickness, compression, dose;
    QString microAs; // the exposure in microampere-seconds, which keeps the fraction of a mAs
    QStringList notNumbers; // names of the attributes whose text is no number
};
HeaderExposureValues ExposureValuesForHeader(qint16 unitType, const ExposureValues &values, const QString &exposureTime);

// Writes the values that are not empty into the image (and the exposure in
// microampere-seconds beside the one in mAs); false when the toolkit refused one.
bool WriteExposureValues(const ToolkitImagePtr &image, const HeaderExposureValues &values, ToolkitError *error = nullptr);

// A decimal string as DICOM writes it ("1,25" → "1.25"); empty when the text is no number.
QString DecimalString(const QString &text);
// A whole number as DICOM writes it ("63,4" → "63"); empty when the text is no number.
QString IntegerString(const QString &text);
