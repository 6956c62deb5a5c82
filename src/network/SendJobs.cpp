#include "network/SendJobs.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "ui/Prompts.h"
#include "core/Settings.h"
#include "jobs/EditForm.h"
#include "store/DatabasePaths.h"
#include "store/Deletion.h"
#include "store/ImageRows.h"
#include "toolkit/ToolkitNetwork.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

namespace {

void showError(QWidget *parent, qint32 number, const QString &text)
{
    Prompts().critical(parent, QStringLiteral("Error #%1: %2").arg(number).arg(text), DefaultPromptTitle);
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
bool sendDoseReport(EditForm &form, SendJob &job, const DoseReportInput &input, const QStringList &eventUids, const QString &previous)
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
        form.append(written.text + QStringLiteral("\r\n"));
        if (previous.isEmpty())
            return true;
        // The report filed with an earlier send is still the study's.
        Result error;
        if (!job.connections.sendObject(previous, &error)) {
            LogFailure(error, where);
            form.append(QStringLiteral("Earlier dose report not sent: ") + error.text + QStringLiteral("\r\n"));
            return false;
        }
        form.append(QStringLiteral("Earlier dose report sent as it was.\r\n"));
        return true;
    }
    Result error;
    const bool sent = written.object ? job.connections.send(written.object, &error) : job.connections.sendObject(path, &error);
    if (!sent) {
        LogFailure(error, where);
        form.append(QStringLiteral("Dose report not sent: ") + error.text + QStringLiteral("\r\n"));
    } else {
        form.append(QStringLiteral("Dose report sent.\r\n"));
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

DeletionReport reportFor(EditForm &form, SendJob &job)
{
    DeletionReport r;
    r.append = [&form](const QString &t) { form.append(t); };
    r.studyRowRemoved = job.studyRowRemoved;
    r.patientRowRemoved = job.patientRowRemoved;
    return r;
}

// One study of a study or patient send; true when every object went through.
bool sendStudy(EditForm &form, SendJob &job, const QString &where)
{
    const SendSelection &s = job.selection;
    const Rows rows = imageRows(ObjectsOfStudy(s.studyKey));
    if (!rows.ok()) {
        showError(&form, rows.number, rows.text);
        LogFailure(rows, where);
        return false;
    }
    form.setProgressMaximum(static_cast<int>(rows.uids.size()));
    job.TotalCount += static_cast<int>(rows.uids.size());
    form.append(QStringLiteral("Sending study ... "));
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
            form.advance();
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
        form.advance();
    }
    form.append(QStringLiteral("OK\r\n"));
    if (sentHere != due)
        return false;
    if (!job.writeDoseReport)
        return true;
    const bool reportWent = sendDoseReport(form, job, report, eventUids, ownReport);
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
    }
    return *this;
}

bool SendConnections::open(const SendTarget &target, QWidget *parent)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    Result error;
    bool ok = true;
    release();
    partner_ = std::make_unique<ToolkitAssociation>();
    const PartnerAddress &first = target.partners.partner, &second = target.partners.second;
    const QString &local = target.callingAe;
    if (target.curative) {
        second_ = std::make_unique<ToolkitAssociation>();
        ok = second_->OpenAssociation(second.ip, second.port.toInt(), local, second.aet, &error);
    }
    WriteDebugLog(QStringLiteral("SCPOnline"), first.ip + QLatin1Char(' ') + first.port + QLatin1Char(' ') + local + QLatin1Char(' ') + first.aet);
    if (ok)
        ok = partner_->OpenAssociation(first.ip, first.port.toInt(), local, first.aet, &error);
    QApplication::restoreOverrideCursor();
    if (!ok) {
        release();
        showError(parent, error.number, error.text);
        LogFailure(error, QStringLiteral("MainForm SCPOnline"));
    }
    return ok;
}

bool SendConnections::sendObject(const QString &path, Result *error)
{
    if (!partner_ || !partner_->SendFile(path, error))
        return false;
    return !second_ || second_->SendFile(path, error);
}

bool SendConnections::send(const ToolkitImagePtr &image, Result *error)
{
    if (!partner_ || !partner_->SendImage(image, error))
        return false;
    return !second_ || second_->SendImage(image, error);
}

void SendConnections::release()
{
    if (partner_)
        partner_->CloseAssociation();
    if (second_)
        second_->CloseAssociation();
    partner_.reset();
    second_.reset();
}

