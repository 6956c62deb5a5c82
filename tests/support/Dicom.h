#pragma once

// What DCMTK's and dicom3tools' own programs read in a file.
#include <QStringList>

// dcmdump's text of the file (meta header included, UIDs as numbers).
QString Dump(const QString &file, const QStringList &options = {"-M", "-Un"});
// The value a dump shows for a tag ("0002,0010"): the text in brackets, or the
// number of a binary element; "<missing>" when the dump has no such element.
QString DumpedValue(const QString &dump, const QString &tag);
// The value of the file's first element with that tag, as DumpedValue.
QString DumpTag(const QString &file, const QString &tag);
// dciodvfy's "Error" lines for the file; empty when it validates.
QStringList ValidationErrors(const QString &file);
