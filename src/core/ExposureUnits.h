#pragma once

// Exposure values as the X-ray unit reported them, turned into the units and
// the text form of their DICOM attributes.

#include <QString>
#include <QStringList>
#include <optional>

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
    // the target/filter ("W/Rh") and K, the incident air kerma at the breast's
    // upper surface in mGy; each empty when unknown.
    QString agd, hvl, targetFilter, kerma;
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
// Entrance Dose is K at the surface with derivation IAK where the journal has
// K; else the unit's reported dose without a derivation.
HeaderExposureValues ExposureValuesForHeader(qint16 unitType, const ExposureValues &values, const QString &exposureTime);

// One conversion per quantity, from the text a unit type journals to the
// attribute's unit, for the header, the dose arithmetic, the QA view and its
// exports alike.
enum class Quantity { Kv, ExposureTime, Exposure, Thickness, Compression, EntranceDose };
struct Converted {
    std::optional<double> value; // none when not reported, reported as 0, or no number
    bool notNumber = false;      // the text is no number of the quantity
};
Converted ConvertExposureValue(Quantity quantity, qint16 unitType, const QString &text);
// The same for a number journalled without a unit text, in the unit the type sends.
Converted ConvertExposureNumber(Quantity quantity, qint16 unitType, double number);
std::optional<double> KvOf(qint16 unitType, const QString &text);             // kV
std::optional<double> ExposureTimeMsOf(qint16 unitType, const QString &text); // ms
std::optional<double> MAsOf(qint16 unitType, const QString &text);            // mAs
std::optional<double> ThicknessMmOf(qint16 unitType, const QString &text);    // mm
std::optional<double> CompressionNOf(qint16 unitType, const QString &text);   // N
std::optional<double> ReportedDoseMGyOf(qint16 unitType, const QString &text); // mGy, the unit's own figure

// A decimal string as DICOM writes it ("1,25" → "1.25"); empty when the text is no number.
QString DecimalString(const QString &text);
// A whole number as DICOM writes it ("63,4" → "63"); empty when the text is no number.
QString IntegerString(const QString &text);
