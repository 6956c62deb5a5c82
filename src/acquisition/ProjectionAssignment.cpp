#include "acquisition/ProjectionAssignment.h"

#include "store/Session.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "ui/Prompts.h"
#include "core/Settings.h"
#include "store/Database.h"

#include <QDir>
#include <QScopeGuard>
#include <QFile>
#include <QTextStream>

namespace {

const QString kWhere = QStringLiteral("MainForm cmdAll_Click");

QString binFolder() { return AppPath(QString::fromLatin1(AppFiles::WorkFolder)); }

} // namespace


ProjectionAssignment::ProjectionAssignment(Session &session, const AssignmentControls &controls, Prompter &prompter, QObject *parent)
    : QObject(parent), session_(session), c_(controls), prompter_(prompter)
{
}

QString ProjectionAssignment::askSide(const ToolkitImagePtr &image)
{
    if (c_.askSide)
        return c_.askSide(image);
    WriteErrorLog(ErrorCode::NoObject, QStringLiteral("No side question is wired: the image keeps the side last found"), kWhere);
    return {};
}

void ProjectionAssignment::emptyWorkFolder()
{
    QDir bin(binFolder());
    for (const QString &f : bin.entryList({QStringLiteral("*.dcm")}, QDir::Files))
        bin.remove(f);
}

ExposureValues ProjectionAssignment::exposureFor(const ToolkitImagePtr &image, const ExposureValues &chosen) const
{
    if (!c_.doseForBirthDate)
        return chosen;
    // The exposure was decoded before its image came; the header may know her age when the worklist did not.
    const QDate birth = QDate::fromString(GetAttribute(image, Tags::PatientBirthDate).value.trimmed(), QStringLiteral("yyyyMMdd"));
    return c_.doseForBirthDate(chosen, birth);
}

bool ProjectionAssignment::anotherPatientSelected()
{
    const BrowserSelection &loaded = session_.loadedFor();
    const BrowserSelection &now = session_.selection();
    const bool loadedKnown = loaded.patientKey != 0 || !loaded.patientId.isEmpty();
    const bool nowKnown = now.patientKey != 0 || !now.patientId.isEmpty();
    if (!loadedKnown && !nowKnown)
        return false; // nothing loaded for anyone: the send finds no patient
    if (!loadedKnown) {
        prompter_.information(c_.parent, QStringLiteral("No images loaded into viewport."), DefaultPromptTitle);
        return true;
    }
    if (loaded.patientKey == now.patientKey && loaded.patientId == now.patientId)
        return false;
    const QString named = QStringLiteral("%1 (ID %2)");
    const QString theirs = named.arg(loaded.patientName, loaded.patientId);
    const QString selected = nowKnown ? named.arg(now.patientName, now.patientId) : QStringLiteral("no patient");
    prompter_.information(c_.parent,
                          QStringLiteral("The images in the viewer are of %1, but %2 is selected now.\r\n"
                                         "Nothing was merged or sent. Select %1 again to merge these images, or load the images of the patient selected.")
                              .arg(theirs, selected),
                          DefaultPromptTitle);
    return true;
}

void ProjectionAssignment::stamp(const ImagePair &pair)
{
    const qint16 unit = Settings.XrayComm;
    const ToolkitImagePtr &image = pair.image;
    const ExposureValues &exposure = pair.exposure.values;
    Result error;
    auto log = [&](bool ok) {
        if (!ok)
            LogFailure(error, kWhere);
    };
    if (unit != 2) {
        if (unit >= 3)
            log(SetAttribute(image, Tags::Modality, QStringLiteral("MG"), &error));
        const HeaderExposureValues values = ExposureValuesForHeader(unit, exposureFor(image, exposure), pair.exposure.exposureTime);
        if (!values.notNumbers.isEmpty())
            WriteErrorLog(ErrorCode::TypeMismatch, QStringLiteral("Not a number, left out: ") + values.notNumbers.join(QStringLiteral(", ")), kWhere);
        log(WriteExposureValues(image, values, &error));
        // The sensitivity: unit 1 reports it with the exposure, units 3 and 4 in the image.
        QString sensitivity;
        if (unit == 1)
            sensitivity = exposure.other;
        else if (unit == 3 || unit == 4)
            sensitivity = GetAttribute(image, Tags::RelativeXRayExposure).value;
        if (!sensitivity.isEmpty()) {
            const QString ds = DecimalString(sensitivity);
            if (!ds.isEmpty())
                log(SetAttribute(image, Tags::Sensitivity, ds, &error));
            else
                WriteErrorLog(ErrorCode::TypeMismatch, QStringLiteral("Sensitivity is not a number: ") + sensitivity, kWhere);
        }
    }
    if (Settings.ModifyImageHeader == 1)
        ModifyImage(image, [this](const ToolkitImagePtr &i) { return askSide(i); }, rememberedSide_);
    if (unit != 2) {
        const QString path = binFolder() + QLatin1Char('/') + pair.imageUid + QStringLiteral(".dcm");
        log(WriteDicomFile(image, path, &error));
    }
}

