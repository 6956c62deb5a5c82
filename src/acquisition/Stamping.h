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

// Writes the exposure values into the image: kVp, exposure time, exposure,
// thickness, compression force and entrance dose. Values are written in the
// form their attribute's type demands (decimal point, whole numbers where the
// attribute holds integers); a value that is no number is left out and named
// in skipped.
bool WriteExposureValues(const ToolkitImagePtr &image, const ExposureValues &values, const QString &exposureTime,
                         QStringList *skipped = nullptr);

// A decimal string as DICOM writes it ("1,25" → "1.25"); empty when the text is no number.
QString DecimalString(const QString &text);
// A whole number as DICOM writes it ("63,4" → "63"); empty when the text is no number.
QString IntegerString(const QString &text);
