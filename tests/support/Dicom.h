#pragma once

// What DCMTK's and dicom3tools' own programs read in a file.
#include <QString>
#include <QStringList>

// dcmdump's text of the file (meta header included, long values in full).
QString Dump(const QString &file, const QStringList &options = {QStringLiteral("-M"), QStringLiteral("-Un")});
// The value of the first element with that tag ("0002,0010"), without brackets;
// empty when absent or empty.
QString DumpTag(const QString &file, const QString &tag);
// The value a dump shows for a tag: the text in brackets, or the number of a
// binary element; "<missing>" when the dump has no such element.
QString DumpedValue(const QString &dump, const QString &tag);
// dciodvfy's "Error" lines for the file; empty when it validates.
QStringList ValidationErrors(const QString &file);
