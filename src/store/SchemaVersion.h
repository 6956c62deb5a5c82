#pragma once

#include "store/Database.h"

#include <QList>
#include <QStringList>

// One step of a database's schema: the statements that bring a file from the
// version before to `version` (PRAGMA user_version).
struct SchemaStep {
    int version = 0;
    QStringList statements;
};

// The file's PRAGMA user_version; -1 when it cannot be read.
int SchemaVersionOf(Database &db);

// Runs, in order, every step newer than the file's version, all in one
// transaction with the new version: a file is upgraded whole or not at all,
// and a second run (or another process's run in between) finds nothing to do.
// `applied`, when given, gets the number of steps run.
Result UpgradeSchema(Database &db, const QList<SchemaStep> &steps, int *applied = nullptr);

// The steps of the exposure journal (the user database) and of the
// definitions database. The schema files make new files at the last version.
const QList<SchemaStep> &JournalSchemaSteps();
const QList<SchemaStep> &DefinitionsSchemaSteps();
