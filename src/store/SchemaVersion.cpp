#include "store/SchemaVersion.h"

#include "core/ErrorLog.h"

#include <QFileInfo>

int SchemaVersionOf(Database &db)
{
    const DbResult r = Execute(db, QStringLiteral("PRAGMA user_version"));
    if (!r.ok() || r.rows.isEmpty())
        return -1;
    return r.rows.first().value(0).toInt();
}

namespace {

Result newerThanKnown(const QString &path, int version, int known)
{
    return Result::failure(ErrorCode::DbNewerSchema,
                           QStringLiteral("'%1' has schema version %2, but this program knows version %3 at most: a newer version "
                                          "of the program wrote it. The file is left as it is; use that newer version with it.")
                               .arg(path)
                               .arg(version)
                               .arg(known));
}

} // namespace

int LatestSchemaVersion(const QList<SchemaStep> &steps) { return steps.isEmpty() ? 0 : steps.last().version; }

Result UpgradeSchema(Database &db, const QList<SchemaStep> &steps, int *applied)
{
    if (applied)
        *applied = 0;
    const int known = LatestSchemaVersion(steps);
    // Cheap check first: a current file takes no write lock.
    const int before = SchemaVersionOf(db);
    if (before < 0)
        return Result::failure(ErrorCode::DbOpenFailed, QStringLiteral("The schema version of '%1' cannot be read.").arg(db.path()));
    if (before > known)
        return newerThanKnown(db.path(), before, known);
    if (before == known)
        return {};

    if (DbResult begin = Execute(db, QStringLiteral("BEGIN IMMEDIATE")); !begin.ok())
        return begin;
    auto fail = [&db](const Result &r) {
        Execute(db, QStringLiteral("ROLLBACK"));
        return r;
    };
    // Read again under the lock: another process may have upgraded meanwhile.
    const int current = SchemaVersionOf(db);
    if (current < 0)
        return fail(Result::failure(ErrorCode::DbOpenFailed, QStringLiteral("The schema version of '%1' cannot be read.").arg(db.path())));
    if (current > known)
        return fail(newerThanKnown(db.path(), current, known));
    int count = 0, version = current;
    for (const SchemaStep &step : steps) {
        if (step.version <= version)
            continue;
        for (const QString &sql : step.statements) {
            const DbResult r = Execute(db, sql);
            if (!r.ok())
                return fail(Result::failure(r.number, QStringLiteral("Schema step %1: %2").arg(step.version).arg(r.text)));
        }
        version = step.version;
        ++count;
    }
    // A pragma takes no bound value; the version is our own number.
    if (DbResult r = Execute(db, QStringLiteral("PRAGMA user_version = %1").arg(version)); !r.ok())
        return fail(r);
    if (DbResult r = Execute(db, QStringLiteral("COMMIT")); !r.ok())
        return fail(r);
    if (applied)
        *applied = count;
    WriteDebugLog(QStringLiteral("UpgradeSchema"), QStringLiteral("%1 from version %2 to %3").arg(db.path()).arg(current).arg(version));
    return {};
}

