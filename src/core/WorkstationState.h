#pragma once

#include <QMap>
#include <QString>

// Process-wide state the main window owns and the subsystems read. One user
// interface thread touches it; no locks.

#include "core/ExposureUnits.h"

extern ExposureValues SelectedExposure;
extern QString CurrentExposureTime;

// Projection state of the exposure decoders.
extern QString CurrentProjection;
extern qint16 ProjectionCounter;

// How the next dose-list refresh assigns the listed exposures (0 = not at all).
extern qint16 AssignmentMode;

// Keep list refreshes out while a job runs.
extern bool BatchJobActive;

// 1 = "Curative", 2 = "Screening", 0 until the operator picks one.
extern qint16 ExaminationType;


// Set when the storage partners changed; the main window rebuilds its send menus.
extern bool PartnersChanged;

// The active modality filter's attributes (Tag → Description), read by the header view.
extern QMap<QString, QString> ActiveFilterTags;
// Set when attributes joined a filter; the main window rebuilds its header view.
extern bool VisibleTagsChanged;
