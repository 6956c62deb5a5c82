#pragma once

#include <QList>
#include <QString>
#include <functional>

// Removal of what was received: rows of the image database and the image
// files below images/<StudyInstanceUID>/. Each routine changes the rows in one
// transaction and removes files only once the rows are gone, so a failure
// leaves rows and files as they were. Errors are logged; false is returned.
struct DeletionReport {
    // Progress text, as the progress dialog shows it.
    std::function<void(const QString &)> append;
    // The routine removed the study's or the patient's row too.
    std::function<void()> studyRowRemoved;
    std::function<void()> patientRowRemoved;
    // Per removed folder, for a progress bar: done and total.
    std::function<void(int, int)> progress;
};

bool DeleteSeriesFromDatabase(qlonglong seriesKey, qlonglong studyKey, const QString &studyUid, qlonglong patientKey,
                              const QString &patientId, const DeletionReport &report);

// studySend: the study was sent; its patient goes too when no study is left.
bool DeleteStudyFromDatabase(qlonglong studyKey, const QString &studyUid, qlonglong patientKey, const QString &patientId,
                             bool studySend, const DeletionReport &report);

bool DeletePatientFromDatabase(qlonglong patientKey, const QString &patientId, const DeletionReport &report);

// Empties the image database from its template (through SQLite's backup, so
// the receiver may keep its connection) and removes every study folder.
bool DeleteAllFromDatabase(const DeletionReport &report);

// One image: its row, then its file. False (logged) when the row stays.
bool DeleteImageFromDatabase(const QString &imageUid, const QString &studyUid);

// The images a job rewrote, by their ImageUID: their rows in one transaction,
// then their files one by one. A series, study or patient row goes only once it
// holds nothing, a study folder only once it is empty, so that whatever was
// filed beside them meanwhile stays. beforeCommit runs inside the transaction
// after the deletions; false from it rolls them back. False (logged) when the
// rows stay.
bool DeleteImageListFromDatabase(const QStringList &imageUids, const DeletionReport &report,
                                 const std::function<bool()> &beforeCommit = {});

// Image rows by their ImageID, in one transaction; the files stay.
bool DeleteImageRows(const QList<qlonglong> &imageIds);

// The folder of a study's images; empty for a UID that could leave the images folder.
QString StudyFolder(const QString &studyUid);
