#pragma once

// Images brought in from files and from DICOM directories. Each is written,
// named by its SOP Instance UID, into temp/, where the receiver files it; the
// databases are not touched here.
#include "jobs/Job.h"

#include <QStringList>

// What the file dialog chose, taken when the operator gives the command: one
// file as its full path; several as their folder followed by the file names.
struct ImportFiles {
    QStringList files;
    // Several files: an existing target is never overwritten.
    bool multi = false;
};

// The dialog's chosen paths as the import job takes them; no files for none.
ImportFiles ImportFilesFrom(const QStringList &chosen);

// Job 8: the chosen files.
JobOutcome ImportTimer(JobProgress &progress, const ImportFiles &chosen);
// Job 9: the image records of the DICOMDIR; a DICOMDIR that cannot be read is
// told in the running log (and the error log).
JobOutcome ImportDirTimer(JobProgress &progress, const QString &dicomdir);
