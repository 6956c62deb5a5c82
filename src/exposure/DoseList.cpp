#include "exposure/DoseList.h"

#include "core/DisplayText.h"
#include "core/ErrorLog.h"
#include "dose/Agd.h"
#include "dose/DoseStore.h"
#include "core/Settings.h"
#include "exposure/ExposureJournal.h"
#include "store/DatabasePaths.h"
#include "ui/Prompts.h"

#include <QColor>
#include <QCoreApplication>
#include <QSet>
#include <QSqlRecord>

namespace {

const QString kFillSource = QStringLiteral("MainForm_lvDosis_Fill");
const QString kRefreshSource = QStringLiteral("MainForm_RefreshDosisList");

// Columns 1..10 and the journal columns behind them.
const char *const kColumns[] = {"Datum", "Zeit", "KVP", "ma", "Dicke", "Druck", "mGy", "Sonstiges", "Status", "expZeit"};

const char *const kCaptions[] = {"ID", "Date", "Time", "kV", "mAs", "Thickness", "Press", "mGy", "Other", "Status", "expTime", "AGD mGy"};

} // namespace

int DoseListModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : DoseList::ColumnCount; }

QVariant DoseListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows_.size())
        return {};
    const Row &row = rows_[index.row()];
    if (role == Qt::DisplayRole)
        return row.cells.value(index.column());
    if (role == Qt::UserRole && index.column() == DoseList::Id)
        return row.id;
    if (role == Qt::ToolTipRole && !row.overReference.isEmpty())
        return index.column() == DoseList::Agd && !row.agdSource.isEmpty()
            ? QStringLiteral("%1\nAGD: %2").arg(row.overReference, row.agdSource)
            : row.overReference;
    if (role == Qt::ToolTipRole && index.column() == DoseList::Agd && !row.agdSource.isEmpty())
        return QStringLiteral("AGD: %1").arg(row.agdSource);
    // Over the reference level: marked, never interrupting.
    if (role == Qt::BackgroundRole && !row.overReference.isEmpty())
        return QColor(255, 200, 200);
    return {};
}

QVariant DoseListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < DoseList::ColumnCount)
        return QString::fromLatin1(kCaptions[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

bool DoseListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || index.row() >= rows_.size())
        return false;
    rows_[index.row()].cells[index.column()] = value.toString();
    rewritten_[rows_[index.row()].id].insert(index.column(), value.toString());
    emit dataChanged(index, index);
    return true;
}

void DoseListModel::reset(QList<Row> rows)
{
    beginResetModel();
    rows_ = std::move(rows);
    rewritten_.clear();
    endResetModel();
}

void DoseListModel::update(QList<Row> rows)
{
    QSet<qlonglong> fresh;
    for (const Row &r : rows)
        fresh.insert(r.id);
    for (int i = int(rows_.size()) - 1; i >= 0; --i) {
        if (fresh.contains(rows_[i].id))
            continue;
        beginRemoveRows({}, i, i);
        rewritten_.remove(rows_[i].id);
        rows_.removeAt(i);
        endRemoveRows();
    }
    for (Row &r : rows) {
        const auto it = rewritten_.constFind(r.id);
        if (it != rewritten_.constEnd())
            for (auto cell = it->cbegin(); cell != it->cend(); ++cell)
                r.cells[cell.key()] = cell.value();
    }
    // Both in key order: the kept rows line up with the new ones, and new keys come last.
    int kept = 0;
    for (const Row &r : rows) {
        if (kept >= rows_.size() || rows_[kept].id != r.id)
            break;
        const Row &old = rows_[kept];
        if (old.cells != r.cells || old.agdSource != r.agdSource || old.agd != r.agd || old.hvl != r.hvl || old.targetFilter != r.targetFilter
            || old.kerma != r.kerma || old.calibrationId != r.calibrationId || old.unit != r.unit
            || old.overReference != r.overReference || old.eventUid != r.eventUid || old.patientName != r.patientName
            || old.patientId != r.patientId) {
            rows_[kept] = r;
            emit dataChanged(index(kept, 0), index(kept, DoseList::ColumnCount - 1));
        }
        ++kept;
    }
    if (kept != rows_.size()) { // out of step: no order to keep
        reset(std::move(rows));
        return;
    }
    if (kept < rows.size()) {
        beginInsertRows({}, kept, int(rows.size()) - 1);
        for (int i = kept; i < rows.size(); ++i)
            rows_ << rows[i];
        endInsertRows();
    }
}

void DoseListModel::setEventUid(qlonglong id, const QString &uid)
{
    for (Row &r : rows_)
        if (r.id == id)
            r.eventUid = uid;
}

