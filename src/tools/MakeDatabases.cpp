// lumora-mkdb: builds the three database files of an application folder from
// the schema files: the image database, the definitions database with its
// dictionary, and the empty template of the user database.
#include "dictionary/DictionaryStore.h"
#include "store/DatabasePaths.h"
#include "store/SchemaVersion.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

namespace {

QTextStream err(stderr);

QString readText(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        err << "lumora-mkdb: cannot read " << path << "\n";
        return {};
    }
    return QString::fromUtf8(f.readAll());
}

void removeWithJournal(const QString &path)
{
    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-wal"));
    QFile::remove(path + QStringLiteral("-shm"));
}

// Builds into a temporary file and renames it over the target when complete.
bool build(const QString &target, const QStringList &scripts, const std::function<DbResult(Database &)> &fill,
           const QList<SchemaStep> &steps = {})
{
    const QString temp = target + QStringLiteral(".new");
    removeWithJournal(temp);
    if (const Result created = CreateDatabaseFile(temp); !created.ok()) {
        err << "lumora-mkdb: " << temp << ": " << created.text << "\n";
        return false;
    }
    bool ok = true;
    {
        Database db(QStringLiteral("mkdb"), QStringLiteral("lumora-mkdb"));
        db.setPath(temp);
        if (!db.open()) {
            err << "lumora-mkdb: " << temp << ": " << db.error().text << "\n";
            return false;
        }
        for (const QString &script : scripts) {
            const DbResult r = ExecuteScript(db, script);
            if (!r.ok()) {
                err << "lumora-mkdb: " << target << ": " << r.text << "\n";
                ok = false;
                break;
            }
        }
        // A schema file that lags behind its upgrade steps would make files
        // that the first open upgrades again, and fails there.
        if (ok && !steps.isEmpty() && SchemaVersionOf(db) != steps.last().version) {
            err << "lumora-mkdb: " << target << ": schema version " << SchemaVersionOf(db) << ", the upgrade steps reach "
                << steps.last().version << "\n";
            ok = false;
        }
        if (ok && fill) {
            const DbResult r = fill(db);
            if (!r.ok()) {
                err << "lumora-mkdb: " << target << ": " << r.text << "\n";
                ok = false;
            }
        }
        if (ok)
            Execute(db, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        db.close();
    }
    if (!ok) {
        removeWithJournal(temp);
        return false;
    }
    QFile::remove(temp + QStringLiteral("-wal"));
    QFile::remove(temp + QStringLiteral("-shm"));
    removeWithJournal(target);
    return QFile::rename(temp, target);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        err << "usage: lumora-mkdb SCHEMA_DIR DICTIONARY_TAGS OUT_DIR\n";
        return 2;
    }
    const QDir schema(args[1]);
    const QString tags = args[2];
    const QDir out(args[3]);
    QDir().mkpath(out.path());

    const QString images = readText(schema.filePath(QStringLiteral("images.sql")));
    const QString dosis = readText(schema.filePath(QStringLiteral("dosis.sql")));
    const QString definitions = readText(schema.filePath(QStringLiteral("definitions.sql")));
    if (images.isEmpty() || dosis.isEmpty() || definitions.isEmpty())
        return 1;

    const bool ok = build(out.filePath(QStringLiteral("LumoraData.dat")), {images}, {}, ImageSchemaSteps())
        && build(out.filePath(QStringLiteral("LumoraDef.dat")), {images, dosis}, {}, JournalSchemaSteps())
        && build(out.filePath(QStringLiteral("LumoraUser.dat")), {definitions}, [&](Database &db) {
               DbResult r = SeedDictionary(db, tags);
               return r.ok() ? SeedMammographyFilter(db) : r;
           }, DefinitionsSchemaSteps());
    return ok ? 0 : 1;
}
