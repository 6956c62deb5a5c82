#pragma once

#include "companions/receiver/ImageStore.h"

#include <QString>

// The attributes the image tables need, read from a DICOM file up to its pixel
// data. False with a reason when the file is not a readable DICOM object.
bool ReadObjectHeader(const QString &path, ReceivedObject *object, QString *error);

// Copies a DICOM file to `target` byte for byte; a bare data set without file
// meta information is written with one. errno-style code in *err on failure.
bool CopyDicomFile(const QString &source, const QString &target, QString *error, int *err);
