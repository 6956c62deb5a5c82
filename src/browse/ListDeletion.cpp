#include "browse/ListDeletion.h"

#include "toolkit/Toolkit.h"
#include "browse/Browser.h"
#include "core/Settings.h"
#include "store/Deletion.h"
#include "ui/Prompts.h"

#include <utility>

ListDeletion::ListDeletion(Session &session, Browser &browser, Prompter &prompter, QObject *parent)
    : QObject(parent)
    , session_(session)
    , browser_(browser)
    , prompter_(prompter)
{
}

namespace {

// The removal's texts and folder count go to the progress; the rows it
// removed to the outcome.
DeletionReport reportTo(JobProgress &progress, JobOutcome &outcome, const ImageTarget &t)
{
    DeletionReport r;
    r.append = [&progress](const QString &text) { progress.append(text); };
    r.progress = [&progress](int done, int total) {
        if (done == 0)
            progress.setMaximum(total);
        else
            progress.advance();
    };
    r.studyRowRemoved = [&outcome, key = t.studyKey] { outcome.studiesRemoved << key; };
    r.patientRowRemoved = [&outcome, id = t.patientId] { outcome.patientsRemoved << id; };
    return r;
}

// The removal of the job's kind on the target it was given.
JobOutcome deletionJob(JobKind kind, const ImageTarget &t, JobProgress &progress)
{
    JobOutcome outcome;
    if (kind != JobKind::DeleteAll && !t.valid) {
        progress.append(QStringLiteral("Nothing to delete.\r\n"));
    } else {
        const DeletionReport r = reportTo(progress, outcome, t);
        switch (kind) {
        case JobKind::DeleteSeries:
            outcome.entriesRemoved = Remove(RemovalLevel::Series, t.seriesKey, r);
            break;
        case JobKind::DeleteStudy:
            outcome.entriesRemoved = Remove(RemovalLevel::Study, t.studyKey, r, {.emptiedParents = EmptiedParents::Kept});
            break;
        case JobKind::DeletePatient: outcome.entriesRemoved = Remove(RemovalLevel::Patient, t.patientKey, r); break;
        case JobKind::DeleteAll: outcome.entriesRemoved = DeleteAllFromDatabase(r); break;
        default: break;
        }
    }
    progress.append(QStringLiteral("Tasks done."));
    return outcome;
}

} // namespace

JobOutcome ListDeletion::run(JobKind kind, Job job)
{
    if (!runJob_)
        return {};
    const JobOutcome outcome = runJob_(kind, std::move(job));
    for (qlonglong key : outcome.studiesRemoved)
        browser_.studyRemoved(key);
    for (const QString &id : outcome.patientsRemoved)
        browser_.patientRemoved(id);
    return outcome;
}

bool ListDeletion::runOn(JobKind kind, const ImageTarget &t)
{
    return run(kind, [kind, t](JobProgress &progress) { return deletionJob(kind, t, progress); }).entriesRemoved;
}

bool ListDeletion::confirmDeletion(const QString &what, const ImageTarget &t)
{
    const QString question = QStringLiteral("Do you really want to delete %1 %2 (ID %3) with %4 image(s)?")
                                 .arg(what, t.patientName, t.patientId)
                                 .arg(t.imageCount);
    return prompter_.confirm(nullptr, question, DefaultPromptTitle);
}

void ListDeletion::nothingToDelete()
{
    prompter_.information(nullptr, QStringLiteral("Nothing deleted: no entry is selected, or it is no longer in the database."),
                          DefaultPromptTitle);
}

void ListDeletion::emptyViewerWhenItsImagesAreGone()
{
    QStringList uids;
    for (const ToolkitImagePtr &image : session_.loadedImages().items)
        uids << ImageUid(image);
    if (!uids.isEmpty() && !ImagesInDatabase(uids)) {
        emit mainWindowResetRequested();
        browser_.images().clear();
    }
}

void ListDeletion::seriesGone(const ImageTarget &t)
{
    browser_.seriesRemoved(t.seriesKey);
    emptyViewerWhenItsImagesAreGone();
}

void ListDeletion::studyGone(const ImageTarget &t)
{
    browser_.studyRemoved(t.studyKey);
    // The series window of that study closes.
    if (browser_.series().at(1) && !browser_.seriesTarget(1).valid)
        browser_.closeSeriesList();
    emptyViewerWhenItsImagesAreGone();
}

void ListDeletion::patientGone(const ImageTarget &t)
{
    emit mainWindowResetRequested();
    browser_.closeSeriesList();
    browser_.studies().clear();
    browser_.images().clear();
    emit exposureListClearRequested();
    browser_.patientRemoved(t.patientId);
}

