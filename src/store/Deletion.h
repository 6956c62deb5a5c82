#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "toolkit/Result.h"

// Removal of what was received: rows of the image database and the image
// files below images/<StudyInstanceUID>/. Each routine changes the rows in one
// transaction and removes files only once the rows are gone, so a failure
// leaves rows and files as they were. Errors are logged; false is returned.
// Files go one by one, each only while no row holds it (an image the receiver
// filed again meanwhile keeps its file), and a study folder only once empty.
// Nothing is reached through a link: one where the images folder, a study
// folder or an image file belongs is left, logged and named in the progress text.
struct DeletionReport {
    // Progress text, as the progress dialog shows it.
    std::function<void(const QString &)> append;
    // The routine removed the study's or the patient's row. Told as soon as
    // the rows are committed, before any file is touched, so that the lists
    // drop them at once.
    std::function<void()> studyRowRemoved;
    std::function<void()> patientRowRemoved;
    // For a progress bar over the folders: (0, total) once before the first,
    // then (done, total) after each removed folder.
    std::function<void(int, int)> progress;
};

// A patient, study or series as the operator pointed at it, completed from
// the image database at the moment of the command, so that a job acts on it
// and on nothing remembered from an earlier click.
struct ImageTarget {
    bool valid = false; // the row's data is still in the database
    qlonglong patientKey = 0;
    QString patientId;
    QString patientName; // "Lastname, Firstname"
    qlonglong studyKey = 0;
    QString studyUid;
    qlonglong seriesKey = 0;
    qlonglong imageCount = 0;  // images of the series, study or patient
    int studiesOfPatient = 0;
    int seriesOfStudy = 0;
};

// By the keys a list row holds; not valid when the row's data is gone or
// does not match (a patient's ID, a study's UID).
ImageTarget PatientTarget(qlonglong patientKey, const QString &patientId);
ImageTarget StudyTarget(qlonglong studyKey, const QString &studyUid);
ImageTarget SeriesTarget(qlonglong seriesKey);
// The series an image belongs to.
ImageTarget SeriesTargetOfImage(const QString &imageUid);
// True when every one of the images still has its row.
bool ImagesInDatabase(const QStringList &imageUids);
// Those of the images that still have their row; none, with ok false, when
// the database cannot be read (logged).
QStringList ImagesWithRows(const QStringList &imageUids, bool *ok);

// What a removal does with the rows above the removed one that it leaves
// without children (a series without images, a study without series, a
// patient without studies).
enum class EmptiedParents { Removed, Kept };

struct RemovalOptions {
    EmptiedParents emptiedParents = EmptiedParents::Removed;
    // Where failures are logged; the level's routine by default.
    QString logPlace;
    // Whether the audit trail gets a deletion record (not for the originals
    // a header change replaced: that change is audited as such).
    bool audited = true;
    // A folder on the images' file system into which the files are moved
    // instead of unlinked, for their owner to remove when it suits: an unlink
    // waits for the disk to trim the file's blocks. Empty: unlinked.
    QString setAsideIn;
};

enum class RemovalLevel { Series, Study, Patient };

// The one removal: the row of the series, study or patient with this key
// goes, and the schema's ON DELETE CASCADE takes every row below it; rows
// above it left empty go as the options say. The image files the rows held
// are collected in the same transaction and removed after it, one by one, as
// above. False (logged) when the rows stay.
bool Remove(RemovalLevel level, qlonglong key, const DeletionReport &report, const RemovalOptions &options = {});

// Single images by their ImageUID, the same way: their rows in one
// transaction, then their files. A study folder goes only once its study's
// row went and the folder is empty, so that whatever was filed beside them
// meanwhile stays.
bool RemoveImages(const QStringList &imageUids, const DeletionReport &report, const RemovalOptions &options = {});

// The patient's row once a send removed her studies one by one; a failure
// (her row stays) when studies were filed under her since.
Result RemovePatientIfEmpty(qlonglong patientKey);

// Empties the image database from its template (through SQLite's backup, so
// the receiver may keep its connection), then every file of the study folders
// that no row holds, and the folders left empty; when the database cannot be
// emptied, no file goes.
bool DeleteAllFromDatabase(const DeletionReport &report);

// One image: its row, then its file; its series stays even when emptied.
// False (logged) when the row stays.
bool DeleteImageFromDatabase(const QString &imageUid, const QString &studyUid);
// The images a job rewrote: RemoveImages, emptied rows going too.
bool DeleteImageListFromDatabase(const QStringList &imageUids, const DeletionReport &report, const QString &setAsideIn = {});

// Image rows by their ImageID, in one transaction; the files stay.
bool DeleteImageRows(const QList<qlonglong> &imageIds);

// The folder of a study's images; empty for a UID that could leave the images folder.
QString StudyFolder(const QString &studyUid);
