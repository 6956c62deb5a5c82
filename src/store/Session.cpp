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

void Session::setSelectedExposure(const ExposureValues &values, const QString &exposureTime)
{
    exposure_ = values;
    exposureTime_ = exposureTime;
    emit selectedExposureChanged();
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
