#pragma once

#include <QHash>
#include <functional>
#include <optional>
#include <QList>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariant>

#include "toolkit/Result.h"

// One database file behind one named connection. Operations open it at their
// start and close it at their end; opening an open one and closing a closed one
// do nothing.
class Database {
public:
    Database(QString connectionName, QString location);

    const QString &name() const { return connectionName_; }
    const QString &location() const { return location_; }

    // The file this connection opens next time (an open connection keeps its file).
    void setPath(const QString &path) { path_ = path; }
    const QString &path() const { return path_; }

    // Opens the existing file; never creates one. False with error() set when
    // the file is missing or is not a usable database.
    bool open();
    void close();
    bool isOpen() const;

    // How long a statement waits for another process's write lock.
    void setBusyTimeout(int milliseconds) { busyTimeoutMs_ = milliseconds; }

    // Keeps statements prepared while the connection is open, for a caller
    // that runs the same few statements many times a second.
    void setKeepStatements(bool keep) { keepStatements_ = keep; }
    // The prepared statement for `sql`, from the kept ones when there are any.
    QSqlQuery *keptStatement(const QString &sql);

    // Brings a file up to date when this connection first opens it: run
    // after each successful open of a path not yet seen; its failure fails the open.
    void setUpgrade(std::function<Result(Database &)> upgrade) { upgrade_ = std::move(upgrade); upgradedPath_.clear(); }

    // Turns SQLite's foreign keys on for the connection (after any upgrade),
    // so that a deletion takes the rows that reference it along
    // (ON DELETE CASCADE). Off for files whose code does not rely on it.
    void setForeignKeys(bool on) { foreignKeys_ = on; }

    // Why the last open() failed.
    const Result &error() const { return error_; }

private:
    QString connectionName_;
    QString location_;
    QString path_;
    Result error_;
    int sessions_ = 0; // DatabaseSessions alive on this connection
    friend class DatabaseSession;
    int busyTimeoutMs_ = 8000;
    bool keepStatements_ = false;
    bool foreignKeys_ = false;
    QHash<QString, QSqlQuery> kept_;
    std::function<Result(Database &)> upgrade_;
    QString upgradedPath_;
};

// Keeps a database open while it lives. Sessions nest: the connection opens
// with the first and closes when the last one ends, also on an early return.
class DatabaseSession {
public:
    explicit DatabaseSession(Database &db);
    ~DatabaseSession();
    DatabaseSession(const DatabaseSession &) = delete;
    DatabaseSession &operator=(const DatabaseSession &) = delete;

    // False when the file could not be opened; error() says why.
    bool ok() const { return opened_; }
    const Result &error() const { return db_.error(); }
    Database &database() { return db_; }

private:
    Database &db_;
    bool opened_ = false;
};

// What a statement returned: its rows for a SELECT, the rows it changed
// otherwise, and the error (number and text for WriteErrorLog) when it failed.
struct DbResult : Result {
    QList<QSqlRecord> rows;
    int rowsAffected = 0;
    QVariant lastInsertId;

    // Column of the first row by name (case-insensitive, as the statements
    // name their columns loosely); invalid when there is no such row or column.
    QVariant first(const QString &column) const;
};

// Logs a failure's number and text under the location `where`.
void LogFailure(const Result &r, const QString &where);

// Runs one statement on an open database with its values bound to the "?"
// placeholders in order. Values are never spliced into the text.
DbResult Execute(Database &db, const QString &sql, const QVariantList &values = {});

// Runs a SELECT with its values bound and hands each row's columns to `row`
// as texts (NULL as a null string) as they are read, keeping no records: for
// lists of thousands of rows.
Result ForEachRow(Database &db, const QString &sql, const QVariantList &values, const std::function<void(const QString *columns)> &row);

// One row of a statement being stepped, read column by column without a
// copy: for readers that turn thousands of rows into numbers.
struct sqlite3_stmt;
class RowCursor {
public:
    explicit RowCursor(sqlite3_stmt *statement) : st_(statement) {}
    bool isNull(int column) const;
    QString text(int column) const; // NULL as a null string
    // The column's UTF-8 bytes, valid until the next column is read.
    QByteArrayView utf8(int column) const;
    // A stored number, or a text that is one ("1.25"); empty otherwise ("1,25" and "12 mAs" too).
    std::optional<double> number(int column) const;

private:
    sqlite3_stmt *st_;
};

// As ForEachRow, handing the row's cursor instead of texts.
Result ForEachRowCursor(Database &db, const QString &sql, const QVariantList &values, const std::function<void(const RowCursor &row)> &row);

// Runs a script of statements separated by ";" at line ends (schema files).
DbResult ExecuteScript(Database &db, const QString &script);

// The date form stored in date columns (yyyy-MM-dd), so that comparisons and
// ordering by date work in SQL.
QString DbDate(const QDate &date);

// The form a text is searched by, letters of any alphabet without regard to
// case ("Müller", "MÜLLER" and "müller" alike): composed (NFC), then
// case-folded. Kept beside a searched column when a row is written, and
// applied to the pattern; every connection has it in SQL as lumora_fold().
QString FoldForSearch(const QString &text);

// True for a name that may be spliced into SQL as a column or filter name.
bool IsSafeSqlName(const QString &name);
