#include "core/WorkstationState.h"

bool BatchJobActive = false;
bool ImageLoadActive = false;
bool ListRefreshRequested = false;
bool PartnersChanged = false;
QMap<QString, QString> ActiveFilterTags;
bool VisibleTagsChanged = false;
