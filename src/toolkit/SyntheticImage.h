#pragma once

#include "toolkit/Result.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// A made-up mammogram with chosen attributes, for tests, benchmarks and the
// demo station. Empty UIDs are generated.
struct SyntheticImageSpec {
    QString patientName = QStringLiteral("Doe^Jane");
    QString patientId = QStringLiteral("PAT0001");
    QString birthDate = QStringLiteral("19620314");
    QString sex = QStringLiteral("F");
    QString studyUid;
    QString seriesUid;
    QString sopUid;
    QString studyDate = QStringLiteral("20261206");
    QString studyTime = QStringLiteral("091500");
    QString accessionNumber = QStringLiteral("ACC0001");
    QString modality = QStringLiteral("MG");
    QString bodyPart = QStringLiteral("BREAST");
    QString viewPosition = QStringLiteral("CC"); // CC, MLO, ...
    QString laterality = QStringLiteral("L");    // L or R
    int seriesNumber = 1;
    int instanceNumber = 1;
    int rows = 256;
    int columns = 192;
    int bitsStored = 12; // 8 gives 8-bit pixels, anything above 16-bit words
    bool monochrome1 = false;
    QString sopClassUid = QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"); // mammography, for presentation

    enum class Encoding { ExplicitLittle, ImplicitLittle, JpegLossless, JpegLs, Rle, Jpeg2000Lossless, Jpeg2000 };
    Encoding encoding = Encoding::ExplicitLittle;
    // Jpeg2000: the compression ratio of the irreversible code stream.
    double jpeg2000Ratio = 10;

    // Further attributes as ("gggg,eeee", value); the dictionary gives the VR.
    QList<QPair<QString, QString>> extra;
    // The Specific Character Set the texts are written in (a single-byte set or UTF-8).
    QString characterSet = QStringLiteral("ISO_IR 192");
    // Attributes ("gggg,eeee") left out, as a lean detector header leaves them.
    QStringList omit;
};

// Writes the image as a DICOM file; the reason when it cannot.
Result WriteSyntheticImage(const SyntheticImageSpec &spec, const QString &path);

// A fresh UID below DCMTK's root.
QString NewSyntheticUid();
