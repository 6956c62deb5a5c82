#include "browse/Browser.h"

#include "toolkit/Toolkit.h"
#include "core/ApplicationFolder.h"
#include "core/DisplayText.h"
#include "core/ErrorLog.h"
#include "store/DatabasePaths.h"
#include "store/ImageRows.h"
#include "toolkit/DoseReport.h"
#include "ui/Prompts.h"

#include <QApplication>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QStyle>

#include <optional>

namespace {

// UIDs name folders and files: digits and dots only, so that a database value
// can never point outside the images folder.
bool isPlainUid(const QString &uid)
{
    static const QRegularExpression re(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return re.match(uid).hasMatch();
}

const QString BackTag = QStringLiteral("back");

} // namespace

Browser::Browser(Session &session, Prompter &prompter, QObject *parent)
    : QObject(parent)
    , session_(session)
    , prompter_(prompter)
    , patients_({QStringLiteral("ID"), QStringLiteral("Lastname, Firstname"), QStringLiteral("2nd Name"), QStringLiteral("Birthdate")})
    , studies_({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("Modality"), QStringLiteral("Bodypart")})
    , series_({QStringLiteral("Series")})
    , images_({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("ImageUID")})
{
    series_.setIcon(QApplication::style()->standardIcon(QStyle::SP_FileDialogContentsView));
}

void Browser::select(const std::function<void(BrowserSelection &)> &change)
{
    BrowserSelection s = session_.selection();
    change(s);
    session_.setSelection(s);
}

ImageTarget Browser::patientTarget(int row) const
{
    const RowModel::Row *r = patients_.at(row);
    return r ? PatientTarget(r->tag.toLongLong(), r->cells.value(0)) : ImageTarget();
}

ImageTarget Browser::studyTarget(int row) const
{
    const RowModel::Row *r = studies_.at(row);
    return r ? StudyTarget(r->cells.value(0).toLongLong(), r->tag.toString()) : ImageTarget();
}

ImageTarget Browser::seriesTarget(int row) const
{
    const RowModel::Row *r = series_.at(row);
    if (!r || r->tag.toString() == BackTag)
        return {};
    return SeriesTarget(r->tag.toLongLong());
}

void Browser::RefreshPatientList(Refresh when)
{
    if (session_.imageLoadActive())
        return;
    const QString location = QStringLiteral("MainForm_RefreshPatientList");
    // One connection for the receipts and the patients: opening the file is
    // the dearest part of a refresh.
    DatabaseSession open(ImageDatabase);
    bool receiptsRead = false;
    if (const Result emptied = EmptyReceipts(&receiptsRead); !emptied.ok()) {
        LogFailure(emptied, location);
        if (!receiptsRead)
            return;
    }
    const size_t listed = size_t(patients_.count());
    if (when == Refresh::Always) {
        patients_.clear();
        studies_.clear();
        studiesOf_.clear();
        images_.clear();
        // The loaded images leave (the viewer follows), and no row is selected:
        // the status bar names no patient, image or count.
        session_.clearLoadedImages();
        session_.setSelection({});
        for (int i = 1; i <= 4; ++i)
            emit statusPanel(i, QString());
    }
    // One statement, rows kept as plain values, one change of the model.
    std::vector<RowModel::Row> rows;
    rows.reserve(listed);
    const ShortDateForm dates;
    const Result read = ForEachPatient([&rows, &dates](const PatientRow &p) {
        QString name = p.familyName;
        if (!p.givenName.isNull())
            name += QStringLiteral(", ") + p.givenName;
        rows.push_back({{p.id, name, p.secondName, StoredDateText(p.birthDate, dates)}, p.key, false, false, {p.id, name, p.secondName, p.birthDate}});
    });
    if (!read.ok()) {
        LogFailure(read, location);
        return;
    }
    if (when == Refresh::Always) {
        patients_.reset(std::move(rows), 1);
        return;
    }
    patients_.update(std::move(rows));
    // The study list follows only while it shows the selected patient's studies.
    const QString shown = session_.selection().patientId;
    if (studies_.count() == 0 || studiesOf_.isEmpty() || studiesOf_ != shown)
        return;
    if (auto studies = studyRows(shown, location))
        studies_.update(std::move(*studies));
    // So does the series list, while it shows a study of hers.
    if (seriesShown_ && seriesOf_ > 0 && studies_.findText(0, QString::number(seriesOf_)) >= 0)
        if (auto series = seriesRows(seriesOf_, location))
            series_.update(std::move(*series));
}

std::optional<std::vector<RowModel::Row>> Browser::studyRows(const QString &patientId, const QString &where)
{
    const RowList<StudyRow> rows = StudiesOfPatient(patientId);
    if (!rows.ok()) {
        LogFailure(rows, where);
        return std::nullopt;
    }
    std::vector<RowModel::Row> studies;
    const ShortDateForm dates;
    const QLocale locale;
    for (const StudyRow &row : rows.rows)
        studies.push_back({{QString::number(row.key), StoredDateText(row.date, dates), StoredTimeText(row.time, locale), row.modality, row.bodyPart},
                           row.uid, false, false, {QString::number(row.key), row.date, row.time}});
    return studies;
}

void Browser::clearTaskStateForNewPatient()
{
    emit taskStateClearRequested();
    session_.clearCurrentImage();
    for (int i = 1; i <= 4; ++i)
        emit statusPanel(i, QString());
}

void Browser::selectPatient(int row)
{
    const RowModel::Row *r = patients_.at(row);
    if (!r)
        return;
    // Her studies are listed already (and perhaps one is loaded): her row
    // pointed at again, for its menu say, keeps the study chosen and the
    // image list, which show what the viewer holds.
    const bool listed = !studiesOf_.isEmpty() && studiesOf_ == r->cells.value(0) && studiesOf_ == session_.selection().patientId;
    if (r->cells.value(0) != session_.selection().patientId)
        clearTaskStateForNewPatient();
    select([r](BrowserSelection &s) {
        s.patientKey = r->tag.toLongLong();
        s.patientId = r->cells.value(0);
        s.patientName = r->cells.value(1);
        s.patientSecondName = r->cells.value(2);
    });
    emit statusPanel(1, QStringLiteral("Patient: ") + session_.selection().patientName);
    emit statusPanel(2, QStringLiteral("ID: ") + session_.selection().patientId);
    if (listed) {
        if (auto studies = studyRows(studiesOf_, QStringLiteral("lvPatients_MouseUp")))
            studies_.update(std::move(*studies));
        emit patientSelected();
        return;
    }

    studies_.clear();
    studiesOf_.clear();
    if (seriesShown_)
        closeSeriesList();
    emit patientSelected();

    auto studies = studyRows(session_.selection().patientId, QStringLiteral("lvPatients_MouseUp"));
    if (!studies)
        return;
    studies_.reset(std::move(*studies), 0);
    studiesOf_ = session_.selection().patientId;
    images_.clear();
}

bool Browser::rowMenuAllowed(int row)
{
    // Every entry of these menus acts on a row: none beside the rows.
    if (row < 0)
        return false;
    if (!pendingTasks_ || pendingTasks_() == 0)
        return true;
    if (!prompter_.question(nullptr, QStringLiteral("Cancel current changes?"), DefaultPromptTitle))
        return false;
    clearTaskStateForNewPatient();
    return true;
}

void Browser::takeStudyRow(int row)
{
    const RowModel::Row *r = studies_.at(row);
    session_.setLoadedLevel(LoadedLevel::Study);
    select([r](BrowserSelection &s) {
        s.studyKey = r->cells.value(0).toLongLong();
        s.studyUid = r->tag.toString();
    });
    emit taskListClearRequested();
}

void Browser::selectStudy(int row)
{
    if (!studies_.at(row) || loading_)
        return;
    loadStudy(row);
    const QString uid = studies_.at(row) ? studies_.at(row)->tag.toString() : session_.selection().studyUid;
    session_.setLoadedLevel(LoadedLevel::Study);
    select([&uid](BrowserSelection &s) { s.studyUid = uid; });
    LoadImages(ImageListOfStudy(uid));
    emit studyImagesListed(images_.count());
}

void Browser::loadStudy(int row)
{
    if (!studies_.at(row) || loading_)
        return;
    takeStudyRow(row);
    session_.setImageLoadActive(true);
    const RowList<SeriesRow> rows = SeriesOfStudy(session_.selection().studyKey);
    session_.setImageLoadActive(false);
    if (!rows.ok()) {
        LogFailure(rows, QStringLiteral("PopUpStudie_Laden"));
        return;
    }
    QList<qlonglong> keys;
    for (const SeriesRow &row : rows.rows)
        keys << row.key;
    LoadStudy(keys);
}

std::optional<std::vector<RowModel::Row>> Browser::seriesRows(qlonglong studyKey, const QString &where)
{
    const RowList<SeriesRow> rows = SeriesOfStudy(studyKey);
    if (!rows.ok()) {
        LogFailure(rows, where);
        return std::nullopt;
    }
    std::vector<RowModel::Row> series{{{QStringLiteral("..")}, BackTag}};
    for (const SeriesRow &row : rows.rows)
        series.push_back({{QStringLiteral("# ") + row.number}, row.key, true});
    return series;
}

void Browser::showSeries(int row)
{
    if (!studies_.at(row))
        return;
    takeStudyRow(row);
    auto series = seriesRows(session_.selection().studyKey, QStringLiteral("MainForm PopUpStudie_SeriesWindow"));
    if (!series)
        return;
    series_.reset(std::move(*series));
    seriesShown_ = true;
    seriesOf_ = session_.selection().studyKey;
}

void Browser::closeSeriesList()
{
    series_.clear();
    seriesShown_ = false;
    seriesOf_ = 0;
}

void Browser::loadSeries(int row)
{
    const RowModel::Row *r = series_.at(row);
    if (!r || loading_)
        return;
    if (r->tag.toString() == BackTag) {
        closeSeriesList();
        return;
    }
    session_.setLoadedLevel(LoadedLevel::Series);
    select([r](BrowserSelection &s) { s.seriesKey = r->tag.toLongLong(); });
    emit taskListClearRequested();
    const qlonglong key = session_.selection().seriesKey;
    LoadStudy({key});
    LoadImages(ImageListOfSeries(key));
}

void Browser::patientRemoved(const QString &patientId) { patients_.removeAt(patients_.findText(0, patientId)); }

void Browser::studyRemoved(qlonglong studyKey) { studies_.removeAt(studies_.findText(0, QString::number(studyKey))); }

void Browser::seriesRemoved(qlonglong seriesKey)
{
    const int row = series_.findTag(seriesKey);
    if (row > 0)
        series_.removeAt(row);
}

void Browser::LoadStudy(const QList<qlonglong> &seriesKeys)
{
    if (loading_)
        return; // a click while the previous load lets events run
    loading_ = true;
    session_.clearLoadedImages();
    session_.setLoadedFor(session_.selection());
    emit loadStarted();
    const QString studyUid = session_.selection().studyUid;
    const QString folder = AppPath(QLatin1String(AppFiles::ImagesFolder)) + QLatin1Char('/') + studyUid;
    session_.setImageLoadActive(true);
    auto open = std::make_optional<DatabaseSession>(ImageDatabase);
    auto finish = [this, &open] {
        open.reset();
        session_.setImageLoadActive(false);
        loading_ = false;
        emit loadEnded();
    };
    auto failed = [this](const QString &message) { prompter_.critical(nullptr, message, DefaultPromptTitle); };

    const RowList<QString> rows = ImagesToShow(seriesKeys, QString::fromLatin1(DoseReportSopClass));
    if (!rows.ok()) {
        LogFailure(rows, QStringLiteral("MainForm LoadStudy"));
        finish();
        failed(QStringLiteral("An error occured during loading - please retry!"));
        return;
    }
    const qlonglong imageCount = rows.rows.size();
    if (imageCount <= 0) {
        finish();
        failed(QStringLiteral("No images found!"));
        return;
    }
    emit loadProgress(0, int(imageCount));
    const bool safeFolder = isPlainUid(studyUid);
    int progress = 0;
    for (const QString &uid : rows.rows) {
        const QString path = folder + QLatin1Char('/') + uid + QStringLiteral(".dcm");
        Result error;
        ToolkitImageList read;
        if (!safeFolder || !isPlainUid(uid))
            error = {ErrorCode::NotReadable, QStringLiteral("Not a UID: %1/%2").arg(studyUid, uid)};
        else if (ReadFileIntoList(read, path, &error) && ImageUid(ListItem(read, 1)) != uid)
            error = {ErrorCode::NotReadable, QStringLiteral("%1 holds image '%2', not the one its row names").arg(path, ImageUid(ListItem(read, 1)))};
        else if (ListCount(read) == 1 && !session_.addLoadedImage(uid, ListItem(read, 1)))
            error = {ErrorCode::NotReadable, QStringLiteral("%1: image %2 is loaded already").arg(path, uid)};
        ++progress;
        emit loadProgress(std::min<qlonglong>(progress, imageCount), int(imageCount));
        // A file that cannot be read stays out of the session and so out of
        // the viewer; the log names it.
        if (!error.ok()) {
            WriteErrorLog(error.number, error.text.contains(path) ? error.text : path + QStringLiteral(": ") + error.text,
                          QStringLiteral("MainForm LoadStudy (READ_ERROR)"));
            failed(QStringLiteral("An error occured during loading - please retry!"));
        }
    }
    // The images in the viewer: those that could be read.
    emit statusPanel(4, QString::number(ListCount(session_.loadedImages())) + QStringLiteral(" image(s)"));
    finish();
}

void Browser::LoadImages(const RowList<ImageListRow> &rows)
{
    images_.clear();
    if (!rows.ok()) {
        LogFailure(rows, QStringLiteral("LoadImages"));
        return;
    }
    std::vector<RowModel::Row> images;
    const ShortDateForm dates;
    const QLocale locale;
    for (const ImageListRow &row : rows.rows)
        images.push_back({{QString::number(row.key), StoredDateText(row.date, dates), StoredTimeText(row.time, locale), row.uid}, row.key, false, false,
                          {QString::number(row.key), row.date, row.time}});
    images_.reset(std::move(images), 0);
}
