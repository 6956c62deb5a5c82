#pragma once

#include "jobs/EditForm.h"
#include "network/SendJobs.h"
#include "toolkit/Toolkit.h"

#include <QString>

// Runs a job in the progress dialog, shown as its launcher shows it (prepare
// sets the dialog up first), waits for OK, presses it and returns the running log.
QString RunProgressJob(qint16 mode, const EditForm::Job &job, const std::function<void(EditForm &)> &prepare = {});
// Runs the send job of the mode (0 series, 1 study, 2 patient) in the progress
// dialog as the launchers do, presses its OK and returns its text.
QString RunSendJob(qint16 mode, SendJob &job);

// The image of a file, read as the station reads it; null with a warning.
ToolkitImagePtr ReadImage(const QString &path);

// The pixel data element of the file's bytes, from its tag to the end; empty
// when absent or too short to be pixels.
QByteArray PixelData(const QByteArray &fileBytes);
QByteArray PixelDataOfFile(const QString &path);
