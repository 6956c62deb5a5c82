-- The exposure journal. Decoders write some columns by position, so the first
-- eleven columns keep this order.
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
  FKeyPatID TEXT
);
CREATE INDEX ixDosisDatumStatus ON tblDosis (Datum, Status);
CREATE INDEX ixDosisStatus ON tblDosis (Status);
CREATE INDEX ixDosisFKeyPatID ON tblDosis (FKeyPatID);
