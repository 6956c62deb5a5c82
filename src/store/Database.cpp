#include "store/Database.h"

#include "core/ErrorLog.h"

#include <QDate>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QScopeGuard>
#include <QUrl>

#include <charconv>
#include <sqlite3.h>

namespace {

// SQLite's own result code when it gives one, else a number of our own.
qint32 errorNumberOf(const QSqlError &e, qint32 fallback)
{
    bool ok = false;
    const int n = e.nativeErrorCode().toInt(&ok);
    return ok && n != 0 ? n : fallback;
}

QString errorTextOf(const QSqlError &e)
{
    QString t = e.databaseText();
    if (t.isEmpty())
        t = e.driverText();
    return t;
}

// lumora_fold(text) in SQL: FoldForSearch, NULL for NULL.
void foldFunction(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(argv[0]));
    const QByteArray folded = FoldForSearch(QString::fromUtf8(text, sqlite3_value_bytes(argv[0]))).toUtf8();
    sqlite3_result_text(context, folded.constData(), int(folded.size()), SQLITE_TRANSIENT);
}

// Registers lumora_fold() on an open connection; SQLite forgets it when the
// connection closes.
bool registerFold(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    sqlite3 *connection = *static_cast<sqlite3 *const *>(handle.constData());
    return connection
        && sqlite3_create_function_v2(connection, "lumora_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, foldFunction, nullptr,
                                      nullptr, nullptr)
               == SQLITE_OK;
}

} // namespace

QString FoldForSearch(const QString &text) { return text.normalized(QString::NormalizationForm_C).toCaseFolded(); }

Database::Database(QString connectionName, QString location)
    : connectionName_(std::move(connectionName)), location_(std::move(location))
{
}

bool Database::isOpen() const
{
    return QSqlDatabase::contains(connectionName_) && QSqlDatabase::database(connectionName_, false).isOpen();
}

bool Database::open()
{
    error_ = {};
    if (isOpen())
        return true;
    const QFileInfo file(path_);
    if (path_.isEmpty() || !file.isFile()) {
        error_ = {ErrorCode::DbOpenFailed, QStringLiteral("Could not find file '%1'.").arg(path_)};
        return false;
    }
    QSqlDatabase db = QSqlDatabase::contains(connectionName_)
        ? QSqlDatabase::database(connectionName_, false)
        : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
    // A URI with mode=rw opens an existing file and never creates one.
    QString uri = QStringLiteral("file:") + QString::fromUtf8(QUrl::toPercentEncoding(file.absoluteFilePath(), "/"))
        + QStringLiteral("?mode=rw");
    db.setDatabaseName(uri);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs_));
    if (!db.open()) {
        error_ = {errorNumberOf(db.lastError(), ErrorCode::DbOpenFailed), errorTextOf(db.lastError())};
        return false;
    }
    // SQLite opens lazily; a file that is not a database shows up here.
    QSqlQuery probe(db);
    if (!probe.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !probe.next()) {
        error_ = {errorNumberOf(probe.lastError(), ErrorCode::DbOpenFailed), errorTextOf(probe.lastError())};
        probe = QSqlQuery();
        db.close();
        return false;
    }
    probe.finish(); // a statement in progress would block the upgrade's commit
    // Schema steps and searches fold names in SQL.
    if (!registerFold(db)) {
        error_ = {ErrorCode::NoCaseFolding, QStringLiteral("'%1': the connection cannot compare names without regard to case.").arg(path_)};
        probe = QSqlQuery();
        db.close();
        return false;
    }
    if (upgrade_ && upgradedPath_ != path_) {
        // A step that rebuilds a table drops the old one: with foreign keys
        // on, that would delete (or refuse) the rows referencing it.
        if (!probe.exec(QStringLiteral("PRAGMA foreign_keys = OFF"))) {
            error_ = {errorNumberOf(probe.lastError(), ErrorCode::DbOpenFailed), errorTextOf(probe.lastError())};
            probe = QSqlQuery();
            db.close();
            return false;
        }
        probe.finish();
        // Nothing reads or writes a file whose schema is behind.
        if (const Result r = upgrade_(*this); !r.ok()) {
            error_ = r;
            close();
            return false;
        }
        upgradedPath_ = path_;
    }
    if (foreignKeys_) {
        QSqlQuery keys(db);
        if (!keys.exec(QStringLiteral("PRAGMA foreign_keys = ON"))) {
            error_ = {errorNumberOf(keys.lastError(), ErrorCode::DbOpenFailed), errorTextOf(keys.lastError())};
            keys = QSqlQuery();
            close();
            return false;
        }
    }
    return true;
}