DoseList::DoseList(Session &session, Prompter &prompter, QObject *parent)
    : QObject(parent), prompter_(prompter), session_(session), selection_(&model_), today_([] { return QDate::currentDate(); })
{
    connect(&session_, &Session::selectedExposureChanged, this, &DoseList::followChosen);
}

void DoseList::followChosen()
{
    const ChosenExposure &chosen = session_.chosenExposure();
    if (chosen.key() <= 0)
        return;
    for (int row = 0; row < rowCount(); ++row)
        if (id(row) == chosen.key()) {
            if (text(row, Other) != chosen.values.other)
                model_.setData(model_.index(row, Other), chosen.values.other);
            return;
        }
}

void DoseList::forgetChosen()
{
    session_.clearChosenExposure();
    emit exposureCleared();
}

QString DoseList::text(int row, int column) const { return model_.data(model_.index(row, column)).toString(); }

qlonglong DoseList::id(int row) const { return model_.data(model_.index(row, Id), Qt::UserRole).toLongLong(); }

void DoseList::lvDosis_Fill()
{
    if (session_.batchActive())
        return;
    fillFrom(std::nullopt);
}

void DoseList::fillForPatient(const QString &patientName)
{
    if (session_.batchActive())
        return;
    fillFrom(patientName);
}

void DoseList::clear()
{
    model_.reset({});
    filter_.reset();
}

void DoseList::fillFrom(const std::optional<QString> &patientName)
{
    std::optional<QList<DoseListModel::Row>> rows = readRows(patientName);
    if (!rows)
        return;
    filter_ = patientName;
    model_.reset(std::move(*rows));
    selection_.clear();
}

void DoseList::refreshInPlace()
{
    if (session_.batchActive())
        return;
    std::optional<QList<DoseListModel::Row>> rows = readRows(filter_);
    if (rows)
        model_.update(std::move(*rows));
}

void DoseList::showDecoded()
{
    if (session_.batchActive())
        return;
    filter_.reset();
    refreshInPlace();
}

std::optional<QList<DoseListModel::Row>> DoseList::readRows(const std::optional<QString> &patientName)
{
    DbResult r;
    {
        DatabaseSession db(UserDatabase);
        if (!db.ok()) {
            LogFailure(db.error(), kFillSource);
            return std::nullopt;
        }
        r = OpenExposuresOf(UserDatabase, today(), patientName);
    }
    if (!r.ok()) {
        LogFailure(r, kFillSource);
        return std::nullopt;
    }
    const QLocale locale;
    QList<DoseListModel::Row> rows;
    rows.reserve(r.rows.size());
    const ShortDateForm dates(locale);
    for (const QSqlRecord &rec : r.rows) {
        DoseListModel::Row row{rec.value(0).toLongLong(), {rec.value(0).toString()}};
        for (int i = 0; i < 10; ++i) {
            const QVariant v = rec.value(QString::fromLatin1(kColumns[i]));
            QString text = v.isNull() ? QString() : v.toString();
            if (i == 0 && !text.isEmpty()) {
                const QDate d = QDate::fromString(text, Qt::ISODate);
                if (d.isValid())
                    text = dates.text(d);
            }
            row.cells << text;
        }
        row.cells << AgdText(rec.value(QStringLiteral("AGD")), locale);
        row.agdSource = rec.value(QStringLiteral("AgdSource")).toString();
        auto number = [&rec](const char *column) {
            const QVariant v = rec.value(QLatin1String(column));
            return v.isNull() ? QString() : QString::number(v.toDouble(), 'g', 10);
        };
        row.agd = number("AGD");
        row.hvl = number("HVL");
        row.kerma = number("Kerma");
        row.targetFilter = rec.value(QStringLiteral("TargetFilter")).toString();
        row.calibrationId = rec.value(QStringLiteral("CalibrationID")).toLongLong();
        row.eventUid = rec.value(QStringLiteral("IrradiationEventUID")).toString();
        row.patientName = rec.value(QStringLiteral("Patname")).toString();
        row.patientId = rec.value(QStringLiteral("FKeyPatID")).toString();
        row.unit = rec.value(QStringLiteral("Unit")).isNull() ? Settings.XrayComm : qint16(rec.value(QStringLiteral("Unit")).toInt());
        rows << row;
    }
    markOverReference(rows);
    return rows;
}

