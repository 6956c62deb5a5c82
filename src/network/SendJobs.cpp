#include "network/SendJobs.h"

#include "network/TlsSecurity.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "store/ImageRows.h"
#include "toolkit/ToolkitNetwork.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

namespace {

// The first failure the operator is to be told of; later ones only go to the log.
void keepFailure(JobOutcome &outcome, const Result &failure)
{
    if (outcome.ok())
        static_cast<Result &>(outcome) = failure;
}

// Reads one file and stores it over the job's associations; the image is
// released before the next one is read. `sent`, when given, is called with
// the image before it is released.
bool sendFile(SendConnections &connections, const QString &path, Result *error,
              const std::function<void(const ToolkitImagePtr &)> &sent = {})
{
    ToolkitImageList sendList;
    if (!ReadFileIntoList(sendList, path, error))
        return false;
    const ToolkitImagePtr image = ListItem(sendList, 1);
    if (!connections.send(image, error))
        return false;
    if (sent)
        sent(image);
    return true;
}

// A stored object as it goes out: a dose report (the X-ray unit's, or an
// earlier one of the workstation's) byte for byte as it was filed, an image
// through the image reading, which decodes what the partner cannot take.
bool sendStored(SendConnections &connections, const QString &path, const QString &sopClass, Result *error,
                const std::function<void(const ToolkitImagePtr &)> &sent = {})
{
    if (sopClass == QLatin1String(DoseReportSopClass))
        return connections.sendObject(path, error);
    return sendFile(connections, path, error, sent);
}

struct Rows : Result {
    QStringList uids;
    QStringList classes; // the SOP class and series UID of each row, when asked for
    QStringList series;
};

Rows imageRows(const RowList<StoredObject> &r)
{
    Rows out;
    static_cast<Result &>(out) = r;
    for (const StoredObject &row : r.rows) {
        out.uids << row.imageUid;
        out.classes << row.sopClass;
        out.series << row.seriesUid;
    }
    return out;
}

QString text(const ToolkitImagePtr &image, ToolkitTag tag) { return GetAttribute(image, tag).value.trimmed(); }

// The patient and study module of the report, as the study's first image carries them.
DoseReportStudy studyOf(const ToolkitImagePtr &image)
{
    return {text(image, Tags::PatientName), text(image, Tags::PatientID), text(image, Tags::PatientBirthDate), text(image, Tags::PatientSex),
            text(image, Tags::StudyInstanceUID), text(image, Tags::StudyDate), text(image, Tags::StudyTime), text(image, Tags::StudyID),
            text(image, Tags::AccessionNumber), text(image, Tags::ReferringPhysicianName), text(image, Tags::StudyDescription)};
}

// Writes the study's dose report into the work folder and sends it. The
// workstation's own report of an earlier send (previous, its file) is replaced
// under its UIDs, so that a partner keeps one; when no new one can be written
// it goes as it is. True when none was due or it went; the reason goes to the
// log and the dialog.
bool sendDoseReport(JobProgress &progress, SendJob &job, const DoseReportInput &input, const QStringList &eventUids, const QString &previous)
{
    static const QString where = QStringLiteral("EditForm StudieSenden (dose report)");
    const QString work = AppPath(QString::fromLatin1(AppFiles::WorkFolder));
    QDir().mkpath(work);
    const QString path = work + QStringLiteral("/dose-report.dcm");
    // Without an image there is nobody to report on.
    if (input.study.studyUid.isEmpty() && previous.isEmpty())
        return true;
    DoseReportWritten written;
    if (input.study.studyUid.isEmpty())
        static_cast<Result &>(written) = Result::failure(ErrorCode::InvalidCall, QStringLiteral("No dose report: the study has no image"));
    else {
        std::optional<QList<qlonglong>> captured;
        if (job.examination && job.examination->studyUid == input.study.studyUid)
            captured = job.examination->all();
        written = job.writeDoseReport(input, eventUids, captured, path);
    }
    if (!written.ok()) {
        LogFailure(written, where);
        progress.append(written.text + QStringLiteral("\r\n"));
        if (previous.isEmpty())
            return true;
        // The report filed with an earlier send is still the study's.
        Result error;
        if (!job.connections.sendObject(previous, &error)) {
            LogFailure(error, where);
            progress.append(QStringLiteral("Earlier dose report not sent: ") + error.text + QStringLiteral("\r\n"));
            return false;
        }
        progress.append(QStringLiteral("Earlier dose report sent as it was.\r\n"));
        return true;
    }
    Result error;
    const bool sent = written.object ? job.connections.send(written.object, &error) : job.connections.sendObject(path, &error);
    if (!sent) {
        LogFailure(error, where);
        progress.append(QStringLiteral("Dose report not sent: ") + error.text + QStringLiteral("\r\n"));
    } else {
        progress.append(QStringLiteral("Dose report sent.\r\n"));
    }
    // Filed like a received object, unless the study is about to go.
    const QString incoming = AppPath(QString::fromLatin1(AppFiles::ImportFolder));
    if (sent && Settings.SentAndKeep != 0 && QDir().mkpath(incoming)) {
        const QString target = incoming + QLatin1Char('/') + written.sopUid + QStringLiteral(".dcm");
        QFile::remove(target);
        // Moved in whole, so the receiver never picks up half a file.
        if (!QFile::rename(path, target) && !QFile::copy(path, target))
            WriteErrorLog(ErrorCode::WriteFailed, QStringLiteral("Dose report not filed: ") + target, where);
    }
    QFile::remove(path);
    return sent;
}

// The rows a removal drops go into the outcome, for the lists.
DeletionReport reportFor(JobProgress &progress, const SendJob &job, JobOutcome &outcome)
{
    DeletionReport r;
    r.append = [&progress](const QString &t) { progress.append(t); };
    r.studyRowRemoved = [&outcome, key = job.selection.studyKey] { outcome.studiesRemoved << key; };
    r.patientRowRemoved = [&outcome, id = job.selection.patientId] { outcome.patientsRemoved << id; };
    return r;
}

// One study of a study or patient send; true when every object went through.
bool sendStudy(JobProgress &progress, SendJob &job, JobOutcome &outcome, const QString &where)
{
    const SendSelection &s = job.selection;
    const Rows rows = imageRows(ObjectsOfStudy(s.studyKey));
    if (!rows.ok()) {
        keepFailure(outcome, rows);
        LogFailure(rows, where);
        return false;
    }
    progress.setMaximum(static_cast<int>(rows.uids.size()));
    job.TotalCount += static_cast<int>(rows.uids.size());
    progress.append(QStringLiteral("Sending study ... "));
    job.connections.setSubject(s.patientId, s.patientName, s.studyUid);
    int sentHere = 0;
    DoseReportInput report;
    QStringList eventUids;
    std::function<void(const ToolkitImagePtr &)> collect;
    if (job.writeDoseReport)
        collect = [&](const ToolkitImagePtr &image) {
        if (report.study.studyUid.isEmpty())
            report.study = studyOf(image);
        const QString uid = text(image, Tags::IrradiationEventUID);
        if (!uid.isEmpty())
            eventUids << uid;
        };
    QString ownReport; // the file of the workstation's report filed with an earlier send
    qsizetype due = rows.uids.size();
    for (qsizetype i = 0; i < rows.uids.size(); ++i) {
        const QString &uid = rows.uids[i];
        const QString file = StudyImageFile(s.studyUid, uid);
        Result error;
        if (rows.classes.value(i) == QLatin1String(DoseReportSopClass) && job.writeDoseReport && ownReport.isEmpty()
            && IsStationDoseReport(file)) {
            // Its own: written anew after the images, under its UIDs, and counted then.
            report.seriesUid = rows.series.value(i);
            report.sopUid = uid;
            ownReport = file;
            --due;
            progress.advance();
            continue;
        }
        // The X-ray unit's report (or anyone else's) goes as it came.
        const bool sent = sendStored(job.connections, file, rows.classes.value(i), &error, collect);
        if (sent) {
            ++sentHere;
            ++job.SentCount;
        } else {
            LogFailure(error, QStringLiteral("EditForm StudieSenden (TRANSMIT_ERROR)"));
        }
        progress.advance();
    }
    progress.append(QStringLiteral("OK\r\n"));
    if (sentHere != due)
        return false;
    if (!job.writeDoseReport)
        return true;
    const bool reportWent = sendDoseReport(progress, job, report, eventUids, ownReport);
    if (reportWent && !ownReport.isEmpty())
        ++job.SentCount;
    return reportWent;
}

} // namespace

