#pragma once

#include "store/Database.h"
#include "store/ImageRows.h"

#include <QString>
#include <optional>

// Family, given and middle name from the first component group of a
// Person Name value ("Family^Given^Middle^Prefix^Suffix=...").
void SplitPersonName(const QString &personName, ReceivedObject &object);

// True for a UID that may become a folder or file name below images/: letters,
// digits, "-" and "_" in dot-separated non-empty parts, at most 64 characters.
// Anything else ("..", "/", a leading dot, spaces) is refused, never rewritten,
// because the workstation finds the file again by the UID in the database.
bool IsSafeUidName(const QString &uid);

// The images folder and the image database of one application folder. Turns a
// complete staged file into images/<StudyUID>/<SOPUID>.dcm and its rows.
class ImageStore {
public:
    explicit ImageStore(const QString &applicationFolder);
    ~ImageStore();

    enum class Outcome { Stored, Rejected, DiskFull, Failed };
    // What became of one object and, unless stored, the reason for the log.
    struct Filing {
        Outcome outcome = Outcome::Failed;
        QString message;
        bool replaced = false;
        QString kept; // where a refused object was kept, if anywhere
    };
    // What becomes of the file of an object refused because its study is
    // filed under another patient: a received one is the only copy and is
    // kept in temp/rejected/; one taken from temp/ is moved there by the intake.
    enum class RefusedFile { Remove, KeepInRejected };

    Result openDatabase();
    void closeDatabase();
    Database &database() { return db_; }

    // A fresh name in images/.incoming/ on the images file system, for a file
    // that is being received or copied.
    QString newStagingPath();

    // Takes over the complete file `staged` (consumed in every outcome): moves it
    // under a temporary name into the study folder, flushes it, enters patient,
    // study, series, image and receipt rows in one transaction and renames it to
    // its final name before the commit. Stored only when file and rows are durable.
    // An object whose study is filed under another Patient ID is refused
    // (Rejected, both IDs in the message) and nothing filed changes: one
    // object never moves a whole study to another patient.
    Filing store(const ReceivedObject &object, const QString &staged, RefusedFile refused = RefusedFile::Remove);

    // Removes staged and temporary files a killed receiver left behind.
    void removeLeftovers();

    QString imagesFolder() const { return images_; }
    QString rejectedFolder() const { return rejected_; }
    QString imagePath(const QString &studyUid, const QString &sopUid) const;

private:
    Filing storeLocked(const ReceivedObject &object, const QString &part, const QString &final, const QString &studyDir,
                       RefusedFile refused);
    // Moves a refused file into temp/rejected/ under the SOP Instance UID; the path, empty when it could not.
    QString keepRejected(const QString &file, const QString &sopUid);

    QString images_;
    QString rejected_;
    QString staging_;
    Database db_;
    quint64 counter_ = 0;
};

// True when the file system holding `path` has less than `minimumBytes` free.
bool DiskNearlyFull(const QString &path, qint64 minimumBytes);
