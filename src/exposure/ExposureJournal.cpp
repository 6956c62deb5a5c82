#include "exposure/ExposureJournal.h"

#include "core/ExposureUnits.h"
#include "dose/Projection.h"
#include "exposure/ExposureDecoders.h"
#include "toolkit/Toolkit.h"

#include <cmath>

namespace {

QVariant textOrNull(const std::optional<QString> &v) { return v ? QVariant(*v) : QVariant(QMetaType::fromType<QString>()); }
template <typename T>
QVariant nullOf() { return QVariant(QMetaType::fromType<T>()); }
QVariant doubleOrNull(const std::optional<double> &v) { return v ? QVariant(*v) : nullOf<double>(); }
// A measurement the dose arithmetic can use: finite and above 0 ("inf" and
// "nan" are numbers to QString::toDouble, never to a dose).
std::optional<double> positive(const std::optional<double> &v)
{
    return v && std::isfinite(*v) && *v > 0 ? v : std::nullopt;
}

// A name as the search compares it, NULL for none.
QVariant foldedOrNull(const std::optional<QString> &name) { return name ? QVariant(FoldForSearch(*name)) : nullOf<QString>(); }

} // namespace

JournalInsert InsertExposure(Database &db, const ExposureRecord &r, const QLocale &locale, const std::optional<ExposureDose> &dose)
{
    JournalInsert result;
    QVariant datum(QMetaType::fromType<QString>());
    if (r.Datum && !r.Datum->isEmpty()) {
        const QDate d = ParseExposureDate(*r.Datum, locale);
        if (d.isValid())
            datum = DbDate(d);
        else
            result.problems.append({ErrorCode::TypeMismatch,
                                    QStringLiteral("Type mismatch (date \"%1\")").arg(r.Datum->left(40))});
    }
    const DbResult q = Execute(db,
        QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit, Patname, PatnameFolded, "
                       "Unit, TargetFilter, HVL, Kerma, AGD, AgdSource, AgeTable, CalibrationID, IrradiationEventUID) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        {textOrNull(r.KVP), textOrNull(r.ma), textOrNull(r.Zeit), textOrNull(r.Dicke), textOrNull(r.mGy),
         textOrNull(r.Druck), datum, textOrNull(r.Sonstiges), r.Status.value_or(QStringLiteral("0")),
         textOrNull(r.expZeit), textOrNull(r.Patname), foldedOrNull(r.Patname),
         dose ? QVariant(int(dose->unit)) : nullOf<int>(), dose ? textOrNull(dose->estimate.targetFilter) : nullOf<QString>(),
         dose ? doubleOrNull(dose->estimate.hvl) : nullOf<double>(), dose ? doubleOrNull(dose->estimate.kerma) : nullOf<double>(),
         dose ? doubleOrNull(dose->estimate.agd) : nullOf<double>(),
         dose && !dose->estimate.source.isEmpty() ? QVariant(dose->estimate.source) : nullOf<QString>(),
         dose && !dose->estimate.ageTable.isEmpty() ? QVariant(dose->estimate.ageTable) : nullOf<QString>(),
         dose && dose->estimate.calibrationId ? QVariant(*dose->estimate.calibrationId) : nullOf<qlonglong>(), NewUid()});

    result.number = q.number;
    result.text = q.text;
    result.id = q.lastInsertId.toLongLong();
    return result;
}

ExposureDoseInput DoseInputOfRow(qint16 unitType, const QSqlRecord &row)
{
    auto text = [&row](const char *column) {
        const QVariant v = row.value(QLatin1String(column));
        return v.isNull() ? std::optional<QString>() : std::optional<QString>(v.toString());
    };
    ExposureRecord record;
    record.KVP = text("KVP");
    record.ma = text("ma");
    record.Dicke = text("Dicke");
    record.mGy = text("mGy");
    record.Sonstiges = text("Sonstiges");
    return DoseInputOf(unitType, record);
}

