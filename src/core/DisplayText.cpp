#include "core/DisplayText.h"

#include <QStringList>

#include <algorithm>

ShortDateForm::ShortDateForm(const QLocale &locale) : locale_(locale)
{
    const QString form = locale.dateFormat(QLocale::ShortFormat);
    byQLocale_ = locale.zeroDigit() != QLatin1Char('0');
    for (qsizetype i = 0; i < form.size() && !byQLocale_;) {
        const QChar c = form[i];
        if (c == QLatin1Char('\'')) {
            // Quoted text; '' is one quote.
            Part literal;
            qsizetype j = i + 1;
            if (j < form.size() && form[j] == QLatin1Char('\'')) {
                literal.literal = QStringLiteral("'");
                i = j + 1;
            } else {
                while (j < form.size()) {
                    if (form[j] == QLatin1Char('\'') && j + 1 < form.size() && form[j + 1] == QLatin1Char('\'')) {
                        literal.literal += QLatin1Char('\'');
                        j += 2;
                    } else if (form[j] == QLatin1Char('\'')) {
                        break;
                    } else {
                        literal.literal += form[j++];
                    }
                }
                i = j + 1;
            }
            parts_ << literal;
            continue;
        }
        qsizetype run = 1;
        while (i + run < form.size() && form[i + run] == c)
            ++run;
        if (c == QLatin1Char('d') || c == QLatin1Char('M')) {
            const int width = int(std::min<qsizetype>(run, 4));
            parts_ << Part{char(c.unicode()), width, {}};
            i += width;
        } else if (c == QLatin1Char('y') && run >= 2) {
            const int width = run >= 4 ? 4 : 2;
            parts_ << Part{'y', width, {}};
            i += width;
        } else if (c.isLetter()) {
            byQLocale_ = true; // a field this reader does not know
        } else {
            parts_ << Part{0, 0, QString(c)};
            ++i;
        }
    }
    if (byQLocale_)
        return;
    for (const Part &p : parts_) {
        const int form = p.width == 3 ? 0 : 1;
        const QLocale::FormatType type = p.width == 3 ? QLocale::ShortFormat : QLocale::LongFormat;
        if (p.width > 2 && p.field == 'M' && monthNames_[form].isEmpty())
            for (int m = 1; m <= 12; ++m)
                monthNames_[form] << locale.monthName(m, type);
        if (p.width > 2 && p.field == 'd' && dayNames_[form].isEmpty())
            for (int d = 1; d <= 7; ++d)
                dayNames_[form] << locale.dayName(d, type);
    }
    // Names as QLocale gives them here (some forms want a month's standalone
    // name): each month and weekday of 2001 checked once, else QLocale decides.
    for (QDate probe(2001, 1, 1); probe.year() == 2001 && !byQLocale_; probe = probe.addDays(probe.month() == 1 && probe.day() < 7 ? 1 : 31))
        byQLocale_ = text(probe) != locale.toString(probe, QLocale::ShortFormat);
}

QString ShortDateForm::text(const QDate &date) const
{
    if (!date.isValid())
        return {};
    if (byQLocale_ || date.year() < 1 || date.year() > 9999)
        return locale_.toString(date, QLocale::ShortFormat);
    QString out;
    out.reserve(12);
    auto number = [&out](int v, int width) {
        char digits[8];
        int n = 0;
        do
            digits[n++] = char('0' + v % 10);
        while ((v /= 10) > 0 && n < 8);
        for (int pad = n; pad < width; ++pad)
            out += QLatin1Char('0');
        while (n > 0)
            out += QLatin1Char(digits[--n]);
    };
    int year = 0, month = 0, day = 0;
    date.getDate(&year, &month, &day); // one calendar reckoning, not three
    for (const Part &p : parts_) {
        switch (p.field) {
        case 'd':
            if (p.width > 2)
                out += dayNames_[p.width == 3 ? 0 : 1].value(date.dayOfWeek() - 1);
            else
                number(day, p.width);
            break;
        case 'M':
            if (p.width > 2)
                out += monthNames_[p.width == 3 ? 0 : 1].value(month - 1);
            else
                number(month, p.width);
            break;
        case 'y': number(p.width == 2 ? year % 100 : year, p.width); break;
        default: out += p.literal; break;
        }
    }
    return out;
}

QString DateText(const QDate &date, const QLocale &locale)
{
    // One date: reading the form would cost more than it saves.
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

QString StoredDateText(const QString &stored, const ShortDateForm &form)
{
    const QDate d = StoredDate(QStringView(stored).trimmed());
    return d.isValid() ? form.text(d) : stored;
}

QString StoredDateText(const QString &stored, const QLocale &locale)
{
    return StoredDateText(stored, ShortDateForm(locale));
}

QString StoredTimeText(const QString &stored, const QLocale &locale)
{
    QStringView t = QStringView(stored).trimmed();
    if (t.isEmpty())
        return stored;
    // The old form's colons go; the fraction of a second is not shown.
    QString digits;
    const bool colons = t.size() >= 5 && t[2] == QLatin1Char(':');
    if (const qsizetype dot = t.indexOf(QLatin1Char('.')); dot >= 0)
        t = t.left(dot);
    for (qsizetype i = 0; i < t.size(); ++i) {
        if (colons && (i == 2 || i == 5) && t[i] == QLatin1Char(':'))
            continue;
        if (t[i] < QLatin1Char('0') || t[i] > QLatin1Char('9'))
            return stored;
        digits += t[i];
    }
    if (digits.size() != 2 && digits.size() != 4 && digits.size() != 6)
        return stored;
    const int h = digits.mid(0, 2).toInt(), m = digits.size() >= 4 ? digits.mid(2, 2).toInt() : 0, s = digits.size() == 6 ? digits.mid(4, 2).toInt() : 0;
    // A leap second (60) is still that minute.
    const QTime time(h, m, std::min(s, 59));
    return time.isValid() ? locale.toString(time, QLocale::ShortFormat) : stored;
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
