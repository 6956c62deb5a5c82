#pragma once

#include "store/Database.h"

#include <QList>
#include <QStringList>

namespace ErrorCode {
// The file's schema is newer than this program's: a newer version wrote it.
inline constexpr qint32 DbNewerSchema = 3712;
} // namespace ErrorCode

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
// A file at a version above the last step's (a newer program wrote it) is
// refused untouched (DbNewerSchema, both versions named): what this program
// would write could break what that one relies on.
// `applied`, when given, gets the number of steps run.
Result UpgradeSchema(Database &db, const QList<SchemaStep> &steps, int *applied = nullptr);

// The version a file of these steps has once upgraded: the last step's, 0 without steps.
int LatestSchemaVersion(const QList<SchemaStep> &steps);

// The steps of the exposure journal (the user database), of the definitions
// database and of the image database. The schema files
// make new files at the last version.
const QList<SchemaStep> &JournalSchemaSteps();
const QList<SchemaStep> &DefinitionsSchemaSteps();
const QList<SchemaStep> &ImageSchemaSteps();

// For a program that only reads a file's rows or keeps it (the companions):
// the refusal UpgradeSchema gives a file a newer program wrote, without
// upgrading anything. A missing or unreadable file passes: whoever opens it
// says what is wrong with it.
Result RefuseNewerDatabase(const QString &path, const QList<SchemaStep> &steps);
