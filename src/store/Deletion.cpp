#include "store/Deletion.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "store/DatabasePaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSqlRecord>

#include <sqlite3.h>

namespace {

void say(const DeletionReport &r, const QString &text)
{
    if (r.append)
        r.append(text);
}

// Runs the statements of one routine as a unit.
class Transaction {
public:
    explicit Transaction(const QString &where) : where_(where), session_(ImageDatabase)
    {
        run(QStringLiteral("BEGIN IMMEDIATE"), {});
    }
    ~Transaction()
    {
        if (!committed_ && ImageDatabase.isOpen())
            Execute(ImageDatabase, QStringLiteral("ROLLBACK"));
    }
    DbResult query(const QString &sql, const QVariantList &values)
    {
        if (!ok_)
            return {};
        DbResult r = Execute(ImageDatabase, sql, values);
        if (!r.ok()) {
            LogFailure(r, where_);
            ok_ = false;
        }
        return r;
    }
    bool run(const QString &sql, const QVariantList &values)
    {
        query(sql, values);
        return ok_;
    }
    bool commit()
    {
        if (ok_ && run(QStringLiteral("COMMIT"), {}))
            committed_ = true;
        return committed_;
    }
    bool ok() const { return ok_; }

private:
    QString where_;
    DatabaseSession session_;
    bool ok_ = true;
    bool committed_ = false;
};

// Reads what a target needs besides its own key; one connection for all.
class TargetReader {
public:
    TargetReader() : session_(ImageDatabase) {}
    DbResult query(const QString &sql, const QVariantList &values)
    {
        DbResult r = Execute(ImageDatabase, sql, values);
        if (!r.ok()) {
            LogFailure(r, QStringLiteral("MainForm DeletionTarget"));
            ok_ = false;
        }
        return r;
    }
    qlonglong count(const QString &sql, const QVariantList &values) { return query(sql, values).first(QStringLiteral("n")).toLongLong(); }
    // The patient of t.patientKey and the counts above the level; false when
    // gone or, with an expected ID, another patient's.
    bool completePatient(ImageTarget &t, const QString &expectedId = QString())
    {
        const DbResult p = query(QStringLiteral("SELECT PatID1, PatNachname, PatVorname FROM tblPatienten WHERE PatID = ?"), {t.patientKey});
        if (p.rows.isEmpty())
            return false;
        const QSqlRecord &row = p.rows.first();
        t.patientId = row.value(0).toString();
        if (!expectedId.isNull() && expectedId != t.patientId)
            return false;
        t.patientName = row.value(1).toString();
        if (!row.value(2).isNull())
            t.patientName += QStringLiteral(", ") + row.value(2).toString();
        t.studiesOfPatient = int(count(QStringLiteral("SELECT COUNT(*) AS n FROM tblStudies WHERE FKeyPATID = ?"), {t.patientKey}));
        if (t.studyKey != 0)
            t.seriesOfStudy = int(count(QStringLiteral("SELECT COUNT(*) AS n FROM tblSeries WHERE FKeyStudyID = ?"), {t.studyKey}));
        return ok_;
    }
    bool ok() const { return ok_; }

private:
    DatabaseSession session_;
    bool ok_ = true;
};

} // namespace

ImageTarget PatientTarget(qlonglong patientKey, const QString &patientId)
{
    ImageTarget t;
    t.patientKey = patientKey;
    TargetReader r;
    if (!r.completePatient(t, patientId.isNull() ? QStringLiteral("") : patientId))
        return {};
    t.imageCount = r.count(QStringLiteral("SELECT COUNT(*) AS n FROM tblImages i JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID "
                                          "JOIN tblStudies s ON s.StudyID = r.FKeyStudyID WHERE s.FKeyPATID = ?"),
                           {patientKey});
    t.valid = r.ok();
    return t;
}

