#pragma once

#include "companions/receiver/ImageStore.h"

#include <QString>

// How far the receiver goes into an arriving object. Far beyond what a
// modality sends (the per-frame sequences of a tomosynthesis object, the
// content tree of a dose report); an object beyond them is refused, because
// the toolkit's parser, here and in the workstation later, would spend the
// stack on its nesting or hundreds of bytes of memory on each of its items.
namespace ObjectLimits {
inline constexpr int MaxNesting = 32;           // sequences within sequences
inline constexpr qint64 MaxItems = 100000;      // sequence items and pixel fragments, in all
inline constexpr qint64 MaxElements = 1000000;  // data elements, in all
inline constexpr qint64 MaxFiledValue = 1024;   // bytes of one attribute the tables take
} // namespace ObjectLimits

// The attributes the image tables need, from a DICOM file (with or without
// file meta information, any transfer syntax, deflated included). Only those
// attributes are kept; the rest of the object is walked to check its structure
// against ObjectLimits, holding nothing, so memory and stack stay the same
// whatever the object holds. NotReadable with the reason when the file is not
// a well-formed DICOM object, exceeds a limit or lacks the UIDs filing needs.
Result ReadObjectHeader(const QString &path, ReceivedObject *object);

// Copies a DICOM file to `target` byte for byte; a bare data set without file
// meta information is written with one. OutOfSpace when the disk is full.
Result CopyDicomFile(const QString &source, const QString &target);
