#include "network/Worklist.h"

#include "core/ErrorLog.h"
#include "core/Settings.h"

#include <QRegularExpression>

namespace {

const QString kQueryLocation = QStringLiteral("WorklistForm QueryWorklist");

struct Key {
    quint16 group;
    quint16 element;
    const char *value = "";
};

bool put(ToolkitDataSet &ds, std::initializer_list<Key> keys, ToolkitError *error)
{
    for (const Key &k : keys) {
        if (!SetAttribute(ds, k.group, k.element, QString::fromLatin1(k.value), error))
            return false;
    }
    return true;
}

QString text(const ToolkitDataSet &ds, quint16 group, quint16 element) { return GetAttribute(ds, group, element).value; }

QString withAccent(QString s) { return s.replace(QLatin1Char('\''), QChar(0x00B4)); }

} // namespace

QStringList WorklistHeaders()
{
    return {QStringLiteral("Time"),      QStringLiteral("Patient Name"), QStringLiteral("First Name"), QStringLiteral("Middle Initial"),
            QStringLiteral("Birthdate"), QStringLiteral("ID"),           QStringLiteral("Sex"),        QStringLiteral("Bodypart"),
            QStringLiteral("Acc No."),   QStringLiteral("Ref. Physician"), QStringLiteral("Inst. Name")};
}

QString WorklistTime(const QString &tm)
{
    static const QRegularExpression time(QStringLiteral("^(\\d\\d)(\\d\\d)?(\\d\\d)?$"));
    QString t = tm.trimmed();
    // The old form with colons, and the fraction the list does not show.
    const QRegularExpressionMatch m = time.match(t.section(QLatin1Char('.'), 0, 0).remove(QLatin1Char(':')));
    if (!m.hasMatch())
        return t;
    auto part = [&m](int i) { return m.captured(i).isEmpty() ? QStringLiteral("00") : m.captured(i); };
    return part(1) + QLatin1Char(':') + part(2) + QLatin1Char(':') + part(3);
}

WorklistRow WorklistRowOf(const ToolkitDataSet &answer, const QLocale &locale)
{
    WorklistRow row;
    QStringList &c = row.columns;
    for (int i = 0; i < 11; ++i)
        c << QString();
    const ToolkitSequence steps = GetSequence(answer, 0x0040, 0x0100);
    if (!steps.isEmpty())
        c[0] = WorklistTime(text(steps.first(), 0x0040, 0x0003));
    // The alphabetic form only; an ideographic or phonetic one follows a "=".
    const QStringList name = text(answer, 0x0010, 0x0010).section(QLatin1Char('='), 0, 0).split(QLatin1Char('^'));
    for (int i = 0; i < 3; ++i)
        c[1 + i] = withAccent(name.value(i));
    const QString birth = text(answer, 0x0010, 0x0030).trimmed();
    row.birthDate = QDate::fromString(birth, QStringLiteral("yyyyMMdd"));
    c[4] = row.birthDate.isValid() ? locale.toString(row.birthDate, QLocale::ShortFormat) : birth;
    c[5] = text(answer, 0x0010, 0x0020);
    c[6] = text(answer, 0x0010, 0x0040);
    c[7] = text(answer, 0x0018, 0x0015);
    // Providers answer the requested item with an empty code value when the
    // procedure has none; the body part then stays.
    const ToolkitSequence codes = GetSequence(answer, 0x0032, 0x1064);
    if (!codes.isEmpty()) {
        const QString code = text(codes.first(), 0x0008, 0x0100).trimmed();
        if (!code.isEmpty())
            c[7] = code;
    }
    c[8] = text(answer, 0x0008, 0x0050);
    c[9] = withAccent(text(answer, 0x0008, 0x0090));
    c[10] = text(answer, 0x0008, 0x0080);
    return row;
}

