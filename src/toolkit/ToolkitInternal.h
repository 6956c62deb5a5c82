#pragma once

// Inside the toolkit only: the DCMTK objects behind the public handles.

#include "toolkit/Toolkit.h"

class DcmFileFormat;

// The file format an image holds; null for an empty or unreadable image.
DcmFileFormat *ToolkitFileFormat(const ToolkitImagePtr &image);
