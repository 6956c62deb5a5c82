#include "store/Session.h"
#include "browse/Browser.h"

#include "acquisition/ImageViewer.h"
#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "store/DatabasePaths.h"
#include "toolkit/ToolkitViewer.h"

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>

#include <optional>

namespace {

const QString MessageTitle = QStringLiteral("PellanMammo");

QString cell(const QSqlRecord &row, const char *column)
{
    const QVariant v = row.value(QLatin1String(column));
    return v.isNull() ? QString() : v.toString();
}

constexpr int RowBatch = 200;

QTreeWidgetItem *makeRow(const QString &text, const QVariant &tag, const QStringList &cells)
{
    auto *item = new QTreeWidgetItem(QStringList{text} + cells);
    item->setData(0, Qt::UserRole, tag);
    return item;
}

QTreeWidgetItem *addRow(QTreeWidget *list, const QString &text, const QVariant &tag, const QStringList &cells)
{
    QTreeWidgetItem *item = makeRow(text, tag, cells);
    list->addTopLevelItem(item);
    return item;
}

void clearList(QTreeWidget *list)
{
    if (!list)
        return;
    list->setSortingEnabled(false);
    list->clear();
}

void sortOn(QTreeWidget *list, int column)
{
    list->sortItems(column, Qt::AscendingOrder);
    list->header()->setSortIndicator(column, Qt::AscendingOrder);
    list->setSortingEnabled(true);
}

// UIDs name folders and files: digits and dots only, so that a database value
// can never point outside the images folder.
bool isPlainUid(const QString &uid)
{
    static const QRegularExpression re(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return re.match(uid).hasMatch();
}

} // namespace

StudyStatements BuildStudyImageStatements(const QList<qlonglong> &seriesKeys)
{
    StudyStatements s;
    s.imageSql.sql = QStringLiteral("SELECT ImageUID FROM tblImages WHERE");
    s.countSql.sql = QStringLiteral("SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE");
    QString condition;
    for (qsizetype i = 0; i < seriesKeys.size(); ++i) {
        if (i > 0)
            condition += QStringLiteral(" OR");
        condition += QStringLiteral(" FKeySeriesID = ?");
        s.imageSql.values << seriesKeys.at(i);
        s.countSql.values << seriesKeys.at(i);
    }
    if (seriesKeys.isEmpty())
        condition = QStringLiteral(" 0 = 1"); // a study without series has no images
    s.imageSql.sql += condition + QStringLiteral(" ORDER BY FKeySeriesID, ImageNr");
    s.countSql.sql += condition;
    return s;
}

ImageTarget PatientRowTarget(const QTreeWidgetItem *row)
{
    return row ? PatientTarget(row->data(0, Qt::UserRole).toLongLong(), row->text(0)) : ImageTarget();
}

ImageTarget StudyRowTarget(const QTreeWidgetItem *row)
{
    return row ? StudyTarget(row->text(0).toLongLong(), row->data(0, Qt::UserRole).toString()) : ImageTarget();
}

ImageTarget SeriesRowTarget(const QTreeWidgetItem *row)
{
    if (!row || row->data(0, Qt::UserRole).toString() == QLatin1String("back"))
        return {};
    return SeriesTarget(row->data(0, Qt::UserRole).toLongLong());
}

Browser::Browser(Session &session, const BrowserControls &controls, QObject *parent)
    : QObject(parent)
    , session_(session)
    , c_(controls)
{
}

void Browser::select(const std::function<void(BrowserSelection &)> &change)
{
    BrowserSelection s = session_.selection();
    change(s);
    session_.setSelection(s);
}

void Browser::critical(const QString &message)
{
    if (c_.showCritical)
        c_.showCritical(message);
    else
        QMessageBox::critical(c_.window, MessageTitle, message);
}

void Browser::panel(int index, const QString &text)
{
    if (c_.setStatusPanel)
        c_.setStatusPanel(index, text);
}

void Browser::popUp(QMenu *menu, QTreeWidget *list, const QPoint &pos)
{
    if (!menu)
        return;
    const QPoint global = list->viewport()->mapToGlobal(pos);
    if (c_.showPopUp)
        c_.showPopUp(menu, global);
    else
        menu->popup(global);
}

void Browser::RefreshPatientList(Refresh when)
{
    if (session_.imageLoadActive())
        return;
    const QString location = QStringLiteral("MainForm_RefreshPatientList");
    DatabaseSession open(ImageDatabase);
    const DbResult count = Execute(ImageDatabase, QStringLiteral("SELECT Count(PatID) AS ReceiveCount FROM tblReceive"));
    if (!count.ok()) {
        LogFailure(count, location);
        return;
    }
    if (!(when == Refresh::OnReceipts && count.first(QStringLiteral("ReceiveCount")).toLongLong() == 0)) {
        const DbResult emptied = Execute(ImageDatabase, QStringLiteral("DELETE FROM tblReceive"));
        if (!emptied.ok())
            LogFailure(emptied, location);
        clearList(c_.lvPatients);
        clearList(c_.lvStudien);
        clearList(c_.lvImages);
        if (c_.dicomViewer)
            c_.dicomViewer->clearImages();
        ClearCurrentImage(); // its image left the viewer with the rest
        const DbResult rows = Execute(ImageDatabase, QStringLiteral(
            "SELECT PatID, PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten"));
        if (!rows.ok()) {
            LogFailure(rows, location);
        } else if (c_.lvPatients) {
            c_.lvPatients->setUpdatesEnabled(false);
            // Rows go in by batches: one insertion per row makes the view re-lay
            // itself out 10,000 times. Pending events run between batches.
            QList<QTreeWidgetItem *> batch;
            for (const QSqlRecord &row : rows.rows) {
                QString name = cell(row, "PatNachname");
                if (!row.value(QStringLiteral("PatVorname")).isNull())
                    name += QStringLiteral(", ") + row.value(QStringLiteral("PatVorname")).toString();
                batch << makeRow(cell(row, "PatID1"), row.value(QStringLiteral("PatID")),
                                 {name, cell(row, "Pat2Vorname"), cell(row, "PatGebDatum")});
                if (batch.size() == RowBatch) {
                    c_.lvPatients->addTopLevelItems(batch);
                    batch.clear();
                    QCoreApplication::processEvents();
                }
            }
            c_.lvPatients->addTopLevelItems(batch);
            QCoreApplication::processEvents();
            c_.lvPatients->clearSelection();
            c_.lvPatients->setCurrentItem(nullptr);
            sortOn(c_.lvPatients, 1);
            c_.lvPatients->setUpdatesEnabled(true);
        }
    }
}

void Browser::clearTaskStateForNewPatient()
{
    if (c_.clearTaskState)
        c_.clearTaskState();
    ClearCurrentImage();
    if (c_.dicomViewer)
        c_.dicomViewer->refreshDisplay();
    for (int i = 1; i <= 4; ++i)
        panel(i, QString());
}

void Browser::lvPatients_ItemClick(QTreeWidgetItem *item)
{
    if (!c_.lvPatients || c_.lvPatients->topLevelItemCount() == 0)
        return;
    if (!item)
        item = c_.lvPatients->currentItem();
    if (!item)
        return;
    if (item->text(0) != session_.selection().patientId)
        clearTaskStateForNewPatient();
    select([item](BrowserSelection &s) {
        s.patientKey = item->data(0, Qt::UserRole).toLongLong();
        s.patientId = item->text(0);
        s.patientName = item->text(1);
        s.patientSecondName = item->text(2);
    });
    panel(1, QStringLiteral("Patient: ") + session_.selection().patientName);
    panel(2, QStringLiteral("ID: ") + session_.selection().patientId);

    clearList(c_.lvStudien);
    if (c_.frmSerien && c_.frmSerien->isVisible()) {
        c_.frmSerien->hide();
        clearList(c_.lvSerien);
    }
    if (c_.UpdateTimer)
        c_.UpdateTimer->stop();

    DatabaseSession open(ImageDatabase);
    const DbResult rows = Execute(ImageDatabase, QStringLiteral(
        "SELECT StudyID, StudyUID, StudyDate, StudyTime, Modality, Bodypart FROM view_studies WHERE PatID1 = ?"),
        {session_.selection().patientId});
    if (!rows.ok()) {
        LogFailure(rows, QStringLiteral("lvPatients_MouseUp"));
        return;
    }
    if (c_.lvStudien) {
        for (const QSqlRecord &row : rows.rows) {
            addRow(c_.lvStudien, cell(row, "StudyID"), cell(row, "StudyUID"),
                   {cell(row, "StudyDate"), cell(row, "StudyTime"), cell(row, "Modality"), cell(row, "Bodypart")});
            QCoreApplication::processEvents();
        }
        sortOn(c_.lvStudien, 0);
    }
    clearList(c_.lvImages);
}

void Browser::lvPatients_MouseUp(Qt::MouseButton button, const QPoint &pos)
{
    if (!c_.lvPatients)
        return;
    if (button == Qt::RightButton) {
        // Beside the rows no patient is pointed at: the menu's patient entries find none.
        QTreeWidgetItem *under = c_.lvPatients->itemAt(pos);
        c_.lvPatients->setCurrentItem(under);
        if (!under)
            c_.lvPatients->clearSelection();
        popUp(c_.PopUpPatient, c_.lvPatients, pos);
    }
    lvPatients_ItemClick(c_.lvPatients->currentItem());
}

// "Cancel current changes?": Yes drops the pending tasks and goes on, No keeps
// them and ends the click, so that No never loses the operator's work.
bool Browser::confirmRightClick()
{
    if (!c_.taskCount || c_.taskCount() == 0)
        return true;
    const QString question = QStringLiteral("Cancel current changes?");
    const bool yes = c_.askYesNo ? c_.askYesNo(question)
                                 : QMessageBox::question(c_.window, MessageTitle, question,
                                                         QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    if (!yes)
        return false;
    clearTaskStateForNewPatient();
    return true;
}

void Browser::rightClick(QTreeWidget *list, QMenu *menu, Qt::MouseButton button, const QPoint &pos)
{
    // Every entry of these menus acts on a row: none beside the rows.
    QTreeWidgetItem *under = list ? list->itemAt(pos) : nullptr;
    if (button != Qt::RightButton || !under || !confirmRightClick())
        return;
    list->setCurrentItem(under);
    popUp(menu, list, pos);
}

void Browser::lvStudien_MouseUp(Qt::MouseButton button, const QPoint &pos)
{
    rightClick(c_.lvStudien, c_.PopUpStudie, button, pos);
}

void Browser::lvSerien_MouseUp(Qt::MouseButton button, const QPoint &pos)
{
    rightClick(c_.lvSerien, c_.PopUpSerie, button, pos);
}

void Browser::takeStudyRow(QTreeWidgetItem *item)
{
    session_.setLoadedLevel(LoadedLevel::Study);
    select([item](BrowserSelection &s) {
        s.studyKey = item->text(0).toLongLong();
        s.studyUid = item->data(0, Qt::UserRole).toString();
    });
    if (c_.clearTaskList)
        c_.clearTaskList();
}

void Browser::lvStudien_ItemClick(QTreeWidgetItem *item)
{
    if (!c_.lvStudien)
        return;
    if (item)
        c_.lvStudien->setCurrentItem(item);
    item = c_.lvStudien->currentItem();
    if (!item || loading_)
        return;
    PopUpStudie_Laden();
    session_.setLoadedLevel(LoadedLevel::Study);
    select([item](BrowserSelection &s) { s.studyUid = item->data(0, Qt::UserRole).toString(); });
    LoadImages({QStringLiteral("SELECT ImageID, ImageDate, ImageTime, ImageUID from View_Images WHERE StudyUID = ? "
                               "ORDER BY ImageDate, ImageTime"),
                {session_.selection().studyUid}});
    if (c_.cmdSelected && c_.lvImages)
        c_.cmdSelected->setEnabled(c_.lvDosis && c_.lvDosis->topLevelItemCount() == c_.lvImages->topLevelItemCount());
}

void Browser::PopUpStudie_Laden()
{
    QTreeWidgetItem *item = c_.lvStudien ? c_.lvStudien->currentItem() : nullptr;
    if (!item || loading_)
        return;
    takeStudyRow(item);
    session_.setImageLoadActive(true);
    const DbResult rows = [this] {
        DatabaseSession open(ImageDatabase);
        return Execute(ImageDatabase, QStringLiteral("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ? ORDER BY SeriesID"),
                       {session_.selection().studyKey});
    }();
    session_.setImageLoadActive(false);
    if (!rows.ok()) {
        LogFailure(rows, QStringLiteral("PopUpStudie_Laden"));
        return;
    }
    QList<qlonglong> keys;
    for (const QSqlRecord &row : rows.rows)
        keys << row.value(0).toLongLong();
    const StudyStatements s = BuildStudyImageStatements(keys);
    LoadStudy(s.imageSql, s.countSql);
    if (c_.viewer)
        c_.viewer->UpdateScrollRange();
}

void Browser::PopUpStudie_SeriesWindow()
{
    QTreeWidgetItem *item = c_.lvStudien ? c_.lvStudien->currentItem() : nullptr;
    if (!item || !c_.lvSerien)
        return;
    takeStudyRow(item);
    const DbResult rows = [this] {
        DatabaseSession open(ImageDatabase);
        return Execute(ImageDatabase, QStringLiteral(
            "SELECT SeriesID, SeriesUID, SeriesNr FROM tblSeries WHERE FKeyStudyID = ? ORDER BY SeriesNr, SeriesID"),
            {session_.selection().studyKey});
    }();
    if (!rows.ok()) {
        LogFailure(rows, QStringLiteral("MainForm PopUpStudie_SeriesWindow"));
        return;
    }
    clearList(c_.lvSerien);
    c_.lvSerien->setUpdatesEnabled(false);
    addRow(c_.lvSerien, QStringLiteral(".."), QStringLiteral("back"), {});
    const QIcon icon = QApplication::style()->standardIcon(QStyle::SP_FileDialogContentsView);
    for (const QSqlRecord &row : rows.rows)
        addRow(c_.lvSerien, QStringLiteral("# ") + cell(row, "SeriesNr"), row.value(QStringLiteral("SeriesID")), {})
            ->setIcon(0, icon);
    c_.lvSerien->clearSelection();
    c_.lvSerien->setCurrentItem(nullptr);
    c_.lvSerien->setUpdatesEnabled(true);
    if (c_.frmSerien)
        c_.frmSerien->show();
}

void Browser::lvSerien_DblClick(QTreeWidgetItem *item) { loadSeries(item); }

void Browser::PopUpSerie_Laden() { loadSeries(c_.lvSerien ? c_.lvSerien->currentItem() : nullptr); }

void Browser::loadSeries(QTreeWidgetItem *item)
{
    if (!item || loading_)
        return;
    if (item->data(0, Qt::UserRole).toString() == QStringLiteral("back")) {
        if (c_.frmSerien)
            c_.frmSerien->hide();
        clearList(c_.lvSerien);
        return;
    }
    session_.setLoadedLevel(LoadedLevel::Series);
    select([item](BrowserSelection &s) { s.seriesKey = item->data(0, Qt::UserRole).toLongLong(); });
    if (c_.clearTaskList)
        c_.clearTaskList();
    const QVariantList key{session_.selection().seriesKey};
    LoadStudy({QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ? ORDER BY ImageNr"), key},
              {QStringLiteral("SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE FKeySeriesID = ?"), key});
    if (c_.viewer)
        c_.viewer->UpdateScrollRange();
    LoadImages({QStringLiteral("SELECT ImageID, ImageDate, ImageTime, ImageUID from View_Images WHERE FKeySeriesID = ? "
                               "ORDER BY ImageDate, ImageTime"),
                key});
}

void Browser::LoadStudy(const BoundSql &imageSql, const BoundSql &countSql)
{
    if (loading_)
        return; // a click while the previous load lets events run
    loading_ = true;
    ClearViewer(c_.dicomViewer);
    if (c_.dicomViewer)
        c_.dicomViewer->setRedraw(false);
    const QString studyUid = session_.selection().studyUid;
    const QString folder = AppPath(QLatin1String(AppFiles::ImagesFolder)) + QLatin1Char('/') + studyUid;
    session_.setImageLoadActive(true);
    auto open = std::make_optional<DatabaseSession>(ImageDatabase);
    auto finish = [this, &open] {
        open.reset();
        session_.setImageLoadActive(false);
        if (c_.dicomViewer)
            c_.dicomViewer->setRedraw(true);
        if (c_.pbLoad)
            c_.pbLoad->hide();
        loading_ = false;
    };

    const DbResult count = Execute(ImageDatabase, countSql.sql, countSql.values);
    if (!count.ok()) {
        LogFailure(count, QStringLiteral("MainForm LoadStudy"));
        finish();
        critical(QStringLiteral("An error occured during loading - please retry!"));
        return;
    }
    const qlonglong imageCount = count.first(QStringLiteral("ImageCount")).toLongLong();
    if (imageCount <= 0) {
        finish();
        critical(QStringLiteral("No images found!"));
        return;
    }
    if (c_.pbLoad) {
        c_.pbLoad->setMaximum(int(imageCount));
        c_.pbLoad->setValue(0);
        c_.pbLoad->show();
    }
    const DbResult rows = Execute(ImageDatabase, imageSql.sql, imageSql.values);
    if (!rows.ok()) {
        LogFailure(rows, QStringLiteral("MainForm LoadStudy"));
        finish();
        critical(QStringLiteral("An error occured during loading - please retry!"));
        return;
    }
    const bool safeFolder = isPlainUid(studyUid);
    int progress = 0;
    for (const QSqlRecord &row : rows.rows) {
        const QString uid = row.value(0).toString();
        const QString path = folder + QLatin1Char('/') + uid + QStringLiteral(".dcm");
        Result error;
        bool ok = false;
        if (!safeFolder || !isPlainUid(uid))
            error = {ErrorCode::NotReadable, QStringLiteral("Not a UID: %1/%2").arg(studyUid, uid)};
        else
            ok = ReadFileIntoList(LoadedImageList, path, &error);
        ++progress;
        if (c_.pbLoad)
            c_.pbLoad->setValue(std::min(progress, c_.pbLoad->maximum()));
        if (c_.dicomViewer) // a file that cannot be read keeps its tile, as an empty frame
            c_.dicomViewer->addImage(ok ? LoadedImageList.items.last() : UnreadableImage(path));
        if (!ok) {
            WriteErrorLog(error.number, error.text, QStringLiteral("MainForm LoadStudy (READ_ERROR)"));
            critical(QStringLiteral("An error occured during loading - please retry!"));
        }
        QCoreApplication::processEvents();
    }
    panel(4, QString::number(progress) + QStringLiteral(" image(s)"));
    finish();
}

void Browser::LoadImages(const BoundSql &listSql)
{
    if (!c_.lvImages)
        return;
    clearList(c_.lvImages);
    DatabaseSession open(ImageDatabase);
    const DbResult rows = Execute(ImageDatabase, listSql.sql, listSql.values);
    if (!rows.ok()) {
        LogFailure(rows, QStringLiteral("LoadImages"));
        return;
    }
    c_.lvImages->setUpdatesEnabled(false);
    for (const QSqlRecord &row : rows.rows) {
        addRow(c_.lvImages, cell(row, "ImageID"), row.value(QStringLiteral("ImageID")),
               {cell(row, "ImageDate"), cell(row, "ImageTime"), cell(row, "ImageUID")});
        QCoreApplication::processEvents();
    }
    c_.lvImages->setUpdatesEnabled(true);
    sortOn(c_.lvImages, 0);
}

void Browser::lvImages_ItemClick(QTreeWidgetItem *item)
{
    if (item && c_.viewer)
        c_.viewer->SelectImageByUid(item->text(3));
}
