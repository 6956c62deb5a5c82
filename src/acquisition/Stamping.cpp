#include "acquisition/Stamping.h"

#include "core/ErrorLog.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cmath>

QString RememberedSide;

namespace {

struct View {
    QStringList texts;
    const char *code;
    const char *meaning;
    const char *orientation; // nullptr: from Laterality, or asked
    const char *laterality;  // nullptr: the remembered side
};

const QList<View> &views()
{
    static const QList<View> table{
        {{"R CC", "RCC", "RLD"}, "R-10242", "cranio-caudal", "P\\L", "R"},
        {{"L CC", "LCC", "LLD"}, "R-10242", "cranio-caudal", "A\\R", "L"},
        {{"R OBLIQUE", "RLO"}, "R-10226", "medio lateral oblique", "P\\FL", "R"},
        {{"L OBLIQUE", "LLO"}, "R-10226", "medio lateral oblique", "A\\FR", "L"},
        {{"R MLO", "MLO R", "R-MLO", "MLO-R", "RMLO", "MLOR"}, "R-10226", "medio lateral oblique", "P\\FL", "R"},
        {{"L MLO", "MLO L", "L-MLO", "MLO-L", "LMLO", "MLOL"}, "R-10226", "medio lateral oblique", "A\\FR", "L"},
        {{"MLO"}, "R-10226", "medio lateral oblique", nullptr, nullptr},
        {{"ML"}, "R-10224", "medio-lateral", nullptr, nullptr},
        {{"CC"}, "R-10242", "cranio-caudal", nullptr, nullptr},
    };
    return table;
}

ToolkitDataSet codeItem(const QString &value, const QString &meaning)
{
    ToolkitDataSet item = NewDataSet();
    SetAttribute(item, 0x0008, 0x0100, value);
    SetAttribute(item, 0x0008, 0x0102, QStringLiteral("SNM-3"));
    SetAttribute(item, 0x0008, 0x0104, meaning);
    return item;
}

QString upper(const ToolkitImagePtr &image, quint16 g, quint16 e)
{
    const ToolkitAttribute a = GetAttribute(image, g, e);
    return a.exists ? a.value.trimmed().toUpper() : QString();
}

// The side an image names: its series laterality, or the image laterality
// stamping leaves in its place.
QString sideOf(const ToolkitImagePtr &image)
{
    const QString series = upper(image, 0x0020, 0x0060);
    return series.isEmpty() ? upper(image, 0x0020, 0x0062) : series;
}

} // namespace

