#pragma once

// Deletion from the lists: one image from the viewer, a series, a study, a
// patient or everything, with the questions and the escalation to the level
// above; the series, study, patient and delete-all routines run as jobs of
// the progress dialog. Each command takes what it deletes as data: the target
// of the row the operator right-clicked, taken when the command was given.
#include "store/Deletion.h"
#include "store/Session.h"
#include "toolkit/ImageList.h"

#include <QObject>
#include <functional>

enum class JobKind : qint16;
class Browser;
class Prompter;

class ListDeletion : public QObject {
    Q_OBJECT
public:
    ListDeletion(Session &session, Browser &browser, Prompter &prompter, QObject *parent = nullptr);
    // Registers the jobs 4 to 7 with the progress dialog.
    void RegisterJobs();

    // The viewer's selected image; the last one of what is loaded takes the level above.
    void PopupDeleteImage();
    // Each asks first; a series or study that is the only one of its parent takes the parent.
    void deleteSeries(const ImageTarget &t);
    void deleteStudy(const ImageTarget &t);
    void deletePatient(const ImageTarget &t);
    void deleteAll();
    // When a send's progress dialog closes with an assignment: AllListed
    // removes every listed image row, RemoveSelected the one in `selectedRow`
    // of the image list.
    void RemoveImageRowsByList(DoseAssignment mode, int selectedRow);

signals:
    // Runs the job with the progress dialog and returns when it closed.
    void jobRequested(JobKind kind);
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
    // The lists and the viewer after the entries are gone.
    void seriesGone(const ImageTarget &t);
    void studyGone(const ImageTarget &t);
    void patientGone(const ImageTarget &t);
    void emptyViewerWhenItsImagesAreGone();

    Session &session_;
    Browser &browser_;
    Prompter &prompter_;
    ImageTarget jobTarget_; // set by a command, taken by the job it runs
    bool jobRemoved_ = false; // the job's outcome, read when its dialog closed
};
