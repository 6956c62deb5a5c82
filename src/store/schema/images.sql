-- The image database: patients, studies, series, images and the receipt table.
-- The companion receiver writes these tables; the workstation reads and deletes.
-- A removed patient, study or series takes the rows below it along.
CREATE TABLE tblPatienten (
  PatID INTEGER PRIMARY KEY AUTOINCREMENT,
  PatID1 TEXT NOT NULL,
  PatNachname TEXT,
  PatVorname TEXT,
  Pat2Vorname TEXT,
  PatGebDatum TEXT,
  PatSex TEXT
);
CREATE UNIQUE INDEX ixPatientenPatID1 ON tblPatienten (PatID1);

CREATE TABLE tblStudies (
  StudyID INTEGER PRIMARY KEY AUTOINCREMENT,
  StudyUID TEXT NOT NULL,
  FKeyPATID INTEGER NOT NULL REFERENCES tblPatienten (PatID) ON DELETE CASCADE,
  StudyDate TEXT,
  StudyTime TEXT,
  Modality TEXT,
  Bodypart TEXT,
  AccessionNumber TEXT,
  StudyDescription TEXT
);
CREATE UNIQUE INDEX ixStudiesStudyUID ON tblStudies (StudyUID);
CREATE INDEX ixStudiesFKeyPATID ON tblStudies (FKeyPATID);

CREATE TABLE tblSeries (
  SeriesID INTEGER PRIMARY KEY AUTOINCREMENT,
  SeriesUID TEXT NOT NULL,
  SeriesNr INTEGER,
  FKeyStudyID INTEGER NOT NULL REFERENCES tblStudies (StudyID) ON DELETE CASCADE,
  Modality TEXT,
  SeriesDescription TEXT
);
CREATE UNIQUE INDEX ixSeriesSeriesUID ON tblSeries (SeriesUID);
CREATE INDEX ixSeriesFKeyStudyID ON tblSeries (FKeyStudyID);

CREATE TABLE tblImages (
  ImageID INTEGER PRIMARY KEY AUTOINCREMENT,
  ImageUID TEXT NOT NULL,
  ImageNr INTEGER,
  FKeySeriesID INTEGER NOT NULL REFERENCES tblSeries (SeriesID) ON DELETE CASCADE,
  ImageDate TEXT,
  ImageTime TEXT,
  SOPClassUID TEXT,
  ViewPosition TEXT,
  ImageLaterality TEXT
);
CREATE UNIQUE INDEX ixImagesImageUID ON tblImages (ImageUID);
CREATE INDEX ixImagesFKeySeriesID ON tblImages (FKeySeriesID);

-- One row per stored object; the workstation counts the rows and empties the table.
CREATE TABLE tblReceive (
  ReceiveID INTEGER PRIMARY KEY AUTOINCREMENT,
  PatID TEXT,
  ImageUID TEXT,
  ReceivedAt TEXT
);

CREATE VIEW view_studies AS
  SELECT p.PatID1 AS PatID1, s.StudyID AS StudyID, s.StudyUID AS StudyUID,
         s.StudyDate AS StudyDate, s.StudyTime AS StudyTime,
         s.Modality AS Modality, s.Bodypart AS Bodypart
  FROM tblStudies s JOIN tblPatienten p ON p.PatID = s.FKeyPATID;

CREATE VIEW View_Images AS
  SELECT i.ImageID AS ImageID, i.ImageDate AS ImageDate, i.ImageTime AS ImageTime,
         i.ImageUID AS ImageUID, i.FKeySeriesID AS FKeySeriesID, s.StudyUID AS StudyUID,
         i.ImageNr AS ImageNr
  FROM tblImages i
  JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID
  JOIN tblStudies s ON s.StudyID = r.FKeyStudyID;

PRAGMA user_version = 1;
