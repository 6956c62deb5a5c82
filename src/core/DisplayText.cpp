#include "core/DisplayText.h"

#include <QStringList>

QString DateText(const QDate &date, const QLocale &locale)
{
    return date.isValid() ? locale.toString(date, QLocale::ShortFormat) : QString();
}

QString StoredDateText(const QString &stored, const QLocale &locale)
{
    const QString t = stored.trimmed();
    for (const char *format : {"yyyyMMdd", "yyyy-MM-dd", "yyyy.MM.dd"}) {
        const QDate d = QDate::fromString(t, QLatin1String(format));
        if (d.isValid())
            return DateText(d, locale);
    }
    return stored;
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
