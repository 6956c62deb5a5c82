#pragma once

#include "audit/AuditTrail.h"
#include "core/ExposureUnits.h"
#include "jobs/Job.h"
#include "network/StoragePartners.h"
#include "store/Session.h"
#include "toolkit/DoseReport.h"
#include "toolkit/ToolkitNetwork.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>


// Where a send command goes, taken when the operator gives it: the partners
// in use, whether the examination is curative (then to both), and the calling
// AE title (Com\IR_AET).
struct SendTarget {
    PartnersInUse partners;
    bool curative = false;
    QString callingAe;
};

// The associations of one send command: to the default partner, and to the
// second one for a curative examination. Released when it ends.
class SendConnections {
public:
    SendConnections();
    ~SendConnections();
    SendConnections(SendConnections &&) noexcept;
    SendConnections &operator=(SendConnections &&) noexcept;

    // Opens the associations; the failure (logged) when a partner cannot be
    // reached or refuses, and then none stays open.
    Result open(const SendTarget &target);
    // Stores the image on each open association; false at the first refusal.
    bool send(const ToolkitImagePtr &image, Result *error);
    // Stores the object of a file that holds no image (the dose report).
    bool sendObject(const QString &path, Result *error);
    // Ends the associations; what went over them (and what failed) goes into
    // the audit trail, one record per partner.
    void release();
    bool isOpen() const { return partner_ != nullptr; }
    bool toSecond() const { return second_ != nullptr; }
    // The patient and study of what is sent next: a stored object sent as a
    // file carries them in no image the send reads.
    void setSubject(const QString &patientId, const QString &patientName, const QString &studyUid);

private:
    void audit();

    std::unique_ptr<ToolkitAssociation> partner_;
    std::unique_ptr<ToolkitAssociation> second_;
    SendTarget target_;
    QList<AuditPatient> sent_;
    int failed_ = 0;
    QString lastError_;
    QString subjectPatientId_, subjectPatientName_, subjectStudyUid_;
};

// What a send job is asked to send.
using SendSelection = BrowserSelection;

// Writes the dose report of a study to path: the patient and study as its
// images carry them, the Irradiation Event UIDs stamped into them, and the
// exposures of her examination when they were captured for this study (then
// they are bound to it and reported; the writer finds the study's own).
// Fails with the reason when no report can be written.
using DoseReportWriter = std::function<DoseReportWritten(const DoseReportInput &input, const QStringList &stampedEventUids,
                                                         const std::optional<QList<qlonglong>> &captured, const QString &path)>;

// The exposures of the examination, taken when the operator gave the merge
// command: the dose list's rows it sends (listed) and the exposures rejected
// during it (journal keys). They belong to the study whose images were loaded.
struct ExaminationExposures {
    QString studyUid;
    QList<qlonglong> listed;
    QList<qlonglong> rejected;
    QList<qlonglong> all() const { return listed + rejected; }
};

// A send job's input, taken when the command is given: what it sends, over
// which associations (released when its dialog goes), and its counters.
struct SendJob {
    SendSelection selection;
    SendConnections connections;
    int TotalCount = 0;
    int SentCount = 0;
    // What closing the progress dialog with OK does to the dose list; the
    // patient send's outcome says AllListed when it removed the patient.
    DoseAssignment assignment = DoseAssignment::None;
    // Unset: a study goes without a dose report.
    DoseReportWriter writeDoseReport;
    // Set by a merge: the report of that study holds these exposures (and
    // any reported with it before), and those listed are the ones assigned to
    // her when the send ends.
    std::optional<ExaminationExposures> examination;
};

// The three jobs, run by the progress dialog. A study is sent object by
// object from its rows: an image as the stamped copy in the work folder when
// there is one with its instance UID, otherwise as the received file; a dose
// report that the X-ray unit (or anyone but this workstation) wrote as it
// came; the workstation's own report of an earlier send replaced by the one
// written now. Nothing of another study goes with it, and the study counts as
// sent only when every object went. The outcome names the rows removed, a
// database failure to tell, or the notice that there was nothing to send.
JobOutcome SerieSenden(JobProgress &progress, SendJob &job);
JobOutcome StudieSenden(JobProgress &progress, SendJob &job);
JobOutcome PatientSenden(JobProgress &progress, SendJob &job);

// The file a study image is sent from.
QString StudyImageFile(const QString &studyUid, const QString &imageUid);
