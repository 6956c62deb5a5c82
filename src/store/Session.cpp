#include "store/Session.h"

void Session::setCurrentImage(int index, ToolkitImagePtr image)
{
    currentImageIndex_ = image ? index : 0;
    currentImage_ = std::move(image);
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