void DoseList::markOverReference(QList<DoseListModel::Row> &rows)
{
    if (rows.isEmpty())
        return;
    std::optional<ReferenceSet> set;
    {
        DatabaseSession defs(DefinitionsDatabase);
        if (!defs.ok())
            return LogFailure(defs.error(), kFillSource);
        Result failure;
        set = ActiveReferenceSet(DefinitionsDatabase, &failure);
        if (!failure.ok())
            return LogFailure(failure, kFillSource);
    }
    if (!set)
        return;
    for (DoseListModel::Row &row : rows) {
        const std::optional<double> agd = row.agd.isEmpty() ? std::nullopt : std::optional<double>(row.agd.toDouble());
        const std::optional<double> kerma = row.kerma.isEmpty() ? std::nullopt : std::optional<double>(row.kerma.toDouble());
        if (const auto over = ExceedsReference(*set, row.unit, row.cells.value(Thickness), row.cells.value(MGy), row.cells.value(Other), agd, kerma))
            row.overReference = over->text();
    }
}

QStringList DoseList::patientNames() const
{
    DbResult r;
    {
        DatabaseSession db(UserDatabase);
        if (!db.ok()) {
            LogFailure(db.error(), kFillSource);
            return {};
        }
        r = OpenPatientNamesOf(UserDatabase, today());
    }
    if (!r.ok()) {
        LogFailure(r, kFillSource);
        return {};
    }
    QStringList names;
    for (const QSqlRecord &rec : r.rows)
        names << rec.value(0).toString();
    return names;
}

void DoseList::RefreshDosisList(DoseAssignment mode) { RefreshDosisList(mode, session_.selection()); }

void DoseList::RefreshDosisList(DoseAssignment mode, const BrowserSelection &patient)
{
    if (!assign(mode, patient))
        return;
    refillAfterChange();
}

void DoseList::refillAfterChange()
{
    clear();
    lvDosis_Fill();
    // An exposure assigned or taken off the list is used: nothing may be stamped or tasked with it again.
    const qlonglong chosen = session_.selectedExposure().journalId;
    if (chosen <= 0)
        return;
    for (int row = 0; row < rowCount(); ++row)
        if (id(row) == chosen)
            return;
    forgetChosen();
}

bool DoseList::assign(DoseAssignment mode, const BrowserSelection &patient)
{
    DatabaseSession db(UserDatabase);
    if (!db.ok()) {
        LogFailure(db.error(), kRefreshSource);
        return false;
    }
    const auto fail = [](const DbResult &r) {
        LogFailure(r, kRefreshSource);
        return false;
    };
    const QString patientId = patient.patientId;
    const QString patientName = patient.patientName;
    switch (mode) {
    case DoseAssignment::AllListed:
        for (int row = 0; row < rowCount(); ++row) {
            const DbResult r = AssignExposure(UserDatabase, id(row), patientId, patientName);
            if (!r.ok())
                return fail(r);
        }
        break;
    case DoseAssignment::RemoveSelected:
    case DoseAssignment::AssignSelected: {
        const QModelIndexList selected = selection_.selectedRows();
        if (selected.isEmpty()) {
            WriteErrorLog(ErrorCode::NoObject, QStringLiteral("Object variable or With block variable not set (no selected exposure)"),
                          kRefreshSource);
            return false;
        }
        const qlonglong key = id(selected.first().row());
        const DbResult r = mode == DoseAssignment::RemoveSelected ? RemoveExposureFromList(UserDatabase, key)
                                                                  : AssignExposure(UserDatabase, key, patientId, patientName);
        if (!r.ok())
            return fail(r);
        break;
    }
    case DoseAssignment::None:
        break;
    }
    return true;
}

void DoseList::PopupDeleteDosis()
{
    const QModelIndexList selected = selection_.selectedRows();
    if (selected.isEmpty()) {
        WriteErrorLog(ErrorCode::NoObject, QStringLiteral("Object variable or With block variable not set (no selected exposure)"),
                      kRefreshSource);
        emit exposureCleared();
        return;
    }
    const int row = selected.first().row();
    const qlonglong key = id(row);
    const QString exposure = QStringLiteral("%1 (%2, %3 kV, journal no. %4)").arg(text(row, Other), text(row, Time), text(row, KV)).arg(key);
    const BrowserSelection &loaded = session_.loadedFor();
    if (loaded.patientId.isEmpty()) {
        // Nobody's images to keep it for: only a test exposure leaves the list without a patient.
        if (!prompter_.confirm(promptParent_,
                               QStringLiteral("No patient's images are loaded.\r\nRemove exposure %1 from the list as nobody's exposure "
                                              "(a test or phantom exposure)? It will be in no patient's dose report.\r\n"
                                              "If a patient received it, answer No, load her images and delete it again.")
                                   .arg(exposure),
                               DefaultPromptTitle))
            return;
        // The row the question named, whatever the list selects after the box.
        {
            DatabaseSession db(UserDatabase);
            if (!db.ok()) {
                LogFailure(db.error(), kRefreshSource);
                return;
            }
            if (const DbResult removed = RemoveExposureFromList(UserDatabase, key); !removed.ok()) {
                LogFailure(removed, kRefreshSource);
                return;
            }
        }
        refillAfterChange();
        forgetChosen();
        return;
    }
    if (!rejectSelected(key, exposure))
        return;
    refillAfterChange();
    forgetChosen();
}

