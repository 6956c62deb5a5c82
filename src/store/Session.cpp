#include "store/Session.h"

ToolkitImagePtr Session::loadedImage(const QString &uid) const
{
    const int at = loadedPosition(uid);
    return at > 0 ? loaded_.items.at(at - 1) : nullptr;
}

int Session::loadedPosition(const QString &uid) const
{
    // The whole UID: "….1" is a part of "….10".
    for (int i = 0; !uid.isEmpty() && i < loadedUids_.size(); ++i)
        if (loadedUids_.at(i) == uid)
            return i + 1;
    return 0;
}

bool Session::addLoadedImage(const QString &uid, const ToolkitImagePtr &image)
{
    if (!image || uid.isEmpty() || loadedPosition(uid) > 0)
        return false;
    loaded_.items.append(image);
    loadedUids_.append(uid);
    emit imageLoaded(image);
    return true;
}

bool Session::removeLoadedImage(const QString &uid)
{
    const int at = loadedPosition(uid);
    if (at == 0)
        return false;
    if (uid == currentUid_)
        clearCurrentImage();
    loaded_.items.removeAt(at - 1);
    loadedUids_.removeAt(at - 1);
    emit imageRemoved(uid);
    return true;
}

void Session::clearLoadedImages()
{
    clearCurrentImage();
    const bool had = !loaded_.items.isEmpty();
    loaded_.items.clear();
    loadedUids_.clear();
    loadedFor_ = {};
    if (had)
        emit loadedImagesCleared();
}

bool Session::setCurrentImage(const QString &uid)
{
    if (loadedPosition(uid) == 0)
        return false;
    if (uid != currentUid_) {
        currentUid_ = uid;
        emit currentImageChanged();
    }
    return true;
}

void Session::clearCurrentImage()
{
    if (currentUid_.isEmpty())
        return;
    currentUid_.clear();
    emit currentImageChanged();
}

void Session::setSelection(const BrowserSelection &selection)
{
    selection_ = selection;
    emit selectionChanged();
}

void Session::setChosenExposure(const ChosenExposure &exposure)
{
    exposure_ = exposure;
    emit selectedExposureChanged();
}

void Session::setChosenProjection(const QString &projection)
{
    exposure_.values.other = projection;
    emit selectedExposureChanged();
}

void Session::setChosenExposureTime(const QString &exposureTime)
{
    if (exposure_.exposureTime == exposureTime)
        return;
    exposure_.exposureTime = exposureTime;
    emit selectedExposureChanged();
}

void Session::setWorklistPatient(const WorklistPatient &patient)
{
    worklistPatient_ = patient;
    emit worklistPatientChanged();
}

void Session::setSendPartner(const SendPartner &partner)
{
    sendPartner_ = partner;
}

void Session::setActiveFilterTags(const QMap<QString, QString> &tags)
{
    filterTags_ = tags;
    emit activeFilterChanged();
}

void Session::setBatchActive(bool active)
{
    if (batchActive_ == active)
        return;
    batchActive_ = active;
    emit batchActiveChanged(active);
}
