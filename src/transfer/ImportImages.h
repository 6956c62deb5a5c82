#pragma once

// The import's work without its dialog: images read from files and written,
// named by their SOP Instance UID, into temp/ for the receiver. The progress
// dialog's jobs (Import.h) and the DICOMDIR fuzz target run these.
#include "toolkit/Result.h"

#include <QString>
#include <functional>

enum class Imported { Written, AlreadyThere, Skipped };

// Reads one file and writes its image into temp/; a failure is logged at place.
Imported ImportImageFile(const QString &source, bool keepExisting, const QString &place);

struct DirectoryImport : Result {
    int imported = 0;
    int skipped = 0; // each logged
};

// The image records of a DICOMDIR (patient, study, series, image; deleted
// records and what hangs below them left out), each file imported. Not ok,
// with the reason, when the file is no DICOMDIR. started gets the count of
// image records once they are known; done is called after each.
DirectoryImport ImportDirectory(const QString &dicomdir, const QString &place, const std::function<void(int images)> &started = {},
                                const std::function<void()> &done = {});
