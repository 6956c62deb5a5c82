#pragma once

// Images brought in from files and from DICOM directories. Each is written,
// named by its SOP Instance UID, into temp/, where the receiver files it; the
// databases are not touched here.
#include <QStringList>

class EditForm;

// What the file dialog chose: one file as its full path; several as their
// folder followed by the file names. A directory import holds the DICOMDIR.
extern QStringList ImportFiles;
// Several files: an existing target is never overwritten.
extern bool ImportMulti;

// Takes the dialog's chosen paths into ImportFiles and ImportMulti; false for none.
bool SetImportFiles(const QStringList &chosen);

// Job 8: the files of ImportFiles.
void ImportTimer(EditForm &form);
// Job 9: the image records of the DICOMDIR ImportFiles(0).
void ImportDirTimer(EditForm &form);
