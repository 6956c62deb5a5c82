#include "exposure/StudyDoseReport.h"

#include "core/ErrorLog.h"
#include "core/ExposureUnits.h"
#include "core/Settings.h"
#include "dose/DoseStore.h"
#include "dose/Projection.h"
#include "exposure/ExposureJournal.h"
#include "store/DatabasePaths.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>

namespace {

std::optional<double> number(const QString &text)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok && !text.isEmpty() ? std::optional<double>(v) : std::nullopt;
}

std::optional<double> column(const QSqlRecord &rec, const char *name)
{
    const QVariant v = rec.value(QLatin1String(name));
    return v.isNull() ? std::nullopt : std::optional<double>(v.toDouble());
}

// DATETIME from the journal's date and the unit's time of day ("10:23:45",
// "10:23"); the date alone when the time cannot be read.
QString dateTimeOf(const QString &datum, const QString &zeit)
{
    const QDate day = QDate::fromString(datum, Qt::ISODate);
    if (!day.isValid())
        return {};
    static const QRegularExpression clock(QStringLiteral("^(\\d{1,2}):(\\d{2})(?::(\\d{2}))?$"));
    const QRegularExpressionMatch m = clock.match(zeit.trimmed());
    const QTime t = m.hasMatch() ? QTime(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()) : QTime();
    return day.toString(QStringLiteral("yyyyMMdd")) + (t.isValid() ? t.toString(QStringLiteral("HHmmss")) : QString());
}

// Why the row has no AGD: the estimate again from the row's values, with the
// calibration it was taken under (or the unit type's, when it had none) and
// the factor tables loaded now.
QString whyNoAgd(const QSqlRecord &rec, qint16 unit)
{
    ExposureDoseInput in = DoseInputOfRow(unit, rec);
    const QString ageTable = rec.value(QStringLiteral("AgeTable")).toString();
    if (!ageTable.isEmpty())
        in.ageTable = ageTable;
    const QVariant calibrationId = rec.value(QStringLiteral("CalibrationID"));
    const bool configured = rec.value(QStringLiteral("AgdSource")).toString() != QLatin1String(AgdSource::NotConfigured);
    DatabaseSession defs(DefinitionsDatabase);
    if (!defs.ok())
        return configured ? QStringLiteral("the dose calibration cannot be read: %1").arg(defs.error().text)
                          : QStringLiteral("no dose calibration or factor tables when the exposure was taken");
    const StoredDoseEstimate d = calibrationId.isNull() ? EstimateWithStored(DefinitionsDatabase, unit, in)
                                                        : EstimateWithCalibration(DefinitionsDatabase, calibrationId.toLongLong(), in);
    if (!d.ok())
        return QStringLiteral("the dose calibration cannot be read: %1").arg(d.text);
    if (!d.estimate.why.isEmpty())
        return d.estimate.why;
    // Computable now: what was missing then was the calibration or the tables.
    return QStringLiteral("no dose calibration or factor tables when the exposure was taken");
}

// The X-ray unit that took the exposure, as the report names it: the one
// entered with the calibration the exposure was taken under, else (a
// calibration from before the entries) the unit type's now; without a UID
// when none was entered. A failed read is logged: the unit is then not named.
DoseReportDevice xrayUnitOf(const QSqlRecord &rec, qint16 unit)
{
    const QVariant calibrationId = rec.value(QStringLiteral("CalibrationID"));
    XrayUnitRead read;
    if (!calibrationId.isNull())
        read = ReadXrayUnitOfCalibration(DefinitionsDatabase, calibrationId.toLongLong());
    if (read.ok() && !read.found)
        read = ReadXrayUnit(DefinitionsDatabase, unit);
    if (!read.ok())
        LogFailure(read, QStringLiteral("StudyDoseReport X-ray unit"));
    if (!read.ok() || !read.unit.identified())
        return {};
    return {read.unit.deviceUid, QString(), read.unit.manufacturer, read.unit.model, read.unit.serialNumber, QString()};
}

DoseReportEvent eventOf(const QSqlRecord &rec)
{
    auto text = [&rec](const char *name) { return rec.value(QLatin1String(name)).toString(); };
    const qint16 unit = rec.value(QStringLiteral("Unit")).isNull() ? Settings.XrayComm : qint16(rec.value(QStringLiteral("Unit")).toInt());
    ExposureValues values;
    values.kV = text("KVP");
    values.mAs = text("ma");
    values.thickness = text("Dicke");
    values.compression = text("Druck");
    values.targetFilter = text("TargetFilter");
    const HeaderExposureValues h = ExposureValuesForHeader(unit, values, text("expZeit"));
    const ExposureProjection p = ProjectionOfExposure(unit, text("Sonstiges"));
    DoseReportEvent e;
    e.eventUid = text("IrradiationEventUID");
    e.dateTime = dateTimeOf(text("Datum"), text("Zeit"));
    e.laterality = p.laterality;
    e.view = p.view == QLatin1String("other") ? QString() : p.view;
    e.kvp = number(h.kvp);
    e.exposureUAs = number(h.microAs);
    e.exposureTimeMs = number(h.exposureTime);
    e.thicknessMm = number(h.thickness);
    e.compressionN = number(h.compression);
    e.anodeTarget = h.anodeTarget;
    e.filterMaterial = h.filterMaterial;
    e.hvlMm = column(rec, "HVL");
    e.entranceExposureMGy = column(rec, "Kerma");
    e.agdMGy = column(rec, "AGD");
    e.irradiatingDevice = xrayUnitOf(rec, unit);
    e.rejected = text("Status") == QLatin1String(ExposureStatus::Rejected);
    if (!e.agdMGy)
        e.agdMissing = whyNoAgd(rec, unit);
    return e;
}

} // namespace