ToolkitDataSet WorklistIdentifier(const QString &stationAet, const QDate &today)
{
    ToolkitError error;
    ToolkitDataSet id = NewDataSet();
    ToolkitDataSet study = NewDataSet();
    ToolkitDataSet procedure = NewDataSet();
    ToolkitDataSet protocol = NewDataSet();
    ToolkitDataSet step = NewDataSet();
    const QString day = today.toString(QStringLiteral("yyyyMMdd"));
    const bool ok = put(study, {{0x0008, 0x1150}, {0x0008, 0x1155}}, &error)
                    && put(procedure, {{0x0008, 0x0100}, {0x0008, 0x0102}, {0x0008, 0x0104}}, &error)
                    && put(protocol, {{0x0008, 0x0100}}, &error)
                    && put(step, {{0x0008, 0x0060}, {0x0032, 0x1070}, {0x0040, 0x0003, "000000-235959"}, {0x0040, 0x0006},
                                  {0x0040, 0x0007}, {0x0040, 0x0009}, {0x0040, 0x0010}, {0x0040, 0x0011}, {0x0040, 0x0012}}, &error)
                    && SetAttribute(step, 0x0040, 0x0001, stationAet, &error)
                    && SetAttribute(step, 0x0040, 0x0002, day + QLatin1Char('-') + day, &error)
                    && SetAttribute(step, 0x0040, 0x0008, NewSequence({protocol}), &error)
                    && put(id, {{0x0008, 0x0005}, {0x0008, 0x0050}, {0x0008, 0x0080}, {0x0008, 0x0090}, {0x0010, 0x0010},
                                {0x0010, 0x0020}, {0x0010, 0x0030}, {0x0010, 0x0040}, {0x0010, 0x1020}, {0x0010, 0x1030},
                                {0x0010, 0x1040}, {0x0010, 0x2000}, {0x0010, 0x2110}, {0x0010, 0x21C0, "0"}, {0x0018, 0x0015},
                                {0x0020, 0x000D}, {0x0032, 0x1032}, {0x0032, 0x1033}, {0x0032, 0x1060}, {0x0038, 0x0010},
                                {0x0038, 0x0050}, {0x0038, 0x0300}, {0x0038, 0x0400}, {0x0038, 0x0500}, {0x0040, 0x1001},
                                {0x0040, 0x1003}, {0x0040, 0x1004}, {0x0040, 0x3001}}, &error)
                    && SetAttribute(id, 0x0008, 0x1110, NewSequence({study}), &error)
                    && SetAttribute(id, 0x0032, 0x1064, NewSequence({procedure}), &error)
                    && SetAttribute(id, 0x0040, 0x0100, NewSequence({step}), &error);
    if (!ok)
        WriteErrorLog(error.number, error.text, kQueryLocation);
    return id;
}

WorklistRequest WorklistQuery::request() const
{
    return {Settings.LocalAET, Settings.RemoteAET, Settings.RemoteIP, Settings.RemotePort,
            WorklistIdentifier(Settings.LocalAET, today()), timeoutSeconds};
}

WorklistAnswers RunWorklistRequest(const WorklistRequest &request, const ToolkitCancel *cancel)
{
    WorklistAnswers out;
    bool portOk = false;
    const int port = request.remotePort.trimmed().toInt(&portOk);
    ToolkitQueryAnswers answers;
    if (!portOk)
        out.error = {13, QStringLiteral("Invalid worklist port '%1'").arg(request.remotePort)};
    else
        out.ok = RunWorklistQuery(request.localAet, request.remoteAet, request.remoteIp, port, QStringLiteral("WORKLIST"),
                                  request.identifier, answers, &out.error, request.timeoutSeconds, cancel);
    if (out.ok) {
        out.answers = answers.answers;
        out.charsetProblems = answers.charsetProblems;
    }
    return out;
}

void LogWorklistAnswers(const WorklistAnswers &answers)
{
    if (!answers.ok)
        WriteErrorLog(answers.error.number, answers.error.text, kQueryLocation);
    for (const ToolkitError &e : answers.charsetProblems)
        WriteErrorLog(e.number, e.text, kQueryLocation + QStringLiteral(" (CHARSET)"));
}
