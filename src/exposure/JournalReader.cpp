#include "exposure/JournalReader.h"

#include "store/Database.h"

#include <QSqlDatabase>
#include <QSet>
#include <atomic>

namespace {

// Columns the dose computation adds; a journal from before it has none of them.
const char *const kDoseColumns[] = {"Unit", "TargetFilter", "HVL", "Kerma", "AGD", "AgdSource", "AgeTable", "CalibrationID"};

} // namespace

std::optional<double> JournalNumber(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    double v = text.toDouble(&ok);
    if (!ok) {
        QString dotted = text.trimmed();
        dotted.replace(QLatin1Char(','), QLatin1Char('.'));
        v = dotted.toDouble(&ok);
    }
    return ok ? std::optional<double>(v) : std::nullopt;
}

JournalRead ReadJournalExposures(const QString &path, const QDate &from, const QDate &to)
{
    static std::atomic<int> next{0};
    const QString connection = QStringLiteral("journal-reader-%1").arg(next++);
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
            auto id = [](const QString &t) { return t.isNull() ? std::optional<qlonglong>() : std::optional<qlonglong>(t.toLongLong()); };
            const Result read = !info.ok() ? info : ForEachRow(db, sql, {DbDate(from), DbDate(to)}, [&](const QString *c) {
                JournalExposure e;
                e.id = c[0].toLongLong();
                e.day = QDate::fromString(c[1], Qt::ISODate);
                e.time = c[2];
                e.kv = JournalNumber(c[3]);
                e.mas = JournalNumber(c[4]);
                e.thickness = JournalNumber(c[5]);
                e.reportedDose = JournalNumber(c[6]);
                e.force = JournalNumber(c[7]);
                e.projection = c[8];
                e.status = c[9];
                e.exposureTime = c[10];
                e.patientName = c[11];
                e.patientId = c[12];
                if (const auto unit = id(c[13]))
                    e.unit = int(*unit);
                e.targetFilter = c[14];
                e.hvl = JournalNumber(c[15]);
                e.kerma = JournalNumber(c[16]);
                e.agd = JournalNumber(c[17]);
                e.agdSource = c[18];
                e.ageTable = c[19];
                e.calibrationId = id(c[20]);
                out.rows.append(std::move(e));
            });
            out.number = read.number;
            out.text = read.text;
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return out;
}
