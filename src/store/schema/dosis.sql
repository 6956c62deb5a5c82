-- The exposure journal. Decoders write some columns by position, so the first
-- eleven columns keep this order. The dose columns came with schema version 1
-- and the Irradiation Event UID with version 2 (store/SchemaVersion.cpp upgrades
-- older journals to the same columns).
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
  IrradiationEventUID TEXT
);
CREATE INDEX ixDosisDatumStatus ON tblDosis (Datum, Status);
CREATE INDEX ixDosisStatus ON tblDosis (Status);
CREATE INDEX ixDosisFKeyPatID ON tblDosis (FKeyPatID);
CREATE UNIQUE INDEX ixDosisEventUID ON tblDosis (IrradiationEventUID);
PRAGMA user_version = 2;
