#pragma once

// What the send tests share: studies filed as the receiver files them, and a
// send job run in the progress dialog to its OK.
#include "network/SendJobs.h"
#include "toolkit/SyntheticImage.h"

#include <QList>
#include <QString>
#include <QStringList>

class TestFolder;

struct FiledStudy {
    qlonglong patient = 0, study = 0;
    QList<qlonglong> series;
    QString uid;
    QStringList images;
};

// Rows in the image database and synthetic images below images/<StudyUID>/;
// a patient key of 0 files a new patient.
FiledStudy FileStudy(const TestFolder &folder, const QString &patientId, int seriesCount, int imagesPerSeries, qlonglong patientKey = 0,
                     SyntheticImageSpec::Encoding encoding = SyntheticImageSpec::Encoding::ExplicitLittle);

// A fresh station in the folder for the send tests: its databases, bin/, the
// settings read from it and the database paths set.
bool PrepareSendStation(const TestFolder &folder);

// Rows of an image-database table.
int CountRows(const QString &table);

// Runs the send job of the mode (0 series, 1 study, 2 patient) in the
// progress dialog as the launchers do, presses its OK and returns its text.
QString RunSendJob(qint16 mode, SendJob &job);