bool ModifyImage(const ToolkitImagePtr &image, const SideQuestion &askSide)
{
    ToolkitError error;
    bool ok = true;
    auto check = [&](bool written) {
        if (!written && ok) {
            WriteErrorLog(error.number, error.text, QStringLiteral("ModifyImage"));
            ok = false;
        }
        return ok;
    };
    if (!image || !image->isValid()) {
        WriteErrorLog(ToolkitErrors::NoImage, QStringLiteral("No image"), QStringLiteral("ModifyImage"));
        return false;
    }
    if (!check(SetAttribute(image, 0x0008, 0x2218, NewSequence({codeItem(QStringLiteral("T-04000"), QStringLiteral("Breast"))}), &error)))
        return false;
    if (!check(SetImageSopClass(image, QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"), &error)))
        return false;

    const QString viewText = upper(image, 0x0018, 0x5101);
    QString code, meaning, orientation, laterality;
    for (const View &v : views()) {
        if (!v.texts.contains(viewText))
            continue;
        code = QString::fromLatin1(v.code);
        meaning = QString::fromLatin1(v.meaning);
        if (v.orientation) {
            orientation = QString::fromLatin1(v.orientation);
            laterality = QString::fromLatin1(v.laterality);
        } else if (viewText == QLatin1String("ML")) {
            const QString side = askSide ? askSide(image) : QString();
            if (side == QLatin1String("L") || side == QLatin1String("R"))
                RememberedSide = side;
            orientation = side == QLatin1String("L") ? QStringLiteral("A\\F") : side == QLatin1String("R") ? QStringLiteral("P\\F") : QString();
            if (!check(SetAttribute(image, 0x0018, 0x5101, RememberedSide + QStringLiteral(" ML"), &error)))
                return false;
            laterality = RememberedSide;
        } else {
            const bool mlo = viewText == QLatin1String("MLO");
            const QString side = sideOf(image);
            if (side == QLatin1String("L")) {
                RememberedSide = side;
                orientation = mlo ? QStringLiteral("A\\FR") : QStringLiteral("A\\R");
            } else if (side == QLatin1String("R")) {
                RememberedSide = side;
                orientation = mlo ? QStringLiteral("P\\FL") : QStringLiteral("P\\L");
            }
            laterality = RememberedSide;
        }
        break;
    }
    if (code.isEmpty())
        laterality = RememberedSide; // no view found: the side last remembered

    ToolkitDataSet viewItem = codeItem(code, meaning);
    SetAttribute(viewItem, 0x0054, 0x0222, NewSequence({})); // no view modifier: present and empty
    // A monochrome-1 image is shown inverted, a monochrome-2 one as it is: the
    // presentation LUT must follow the photometric interpretation.
    const bool mono1 = upper(image, 0x0028, 0x0004) == QLatin1String("MONOCHROME1");
    const bool written = SetAttribute(image, 0x0008, 0x0060, QStringLiteral("MG"), &error)
        && SetAttribute(image, 0x0008, 0x0068, QStringLiteral("FOR PRESENTATION"), &error)
        && SetAttribute(image, 0x0018, 0x0015, QStringLiteral("BREAST"), &error)
        && SetAttribute(image, 0x0018, 0x1460, qint16(0), &error)
        && SetAttribute(image, 0x0018, 0x1508, QStringLiteral("MAMMOGRAPHIC"), &error)
        && (RemoveAttribute(image, 0x0018, 0x5100), true)
        && SetAttribute(image, 0x0018, 0x7004, QStringLiteral("DIRECT"), &error)
        && SetAttribute(image, 0x0020, 0x0020, orientation.replace(QLatin1Char('\\'), QLatin1Char('|')), &error)
        // The image laterality carries the side; the series laterality may not
        // stand beside it in a mammogram.
        && (RemoveAttribute(image, 0x0020, 0x0060), true)
        && SetAttribute(image, 0x0020, 0x0062, laterality, &error)
        && SetAttribute(image, 0x0028, 0x0301, QStringLiteral("NO"), &error)
        && SetAttribute(image, 0x0028, 0x1040, QStringLiteral("LOG"), &error)
        && SetAttribute(image, 0x0028, 0x1041, qint16(1), &error)
        && SetAttribute(image, 0x0028, 0x1054, QStringLiteral("US"), &error)
        && SetAttribute(image, 0x0040, 0x0318, QStringLiteral("BREAST"), &error)
        && SetAttribute(image, 0x0054, 0x0220, NewSequence({viewItem}), &error)
        && SetAttribute(image, 0x2050, 0x0020, mono1 ? QStringLiteral("INVERSE") : QStringLiteral("IDENTITY"), &error);
    check(written);
    // The image now claims to be a mammogram for presentation, so the Type 2
    // attributes of that object's modules must be there. What the detector
    // left out stays empty: nothing is made up.
    static const quint16 typeTwo[][2] = {{0x0010, 0x0030}, {0x0010, 0x0040}, {0x0008, 0x0020}, {0x0008, 0x0030}, {0x0020, 0x0010},
                                         {0x0008, 0x0050}, {0x0008, 0x0090}, {0x0020, 0x0011}, {0x0008, 0x0070}};
    for (const auto &tag : typeTwo)
        if (ok && !GetAttribute(image, tag[0], tag[1]).exists)
            check(SetAttribute(image, tag[0], tag[1], QString(), &error));
    if (ok && !GetAttribute(image, 0x0040, 0x0555).exists)
        check(SetAttribute(image, 0x0040, 0x0555, NewSequence({}), &error));
    QCoreApplication::processEvents();
    return ok;
}

QString ImageProjectionKey(qint16 unitType, const ToolkitImagePtr &image)
{
    ToolkitError error;
    auto angle = [&] { SetAttribute(image, 0x0018, 0x1530, QStringLiteral("45"), &error); };
    if (unitType == 1) {
        const QString v = upper(image, 0x0018, 0x5101);
        if (v == QLatin1String("L-CC") || v == QLatin1String("L CC"))
            return QStringLiteral("L-CC");
        if (v == QLatin1String("R-CC") || v == QLatin1String("R CC"))
            return QStringLiteral("R-CC");
        if (v == QLatin1String("L-MLO") || v == QLatin1String("L MLO")) {
            angle();
            return QStringLiteral("L-MLO45");
        }
        if (v == QLatin1String("R-MLO") || v == QLatin1String("R MLO")) {
            angle();
            return QStringLiteral("R-MLO45");
        }
        return {};
    }
    if (unitType == 2) {
        const QString k = upper(image, 0x0020, 0x0062) + QLatin1Char('-') + upper(image, 0x0020, 0x0020);
        if (k == QLatin1String("L-A|R"))
            return QStringLiteral("L-CC");
        if (k == QLatin1String("R-P|L"))
            return QStringLiteral("R-CC");
        if (k == QLatin1String("R-P|FL"))
            return QStringLiteral("R-LMO45");
        if (k == QLatin1String("L-A|FR"))
            return QStringLiteral("L-LMO45");
        return {};
    }
    const QString k = sideOf(image) + QLatin1Char('-') + upper(image, 0x0018, 0x5101);
    if (k == QLatin1String("L-CC"))
        return QStringLiteral("L CC");
    if (k == QLatin1String("R-CC"))
        return QStringLiteral("R CC");
    if (k == QLatin1String("L-MLO") || k == QLatin1String("R-MLO")) {
        angle();
        return k.startsWith(QLatin1Char('L')) ? QStringLiteral("L MLO") : QStringLiteral("R MLO");
    }
    return {};
}

bool ExposureMatchesKey(qint16 unitType, const QString &exposureProjection, const QString &key)
{
    if (unitType == 1)
        return exposureProjection.split(QLatin1Char(',')).value(3) == key;
    if (unitType == 2)
        return exposureProjection == key;
    return exposureProjection.trimmed() == key;
}

bool WriteExposureValues(const ToolkitImagePtr &image, const HeaderExposureValues &values, ToolkitError *error)
{
    const struct {
        quint16 g, e;
        const QString &text;
    } items[] = {
        {0x0018, 0x0060, values.kvp},       {0x0018, 0x1150, values.exposureTime}, {0x0018, 0x1152, values.mas},
        {0x0018, 0x11A0, values.thickness}, {0x0018, 0x11A2, values.compression},  {0x0040, 0x8302, values.dose},
        {0x0018, 0x1153, values.microAs},
    };
    bool ok = true;
    for (const auto &item : items)
        if (!item.text.isEmpty() && !SetAttribute(image, item.g, item.e, item.text, error))
            ok = false;
    return ok;
}
