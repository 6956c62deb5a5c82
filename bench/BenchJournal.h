#pragma once

// A journal for the benchmarks: a fresh file at `path` with the schema, made
// the workstation's exposure database, and `rows` rows whose date, status and
// patient name `row` gives for each index.
#include "core/Settings.h"
#include "store/DatabasePaths.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <functional>

// The journal's size: 100,000 rows, or BENCH_ROWS (the suite's quick run).
inline int BenchRows()
{
    const int n = qEnvironmentVariableIntValue("BENCH_ROWS");
    return n > 0 ? n : 100000;
}

struct BenchRow {
    QDate day;
    QString status;
    QString patientName;
};

inline bool MakeBenchJournal(const QString &file, const QString &schemaFile, int rows, const std::function<BenchRow(int)> &row)
{
    const QString path = QFileInfo(file).absoluteFilePath();
    QFile::remove(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile schema(schemaFile);
    if (!CreateDatabaseFile(path).ok() || !schema.open(QIODevice::ReadOnly))
        return false;
    Settings.Database = path;
    SetDatabasePaths();
    UserDatabase.setUpgrade({}); // an empty file: the schema script makes it current
    DatabaseSession db(UserDatabase);
    if (!db.ok() || !ExecuteScript(UserDatabase, QString::fromUtf8(schema.readAll())).ok())
        return false;
    Execute(UserDatabase, QStringLiteral("BEGIN"));
    for (int i = 0; i < rows; ++i) {
        const BenchRow r = row(i);
        Execute(UserDatabase,
            QStringLiteral("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit, Patname) "
                           "VALUES ('28', '63', '10:00:00', '45', '1.2', '120', ?, 'L CC', ?, '450', ?)"),
            {DbDate(r.day), r.status, r.patientName});
    }
    return Execute(UserDatabase, QStringLiteral("COMMIT")).ok();
}