QSqlQuery *Database::keptStatement(const QString &sql)
{
    if (!keepStatements_)
        return nullptr;
    auto it = kept_.find(sql);
    if (it != kept_.end())
        return &it.value();
    // Statements built with varying text would otherwise pile up.
    if (kept_.size() >= 64)
        kept_.clear();
    QSqlQuery q(QSqlDatabase::database(connectionName_, false));
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        return nullptr;
    return &kept_.insert(sql, q).value();
}

void Database::close()
{
    // Prepared statements go before their connection does.
    kept_.clear();
    if (!QSqlDatabase::contains(connectionName_))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
        if (db.isOpen())
            db.close();
    }
}

DatabaseSession::DatabaseSession(Database &db)
    : db_(db)
{
    ++db_.sessions_;
    opened_ = db_.open();
}

DatabaseSession::~DatabaseSession()
{
    if (--db_.sessions_ == 0)
        db_.close();
}

QVariant DbResult::first(const QString &column) const
{
    if (rows.isEmpty())
        return {};
    const int i = rows.first().indexOf(column);
    return i < 0 ? QVariant() : rows.first().value(i);
}

DbResult Execute(Database &db, const QString &sql, const QVariantList &values)
{
    DbResult r;
    if (!db.isOpen()) {
        r.number = ErrorCode::DbNotOpen;
        r.text = QStringLiteral("Operation is not allowed when the object is closed.");
        return r;
    }
    QSqlQuery fresh;
    QSqlQuery *kept = db.keptStatement(sql);
    if (!kept) {
        fresh = QSqlQuery(QSqlDatabase::database(db.name(), false));
        fresh.setForwardOnly(true);
        if (!fresh.prepare(sql)) {
            r.number = errorNumberOf(fresh.lastError(), 1);
            r.text = errorTextOf(fresh.lastError());
            return r;
        }
    }
    QSqlQuery &q = kept ? *kept : fresh;
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    const bool ran = q.exec();
    if (!ran) {
        r.number = errorNumberOf(q.lastError(), 1);
        r.text = errorTextOf(q.lastError());
    } else if (q.isSelect()) {
        while (q.next())
            r.rows.append(q.record());
    } else {
        r.rowsAffected = q.numRowsAffected();
        r.lastInsertId = q.lastInsertId();
    }
    // A kept statement is reset, so that it holds no read lock between uses.
    q.finish();
    return r;
}

namespace {

// The connection's statement for sql with its values bound; a failure leaves st null.
Result PrepareBound(Database &db, const QString &sql, const QVariantList &values, sqlite3_stmt *&st)
{
    st = nullptr;
    if (!db.isOpen())
        return {ErrorCode::DbNotOpen, QStringLiteral("Operation is not allowed when the object is closed.")};
    // Straight from the connection's statement: no record or variant per value.
    const QVariant handle = QSqlDatabase::database(db.name(), false).driver()->handle();
    sqlite3 *const con = qstrcmp(handle.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3 *const *>(handle.constData()) : nullptr;
    if (!con)
        return {ErrorCode::DbNotOpen, QStringLiteral("Operation is not allowed when the object is closed.")};
    auto failure = [con] { return Result{sqlite3_errcode(con), QString::fromUtf16(static_cast<const char16_t *>(sqlite3_errmsg16(con)))}; };
    if (sqlite3_prepare16_v2(con, sql.utf16(), int(sql.size() * sizeof(QChar)), &st, nullptr) != SQLITE_OK)
        return failure();
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &v = values.at(i);
        int rc = SQLITE_OK;
        if (v.isNull())
            rc = sqlite3_bind_null(st, i + 1);
        else if (v.typeId() == QMetaType::Int || v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::UInt)
            rc = sqlite3_bind_int64(st, i + 1, v.toLongLong());
        else if (v.typeId() == QMetaType::Double)
            rc = sqlite3_bind_double(st, i + 1, v.toDouble());
        else {
            const QString text = v.toString();
            rc = sqlite3_bind_text16(st, i + 1, text.utf16(), int(text.size() * sizeof(QChar)), SQLITE_TRANSIENT);
        }
        if (rc != SQLITE_OK) {
            const Result r = failure();
            sqlite3_finalize(st);
            st = nullptr;
            return r;
        }
    }
    return {};
}

Result StepFailure(sqlite3_stmt *st)
{
    sqlite3 *con = sqlite3_db_handle(st);
    return {sqlite3_errcode(con), QString::fromUtf16(static_cast<const char16_t *>(sqlite3_errmsg16(con)))};
}

} // namespace

