#include "transfer/ZipArchive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <zip.h>

QString ZipArchiveName(const std::optional<QString> &answer, const QTime &now)
{
    const QString name = answer ? answer->trimmed() : QString();
    if (name.isEmpty())
        return now.toString(QStringLiteral("HHmmss")) + QStringLiteral(".zip");
    return name.right(4).compare(QLatin1String(".zip"), Qt::CaseInsensitive) == 0 ? name : name + QStringLiteral(".zip");
}

bool IsPlainArchiveName(const QString &name)
{
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

QString FreeArchivePath(const QString &folder, const QString &name)
{
    QString path = folder + QLatin1Char('/') + name;
    const QString stem = name.left(name.size() - 4);
    const QString extension = name.right(4);
    for (int n = 1; QFileInfo::exists(path); ++n)
        path = folder + QLatin1Char('/') + stem + QStringLiteral("_%1").arg(n) + extension;
    return path;
}

Result WriteZipArchive(const QString &archivePath, const QString &folder, const QStringList &files, const QMap<QString, QString> &entryNames)
{
    int code = 0;
    // ZIP_EXCL: an archive that appeared meanwhile is not touched.
    zip_t *archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_CREATE | ZIP_EXCL, &code);
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        const Result failed = Result::failure(ErrorCode::WriteFailed, QStringLiteral("%1: %2").arg(archivePath, QString::fromLocal8Bit(zip_error_strerror(&error))));
        zip_error_fini(&error);
        return failed;
    }
    const QDir base(folder);
    for (const QString &file : files) {
        zip_source_t *source = zip_source_file(archive, QFile::encodeName(file).constData(), 0, -1);
        const QByteArray entry = entryNames.value(file, base.relativeFilePath(file)).toUtf8();
        const zip_int64_t index = source ? zip_file_add(archive, entry.constData(), source, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (source)
                zip_source_free(source);
            const Result failed = Result::failure(ErrorCode::WriteFailed, QStringLiteral("%1: %2").arg(file, QString::fromLocal8Bit(zip_strerror(archive))));
            zip_discard(archive);
            return failed;
        }
        // Level 3: on 12- to 16-bit pixel data the lazy matching of the higher
        // levels costs about 40% more time for no smaller archive.
        zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_DEFLATE, 3);
    }
    // libzip writes a temporary file and renames it only when everything is in.
    if (zip_close(archive) != 0) {
        const Result failed = Result::failure(ErrorCode::WriteFailed, QStringLiteral("%1: %2").arg(archivePath, QString::fromLocal8Bit(zip_strerror(archive))));
        zip_discard(archive);
        return failed;
    }
    return {};
}
