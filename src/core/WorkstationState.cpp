#include "core/WorkstationState.h"

bool BatchJobActive = false;
bool ImageLoadActive = false;
bool ListRefreshRequested = false;
QMap<QString, QString> ActiveFilterTags;
bool VisibleTagsChanged = false;