StudyExposures ReadStudyExposures(const QString &studyUid, const QStringList &stampedEventUids,
                                  const std::optional<QList<qlonglong>> &captured)
{
    StudyExposures out;
    QString sql = QStringLiteral("SELECT ID, Datum, Zeit, KVP, ma, Dicke, Druck, mGy, Sonstiges, expZeit, Unit, TargetFilter, HVL, Kerma, AGD, "
                                 "AgdSource, AgeTable, CalibrationID, IrradiationEventUID, Status FROM tblDosis WHERE ");
    QVariantList values;
    auto marks = [&values](const auto &list) {
        QStringList m;
        for (const auto &v : list) {
            m << QStringLiteral("?");
            values << v;
        }
        return QLatin1Char('(') + m.join(QLatin1Char(',')) + QLatin1Char(')');
    };
    if (captured && studyUid.isEmpty()) {
        sql += captured->isEmpty() ? QStringLiteral("0") : QStringLiteral("ID IN ") + marks(*captured);
    } else {
        // The captured ones are bound below, beside those reported with the study before.
        sql += QStringLiteral("StudyUID = ?");
        values << studyUid;
        if (!stampedEventUids.isEmpty())
            sql += QStringLiteral(" OR IrradiationEventUID IN ") + marks(stampedEventUids);
    }
    DatabaseSession db(UserDatabase);
    if (!db.ok()) {
        static_cast<Result &>(out) = db.error();
        return out;
    }
    if (captured && !studyUid.isEmpty()) {
        // Bound before the report is written: a later send of the study reports the same events.
        const DbResult bound = BindExposuresToStudy(UserDatabase, *captured, studyUid);
        if (!bound.ok()) {
            static_cast<Result &>(out) = bound;
            return out;
        }
    }
    const DbResult rows = Execute(UserDatabase, sql + QStringLiteral(" ORDER BY ID"), values);
    if (!rows.ok()) {
        static_cast<Result &>(out) = rows;
        return out;
    }
    for (const QSqlRecord &rec : rows.rows) {
        DoseReportEvent e = eventOf(rec);
        if (e.eventUid.isEmpty()) {
            const EventUid uid = EnsureEventUid(UserDatabase, rec.value(0).toLongLong());
            if (!uid.ok()) {
                static_cast<Result &>(out) = uid;
                return out;
            }
            e.eventUid = uid.uid;
        }
        out.events << e;
    }
    return out;
}

DoseReportWritten WriteStudyDoseReport(const DoseReportInput &input, const QStringList &stampedEventUids,
                                       const std::optional<QList<qlonglong>> &captured, const QString &path)
{
    // The X-ray units' entries are read for each exposure: a report that
    // cannot read them is not written, rather than call the unit unknown.
    DatabaseSession definitions(DefinitionsDatabase);
    const XrayUnitRead readable = definitions.ok() ? ReadXrayUnit(DefinitionsDatabase, Settings.XrayComm) : XrayUnitRead{};
    if (!definitions.ok() || !readable.ok()) {
        DoseReportWritten failed;
        static_cast<Result &>(failed) = definitions.ok() ? Result(readable) : definitions.error();
        failed.text = QStringLiteral("No dose report: the X-ray unit's entries cannot be read: ") + failed.text;
        return failed;
    }
        const StudyExposures exposures = ReadStudyExposures(input.study.studyUid, stampedEventUids, captured);
    if (!exposures.ok()) {
        DoseReportWritten failed;
        static_cast<Result &>(failed) = exposures;
        return failed;
    }
    DoseReportInput in = input;
    in.events = exposures.events;
    const QString host = QSysInfo::machineHostName();
    const QString version = QCoreApplication::applicationVersion();
    in.device = {UidForName(host + QStringLiteral("/OrvanaMammo")), host, QString::fromLatin1(StationReportManufacturer),
                 QString::fromLatin1(StationReportModel), host.isEmpty() ? QStringLiteral("unknown") : host,
                 version.isEmpty() ? QStringLiteral("1") : version};
    // The device observer is the unit every exposure names; exposures of
    // different units, or of one nobody entered, leave it unknown.
    in.xrayUnit = {};
    if (!in.events.isEmpty()) {
        const DoseReportDevice first = in.events.first().irradiatingDevice;
        const bool one = std::all_of(in.events.begin(), in.events.end(),
                                     [&first](const DoseReportEvent &e) { return e.irradiatingDevice.observerUid == first.observerUid; });
        if (one)
            in.xrayUnit = first;
    }
    if (in.seriesNumber.isEmpty())
        in.seriesNumber = QStringLiteral("999");
    if (in.instanceNumber.isEmpty())
        in.instanceNumber = QStringLiteral("1");
    return WriteDoseReport(in, path);
}