ExposureDoseInput DoseInputOf(qint16 unitType, const ExposureRecord &r)
{
    ExposureDoseInput in;
    in.kv = positive(KvOf(unitType, r.KVP.value_or(QString())));
    in.mAs = positive(MAsOf(unitType, r.ma.value_or(QString())));
    in.thicknessMm = positive(ThicknessMmOf(unitType, r.Dicke.value_or(QString())));
    in.reportedMGy = positive(ReportedDoseMGyOf(unitType, r.mGy.value_or(QString())));
    in.reportedTargetFilter = TargetFilterOfExposure(unitType, r.Sonstiges.value_or(QString()));
    return in;
}

DbResult ExposureDoseInputOf(Database &db, qlonglong id)
{
    return Execute(db, QStringLiteral("SELECT KVP, ma, Dicke, mGy, Sonstiges, Datum, Unit, AgdSource, AgeTable, CalibrationID, AGD FROM tblDosis WHERE ID = ?"),
                   {id});
}

EventUid EnsureEventUid(Database &db, qlonglong id)
{
    EventUid out;
    // Only a row without one gets a new UID, so a UID once given is kept.
    const DbResult set = Execute(db, QStringLiteral("UPDATE tblDosis SET IrradiationEventUID = ? WHERE ID = ? AND IrradiationEventUID IS NULL"),
                                 {NewUid(), id});
    const DbResult read = set.ok() ? Execute(db, QStringLiteral("SELECT IrradiationEventUID FROM tblDosis WHERE ID = ?"), {id}) : set;
    out.number = read.number;
    out.text = read.text;
    if (read.ok() && !read.rows.isEmpty())
        out.uid = read.rows.first().value(0).toString();
    else if (read.ok())
        out = {Result::failure(ErrorCode::NoObject, QStringLiteral("No journal row %1").arg(id)), QString()};
    return out;
}

DbResult UpdateExposureAgd(Database &db, qlonglong id, double agd, const QString &ageTable)
{
    return Execute(db, QStringLiteral("UPDATE tblDosis SET AGD = ?, AgeTable = ? WHERE ID = ?"), {agd, ageTable, id});
}

std::optional<ReferenceExceeded> ExceedsReference(const ReferenceSet &set, qint16 unitType, const QString &dicke, const QString &mGy,
                                                  const QString &sonstiges, std::optional<double> agd, std::optional<double> kerma)
{
    ExposureRecord r;
    r.Dicke = dicke;
    r.mGy = mGy;
    const ExposureDoseInput in = DoseInputOf(unitType, r);
    return CheckAgainst(set, ProjectionOfExposure(unitType, sonstiges).view, in.thicknessMm, agd, positive(kerma) ? kerma : in.reportedMGy);
}

DbResult OpenExposuresOf(Database &db, const QDate &day, const std::optional<QString> &patientName)
{
    static const QString columns = QStringLiteral(
        "SELECT ID, Datum, Zeit, KVP, ma, Dicke, Druck, mGy, Sonstiges, Status, expZeit, AGD, AgdSource, HVL, TargetFilter, Kerma, "
        "CalibrationID, Unit, IrradiationEventUID, Patname, FKeyPatID FROM tblDosis "
        "WHERE Status NOT IN ('1', '2') AND Datum = ?");
    if (patientName)
        return Execute(db, columns + QStringLiteral(" AND Patname = ? ORDER BY ID"), {DbDate(day), *patientName});
    return Execute(db, columns + QStringLiteral(" ORDER BY ID"), {DbDate(day)});
}

DbResult OpenPatientNamesOf(Database &db, const QDate &day)
{
    // First-seen order, so the drop-down lists the day's patients as they came.
    return Execute(db,
        QStringLiteral("SELECT Patname FROM tblDosis WHERE Datum = ? AND Status NOT IN ('1', '2') AND Patname IS NOT NULL "
                       "GROUP BY Patname ORDER BY MIN(ID)"),
        {DbDate(day)});
}

