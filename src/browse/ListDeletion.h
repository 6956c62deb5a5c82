#pragma once

// Deletion from the lists: one image from the viewer, a series, a study, a
// patient or everything, with the questions and the escalation to the level
// above; the series, study, patient and delete-all routines run as jobs of
// the progress dialog.
#include <QObject>
#include <functional>

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
    ToolkitViewer *dv1 = nullptr;
    std::function<void(int panel, const QString &text)> setStatusPanel;
    std::function<bool(const QString &question)> askYesNo;
    std::function<void(qint16 mode)> runJob;   // shows the progress dialog with that job
    std::function<void()> showFromFirstImage; // the viewer from its first image
    std::function<void()> resetMainWindow;    // task list, header view and viewer emptied
    std::function<void()> refreshPatientList;
    std::function<void()> selectStudyAgain;   // the selected study's images listed anew
};

class ListDeletion : public QObject {
    Q_OBJECT
public:
    explicit ListDeletion(const DeletionControls &controls, QObject *parent = nullptr);
    // Registers the jobs 4 to 7 with the progress dialog.
    void RegisterJobs();

    void PopupDeleteImage();
    void PopUpSerie_Delete();
    void PopUpStudie_Delete();
    void PopUpPatient_Delete();
    void PopUpPatient_DeleteAll();
    // When the progress dialog closes with an AssignmentMode: mode 1 removes
    // every listed image row, mode 2 the selected one.
    void RemoveImageRowsByList();

private:
    DeletionControls c_;
};
