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
