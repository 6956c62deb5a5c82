#pragma once

#include "companions/receiver/ImageStore.h"

#include <QString>

// The attributes the image tables need, read from a DICOM file up to its pixel
// data. NotReadable with the reason when the file is not a readable DICOM object.
Result ReadObjectHeader(const QString &path, ReceivedObject *object);

// Copies a DICOM file to `target` byte for byte; a bare data set without file
// meta information is written with one. OutOfSpace when the disk is full.
Result CopyDicomFile(const QString &source, const QString &target);
