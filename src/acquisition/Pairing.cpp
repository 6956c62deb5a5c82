#include "acquisition/Pairing.h"

#include "acquisition/Stamping.h"
#include "core/DisplayText.h"
#include "store/Database.h"

#include <algorithm>

namespace {

// A name's words, folded and sorted: "Alpha^Ann", "Ann Alpha" and "ALPHA, Ann" give the same.
QStringList NameWords(const QString &name)
{
    QStringList words;
    QString word;
    const QString folded = FoldForSearch(name.section(QLatin1Char('='), 0, 0));
    for (const QChar c : folded) {
        if (c.isLetterOrNumber() || c.category() == QChar::Mark_NonSpacing) {
            word += c;
        } else if (!word.isEmpty()) {
            words << word;
            word.clear();
        }
    }
    if (!word.isEmpty())
        words << word;
    std::sort(words.begin(), words.end());
    return words;
}

QString Described(const QString &name, const QString &id, const QDate &birth)
{
    QString text = name.contains(QLatin1Char('^')) ? PersonNameText(name) : name.trimmed();
    if (text.isEmpty())
        text = QStringLiteral("a patient without a name");
    QStringList details;
    if (!id.isEmpty())
        details << QStringLiteral("ID %1").arg(id);
    if (birth.isValid())
        details << QStringLiteral("born %1").arg(DateText(birth));
    return details.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, details.join(QStringLiteral(", ")));
}

} // namespace

QString AnotherPatientsExposure(const ToolkitImagePtr &image, const ChosenExposure &exposure)
{
    if (!image || (exposure.patientName.trimmed().isEmpty() && exposure.patientId.trimmed().isEmpty()))
        return {};
    const QString imageName = GetAttribute(image, Tags::PatientName).value.trimmed();
    const QString imageId = GetAttribute(image, Tags::PatientID).value.trimmed();
    const QDate imageBirth = QDate::fromString(GetAttribute(image, Tags::PatientBirthDate).value.trimmed(), QStringLiteral("yyyyMMdd"));
    const QString rowId = exposure.patientId.trimmed();
    const QStringList rowWords = NameWords(exposure.patientName);
    const bool otherId = !rowId.isEmpty() && !imageId.isEmpty() && rowId != imageId;
    const QStringList imageWords = NameWords(imageName);
    const bool otherName = !rowWords.isEmpty() && !imageWords.isEmpty() && rowWords != imageWords;
    if (!otherId && !otherName)
        return {};
    return QStringLiteral("Exposure no. %1 (%2, %3) was taken for %4, but the images are of %5.\r\n"
                          "Nothing was stamped or sent. Choose her name in the dose list's name box to list only her exposures, "
                          "or load the images of the patient the exposures were taken for.")
        .arg(QString::number(exposure.key()), exposure.values.other.isEmpty() ? QStringLiteral("no projection") : exposure.values.other,
             exposure.time, Described(exposure.patientName, rowId, QDate()), Described(imageName, imageId, imageBirth));
}

Pairing PairImages(const QList<ToolkitImagePtr> &images, const QList<ChosenExposure> &exposures, qint16 unitType)
{
    Pairing out;
    if (images.size() != exposures.size()) {
        out.stop = Pairing::Stop::NotAllImages;
        out.message = QStringLiteral("There are not all images on the system please wait a few second and try again!");
        return out;
    }
    // Every listed exposure, paired or not, goes to her with the send.
    for (const ChosenExposure &exposure : exposures)
        for (const ToolkitImagePtr &image : images)
            if (QString another = AnotherPatientsExposure(image, exposure); !another.isEmpty()) {
                out.stop = Pairing::Stop::AnotherPatient;
                out.message = std::move(another);
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
