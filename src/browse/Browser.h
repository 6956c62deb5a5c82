#pragma once

#include "browse/RowModel.h"
#include "store/Deletion.h"
#include "store/ImageRows.h"
#include "store/Session.h"
#include "toolkit/ImageList.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

#include <functional>
#include <optional>
#include <vector>

class Prompter;

// The patient, study, series and image lists over the image database, and
// loading a study or a series for the viewer. The lists are models the window
// shows; rows are given by their index in the model. What the window must do
// (status panels, progress, the viewer's tiles, the task state) is signalled.
class Browser : public QObject {
    Q_OBJECT
public:
    Browser(Session &session, Prompter &prompter, QObject *parent = nullptr);

    // "ID", "Lastname, Firstname", "2nd Name", "Birthdate"; tag PatID.
    RowModel &patients() { return patients_; }
    // "ID", "Date", "Time", "Modality", "Bodypart"; tag StudyUID.
    RowModel &studies() { return studies_; }
    // ".." (tag "back") then "# SeriesNr" (tag SeriesID).
    RowModel &series() { return series_; }
    // "ID", "Date", "Time", "ImageUID"; tag ImageID.
    RowModel &images() { return images_; }

    // How many tasks wait in the task list; a right click asks before dropping them.
    void setPendingTasks(std::function<int()> count) { pendingTasks_ = std::move(count); }

    // Always: toolbar "refresh" and menu "Refresh list"; the lists, the
    // viewer, the loaded images, the selection and the status bar's patient
    // and image panels start anew. InPlace: the poll, when the database
    // changed, and F2 before it selects the first patient; the patient list,
    // the selected patient's study list and the series list of her study are
    // brought up to date in place, and selection, order, scroll position and
    // the viewer's images stay. Both empty the receiver's receipts.
    enum class Refresh { Always, InPlace };
    void RefreshPatientList(Refresh when = Refresh::Always);

    // A click on a patient row (-1: none): its studies are listed. Her row
    // again, while her studies are listed, brings them up to date in place.
    void selectPatient(int row);
    // A click on a study row: the study is loaded and its images listed.
    void selectStudy(int row);
    // Right button on a study or series row: whether its menu may open. With
    // pending tasks the operator is asked; Yes drops them, No keeps them.
    bool rowMenuAllowed(int row);
    void loadStudy(int row);   // "View Images" of the study pop-up
    void showSeries(int row);  // "View Series"
    void loadSeries(int row);  // double click on a series, "View Images" of its pop-up

    // What a pop-up command acts on: the row the right button selected, taken
    // when the command is given and completed from the database. Not valid
    // beside the rows, on the series list's ".." row, or when its data is gone.
    ImageTarget patientTarget(int row) const;
    ImageTarget studyTarget(int row) const;
    ImageTarget seriesTarget(int row) const;

    // Entries that left the database leave the lists.
    void patientRemoved(const QString &patientId);
    void studyRemoved(qlonglong studyKey);
    void seriesRemoved(qlonglong seriesKey);
    // The series list emptied; its frame stays shown, empty.
    void closeSeriesList();
    bool seriesListShown() const { return seriesShown_; }

    // The images of these series into the viewer, series by series.
    void LoadStudy(const QList<qlonglong> &seriesKeys);
    // The image list from rows read for a study or a series.
    void LoadImages(const RowList<ImageListRow> &rows);

signals:
    void statusPanel(int panel, const QString &text);
    // Another patient: task list, header view, task fields emptied, the viewer redrawn.
    void taskStateClearRequested();
    // Before a load: task list and header view emptied.
    void taskListClearRequested();
    // A patient was selected and her studies are listed.
    void patientSelected();
    // A load begins (the viewer's redraw held while the session's loaded
    // images fill) and ends.
    void loadStarted();
    void loadProgress(int done, int total);
    void loadEnded();
    // A study's images were listed on a click.
    void studyImagesListed(int count);

private:
    void clearTaskStateForNewPatient();
    void takeStudyRow(int row);
    void select(const std::function<void(BrowserSelection &)> &change);
    // The patient's study rows; empty with the failure logged under `where`.
    std::optional<std::vector<RowModel::Row>> studyRows(const QString &patientId, const QString &where);
    // The study's series rows after the ".." row; empty with the failure logged.
    std::optional<std::vector<RowModel::Row>> seriesRows(qlonglong studyKey, const QString &where);

    Session &session_;
    Prompter &prompter_;
    RowModel patients_, studies_, series_, images_;
    std::function<int()> pendingTasks_;
    bool seriesShown_ = false;
    qlonglong seriesOf_ = 0; // the study whose series the series list shows
    QString studiesOf_; // the patient whose studies the study list shows
    bool loading_ = false;
};
