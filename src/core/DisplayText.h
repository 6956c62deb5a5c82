#pragma once

// How the lists show dates and person names. The stored forms (DICOM DA
// "19620314", the journal's "2026-12-08", PN "Ref^Doc") stay as they are;
// only what the operator reads goes through here.
#include <QDate>
#include <QLocale>
#include <QString>

// The locale's short date: one form in every list.
QString DateText(const QDate &date, const QLocale &locale = QLocale());

// A stored date (DICOM DA yyyyMMdd, ISO yyyy-MM-dd) in the locale's short
// date; a text that is no date is shown as it stands.
QString StoredDateText(const QString &stored, const QLocale &locale = QLocale());

// A DICOM person name (family^given^middle^prefix^suffix, its alphabetic
// group) as it is spoken: "Ref^Doc" is "Doc Ref", "Smith^John^^Dr." is
// "Dr. John Smith".
QString PersonNameText(const QString &pn);