void ListDeletion::PopupDeleteImage()
{
    if (!session_.currentImage() || !prompter_.question(nullptr, QStringLiteral("Delete image?"), DefaultPromptTitle))
        return;
    const QString uid = ImageUid(session_.currentImage());
    const ImageTarget series = SeriesTargetOfImage(uid);
    if (!series.valid) {
        nothingToDelete();
        return;
    }
    const int kept = ListCount(session_.loadedImages()) - 1;
    if (kept <= 0) {
        // Nothing would be left to show: the level above goes, which is more
        // than the one image the operator agreed to, so ask again.
        const ImageTarget study = StudyTarget(series.studyKey, series.studyUid);
        const bool studyLoaded = session_.loadedLevel() == LoadedLevel::Study;
        if (studyLoaded && study.studiesOfPatient <= 1) {
            if (confirmDeletion(QStringLiteral("the patient"), PatientTarget(study.patientKey, study.patientId)) && runOn(JobKind::DeletePatient, study))
                patientGone(study);
        } else if (studyLoaded || series.seriesOfStudy <= 1) {
            if (confirmDeletion(QStringLiteral("this study of"), study) && runOn(JobKind::DeleteStudy, study))
                studyGone(study);
        } else if (confirmDeletion(QStringLiteral("this series of"), series) && runOn(JobKind::DeleteSeries, series)) {
            seriesGone(series);
        }
        return;
    }
    if (!DeleteImageFromDatabase(uid, series.studyUid))
        return; // the row stays, and so does the image (logged)
    // The viewer and the header view follow the session: the image and the selection go.
    session_.removeLoadedImage(uid);
    browser_.images().removeAt(browser_.images().findText(3, uid));
    emit statusPanel(4, QString::number(ListCount(session_.loadedImages())) + QStringLiteral(" image(s)"));
}

void ListDeletion::deleteSeries(const ImageTarget &t)
{
    if (!t.valid) {
        nothingToDelete();
        return;
    }
    if (t.seriesOfStudy <= 1) { // the study's only series: the study goes
        deleteStudy(StudyTarget(t.studyKey, t.studyUid));
        return;
    }
    if (confirmDeletion(QStringLiteral("this series of"), t) && runOn(JobKind::DeleteSeries, t))
        seriesGone(t);
}

void ListDeletion::deleteStudy(const ImageTarget &t)
{
    if (!t.valid) {
        nothingToDelete();
        return;
    }
    if (t.studiesOfPatient <= 1) { // the patient's only study: the patient goes
        deletePatient(PatientTarget(t.patientKey, t.patientId));
        return;
    }
    if (confirmDeletion(QStringLiteral("this study of"), t) && runOn(JobKind::DeleteStudy, t))
        studyGone(t);
}

void ListDeletion::deletePatient(const ImageTarget &t)
{
    if (!t.valid) {
        nothingToDelete();
        return;
    }
    if (confirmDeletion(QStringLiteral("the patient"), t) && runOn(JobKind::DeletePatient, t))
        patientGone(t);
}

void ListDeletion::deleteAll()
{
    if (!prompter_.confirm(nullptr, QStringLiteral("Delete all database entries and images?"), DefaultPromptTitle)
        || !prompter_.confirm(nullptr, QStringLiteral("All patients and all images will be deleted for good. Continue?"), DefaultPromptTitle))
        return;
    emit mainWindowResetRequested();
    run(JobKind::DeleteAll, [](JobProgress &progress) { return deletionJob(JobKind::DeleteAll, ImageTarget(), progress); });
    browser_.RefreshPatientList();
    browser_.studies().clear();
    for (int panel = 1; panel <= 5; ++panel)
        emit statusPanel(panel, QString());
}

void ListDeletion::RemoveImageRowsByList(DoseAssignment mode, const QString &selectedUid)
{
    RowModel &images = browser_.images();
    // Images kept after a send keep their rows: only the list is emptied.
    if (Settings.SentAndKeep == 1 && mode != DoseAssignment::None) {
        images.clear();
        return;
    }
    QList<qlonglong> ids;
    if (mode == DoseAssignment::AllListed) {
        for (int i = 0; i < images.count(); ++i)
            ids << images.text(i, 0).toLongLong();
    } else if (mode == DoseAssignment::RemoveSelected) {
        for (int i = 0; i < images.count(); ++i)
            if (!selectedUid.isEmpty() && images.text(i, 3) == selectedUid)
                ids << images.text(i, 0).toLongLong();
    } else {
        return;
    }
    DeleteImageRows(ids);
    images.clear();
    if (mode == DoseAssignment::RemoveSelected)
        emit studyReselectRequested();
}
