#pragma once

#include <QString>

// What the DICOM data dictionary says of one attribute.
struct AttributeInfo {
    bool known = false;
    QString vr;      // two upper-case letters; the first one where the dictionary allows several
    QString keyword; // "PatientName"
};

AttributeInfo LookupAttribute(quint16 group, quint16 element);

// "PatientBirthDate" → "Patient Birth Date", "SOPInstanceUID" → "SOP Instance UID".
QString DescriptionFromKeyword(const QString &keyword);
