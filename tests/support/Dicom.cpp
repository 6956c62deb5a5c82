#include "support/Dicom.h"

#include "support/Station.h"

#include <QFile>
#include <QRegularExpression>

QString Dump(const QString &file, const QStringList &options)
{
    QByteArray out;
    RunProgram(QStringLiteral("dcmdump"), options + QStringList{file}, &out);
    return QString::fromUtf8(out);
}

QString DumpTag(const QString &file, const QString &tag)
{
    const QString text = Dump(file, {QStringLiteral("-M"), QStringLiteral("-Un"), QStringLiteral("+P"), tag});
    const qsizetype a = text.indexOf(QLatin1Char('['));
    const qsizetype b = text.indexOf(QLatin1Char(']'), a);
    return a < 0 || b < 0 ? QString() : text.mid(a + 1, b - a - 1);
}

QString DumpedValue(const QString &dump, const QString &tag)
{
    const QRegularExpression line(QStringLiteral("^\\(%1\\) \\w\\w (?:\\[([^\\]]*)\\]|(\\S+))").arg(QRegularExpression::escape(tag.toLower())),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = line.match(dump);
    return m.hasMatch() ? m.captured(1) + m.captured(2) : QStringLiteral("<missing>");
}

QStringList ValidationErrors(const QString &file)
{
    QByteArray out;
    if (RunProgram(QStringLiteral("dciodvfy"), {file}, &out) < 0)
        return {QStringLiteral("Error - dciodvfy did not run")};
    QStringList errors;
    for (const QString &line : QString::fromUtf8(out).split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("Error")))
            errors << line;
    return errors;
}

bool WriteWorklistFile(const WorklistEntry &e, const QString &path)
{
    const QString text = QStringLiteral(
        "(0008,0005) CS [%1]\n(0008,0050) SH [%2]\n(0008,0080) LO [%3]\n(0008,0090) PN [%4]\n(0010,0010) PN [%5]\n"
        "(0010,0020) LO [%6]\n(0010,0030) DA [%7]\n(0010,0040) CS [%8]\n(0010,21c0) US 0\n(0018,0015) CS [%9]\n"
        "(0020,000d) UI [1.2.826.0.1.3680043.2.1143.%14]\n(0032,1060) LO [Mammography]\n%10"
        "(0040,0100) SQ\n(fffe,e000) -\n(0008,0060) CS [MG]\n(0040,0001) AE [%11]\n(0040,0002) DA [%12]\n"
        "(0040,0003) TM [%13]\n(0040,0006) PN [Tech^Ann]\n(0040,0007) LO [Screening]\n(0040,0009) SH [SPS%6]\n"
        "(fffe,e00d) -\n(fffe,e0dd) -\n(0040,1001) SH [RP%6]\n")
        .arg(e.charset, e.accession, e.institution, e.referring, e.name, e.id, e.birthDate, e.sex, e.bodyPart)
        .arg(e.codeValue.isEmpty() ? QString()
                                   : QStringLiteral("(0032,1064) SQ\n(fffe,e000) -\n(0008,0100) SH [%1]\n(0008,0102) SH [L]\n"
                                                    "(0008,0104) LO [Screening]\n(fffe,e00d) -\n(fffe,e0dd) -\n")
                                         .arg(e.codeValue),
             e.stationAet, e.date.toString(QStringLiteral("yyyyMMdd")), e.time, QString::number(qHash(e.id + e.name)));
    QFile dump(path + QStringLiteral(".dump"));
    if (!dump.open(QIODevice::WriteOnly)
        || dump.write(e.charset == QLatin1String("ISO_IR 192") ? text.toUtf8() : text.toLatin1()) < 0)
        return false;
    dump.close();
    QByteArray out;
    const bool ok = RunProgram(QStringLiteral("dump2dcm"), {dump.fileName(), path}, &out) == 0;
    if (!ok)
        qWarning("dump2dcm: %s", out.constData());
    dump.remove();
    return ok;
}
