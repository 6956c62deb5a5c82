#include "toolkit/SyntheticImage.h"

#include "toolkit/Codecs.h"
#include "toolkit/Jpeg2000.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcrlerp.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <dcmtk/dcmjpls/djrparam.h>

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

OFString ofs(const QString &s) { return OFString(s.toUtf8().constData()); }

// A breast-like dome against the chest wall with a bright marker in one corner,
// so that orientation changes show.
template <typename T>
std::vector<T> makePixels(int rows, int columns, int maxValue, bool chestWallLeft, bool inverted)
{
    std::vector<T> px(static_cast<size_t>(rows) * static_cast<size_t>(columns));
    const double cy = rows / 2.0;
    const double radius = std::min(rows / 2.0, static_cast<double>(columns)) * 0.95;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < columns; ++x) {
            const double dx = chestWallLeft ? x : columns - 1 - x;
            const double dy = y - cy;
            const double r = std::sqrt(dx * dx + dy * dy);
            double v = 0.0;
            if (r < radius) {
                const double depth = 1.0 - r / radius;
                const double texture = 0.08 * std::sin(x * 0.21) * std::cos(y * 0.17);
                v = std::clamp(0.25 + 0.6 * depth + texture, 0.0, 1.0);
            }
            if (y < rows / 10 && x < columns / 10)
                v = 1.0;
            int value = static_cast<int>(std::lround(v * maxValue));
            if (inverted)
                value = maxValue - value;
            px[static_cast<size_t>(y) * columns + x] = static_cast<T>(value);
        }
    }
    return px;
}

} // namespace

QString NewSyntheticUid()
{
    char buf[100];
    dcmGenerateUniqueIdentifier(buf, SITE_INSTANCE_UID_ROOT);
    return QString::fromLatin1(buf);
}

