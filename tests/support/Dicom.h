#pragma once

// What DCMTK's and dicom3tools' own programs read in a file.
#include <QDate>
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

// One scheduled procedure step as a worklist provider holds it. Texts are
// written in the entry's character set (ISO_IR 192 as UTF-8, anything else
// byte for byte as Latin-1).
struct WorklistEntry {
    QString name{};
    QDate date{};
    QString time{}; // TM as written
    QString stationAet{};
    QString charset{}; // empty: none, the default repertoire
    QString id = "ID1";
    QString birthDate = "19620314";
    QString sex = "F";
    QString codeValue{}; // of the requested procedure; empty: no code sequence
    QString referring = "Ref^Doc";
};

// The entry as a worklist file made by dump2dcm; false with a warning.
bool WriteWorklistFile(const WorklistEntry &entry, const QString &path);
