#include "browse/ListDeletion.h"

#include "acquisition/ImageViewer.h"
#include "browse/Browser.h"
#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "jobs/EditForm.h"
#include "store/Deletion.h"
#include "toolkit/ToolkitViewer.h"
#include "ui/Prompts.h"

#include <QGroupBox>
#include <QTreeWidget>

#include <utility>

namespace {

QTreeWidgetItem *rowWithText(QTreeWidget *list, const QString &text)
{
    return list->findItems(text, Qt::MatchExactly, 0).value(0);
}

QTreeWidgetItem *rowWithTag(QTreeWidget *list, qlonglong tag)
{
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (QTreeWidgetItem *row = list->topLevelItem(i); row->data(0, Qt::UserRole).toString() == QString::number(tag))
            return row;
    return nullptr;
}

} // namespace

ListDeletion::ListDeletion(Session &session, const DeletionControls &controls, QObject *parent)
    : QObject(parent)
    , session_(session)
    , c_(controls)
{
}

void ListDeletion::RegisterJobs()
{
    auto report = [this](EditForm &form, const ImageTarget &t) {
        DeletionReport r;
        r.append = [&form](const QString &text) { form.append(text); };
        r.progress = [&form](int done, int total) {
            if (done == 0)
                form.setProgressMaximum(total);
            else
                form.advance();
        };
        r.studyRowRemoved = [this, key = t.studyKey] { delete rowWithText(c_.lvStudien, QString::number(key)); };
        r.patientRowRemoved = [this, id = t.patientId] { delete rowWithText(c_.lvPatients, id); };
        return r;
    };
    auto finish = [](EditForm &form, bool ok) {
        EntriesRemoved = ok;
        form.append(QStringLiteral("Tasks done."));
        form.enableOK();
    };
    // The target the command handed over; a job without one deletes nothing.
    auto run = [this, finish](EditForm &f, const std::function<bool(const ImageTarget &)> &remove) {
        const ImageTarget t = std::exchange(jobTarget_, ImageTarget());
        if (!t.valid) {
            f.append(QStringLiteral("Nothing to delete.\r\n"));
            finish(f, false);
            return;
        }
        finish(f, remove(t));
    };
    EditForm::RegisterJob(JobKind::DeleteSeries, [=](EditForm &f) {
        run(f, [&](const ImageTarget &t) {
            return DeleteSeriesFromDatabase(t.seriesKey, t.studyKey, t.studyUid, t.patientKey, t.patientId, report(f, t));
        });
    });
    EditForm::RegisterJob(JobKind::DeleteStudy, [=](EditForm &f) {
        run(f, [&](const ImageTarget &t) {
            return DeleteStudyFromDatabase(t.studyKey, t.studyUid, t.patientKey, t.patientId, false, report(f, t));
        });
    });
    EditForm::RegisterJob(JobKind::DeletePatient, [=](EditForm &f) {
        run(f, [&](const ImageTarget &t) { return DeletePatientFromDatabase(t.patientKey, t.patientId, report(f, t)); });
    });
    EditForm::RegisterJob(JobKind::DeleteAll, [=](EditForm &f) { finish(f, DeleteAllFromDatabase(report(f, ImageTarget()))); });
}

bool ListDeletion::runOn(JobKind kind, const ImageTarget &t)
{
    jobTarget_ = t;
    EntriesRemoved = false;
    c_.runJob(kind);
    jobTarget_ = ImageTarget();
    return EntriesRemoved;
}

bool ListDeletion::confirmDeletion(const QString &what, const ImageTarget &t)
{
    const QString question = QStringLiteral("Do you really want to delete %1 %2 (ID %3) with %4 image(s)?")
                                 .arg(what, t.patientName, t.patientId)
                                 .arg(t.imageCount);
    return c_.confirm ? c_.confirm(question) : Prompts().confirm(c_.window, question, DefaultPromptTitle);
}

void ListDeletion::nothingToDelete()
{
    const QString message = QStringLiteral("Nothing deleted: no entry is selected, or it is no longer in the database.");
    if (c_.inform)
        c_.inform(message);
    else
        Prompts().information(c_.window, message, DefaultPromptTitle);
}

void ListDeletion::emptyViewerWhenItsImagesAreGone()
{
    QStringList uids;
    for (const ToolkitImagePtr &image : c_.dicomViewer->images())
        if (const QString uid = ImageUid(image); !uid.isEmpty()) // an unreadable file's tile has none
            uids << uid;
    if (!uids.isEmpty() && !ImagesInDatabase(uids)) {
        c_.resetMainWindow();
        c_.lvImages->clear();
    }
}