const QList<SchemaStep> &JournalSchemaSteps()
{
    // Version 1: the dose of each exposure beside what the unit sent.
    static const QList<SchemaStep> steps = {
        {1,
         {QStringLiteral("ALTER TABLE tblDosis ADD COLUMN Unit INTEGER"),
          QStringLiteral("ALTER TABLE tblDosis ADD COLUMN TargetFilter TEXT"),
          QStringLiteral("ALTER TABLE tblDosis ADD COLUMN HVL REAL"),
          QStringLiteral("ALTER TABLE tblDosis ADD COLUMN Kerma REAL"),
          QStringLiteral("ALTER TABLE tblDosis ADD COLUMN AGD REAL"),
          QStringLiteral("ALTER TABLE tblDosis ADD COLUMN AgdSource TEXT"),
          QStringLiteral("ALTER TABLE tblDosis ADD COLUMN AgeTable TEXT"),
          QStringLiteral("ALTER TABLE tblDosis ADD COLUMN CalibrationID INTEGER")}},
        // Version 2: the Irradiation Event UID of each exposure, stamped into its
        // image and named in the study's dose report. Older rows get theirs when first needed.
        {2,
         {QStringLiteral("ALTER TABLE tblDosis ADD COLUMN IrradiationEventUID TEXT"),
          QStringLiteral("CREATE UNIQUE INDEX ixDosisEventUID ON tblDosis (IrradiationEventUID)")}},
        // Version 3: the study an exposure belongs to, bound when it is
        // rejected during her examination or reported with the study, so that
        // each study's dose report holds its own exposures.
        {3,
         {QStringLiteral("ALTER TABLE tblDosis ADD COLUMN StudyUID TEXT"),
          QStringLiteral("CREATE INDEX ixDosisStudyUID ON tblDosis (StudyUID)")}},
        // Version 4: the patient's name as the name search compares it
        // (FoldForSearch), kept when a row is written, so that a prefix
        // search ("Mei*") reads the index instead of folding every row. NOCASE
        // lets SQLite's LIKE use the index; the folded text has no upper case.
        {4,
         {QStringLiteral("ALTER TABLE tblDosis ADD COLUMN PatnameFolded TEXT COLLATE NOCASE"),
          QStringLiteral("UPDATE tblDosis SET PatnameFolded = lumora_fold(Patname) WHERE Patname IS NOT NULL"),
          QStringLiteral("CREATE INDEX ixDosisPatnameFolded ON tblDosis (PatnameFolded)")}},
    };
    return steps;
}

namespace {

// SQLite adds no action to an existing reference: the table is made anew
// under a temporary name, its rows copied with their keys, the old one
// dropped and the new one renamed. The AUTOINCREMENT counter is carried over
// so that no key of a removed row is ever given again. The views that read
// the tables go first and come back last; the indexes are made again.
QStringList rebuilt(const QString &table, const QString &columns, const QString &definition, const QStringList &indexes)
{
    const QString fresh = QStringLiteral("new_") + table;
    QStringList out{
        QStringLiteral("CREATE TABLE %1 (\n%2\n)").arg(fresh, definition),
        QStringLiteral("INSERT INTO %1 (%2) SELECT %2 FROM %3").arg(fresh, columns, table),
        QStringLiteral("DELETE FROM sqlite_sequence WHERE name = '%1'").arg(fresh),
        QStringLiteral("INSERT INTO sqlite_sequence (name, seq) SELECT '%1', MAX(COALESCE((SELECT seq FROM sqlite_sequence WHERE name = '%2'), 0), "
                       "COALESCE((SELECT MAX(rowid) FROM %1), 0))")
            .arg(fresh, table),
        QStringLiteral("DROP TABLE %1").arg(table),
        QStringLiteral("ALTER TABLE %1 RENAME TO %2").arg(fresh, table),
    };
    out += indexes;
    return out;
}

} // namespace

