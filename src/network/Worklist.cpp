#include "network/Worklist.h"

#include "network/TlsSecurity.h"

#include "audit/AuditTrail.h"
#include "core/DisplayText.h"
#include "core/Settings.h"
#include "store/Database.h"

#include <QRegularExpression>

namespace {

const QString kQueryLocation = QStringLiteral("WorklistForm QueryWorklist");

struct Key {
    ToolkitTag tag;
    const char *value = "";
};

bool put(ToolkitDataSet &ds, std::initializer_list<Key> keys, Result *error)
{
    for (const Key &k : keys) {
        if (!SetAttribute(ds, k.tag, QString::fromLatin1(k.value), error))
            return false;
    }
    return true;
}

QString text(const ToolkitDataSet &ds, ToolkitTag tag) { return GetAttribute(ds, tag).value; }

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
    const ToolkitSequence steps = GetSequence(answer, Tags::ScheduledProcedureStepSequence);
    if (!steps.isEmpty()) {
        const QString tm = text(steps.first(), Tags::ScheduledProcedureStepStartTime);
        c[0] = StoredTimeText(tm, locale);
        row.time = WorklistTime(tm);
    }
    // The alphabetic form only; an ideographic or phonetic one follows a "=".
    const QStringList name = text(answer, Tags::PatientName).section(QLatin1Char('='), 0, 0).split(QLatin1Char('^'));
    for (int i = 0; i < 3; ++i)
        c[1 + i] = withAccent(name.value(i));
    const QString birth = text(answer, Tags::PatientBirthDate).trimmed();
    row.birthDate = QDate::fromString(birth, QStringLiteral("yyyyMMdd"));
    c[4] = row.birthDate.isValid() ? DateText(row.birthDate, locale) : birth;
    c[5] = text(answer, Tags::PatientID);
    c[6] = text(answer, Tags::PatientSex);
    c[7] = text(answer, Tags::BodyPartExamined);
    // Providers answer the requested item with an empty code value when the
    // procedure has none; the body part then stays.
    const ToolkitSequence codes = GetSequence(answer, Tags::RequestedProcedureCodeSequence);
    if (!codes.isEmpty()) {
        const QString code = text(codes.first(), Tags::CodeValue).trimmed();
        if (!code.isEmpty())
            c[7] = code;
    }
    c[8] = text(answer, Tags::AccessionNumber);
    c[9] = PersonNameText(withAccent(text(answer, Tags::ReferringPhysicianName)));
    c[10] = text(answer, Tags::InstitutionName);
    return row;
}

ToolkitDataSet WorklistIdentifier(const QString &stationAet, const QDate &today)
{
    Result error;
    ToolkitDataSet id = NewDataSet();
    ToolkitDataSet study = NewDataSet();
    ToolkitDataSet procedure = NewDataSet();
    ToolkitDataSet protocol = NewDataSet();
    ToolkitDataSet step = NewDataSet();
    const QString day = today.toString(QStringLiteral("yyyyMMdd"));
    const bool ok = put(study, {{Tags::ReferencedSOPClassUID}, {Tags::ReferencedSOPInstanceUID}}, &error)
                    && put(procedure, {{Tags::CodeValue}, {Tags::CodingSchemeDesignator}, {Tags::CodeMeaning}}, &error)
                    && put(protocol, {{Tags::CodeValue}}, &error)
                    && put(step,
                           {{Tags::Modality},
                            {Tags::RequestedContrastAgent},
                            {Tags::ScheduledProcedureStepStartTime, "000000-235959"},
                            {Tags::ScheduledPerformingPhysicianName},
                            {Tags::ScheduledProcedureStepDescription},
                            {Tags::ScheduledProcedureStepID},
                            {Tags::ScheduledStationName},
                            {Tags::ScheduledProcedureStepLocation},
                            {Tags::PreMedication}},
                           &error)
                    && SetAttribute(step, Tags::ScheduledStationAETitle, stationAet, &error)
                    && SetAttribute(step, Tags::ScheduledProcedureStepStartDate, day + QLatin1Char('-') + day, &error)
                    && SetAttribute(step, Tags::ScheduledProtocolCodeSequence, NewSequence({protocol}), &error)
                    && put(id,
                           {{Tags::SpecificCharacterSet},
                            {Tags::AccessionNumber},
                            {Tags::InstitutionName},
                            {Tags::ReferringPhysicianName},
                            {Tags::PatientName},
                            {Tags::PatientID},
                            {Tags::PatientBirthDate},
                            {Tags::PatientSex},
                            {Tags::PatientSize},
                            {Tags::PatientWeight},
                            {Tags::PatientAddress},
                            {Tags::MedicalAlerts},
                            {Tags::Allergies},
                            {Tags::PregnancyStatus, "0"},
                            {Tags::BodyPartExamined},
                            {Tags::StudyInstanceUID},
                            {Tags::RequestingPhysician},
                            {Tags::RequestingService},
                            {Tags::RequestedProcedureDescription},
                            {Tags::AdmissionID},
                            {Tags::SpecialNeeds},
                            {Tags::CurrentPatientLocation},
                            {Tags::PatientInstitutionResidence},
                            {Tags::PatientState},
                            {Tags::RequestedProcedureID},
                            {Tags::RequestedProcedurePriority},
                            {Tags::PatientTransportArrangements},
                            {Tags::ConfidentialityConstraintOnPatientDataDescription}},
                           &error)
                    && SetAttribute(id, Tags::ReferencedStudySequence, NewSequence({study}), &error)
                    && SetAttribute(id, Tags::RequestedProcedureCodeSequence, NewSequence({procedure}), &error)
                    && SetAttribute(id, Tags::ScheduledProcedureStepSequence, NewSequence({step}), &error);
    if (!ok)
        LogFailure(error, kQueryLocation);
    return id;
}

