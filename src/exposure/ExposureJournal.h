#pragma once

#include "dose/Agd.h"
#include "dose/ReferenceLevels.h"
#include "exposure/ExposureRecord.h"
#include "store/Database.h"

#include <QDate>
#include <QLocale>
#include <QSqlRecord>
#include <QStringList>
#include <optional>

// Status of a journal row: on the dose list, assigned to the images it gave,
// or rejected during her examination (no image kept; still her exposure).
namespace ExposureStatus {
inline constexpr const char *Open = "0";
inline constexpr const char *Assigned = "1";
inline constexpr const char *Rejected = "2";
} // namespace ExposureStatus

// The SQL of tblDosis. Every value is bound; patient names with apostrophes
// are stored and matched like any other. Callers open and close the database.

struct JournalInsert : Result {
    qlonglong id = 0;
    QList<Result> problems; // values left out of the row; the rest of the row is stored
};

// The dose of a new row: the unit type at decoding and what was estimated.
struct ExposureDose {
    qint16 unit = 0;
    DoseEstimate estimate;
};

// Adds the record as a new row, with its dose when given. Datum is parsed
// from the decoder's text; a text that is no date is reported and the column left NULL.
JournalInsert InsertExposure(Database &db, const ExposureRecord &record, const QLocale &locale = QLocale(),
                             const std::optional<ExposureDose> &dose = std::nullopt);

// The record's kV, mAs, thickness and reported dose in the units of their
// attributes, read as the unit type sends them, and the target/filter it
// reported; a value that is not finite and above 0 is none.
ExposureDoseInput DoseInputOf(qint16 unitType, const ExposureRecord &record);
// The same from a journal row (its KVP, ma, Dicke, mGy and Sonstiges columns).
ExposureDoseInput DoseInputOfRow(qint16 unitType, const QSqlRecord &row);

// A row's values its dose was computed from: KVP, ma, Dicke, mGy, Sonstiges, Datum,
// Unit, AgdSource, AgeTable, CalibrationID, and its AGD.
DbResult ExposureDoseInputOf(Database &db, qlonglong id);

// The row's Irradiation Event UID; a row journalled before there were any
// gets one now, and keeps it.
struct EventUid : Result {
    QString uid;
};
EventUid EnsureEventUid(Database &db, qlonglong id);

// A row's AGD computed again with another glandularity table.
DbResult UpdateExposureAgd(Database &db, qlonglong id, double agd, const QString &ageTable);

// Whether a journal row's dose is over its level in the set: the view from
// Sonstiges, the thickness read as the unit type sends it, and the entrance
// dose the header gets (K at the surface where known, else the unit's mGy).
std::optional<ReferenceExceeded> ExceedsReference(const ReferenceSet &set, qint16 unitType, const QString &dicke, const QString &mGy,
                                                  const QString &sonstiges, std::optional<double> agd,
                                                  std::optional<double> kerma = std::nullopt);

// Open rows (neither assigned nor rejected) dated day, in insertion order, with the
// columns ID, Datum, Zeit, KVP, ma, Dicke, Druck, mGy, Sonstiges, Status, expZeit, AGD, AgdSource,
// HVL, TargetFilter, Kerma, CalibrationID, Unit, IrradiationEventUID, Patname, FKeyPatID.
// With a name, only that patient's rows.
DbResult OpenExposuresOf(Database &db, const QDate &day, const std::optional<QString> &patientName = std::nullopt);

// Distinct non-NULL patient names of the open rows dated day.
DbResult OpenPatientNamesOf(Database &db, const QDate &day);

// Assigns a row to the patient whose images got its values.
DbResult AssignExposure(Database &db, qlonglong id, const QString &patientId, const QString &patientName);

// Takes a row off the dose list as nobody's exposure (a test exposure); it
// stays in the journal.
DbResult RemoveExposureFromList(Database &db, qlonglong id);

// Takes an open row off the dose list as a rejected exposure of the patient
// and of her study; fails when the row is no longer open.
DbResult RejectExposure(Database &db, qlonglong id, const QString &patientId, const QString &patientName, const QString &studyUid);

// Keys of the rejected rows of a study, in journal order.
DbResult RejectedExposuresOf(Database &db, const QString &studyUid);

// Binds the rows to the study they are reported with.
DbResult BindExposuresToStudy(Database &db, const QList<qlonglong> &ids, const QString &studyUid);

// What the dose journal dialog searches by: the identifier, else the name
// (both with "*" as the operator's wild card, letters of any alphabet without
// regard to case: "mü*" finds "MÜLLER"), else the calendar day; with none of
// them and `everything`, the whole journal.
struct JournalSearch {
    QString patientId;
    QString patientName;
    QDate day;
    bool everything = false;
};
// Rows with ID, Patname, Datum, Zeit, Sonstiges, KVP, ma, Dicke, AGD, in journal order.
DbResult SearchJournal(Database &db, const JournalSearch &search);
// The statement SearchJournal runs, with its values (for a look at its plan).
struct JournalStatement {
    QString sql;
    QVariantList values;
};
JournalStatement SearchJournalStatement(const JournalSearch &search);

// Puts a row back on the open list, bound to no study; with a name, also that patient's name and
// the date `day`, so that the day's dose list shows it.
DbResult ReleaseExposure(Database &db, qlonglong id, const std::optional<QString> &newPatientName = std::nullopt,
                         const QDate &day = QDate());