const QList<SchemaStep> &ImageSchemaSteps()
{
    // Version 1: removing a patient, study or series takes the rows below it
    // along (ON DELETE CASCADE), so that one removal does the whole cascade.
    static const QList<SchemaStep> steps = {
        {1,
         QStringList{QStringLiteral("DROP VIEW IF EXISTS view_studies"), QStringLiteral("DROP VIEW IF EXISTS View_Images")}
             + rebuilt(QStringLiteral("tblStudies"),
                       QStringLiteral("StudyID, StudyUID, FKeyPATID, StudyDate, StudyTime, Modality, Bodypart, AccessionNumber, StudyDescription"),
                       QStringLiteral("  StudyID INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                                      "  StudyUID TEXT NOT NULL,\n"
                                      "  FKeyPATID INTEGER NOT NULL REFERENCES tblPatienten (PatID) ON DELETE CASCADE,\n"
                                      "  StudyDate TEXT,\n"
                                      "  StudyTime TEXT,\n"
                                      "  Modality TEXT,\n"
                                      "  Bodypart TEXT,\n"
                                      "  AccessionNumber TEXT,\n"
                                      "  StudyDescription TEXT"),
                       {QStringLiteral("CREATE UNIQUE INDEX ixStudiesStudyUID ON tblStudies (StudyUID)"),
                        QStringLiteral("CREATE INDEX ixStudiesFKeyPATID ON tblStudies (FKeyPATID)")})
             + rebuilt(QStringLiteral("tblSeries"), QStringLiteral("SeriesID, SeriesUID, SeriesNr, FKeyStudyID, Modality, SeriesDescription"),
                       QStringLiteral("  SeriesID INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                                      "  SeriesUID TEXT NOT NULL,\n"
                                      "  SeriesNr INTEGER,\n"
                                      "  FKeyStudyID INTEGER NOT NULL REFERENCES tblStudies (StudyID) ON DELETE CASCADE,\n"
                                      "  Modality TEXT,\n"
                                      "  SeriesDescription TEXT"),
                       {QStringLiteral("CREATE UNIQUE INDEX ixSeriesSeriesUID ON tblSeries (SeriesUID)"),
                        QStringLiteral("CREATE INDEX ixSeriesFKeyStudyID ON tblSeries (FKeyStudyID)")})
             + rebuilt(QStringLiteral("tblImages"),
                       QStringLiteral("ImageID, ImageUID, ImageNr, FKeySeriesID, ImageDate, ImageTime, SOPClassUID, ViewPosition, ImageLaterality"),
                       QStringLiteral("  ImageID INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                                      "  ImageUID TEXT NOT NULL,\n"
                                      "  ImageNr INTEGER,\n"
                                      "  FKeySeriesID INTEGER NOT NULL REFERENCES tblSeries (SeriesID) ON DELETE CASCADE,\n"
                                      "  ImageDate TEXT,\n"
                                      "  ImageTime TEXT,\n"
                                      "  SOPClassUID TEXT,\n"
                                      "  ViewPosition TEXT,\n"
                                      "  ImageLaterality TEXT"),
                       {QStringLiteral("CREATE UNIQUE INDEX ixImagesImageUID ON tblImages (ImageUID)"),
                        QStringLiteral("CREATE INDEX ixImagesFKeySeriesID ON tblImages (FKeySeriesID)")})
             + QStringList{QStringLiteral("CREATE VIEW view_studies AS\n"
                                          "  SELECT p.PatID1 AS PatID1, s.StudyID AS StudyID, s.StudyUID AS StudyUID,\n"
                                          "         s.StudyDate AS StudyDate, s.StudyTime AS StudyTime,\n"
                                          "         s.Modality AS Modality, s.Bodypart AS Bodypart\n"
                                          "  FROM tblStudies s JOIN tblPatienten p ON p.PatID = s.FKeyPATID"),
                           QStringLiteral("CREATE VIEW View_Images AS\n"
                                          "  SELECT i.ImageID AS ImageID, i.ImageDate AS ImageDate, i.ImageTime AS ImageTime,\n"
                                          "         i.ImageUID AS ImageUID, i.FKeySeriesID AS FKeySeriesID, s.StudyUID AS StudyUID,\n"
                                          "         i.ImageNr AS ImageNr\n"
                                          "  FROM tblImages i\n"
                                          "  JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID\n"
                                          "  JOIN tblStudies s ON s.StudyID = r.FKeyStudyID")}},
    };
    return steps;
}

Result RefuseNewerDatabase(const QString &path, const QList<SchemaStep> &steps)
{
    if (!QFileInfo(path).isFile())
        return {};
    Database db(QStringLiteral("SchemaCheck"), QStringLiteral("SchemaCheck"));
    db.setPath(path);
    if (!db.open())
        return {};
    const int version = SchemaVersionOf(db);
    db.close();
    const int known = LatestSchemaVersion(steps);
    return version > known ? newerThanKnown(path, version, known) : Result{};
}

