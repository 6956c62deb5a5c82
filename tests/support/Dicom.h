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
// dsrdump's text of a structured report (its header and content tree, every
// code in full: concept names too).
QString SrDump(const QString &file);
// What PixelMed's structured-report validator says of the file (it takes
// up to a minute); a line "Error: ..." of its own when it did not run.
QString SrValidatorOutput(const QString &file);

// An object put together byte by byte, for what no toolkit writes:
// sequences nested thousands deep, a million items. Elements go in in the
// order added; add them in ascending tag order.
class RawObject {
public:
    enum class Encoding { ExplicitLittle, ImplicitLittle };
    explicit RawObject(Encoding encoding = Encoding::ExplicitLittle) : encoding_(encoding) {}
    // An element and its value, padded to an even length (UIDs with NUL).
    RawObject &add(quint16 group, quint16 element, const char *vr, QByteArray value);
    // A sequence of the items given (implicit VR little endian, delimiter
    // included). In explicit VR it goes in as an element of VR UN, the way a
    // sequence reaches a node that does not know its tag: a sender passes it
    // on unparsed, and sent over implicit VR the receiver meets the sequence.
    RawObject &addSequence(quint16 group, quint16 element, const QByteArray &items);
    // The file: preamble, "DICM", file meta information and the data set.
    bool write(const QString &path, const QString &sopClass, const QString &sopInstance) const;

private:
    Encoding encoding_;
    QByteArray data_;
};

// An element in implicit VR little endian.
QByteArray ImplicitElement(quint16 group, quint16 element, const QByteArray &value);
// Sequence items in implicit VR little endian, delimiter included: one item
// holding a sequence of the same tag, holding one item ..., `depth` sequences
// deep counting the one they are the items of.
QByteArray NestedItems(quint16 group, quint16 element, int depth);
// `count` items of the same content.
QByteArray RepeatedItems(qint64 count, const QByteArray &content);