QString StudyImageFile(const QString &studyUid, const QString &imageUid)
{
    const QString name = imageUid + QStringLiteral(".dcm");
    const QString stamped = AppPath(QString::fromLatin1(AppFiles::WorkFolder)) + QLatin1Char('/') + name;
    if (QFileInfo(name).fileName() == name && QFileInfo::exists(stamped))
        return stamped;
    const QString folder = StudyFolder(studyUid);
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + name;
}

SendConnections::SendConnections() = default;
SendConnections::~SendConnections() { release(); }
SendConnections::SendConnections(SendConnections &&) noexcept = default;

SendConnections &SendConnections::operator=(SendConnections &&other) noexcept
{
    if (this != &other) {
        release();
        partner_ = std::move(other.partner_);
        second_ = std::move(other.second_);
        target_ = std::move(other.target_);
        sent_ = std::move(other.sent_);
        failed_ = std::exchange(other.failed_, 0);
        lastError_ = std::move(other.lastError_);
        subjectPatientId_ = std::move(other.subjectPatientId_);
        subjectPatientName_ = std::move(other.subjectPatientName_);
        subjectStudyUid_ = std::move(other.subjectStudyUid_);
    }
    return *this;
}

Result SendConnections::open(const SendTarget &target)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    Result error;
    bool ok = true;
    release();
    target_ = target;
    partner_ = std::make_unique<ToolkitAssociation>();
    const PartnerAddress &first = target.partners.partner, &second = target.partners.second;
    const QString &local = target.callingAe;
    const PartnerAddress *failed = &first;
    if (target.curative) {
        second_ = std::make_unique<ToolkitAssociation>();
        second_->setSecurity(SecurityFor(second.tls));
        ok = second_->OpenAssociation(second.ip, second.port.toInt(), local, second.aet, &error);
        failed = &second;
    }
    WriteDebugLog(QStringLiteral("SCPOnline"), first.ip + QLatin1Char(' ') + first.port + QLatin1Char(' ') + local + QLatin1Char(' ') + first.aet);
    if (ok) {
        partner_->setSecurity(SecurityFor(first.tls));
        ok = partner_->OpenAssociation(first.ip, first.port.toInt(), local, first.aet, &error);
        failed = &first;
    }
    QApplication::restoreOverrideCursor();
    if (!ok) {
        release();
        if (error.number == ErrorCode::TlsRefused)
            ReportTlsFailure(QStringLiteral("%1 at %2:%3").arg(failed->aet, failed->ip, failed->port), error.text);
        else
            LogFailure(error, QStringLiteral("MainForm SCPOnline"));
        // A failure always has a number.
        return error.ok() ? Result::failure(ErrorCode::NetworkError, error.text) : error;
    }
    return {};
}

