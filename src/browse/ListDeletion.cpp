#include "browse/ListDeletion.h"

#include "acquisition/ImageViewer.h"
#include "browse/Browser.h"
#include "core/Settings.h"
#include "core/WorkstationState.h"
#include "jobs/EditForm.h"
#include "store/Deletion.h"
#include "toolkit/ToolkitViewer.h"

#include <QGroupBox>
#include <QTreeWidget>

namespace {

QTreeWidgetItem *rowWithText(QTreeWidget *list, const QString &text)
{
    return list->findItems(text, Qt::MatchExactly, 0).value(0);
}

} // namespace

ListDeletion::ListDeletion(const DeletionControls &controls, QObject *parent)
    : QObject(parent)
    , c_(controls)
{
}

void ListDeletion::RegisterJobs()
{
    auto report = [this](EditForm &form) {
        DeletionReport r;
        r.append = [&form](const QString &t) { form.append(t); };
        r.progress = [&form](int done, int total) {
            form.setProgressMaximum(total);
            if (done > 0)
                form.advance();
        };
        r.studyRowRemoved = [this] { delete rowWithText(c_.lvStudien, QString::number(CurrentSelection.studyKey)); };
        r.patientRowRemoved = [this] { delete rowWithText(c_.lvPatients, CurrentSelection.patientId); };
        return r;
    };
    auto finish = [](EditForm &form, bool ok) {
        EntriesRemoved = ok;
        form.append(QStringLiteral("Tasks done."));
        form.enableOK();
    };
    // The selection as it is when the job runs.
    EditForm::RegisterJob(7, [=](EditForm &f) {
        const BrowserSelection &s = CurrentSelection;
        finish(f, DeleteSeriesFromDatabase(s.seriesKey, s.studyKey, s.studyUid, s.patientKey, s.patientId, report(f)));
    });
    EditForm::RegisterJob(5, [=](EditForm &f) {
        const BrowserSelection &s = CurrentSelection;
        finish(f, DeleteStudyFromDatabase(s.studyKey, s.studyUid, s.patientKey, s.patientId, false, report(f)));
    });
    EditForm::RegisterJob(6, [=](EditForm &f) {
        finish(f, DeletePatientFromDatabase(CurrentSelection.patientKey, CurrentSelection.patientId, report(f)));
    });
    EditForm::RegisterJob(4, [=](EditForm &f) { finish(f, DeleteAllFromDatabase(report(f))); });
}

void ListDeletion::PopupDeleteImage()
{
    if (!CurrentImageExists || !CurrentImage || !c_.askYesNo(QStringLiteral("Delete image?")))
        return;
    const QString uid = ImageUid(CurrentImage);
    const QList<ToolkitImagePtr> kept = [&] {
        QList<ToolkitImagePtr> out;
        for (const ToolkitImagePtr &image : c_.dv1->images())
            if (ImageUid(image) != uid)
                out << image;
        return out;
    }();
    ListRemove(LoadedImageList, uid);
    c_.dv1->clearImages();
    for (const ToolkitImagePtr &image : kept)
        c_.dv1->addImage(image);
    ClearCurrentImage();
    if (c_.showFromFirstImage)
        c_.showFromFirstImage();
    if (kept.isEmpty()) {
        // Nothing left to show: the level above goes.
        if (LoadedLevel == QLatin1String("Studie")) {
            delete rowWithText(c_.lvStudien, QString::number(CurrentSelection.studyKey));
            c_.runJob(c_.lvStudien->topLevelItemCount() == 0 ? 6 : 5);
        } else {
            if (QTreeWidgetItem *current = c_.lvSerien->currentItem(); current && c_.lvSerien->indexOfTopLevelItem(current) > 0)
                delete current;
            c_.runJob(c_.lvSerien->topLevelItemCount() <= 1 ? 5 : 7);
        }
        return;
    }
    c_.lvHeader->clear();
    DeleteImageFromDatabase(uid, CurrentSelection.studyUid);
    if (QTreeWidgetItem *row = c_.lvImages->findItems(uid, Qt::MatchExactly, 3).value(0))
        delete row;
    c_.setStatusPanel(4, QString::number(kept.size()) + QStringLiteral(" image(s)"));
}

void ListDeletion::PopUpSerie_Delete()
{
    if (c_.lvSerien->topLevelItemCount() == 2) { // ".." and the only series
        PopUpStudie_Delete();
        return;
    }
    QTreeWidgetItem *row = c_.lvSerien->currentItem();
    c_.runJob(7);
    delete row;
}

void ListDeletion::PopUpStudie_Delete()
{
    if (c_.lvStudien->topLevelItemCount() == 1) {
        PopUpPatient_Delete();
        return;
    }
    QTreeWidgetItem *row = rowWithText(c_.lvStudien, QString::number(CurrentSelection.studyKey));
    c_.runJob(5);
    delete row;
}

void ListDeletion::PopUpPatient_Delete()
{
    c_.resetMainWindow();
    c_.runJob(6);
    for (QTreeWidget *list : {c_.lvSerien, c_.lvStudien, c_.lvImages, c_.lvDosis})
        list->clear();
    c_.frmSerien->setVisible(false);
    delete rowWithText(c_.lvPatients, CurrentSelection.patientId);
}

void ListDeletion::PopUpPatient_DeleteAll()
{
    if (!c_.askYesNo(QStringLiteral("Delete all database entries and images?")))
        return;
    c_.resetMainWindow();
    c_.runJob(4);
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
