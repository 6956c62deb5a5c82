#pragma once

// File names made from what images and media say: checked before they touch the disk.
#include <QString>
#include <QStringList>

#include "toolkit/Result.h"

// A UID that may name a file: digits and dots, at most 64 characters.
bool IsValidUid(const QString &uid);

// The file a DICOMDIR's Referenced File ID names, below the DICOMDIR's folder.
// Each component is matched to the names on disk without regard to letter case
// and with or without an ISO 9660 version (";1") or a trailing dot. Empty with
// the reason (FileNotFound) when a component climbs out ("..", ".") or is absolute, when the
// path, its symbolic links followed, ends outside the DICOMDIR's folder, or
// when no such file exists. The file is given with its links resolved.
QString ResolveReferencedFile(const QString &directoryFolder, const QStringList &components, Result *error);