ImageTarget StudyTarget(qlonglong studyKey, const QString &studyUid)
{
    ImageTarget t;
    TargetReader r;
    const DbResult s = r.query(QStringLiteral("SELECT FKeyPATID, StudyUID FROM tblStudies WHERE StudyID = ?"), {studyKey});
    if (s.rows.isEmpty() || s.rows.first().value(1).toString() != studyUid)
        return {};
    t.studyKey = studyKey;
    t.studyUid = studyUid;
    t.patientKey = s.rows.first().value(0).toLongLong();
    if (!r.completePatient(t))
        return {};
    t.imageCount = r.count(QStringLiteral("SELECT COUNT(*) AS n FROM tblImages i JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID "
                                          "WHERE r.FKeyStudyID = ?"),
                           {studyKey});
    t.valid = r.ok();
    return t;
}

ImageTarget SeriesTarget(qlonglong seriesKey)
{
    ImageTarget t;
    TargetReader r;
    const DbResult s = r.query(QStringLiteral("SELECT s.StudyID, s.StudyUID, s.FKeyPATID FROM tblSeries r "
                                              "JOIN tblStudies s ON s.StudyID = r.FKeyStudyID WHERE r.SeriesID = ?"),
                               {seriesKey});
    if (s.rows.isEmpty())
        return {};
    t.seriesKey = seriesKey;
    t.studyKey = s.rows.first().value(0).toLongLong();
    t.studyUid = s.rows.first().value(1).toString();
    t.patientKey = s.rows.first().value(2).toLongLong();
    if (!r.completePatient(t))
        return {};
    t.imageCount = r.count(QStringLiteral("SELECT COUNT(*) AS n FROM tblImages WHERE FKeySeriesID = ?"), {seriesKey});
    t.valid = r.ok();
    return t;
}

ImageTarget SeriesTargetOfImage(const QString &imageUid)
{
    qlonglong series = 0;
    {
        TargetReader r;
        series = r.query(QStringLiteral("SELECT FKeySeriesID FROM tblImages WHERE ImageUID = ?"), {imageUid})
                     .first(QStringLiteral("FKeySeriesID"))
                     .toLongLong();
    }
    return series == 0 ? ImageTarget() : SeriesTarget(series);
}

bool ImagesInDatabase(const QStringList &imageUids)
{
    TargetReader r;
    for (const QString &uid : imageUids)
        if (r.count(QStringLiteral("SELECT COUNT(*) AS n FROM tblImages WHERE ImageUID = ?"), {uid}) == 0)
            return false;
    return r.ok();
}

QStringList ImagesWithRows(const QStringList &imageUids, bool *ok)
{
    TargetReader r;
    QStringList out;
    for (const QString &uid : imageUids)
        if (r.count(QStringLiteral("SELECT COUNT(*) AS n FROM tblImages WHERE ImageUID = ?"), {uid}) > 0)
            out << uid;
    *ok = r.ok();
    return r.ok() ? out : QStringList();
}

QString StudyFolder(const QString &studyUid)
{
    static const QRegularExpression uid(QRegularExpression::anchoredPattern(QStringLiteral("[0-9A-Za-z.\\-_]+")));
    if (!uid.match(studyUid).hasMatch() || studyUid == QLatin1String(".") || studyUid == QLatin1String(".."))
        return {};
    return AppPath(QString::fromLatin1(AppFiles::ImagesFolder)) + QLatin1Char('/') + studyUid;
}

