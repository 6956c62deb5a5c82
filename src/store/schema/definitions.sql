-- The definitions database: storage partners, the data dictionary with its
-- modality filters, and the saved rule sets.
CREATE TABLE tblSCP (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  Alias TEXT,
  AET TEXT,
  IP TEXT,
  Port TEXT,
  "Default" INTEGER NOT NULL DEFAULT 0,
  -- Schema version 5: -1 when the partner is reached over TLS.
  TLS INTEGER NOT NULL DEFAULT 0
);

-- The partners the receiver admits when the site ticks "Known partners only":
-- calling AE title, host (address or name), optionally the subject of its TLS
-- certificate, and what it may do. Schema version 4.
CREATE TABLE tblKnownPartner (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  AET TEXT NOT NULL,
  Host TEXT NOT NULL,
  Subject TEXT NOT NULL DEFAULT '',
  MayStore INTEGER NOT NULL DEFAULT 1,
  MayEcho INTEGER NOT NULL DEFAULT 1
);

-- One yes/no column per modality filter is added at run time.
CREATE TABLE tblDictionary (
  "Index" INTEGER PRIMARY KEY AUTOINCREMENT,
  Tag TEXT NOT NULL,
  Type TEXT,
  Description TEXT,
  Visible INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX ixDictionaryTag ON tblDictionary (Tag);

CREATE TABLE tblModality (
  Modality TEXT NOT NULL
);

CREATE TABLE tblRules (
  fName TEXT,
  fLevel TEXT,
  fSource TEXT,
  fTask TEXT,
  fTaskID TEXT,
  fTarget TEXT
);
CREATE INDEX ixRulesName ON tblRules (fName);

CREATE TABLE tblRuleKey (
  fKeyName TEXT
);

-- Dose: one calibration in use per X-ray unit type (older ones stay,
-- superseded, for the exposures that used them), its target/filter per kV range
-- and its beam (HVL and output per kV and target/filter); the factor tables
-- the physicist loads; the reference-level sets. Schema version 1; version 2
-- adds the paddle's transmission where the output was measured without it
-- (store/SchemaVersion.cpp brings older files to the same shape).
CREATE TABLE tblDoseCalibration (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  Unit INTEGER NOT NULL,
  ReportedDose TEXT NOT NULL,
  Backscatter REAL,
  ReportedAt TEXT NOT NULL,
  ReportedDistance REAL,
  FocusSupport REAL NOT NULL,
  OutputDistance REAL NOT NULL,
  PaddleInBeam INTEGER NOT NULL DEFAULT 0,
  CalibratedOn TEXT NOT NULL,
  CalibratedBy TEXT NOT NULL,
  Superseded INTEGER NOT NULL DEFAULT 0,
  PaddleTransmission REAL
);

CREATE TABLE tblDoseTargetFilter (
  CalibrationID INTEGER NOT NULL REFERENCES tblDoseCalibration (ID),
  UpToKV REAL,
  TargetFilter TEXT NOT NULL
);

CREATE TABLE tblDoseBeam (
  CalibrationID INTEGER NOT NULL REFERENCES tblDoseCalibration (ID),
  TargetFilter TEXT NOT NULL,
  KV REAL NOT NULL,
  HVL REAL NOT NULL,
  Output REAL NOT NULL
);
CREATE INDEX ixDoseBeamCalibration ON tblDoseBeam (CalibrationID);

CREATE TABLE tblDoseFactor (
  Factor TEXT NOT NULL,
  TargetFilter TEXT,
  HVL REAL,
  Thickness REAL,
  Value REAL NOT NULL
);

CREATE TABLE tblDoseFactorSource (
  FileName TEXT NOT NULL,
  LoadedAt TEXT NOT NULL
);

CREATE TABLE tblReferenceSet (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  Name TEXT NOT NULL UNIQUE,
  Source TEXT NOT NULL,
  Active INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE tblReferenceLevel (
  SetID INTEGER NOT NULL REFERENCES tblReferenceSet (ID),
  View TEXT NOT NULL,
  FromThickness REAL NOT NULL,
  ToThickness REAL NOT NULL,
  Quantity TEXT NOT NULL,
  Level REAL NOT NULL
);

-- Schema version 2: the X-ray unit as entered with each calibration; its
-- device UID stays across the unit type's calibrations until the unit is
-- replaced.
CREATE TABLE tblXrayUnit (
  CalibrationID INTEGER PRIMARY KEY REFERENCES tblDoseCalibration (ID),
  Manufacturer TEXT NOT NULL,
  Model TEXT NOT NULL,
  SerialNumber TEXT NOT NULL,
  DeviceUID TEXT NOT NULL
);

PRAGMA user_version = 5;
