#include "support/Dicom.h"

#include "support/Station.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

QString Dump(const QString &file, const QStringList &options)
{
    QByteArray out;
    RunProgram(u"dcmdump"_s, options + QStringList{file}, &out);
    return QString::fromUtf8(out);
}

QString DumpedValue(const QString &dump, const QString &tag)
{
    const QRegularExpression line(u"^\\(%1\\) \\w\\w (?:\\[([^\\]]*)\\]|(\\S+))"_s.arg(QRegularExpression::escape(tag.toLower())),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = line.match(dump);
    return m.hasMatch() ? m.captured(1) + m.captured(2) : u"<missing>"_s;
}

QString DumpTag(const QString &file, const QString &tag) { return DumpedValue(Dump(file, {"-M", "-Un", "+P", tag}), tag); }

QStringList ValidationErrors(const QString &file)
{
    QByteArray out;
    if (RunProgram(u"dciodvfy"_s, {file}, &out) < 0)
        return {u"Error - dciodvfy did not run"_s};
    return QString::fromUtf8(out).split(u'\n').filter(QRegularExpression(u"^Error"_s));
}

QString SrDump(const QString &file)
{
    QByteArray out;
    return RunProgram(u"dsrdump"_s, {u"+Pc"_s, file}, &out) == 0 ? QString::fromUtf8(out) : QString();
}

QString SrValidatorOutput(const QString &file)
{
    // The templates' XPath expressions exceed the JDK's default limits.
    QByteArray out;
    const int rc = RunProgram(u"java"_s,
                              {u"-Djdk.xml.xpathExprGrpLimit=0"_s, u"-Djdk.xml.xpathExprOpLimit=0"_s, u"-Djdk.xml.xpathTotalOpLimit=0"_s,
                               u"-cp"_s, u"/usr/share/java/pixelmed.jar"_s, u"com.pixelmed.validate.DicomSRValidator"_s, file},
                              &out, 240000);
    return rc < 0 ? u"Error: PixelMed's validator did not run or did not finish"_s : QString::fromUtf8(out);
}

namespace {

void putU16(QByteArray &out, quint16 v) { out.append(char(v & 0xff)).append(char(v >> 8)); }
void putU32(QByteArray &out, quint32 v)
{
    putU16(out, quint16(v & 0xffff));
    putU16(out, quint16(v >> 16));
}
void putTag(QByteArray &out, quint16 group, quint16 element)
{
    putU16(out, group);
    putU16(out, element);
}
constexpr quint32 kUndefined = 0xFFFFFFFFu;
void putItemTag(QByteArray &out, quint16 element, quint32 length)
{
    putTag(out, 0xFFFE, element);
    putU32(out, length);
}

QByteArray explicitElement(quint16 group, quint16 element, const char *vr, QByteArray value)
{
    if (value.size() % 2)
        value.append(qstrcmp(vr, "UI") == 0 ? '\0' : ' ');
    static const QByteArrayList longForm{"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"};
    QByteArray out;
    putTag(out, group, element);
    out.append(vr, 2);
    if (longForm.contains(QByteArray(vr, 2))) {
        putU16(out, 0);
        putU32(out, quint32(value.size()));
    } else {
        putU16(out, quint16(value.size()));
    }
    return out + value;
}

} // namespace

QByteArray ImplicitElement(quint16 group, quint16 element, const QByteArray &value)
{
    QByteArray out;
    putTag(out, group, element);
    putU32(out, quint32(value.size()));
    return out + value;
}

RawObject &RawObject::add(quint16 group, quint16 element, const char *vr, QByteArray value)
{
    if (encoding_ == Encoding::ExplicitLittle) {
        data_ += explicitElement(group, element, vr, std::move(value));
    } else {
        if (value.size() % 2)
            value.append(qstrcmp(vr, "UI") == 0 ? '\0' : ' ');
        data_ += ImplicitElement(group, element, value);
    }
    return *this;
}

RawObject &RawObject::addSequence(quint16 group, quint16 element, const QByteArray &items)
{
    if (encoding_ == Encoding::ExplicitLittle) {
        data_ += explicitElement(group, element, "UN", items);
    } else {
        putTag(data_, group, element);
        putU32(data_, kUndefined);
        data_ += items;
    }
    return *this;
}

bool RawObject::write(const QString &path, const QString &sopClass, const QString &sopInstance) const
{
    const QByteArray syntax = encoding_ == Encoding::ExplicitLittle ? "1.2.840.10008.1.2.1" : "1.2.840.10008.1.2";
    QByteArray meta = explicitElement(0x0002, 0x0001, "OB", QByteArray("\0\1", 2))
                      + explicitElement(0x0002, 0x0002, "UI", sopClass.toLatin1())
                      + explicitElement(0x0002, 0x0003, "UI", sopInstance.toLatin1())
                      + explicitElement(0x0002, 0x0010, "UI", syntax)
                      + explicitElement(0x0002, 0x0012, "UI", "1.2.276.0.7230010.3.0.3.6.7");
    QByteArray length;
    putU32(length, quint32(meta.size()));
    meta.prepend(explicitElement(0x0002, 0x0000, "UL", length));
    QFile f(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(QByteArray(128, '\0') + "DICM" + meta) > 0
           && f.write(data_) == data_.size();
}

QByteArray NestedItems(quint16 group, quint16 element, int depth)
{
    QByteArray open, item, end;
    putItemTag(item, 0xE000, kUndefined);
    putTag(open, group, element);
    putU32(open, kUndefined);
    open += item;
    putItemTag(end, 0xE00D, 0);
    putItemTag(end, 0xE0DD, 0);
    // The outer sequence's own item, then depth - 1 sequences inside it.
    return item + open.repeated(depth - 1) + end.repeated(depth - 1) + end;
}

QByteArray RepeatedItems(qint64 count, const QByteArray &content)
{
    QByteArray item;
    putItemTag(item, 0xE000, kUndefined);
    item += content;
    putItemTag(item, 0xE00D, 0);
    QByteArray out = item.repeated(count);
    putItemTag(out, 0xE0DD, 0);
    return out;
}