bool DoseList::rejectSelected(qlonglong key, const QString &exposure)
{
    const BrowserSelection &loaded = session_.loadedFor();
    const BrowserSelection &now = session_.selection();
    const QString named = QStringLiteral("%1 (ID %2)");
    const QString hers = named.arg(loaded.patientName, loaded.patientId);
    if (now.patientKey != loaded.patientKey || now.patientId != loaded.patientId) {
        const QString selected = now.patientId.isEmpty() ? QStringLiteral("no patient") : named.arg(now.patientName, now.patientId);
        prompter_.information(promptParent_,
                              QStringLiteral("The images in the viewer are of %1, but %2 is selected now.\r\nThe exposure was not deleted. "
                                             "Select %1 again to reject it as hers, or load the images of the patient selected.")
                                  .arg(hers, selected),
                              DefaultPromptTitle);
        return false;
    }
    if (loaded.studyUid.isEmpty()) {
        prompter_.information(promptParent_, QStringLiteral("No study of %1 is loaded: load the study she was examined in, then delete the exposure.").arg(hers),
                              DefaultPromptTitle);
        return false;
    }
    if (!prompter_.confirm(promptParent_,
                           QStringLiteral("Reject exposure %1 of %2?\r\nIt leaves the dose list and stays her exposure: the dose report "
                                          "of the study loaded lists it as rejected and counts its dose.")
                               .arg(exposure, hers),
                           DefaultPromptTitle))
        return false;
    DbResult r;
    {
        DatabaseSession db(UserDatabase);
        if (!db.ok()) {
            LogFailure(db.error(), kRefreshSource);
            return false;
        }
        r = RejectExposure(UserDatabase, key, loaded.patientId, loaded.patientName, loaded.studyUid);
    }
    if (!r.ok()) {
        LogFailure(r, kRefreshSource);
        prompter_.information(promptParent_, QStringLiteral("The exposure was not rejected: %1").arg(r.text), DefaultPromptTitle);
        // Another station may have taken it: the list shows what the journal holds.
        return true;
    }
    return true;
}

std::optional<DoseList::Examination> DoseList::examinationExposures(DoseAssignment mode, const QString &studyUid) const
{
    static const QString where = QStringLiteral("MainForm cmdAll_Click exposures");
    Examination out;
    if (mode == DoseAssignment::AllListed) {
        for (int row = 0; row < rowCount(); ++row)
            out.listed << id(row);
    } else if (mode == DoseAssignment::AssignSelected) {
        const QModelIndexList selected = selection_.selectedRows();
        if (!selected.isEmpty())
            out.listed << id(selected.first().row());
    }
    if (studyUid.isEmpty())
        return out;
    DbResult r;
    {
        DatabaseSession db(UserDatabase);
        if (!db.ok()) {
            LogFailure(db.error(), where);
            return std::nullopt;
        }
        r = RejectedExposuresOf(UserDatabase, studyUid);
    }
    if (!r.ok()) {
        LogFailure(r, where);
        return std::nullopt;
    }
    for (const QSqlRecord &rec : r.rows)
        out.rejected << rec.value(0).toLongLong();
    return out;
}

void DoseList::assignExposures(const QList<qlonglong> &ids, const BrowserSelection &patient)
{
    {
        DatabaseSession db(UserDatabase);
        if (!db.ok())
            return LogFailure(db.error(), kRefreshSource);
        for (qlonglong key : ids) {
            const DbResult r = AssignExposure(UserDatabase, key, patient.patientId, patient.patientName);
            if (!r.ok())
                return LogFailure(r, kRefreshSource);
        }
    }
    refillAfterChange();
}

