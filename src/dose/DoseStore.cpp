#include "dose/DoseStore.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

QVariant nullDouble() { return QVariant(QMetaType::fromType<double>()); }
QVariant orNull(const std::optional<double> &v) { return v ? QVariant(*v) : nullDouble(); }

// Runs fill in a transaction: all of it is stored or none.
Result inTransaction(Database &db, const std::function<Result()> &fill)
{
    if (DbResult r = Execute(db, QStringLiteral("BEGIN IMMEDIATE")); !r.ok())
        return r;
    Result r = fill();
    if (r.ok())
        r = Execute(db, QStringLiteral("COMMIT"));
    if (!r.ok())
        Execute(db, QStringLiteral("ROLLBACK"));
    return r;
}

} // namespace

namespace {

// The X-ray unit a statement's rows name (Manufacturer, Model, SerialNumber, DeviceUID).
XrayUnitRead xrayUnitOf(Database &db, const QString &sql, const QVariant &key)
{
    XrayUnitRead out;
    const DbResult r = Execute(db, sql, {key});
    if (!r.ok()) {
        static_cast<Result &>(out) = r;
        return out;
    }
    if (!r.rows.isEmpty()) {
        const QSqlRecord &row = r.rows.first();
        out.unit = {row.value(0).toString(), row.value(1).toString(), row.value(2).toString(), row.value(3).toString()};
        out.found = true;
    }
    return out;
}

// The entries of the unit type's latest calibration that has any: where a
// new calibration takes its device UID from.
XrayUnitRead latestXrayUnit(Database &db, qint16 unit)
{
    return xrayUnitOf(db, QStringLiteral("SELECT x.Manufacturer, x.Model, x.SerialNumber, x.DeviceUID FROM tblXrayUnit x "
                                         "JOIN tblDoseCalibration c ON c.ID = x.CalibrationID WHERE c.Unit = ? ORDER BY c.ID DESC LIMIT 1"),
                      int(unit));
}

// Stores the entries with the calibration `id`. The device UID of the unit
// type's last entries stays (cleared entries keep it for when they are
// entered again) unless the unit is another one; a unit first identified
// gets one now. Inside the calibration's transaction.
Result writeXrayUnit(Database &db, qint16 unit, qlonglong id, XrayUnitIdentity &entered)
{
    const XrayUnitRead before = latestXrayUnit(db, unit);
    if (!before.ok())
        return before;
    entered.deviceUid = entered.anotherUnit ? QString() : before.unit.deviceUid;
    if (entered.deviceUid.isEmpty() && !entered.identified())
        return {};
    if (entered.deviceUid.isEmpty())
        entered.deviceUid = NewDeviceUid();
    return Execute(db, QStringLiteral("INSERT INTO tblXrayUnit (CalibrationID, Manufacturer, Model, SerialNumber, DeviceUID) VALUES (?, ?, ?, ?, ?)"),
                   {id, entered.manufacturer, entered.model, entered.serialNumber, entered.deviceUid});
}

} // namespace

XrayUnitRead ReadXrayUnit(Database &db, qint16 unit)
{
    return xrayUnitOf(db, QStringLiteral("SELECT x.Manufacturer, x.Model, x.SerialNumber, x.DeviceUID FROM tblXrayUnit x "
                                         "JOIN tblDoseCalibration c ON c.ID = x.CalibrationID WHERE c.Unit = ? AND c.Superseded = 0"),
                      int(unit));
}

XrayUnitRead ReadXrayUnitOfCalibration(Database &db, qlonglong calibrationId)
{
    return xrayUnitOf(db, QStringLiteral("SELECT Manufacturer, Model, SerialNumber, DeviceUID FROM tblXrayUnit WHERE CalibrationID = ?"),
                      calibrationId);
}