bool DeleteSeriesFromDatabase(qlonglong seriesKey, qlonglong studyKey, const QString &studyUid, qlonglong patientKey,
                              const QString &patientId, const DeletionReport &report)
{
    say(report, QStringLiteral("Updating Database ... "));
    QStringList files;
    bool studyGone = false, patientGone = false;
    {
        Transaction t(QStringLiteral("EditForm DeleteSeriesFromDatabase"));
        const DbResult images = t.query(QStringLiteral("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ?"), {seriesKey});
        for (const QSqlRecord &row : images.rows)
            files << row.value(0).toString() + QStringLiteral(".dcm");
        t.run(QStringLiteral("DELETE FROM tblImages WHERE FKeySeriesID = ?"), {seriesKey});
        t.run(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ?"), {seriesKey});
        const DbResult series = t.query(QStringLiteral("SELECT COUNT(*) AS SeriesCount FROM tblSeries WHERE FKeyStudyID = ?"), {studyKey});
        if (t.ok() && series.first(QStringLiteral("SeriesCount")).toInt() == 0) {
            studyGone = t.run(QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ?"), {studyKey});
            const DbResult studies = t.query(QStringLiteral("SELECT COUNT(*) AS StudyCount FROM tblStudies WHERE FKeyPATID = ?"), {patientKey});
            if (t.ok() && studies.first(QStringLiteral("StudyCount")).toInt() == 0)
                patientGone = t.run(QStringLiteral("DELETE FROM tblPatienten WHERE PATID1 = ?"), {patientId});
        }
        if (!t.commit())
            return false;
    }
    if (studyGone && report.studyRowRemoved)
        report.studyRowRemoved();
    if (patientGone && report.patientRowRemoved)
        report.patientRowRemoved();
    say(report, QStringLiteral("OK\r\n"));
    const QString folder = StudyFolder(studyUid);
    if (studyGone) {
        say(report, QStringLiteral("Removing image directory ... "));
        if (!folder.isEmpty())
            QDir(folder).removeRecursively();
    } else {
        say(report, QStringLiteral("Removing images ... "));
        for (const QString &f : files) {
            if (!folder.isEmpty() && QFileInfo(f).fileName() == f)
                QFile::remove(folder + QLatin1Char('/') + f);
        }
    }
    say(report, QStringLiteral("OK\r\n"));
    return true;
}

bool DeleteStudyFromDatabase(qlonglong studyKey, const QString &studyUid, qlonglong patientKey, const QString &patientId,
                             bool studySend, const DeletionReport &report)
{
    say(report, QStringLiteral("Updating Database ... "));
    bool patientGone = false;
    {
        Transaction t(QStringLiteral("EditForm DeleteStudyFromDatabase"));
        const DbResult series = t.query(QStringLiteral("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?"), {studyKey});
        for (const QSqlRecord &row : series.rows)
            t.run(QStringLiteral("DELETE FROM tblImages WHERE FKeySeriesID = ?"), {row.value(0)});
        t.run(QStringLiteral("DELETE FROM tblSeries WHERE FKeyStudyID = ?"), {studyKey});
        t.run(QStringLiteral("DELETE FROM tblStudies WHERE StudyUID = ?"), {studyUid});
        if (studySend) {
            const DbResult studies = t.query(QStringLiteral("SELECT COUNT(*) AS StudyCount FROM tblStudies WHERE FKeyPATID = ?"), {patientKey});
            if (t.ok() && studies.first(QStringLiteral("StudyCount")).toInt() == 0)
                patientGone = t.run(QStringLiteral("DELETE FROM tblPatienten WHERE PATID1 = ?"), {patientId});
        }
        if (!t.commit())
            return false;
    }
    if (patientGone && report.patientRowRemoved)
        report.patientRowRemoved();
    say(report, QStringLiteral("OK\r\n"));
    say(report, QStringLiteral("Removing image directory ... "));
    const QString folder = StudyFolder(studyUid);
    if (!folder.isEmpty())
        QDir(folder).removeRecursively();
    say(report, QStringLiteral("OK\r\n"));
    return true;
}

bool DeletePatientFromDatabase(qlonglong patientKey, const QString &patientId, const DeletionReport &report)
{
    say(report, QStringLiteral("Updating Database ... "));
    QStringList folders;
    {
        Transaction t(QStringLiteral("EditForm DeletePatientFromDatabase"));
        const DbResult studies = t.query(QStringLiteral("SELECT StudyID, StudyUID FROM tblStudies WHERE FKeyPATID = ?"), {patientKey});
        for (const QSqlRecord &study : studies.rows) {
            const DbResult series = t.query(QStringLiteral("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?"), {study.value(0)});
            for (const QSqlRecord &s : series.rows) {
                t.run(QStringLiteral("DELETE FROM tblImages WHERE FKeySeriesID = ?"), {s.value(0)});
                t.run(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ?"), {s.value(0)});
            }
            t.run(QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ?"), {study.value(0)});
            folders << StudyFolder(study.value(1).toString());
        }
        t.run(QStringLiteral("DELETE FROM tblPatienten WHERE PATID1 = ?"), {patientId});
        if (!t.commit())
            return false;
    }
    say(report, QStringLiteral("OK\r\n"));
    say(report, QStringLiteral("Removing image directory ... "));
    if (report.progress)
        report.progress(0, folders.size());
    for (int i = 0; i < folders.size(); ++i) {
        if (!folders[i].isEmpty())
            QDir(folders[i]).removeRecursively();
        if (report.progress)
            report.progress(i + 1, folders.size());
    }
    say(report, QStringLiteral("OK\r\n"));
    return true;
}

bool DeleteAllFromDatabase(const DeletionReport &report)
{
    say(report, QStringLiteral("Removing database entries ... "));
    const QString templ = AppPath(QString::fromLatin1(AppFiles::TemplateDatabase));
    const QString target = AppPath(QString::fromLatin1(AppFiles::ImageDatabase));
    bool restored = false;
    if (QFileInfo(templ).isFile() && QFileInfo(target).isFile()) {
        sqlite3 *src = nullptr;
        sqlite3 *dst = nullptr;
        if (sqlite3_open_v2(QFile::encodeName(templ).constData(), &src, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK
            && sqlite3_open_v2(QFile::encodeName(target).constData(), &dst, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(dst, 8000);
            if (sqlite3_backup *b = sqlite3_backup_init(dst, "main", src, "main")) {
                int rc = SQLITE_OK;
                do {
                    rc = sqlite3_backup_step(b, -1);
                    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
                        sqlite3_sleep(50);
                } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
                sqlite3_backup_finish(b);
                restored = rc == SQLITE_DONE;
            }
            if (!restored)
                LogFailure(Result::failure(sqlite3_errcode(dst), QString::fromUtf8(sqlite3_errmsg(dst))), QStringLiteral("EditForm DeleteAllTimer"));
        }
        sqlite3_close(src);
        sqlite3_close(dst);
    }
    say(report, restored ? QStringLiteral("OK\r\n") : QStringLiteral("failed\r\n"));
    if (!restored)
        return false; // the rows stay, and so do their images
    say(report, QStringLiteral("Removing images ... "));
    const QDir images(AppPath(QString::fromLatin1(AppFiles::ImagesFolder)));
    const QStringList folders = images.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (report.progress)
        report.progress(0, folders.size());
    for (int i = 0; i < folders.size(); ++i) {
        QDir(images.filePath(folders[i])).removeRecursively();
        if (report.progress)
            report.progress(i + 1, folders.size());
    }
    return restored;
}

bool DeleteImageFromDatabase(const QString &imageUid, const QString &studyUid)
{
    {
        Transaction t(QStringLiteral("MainForm PopupDeleteImage"));
        t.run(QStringLiteral("DELETE FROM tblImages WHERE ImageUID = ?"), {imageUid});
        if (!t.commit())
            return false;
    }
    const QString folder = StudyFolder(studyUid);
    const QString file = imageUid + QStringLiteral(".dcm");
    if (!folder.isEmpty() && QFileInfo(file).fileName() == file)
        QFile::remove(folder + QLatin1Char('/') + file);
    return true;
}

bool DeleteImageListFromDatabase(const QStringList &imageUids, const DeletionReport &report, const std::function<bool()> &beforeCommit)
{
    const QString where = QStringLiteral("EditForm DeleteImageListFromDatabase");
    say(report, QStringLiteral("Updating Database ... "));
    QList<QPair<QString, QString>> files; // study UID, image UID
    QSet<QString> goneStudies;
    bool patientGone = false;
    {
        Transaction t(where);
        QSet<qlonglong> series, studies, patients;
        for (const QString &uid : imageUids) {
            const DbResult place = t.query(QStringLiteral("SELECT i.ImageID, i.FKeySeriesID, r.FKeyStudyID, s.StudyUID, s.FKeyPATID FROM tblImages i "
                                                          "JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID JOIN tblStudies s ON s.StudyID = r.FKeyStudyID "
                                                          "WHERE i.ImageUID = ?"),
                                           {uid});
            if (!t.ok())
                break;
            if (place.rows.isEmpty()) {
                WriteErrorLog(ErrorCode::None, QStringLiteral("Image %1 was no longer in the database").arg(uid), where);
                continue;
            }
            const QSqlRecord &row = place.rows.first();
            t.run(QStringLiteral("DELETE FROM tblImages WHERE ImageID = ?"), {row.value(0)});
            series.insert(row.value(1).toLongLong());
            studies.insert(row.value(2).toLongLong());
            patients.insert(row.value(4).toLongLong());
            files.append({row.value(3).toString(), uid});
        }
        for (qlonglong id : std::as_const(series))
            t.run(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ? AND NOT EXISTS (SELECT 1 FROM tblImages WHERE FKeySeriesID = ?)"), {id, id});
        for (qlonglong id : std::as_const(studies)) {
            const DbResult uid = t.query(QStringLiteral("SELECT StudyUID FROM tblStudies WHERE StudyID = ?"), {id});
            const DbResult r = t.query(QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ? AND NOT EXISTS (SELECT 1 FROM tblSeries WHERE FKeyStudyID = ?)"),
                                       {id, id});
            if (r.ok() && r.rowsAffected > 0)
                goneStudies.insert(uid.first(QStringLiteral("StudyUID")).toString());
        }
        for (qlonglong id : std::as_const(patients)) {
            const DbResult r = t.query(QStringLiteral("DELETE FROM tblPatienten WHERE PatID = ? AND NOT EXISTS (SELECT 1 FROM tblStudies WHERE FKeyPATID = ?)"),
                                       {id, id});
            patientGone |= r.ok() && r.rowsAffected > 0;
        }
        if (!t.ok() || (beforeCommit && !beforeCommit()) || !t.commit())
            return false;
    }
    if (!goneStudies.isEmpty() && report.studyRowRemoved)
        report.studyRowRemoved();
    if (patientGone && report.patientRowRemoved)
        report.patientRowRemoved();
    say(report, QStringLiteral("OK\r\n"));
    say(report, QStringLiteral("Removing images ... "));
    for (int i = 0; i < files.size(); ++i) {
        const QString folder = StudyFolder(files[i].first);
        const QString file = files[i].second + QStringLiteral(".dcm");
        if (!folder.isEmpty() && QFileInfo(file).fileName() == file && QFileInfo::exists(folder + QLatin1Char('/') + file)
            && !QFile::remove(folder + QLatin1Char('/') + file))
            WriteErrorLog(ErrorCode::PathAccess, QStringLiteral("Cannot remove %1/%2").arg(folder, file), where);
        if (report.progress)
            report.progress(i + 1, int(files.size()));
    }
    // rmdir takes a folder only when nothing is in it, not even a file being received.
    for (const QString &study : std::as_const(goneStudies))
        if (const QString folder = StudyFolder(study); !folder.isEmpty())
            QDir().rmdir(folder);
    say(report, QStringLiteral("OK\r\n"));
    return true;
}

bool DeleteImageRows(const QList<qlonglong> &imageIds)
{
    Transaction t(QStringLiteral("EditForm cmdOK_Click"));
    for (qlonglong id : imageIds)
        t.run(QStringLiteral("DELETE FROM tblImages WHERE ImageID = ?"), {id});
    return t.commit();
}
