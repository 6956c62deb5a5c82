#include "acquisition/ProjectionAssignment.h"

#include "store/Session.h"

#include "acquisition/ImageViewer.h"
#include "acquisition/SelectPosForm.h"
#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "ui/Prompts.h"
#include "core/Settings.h"
#include "store/Database.h"

#include <QCoreApplication>
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
    SelectPosForm form(c_.parent, image);
    form.exec();
    return form.side();
}

int ProjectionAssignment::exposureCount() const { return c_.exposureCount ? c_.exposureCount() : 0; }

void ProjectionAssignment::emptyWorkFolder()
{
    QDir bin(binFolder());
    for (const QString &f : bin.entryList({QStringLiteral("*.dcm")}, QDir::Files))
        bin.remove(f);
}

ExposureValues ProjectionAssignment::exposureFor(const ToolkitImagePtr &image) const
{
    const ExposureValues &chosen = session_.selectedExposure();
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

bool ProjectionAssignment::stamp(const ToolkitImagePtr &image, const QString &key)
{
    const qint16 unit = Settings.XrayComm;
    const int rows = exposureCount();
    for (int j = 0; j < rows; ++j) {
        if (c_.chooseExposure)
            c_.chooseExposure(j);
        QCoreApplication::processEvents();
        const QString projection = session_.selectedExposure().other;
        if (unit == 2 && projection.isEmpty()) {
            prompter_.critical(c_.parent,
                               QStringLiteral("You have not set the projection, please click on the correct projection button!\n"
                                              "If you have set the projection please click on Manually button!"),
                               DefaultPromptTitle);
            return false;
        }
        if (ExposureMatchesKey(unit, projection, key))
            break;
    }
    Result error;
    auto log = [&](bool ok) {
        if (!ok)
            LogFailure(error, kWhere);
    };
    if (unit != 2) {
        if (unit >= 3)
            log(SetAttribute(image, Tags::Modality, QStringLiteral("MG"), &error));
        const HeaderExposureValues values = ExposureValuesForHeader(unit, exposureFor(image), session_.selectedExposureTime());
        if (!values.notNumbers.isEmpty())
            WriteErrorLog(ErrorCode::TypeMismatch, QStringLiteral("Not a number, left out: ") + values.notNumbers.join(QStringLiteral(", ")), kWhere);
        log(WriteExposureValues(image, values, &error));
        // The sensitivity: unit 1 reports it with the exposure, units 3 and 4 in the image.
        QString sensitivity;
        if (unit == 1)
            sensitivity = session_.selectedExposure().other;
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
        const QString path = binFolder() + QLatin1Char('/') + ImageUid(image) + QStringLiteral(".dcm");
        log(WriteDicomFile(image, path, &error));
    }
    return true;
}

void ProjectionAssignment::cmdAll_Click()
{
    // A study still loading lets events run between its images: its list is
    // not complete yet.
    if (merging_ || session_.imageLoadActive() || anotherPatientSelected())
        return;
    merging_ = true;
    const auto done = qScopeGuard([this] { merging_ = false; });
    emptyWorkFolder();
    const ToolkitImageList &loaded = session_.loadedImages();
    const int images = ListCount(loaded);
    if (images != exposureCount()) {
        prompter_.information(c_.parent, QStringLiteral("There are not all images on the system please wait a few second and try again!"),
                              DefaultPromptTitle);
        return;
    }
    QString key;
    for (int i = 1; i <= images; ++i) {
        // Each loaded image in turn, found in the viewer by its whole UID,
        // whatever the image list shows or in which order.
        const ToolkitImagePtr image = ListItem(loaded, i);
        const QString uid = image ? ImageUid(image) : QString();
        if (uid.isEmpty() || !c_.viewer || !c_.viewer->SelectImageByUid(uid))
            continue;
        emit imageChosen(uid);
        const ToolkitImagePtr current = session_.currentImage();
        if (!current)
            continue;
        // An image whose attributes name no projection keeps the previous key.
        const QString k = ImageProjectionKey(Settings.XrayComm, current);
        if (!k.isEmpty())
            key = k;
        if (!stamp(current, key))
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
        // The image with the exposure the operator chose by hand: stamped and
        // saved, so that the send takes this copy.
        ModifyImage(current, [this](const ToolkitImagePtr &i) { return askSide(i); }, rememberedSide_);
        WriteExposureValues(current, ExposureValuesForHeader(Settings.XrayComm, exposureFor(current), session_.selectedExposureTime()));
        Result error;
        if (!WriteDicomFile(current, binFolder() + QLatin1Char('/') + ImageUid(current) + QStringLiteral(".dcm"), &error))
            LogFailure(error, QStringLiteral("MainForm cmdSelected_Click"));
    }
    sendToDefault(true, DoseAssignment::AssignSelected);
}

void ProjectionAssignment::sendToDefault(bool blankAfterAet, DoseAssignment assignment)
{
    const QStringList partner = c_.defaultPartner ? c_.defaultPartner() : QStringList();
    const QString aet = partner.value(0), ip = partner.value(1), port = partner.value(2);
    // The settings file records the partner of the last send.
    Settings.SCP_AET = aet;
    Settings.SCP_IP = ip;
    Settings.SCP_Port = port;
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
