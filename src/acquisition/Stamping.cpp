#include "acquisition/Stamping.h"

#include "dose/Projection.h"

#include "core/ErrorLog.h"

#include <QRegularExpression>

#include <cmath>

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
    SetAttribute(item, Tags::CodeValue, value);
    SetAttribute(item, Tags::CodingSchemeDesignator, QStringLiteral("SNM-3"));
    SetAttribute(item, Tags::CodeMeaning, meaning);
    return item;
}

QString upper(const ToolkitImagePtr &image, ToolkitTag tag)
{
    const ToolkitAttribute a = GetAttribute(image, tag);
    return a.exists ? a.value.trimmed().toUpper() : QString();
}

// The side an image names: its series laterality, or the image laterality
// stamping leaves in its place.
QString sideOf(const ToolkitImagePtr &image)
{
    const QString series = upper(image, Tags::Laterality);
    return series.isEmpty() ? upper(image, Tags::ImageLaterality) : series;
}

} // namespace

bool ModifyImage(const ToolkitImagePtr &image, const SideQuestion &askSide, QString &rememberedSide)
{
    Result error;
    bool ok = true;
    auto check = [&](bool written) {
        if (!written && ok) {
            WriteErrorLog(error.number, error.text, QStringLiteral("ModifyImage"));
            ok = false;
        }
        return ok;
    };
    if (!image || !image->isValid()) {
        WriteErrorLog(ErrorCode::NoImage, QStringLiteral("No image"), QStringLiteral("ModifyImage"));
        return false;
    }
    if (!check(SetAttribute(image, Tags::AnatomicRegionSequence, NewSequence({codeItem(QStringLiteral("T-04000"), QStringLiteral("Breast"))}), &error)))
        return false;
    if (!check(SetImageSopClass(image, QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"), &error)))
        return false;

    const QString viewText = upper(image, Tags::ViewPosition);
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
                rememberedSide = side;
            orientation = side == QLatin1String("L") ? QStringLiteral("A\\F") : side == QLatin1String("R") ? QStringLiteral("P\\F") : QString();
            if (!check(SetAttribute(image, Tags::ViewPosition, rememberedSide + QStringLiteral(" ML"), &error)))
                return false;
            laterality = rememberedSide;
        } else {
            const bool mlo = viewText == QLatin1String("MLO");
            const QString side = sideOf(image);
            if (side == QLatin1String("L")) {
                rememberedSide = side;
                orientation = mlo ? QStringLiteral("A\\FR") : QStringLiteral("A\\R");
            } else if (side == QLatin1String("R")) {
                rememberedSide = side;
                orientation = mlo ? QStringLiteral("P\\FL") : QStringLiteral("P\\L");
            }
            laterality = rememberedSide;
        }
        break;
    }
    if (code.isEmpty())
        laterality = rememberedSide; // no view found: the side last remembered

    ToolkitDataSet viewItem = codeItem(code, meaning);
    SetAttribute(viewItem, Tags::ViewModifierCodeSequence, NewSequence({})); // no view modifier: present and empty
    // A monochrome-1 image is shown inverted, a monochrome-2 one as it is: the
    // presentation LUT must follow the photometric interpretation.
    const bool mono1 = upper(image, Tags::PhotometricInterpretation) == QLatin1String("MONOCHROME1");
    const bool written = SetAttribute(image, Tags::Modality, QStringLiteral("MG"), &error)
        && SetAttribute(image, Tags::PresentationIntentType, QStringLiteral("FOR PRESENTATION"), &error)
        && SetAttribute(image, Tags::BodyPartExamined, QStringLiteral("BREAST"), &error)
        && SetAttribute(image, Tags::TomoLayerHeight, qint16(0), &error)
        && SetAttribute(image, Tags::PositionerType, QStringLiteral("MAMMOGRAPHIC"), &error)
        && (RemoveAttribute(image, Tags::PatientPosition), true)
        && SetAttribute(image, Tags::DetectorType, QStringLiteral("DIRECT"), &error)
        && SetAttribute(image, Tags::PatientOrientation, orientation.replace(QLatin1Char('\\'), QLatin1Char('|')), &error)
        // The image laterality carries the side; the series laterality may not
        // stand beside it in a mammogram.
        && (RemoveAttribute(image, Tags::Laterality), true)
        && SetAttribute(image, Tags::ImageLaterality, laterality, &error)
        && SetAttribute(image, Tags::BurnedInAnnotation, QStringLiteral("NO"), &error)
        && SetAttribute(image, Tags::PixelIntensityRelationship, QStringLiteral("LOG"), &error)
        && SetAttribute(image, Tags::PixelIntensityRelationshipSign, qint16(1), &error)
        && SetAttribute(image, Tags::RescaleType, QStringLiteral("US"), &error)
        && SetAttribute(image, Tags::OrganExposed, QStringLiteral("BREAST"), &error)
        && SetAttribute(image, Tags::ViewCodeSequence, NewSequence({viewItem}), &error)
        && SetAttribute(image, Tags::PresentationLUTShape, mono1 ? QStringLiteral("INVERSE") : QStringLiteral("IDENTITY"), &error);
    check(written);
    // The image now claims to be a mammogram for presentation, so the Type 2
    // attributes of that object's modules must be there. What the detector
    // left out stays empty: nothing is made up.
    static constexpr ToolkitTag typeTwo[] = {Tags::PatientBirthDate, Tags::PatientSex, Tags::StudyDate,
                                             Tags::StudyTime, Tags::StudyID, Tags::AccessionNumber,
                                             Tags::ReferringPhysicianName, Tags::SeriesNumber, Tags::Manufacturer};
    for (const auto &tag : typeTwo)
        if (ok && !GetAttribute(image, tag).exists)
            check(SetAttribute(image, tag, QString(), &error));
    if (ok && !GetAttribute(image, Tags::AcquisitionContextSequence).exists)
        check(SetAttribute(image, Tags::AcquisitionContextSequence, NewSequence({}), &error));
    return ok;
}

QString ImageProjectionKey(qint16 unitType, const ToolkitImagePtr &image)
{
    Result error;
    auto angle = [&] { SetAttribute(image, Tags::DetectorPrimaryAngle, QStringLiteral("45"), &error); };
    if (unitType == 1) {
        const QString v = upper(image, Tags::ViewPosition);
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
        const QString k = upper(image, Tags::ImageLaterality) + QLatin1Char('-') + upper(image, Tags::PatientOrientation);
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
    const QString k = sideOf(image) + QLatin1Char('-') + upper(image, Tags::ViewPosition);
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
    // Side and view, not the text: Lorad's "LCC" is the image's "L CC".
    const ExposureProjection exposure = ProjectionOfExposure(unitType, exposureProjection);
    const ExposureProjection image = ProjectionOfText(key);
    return !exposure.laterality.isEmpty() && exposure.view != QLatin1String("other") && exposure.laterality == image.laterality
        && exposure.view == image.view;
}

bool WriteExposureValues(const ToolkitImagePtr &image, const HeaderExposureValues &values, Result *error)
{
    const struct {
        ToolkitTag tag;
        const QString &text;
    } items[] = {
        {Tags::KVP, values.kvp},
        {Tags::ExposureTime, values.exposureTime},
        {Tags::Exposure, values.mas},
        {Tags::BodyPartThickness, values.thickness},
        {Tags::CompressionForce, values.compression},
        {Tags::EntranceDoseInmGy, values.dose},
        {Tags::ExposureInuAs, values.microAs},
        // An Organ Dose the detector wrote is replaced only by our AGD, never removed.
        {Tags::OrganDose, values.organDose},
        {Tags::HalfValueLayer, values.hvl},
        {Tags::EntranceDoseDerivation, values.doseDerivation},
        {Tags::AnodeTargetMaterial, values.anodeTarget},
        {Tags::FilterMaterial, values.filterMaterial},
        {Tags::IrradiationEventUID, values.irradiationEventUid},
    };
    bool ok = true;
    for (const auto &item : items)
        if (!item.text.isEmpty() && !SetAttribute(image, item.tag, item.text, error))
            ok = false;
    return ok;
}
