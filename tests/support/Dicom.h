#pragma once

// What DCMTK's and dicom3tools' own programs read in a file.
#include <QDate>
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

// One scheduled procedure step as a worklist provider holds it. Texts are
// written in the entry's character set (ISO_IR 100 Latin-1, ISO_IR 192 UTF-8,
// anything else byte for byte as Latin-1).
struct WorklistEntry {
    QString name{};
    QDate date{};
    QString time{}; // TM as written
    QString stationAet{};
    QString charset{}; // empty: none, the default repertoire
    QString id = QStringLiteral("ID1");
    QString birthDate = QStringLiteral("19620314");
    QString sex = QStringLiteral("F");
    QString bodyPart = QStringLiteral("BREAST");
    QString codeValue{}; // of the requested procedure; empty: no code sequence
    QString accession = QStringLiteral("ACC1");
    QString referring = QStringLiteral("Ref^Doc");
    QString institution = QStringLiteral("Clinic");
};

// The entry as a worklist file made by dump2dcm; false with a warning.
bool WriteWorklistFile(const WorklistEntry &entry, const QString &path);
