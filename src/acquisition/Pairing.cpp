#include "acquisition/Pairing.h"

#include "acquisition/Stamping.h"

Pairing PairImages(const QList<ToolkitImagePtr> &images, const QList<ChosenExposure> &exposures, qint16 unitType)
{
    Pairing out;
    if (images.size() != exposures.size()) {
        out.stop = Pairing::Stop::NotAllImages;
        out.message = QStringLiteral("There are not all images on the system please wait a few second and try again!");
        return out;
    }
    QString key;
    for (const ToolkitImagePtr &image : images) {
        const QString uid = image ? ImageUid(image) : QString();
        if (uid.isEmpty())
            continue;
        // An image whose attributes name no projection keeps the previous key.
        if (const QString own = ImageProjectionKey(unitType, image); !own.isEmpty())
            key = own;
        ImagePair pair{.image = image, .imageUid = uid, .key = key, .exposure = {}, .matched = false};
        for (const ChosenExposure &exposure : exposures) {
            const QString &projection = exposure.values.other;
            // The unit sends no projection: each exposure needs the operator's button first.
            if (unitType == 2 && projection.isEmpty()) {
                out.stop = Pairing::Stop::ProjectionNotSet;
                out.message = QStringLiteral("You have not set the projection, please click on the correct projection button!\n"
                                             "If you have set the projection please click on Manually button!");
                return out;
            }
            pair.exposure = exposure;
            if (ExposureMatchesKey(unitType, projection, key)) {
                pair.matched = true;
                break;
            }
        }
        out.pairs << pair;
    }
    return out;
}
