#include "core/WorkstationState.h"

bool ImageLoadActive = false;
bool ListRefreshRequested = false;
