#pragma once

// Deletion from the lists: one image from the viewer, a series, a study, a
// patient or everything, with the questions and the escalation to the level
// above; the series, study, patient and delete-all routines run as jobs of
// the progress dialog.
#include "store/Deletion.h"
#include "store/Session.h"

#include <QObject>
#include <functional>

enum class JobKind : qint16;

class QGroupBox;
class QTreeWidget;
class ToolkitViewer;

struct DeletionControls {
    QWidget *window = nullptr;
    QTreeWidget *lvPatients = nullptr;
    QTreeWidget *lvStudien = nullptr;
    QTreeWidget *lvSerien = nullptr; // row 0 is ".."
    QTreeWidget *lvImages = nullptr;
    QTreeWidget *lvDosis = nullptr;
    QTreeWidget *lvHeader = nullptr;
    QGroupBox *frmSerien = nullptr;
    ToolkitViewer *dicomViewer = nullptr;
    std::function<void(int panel, const QString &text)> setStatusPanel;
    std::function<bool(const QString &question)> askYesNo;
    // Yes/No with No as the default, before what cannot be undone.
    std::function<bool(const QString &question)> confirm;
    std::function<void(const QString &message)> inform;
    std::function<void(JobKind kind)> runJob;   // shows the progress dialog with that job
    std::function<void()> showFromFirstImage; // the viewer from its first image
    std::function<void()> resetMainWindow;    // task list, header view and viewer emptied
    std::function<void()> refreshPatientList;
    std::function<void()> selectStudyAgain;   // the selected study's images listed anew
};

class ListDeletion : public QObject {
    Q_OBJECT
public:
    ListDeletion(Session &session, const DeletionControls &controls, QObject *parent = nullptr);
    // Registers the jobs 4 to 7 with the progress dialog.
    void RegisterJobs();

    void PopupDeleteImage();
    // The series, study or patient of the list's current row, the one the
    // right button selected; each asks first.
    void PopUpSerie_Delete();
    void PopUpStudie_Delete();
    void PopUpPatient_Delete();
    void PopUpPatient_DeleteAll();
    // When the progress dialog closes with an AssignmentMode: mode 1 removes
    // every listed image row, mode 2 the selected one.
    void RemoveImageRowsByList();

private:
    void deleteStudy(const ImageTarget &t);
    void deletePatient(const ImageTarget &t);
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
    DeletionControls c_;
    ImageTarget jobTarget_; // set by a command, taken by the job it runs
};
