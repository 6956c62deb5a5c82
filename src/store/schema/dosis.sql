-- The exposure journal. Decoders write some columns by position, so the first
-- eleven columns keep this order. The dose columns came with schema version 1
-- the Irradiation Event UID with version 2, the Study Instance UID with
-- version 3 and the folded patient name with version 4 (store/SchemaVersion.cpp
-- upgrades older journals to the same columns).
-- Status: '0' on the dose list, '1' assigned to the images it gave, '2'
-- rejected (taken off the list during her examination, no image kept).
CREATE TABLE tblDosis (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  KVP TEXT,
  ma TEXT,
  Zeit TEXT,
  Dicke TEXT,
  mGy TEXT,
  Druck TEXT,
  Datum TEXT,
  Sonstiges TEXT,
  Status TEXT NOT NULL DEFAULT '0',
  expZeit TEXT,
  Patname TEXT,
  FKeyPatID TEXT,
  Unit INTEGER,
  TargetFilter TEXT,
  HVL REAL,
  Kerma REAL,
  AGD REAL,
  AgdSource TEXT,
  AgeTable TEXT,
  CalibrationID INTEGER,
  IrradiationEventUID TEXT,
  StudyUID TEXT,
  PatnameFolded TEXT COLLATE NOCASE
);
CREATE INDEX ixDosisDatumStatus ON tblDosis (Datum, Status);
CREATE INDEX ixDosisStatus ON tblDosis (Status);
CREATE INDEX ixDosisFKeyPatID ON tblDosis (FKeyPatID);
CREATE UNIQUE INDEX ixDosisEventUID ON tblDosis (IrradiationEventUID);
CREATE INDEX ixDosisStudyUID ON tblDosis (StudyUID);
CREATE INDEX ixDosisPatnameFolded ON tblDosis (PatnameFolded);
PRAGMA user_version = 4;