void SendConnections::setSubject(const QString &patientId, const QString &patientName, const QString &studyUid)
{
    subjectPatientId_ = patientId;
    subjectPatientName_ = patientName;
    subjectStudyUid_ = studyUid;
}

bool SendConnections::sendObject(const QString &path, Result *error)
{
    const bool went = partner_ && partner_->SendFile(path, error) && (!second_ || second_->SendFile(path, error));
    if (went)
        AddAuditInstance(sent_, subjectPatientId_, subjectPatientName_, subjectStudyUid_, QString::fromLatin1(DoseReportSopClass));
    else {
        ++failed_;
        lastError_ = error ? error->text : QString();
    }
    return went;
}

bool SendConnections::send(const ToolkitImagePtr &image, Result *error)
{
    const bool went = partner_ && partner_->SendImage(image, error) && (!second_ || second_->SendImage(image, error));
    if (went)
        AddAuditInstance(sent_, text(image, Tags::PatientID), text(image, Tags::PatientName), text(image, Tags::StudyInstanceUID),
                         text(image, Tags::SOPClassUID), text(image, Tags::AccessionNumber));
    else {
        ++failed_;
        lastError_ = error ? error->text : QString();
    }
    return went;
}

void SendConnections::audit()
{
    if (sent_.isEmpty() && failed_ == 0)
        return;
    const PartnerAddress &first = target_.partners.partner, &second = target_.partners.second;
    AuditInstancesSent(target_.callingAe, {first.aet, first.ip, quint16(first.port.toUInt())}, sent_, failed_, lastError_);
    if (second_)
        AuditInstancesSent(target_.callingAe, {second.aet, second.ip, quint16(second.port.toUInt())}, sent_, failed_, lastError_);
    sent_.clear();
    failed_ = 0;
    lastError_.clear();
}

void SendConnections::release()
{
    audit();
    if (partner_)
        partner_->CloseAssociation();
    if (second_)
        second_->CloseAssociation();
    partner_.reset();
    second_.reset();
}