namespace {

// The calibration record the condition picks, with its kV ranges and beam data.
CalibrationRead readCalibration(Database &db, const QString &where, const QVariant &key)
{
    CalibrationRead out;
    const DbResult head = Execute(db,
        QStringLiteral("SELECT ID, ReportedDose, Backscatter, ReportedAt, ReportedDistance, FocusSupport, OutputDistance, PaddleInBeam, "
                       "CalibratedOn, CalibratedBy, Unit, PaddleTransmission FROM tblDoseCalibration WHERE ") + where,
        {key});
    if (!head.ok()) {
        static_cast<Result &>(out) = head;
        return out;
    }
    if (head.rows.isEmpty())
        return out;
    const QSqlRecord &r = head.rows.first();
    DoseCalibration c;
    c.id = r.value(0).toLongLong();
    c.unit = qint16(r.value(10).toInt());
    c.reported = ReportedDoseFromText(r.value(1).toString()).value_or(ReportedDose::None);
    c.backscatter = r.value(2).toDouble();
    c.reportedAt = r.value(3).toString() == QLatin1String("distance") ? ReportedAt::Distance : ReportedAt::UpperSurface;
    c.reportedDistanceMm = r.value(4).toDouble();
    c.focusSupportMm = r.value(5).toDouble();
    c.outputDistanceMm = r.value(6).toDouble();
    c.paddleInBeam = r.value(7).toInt() != 0;
    if (!c.paddleInBeam && !r.isNull(11))
        c.paddleTransmission = r.value(11).toDouble();
    c.calibratedOn = QDate::fromString(r.value(8).toString(), Qt::ISODate);
    c.calibratedBy = r.value(9).toString();
    const DbResult ranges = Execute(db, QStringLiteral("SELECT UpToKV, TargetFilter FROM tblDoseTargetFilter WHERE CalibrationID = ? "
                                                       "ORDER BY UpToKV IS NULL, UpToKV"), {c.id});
    const DbResult beam = Execute(db, QStringLiteral("SELECT TargetFilter, KV, HVL, Output FROM tblDoseBeam WHERE CalibrationID = ? "
                                                     "ORDER BY TargetFilter, KV"), {c.id});
    for (const DbResult *q : {&ranges, &beam})
        if (!q->ok()) {
            static_cast<Result &>(out) = *q;
            return out;
        }
    for (const QSqlRecord &row : ranges.rows)
        c.targetFilters.append({row.isNull(0) ? std::nullopt : std::optional<double>(row.value(0).toDouble()), row.value(1).toString()});
    for (const QSqlRecord &row : beam.rows)
        c.beam.append({row.value(0).toString(), row.value(1).toDouble(), row.value(2).toDouble(), row.value(3).toDouble()});
    const XrayUnitRead unit = ReadXrayUnitOfCalibration(db, c.id);
    if (!unit.ok()) {
        static_cast<Result &>(out) = unit;
        return out;
    }
    c.xrayUnit = unit.unit;
    out.calibration = c;
    return out;
}

} // namespace

CalibrationRead ReadCalibration(Database &db, qint16 unit)
{
    return readCalibration(db, QStringLiteral("Unit = ? AND Superseded = 0"), int(unit));
}

CalibrationRead ReadCalibrationById(Database &db, qlonglong id)
{
    return readCalibration(db, QStringLiteral("ID = ?"), id);
}