const QList<SchemaStep> &DefinitionsSchemaSteps()
{
    // Version 1: the X-ray units' dose calibrations, the glandular-dose factor
    // tables the physicist loads, and the reference-level sets.
    static const QList<SchemaStep> steps = {
        {1,
         {QStringLiteral("CREATE TABLE tblDoseCalibration (\n"
                         "  ID INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                         "  Unit INTEGER NOT NULL,\n"
                         "  ReportedDose TEXT NOT NULL,\n"
                         "  Backscatter REAL,\n"
                         "  ReportedAt TEXT NOT NULL,\n"
                         "  ReportedDistance REAL,\n"
                         "  FocusSupport REAL NOT NULL,\n"
                         "  OutputDistance REAL NOT NULL,\n"
                         "  PaddleInBeam INTEGER NOT NULL DEFAULT 0,\n"
                         "  CalibratedOn TEXT NOT NULL,\n"
                         "  CalibratedBy TEXT NOT NULL,\n"
                         "  Superseded INTEGER NOT NULL DEFAULT 0\n"
                         ")"),
          QStringLiteral("CREATE TABLE tblDoseTargetFilter (\n"
                         "  CalibrationID INTEGER NOT NULL REFERENCES tblDoseCalibration (ID),\n"
                         "  UpToKV REAL,\n"
                         "  TargetFilter TEXT NOT NULL\n"
                         ")"),
          QStringLiteral("CREATE TABLE tblDoseBeam (\n"
                         "  CalibrationID INTEGER NOT NULL REFERENCES tblDoseCalibration (ID),\n"
                         "  TargetFilter TEXT NOT NULL,\n"
                         "  KV REAL NOT NULL,\n"
                         "  HVL REAL NOT NULL,\n"
                         "  Output REAL NOT NULL\n"
                         ")"),
          QStringLiteral("CREATE INDEX ixDoseBeamCalibration ON tblDoseBeam (CalibrationID)"),
          QStringLiteral("CREATE TABLE tblDoseFactor (\n"
                         "  Factor TEXT NOT NULL,\n"
                         "  TargetFilter TEXT,\n"
                         "  HVL REAL,\n"
                         "  Thickness REAL,\n"
                         "  Value REAL NOT NULL\n"
                         ")"),
          QStringLiteral("CREATE TABLE tblDoseFactorSource (\n"
                         "  FileName TEXT NOT NULL,\n"
                         "  LoadedAt TEXT NOT NULL\n"
                         ")"),
          QStringLiteral("CREATE TABLE tblReferenceSet (\n"
                         "  ID INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                         "  Name TEXT NOT NULL UNIQUE,\n"
                         "  Source TEXT NOT NULL,\n"
                         "  Active INTEGER NOT NULL DEFAULT 0\n"
                         ")"),
          QStringLiteral("CREATE TABLE tblReferenceLevel (\n"
                         "  SetID INTEGER NOT NULL REFERENCES tblReferenceSet (ID),\n"
                         "  View TEXT NOT NULL,\n"
                         "  FromThickness REAL NOT NULL,\n"
                         "  ToThickness REAL NOT NULL,\n"
                         "  Quantity TEXT NOT NULL,\n"
                         "  Level REAL NOT NULL\n"
                         ")")}},
        // Version 2: the X-ray unit entered with each calibration, named in
        // the dose report, with the device UID it keeps across calibrations.
        {2,
         {QStringLiteral("CREATE TABLE tblXrayUnit (\n"
                         "  CalibrationID INTEGER PRIMARY KEY REFERENCES tblDoseCalibration (ID),\n"
                         "  Manufacturer TEXT NOT NULL,\n"
                         "  Model TEXT NOT NULL,\n"
                         "  SerialNumber TEXT NOT NULL,\n"
                         "  DeviceUID TEXT NOT NULL\n"
                         ")")}},
        // Version 3: the compression paddle's transmission, for an output
        // measured without the paddle in the beam.
        {3, {QStringLiteral("ALTER TABLE tblDoseCalibration ADD COLUMN PaddleTransmission REAL")}},
        // Version 4: the partners the receiver admits when the site asks for known partners only.
        {4,
         {QStringLiteral("CREATE TABLE tblKnownPartner (\n"
                         "  ID INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                         "  AET TEXT NOT NULL,\n"
                         "  Host TEXT NOT NULL,\n"
                         "  Subject TEXT NOT NULL DEFAULT '',\n"
                         "  MayStore INTEGER NOT NULL DEFAULT 1,\n"
                         "  MayEcho INTEGER NOT NULL DEFAULT 1\n"
                         ")")}},
        // Version 5: the storage partners reached over TLS.
        {5, {QStringLiteral("ALTER TABLE tblSCP ADD COLUMN TLS INTEGER NOT NULL DEFAULT 0")}},
    };
    return steps;
}