Result ForEachRow(Database &db, const QString &sql, const QVariantList &values, const std::function<void(const QString *columns)> &row)
{
    sqlite3_stmt *st = nullptr;
    if (const Result prepared = PrepareBound(db, sql, values, st); !prepared.ok())
        return prepared;
    const auto done = qScopeGuard([st] { sqlite3_finalize(st); });
    const int count = sqlite3_column_count(st);
    std::vector<QString> columns(size_t(std::max(count, 1)));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        for (int c = 0; c < count; ++c) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(st, c));
            columns[size_t(c)] = text ? QString::fromUtf8(text, sqlite3_column_bytes(st, c)) : QString();
        }
        row(columns.data());
    }
    return rc == SQLITE_DONE ? Result{} : StepFailure(st);
}

Result ForEachRowCursor(Database &db, const QString &sql, const QVariantList &values, const std::function<void(const RowCursor &row)> &row)
{
    sqlite3_stmt *st = nullptr;
    if (const Result prepared = PrepareBound(db, sql, values, st); !prepared.ok())
        return prepared;
    const auto done = qScopeGuard([st] { sqlite3_finalize(st); });
    const RowCursor cursor(st);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        row(cursor);
    return rc == SQLITE_DONE ? Result{} : StepFailure(st);
}

bool RowCursor::isNull(int column) const { return sqlite3_column_type(st_, column) == SQLITE_NULL; }

QByteArrayView RowCursor::utf8(int column) const
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(st_, column));
    return text ? QByteArrayView(text, sqlite3_column_bytes(st_, column)) : QByteArrayView();
}

QString RowCursor::text(int column) const
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(st_, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(st_, column)) : QString();
}

std::optional<double> RowCursor::number(int column) const
{
    switch (sqlite3_column_type(st_, column)) {
    case SQLITE_NULL:
        return std::nullopt;
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        return sqlite3_column_double(st_, column);
    default:
        break;
    }
    // Decoders store numbers as texts. One with a decimal comma or a unit is
    // not a plain number: the caller reads it through the unit pattern.
    const QByteArrayView bytes = utf8(column).trimmed();
    if (bytes.isEmpty())
        return std::nullopt;
    double v = 0;
    const auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), v);
    if (error != std::errc() || end != bytes.data() + bytes.size())
        return std::nullopt;
    return v;
}

DbResult ExecuteScript(Database &db, const QString &script)
{
    // Statements end with ";" at the end of a line; "--" starts a comment line.
    QString current;
    DbResult last;
    const QStringList lines = script.split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1String("--")))
            continue;
        current += raw + QLatin1Char('\n');
        if (line.endsWith(QLatin1Char(';'))) {
            last = Execute(db, current.trimmed());
            if (!last.ok())
                return last;
            current.clear();
        }
    }
    if (!current.trimmed().isEmpty())
        last = Execute(db, current.trimmed());
    return last;
}

QString DbDate(const QDate &date) { return date.toString(Qt::ISODate); }

bool IsSafeSqlName(const QString &name)
{
    // Anchored to the very end: "$" alone would let a trailing newline through.
    static const QRegularExpression re(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z][A-Za-z0-9_]*")));
    return re.match(name).hasMatch();
}

void LogFailure(const Result &r, const QString &where) { WriteErrorLog(r.number, r.text, where); }
