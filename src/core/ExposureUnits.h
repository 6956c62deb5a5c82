#pragma once

// Exposure values as the X-ray unit reported them, turned into the units and
// the text form of their DICOM attributes.

#include <QString>
#include <QStringList>

// The exposure values in the units of their attributes, as DICOM text: KVP in
// kV, Exposure in mAs, Exposure Time in ms, Body Part Thickness in mm,
// Compression Force in N, Entrance Dose in mGy. The journal keeps what each
// unit type sent; here a unit text after the number ("1.61mGy", "4.5 CM") is
// read and converted, and so are the units each type sends without one
// (type 1's exposure time in s and compression in kg x 10, type 3's thickness
// in cm). A value not reported, or reported as 0, stays empty: it is no
// measurement, and the detector's own value stays in the image.
// The values of the exposure the operator clicked last, read by header stamping.
struct ExposureValues {
    QString kV;
    QString mAs;
    QString thickness;
    QString compression;
    QString dose;
    QString other; // the projection
    // The exposure's dose as the journal holds it: AGD in mGy, HVL in mm Al,
    // the calibrated target/filter ("W/Rh") and what the unit's reported dose
    // is ("IAK" or "ESAK"); each empty when unknown.
    QString agd, hvl, targetFilter, doseDerivation;
    qlonglong journalId = 0; // the journal row; 0 when none
    QString eventUid;        // the row's Irradiation Event UID
};

// What closing a send or a dose-list command does with the listed exposures.
enum class DoseAssignment : qint16 {
    None = 0,
    AllListed = 1,      // every listed row goes to the selected patient
    RemoveSelected = 2, // the selected row leaves the list
    AssignSelected = 3, // the selected row goes to the selected patient
};

struct HeaderExposureValues {
    QString kvp, exposureTime, mas, thickness, compression, dose;
    QString microAs; // the exposure in microampere-seconds, which keeps the fraction of a mAs
    // Organ Dose in dGy (the AGD), Half Value Layer, Entrance Dose Derivation
    // (only beside an Entrance Dose), Anode Target Material and Filter
    // Material as defined terms; empty when unknown.
    QString organDose, hvl, doseDerivation, anodeTarget, filterMaterial;
    QString irradiationEventUid; // of the exposure that made the image
    QStringList notNumbers; // names of the attributes whose text is no number
};
HeaderExposureValues ExposureValuesForHeader(qint16 unitType, const ExposureValues &values, const QString &exposureTime);

// A decimal string as DICOM writes it ("1,25" → "1.25"); empty when the text is no number.
QString DecimalString(const QString &text);
// A whole number as DICOM writes it ("63,4" → "63"); empty when the text is no number.
QString IntegerString(const QString &text);
