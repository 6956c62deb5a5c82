#include "support/Dicom.h"

#include "support/Station.h"

#include <QFile>
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

bool WriteWorklistFile(const WorklistEntry &e, const QString &path)
{
    const QString code = u"(0032,1064) SQ\n(fffe,e000) -\n(0008,0100) SH [%1]\n(0008,0102) SH [L]\n(0008,0104) LO [Screening]\n"
                         "(fffe,e00d) -\n(fffe,e0dd) -\n"_s.arg(e.codeValue);
    const QString text = u"(0008,0005) CS [%1]\n(0008,0050) SH [ACC1]\n(0008,0080) LO [Clinic]\n(0008,0090) PN [%2]\n"
                         "(0010,0010) PN [%3]\n(0010,0020) LO [%4]\n(0010,0030) DA [%5]\n(0010,0040) CS [%6]\n(0010,21c0) US 0\n"
                         "(0018,0015) CS [BREAST]\n(0020,000d) UI [1.2.826.0.1.3680043.2.1143.%7]\n(0032,1060) LO [Mammography]\n%8"
                         "(0040,0100) SQ\n(fffe,e000) -\n(0008,0060) CS [MG]\n(0040,0001) AE [%9]\n(0040,0002) DA [%10]\n"
                         "(0040,0003) TM [%11]\n(0040,0006) PN [Tech^Ann]\n(0040,0007) LO [Screening]\n(0040,0009) SH [SPS%4]\n"
                         "(fffe,e00d) -\n(fffe,e0dd) -\n(0040,1001) SH [RP%4]\n"_s
                             .arg(e.charset, e.referring, e.name, e.id, e.birthDate, e.sex, QString::number(qHash(e.id + e.name)),
                                  e.codeValue.isEmpty() ? QString() : code, e.stationAet)
                             .arg(e.date.toString(u"yyyyMMdd"_s), e.time);
    QFile dump(path + u".dump"_s);
    if (!dump.open(QIODevice::WriteOnly) || dump.write(e.charset == "ISO_IR 192"_L1 ? text.toUtf8() : text.toLatin1()) < 0)
        return false;
    dump.close();
    QByteArray out;
    const bool ok = RunProgram(u"dump2dcm"_s, {dump.fileName(), path}, &out) == 0;
    if (!ok)
        qWarning("dump2dcm: %s", out.constData());
    dump.remove();
    return ok;
}