void ProjectionAssignment::cmdAll_Click()
{
    // A study still loading (its unreadable-file box runs events) is not
    // complete yet.
    if (merging_ || session_.imageLoadActive() || anotherPatientSelected())
        return;
    merging_ = true;
    const auto done = qScopeGuard([this] { merging_ = false; });
    emptyWorkFolder();
    // The loaded images by their whole UIDs, whatever the viewer or the image list shows.
    const Pairing pairing = PairImages(session_.loadedImages().items, c_.listedExposures ? c_.listedExposures() : QList<ChosenExposure>(),
                                       Settings.XrayComm);
    if (pairing.stop == Pairing::Stop::NotAllImages) {
        prompter_.information(c_.parent, pairing.message, DefaultPromptTitle);
        return;
    }
    if (pairing.stop == Pairing::Stop::AnotherPatient) {
        WriteErrorLog(ErrorCode::None, pairing.message, kWhere);
        prompter_.critical(c_.parent, pairing.message, DefaultPromptTitle);
        return;
    }
    for (const ImagePair &pair : pairing.pairs)
        stamp(pair);
    if (pairing.stop == Pairing::Stop::ProjectionNotSet) {
        prompter_.critical(c_.parent, pairing.message, DefaultPromptTitle);
        return;
    }
    sendToDefault(false, DoseAssignment::AllListed);
}

void ProjectionAssignment::cmdSelected_Click()
{
    if (merging_ || session_.imageLoadActive() || anotherPatientSelected())
        return;
    merging_ = true;
    const auto done = qScopeGuard([this] { merging_ = false; });
    emptyWorkFolder();
    if (const ToolkitImagePtr current = session_.currentImage()) {
        const ChosenExposure &chosen = session_.chosenExposure();
        if (const QString another = AnotherPatientsExposure(current, chosen); !another.isEmpty()) {
            WriteErrorLog(ErrorCode::None, another, QStringLiteral("MainForm cmdSelected_Click"));
            prompter_.critical(c_.parent, another, DefaultPromptTitle);
            return;
        }
        // The image with the exposure the operator chose by hand: stamped and
        // saved, so that the send takes this copy.
        ModifyImage(current, [this](const ToolkitImagePtr &i) { return askSide(i); }, rememberedSide_);
        WriteExposureValues(current, ExposureValuesForHeader(Settings.XrayComm, exposureFor(current, chosen.values), chosen.exposureTime));
        Result error;
        if (!WriteDicomFile(current, binFolder() + QLatin1Char('/') + ImageUid(current) + QStringLiteral(".dcm"), &error))
            LogFailure(error, QStringLiteral("MainForm cmdSelected_Click"));
    }
    sendToDefault(true, DoseAssignment::AssignSelected);
}

void ProjectionAssignment::sendToDefault(bool blankAfterAet, DoseAssignment assignment)
{
    // The partner chosen for this send is the session's, and goes with the send as its input.
    session_.setSendPartner(c_.defaultPartner ? c_.defaultPartner() : SendPartner());
    const SendPartner partner = session_.sendPartner();
    const QString &aet = partner.aet, &ip = partner.ip, &port = partner.port;
    if (aet.isEmpty() && ip.isEmpty() && port.isEmpty()) {
        prompter_.information(c_.parent, QStringLiteral("No default SCP configured!"), DefaultPromptTitle);
        return;
    }
    if (aet.isEmpty() || ip.isEmpty() || port.isEmpty()) {
        prompter_.plain(c_.parent,
                        QStringLiteral("Incomplete Storage Class Provider values!\r\n") + (blankAfterAet ? QStringLiteral("AET: ") : QStringLiteral("AET:"))
                            + aet + QStringLiteral("\r\nIP: ") + ip + QStringLiteral("\r\nPort: ") + port,
                        DefaultPromptTitle);
        return;
    }
    // The patient the images were loaded for (the one selected, as checked before).
    const BrowserSelection &patient = session_.loadedFor();
    if (patient.patientKey == 0 && patient.patientId.isEmpty()) {
        prompter_.information(c_.parent, QStringLiteral("No images loaded into viewport."), DefaultPromptTitle);
        return;
    }
    emit sendRequested(patient, partner, assignment);
}

void ProjectionAssignment::cmdProjection_Click(const QString &caption)
{
    if (!prompter_.question(c_.parent, QStringLiteral("Do you really want to change the projection entry ?"), DefaultPromptTitle))
        return;
    if (c_.rewriteChosenProjection)
        c_.rewriteChosenProjection(caption);
    if (c_.redecode)
        c_.redecode();
}

QStringList ProjectionAssignment::ProjectionCaptions()
{
    if (Settings.XrayComm < 2 || Settings.XrayComm > 5)
        return {};
    QFile f(AppPath(QString::fromLatin1(AppFiles::ProjectionCaptions)));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream in(&f);
    // One caption a line, for the eight buttons; further lines have no button.
    QStringList captions;
    while (captions.size() < 8 && !in.atEnd())
        captions << in.readLine();
    return captions;
}