void ListDeletion::seriesGone(const ImageTarget &t)
{
    delete rowWithTag(c_.lvSerien, t.seriesKey);
    emptyViewerWhenItsImagesAreGone();
}

void ListDeletion::studyGone(const ImageTarget &t)
{
    delete rowWithText(c_.lvStudien, QString::number(t.studyKey));
    // The series window of that study closes.
    if (QTreeWidgetItem *first = c_.lvSerien->topLevelItem(1); first && !SeriesRowTarget(first).valid) {
        c_.lvSerien->clear();
        c_.frmSerien->setVisible(false);
    }
    emptyViewerWhenItsImagesAreGone();
}

void ListDeletion::patientGone(const ImageTarget &t)
{
    c_.resetMainWindow();
    for (QTreeWidget *list : {c_.lvSerien, c_.lvStudien, c_.lvImages, c_.lvDosis})
        list->clear();
    c_.frmSerien->setVisible(false);
    delete rowWithText(c_.lvPatients, t.patientId);
}

void ListDeletion::PopupDeleteImage()
{
    if (!CurrentImageExists || !CurrentImage || !c_.askYesNo(QStringLiteral("Delete image?")))
        return;
    const QString uid = ImageUid(CurrentImage);
    const ImageTarget series = SeriesTargetOfImage(uid);
    if (!series.valid) {
        nothingToDelete();
        return;
    }
    const QList<ToolkitImagePtr> kept = [&] {
        QList<ToolkitImagePtr> out;
        for (const ToolkitImagePtr &image : c_.dicomViewer->images())
            if (ImageUid(image) != uid)
                out << image;
        return out;
    }();
    if (kept.isEmpty()) {
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
    ListRemove(LoadedImageList, uid);
    c_.dicomViewer->clearImages();
    for (const ToolkitImagePtr &image : kept)
        c_.dicomViewer->addImage(image);
    ClearCurrentImage();
    if (c_.showFromFirstImage)
        c_.showFromFirstImage();
    c_.lvHeader->clear();
    if (QTreeWidgetItem *row = c_.lvImages->findItems(uid, Qt::MatchExactly, 3).value(0))
        delete row;
    c_.setStatusPanel(4, QString::number(kept.size()) + QStringLiteral(" image(s)"));
}

void ListDeletion::PopUpSerie_Delete()
{
    const ImageTarget t = SeriesRowTarget(c_.lvSerien->currentItem());
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

void ListDeletion::PopUpStudie_Delete() { deleteStudy(StudyRowTarget(c_.lvStudien->currentItem())); }

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

void ListDeletion::PopUpPatient_Delete() { deletePatient(PatientRowTarget(c_.lvPatients->currentItem())); }

void ListDeletion::deletePatient(const ImageTarget &t)
{
    if (!t.valid) {
        nothingToDelete();
        return;
    }
    if (confirmDeletion(QStringLiteral("the patient"), t) && runOn(JobKind::DeletePatient, t))
        patientGone(t);
}

void ListDeletion::PopUpPatient_DeleteAll()
{
    auto confirm = [this](const QString &q) { return c_.confirm ? c_.confirm(q) : Prompts().confirm(c_.window, q, DefaultPromptTitle); };
    if (!confirm(QStringLiteral("Delete all database entries and images?"))
        || !confirm(QStringLiteral("All patients and all images will be deleted for good. Continue?")))
        return;
    c_.resetMainWindow();
    c_.runJob(JobKind::DeleteAll);
    c_.refreshPatientList();
    c_.lvStudien->clear();
    for (int panel = 1; panel <= 5; ++panel)
        c_.setStatusPanel(panel, QString());
}

void ListDeletion::RemoveImageRowsByList()
{
    // Images kept after a send keep their rows: only the list is emptied.
    if (Settings.SentAndKeep == 1 && AssignmentMode != 0) {
        c_.lvImages->clear();
        return;
    }
    QList<qlonglong> ids;
    if (AssignmentMode == 1) {
        for (int i = 0; i < c_.lvImages->topLevelItemCount(); ++i)
            ids << c_.lvImages->topLevelItem(i)->text(0).toLongLong();
    } else if (AssignmentMode == 2) {
        if (QTreeWidgetItem *row = c_.lvImages->currentItem())
            ids << row->text(0).toLongLong();
    } else {
        return;
    }
    DeleteImageRows(ids);
    c_.lvImages->clear();
    if (AssignmentMode == 2 && c_.selectStudyAgain)
        c_.selectStudyAgain();
}
