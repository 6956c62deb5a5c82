#include "store/Deletion.h"

#include "core/ApplicationFolder.h"
#include "audit/AuditTrail.h"
#include "core/ErrorLog.h"
#include "store/DatabasePaths.h"
#include "store/SchemaVersion.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QSqlRecord>
#include <QThreadPool>

#include <sqlite3.h>

#include <cerrno>
#include <optional>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            if (fd_ >= 0)
                ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// Removal below images/. Every entry is reached relative to a folder opened
// without following links: a link where the images folder, a study folder or
// an image file belongs is refused (said and logged by its path) and left, so
// that nothing outside images/ is ever removed through one. A file goes only
// while the image database's write lock is held and no row holds it: the
// receiver files an image only inside such a transaction, so an image filed
// again after the rows went keeps its file. A folder goes only once empty.
class ImageFiles {
public:
    ImageFiles(const DeletionReport &report, const QString &where, const QString &setAsideIn = {})
        : report_(report)
        , where_(where)
        , path_(AppPath(QString::fromLatin1(AppFiles::ImagesFolder)))
        , fd_(::open(QFile::encodeName(path_).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
    {
        if (!fd_.ok() && errno != ENOENT)
            refuse(path_, errno);
        if (setAsideIn.isEmpty())
            return;
        aside_ = Fd(::open(QFile::encodeName(setAsideIn).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!aside_.ok())
            WriteErrorLog(ErrorCode::PathAccess, QStringLiteral("Cannot open %1 (%2); the files are unlinked instead").arg(setAsideIn, errnoText(errno)), where_);
    }

    // The study folders below images/ and the links in their place; hidden
    // ones (the receiver's intake) left out.
    QStringList studies() const
    {
        QStringList out;
        for (const QString &name : fd_.ok() ? names(fd_.get()) : QStringList()) {
            struct stat st{};
            if (::fstatat(fd_.get(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)))
                out << name;
        }
        return out;
    }

    // The named image files of the study (ImageUID.dcm) that no row holds.
    void removeImages(const QString &study, const QStringList &imageUids) { removeIn(study, imageUids, false); }
    // Every file of the study folder that no row holds.
    void removeAllImages(const QString &study) { removeIn(study, {}, true); }

    // The study folder, when it is empty (rmdir takes nothing else, not even a file being received).
    void removeFolderIfEmpty(const QString &study)
    {
        if (fd_.ok() && isName(study))
            ::unlinkat(fd_.get(), QFile::encodeName(study).constData(), AT_REMOVEDIR);
    }

    // "OK" (when sayOk), or what was refused.
    void finish(bool sayOk = true)
    {
        if (refused_.isEmpty()) {
            if (sayOk)
                say(report_, QStringLiteral("OK\r\n"));
            return;
        }
        QString text = QStringLiteral("\r\n");
        for (const QString &line : std::as_const(refused_))
            text += line + QStringLiteral("\r\n");
        say(report_, text);
    }

private:
    static bool isName(const QString &name)
    {
        return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0)) && !name.startsWith(QLatin1Char('.'));
    }
    // The names in an open folder, hidden ones left out.
    static QStringList names(int folder)
    {
        QStringList out;
        const int copy = ::dup(folder);
        DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
        if (!dir) {
            if (copy >= 0)
                ::close(copy);
            return out;
        }
        ::rewinddir(dir);
        while (const dirent *e = ::readdir(dir))
            if (const QString name = QFile::decodeName(e->d_name); isName(name))
                out << name;
        ::closedir(dir);
        return out;
    }
    void refuse(const QString &path, int err)
    {
        struct stat st{};
        const bool link = ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
        const QString text = link ? QStringLiteral("Refused: %1 is a link; nothing was removed through it.").arg(path)
                                  : QStringLiteral("Not removed: %1: %2").arg(path, errnoText(err));
        WriteErrorLog(ErrorCode::PathAccess, text, where_);
        refused_ << text;
    }
    void removeIn(const QString &study, const QStringList &imageUids, bool all)
    {
        if (!fd_.ok() || !isName(study))
            return;
        const QString folderPath = path_ + QLatin1Char('/') + study;
        Fd folder(::openat(fd_.get(), QFile::encodeName(study).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.ok()) {
            if (errno != ENOENT)
                refuse(folderPath, errno);
            return;
        }
        QStringList files;
        for (const QString &uid : imageUids)
            files << uid + QStringLiteral(".dcm");
        if (all)
            files = names(folder.get());
        Transaction t(where_);
        if (!t.ok()) {
            refused_ << QStringLiteral("Not removed: the files of %1, the image database is busy.").arg(folderPath);
            return;
        }
        QList<QByteArray> doomed; // checked under the write lock, unlinked before it goes
        for (const QString &name : std::as_const(files)) {
            if (!isName(name))
                continue;
            const QByteArray entry = QFile::encodeName(name);
            struct stat st{};
            if (::fstatat(folder.get(), entry.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    refuse(folderPath + QLatin1Char('/') + name, errno);
                continue;
            }
            if (S_ISLNK(st.st_mode)) {
                refuse(folderPath + QLatin1Char('/') + name, ELOOP);
                continue;
            }
            if (!S_ISREG(st.st_mode))
                continue; // a folder of someone's: the study folder stays
            if (name.endsWith(QLatin1String(".dcm"))
                && t.query(QStringLiteral("SELECT COUNT(*) AS n FROM tblImages i JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID "
                                          "JOIN tblStudies s ON s.StudyID = r.FKeyStudyID WHERE i.ImageUID = ? AND s.StudyUID = ?"),
                           {name.chopped(4), study})
                           .first(QStringLiteral("n"))
                           .toLongLong()
                       != 0)
                continue; // filed again since its row went
            if (!t.ok())
                break;
            doomed << entry;
        }
        const std::vector<int> errors = aside_.ok() ? setAside(folder.get(), study, doomed) : unlinkAll(folder.get(), doomed);
        for (qsizetype i = 0; i < doomed.size(); ++i)
            if (errors[size_t(i)] != 0 && errors[size_t(i)] != ENOENT)
                refuse(folderPath + QLatin1Char('/') + QFile::decodeName(doomed[i]), errors[size_t(i)]);
        t.commit();
    }

    // Unlinks the entries of an open folder on worker threads; the errno of
    // each, 0 when it went. Without AT_REMOVEDIR unlinkat takes no folder; a
    // link swapped in meanwhile goes itself, its target stays. On a file
    // system mounted with discard each unlink waits for the disk to trim the
    // file's blocks: together those waits overlap.
    static std::vector<int> unlinkAll(int folder, const QList<QByteArray> &entries)
    {
        std::vector<int> errors(size_t(entries.size()), 0);
        int *out = errors.data();
        auto unlinkOne = [folder, &entries, out](qsizetype i) {
            if (::unlinkat(folder, entries[i].constData(), 0) != 0)
                out[i] = errno;
        };
        if (entries.size() < 2) {
            for (qsizetype i = 0; i < entries.size(); ++i)
                unlinkOne(i);
            return errors;
        }
        QThreadPool pool;
        pool.setMaxThreadCount(kUnlinkThreads);
        for (qsizetype i = 0; i < entries.size(); ++i)
            pool.start([&unlinkOne, i] { unlinkOne(i); });
        pool.waitForDone();
        return errors;
    }
    // Threads that wait on the disk, not on a core.
    static constexpr int kUnlinkThreads = 8;

    // Moves the entries of an open folder into the set-aside folder, each
    // under its study's name so that two studies' files do not meet; the errno
    // of each, 0 when it went. A rename moves a link swapped in meanwhile
    // itself; the entry the rename cannot take is unlinked.
    std::vector<int> setAside(int folder, const QString &study, const QList<QByteArray> &entries)
    {
        std::vector<int> errors(size_t(entries.size()), 0);
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const QByteArray target = QFile::encodeName(study) + '-' + entries[i];
            if (::renameat2(folder, entries[i].constData(), aside_.get(), target.constData(), RENAME_NOREPLACE) == 0)
                continue;
            if (errno == ENOENT) {
                errors[size_t(i)] = ENOENT;
                continue;
            }
            if (::unlinkat(folder, entries[i].constData(), 0) != 0)
                errors[size_t(i)] = errno;
        }
        return errors;
    }

    const DeletionReport &report_;
    QString where_;
    QString path_;
    Fd fd_;
    Fd aside_;
    QStringList refused_;
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

namespace {

// The levels of Remove, and single images below them.
enum class Level { Image, Series, Study, Patient };

Level levelOf(RemovalLevel level)
{
    switch (level) {
    case RemovalLevel::Series:
        return Level::Series;
    case RemovalLevel::Study:
        return Level::Study;
    case RemovalLevel::Patient:
        break;
    }
    return Level::Patient;
}

// The patient's name in DICOM's form, for the audit trail.
QString personName(const QString &family, const QString &given)
{
    return given.isEmpty() ? family : family + QLatin1Char('^') + given;
}

// What one removal's transaction took: the image files to remove, study by
// study, and which rows above the removed one went with it.
struct Taken {
    QList<AuditPatient> audited;          // what went, for the audit trail
    QStringList studyOrder;               // study UIDs, in the order met
    QHash<QString, QStringList> images;   // study UID: its image UIDs removed
    QSet<QString> goneStudies;            // study UIDs whose row went
    bool patientGone = false;
    int imageCount = 0;
};

// Where the rows a removal takes are read: every study, series and image below
// (or, for an image, above) the removed row, with the study's folder.
QString placesOf(Level level)
{
    switch (level) {
    case Level::Patient:
        return QStringLiteral("SELECT s.StudyID, s.StudyUID, s.FKeyPATID, r.SeriesID, i.ImageUID, i.SOPClassUID FROM tblStudies s "
                              "LEFT JOIN tblSeries r ON r.FKeyStudyID = s.StudyID LEFT JOIN tblImages i ON i.FKeySeriesID = r.SeriesID "
                              "WHERE s.FKeyPATID = ? ORDER BY s.StudyID, r.SeriesID, i.ImageNr, i.ImageID");
    case Level::Study:
        return QStringLiteral("SELECT s.StudyID, s.StudyUID, s.FKeyPATID, r.SeriesID, i.ImageUID, i.SOPClassUID FROM tblStudies s "
                              "LEFT JOIN tblSeries r ON r.FKeyStudyID = s.StudyID LEFT JOIN tblImages i ON i.FKeySeriesID = r.SeriesID "
                              "WHERE s.StudyID = ? ORDER BY r.SeriesID, i.ImageNr, i.ImageID");
    case Level::Series:
        return QStringLiteral("SELECT s.StudyID, s.StudyUID, s.FKeyPATID, r.SeriesID, i.ImageUID, i.SOPClassUID FROM tblSeries r "
                              "JOIN tblStudies s ON s.StudyID = r.FKeyStudyID LEFT JOIN tblImages i ON i.FKeySeriesID = r.SeriesID "
                              "WHERE r.SeriesID = ? ORDER BY i.ImageNr, i.ImageID");
    case Level::Image:
        break;
    }
    return QStringLiteral("SELECT s.StudyID, s.StudyUID, s.FKeyPATID, r.SeriesID, i.ImageUID, i.SOPClassUID FROM tblImages i "
                          "JOIN tblSeries r ON r.SeriesID = i.FKeySeriesID JOIN tblStudies s ON s.StudyID = r.FKeyStudyID "
                          "WHERE i.ImageUID = ?");
}

// The one row the removal deletes; the schema's ON DELETE CASCADE takes the
// series, images (and studies) below it.
QString deletionOf(Level level)
{
    switch (level) {
    case Level::Patient:
        return QStringLiteral("DELETE FROM tblPatienten WHERE PatID = ?");
    case Level::Study:
        return QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ?");
    case Level::Series:
        return QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ?");
    case Level::Image:
        break;
    }
    return QStringLiteral("DELETE FROM tblImages WHERE ImageUID = ?");
}

QString placeOf(Level level)
{
    switch (level) {
    case Level::Patient:
        return QStringLiteral("EditForm DeletePatientFromDatabase");
    case Level::Study:
        return QStringLiteral("EditForm DeleteStudyFromDatabase");
    case Level::Series:
        return QStringLiteral("EditForm DeleteSeriesFromDatabase");
    case Level::Image:
        break;
    }
    return QStringLiteral("EditForm DeleteImageListFromDatabase");
}

// The rows of one removal, in one transaction; the files they held are
// collected in it. Empty when the rows stay (logged).
std::optional<Taken> removeRows(Level level, const QVariantList &keys, const RemovalOptions &options, const QString &where)
{
    Taken taken;
    QSet<qlonglong> series, studies, patients; // above the removed rows, perhaps emptied
    QHash<qlonglong, QString> studyUids;
    QHash<qlonglong, QPair<QString, QString>> patientIds; // key: Patient ID, name
    Transaction t(where);
    for (const QVariant &key : keys) {
        const DbResult rows = t.query(placesOf(level), {key});
        if (!t.ok())
            return std::nullopt;
        if (rows.rows.isEmpty() && level == Level::Image) {
            WriteErrorLog(ErrorCode::None, QStringLiteral("Image %1 was no longer in the database").arg(key.toString()), where);
            continue;
        }
        for (const QSqlRecord &row : rows.rows) {
            const qlonglong study = row.value(0).toLongLong();
            const QString studyUid = row.value(1).toString();
            if (!taken.images.contains(studyUid)) {
                taken.studyOrder << studyUid;
                taken.images.insert(studyUid, {});
            }
            if (!row.value(4).isNull()) {
                taken.images[studyUid] << row.value(4).toString();
                ++taken.imageCount;
            }
            const qlonglong patientKey = row.value(2).toLongLong();
            if (!patientIds.contains(patientKey)) {
                const DbResult p = t.query(QStringLiteral("SELECT PatID1, PatNachname, PatVorname FROM tblPatienten WHERE PatID = ?"), {patientKey});
                const QSqlRecord first = p.rows.isEmpty() ? QSqlRecord() : p.rows.first();
                patientIds.insert(patientKey, {first.value(0).toString(), personName(first.value(1).toString(), first.value(2).toString())});
            }
            AddAuditInstance(taken.audited, patientIds.value(patientKey).first, patientIds.value(patientKey).second, studyUid,
                             row.value(4).isNull() ? QString() : row.value(5).toString());
            studyUids.insert(study, studyUid);
            if (level == Level::Study || level == Level::Patient)
                taken.goneStudies.insert(studyUid);
            if (level == Level::Image)
                series.insert(row.value(3).toLongLong());
            if (level == Level::Image || level == Level::Series)
                studies.insert(study);
            if (level != Level::Patient)
                patients.insert(row.value(2).toLongLong());
        }
        const DbResult removed = t.query(deletionOf(level), {key});
        if (!t.ok())
            return std::nullopt;
        if (level == Level::Patient)
            taken.patientGone = removed.rowsAffected > 0;
    }
    // Rows left without children go too, from the bottom up, unless kept.
    if (options.emptiedParents == EmptiedParents::Removed) {
        for (qlonglong id : std::as_const(series))
            t.run(QStringLiteral("DELETE FROM tblSeries WHERE SeriesID = ? AND NOT EXISTS (SELECT 1 FROM tblImages WHERE FKeySeriesID = ?)"), {id, id});
        for (qlonglong id : std::as_const(studies)) {
            const DbResult r = t.query(QStringLiteral("DELETE FROM tblStudies WHERE StudyID = ? AND NOT EXISTS (SELECT 1 FROM tblSeries WHERE FKeyStudyID = ?)"),
                                       {id, id});
            if (t.ok() && r.rowsAffected > 0)
                taken.goneStudies.insert(studyUids.value(id));
        }
        for (qlonglong id : std::as_const(patients)) {
            const DbResult r = t.query(QStringLiteral("DELETE FROM tblPatienten WHERE PatID = ? AND NOT EXISTS (SELECT 1 FROM tblStudies WHERE FKeyPATID = ?)"),
                                       {id, id});
            taken.patientGone |= t.ok() && r.rowsAffected > 0;
        }
    }
    if (!t.ok() || !t.commit())
        return std::nullopt;
    return taken;
}

bool removeAndTell(Level level, const QVariantList &keys, const DeletionReport &report, const RemovalOptions &options)
{
    const QString where = options.logPlace.isEmpty() ? placeOf(level) : options.logPlace;
    say(report, QStringLiteral("Updating Database ... "));
    const std::optional<Taken> taken = removeRows(level, keys, options, where);
    if (!taken)
        return false;
    if (options.audited && !taken->audited.isEmpty())
        AuditDeletion(taken->audited, level == Level::Study || level == Level::Patient);
    // Told before any file is touched, so that the lists drop the rows at once.
    if (level != Level::Patient && !taken->goneStudies.isEmpty() && report.studyRowRemoved)
        report.studyRowRemoved();
    if (taken->patientGone && report.patientRowRemoved)
        report.patientRowRemoved();
    say(report, QStringLiteral("OK\r\n"));
    const bool folders = level != Level::Image && !taken->goneStudies.isEmpty();
    say(report, folders ? QStringLiteral("Removing image directory ... ") : QStringLiteral("Removing images ... "));
    ImageFiles files(report, where, options.setAsideIn);
    // Progress over the study folders, or over the images when single images went.
    const int total = level == Level::Image ? taken->imageCount : int(taken->studyOrder.size());
    if (report.progress && level != Level::Image)
        report.progress(0, total);
    int done = 0;
    for (const QString &study : std::as_const(taken->studyOrder)) {
        files.removeImages(study, taken->images.value(study));
        if (level != Level::Image && taken->goneStudies.contains(study))
            files.removeFolderIfEmpty(study);
        done += level == Level::Image ? int(taken->images.value(study).size()) : 1;
        if (report.progress)
            report.progress(done, total);
    }
    if (level == Level::Image)
        for (const QString &study : std::as_const(taken->goneStudies))
            files.removeFolderIfEmpty(study);
    files.finish();
    return true;
}

} // namespace

bool Remove(RemovalLevel level, qlonglong key, const DeletionReport &report, const RemovalOptions &options)
{
    return removeAndTell(levelOf(level), {key}, report, options);
}

bool RemoveImages(const QStringList &imageUids, const DeletionReport &report, const RemovalOptions &options)
{
    QVariantList keys;
    for (const QString &uid : imageUids)
        keys << uid;
    return removeAndTell(Level::Image, keys, report, options);
}

Result RemovePatientIfEmpty(qlonglong patientKey)
{
    const QString where = QStringLiteral("EditForm PatientSenden");
    Transaction t(where);
    const DbResult r = t.query(QStringLiteral("DELETE FROM tblPatienten WHERE PatID = ? AND NOT EXISTS (SELECT 1 FROM tblStudies WHERE FKeyPATID = ?)"),
                               {patientKey, patientKey});
    if (!t.ok())
        return r;
    const DbResult left = t.query(QStringLiteral("SELECT COUNT(*) AS n FROM tblStudies WHERE FKeyPATID = ?"), {patientKey});
    if (!t.commit())
        return Result::failure(ErrorCode::DbNotOpen, QStringLiteral("The patient's row could not be removed."));
    if (r.rowsAffected == 0 && left.first(QStringLiteral("n")).toLongLong() > 0)
        return Result::failure(ErrorCode::InvalidCall, QStringLiteral("The patient keeps studies filed since the send began; her row stays."));
    return {};
}

namespace {

// Every patient with her studies and their images, as the emptying will take
// them: read just before, so that the trail names what went. Empty with
// ok false when the rows cannot be read (logged).
QList<AuditPatient> everyPatient(const QString &where, bool *ok)
{
    QList<AuditPatient> patients;
    Transaction t(where);
    const DbResult rows = t.query(QStringLiteral("SELECT p.PatID, p.PatID1, p.PatNachname, p.PatVorname, s.StudyUID, i.SOPClassUID FROM tblPatienten p "
                                                 "LEFT JOIN tblStudies s ON s.FKeyPATID = p.PatID LEFT JOIN tblSeries r ON r.FKeyStudyID = s.StudyID "
                                                 "LEFT JOIN tblImages i ON i.FKeySeriesID = r.SeriesID ORDER BY p.PatID, s.StudyID, r.SeriesID, i.ImageID"),
                                  {});
    *ok = t.ok() && t.commit();
    if (!*ok)
        return {};
    qlonglong last = -1;
    for (const QSqlRecord &row : rows.rows) {
        const QString id = row.value(1).toString();
        const QString name = personName(row.value(2).toString(), row.value(3).toString());
        // A patient without studies is named all the same.
        if (row.value(4).isNull()) {
            if (row.value(0).toLongLong() != last)
                patients.append({id, name, {}});
        } else {
            AddAuditInstance(patients, id, name, row.value(4).toString(), row.value(5).isNull() ? QString() : row.value(5).toString());
        }
        last = row.value(0).toLongLong();
    }
    return patients;
}

} // namespace

bool DeleteAllFromDatabase(const DeletionReport &report)
{
    say(report, QStringLiteral("Removing database entries ... "));
    bool readable = false;
    const QList<AuditPatient> removed = everyPatient(QStringLiteral("EditForm DeleteAllTimer"), &readable);
    if (!readable) {
        // What would go could not be named in the trail: nothing goes.
        say(report, QStringLiteral("failed\r\n"));
        return false;
    }
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
            // The template is the journal's and carries the journal's schema
            // version, and image tables as old as the journal file: the
            // emptied database is marked as the first version and brought
            // up by the image steps below, or every program would take it for
            // another version's file.
            if (restored)
                restored = sqlite3_exec(dst, "PRAGMA user_version = 0", nullptr, nullptr, nullptr) == SQLITE_OK;
            if (!restored)
                LogFailure(Result::failure(sqlite3_errcode(dst), QString::fromUtf8(sqlite3_errmsg(dst))), QStringLiteral("EditForm DeleteAllTimer"));
        }
        sqlite3_close(src);
        sqlite3_close(dst);
    }
    if (restored) {
        // A connection of its own: the station's turns foreign keys on, under
        // which a step's rebuild of a table would delete what references it.
        Database emptied(QStringLiteral("ImageDatabaseEmptied"), QStringLiteral("EditForm DeleteAllTimer"));
        emptied.setPath(target);
        const Result upgraded = emptied.open() ? UpgradeSchema(emptied, ImageSchemaSteps()) : emptied.error();
        emptied.close();
        if (!upgraded.ok()) {
            LogFailure(upgraded, QStringLiteral("EditForm DeleteAllTimer"));
            restored = false;
        }
    }
    say(report, restored ? QStringLiteral("OK\r\n") : QStringLiteral("failed\r\n"));
    if (!restored)
        return false; // the rows stay, and so do their images
    // A record per patient, each of her studies as a whole: one record for a
    // full database would outgrow what a syslog repository takes in one message.
    for (const AuditPatient &patient : removed)
        AuditDeletion({patient}, true);
    say(report, QStringLiteral("Removing images ... "));
    // The rows went all at once: each study folder loses every file no row
    // holds now, which leaves what the receiver filed since.
    ImageFiles files(report, QStringLiteral("EditForm DeleteAllTimer"));
    const QStringList folders = files.studies();
    if (report.progress)
        report.progress(0, int(folders.size()));
    for (int i = 0; i < folders.size(); ++i) {
        files.removeAllImages(folders[i]);
        files.removeFolderIfEmpty(folders[i]);
        if (report.progress)
            report.progress(i + 1, int(folders.size()));
    }
    files.finish(false);
    return restored;
}

bool DeleteImageFromDatabase(const QString &imageUid, const QString &)
{
    return RemoveImages({imageUid}, DeletionReport(), {.emptiedParents = EmptiedParents::Kept, .logPlace = QStringLiteral("MainForm PopupDeleteImage")});
}

bool DeleteImageListFromDatabase(const QStringList &imageUids, const DeletionReport &report, const QString &setAsideIn)
{
    // The header change that rewrote them is audited as such.
    return RemoveImages(imageUids, report, {.emptiedParents = EmptiedParents::Removed, .audited = false, .setAsideIn = setAsideIn});
}

bool DeleteImageRows(const QList<qlonglong> &imageIds)
{
    Transaction t(QStringLiteral("EditForm cmdOK_Click"));
    for (qlonglong id : imageIds)
        t.run(QStringLiteral("DELETE FROM tblImages WHERE ImageID = ?"), {id});
    return t.commit();
}
