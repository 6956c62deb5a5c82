#pragma once

// How the lists show dates and person names. The stored forms (DICOM DA
// "19620314", the journal's "2026-12-08", PN "Ref^Doc") stay as they are;
// only what the operator reads goes through here.
#include <QDate>
#include <QLocale>
#include <QString>

#include <QList>
#include <QStringList>

// The locale's short date form, read once: Qt reads the form anew for each
// date, which made a list of 10,000 patients twice as slow. Digits other
// than 0-9, or names that differ from QLocale's, leave it to QLocale.
class ShortDateForm {
public:
    explicit ShortDateForm(const QLocale &locale = QLocale());
    QString text(const QDate &date) const;

private:
    struct Part {
        char field = 0; // 'd', 'M', 'y'; 0: the literal text
        int width = 0;
        QString literal;
    };
    QLocale locale_;
    QList<Part> parts_;
    QStringList monthNames_[2], dayNames_[2]; // short and long, as the form uses them
    bool byQLocale_ = false;
};

// The locale's short date: one form in every list. A list of many rows
// formats through one ShortDateForm.
QString DateText(const QDate &date, const QLocale &locale = QLocale());

// A stored date (DICOM DA yyyyMMdd, ISO yyyy-MM-dd) in the locale's short
// date; a text that is no date is shown as it stands.
QString StoredDateText(const QString &stored, const QLocale &locale = QLocale());
QString StoredDateText(const QString &stored, const ShortDateForm &form);

// A stored time (DICOM TM HHMMSS.FFFFFF, HHMM or HH, or the old HH:MM:SS) in
// the locale's short time form, "09:15" or "9:15 AM"; a text that is no time
// is shown as it stands. The lists sort by the stored form.
QString StoredTimeText(const QString &stored, const QLocale &locale = QLocale());

// A DICOM person name (family^given^middle^prefix^suffix, its alphabetic
// group) as it is spoken: "Ref^Doc" is "Doc Ref", "Smith^John^^Dr." is
// "Dr. John Smith".
QString PersonNameText(const QString &pn);
