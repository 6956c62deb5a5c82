#pragma once

#include <QLocale>
#include <QString>
#include <optional>

// Text-to-number conversions with the rules the stored settings were written
// under: the workstation's locale, "&H…" hexadecimal literals ("&H…&" is a
// 32-bit literal, four hex digits without the "&" a 16-bit one), rounding half
// to even, and overflow as a failure rather than a wrap.
std::optional<qint16> ToInt16(const QString &text, const QLocale &locale = QLocale());
std::optional<qint32> ToInt32(const QString &text, const QLocale &locale = QLocale());

// Leading number of a text as a whole number rounded down; 0 when the text
// does not start with a number ("12.7s" → 12).
int LeadingWholeNumber(const QString &text);
