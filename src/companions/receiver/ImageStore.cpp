#include "companions/receiver/ImageStore.h"

#include "core/ApplicationFolder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Flushes a file or folder to the disk; the errno on failure.
int syncPath(const QString &path, bool directory)
{
    const int fd = ::open(QFile::encodeName(path).constData(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int rc = ::fsync(fd);
    const int err = rc == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

bool renamePath(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

void removePath(const QString &path)
{
    ::unlink(QFile::encodeName(path).constData());
}

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace

bool IsSafeUidName(const QString &uid)
{
    // Anchored as a whole: "$" alone would let a trailing newline through.
    static const QRegularExpression re(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_-]+(\\.[A-Za-z0-9_-]+)*")));
    return uid.size() <= 64 && re.match(uid).hasMatch();
}

bool DiskNearlyFull(const QString &path, qint64 minimumBytes)
{
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return false; // unknown: let the write itself tell
    return static_cast<qint64>(st.f_bavail) * static_cast<qint64>(st.f_frsize) < minimumBytes;
}

ImageStore::ImageStore(const QString &applicationFolder)
    : images_(applicationFolder + QLatin1Char('/') + QLatin1String(AppFiles::ImagesFolder)),
      rejected_(applicationFolder + QLatin1Char('/') + QLatin1String(AppFiles::ImportFolder) + QStringLiteral("/rejected")),
      staging_(images_ + QStringLiteral("/.incoming")),
      db_(QStringLiteral("ReceiverImages"), QStringLiteral("LumoraReceiver"))
{
    db_.setPath(applicationFolder + QLatin1Char('/') + QLatin1String(AppFiles::ImageDatabase));
    // The same dozen statements run for every object received.
    db_.setKeepStatements(true);
    // Its removals of emptied rows obey the schema's references, as the station's do.
    db_.setForeignKeys(true);
}

ImageStore::~ImageStore() { closeDatabase(); }

Result ImageStore::openDatabase()
{
    if (db_.isOpen())
        return {};
    if (!db_.open())
        return db_.error();
    // Every commit reaches the disk before the sender hears success.
    const DbResult r = Execute(db_, QStringLiteral("PRAGMA synchronous = FULL"));
    if (!r.ok()) {
        db_.close();
        return r;
    }
    return {};
}

void ImageStore::closeDatabase() { db_.close(); }

QString ImageStore::newStagingPath()
{
    if (!QFileInfo(staging_).isDir())
        QDir().mkpath(staging_);
    return staging_ + QStringLiteral("/%1-%2-%3.part")
                          .arg(QCoreApplication::applicationPid())
                          .arg(QDateTime::currentMSecsSinceEpoch())
                          .arg(++counter_);
}

QString ImageStore::imagePath(const QString &studyUid, const QString &sopUid) const
{
    return images_ + QLatin1Char('/') + studyUid + QLatin1Char('/') + sopUid + QStringLiteral(".dcm");
}

void ImageStore::removeLeftovers()
{
    QDir staging(staging_);
    for (const QString &name : staging.entryList(QDir::Files | QDir::Hidden))
        staging.remove(name);
    const QStringList studies = QDir(images_).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &study : studies) {
        QDir dir(images_ + QLatin1Char('/') + study);
        for (const QString &name : dir.entryList({QStringLiteral(".*.part"), QStringLiteral(".*.old")}, QDir::Files | QDir::Hidden))
            dir.remove(name);
    }
}

ImageStore::Filing ImageStore::store(const ReceivedObject &object, const QString &staged, RefusedFile refused)
{
    Filing result;
    if (!IsSafeUidName(object.studyUid) || !IsSafeUidName(object.sopUid) || object.seriesUid.isEmpty()) {
        removePath(staged);
        result.outcome = Outcome::Rejected;
        result.message = QStringLiteral("refused: unusable Study/Series/SOP Instance UID (study \"%1\", series \"%2\", SOP \"%3\")")
                             .arg(object.studyUid.left(80), object.seriesUid.left(80), object.sopUid.left(80));
        return result;
    }
    const QString studyDir = images_ + QLatin1Char('/') + object.studyUid;
    const bool newFolder = !QFileInfo(studyDir).isDir();
    if (newFolder && !QDir().mkpath(studyDir)) {
        removePath(staged);
        result.message = QStringLiteral("cannot create folder %1").arg(studyDir);
        return result;
    }
    if (newFolder)
        syncPath(images_, true);
    const QString part = studyDir + QStringLiteral("/.") + object.sopUid + QStringLiteral(".part");
    if (!renamePath(staged, part)) {
        result.message = QStringLiteral("cannot move received file into %1: %2").arg(studyDir, errnoText(errno));
        removePath(staged);
        return result;
    }
    if (const int err = syncPath(part, false)) {
        removePath(part);
        result.outcome = err == ENOSPC || err == EDQUOT ? Outcome::DiskFull : Outcome::Failed;
        result.message = QStringLiteral("cannot flush %1: %2").arg(part, errnoText(err));
        return result;
    }
    if (const Result opened = openDatabase(); !opened) {
        removePath(part);
        result.message = QStringLiteral("image database: ") + opened.text;
        return result;
    }
    return storeLocked(object, part, imagePath(object.studyUid, object.sopUid), studyDir, refused);
}

QString ImageStore::keepRejected(const QString &file, const QString &sopUid)
{
    if (!QDir().mkpath(rejected_))
        return {};
    QString target = rejected_ + QLatin1Char('/') + sopUid + QStringLiteral(".dcm");
    for (int n = 1; QFileInfo::exists(target) && n < 1000; ++n)
        target = rejected_ + QLatin1Char('/') + sopUid + QStringLiteral("-%1.dcm").arg(n);
    // Another file system than images/ is possible: QFile copies then.
    return QFile::rename(file, target) ? target : QString();
}

ImageStore::Filing ImageStore::storeLocked(const ReceivedObject &o, const QString &part, const QString &final, const QString &studyDir,
                                           RefusedFile refused)
{
    Filing result;
    const DbResult begin = Execute(db_, QStringLiteral("BEGIN IMMEDIATE"));
    if (!begin.ok()) {
        removePath(part);
        result.message = QStringLiteral("image database busy or unwritable: ") + begin.text;
        return result;
    }
    const QString backup = studyDir + QStringLiteral("/.") + o.sopUid + QStringLiteral(".old");
    bool backedUp = false;
    bool renamed = false;
    auto fail = [&](const QString &message) {
        Execute(db_, QStringLiteral("ROLLBACK"));
        if (renamed) {
            if (backedUp)
                renamePath(backup, final);
            else
                removePath(final);
        } else {
            removePath(part);
            if (backedUp)
                removePath(backup);
        }
        result.outcome = Outcome::Failed;
        result.message = message;
        return result;
    };

    const PlaceLookup found = PlaceOfImage(db_, o.sopUid);
    if (!found.ok())
        return fail(found.text);
    const ImagePlace before = found.place.value_or(ImagePlace());
    const QString &oldStudyUid = before.studyUid;

    // The study's patient is the one it is filed under; an object naming
    // another is refused rather than taking the study (and every image in
    // it) along to its patient.
    const OwnerLookup owner = PatientOfStudy(db_, o.studyUid);
    if (!owner.ok())
        return fail(owner.text);
    if (const QString filedUnder = owner.patientId.value_or(o.patientId); filedUnder != o.patientId) {
        Execute(db_, QStringLiteral("ROLLBACK"));
        result.outcome = Outcome::Rejected;
        result.message = QStringLiteral("refused: study %1 is filed under Patient ID \"%2\", the object names Patient ID \"%3\"")
                             .arg(o.studyUid, filedUnder, o.patientId);
        if (refused == RefusedFile::KeepInRejected)
            result.kept = keepRejected(part, o.sopUid);
        if (result.kept.isEmpty())
            removePath(part);
        result.message += result.kept.isEmpty() ? (refused == RefusedFile::KeepInRejected ? QStringLiteral("; it could not be kept") : QString())
                                                : QStringLiteral("; kept as %1").arg(result.kept);
        return result;
    }

    if (const Result filed = FileObjectRows(db_, o); !filed)
        return fail(filed.text);
    if (const Result pruned = found.place ? RemoveEmptiedPlace(db_, before) : Result(); !pruned)
        return fail(pruned.text);
    const Result receipt = AddReceipt(db_, o.patientId, o.sopUid, QDateTime::currentDateTime().toString(Qt::ISODate));
    if (!receipt.ok())
        return fail(receipt.text);

    // The previous file stays reachable until the rows that describe the new one are committed.
    const QByteArray finalName = QFile::encodeName(final);
    if (QFileInfo::exists(final)) {
        removePath(backup);
        if (::link(finalName.constData(), QFile::encodeName(backup).constData()) != 0)
            return fail(QStringLiteral("cannot keep the previous %1: %2").arg(final, errnoText(errno)));
        backedUp = true;
    }
    if (!renamePath(part, final))
        return fail(QStringLiteral("cannot rename to %1: %2").arg(final, errnoText(errno)));
    renamed = true;
    if (const int err = syncPath(studyDir, true))
        return fail(QStringLiteral("cannot flush %1: %2").arg(studyDir, errnoText(err)));
    const DbResult commit = Execute(db_, QStringLiteral("COMMIT"));
    if (!commit.ok())
        return fail(QStringLiteral("commit failed: ") + commit.text);

    if (backedUp)
        removePath(backup);
    if (!oldStudyUid.isEmpty() && oldStudyUid != o.studyUid && IsSafeUidName(oldStudyUid))
        removePath(imagePath(oldStudyUid, o.sopUid));
    result.outcome = Outcome::Stored;
    result.replaced = found.place.has_value();
    return result;
}