DbResult AssignExposure(Database &db, qlonglong id, const QString &patientId, const QString &patientName)
{
    return Execute(db, QStringLiteral("UPDATE tblDosis SET Status = '1', FKeyPatID = ?, Patname = ?, PatnameFolded = ? WHERE ID = ?"),
                   {patientId, patientName, FoldForSearch(patientName), id});
}

DbResult RemoveExposureFromList(Database &db, qlonglong id)
{
    return Execute(db, QStringLiteral("UPDATE tblDosis SET Status = '1' WHERE ID = ?"), {id});
}

DbResult RejectExposure(Database &db, qlonglong id, const QString &patientId, const QString &patientName, const QString &studyUid)
{
    DbResult r = Execute(db,
                         QStringLiteral("UPDATE tblDosis SET Status = '2', FKeyPatID = ?, Patname = ?, PatnameFolded = ?, StudyUID = ? "
                                        "WHERE ID = ? AND Status NOT IN ('1', '2')"),
                         {patientId, patientName, FoldForSearch(patientName), studyUid, id});
    if (r.ok() && r.rowsAffected == 0) {
        r.number = ErrorCode::NoObject;
        r.text = QStringLiteral("Exposure %1 is no longer on the dose list").arg(id);
    }
    return r;
}

DbResult RejectedExposuresOf(Database &db, const QString &studyUid)
{
    return Execute(db, QStringLiteral("SELECT ID FROM tblDosis WHERE Status = '2' AND StudyUID = ? ORDER BY ID"), {studyUid});
}

DbResult BindExposuresToStudy(Database &db, const QList<qlonglong> &ids, const QString &studyUid)
{
    for (qlonglong id : ids) {
        const DbResult r = Execute(db, QStringLiteral("UPDATE tblDosis SET StudyUID = ? WHERE ID = ?"), {studyUid, id});
        if (!r.ok())
            return r;
    }
    return {};
}

JournalStatement SearchJournalStatement(const JournalSearch &search)
{
    static const QString columns = QStringLiteral("SELECT ID, Patname, Datum, Zeit, Sonstiges, KVP, ma, Dicke, AGD FROM tblDosis");
    // "*" is the operator's wild card; SQLite's LIKE ignores the case of ASCII
    // letters only ("mü%" would miss "Müller"), so both sides are folded.
    auto pattern = [](QString text) { return FoldForSearch(text.replace(QLatin1Char('*'), QLatin1Char('%'))); };
    if (!search.patientId.isEmpty())
        return {columns + QStringLiteral(" WHERE lumora_fold(FKeyPatID) LIKE ? ORDER BY ID"), {pattern(search.patientId)}};
    // The name folded when the row was written, under an index a prefix can use.
    if (!search.patientName.isEmpty())
        return {columns + QStringLiteral(" WHERE PatnameFolded LIKE ? ORDER BY ID"), {pattern(search.patientName)}};
    if (search.everything)
        return {columns + QStringLiteral(" ORDER BY ID"), {}};
    return {columns + QStringLiteral(" WHERE Datum = ? ORDER BY ID"), {DbDate(search.day)}};
}

DbResult SearchJournal(Database &db, const JournalSearch &search)
{
    const JournalStatement st = SearchJournalStatement(search);
    return Execute(db, st.sql, st.values);
}

DbResult ReleaseExposure(Database &db, qlonglong id, const std::optional<QString> &newPatientName, const QDate &day)
{
    if (newPatientName)
        return Execute(db, QStringLiteral("UPDATE tblDosis SET Status = '0', StudyUID = NULL, Patname = ?, PatnameFolded = ?, Datum = ? WHERE ID = ?"),
                       {*newPatientName, FoldForSearch(*newPatientName), DbDate(day), id});
    return Execute(db, QStringLiteral("UPDATE tblDosis SET Status = '0', StudyUID = NULL WHERE ID = ?"), {id});
}
