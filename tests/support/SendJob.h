#pragma once

#include "network/SendJobs.h"

#include <QString>

// Runs the send job of the mode (0 series, 1 study, 2 patient) in the progress
// dialog as the launchers do, presses its OK and returns its text.
QString RunSendJob(qint16 mode, SendJob &job);