JobOutcome SerieSenden(JobProgress &progress, SendJob &job)
{
    JobOutcome outcome;
    outcome.assignment = job.assignment;
    const SendSelection &s = job.selection;
    const Rows rows = imageRows(ObjectsOfSeries(s.seriesKey));
    if (!rows.ok()) {
        keepFailure(outcome, rows);
        LogFailure(rows, QStringLiteral("EditForm SerieSenden"));
        progress.append(QStringLiteral("Tasks done!"));
        return outcome;
    }
    job.TotalCount = static_cast<int>(rows.uids.size());
    progress.setMaximum(job.TotalCount);
    const QString folder = StudyFolder(s.studyUid);
    if (folder.isEmpty() || QDir(folder).entryList(QDir::Files).isEmpty()) {
        outcome.notice = QStringLiteral("The images from the selected series could not be found!");
        return outcome;
    }
    progress.append(QStringLiteral("Sending Series ... "));
    job.connections.setSubject(s.patientId, s.patientName, s.studyUid);
    for (qsizetype i = 0; i < rows.uids.size(); ++i) {
        Result error;
        if (sendStored(job.connections, folder + QLatin1Char('/') + rows.uids[i] + QStringLiteral(".dcm"), rows.classes.value(i), &error))
            ++job.SentCount;
        else
            LogFailure(error, QStringLiteral("EditForm SerieSenden (TRANSMIT_ERRROR)"));
        progress.advance();
    }
    progress.append(QStringLiteral("OK\r\n"));
    progress.append(QStringLiteral("%1 of %2 images successfully sent.\r\n").arg(job.SentCount).arg(job.TotalCount));
    if (Settings.SentAndKeep == 0 && job.SentCount == job.TotalCount && job.TotalCount > 0)
        outcome.entriesRemoved = Remove(RemovalLevel::Series, s.seriesKey, reportFor(progress, job, outcome));
    progress.append(QStringLiteral("Tasks done!"));
    return outcome;
}

namespace {

// One study: alone (a study send), or as one of a patient send's studies.
void studieSenden(JobProgress &progress, SendJob &job, JobOutcome &outcome, bool alone)
{
    const Rows any = imageRows(ObjectsOfStudy(job.selection.studyKey));
    if (alone && any.ok() && any.uids.isEmpty()) {
        outcome.notice = QStringLiteral("The images from the selected study could not be found!");
        return;
    }
    const bool complete = sendStudy(progress, job, outcome, QStringLiteral("EditForm StudieSenden"));
    if (alone)
        progress.append(QStringLiteral("%1 of %2 images successfully sent.\r\n").arg(job.SentCount).arg(job.TotalCount));
    if (complete && Settings.SentAndKeep == 0) {
        const SendSelection &s = job.selection;
        outcome.entriesRemoved = Remove(RemovalLevel::Study, s.studyKey, reportFor(progress, job, outcome),
                                        {.emptiedParents = alone ? EmptiedParents::Removed : EmptiedParents::Kept});
    }
    if (alone)
        progress.append(QStringLiteral("Tasks done!"));
}

} // namespace

JobOutcome StudieSenden(JobProgress &progress, SendJob &job)
{
    JobOutcome outcome;
    outcome.assignment = job.assignment;
    studieSenden(progress, job, outcome, true);
    return outcome;
}

JobOutcome PatientSenden(JobProgress &progress, SendJob &job)
{
    JobOutcome outcome;
    outcome.assignment = job.assignment;
    progress.append(QStringLiteral("Send studies of patient: ") + job.selection.patientName + QStringLiteral("\r\n"));
    const RowList<StudyKey> studies = StudiesOfPatientKey(job.selection.patientKey);
    if (!studies.ok()) {
        keepFailure(outcome, studies);
        LogFailure(studies, QStringLiteral("EditForm PatientSenden"));
        progress.append(QStringLiteral("Tasks done!"));
        return outcome;
    }
    bool removedAll = true;
    for (const StudyKey &row : studies.rows) {
        job.selection.studyKey = row.key;
        job.selection.studyUid = row.uid;
        progress.append(QStringLiteral("Study: ") + job.selection.studyUid + QStringLiteral("\r\n"));
        outcome.entriesRemoved = false;
        studieSenden(progress, job, outcome, false);
        removedAll = removedAll && outcome.entriesRemoved;
    }
    progress.append(QStringLiteral("%1 of %2 images successfully sent.\r\n").arg(job.SentCount).arg(job.TotalCount));
    outcome.entriesRemoved = false;
    if (Settings.SentAndKeep == 0) {
        progress.append(QStringLiteral("Removing database entries ... "));
        if (job.SentCount != job.TotalCount || !removedAll) {
            progress.append(QStringLiteral("skipped (not all files send)\r\n"));
        } else {
            job.assignment = outcome.assignment = DoseAssignment::AllListed;
            outcome.assignNow = true;
            const Result r = RemovePatientIfEmpty(job.selection.patientKey);
            if (r.ok()) {
                progress.append(QStringLiteral("OK\r\n"));
                outcome.entriesRemoved = true;
                outcome.patientsRemoved << job.selection.patientId;
            } else {
                LogFailure(r, QStringLiteral("EditForm PatientSenden"));
                progress.append(QStringLiteral("failed\r\n"));
            }
        }
    }
    progress.append(QStringLiteral("Tasks done!"));
    return outcome;
}
