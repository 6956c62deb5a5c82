#pragma once

// Inside the toolkit only: the DCMTK objects behind the public handles.

#include "toolkit/Toolkit.h"

#include <functional>

class DcmFileFormat;
class DcmItem;

// The file format an image holds; null for an empty or unreadable image.
DcmFileFormat *ToolkitFileFormat(const ToolkitImagePtr &image);
// A handle with an empty data set, to be filled in place; path names its file.
ToolkitImagePtr NewToolkitObject(const QString &path);

// The item a data set holds; null for none.
DcmItem *ToolkitItem(const ToolkitDataSet &dataSet);
// A data set that takes over the item.
ToolkitDataSet ToolkitDataSetOf(DcmItem *item);

// Writes path through a temporary file beside it, renamed over path once
// complete: `write` fills the temporary and returns "" or why it failed.
// Nothing is left behind on a failure. When `replace` says no after a
// good write, the temporary is dropped and path stays as it was.
bool WriteReplacing(const QString &path, const std::function<QString(const QString &temp)> &write, Result *error,
                    const std::function<bool()> &replace = {});
