#pragma once

#include <QMap>
#include <QString>

// Process-wide state the main window owns and the subsystems read. One user
// interface thread touches it; no locks.

// Keep list refreshes out while a job or an image load runs.
extern bool BatchJobActive;
extern bool ImageLoadActive;
// Set by the periodic poll, cleared by the fills it asks for.
extern bool ListRefreshRequested;


// The active modality filter's attributes (Tag → Description), read by the header view.
extern QMap<QString, QString> ActiveFilterTags;
// Set when attributes joined a filter; the main window rebuilds its header view.
extern bool VisibleTagsChanged;
