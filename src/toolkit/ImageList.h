#pragma once

#include <QList>

#include <memory>

// One DICOM image (toolkit/Toolkit.h), handled through this pointer.
class ToolkitImage;
using ToolkitImagePtr = std::shared_ptr<ToolkitImage>;

// The images read for the viewer, indexed from 1.
struct ToolkitImageList {
    QList<ToolkitImagePtr> items;
};