Result WriteCalibration(Database &db, DoseCalibration &c)
{
    if (const QStringList problems = ValidateCalibration(c); !problems.isEmpty())
        return Result::failure(ErrorCode::InvalidProperty, problems.join(QLatin1Char('\n')));
    qlonglong id = 0;
    XrayUnitIdentity unit = c.xrayUnit;
    const Result r = inTransaction(db, [&]() -> Result {
        // Exposures keep the number of the calibration they used: the old record stays, superseded.
        if (DbResult d = Execute(db, QStringLiteral("UPDATE tblDoseCalibration SET Superseded = 1 WHERE Unit = ?"), {int(c.unit)}); !d.ok())
            return d;
        const DbResult ins = Execute(db,
            QStringLiteral("INSERT INTO tblDoseCalibration (Unit, ReportedDose, Backscatter, ReportedAt, ReportedDistance, FocusSupport, "
                           "OutputDistance, PaddleInBeam, CalibratedOn, CalibratedBy, PaddleTransmission) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
            {int(c.unit), ReportedDoseText(c.reported),
             c.reported == ReportedDose::EntranceSurfaceAirKerma ? QVariant(c.backscatter) : nullDouble(),
             c.reportedAt == ReportedAt::Distance ? QStringLiteral("distance") : QStringLiteral("surface"),
             c.reportedAt == ReportedAt::Distance ? QVariant(c.reportedDistanceMm) : nullDouble(), c.focusSupportMm, c.outputDistanceMm,
             c.paddleInBeam ? 1 : 0, c.calibratedOn.toString(Qt::ISODate), c.calibratedBy.trimmed(),
             c.paddleInBeam ? nullDouble() : orNull(c.paddleTransmission)});
        if (!ins.ok())
            return ins;
        id = ins.lastInsertId.toLongLong();
        for (const TargetFilterRange &t : c.targetFilters)
            if (DbResult q = Execute(db, QStringLiteral("INSERT INTO tblDoseTargetFilter (CalibrationID, UpToKV, TargetFilter) VALUES (?, ?, ?)"),
                                     {id, orNull(t.upToKv), t.targetFilter});
                !q.ok())
                return q;
        for (const BeamPoint &p : c.beam)
            if (DbResult q = Execute(db, QStringLiteral("INSERT INTO tblDoseBeam (CalibrationID, TargetFilter, KV, HVL, Output) VALUES (?, ?, ?, ?, ?)"),
                                     {id, p.targetFilter, p.kv, p.hvl, p.output});
                !q.ok())
                return q;
        return writeXrayUnit(db, c.unit, id, unit);
    });
    if (r.ok()) {
        c.id = id;
        c.xrayUnit = unit;
    }
    return r;
}

FactorTablesRead ReadFactorTables(Database &db)
{
    FactorTablesRead out;
    const DbResult source = Execute(db, QStringLiteral("SELECT FileName, LoadedAt FROM tblDoseFactorSource"));
    const DbResult rows = Execute(db, QStringLiteral("SELECT Factor, TargetFilter, HVL, Thickness, Value FROM tblDoseFactor"));
    for (const DbResult *q : {&source, &rows})
        if (!q->ok()) {
            static_cast<Result &>(out) = *q;
            return out;
        }
    if (rows.rows.isEmpty())
        return out;
    out.fileName = source.first(QStringLiteral("FileName")).toString();
    out.loadedAt = source.first(QStringLiteral("LoadedAt")).toString();
    // The stored rows go through the file's own validation again.
    QStringList text{QStringLiteral("factor,target_filter,hvl_mm_al,thickness_mm,value")};
    auto number = [](const QVariant &v) { return v.isNull() ? QString() : QString::number(v.toDouble(), 'g', 17); };
    for (const QSqlRecord &r : rows.rows)
        text << QStringList{r.value(0).toString(), r.value(1).toString(), number(r.value(2)), number(r.value(3)), number(r.value(4))}
                    .join(QLatin1Char(','));
    const FactorTablesLoad parsed = ParseFactorTables(text.join(QLatin1Char('\n')));
    static_cast<Result &>(out) = parsed;
    out.tables = parsed.tables;
    return out;
}

Result WriteFactorTables(Database &db, const FactorTables &t, const QString &fileName, const QDateTime &loadedAt)
{
    return inTransaction(db, [&]() -> Result {
        for (const char *sql : {"DELETE FROM tblDoseFactor", "DELETE FROM tblDoseFactorSource"})
            if (DbResult d = Execute(db, QString::fromLatin1(sql)); !d.ok())
                return d;
        const QString insert = QStringLiteral("INSERT INTO tblDoseFactor (Factor, TargetFilter, HVL, Thickness, Value) VALUES (?, ?, ?, ?, ?)");
        for (const auto &[name, grid] : {std::pair{FactorName::G, &t.g}, std::pair{FactorName::C50to64, &t.c50to64},
                                         std::pair{FactorName::C40to49, &t.c40to49}}) {
            const qsizetype columns = grid->thicknesses.size();
            for (qsizetype i = 0; i < grid->values.size(); ++i)
                if (DbResult q = Execute(db, insert, {QString::fromLatin1(name), QVariant(QMetaType::fromType<QString>()),
                                                      grid->hvls[i / columns], grid->thicknesses[i % columns], grid->values[i]});
                    !q.ok())
                    return q;
        }
        for (auto it = t.s.cbegin(); it != t.s.cend(); ++it)
            for (qsizetype i = 0; i < it->values.size(); ++i)
                if (DbResult q = Execute(db, insert, {QString::fromLatin1(FactorName::S), it.key(), nullDouble(),
                                                      it->thicknesses.isEmpty() ? nullDouble() : QVariant(it->thicknesses[i]), it->values[i]});
                    !q.ok())
                    return q;
        return Execute(db, QStringLiteral("INSERT INTO tblDoseFactorSource (FileName, LoadedAt) VALUES (?, ?)"),
                       {fileName, loadedAt.toString(Qt::ISODate)});
    });
}

Result ImportFactorFile(Database &db, const QString &path, const QDateTime &now)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Result::failure(ErrorCode::PathAccess, QStringLiteral("%1: %2").arg(path, file.errorString()));
    const FactorTablesLoad parsed = ParseFactorTables(QString::fromUtf8(file.readAll()));
    if (!parsed.ok())
        return Result::failure(parsed.number, QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), parsed.text));
    return WriteFactorTables(db, parsed.tables, QFileInfo(path).fileName(), now);
}

namespace {

// The estimate with a calibration read and the factor tables loaded now.
StoredDoseEstimate estimateWith(Database &definitions, const CalibrationRead &calibration, const ExposureDoseInput &in)
{
    StoredDoseEstimate out;
    FactorTablesRead tables;
    if (calibration.ok() && calibration.calibration)
        tables = ReadFactorTables(definitions);
    if (!calibration.ok())
        static_cast<Result &>(out) = calibration;
    else if (!tables.ok())
        static_cast<Result &>(out) = tables;
    const bool usable = out.ok() && calibration.calibration;
    out.estimate = EstimateDose(usable ? &*calibration.calibration : nullptr, usable ? &tables.tables : nullptr, in);
    return out;
}

} // namespace

StoredDoseEstimate EstimateWithStored(Database &definitions, qint16 unit, const ExposureDoseInput &in)
{
    return estimateWith(definitions, ReadCalibration(definitions, unit), in);
}

StoredDoseEstimate EstimateWithCalibration(Database &definitions, qlonglong calibrationId, const ExposureDoseInput &in)
{
    return estimateWith(definitions, ReadCalibrationById(definitions, calibrationId), in);
}

