#include "core/WorkstationState.h"

ExposureValues SelectedExposure;
QString CurrentExposureTime;
QString CurrentProjection;
qint16 ProjectionCounter = 0;
qint16 AssignmentMode = 0;
bool BatchJobActive = false;
qint16 ExaminationType = 0;
bool PartnersChanged = false;
QMap<QString, QString> ActiveFilterTags;
bool VisibleTagsChanged = false;
