-- The definitions database: storage partners, the data dictionary with its
-- modality filters, and the saved rule sets.
CREATE TABLE tblSCP (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  Alias TEXT,
  AET TEXT,
  IP TEXT,
  Port TEXT,
  "Default" INTEGER NOT NULL DEFAULT 0
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
