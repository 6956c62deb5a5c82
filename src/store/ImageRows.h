#pragma once

#include "store/Database.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The rows of the image database (patients, studies, series, images and the
// receiver's receipts), read and written here only; callers hand over and get
// back keys, UIDs and rows, never statements. Removal is in store/Deletion.
// Without a Database the station's ImageDatabase is used, opened for the call.

// Rows a statement returned, or its failure.
template <class T>
struct RowList : Result {
    QList<T> rows;
};

// ---- the lists ------------------------------------------------------------

struct PatientRow {
    qlonglong key = 0; // PatID
    QString id;        // PatID1
    QString familyName, givenName, secondName, birthDate; // null when not given
};
// Every patient, handed over as read: for lists of thousands of rows.
Result ForEachPatient(const std::function<void(const PatientRow &)> &row);

struct StudyRow {
    qlonglong key = 0;
    QString uid, date, time, modality, bodyPart;
};
RowList<StudyRow> StudiesOfPatient(const QString &patientId);

struct SeriesRow {
    qlonglong key = 0;
    QString uid;
    QString number; // as filed; empty when none
};
// By series number, then key.
RowList<SeriesRow> SeriesOfStudy(qlonglong studyKey);

struct ImageListRow {
    qlonglong key = 0; // ImageID
    QString date, time, uid;
};
// By image date and time.
RowList<ImageListRow> ImageListOfStudy(const QString &studyUid);
RowList<ImageListRow> ImageListOfSeries(qlonglong seriesKey);

// The image UIDs of these series to show, series by series in image number
// order, leaving out objects of the SOP class `leftOut` (a dose report has
// nothing to draw).
RowList<QString> ImagesToShow(const QList<qlonglong> &seriesKeys, const QString &leftOut);

// ---- where an image is filed ---------------------------------------------

struct ImagePlace {
    qlonglong seriesKey = 0, studyKey = 0, patientKey = 0;
    QString studyUid;
};
struct PlaceLookup : Result {
    std::optional<ImagePlace> place; // empty when the image has no row
};
PlaceLookup PlaceOfImage(Database &db, const QString &imageUid);
// Where each of these images is filed, in one pass; an image without a row
// has no entry.
struct PlacesLookup : Result {
    QHash<QString, ImagePlace> places;
};
PlacesLookup PlacesOfImages(const QStringList &imageUids);

// A study's image UIDs, series by series in image number order.
RowList<QString> ImageUidsOfStudy(qlonglong studyKey);
// A study's objects of one SOP class, by its UID (the study's dose reports, say).
RowList<QString> ImageUidsOfStudyOfClass(const QString &studyUid, const QString &sopClass);

struct StudyKey {
    qlonglong key = 0;
    QString uid;
};
// A patient's studies by key; `except` (a study key) left out.
RowList<StudyKey> StudiesOfPatientKey(qlonglong patientKey, qlonglong except = 0);

// ---- what a send reads -----------------------------------------------------

struct StoredObject {
    QString imageUid, sopClass, seriesUid;
};
// By series number and key, then image number and key.
RowList<StoredObject> ObjectsOfStudy(qlonglong studyKey);
// By image number.
RowList<StoredObject> ObjectsOfSeries(qlonglong seriesKey);

// ---- the receiver's filing -----------------------------------------------

// What the receiver enters into the image tables for one object, as text
// already converted from the object's character set.
struct ReceivedObject {
    QString patientId;
    QString familyName;
    QString givenName;
    QString middleName;
    QString birthDate;
    QString sex;
    QString studyUid;
    QString studyDate;
    QString studyTime;
    QString modality;
    QString bodyPart;
    QString accessionNumber;
    QString studyDescription;
    QString seriesUid;
    QString seriesDescription;
    std::optional<int> seriesNumber;
    QString sopClassUid;
    QString sopUid;
    std::optional<int> instanceNumber;
    QString imageDate;
    QString imageTime;
    QString viewPosition;
    QString laterality;
};

struct OwnerLookup : Result {
    std::optional<QString> patientId; // empty when the study is not filed
};
// The Patient ID a study is filed under.
OwnerLookup PatientOfStudy(Database &db, const QString &studyUid);

// Enters or brings up to date the object's patient, study, series and image
// rows, inside the caller's transaction on `db`. Rows that already hold the
// values are left alone.
Result FileObjectRows(Database &db, const ReceivedObject &object);

// The series, study and patient an image moved away from, each when left
// without children, inside the caller's transaction.
Result RemoveEmptiedPlace(Database &db, const ImagePlace &before);

// The receipt the workstation counts.
Result AddReceipt(Database &db, const QString &patientId, const QString &imageUid, const QString &receivedAt);
// Counts the receipts and empties the table when any are there; `read`, when
// given, says whether the table could be read at all.
Result EmptyReceipts(bool *read = nullptr);
