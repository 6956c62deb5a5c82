#pragma once

// Inside the toolkit only: the DCMTK objects behind the public handles.

#include "toolkit/Toolkit.h"

class DcmFileFormat;
class DcmItem;

// The file format an image holds; null for an empty or unreadable image.
DcmFileFormat *ToolkitFileFormat(const ToolkitImagePtr &image);

// The item a data set holds; null for none.
DcmItem *ToolkitItem(const ToolkitDataSet &dataSet);
// A data set that takes over the item.
ToolkitDataSet ToolkitDataSetOf(DcmItem *item);
