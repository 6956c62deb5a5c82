#pragma once

#include <QMap>
#include <QString>

// Process-wide state the main window owns and the subsystems read. One user
// interface thread touches it; no locks.

// Keep list refreshes out while a job or an image load runs.
extern bool ImageLoadActive;
// Set by the periodic poll, cleared by the fills it asks for.
extern bool ListRefreshRequested;

