#include "core/VbConvert.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A "&H"/"&O" literal. Four hex digits (or six octal) without the trailing "&"
// are a 16-bit literal, so "&HFFFF" is -1 while "&HFFFF&" is 65535.
std::optional<qint64> parseRadixLiteral(const QString &t)
{
    if (t.size() < 3 || t[0] != QLatin1Char('&'))
        return std::nullopt;
    const QChar kind = t[1].toUpper();
    int base = 0;
    if (kind == QLatin1Char('H'))
        base = 16;
    else if (kind == QLatin1Char('O'))
        base = 8;
    else
        return std::nullopt;
    QString digits = t.mid(2);
    bool longSuffix = false;
    if (digits.endsWith(QLatin1Char('&'))) {
        longSuffix = true;
        digits.chop(1);
    } else if (digits.endsWith(QLatin1Char('%'))) {
        digits.chop(1);
    }
    if (digits.isEmpty() || digits.size() > (base == 16 ? 8 : 11))
        return std::nullopt;
    bool ok = false;
    const quint64 raw = digits.toULongLong(&ok, base);
    if (!ok || raw > 0xFFFFFFFFull)
        return std::nullopt;
    if (!longSuffix && raw <= 0xFFFF)
        return static_cast<qint64>(static_cast<qint16>(static_cast<quint16>(raw)));
    return static_cast<qint64>(static_cast<qint32>(static_cast<quint32>(raw)));
}

std::optional<qint64> toRounded(const QString &text, const QLocale &locale, qint64 lo, qint64 hi)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    std::optional<qint64> value = parseRadixLiteral(t);
    if (!value) {
        if (t.startsWith(QLatin1Char('&')))
            return std::nullopt;
        bool ok = false;
        const double d = locale.toDouble(t, &ok);
        if (!ok || !std::isfinite(d))
            return std::nullopt;
        const double r = std::rint(d); // half to even under the default rounding mode
        if (r < static_cast<double>(lo) || r > static_cast<double>(hi))
            return std::nullopt;
        value = static_cast<qint64>(r);
    }
    if (*value < lo || *value > hi)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<qint16> ToInt16(const QString &text, const QLocale &locale)
{
    const auto v = toRounded(text, locale, std::numeric_limits<qint16>::min(),
                             std::numeric_limits<qint16>::max());
    if (!v)
        return std::nullopt;
    return static_cast<qint16>(*v);
}

std::optional<qint32> ToInt32(const QString &text, const QLocale &locale)
{
    const auto v = toRounded(text, locale, std::numeric_limits<qint32>::min(),
                             std::numeric_limits<qint32>::max());
    if (!v)
        return std::nullopt;
    return static_cast<qint32>(*v);
}

int LeadingWholeNumber(const QString &text)
{
    // Leading blanks, a sign, digits and one decimal point, as far as they go.
    const QString t = text.trimmed();
    int i = 0;
    QString number;
    if (i < t.size() && (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+')))
        number += t[i++];
    bool point = false;
    while (i < t.size() && (t[i].isDigit() || (!point && t[i] == QLatin1Char('.')))) {
        point = point || t[i] == QLatin1Char('.');
        number += t[i++];
    }
    bool ok = false;
    const double d = number.toDouble(&ok);
    if (!ok)
        return 0;
    return static_cast<int>(std::clamp(std::floor(d), -2147483648.0, 2147483647.0));
}
