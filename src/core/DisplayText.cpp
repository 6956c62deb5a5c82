#include "core/DisplayText.h"

#include <QStringList>

QString DateText(const QDate &date, const QLocale &locale)
{
    return date.isValid() ? locale.toString(date, QLocale::ShortFormat) : QString();
}

namespace {

// yyyyMMdd, yyyy-MM-dd or yyyy.MM.dd, read by position: a list formats one
// a row, and Qt's format parser made the patient list twice as slow.
QDate StoredDate(QStringView t)
{
    const bool separated = t.size() == 10 && t[4] == t[7] && (t[4] == u'-' || t[4] == u'.');
    if (t.size() != 8 && !separated)
        return {};
    int digits[8];
    int n = 0;
    for (qsizetype i = 0; i < t.size(); ++i) {
        if (separated && (i == 4 || i == 7))
            continue;
        if (t[i] < u'0' || t[i] > u'9')
            return {};
        digits[n++] = t[i].unicode() - u'0';
    }
    const int year = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
    return QDate(year, digits[4] * 10 + digits[5], digits[6] * 10 + digits[7]);
}

} // namespace

QString StoredDateText(const QString &stored, const QLocale &locale)
{
    const QDate d = StoredDate(QStringView(stored).trimmed());
    return d.isValid() ? DateText(d, locale) : stored;
}

QString PersonNameText(const QString &pn)
{
    // The alphabetic group only; an ideographic or phonetic one follows a "=".
    const QStringList parts = pn.section(QLatin1Char('='), 0, 0).split(QLatin1Char('^'));
    if (parts.size() < 2)
        return pn.section(QLatin1Char('='), 0, 0).trimmed();
    QStringList spoken;
    for (int i : {3, 1, 2, 0, 4}) {
        const QString p = parts.value(i).trimmed();
        if (!p.isEmpty())
            spoken << p;
    }
    return spoken.join(QLatin1Char(' '));
}
