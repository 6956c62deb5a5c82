#include "store/DatabasePaths.h"

#include "core/ApplicationFolder.h"
#include "core/Settings.h"
#include "store/SchemaVersion.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

Database ImageDatabase(QStringLiteral("ImageDatabase"), QStringLiteral("ImageDatabase"));
Database DefinitionsDatabase(QStringLiteral("DefinitionsDatabase"), QStringLiteral("DefinitionsDatabase"));
Database UserDatabase(QStringLiteral("UserDatabase"), QStringLiteral("UserDatabase"));

QString ResolveUserDatabasePath(const QString &setting)
{
    if (setting.isEmpty())
        return {};
    if (QDir::isAbsolutePath(setting))
        return QDir::cleanPath(setting);
    return QDir::cleanPath(ApplicationFolder() + QLatin1Char('/') + setting);
}

void SetDatabasePaths()
{
    ImageDatabase.setPath(AppPath(QString::fromLatin1(AppFiles::ImageDatabase)));
    DefinitionsDatabase.setPath(AppPath(QString::fromLatin1(AppFiles::DefinitionsDatabase)));
    UserDatabase.setPath(ResolveUserDatabasePath(Settings.Database));
    // Each file is checked against this program's schema when first opened:
    // upgraded when older, refused when a newer program wrote it.
    ImageDatabase.setUpgrade([](Database &db) { return UpgradeSchema(db, ImageSchemaSteps()); });
    // A removal leaves the rows below the one it deletes to the schema's cascade.
    ImageDatabase.setForeignKeys(true);
    ImageDatabase.setKeepStatements(true);
    DefinitionsDatabase.setUpgrade([](Database &db) { return UpgradeSchema(db, DefinitionsSchemaSteps()); });
    UserDatabase.setUpgrade([](Database &db) { return UpgradeSchema(db, JournalSchemaSteps()); });
}

Result CreateDatabaseFile(const QString &path)
{
    const QString conn = QStringLiteral("create:") + path;
    Result r;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), conn);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
                r = Result::failure(ErrorCode::DbOpenFailed, q.lastError().text());
            q = QSqlQuery();
            db.close();
        } else {
            r = Result::failure(ErrorCode::DbOpenFailed, db.lastError().text());
        }
    }
    QSqlDatabase::removeDatabase(conn);
    if (r.ok() && !QFileInfo(path).isFile())
        r = Result::failure(ErrorCode::DbOpenFailed, QStringLiteral("Could not create '%1'.").arg(path));
    return r;
}