void SerieSenden(EditForm &form, SendJob &job)
{
    const SendSelection &s = job.selection;
    const Rows rows = imageRows(ObjectsOfSeries(s.seriesKey));
    if (!rows.ok()) {
        showError(&form, rows.number, rows.text);
        LogFailure(rows, QStringLiteral("EditForm SerieSenden"));
        form.append(QStringLiteral("Tasks done!"));
        form.enableOK();
        return;
    }
    job.TotalCount = static_cast<int>(rows.uids.size());
    form.setProgressMaximum(job.TotalCount);
    const QString folder = StudyFolder(s.studyUid);
    if (folder.isEmpty() || QDir(folder).entryList(QDir::Files).isEmpty()) {
        Prompts().information(&form, QStringLiteral("The images from the selected series could not be found!"), DefaultPromptTitle);
        form.enableOK();
        form.close();
        return;
    }
    form.append(QStringLiteral("Sending Series ... "));
    for (qsizetype i = 0; i < rows.uids.size(); ++i) {
        Result error;
        if (sendStored(job.connections, folder + QLatin1Char('/') + rows.uids[i] + QStringLiteral(".dcm"), rows.classes.value(i), &error))
            ++job.SentCount;
        else
            LogFailure(error, QStringLiteral("EditForm SerieSenden (TRANSMIT_ERRROR)"));
        form.advance();
    }
    form.append(QStringLiteral("OK\r\n"));
    form.append(QStringLiteral("%1 of %2 images successfully sent.\r\n").arg(job.SentCount).arg(job.TotalCount));
    if (Settings.SentAndKeep == 0 && job.SentCount == job.TotalCount && job.TotalCount > 0)
        form.setEntriesRemoved(DeleteSeriesFromDatabase(s.seriesKey, s.studyKey, s.studyUid, s.patientKey, s.patientId, reportFor(form, job)));
    form.append(QStringLiteral("Tasks done!"));
    form.enableOK();
}

void StudieSenden(EditForm &form, SendJob &job)
{
    const bool alone = form.kind() != JobKind::SendPatient;
    const Rows any = imageRows(ObjectsOfStudy(job.selection.studyKey));
    if (alone && any.ok() && any.uids.isEmpty()) {
        Prompts().information(&form, QStringLiteral("The images from the selected study could not be found!"), DefaultPromptTitle);
        form.enableOK();
        form.close();
        return;
    }
    const bool complete = sendStudy(form, job, QStringLiteral("EditForm StudieSenden"));
    if (alone)
        form.append(QStringLiteral("%1 of %2 images successfully sent.\r\n").arg(job.SentCount).arg(job.TotalCount));
    if (complete && Settings.SentAndKeep == 0) {
        const SendSelection &s = job.selection;
        form.setEntriesRemoved(DeleteStudyFromDatabase(s.studyKey, s.studyUid, s.patientKey, s.patientId, form.kind() == JobKind::SendStudy, reportFor(form, job)));
    }
    if (alone) {
        form.append(QStringLiteral("Tasks done!"));
        form.enableOK();
    }
}

void PatientSenden(EditForm &form, SendJob &job)
{
    form.append(QStringLiteral("Send studies of patient: ") + job.selection.patientName + QStringLiteral("\r\n"));
    const RowList<StudyKey> studies = StudiesOfPatientKey(job.selection.patientKey);
    if (!studies.ok()) {
        showError(&form, studies.number, studies.text);
        LogFailure(studies, QStringLiteral("EditForm PatientSenden"));
        form.append(QStringLiteral("Tasks done!"));
        form.enableOK();
        return;
    }
    bool removedAll = true;
    for (const StudyKey &row : studies.rows) {
        job.selection.studyKey = row.key;
        job.selection.studyUid = row.uid;
        form.append(QStringLiteral("Study: ") + job.selection.studyUid + QStringLiteral("\r\n"));
        form.setEntriesRemoved(false);
        StudieSenden(form, job);
        removedAll = removedAll && form.entriesRemoved();
    }
    form.append(QStringLiteral("%1 of %2 images successfully sent.\r\n").arg(job.SentCount).arg(job.TotalCount));
    form.setEntriesRemoved(false);
    if (Settings.SentAndKeep == 0) {
        form.append(QStringLiteral("Removing database entries ... "));
        if (job.SentCount != job.TotalCount || !removedAll) {
            form.append(QStringLiteral("skipped (not all files send)\r\n"));
        } else {
            job.assignment = DoseAssignment::AllListed;
            emit form.assignListedExposures();
            const Result r = RemovePatientIfEmpty(job.selection.patientKey);
            if (r.ok()) {
                form.append(QStringLiteral("OK\r\n"));
                form.setEntriesRemoved(true);
                if (job.patientRowRemoved)
                    job.patientRowRemoved();
            } else {
                LogFailure(r, QStringLiteral("EditForm PatientSenden"));
                form.append(QStringLiteral("failed\r\n"));
            }
        }
    }
    form.append(QStringLiteral("Tasks done!"));
    form.enableOK();
}
