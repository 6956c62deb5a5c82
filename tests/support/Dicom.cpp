#include "support/Dicom.h"

#include "support/Station.h"

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
