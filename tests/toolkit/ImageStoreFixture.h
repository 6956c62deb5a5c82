#pragma once

// An image database and images folder filled the way the companion receiver
// fills them: images/<StudyUID>/<SOPUID>.dcm, one row per patient, study,
// series and image, and a tblReceive row per image.

#include "toolkit/SyntheticImage.h"

#include <QList>
#include <QString>
#include <QVariant>

struct FixtureSeries {
    int seriesNr = 1;
    QList<SyntheticImageSpec> images; // patient, study and series fields are filled in
    QString seriesUid;                // filled in
    qlonglong seriesKey = 0;          // tblSeries.SeriesID, filled in
};

struct FixtureStudy {
    QString patientId = QStringLiteral("PAT0001");
    QString family = QStringLiteral("Doe");
    QVariant given = QStringLiteral("Jane"); // a null QVariant stores NULL
    QString birthDate = QStringLiteral("19620314");
    QString studyUid;                         // new when empty
    QString studyDate = QStringLiteral("20261206");
    QList<FixtureSeries> series;
    qlonglong patientKey = 0; // filled in
    qlonglong studyKey = 0;   // filled in
};

// The four views of a screening: R CC, L CC, R MLO, L MLO.
QList<SyntheticImageSpec> FourViews(int rows = 256, int columns = 192, int bits = 12, bool monochrome1 = false);

// Makes Data/*.dat in appFolder with the build's lumora-mkdb. False with a reason.
bool MakeImageStore(const QString &appFolder, QString *error);

// Writes the study's files and rows into the open image database of appFolder.
bool AddStudy(const QString &appFolder, FixtureStudy &study, QString *error, bool receipt = true);
