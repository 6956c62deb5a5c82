#include "companions/datamgr/Housekeeping.h"

#include "audit/AuditDelivery.h"
#include "audit/AuditTrail.h"
#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "store/Database.h"
#include "store/DatabasePaths.h"
#include "store/SchemaVersion.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

void DataMgrLog(const QString &text)
{
    AppendLogLine(QStringLiteral("DataMgr.log"), QStringLiteral("datamgr"), LogTimestamp() + QLatin1Char(' ') + text);
}

QStringList PruneRotatedLogs(const QString &logsFolder, int keep)
{
    QStringList removed;
    QDir dir(logsFolder);
    // The rotation stamp (yyyyMMddHHmmss) orders the names by age.
    static const QRegularExpression rotated(QStringLiteral("^(error|debug)(\\d{14})(-\\d+)?\\.log$"),
                                            QRegularExpression::CaseInsensitiveOption);
    for (const char *kindName : {"error", "debug"}) {
        const QLatin1String kind(kindName);
        QStringList names;
        for (const QString &name : dir.entryList(QDir::Files)) {
            const QRegularExpressionMatch m = rotated.match(name);
            if (m.hasMatch() && m.captured(1).compare(kind, Qt::CaseInsensitive) == 0)
                names << name;
        }
        std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
            return a.compare(b, Qt::CaseInsensitive) > 0; // newest first
        });
        for (int i = keep; i < names.size(); ++i) {
            if (dir.remove(names[i]))
                removed << names[i];
            else
                DataMgrLog(QStringLiteral("cannot remove %1").arg(dir.filePath(names[i])));
        }
    }
    return removed;
}

void CheckpointDatabases(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (!QFileInfo(path).isFile())
            continue;
        Database db(QStringLiteral("DataMgrCheckpoint"), QStringLiteral("LumoraDataMgr"));
        db.setPath(path);
        if (!db.open()) {
            DataMgrLog(QStringLiteral("checkpoint of %1: cannot open: %2").arg(path, db.error().text));
            continue;
        }
        const DbResult r = Execute(db, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        if (!r.ok())
            DataMgrLog(QStringLiteral("checkpoint of %1 failed: %2").arg(path, r.text));
        else if (r.first(QStringLiteral("busy")).toInt() != 0)
            DataMgrLog(QStringLiteral("checkpoint of %1 incomplete: the database is busy").arg(path));
        db.close();
    }
}

QStringList HousekeptDatabases()
{
    return {AppPath(QLatin1String(AppFiles::ImageDatabase)), AppPath(QLatin1String(AppFiles::DefinitionsDatabase)),
            ResolveUserDatabasePath(ReadSetting(QStringLiteral("General\\Database"), QStringLiteral("LumoraData.dat")))};
}

Result RefuseNewerDatabases()
{
    const QStringList paths = HousekeptDatabases();
    const std::array<const QList<SchemaStep> *, 3> steps{&ImageSchemaSteps(), &DefinitionsSchemaSteps(), &JournalSchemaSteps()};
    for (int i = 0; i < 3; ++i)
        if (const Result r = RefuseNewerDatabase(paths[i], *steps[size_t(i)]); !r.ok())
            return r;
    return {};
}

void RunHousekeeping()
{
    PruneRotatedLogs(AppPath(QLatin1String(AppFiles::LogsFolder)), KeptRotatedLogs);
    QStringList databases = HousekeptDatabases();
    databases.removeDuplicates();
    CheckpointDatabases(databases);
}

void AuditForwarding::lastRound(int limitMs)
{
    const RepositoryChoice choice = AuditRepositoryFromSettings();
    if (!choice.ok() || !choice.repository)
        return; // said by the rounds before, or nowhere to deliver
    const DeliveryRound done = DeliverAuditTrail(AuditFolder(), *choice.repository, QDeadlineTimer(limitMs));
    if (done.ok())
        DataMgrLog(QStringLiteral("at the stop, %1 audit records delivered").arg(done.delivered));
    else
        DataMgrLog(QStringLiteral("at the stop, %1 audit records delivered, %2 kept for the next start: %3")
                       .arg(done.delivered)
                       .arg(done.pending)
                       .arg(done.text));
}

int AuditForwarding::round()
{
    const RepositoryChoice choice = AuditRepositoryFromSettings();
    DeliveryRound done;
    if (!choice.ok())
        static_cast<Result &>(done) = choice;
    else if (!choice.repository) {
        wait_ = interval_;
        return wait_; // no repository: the trail stays in the folder
    } else
        done = DeliverAuditTrail(AuditFolder(), *choice.repository);
    if (done.ok()) {
        if (!trouble_.isEmpty())
            DataMgrLog(QStringLiteral("audit repository reached again, %1 records delivered").arg(done.delivered));
        trouble_.clear();
        wait_ = interval_;
        return wait_;
    }
    if (done.text != trouble_)
        DataMgrLog(QStringLiteral("audit records not delivered, kept for later (%1 waiting): %2").arg(done.pending).arg(done.text));
    trouble_ = done.text;
    wait_ = std::min({wait_ * 2, std::max(60000, interval_), interval_ * 64});
    return wait_;
}
