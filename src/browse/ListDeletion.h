#pragma once

// Deletion from the lists: one image from the viewer, a series, a study, a
// patient or everything, with the questions and the escalation to the level
// above; the series, study, patient and delete-all routines run as jobs,
// handed to the runner app/ gives. Each command takes what it deletes as data:
// the target of the row the operator right-clicked, taken when the command was
// given, and the job gets it as a value.
#include "jobs/Job.h"
#include "store/Deletion.h"
#include "store/Session.h"
#include "toolkit/ImageList.h"

#include <QObject>
#include <functional>

class Browser;
class Prompter;

class ListDeletion : public QObject {
    Q_OBJECT
public:
    ListDeletion(Session &session, Browser &browser, Prompter &prompter, QObject *parent = nullptr);
    // Runs a job with the progress dialog and returns its outcome once the dialog closed.
    using JobRunner = std::function<JobOutcome(JobKind kind, Job job)>;
    void setJobRunner(JobRunner run) { runJob_ = std::move(run); }

    // The viewer's selected image; the last one of what is loaded takes the level above.
    void PopupDeleteImage();
    // Each asks first; a series or study that is the only one of its parent takes the parent.
    void deleteSeries(const ImageTarget &t);
    void deleteStudy(const ImageTarget &t);
    void deletePatient(const ImageTarget &t);
    void deleteAll();
    // When a send's progress dialog closes with an assignment: AllListed
    // removes every listed image row, RemoveSelected the row of the image
    // with this whole SOP instance UID (the one current when the send was given).
    void RemoveImageRowsByList(DoseAssignment mode, const QString &selectedUid);

signals:
    // Task list, header view and viewer emptied.
    void mainWindowResetRequested();
    void exposureListClearRequested();
    void statusPanel(int panel, const QString &text);
    // The study list's current study is listed anew.
    void studyReselectRequested();

private:
    bool confirmDeletion(const QString &what, const ImageTarget &t);
    void nothingToDelete();
    // Runs the job of the mode on the target; true when it removed the entries.
    bool runOn(JobKind kind, const ImageTarget &t);
    // The job through the runner; the rows it removed leave the lists.
    JobOutcome run(JobKind kind, Job job);
    // The lists and the viewer after the entries are gone.
    void seriesGone(const ImageTarget &t);
    void studyGone(const ImageTarget &t);
    void patientGone(const ImageTarget &t);
    void emptyViewerWhenItsImagesAreGone();

    Session &session_;
    Browser &browser_;
    Prompter &prompter_;
    JobRunner runJob_;
};
