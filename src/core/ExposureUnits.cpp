#include "core/ExposureUnits.h"

#include <QHash>
#include <QLocale>
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
    // Most journal texts are a plain number: read without the pattern.
    static const QLocale plain = [] {
        QLocale c = QLocale::c();
        c.setNumberOptions(QLocale::RejectGroupSeparator);
        return c;
    }();
    QString t = text.trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    if (const double v = plain.toDouble(t, &ok); ok)
        return {true, v, QString()};
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

namespace {

// How each quantity reaches its attribute: its unit, the unit each type sends
// without a unit text, and its name.
struct QuantityRule {
    const char *unit;
    const char *name;
};

QuantityRule ruleOf(Quantity q)
{
    switch (q) {
    case Quantity::Kv: return {"kv", "KVP"};
    case Quantity::ExposureTime: return {"ms", "Exposure Time"};
    case Quantity::Exposure: return {"mas", "Exposure"};
    case Quantity::Thickness: return {"mm", "Body Part Thickness"};
    case Quantity::Compression: return {"n", "Compression Force"};
    case Quantity::EntranceDose: return {"mgy", "Entrance Dose in mGy"};
    }
    return {"", ""};
}

// From the unit a type sends a quantity in when it writes none to the
// attribute's unit: type 1's exposure time in s and compression in kg x 10,
// type 3's thickness in cm; the others send the attribute's unit.
double sentFactor(Quantity q, qint16 unitType)
{
    if (q == Quantity::ExposureTime && unitType == 1)
        return 1000.0;
    if (q == Quantity::Thickness && unitType == 3)
        return 10.0;
    if (q == Quantity::Compression && unitType == 1)
        return 9.80665 / 10.0;
    return 1.0;
}

} // namespace

Converted ConvertExposureNumber(Quantity q, qint16 unitType, double number)
{
    Converted out;
    const double v = number * sentFactor(q, unitType);
    if (!std::isfinite(number) || !std::isfinite(v))
        out.notNumber = true;
    else if (v != 0.0)
        out.value = v;
    return out;
}

Converted ConvertExposureValue(Quantity q, qint16 unitType, const QString &text)
{
    Converted out;
    if (text.trimmed().isEmpty())
        return out;
    const Measure m = readMeasure(text);
    if (m.ok && m.unit.isEmpty())
        return ConvertExposureNumber(q, unitType, m.value);
    // A unit text says what the number is, whatever the type usually sends.
    const double factor = factorTo(QString::fromLatin1(ruleOf(q).unit), m.unit);
    if (!m.ok || factor == 0.0 || !std::isfinite(m.value) || !std::isfinite(m.value * factor)) {
        out.notNumber = true;
        return out;
    }
    const double v = m.value * factor;
    if (v != 0.0)
        out.value = v;
    return out;
}

std::optional<double> KvOf(qint16 unitType, const QString &text) { return ConvertExposureValue(Quantity::Kv, unitType, text).value; }
std::optional<double> ExposureTimeMsOf(qint16 unitType, const QString &text)
{
    return ConvertExposureValue(Quantity::ExposureTime, unitType, text).value;
}
std::optional<double> MAsOf(qint16 unitType, const QString &text) { return ConvertExposureValue(Quantity::Exposure, unitType, text).value; }
std::optional<double> ThicknessMmOf(qint16 unitType, const QString &text)
{
    return ConvertExposureValue(Quantity::Thickness, unitType, text).value;
}
std::optional<double> CompressionNOf(qint16 unitType, const QString &text)
{
    return ConvertExposureValue(Quantity::Compression, unitType, text).value;
}
std::optional<double> ReportedDoseMGyOf(qint16 unitType, const QString &text)
{
    return ConvertExposureValue(Quantity::EntranceDose, unitType, text).value;
}

HeaderExposureValues ExposureValuesForHeader(qint16 unitType, const ExposureValues &values, const QString &exposureTime)
{
    HeaderExposureValues out;
    // The text, its quantity, whole numbers, where to put it.
    const struct {
        const QString &text;
        Quantity quantity;
        bool integer;
        QString *target;
    } items[] = {
        {values.kV, Quantity::Kv, false, &out.kvp},
        {exposureTime, Quantity::ExposureTime, true, &out.exposureTime},
        {values.mAs, Quantity::Exposure, true, &out.mas},
        {values.thickness, Quantity::Thickness, false, &out.thickness},
        {values.compression, Quantity::Compression, false, &out.compression},
        {values.dose, Quantity::EntranceDose, false, &out.dose},
    };
    for (const auto &item : items) {
        const Converted c = ConvertExposureValue(item.quantity, unitType, item.text);
        if (c.notNumber)
            out.notNumbers << QString::fromLatin1(ruleOf(item.quantity).name);
        if (!c.value)
            continue;
        const double v = *c.value;
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
    // Entrance Dose is the dose at her skin: K at the breast's upper surface,
    // which the journal and the report hold, where the calibration gave one;
    // else the unit's own figure, whose reference point is unknown.
    if (const QString k = positive(values.kerma, 1.0); !k.isEmpty()) {
        out.dose = k;
        out.doseDerivation = QStringLiteral("IAK");
    }
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

