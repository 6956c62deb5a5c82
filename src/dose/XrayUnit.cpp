#include "dose/XrayUnit.h"

#include "toolkit/DoseReport.h"

#include <QUuid>

#include <algorithm>

namespace {

// The longest Manufacturer / Manufacturer's Model Name / Device Serial Number
// the header's value representation (LO) holds.
constexpr qsizetype kLongest = 64;

// What is wrong with one entry; empty when nothing.
QString problemOf(const QString &field, const QString &value)
{
    if (value.isEmpty())
        return QStringLiteral("The X-ray unit's %1 is missing: enter all three of manufacturer, model and serial number, "
                              "or none when the unit is not known.").arg(field);
    if (value != value.trimmed())
        return QStringLiteral("The X-ray unit's %1 \"%2\" begins or ends with a space.").arg(field, value);
    if (value.size() > kLongest)
        return QStringLiteral("The X-ray unit's %1 is longer than %2 characters.").arg(field).arg(kLongest);
    for (const QChar c : value)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format || c == QLatin1Char('\\'))
            return QStringLiteral("The X-ray unit's %1 holds a control character or a backslash.").arg(field);
    if (std::none_of(value.begin(), value.end(), [](QChar c) { return c.isLetterOrNumber(); }))
        return QStringLiteral("The X-ray unit's %1 \"%2\" has no letter or digit.").arg(field, value);
    // The report says "unknown" for a unit nobody identified.
    if (value.compare(QLatin1String("unknown"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("The X-ray unit's %1 \"%2\" says nothing: leave all three empty when the unit is not known.").arg(field, value);
    return {};
}

} // namespace

QStringList ValidateXrayUnit(const XrayUnitIdentity &unit)
{
    if (!unit.identified())
        return {};
    QStringList problems;
    for (const auto &[field, value] : {std::pair{"manufacturer", &unit.manufacturer}, std::pair{"model", &unit.model},
                                       std::pair{"serial number", &unit.serialNumber}})
        if (const QString p = problemOf(QLatin1String(field), *value); !p.isEmpty())
            problems << p;
    // The workstation writes the report; it is never the unit that irradiated.
    if (unit.manufacturer.compare(QLatin1String(StationReportManufacturer), Qt::CaseInsensitive) == 0
        && unit.model.compare(QLatin1String(StationReportModel), Qt::CaseInsensitive) == 0)
        problems << QStringLiteral("%1 %2 is this workstation, not the X-ray unit: enter the unit's manufacturer and model.")
                        .arg(QLatin1String(StationReportManufacturer), QLatin1String(StationReportModel));
    return problems;
}

QString NewDeviceUid()
{
    const QByteArray bytes = QUuid::createUuid().toRfc4122();
    __extension__ unsigned __int128 v = 0; // GCC's; a UUID's 128 bits as one number
    for (const char b : bytes)
        v = (v << 8) | static_cast<unsigned char>(b);
    QString digits;
    do {
        digits.prepend(QChar(u'0' + int(v % 10)));
        v /= 10;
    } while (v != 0);
    return QStringLiteral("2.25.") + digits;
}

QString XrayUnitTypeName(int unitType)
{
    static const char *const names[] = {"Sophie", "Giotto", "Lorad M4", "GE Senograph", "SM 1000"};
    return unitType >= 1 && unitType <= 5 ? QString::fromLatin1(names[unitType - 1]) : QString();
}