WorklistRequest WorklistQuery::request() const
{
    return {Settings.LocalAET, Settings.RemoteAET, Settings.RemoteIP, Settings.RemotePort,
            WorklistIdentifier(Settings.LocalAET, today()), timeoutSeconds, SecurityFor(Settings.WorklistTLS != 0)};
}

WorklistAnswers RunWorklistRequest(const WorklistRequest &request, const ToolkitCancel *cancel)
{
    WorklistAnswers out;
    out.provider = QStringLiteral("%1 at %2:%3").arg(request.remoteAet, request.remoteIp, request.remotePort);
    out.request = request;
    bool portOk = false;
    const int port = request.remotePort.trimmed().toInt(&portOk);
    ToolkitQueryAnswers answers;
    if (!portOk) {
        static_cast<Result &>(out) = Result::failure(ErrorCode::TypeMismatch, QStringLiteral("Invalid worklist port '%1'").arg(request.remotePort));
        return out;
    }
    Result error;
    if (!RunWorklistQuery(request.localAet, request.remoteAet, request.remoteIp, port, QStringLiteral("WORKLIST"), request.identifier,
                          answers, &error, request.timeoutSeconds, cancel, request.security)) {
        static_cast<Result &>(out) = error;
        return out;
    }
    {
        out.answers = answers.answers;
        out.charsetProblems = answers.charsetProblems;
    }
    return out;
}

void LogWorklistAnswers(const WorklistAnswers &answers)
{
    if (answers.number == ErrorCode::TlsRefused)
        ReportTlsFailure(answers.provider, answers.text);
    else if (!answers.ok())
        LogFailure(answers, kQueryLocation);
    for (const Result &e : answers.charsetProblems)
        LogFailure(e, kQueryLocation + QStringLiteral(" (CHARSET)"));
    QList<AuditPatient> found;
    for (const ToolkitDataSet &a : answers.answers)
        AddAuditInstance(found, GetAttribute(a, Tags::PatientID).value.trimmed(), GetAttribute(a, Tags::PatientName).value.trimmed(),
                         GetAttribute(a, Tags::StudyInstanceUID).value.trimmed(), {}, GetAttribute(a, Tags::AccessionNumber).value.trimmed());
    // An answer without a study UID names the patient only.
    for (AuditPatient &p : found)
        p.studies.removeIf([](const AuditStudy &s) { return s.studyUid.isEmpty(); });
    const WorklistRequest &r = answers.request;
    QString syntax;
    const QByteArray identifier = EncodeDataSet(r.identifier, &syntax);
    AuditWorklistQuery(r.localAet, {r.remoteAet, r.remoteIp, quint16(r.remotePort.trimmed().toUInt())}, identifier, syntax, found,
                       answers.ok() ? QString() : answers.text);
}
