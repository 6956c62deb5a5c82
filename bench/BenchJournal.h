#pragma once

// A journal for the benchmarks: a fresh file at `path` with the schema, made
// the workstation's exposure database, and `rows` rows whose date, status and
// patient name `row` gives for each index, written as the workstation writes
// a decoded exposure.
#include "core/Settings.h"
#include "exposure/ExposureJournal.h"
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
        ExposureRecord e;
        e.KVP = QStringLiteral("28");
        e.ma = QStringLiteral("63");
        e.Zeit = QStringLiteral("10:00:00");
        e.Dicke = QStringLiteral("45");
        e.mGy = QStringLiteral("1.2");
        e.Druck = QStringLiteral("120");
        e.Datum = r.day.toString(Qt::ISODate);
        e.Sonstiges = QStringLiteral("L CC");
        e.Status = r.status;
        e.expZeit = QStringLiteral("450");
        e.Patname = r.patientName;
        if (!InsertExposure(UserDatabase, e).ok())
            return false;
    }
    return Execute(UserDatabase, QStringLiteral("COMMIT")).ok();
}
