#pragma once

#include "core/ExposureUnits.h"
#include "toolkit/Toolkit.h"

#include <functional>

// Asks the operator which side an image shows ("L", "R", or "" when no side
// button was pressed).
using SideQuestion = std::function<QString(const ToolkitImagePtr &image)>;

// Writes the projection and the fixed attributes of a mammogram for
// presentation into the image in memory; false (after logging "ModifyImage")
// when the toolkit refused a write. rememberedSide is the side ("L" or "R")
// last found on an image of the merge; an image whose side cannot be found
// takes it over.
bool ModifyImage(const ToolkitImagePtr &image, const SideQuestion &askSide, QString &rememberedSide);

// The projection an image shows, in the form the exposures of the unit type
// carry it (unit 1 "L-CC"/"L-MLO45", unit 2 "L-CC"/"L-LMO45", units 3 to 5
// "L CC"/"L MLO"); empty when the image's attributes name none. For the MLO
// keys of units 1 and 3 to 5 the detector angle is written as "45".
QString ImageProjectionKey(qint16 unitType, const ToolkitImagePtr &image);

// Whether an exposure's projection text (what the "Other" column shows) has the
// side and view of the key, read as its unit type journals it.
bool ExposureMatchesKey(qint16 unitType, const QString &exposureProjection, const QString &key);

// Writes the values that are not empty into the image (and the exposure in
// microampere-seconds beside the one in mAs, and the dose attributes where the
// exposure's dose is known); false when the toolkit refused one.
bool WriteExposureValues(const ToolkitImagePtr &image, const HeaderExposureValues &values, Result *error = nullptr);
