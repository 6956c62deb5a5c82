#pragma once

#include "store/Database.h"

#include <QStringList>

// tblDictionary and tblModality of the definitions database.

// Adds the filter name to tblModality and its yes/no column (false in every
// row) to tblDictionary. The name must be a plain column name.
DbResult AddModalityFilter(Database &db, const QString &name);

// Fills tblDictionary with one visible row per tag of the list file (comments
// start with "#"), VR and description from the DICOM data dictionary. Tags the
// dictionary does not know are an error.
DbResult SeedDictionary(Database &db, const QString &tagListFile);

// The "MG" filter: the exposure values a mammography header carries.
DbResult SeedMammographyFilter(Database &db);

// The tags of the mammography filter.
QStringList MammographyFilterTags();
