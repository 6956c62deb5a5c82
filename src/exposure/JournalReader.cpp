#include "exposure/JournalReader.h"

#include "core/ExposureUnits.h"
#include "store/Database.h"

#include <QSqlDatabase>
#include <QSet>
#include <QUuid>

namespace {

// Columns the dose computation adds; a journal from before it has none of them.
const char *const kDoseColumns[] = {"Unit", "TargetFilter", "HVL", "Kerma", "AGD", "AgdSource", "AgeTable", "CalibrationID"};

} // namespace

namespace {

// The stored date form yyyy-MM-dd, read without a text.
QDate StoredDate(QByteArrayView b)
{
    auto digits = [&b](int from, int count) {
        int v = 0;
        for (int i = from; i < from + count; ++i) {
            if (b[i] < '0' || b[i] > '9')
                return -1;
            v = v * 10 + (b[i] - '0');
        }
        return v;
    };
    if (b.size() != 10 || b[4] != '-' || b[7] != '-')
        return {};
    return QDate(digits(0, 4), digits(5, 2), digits(8, 2));
}

} // namespace

JournalRead ReadJournalExposures(const QString &path, const QDate &from, const QDate &to, qint16 olderRowsUnit)
{
    // A connection of this call's own (calls run on several threads at once), removed at the end.
    const QString connection = QStringLiteral("journal-reader-") + QUuid::createUuid().toString(QUuid::Id128);
    JournalRead out;
    {
        Database db(connection, QStringLiteral("ReadJournalExposures"));
        db.setPath(path);
        DatabaseSession session(db);
        if (!session.ok()) {
            out.number = session.error().number;
            out.text = session.error().text;
        } else {
            QSet<QString> present;
            const Result info = ForEachRow(db, QStringLiteral("PRAGMA table_info(tblDosis)"), {},
                                           [&](const QString *c) { present.insert(c[1].toLower()); });
            QString columns = QStringLiteral("ID, Datum, Zeit, KVP, ma, Dicke, mGy, Druck, Sonstiges, Status, expZeit, Patname, FKeyPatID");
            for (const char *name : kDoseColumns)
                columns += present.contains(QString::fromLatin1(name).toLower()) ? QStringLiteral(", ") + QLatin1String(name)
                                                                                 : QStringLiteral(", NULL");
            const QString sql = QStringLiteral("SELECT ") + columns
                + QStringLiteral(" FROM tblDosis WHERE Datum >= ? AND Datum <= ? ORDER BY ID");
            auto integer = [](const RowCursor &c, int column) {
                const std::optional<double> v = c.number(column);
                return v ? std::optional<qlonglong>(qlonglong(*v)) : std::nullopt;
            };
            const Result read = !info.ok() ? info : ForEachRowCursor(db, sql, {DbDate(from), DbDate(to)}, [&](const RowCursor &c) {
                JournalExposure e;
                e.id = integer(c, 0).value_or(0);
                e.day = StoredDate(c.utf8(1));
                e.time = c.text(2);
                const std::optional<qlonglong> unit = integer(c, 13);
                const qint16 sentBy = unit ? qint16(*unit) : olderRowsUnit;
                // A plain number is read without a text; one with its unit text through the pattern.
                auto figure = [&](Quantity q, int column) {
                    const std::optional<double> plain = c.number(column);
                    return plain ? ConvertExposureNumber(q, sentBy, *plain).value : ConvertExposureValue(q, sentBy, c.text(column)).value;
                };
                e.kv = figure(Quantity::Kv, 3);
                e.mas = figure(Quantity::Exposure, 4);
                e.thickness = figure(Quantity::Thickness, 5);
                e.reportedDose = figure(Quantity::EntranceDose, 6);
                e.force = figure(Quantity::Compression, 7);
                e.projection = c.text(8);
                e.status = c.text(9);
                e.exposureTime = c.text(10);
                e.patientName = c.text(11);
                e.patientId = c.text(12);
                if (unit)
                    e.unit = int(*unit);
                e.targetFilter = c.text(14);
                e.hvl = c.number(15);
                e.kerma = c.number(16);
                e.entranceDose = e.kerma && *e.kerma > 0 ? e.kerma : e.reportedDose;
                e.agd = c.number(17);
                e.agdSource = c.text(18);
                e.ageTable = c.text(19);
                e.calibrationId = integer(c, 20);
                out.rows.append(std::move(e));
            });
            out.number = read.number;
            out.text = read.text;
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return out;
}
