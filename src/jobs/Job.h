#pragma once

// A long job: its input is taken as a value when the operator gives the
// command; it runs once in the runner (the progress dialog), tells its
// progress through JobProgress and returns a JobOutcome, which the command's
// owner in app/ acts on (lists, exposures, messages). No job opens a window.
#include "core/ExposureUnits.h"
#include "toolkit/Result.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// The job kinds. The numbers are the job codes the launchers and the logs
// have always used.
enum class JobKind : qint16 {
    SendSeries = 0,
    SendStudy = 1,
    SendPatient = 2,
    UpdateStudy = 3,
    DeleteAll = 4,
    DeleteStudy = 5,
    DeletePatient = 6,
    DeleteSeries = 7,
    ImportImages = 8,
    ImportDir = 9,
};

// The caption of a job kind.
QString JobCaption(JobKind kind);

// How a job tells its progress. The runner shows it and lets window events
// run at each call; a job run elsewhere (tests, benchmarks) gets these no-ops.
class JobProgress {
public:
    virtual ~JobProgress() = default;
    virtual void setCaption(const QString &caption, const QString &label) { Q_UNUSED(caption) Q_UNUSED(label) }
    // Appended to the running log as it is (lines end in "\r\n").
    virtual void append(const QString &text) { Q_UNUSED(text) }
    // The items to come; the bar starts again at 0.
    virtual void setMaximum(int maximum) { Q_UNUSED(maximum) }
    // One item done.
    virtual void advance() {}
    // Between steps that are not counted: the window stays responsive.
    virtual void idle() {}
};

// Progress that keeps only the running log: for a job run without a window.
class TextProgress : public JobProgress {
public:
    void append(const QString &text) override { text_ += text; }
    const QString &text() const { return text_; }

private:
    QString text_;
};

// What a job did. The Result is a failure the operator is to be told of
// ("Error #n: text"), or, with `refused`, the reason the job changed nothing.
struct JobOutcome : Result {
    // Database entries (and their files) were removed.
    bool entriesRemoved = false;
    // The rows the lists are to drop: studies by key, patients by ID.
    QList<qlonglong> studiesRemoved;
    QStringList patientsRemoved;
    // A send: what closing the dialog with OK does to the dose list.
    DoseAssignment assignment = DoseAssignment::None;
    // A patient send removed the patient: the listed exposures are hers now,
    // assigned at once, before the dialog closes.
    bool assignNow = false;
    // The job refused its input before it changed anything.
    bool refused = false;
    // For the operator: the job found nothing to do; the dialog closes at once.
    QString notice;
};

using Job = std::function<JobOutcome(JobProgress &)>;