// A row journalled before there were event UIDs gets its own when it is first chosen.
QString DoseList::ensureEventUid(qlonglong id)
{
    static const QString where = QStringLiteral("MainForm lvDosis_Click event UID");
    EventUid uid;
    {
        DatabaseSession db(UserDatabase);
        if (!db.ok()) {
            LogFailure(db.error(), where);
            return {};
        }
        uid = EnsureEventUid(UserDatabase, id);
    }
    if (!uid.ok()) {
        LogFailure(uid, where);
        return {};
    }
    model_.setEventUid(id, uid.uid);
    return uid.uid;
}

ChosenExposure DoseList::exposureAt(int row)
{
    const DoseListModel::Row *r = model_.row(row);
    if (!r)
        return {};
    QString eventUid = r->eventUid;
    if (eventUid.isEmpty())
        eventUid = ensureEventUid(r->id);
    return {.values = {.kV = text(row, KV), .mAs = text(row, MA), .thickness = text(row, Thickness), .compression = text(row, Press),
                       .dose = text(row, MGy), .other = text(row, Other), .agd = r->agd, .hvl = r->hvl,
                       .targetFilter = r->targetFilter, .kerma = r->kerma, .journalId = r->id, .eventUid = eventUid},
            .exposureTime = text(row, ExpTime),
            .date = text(row, Date),
            .time = text(row, Time),
            .patientName = r->patientName,
            .patientId = r->patientId};
}

QList<ChosenExposure> DoseList::listedExposures()
{
    QList<ChosenExposure> out;
    for (int row = 0; row < rowCount(); ++row)
        out << exposureAt(row);
    return out;
}

void DoseList::choose(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    QStringList cells;
    for (int column = 0; column < ColumnCount; ++column)
        cells << text(row, column);
    session_.setChosenExposure(exposureAt(row));
    emit exposureChosen(cells);
}

void DoseList::select(int row)
{
    selection_.setCurrentIndex(model_.index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

bool DoseList::rewriteCurrentProjection(const QString &caption)
{
    const QModelIndex current = selection_.currentIndex();
    if (!current.isValid())
        return false;
    model_.setData(model_.index(current.row(), Other), caption);
    choose(current.row());
    return true;
}

ExposureValues DoseForBirthDate(const ExposureValues &exposure, const QDate &birthDate)
{
    static const QString where = QStringLiteral("MainForm cmdAll_Click age table");
    if (exposure.journalId <= 0 || !birthDate.isValid())
        return exposure;
    DatabaseSession db(UserDatabase);
    if (!db.ok()) {
        LogFailure(db.error(), where);
        return exposure;
    }
    const DbResult row = ExposureDoseInputOf(UserDatabase, exposure.journalId);
    if (!row.ok()) {
        LogFailure(row, where);
        return exposure;
    }
    if (row.rows.isEmpty() || row.rows.first().value(QStringLiteral("CalibrationID")).isNull())
        return exposure; // no calibration, no AGD to correct
    const QSqlRecord &rec = row.rows.first();
    const QString table = AgeTableFor(birthDate, QDate::fromString(rec.value(QStringLiteral("Datum")).toString(), Qt::ISODate));
    if (table == rec.value(QStringLiteral("AgeTable")).toString()) {
        // The list may still show the AGD of before an earlier pairing settled it.
        ExposureValues out = exposure;
        const QVariant agd = rec.value(QStringLiteral("AGD"));
        out.agd = agd.isNull() ? QString() : QString::number(agd.toDouble(), 'g', 10);
        return out;
    }
    const qint16 unit = rec.value(QStringLiteral("Unit")).isNull() ? Settings.XrayComm : qint16(rec.value(QStringLiteral("Unit")).toInt());
    ExposureDoseInput in = DoseInputOfRow(unit, rec);
    in.ageTable = table;
    StoredDoseEstimate d;
    {
        DatabaseSession defs(DefinitionsDatabase);
        if (!defs.ok()) {
            LogFailure(defs.error(), where);
            return exposure;
        }
        d = EstimateWithCalibration(DefinitionsDatabase, rec.value(QStringLiteral("CalibrationID")).toLongLong(), in);
    }
    if (!d.ok())
        LogFailure(d, where);
    ExposureValues out = exposure;
    if (!d.estimate.agd) {
        // The AGD of the other table must not go into her header as hers.
        WriteErrorLog(ErrorCode::None, QStringLiteral("Exposure %1: no AGD with the %2 table: %3").arg(exposure.journalId).arg(table, d.estimate.why), where);
        out.agd.clear();
        return out;
    }
    const DbResult updated = UpdateExposureAgd(UserDatabase, exposure.journalId, *d.estimate.agd, table);
    if (!updated.ok())
        LogFailure(updated, where);
    out.agd = QString::number(*d.estimate.agd, 'g', 10);
    return out;
}
