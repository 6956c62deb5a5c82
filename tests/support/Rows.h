#pragma once

// The rows of an image database, counted in one comparison.
#include "support/Station.h"

// Rows of tblPatienten, tblStudies, tblSeries, tblImages and tblReceive.
using Counts = QList<qlonglong>;

// By default of the station's image database.
inline Counts ImageRows(const QString &db = ImageDatabaseFile())
{
    Counts out;
    for (const char *table : {"tblPatienten", "tblStudies", "tblSeries", "tblImages", "tblReceive"})
        out << CountRows(db, QLatin1String(table));
    return out;
}