Result WriteSyntheticImage(const SyntheticImageSpec &spec, const QString &path)
{
    const auto fail = [](qint32 number, const QString &why) { return Result::failure(number, why); };
    if (spec.rows < 1 || spec.columns < 1 || spec.rows > 65535 || spec.columns > 65535)
        return fail(ErrorCode::InvalidCall, QStringLiteral("rows and columns must be 1 to 65535"));
    RegisterToolkitCodecs();

    DcmFileFormat file;
    DcmDataset *ds = file.getDataset();
    const QString studyUid = spec.studyUid.isEmpty() ? NewSyntheticUid() : spec.studyUid;
    const QString seriesUid = spec.seriesUid.isEmpty() ? NewSyntheticUid() : spec.seriesUid;
    const QString sopUid = spec.sopUid.isEmpty() ? NewSyntheticUid() : spec.sopUid;
    const bool eightBit = spec.bitsStored <= 8;
    const int bitsStored = std::clamp(spec.bitsStored, 1, 16);
    const int bitsAllocated = eightBit ? 8 : 16;
    const bool forPresentation = spec.sopClassUid == QLatin1String(UID_DigitalMammographyXRayImageStorageForPresentation);

    auto put = [&](const DcmTagKey &key, const QString &value) { ds->putAndInsertString(key, ofs(value).c_str()); };
    put(DCM_SpecificCharacterSet, QStringLiteral("ISO_IR 192"));
    put(DCM_SOPClassUID, spec.sopClassUid);
    put(DCM_SOPInstanceUID, sopUid);
    put(DCM_ImageType, QStringLiteral("ORIGINAL\\PRIMARY"));
    put(DCM_StudyDate, spec.studyDate);
    put(DCM_StudyTime, spec.studyTime);
    put(DCM_ContentDate, spec.studyDate);
    put(DCM_ContentTime, spec.studyTime);
    put(DCM_AcquisitionDateTime, spec.studyDate + spec.studyTime);
    put(DCM_AccessionNumber, spec.accessionNumber);
    put(DCM_Modality, spec.modality);
    put(DCM_Manufacturer, QStringLiteral("Lumora Test Detector"));
    put(DCM_ReferringPhysicianName, QString());
    put(DCM_PatientName, spec.patientName);
    put(DCM_PatientID, spec.patientId);
    put(DCM_PatientBirthDate, spec.birthDate);
    put(DCM_PatientSex, spec.sex);
    put(DCM_BodyPartExamined, spec.bodyPart);
    put(DCM_ViewPosition, spec.viewPosition);
    put(DCM_StudyInstanceUID, studyUid);
    put(DCM_SeriesInstanceUID, seriesUid);
    put(DCM_StudyID, QStringLiteral("1"));
    put(DCM_SeriesNumber, QString::number(spec.seriesNumber));
    put(DCM_InstanceNumber, QString::number(spec.instanceNumber));
    put(DCM_PatientOrientation, spec.laterality == QLatin1String("R") ? QStringLiteral("P\\L") : QStringLiteral("A\\R"));
    put(DCM_ImageLaterality, spec.laterality);
    put(DCM_DetectorType, QStringLiteral("DIRECT"));
    put(DCM_PositionerType, QStringLiteral("MAMMOGRAPHIC"));
    put(DCM_OrganExposed, QStringLiteral("BREAST"));
    ds->insertEmptyElement(DCM_AcquisitionContextSequence);
    {
        DcmItem *region = nullptr;
        if (ds->findOrCreateSequenceItem(DCM_AnatomicRegionSequence, region, 0).good() && region) {
            region->putAndInsertString(DCM_CodeValue, "76752008");
            region->putAndInsertString(DCM_CodingSchemeDesignator, "SCT");
            region->putAndInsertString(DCM_CodeMeaning, "Breast");
        }
    }
    put(DCM_PresentationIntentType, forPresentation ? QStringLiteral("FOR PRESENTATION") : QStringLiteral("FOR PROCESSING"));
    put(DCM_PixelIntensityRelationship, QStringLiteral("LOG"));
    ds->putAndInsertSint16(DCM_PixelIntensityRelationshipSign, 1);
    put(DCM_RescaleIntercept, QStringLiteral("0"));
    put(DCM_RescaleSlope, QStringLiteral("1"));
    put(DCM_RescaleType, QStringLiteral("US"));
    put(DCM_ImagerPixelSpacing, QStringLiteral("0.07\\0.07"));
    put(DCM_PixelSpacing, QStringLiteral("0.07\\0.07"));
    put(DCM_BurnedInAnnotation, QStringLiteral("NO"));
    put(DCM_LossyImageCompression, QStringLiteral("00"));
    put(DCM_PresentationLUTShape, spec.monochrome1 ? QStringLiteral("INVERSE") : QStringLiteral("IDENTITY"));

    const int maxValue = (1 << bitsStored) - 1;
    put(DCM_WindowCenter, QString::number((maxValue + 1) / 2));
    put(DCM_WindowWidth, QString::number(maxValue + 1));

    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    put(DCM_PhotometricInterpretation, spec.monochrome1 ? QStringLiteral("MONOCHROME1") : QStringLiteral("MONOCHROME2"));
    ds->putAndInsertUint16(DCM_Rows, static_cast<Uint16>(spec.rows));
    ds->putAndInsertUint16(DCM_Columns, static_cast<Uint16>(spec.columns));
    ds->putAndInsertUint16(DCM_BitsAllocated, static_cast<Uint16>(bitsAllocated));
    ds->putAndInsertUint16(DCM_BitsStored, static_cast<Uint16>(bitsStored));
    ds->putAndInsertUint16(DCM_HighBit, static_cast<Uint16>(bitsStored - 1));
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);

    const bool chestWallLeft = spec.laterality != QLatin1String("L");
    using E = SyntheticImageSpec::Encoding;
    const bool j2k = spec.encoding == E::Jpeg2000Lossless || spec.encoding == E::Jpeg2000;
    OFCondition cond;
    QByteArray codeStream;
    Result encoded;
    if (eightBit) {
        const auto px = makePixels<Uint8>(spec.rows, spec.columns, maxValue, chestWallLeft, spec.monochrome1);
        cond = ds->putAndInsertUint8Array(DCM_PixelData, px.data(), static_cast<unsigned long>(px.size()));
        if (j2k)
            codeStream = EncodeJpeg2000(px.data(), spec.rows, spec.columns, bitsStored, false,
                                        spec.encoding == E::Jpeg2000 ? spec.jpeg2000Ratio : 0, &encoded);
    } else {
        const auto px = makePixels<Uint16>(spec.rows, spec.columns, maxValue, chestWallLeft, spec.monochrome1);
        cond = ds->putAndInsertUint16Array(DCM_PixelData, px.data(), static_cast<unsigned long>(px.size()));
        if (j2k)
            codeStream = EncodeJpeg2000(px.data(), spec.rows, spec.columns, bitsStored, false,
                                        spec.encoding == E::Jpeg2000 ? spec.jpeg2000Ratio : 0, &encoded);
    }
    if (cond.bad())
        return fail(ErrorCode::BadAttribute, QString::fromLatin1(cond.text()));
    if (j2k && codeStream.isEmpty())
        return encoded;

    // "gggg,eeee" as a tag; false for text that is none.
    auto tagOf = [](const QString &text, DcmTagKey *key) {
        const QStringList parts = text.split(QLatin1Char(','));
        bool okG = false, okE = false;
        const uint g = parts.value(0).toUInt(&okG, 16);
        const uint e = parts.value(1).toUInt(&okE, 16);
        *key = DcmTagKey(static_cast<Uint16>(g), static_cast<Uint16>(e));
        return parts.size() == 2 && okG && okE && g <= 0xFFFF && e <= 0xFFFF;
    };
    for (const auto &[tagText, value] : spec.extra) {
        DcmTagKey key;
        if (!tagOf(tagText, &key))
            return fail(ErrorCode::BadAttribute, QStringLiteral("bad tag %1").arg(tagText));
        const DcmTag tag(key);
        cond = ds->putAndInsertString(tag, ofs(value).c_str());
        if (cond.bad())
            return fail(ErrorCode::BadAttribute, QStringLiteral("%1: %2").arg(tagText, QString::fromLatin1(cond.text())));
    }

    if (spec.characterSet != QLatin1String("ISO_IR 192")) {
        cond = ds->convertCharacterSet("ISO_IR 192", ofs(spec.characterSet), 0, OFTrue);
        if (cond.bad())
            return fail(ErrorCode::CharsetUnknown, QStringLiteral("%1: %2").arg(spec.characterSet, QString::fromLatin1(cond.text())));
    }

    for (const QString &tagText : spec.omit) {
        DcmTagKey key;
        if (!tagOf(tagText, &key))
            return fail(ErrorCode::BadAttribute, QStringLiteral("bad tag %1").arg(tagText));
        ds->findAndDeleteElement(key, OFTrue);
    }

    E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    std::unique_ptr<DcmRepresentationParameter> params;
    switch (spec.encoding) {
    case SyntheticImageSpec::Encoding::ExplicitLittle:
        break;
    case SyntheticImageSpec::Encoding::ImplicitLittle:
        xfer = EXS_LittleEndianImplicit;
        break;
    case SyntheticImageSpec::Encoding::JpegLossless:
        xfer = EXS_JPEGProcess14SV1;
        params = std::make_unique<DJ_RPLossless>();
        break;
    case SyntheticImageSpec::Encoding::JpegLs:
        xfer = EXS_JPEGLSLossless;
        params = std::make_unique<DJLSRepresentationParameter>(2, OFTrue);
        break;
    case SyntheticImageSpec::Encoding::Rle:
        xfer = EXS_RLELossless;
        params = std::make_unique<DcmRLERepresentationParameter>();
        break;
    case SyntheticImageSpec::Encoding::Jpeg2000Lossless:
    case SyntheticImageSpec::Encoding::Jpeg2000:
        // The toolkit only decodes JPEG 2000: the code stream goes in as one fragment.
        xfer = spec.encoding == E::Jpeg2000 ? EXS_JPEG2000 : EXS_JPEG2000LosslessOnly;
        if (spec.encoding == E::Jpeg2000) {
            const double bytes = double(spec.rows) * spec.columns * (bitsAllocated / 8);
            put(DCM_LossyImageCompression, QStringLiteral("01"));
            put(DCM_LossyImageCompressionRatio, QString::number(bytes / double(codeStream.size()), 'f', 2));
            put(DCM_LossyImageCompressionMethod, QStringLiteral("ISO_15444_1"));
        }
        break;
    }
    if (j2k) {
        DcmPixelData *pixels = nullptr;
        DcmElement *element = nullptr;
        if (ds->findAndGetElement(DCM_PixelData, element).bad() || !(pixels = dynamic_cast<DcmPixelData *>(element)))
            return fail(ErrorCode::NoPixels, QStringLiteral("no pixel data"));
        auto *sequence = new DcmPixelSequence(DcmTag(DCM_PixelData, EVR_OB));
        sequence->insert(new DcmPixelItem(DcmTag(DCM_Item, EVR_OB))); // empty offset table: one frame
        auto *fragment = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
        fragment->putUint8Array(reinterpret_cast<const Uint8 *>(codeStream.constData()), Uint32(codeStream.size()));
        sequence->insert(fragment);
        pixels->putOriginalRepresentation(xfer, nullptr, sequence);
    } else if (xfer != EXS_LittleEndianExplicit && xfer != EXS_LittleEndianImplicit) {
        cond = ds->chooseRepresentation(xfer, params.get());
        if (cond.bad() || !ds->canWriteXfer(xfer))
            return fail(ErrorCode::NoPixels, QStringLiteral("cannot encode: %1").arg(QString::fromLatin1(cond.text())));
    }
    cond = file.saveFile(QFile::encodeName(path).constData(), xfer);
    if (cond.bad())
        return fail(ErrorCode::WriteFailed, QString::fromLatin1(cond.text()));
    return {};
}
