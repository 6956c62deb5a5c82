#include "core/ExposureUnits.h"

#include <QHash>
#include <QRegularExpression>

#include <cmath>

namespace {

double parseNumber(const QString &text, bool *ok)
{
    QString t = text.trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    static const QRegularExpression number(QStringLiteral("^[+-]?(\\d+(\\.\\d*)?|\\.\\d+)([eE][+-]?\\d+)?$"));
    *ok = number.match(t).hasMatch();
    return *ok ? t.toDouble() : 0.0;
}

} // namespace

QString DecimalString(const QString &text)
{
    bool ok = false;
    const double v = parseNumber(text, &ok);
    if (!ok || !std::isfinite(v))
        return {};
    // Up to 16 characters, as the decimal-string type allows.
    QString s = QString::number(v, 'g', 12);
    if (s.size() > 16)
        s = QString::number(v, 'g', 8);
    return s;
}

QString IntegerString(const QString &text)
{
    bool ok = false;
    const double v = parseNumber(text, &ok);
    if (!ok || !std::isfinite(v) || std::fabs(v) > 2147483647.0)
        return {};
    return QString::number(static_cast<qlonglong>(std::llround(v)));
}

namespace {

// A number with an optional unit text after it ("4.5cm", "1,61 mGy", "28").
struct Measure {
    bool ok = false;
    double value = 0.0;
    QString unit; // lower case
};

Measure readMeasure(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^\\s*([+-]?(?:\\d+(?:[.,]\\d*)?|[.,]\\d+)(?:[eE][+-]?\\d+)?)\\s*([A-Za-z\\x{00B5}]*)\\s*$"));
    const QRegularExpressionMatch m = re.match(text);
    Measure out;
    if (!m.hasMatch())
        return out;
    out.value = parseNumber(m.captured(1), &out.ok);
    out.unit = m.captured(2).toLower();
    return out;
}

// The factor from the unit text to the attribute's unit; 0 for a text that
// names another quantity.
double factorTo(const QString &target, const QString &unit)
{
    static const QHash<QString, QHash<QString, double>> factors{
        {QStringLiteral("kv"), {{QStringLiteral("kv"), 1.0}, {QStringLiteral("kvp"), 1.0}}},
        {QStringLiteral("mas"), {{QStringLiteral("mas"), 1.0}}},
        {QStringLiteral("ms"), {{QStringLiteral("ms"), 1.0}, {QStringLiteral("s"), 1000.0}}},
        {QStringLiteral("mm"), {{QStringLiteral("mm"), 1.0}, {QStringLiteral("cm"), 10.0}}},
        {QStringLiteral("n"), {{QStringLiteral("n"), 1.0}, {QStringLiteral("dan"), 10.0}, {QStringLiteral("kg"), 9.80665}}},
        {QStringLiteral("mgy"), {{QStringLiteral("mgy"), 1.0}, {QStringLiteral("ugy"), 0.001}, {QString::fromUtf8("\u00b5gy"), 0.001}}},
    };
    if (unit.isEmpty() || unit == target)
        return 1.0;
    return factors.value(target).value(unit, 0.0);
}

} // namespace

HeaderExposureValues ExposureValuesForHeader(qint16 unitType, const ExposureValues &values, const QString &exposureTime)
{
    HeaderExposureValues out;
    // text, the attribute's unit, the unit the type sends without a unit text,
    // whole numbers, where to put it, the attribute's name
    const struct {
        const QString &text;
        const char *unit;
        const char *sentAs;
        bool integer;
        QString *target;
        const char *name;
    } items[] = {
        {values.kV, "kv", "kv", false, &out.kvp, "KVP"},
        {exposureTime, "ms", unitType == 1 ? "s" : "ms", true, &out.exposureTime, "Exposure Time"},
        {values.mAs, "mas", "mas", true, &out.mas, "Exposure"},
        {values.thickness, "mm", unitType == 3 ? "cm" : "mm", false, &out.thickness, "Body Part Thickness"},
        // Type 1 journals kilograms times ten.
        {values.compression, "n", unitType == 1 ? "kg" : "n", false, &out.compression, "Compression Force"},
        {values.dose, "mgy", "mgy", false, &out.dose, "Entrance Dose in mGy"},
    };
    for (const auto &item : items) {
        if (item.text.trimmed().isEmpty())
            continue;
        const Measure m = readMeasure(item.text);
        const QString unit = m.unit.isEmpty() ? QString::fromLatin1(item.sentAs) : m.unit;
        double factor = factorTo(QString::fromLatin1(item.unit), unit);
        if (unitType == 1 && m.unit.isEmpty() && unit == QLatin1String("kg"))
            factor /= 10.0;
        if (!m.ok || factor == 0.0 || !std::isfinite(m.value)) {
            out.notNumbers << QString::fromLatin1(item.name);
            continue;
        }
        const double v = m.value * factor;
        if (v == 0.0)
            continue;
        const QString number = QString::number(v, 'f', 6);
        *item.target = item.integer ? IntegerString(number) : DecimalString(QString::number(v, 'g', 8));
        if (item.target == &out.mas && std::fabs(v) < 2000000.0)
            out.microAs = QString::number(std::llround(v * 1000.0));
    }
    auto positive = [](const QString &text, double factor) {
        bool ok = false;
        const double v = text.trimmed().toDouble(&ok) * factor;
        return ok && v > 0 && std::isfinite(v) ? DecimalString(QString::number(v, 'g', 8)) : QString();
    };
    out.organDose = positive(values.agd, 0.01); // mGy → dGy
    out.hvl = positive(values.hvl, 1.0);
    if (!out.dose.isEmpty() && (values.doseDerivation == QLatin1String("IAK") || values.doseDerivation == QLatin1String("ESAK")))
        out.doseDerivation = values.doseDerivation;
    // The defined terms, with the US spelling of aluminium.
    static const QHash<QString, QString> anodes = {{QStringLiteral("W"), QStringLiteral("TUNGSTEN")},
                                                   {QStringLiteral("Mo"), QStringLiteral("MOLYBDENUM")},
                                                   {QStringLiteral("Rh"), QStringLiteral("RHODIUM")}};
    static const QHash<QString, QString> filters = {{QStringLiteral("Mo"), QStringLiteral("MOLYBDENUM")},
                                                    {QStringLiteral("Rh"), QStringLiteral("RHODIUM")},
                                                    {QStringLiteral("Al"), QStringLiteral("ALUMINUM")},
                                                    {QStringLiteral("Ag"), QStringLiteral("SILVER")},
                                                    {QStringLiteral("Cu"), QStringLiteral("COPPER")}};
    out.irradiationEventUid = values.eventUid;
    const QStringList pair = values.targetFilter.split(QLatin1Char('/'));
    if (pair.size() == 2) {
        out.anodeTarget = anodes.value(pair[0].trimmed());
        out.filterMaterial = filters.value(pair[1].trimmed());
    }
    return out;
}

