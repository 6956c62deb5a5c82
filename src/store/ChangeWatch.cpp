#include "store/ChangeWatch.h"

#include "store/Database.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

namespace {
const QString kWhere = QStringLiteral("ChangeWatch changed");
}

ChangeWatch::ChangeWatch(const Database &db)
    : db_(db)
    , connection_(QStringLiteral("watch-%1-%2").arg(db.name()).arg(quintptr(this), 0, 16))
{
}

ChangeWatch::~ChangeWatch()
{
    close();
    if (QSqlDatabase::contains(connection_))
        QSqlDatabase::removeDatabase(connection_);
}

void ChangeWatch::close()
{
    if (!QSqlDatabase::contains(connection_))
        return;
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (db.isOpen())
        db.close();
    path_.clear();
}

bool ChangeWatch::reopen()
{
    close();
    const QFileInfo file(db_.path());
    if (db_.path().isEmpty() || !file.isFile())
        return false;
    QSqlDatabase db = QSqlDatabase::contains(connection_) ? QSqlDatabase::database(connection_, false)
                                                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    // mode=rw never creates a file; the watch itself only reads. A short busy
    // timeout: a look that meets a lock tries again next round.
    db.setDatabaseName(QStringLiteral("file:") + QString::fromUtf8(QUrl::toPercentEncoding(file.absoluteFilePath(), "/"))
                       + QStringLiteral("?mode=rw"));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=50"));
    if (!db.open()) {
        if (!failureLogged_)
            LogFailure({ErrorCode::DbOpenFailed, db.lastError().text()}, kWhere);
        failureLogged_ = true;
        return false;
    }
    path_ = db_.path();
    version_ = -1;
    return true;
}

bool ChangeWatch::changed()
{
    if ((path_.isEmpty() || path_ != db_.path()) && !reopen())
        return false;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec(QStringLiteral("PRAGMA data_version")) || !q.next()) {
        if (!failureLogged_)
            LogFailure({ErrorCode::DbOpenFailed, q.lastError().text()}, kWhere);
        failureLogged_ = true;
        return false;
    }
    failureLogged_ = false;
    const qint64 now = q.value(0).toLongLong();
    const bool changed = now != version_;
    version_ = now;
    return changed;
}
