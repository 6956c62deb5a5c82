#pragma once

#include "store/Database.h"

// The three databases, process-wide: one named connection each per process,
// opened and closed by the DatabaseSessions of whoever uses them.
extern Database ImageDatabase;       // Data/LumoraData.dat, filled by the receiver
extern Database DefinitionsDatabase; // Data/LumoraUser.dat
extern Database UserDatabase;        // General\Database, the exposure journal

// Points the three connections at their files: the two fixed ones below the
// application folder, the user database at General\Database. A relative
// General\Database (the default is the bare "LumoraData.dat") is taken relative
// to the application folder, never to whatever the current directory is.
void SetDatabasePaths();

// The file General\Database names, resolved as SetDatabasePaths does.
QString ResolveUserDatabasePath(const QString &setting);

// Creates an empty SQLite file (write-ahead journal) at path; a failure says
// why it cannot. Used where a database must come into existence.
Result CreateDatabaseFile(const QString &path);
