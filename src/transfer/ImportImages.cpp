#include "transfer/ImportImages.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "toolkit/Toolkit.h"
#include "transfer/MediaPaths.h"

#include <QDir>
#include <QFileInfo>

namespace {

QList<ToolkitDirectoryRecord> imageRecords(const QList<ToolkitDirectoryRecord> &records, int level = 1)
{
    QList<ToolkitDirectoryRecord> out;
    for (const ToolkitDirectoryRecord &r : records) {
        if (!r.inUse)
            continue;
        if (level < 4)
            out += imageRecords(r.children, level + 1);
        else if (r.type.compare(QLatin1String("IMAGE"), Qt::CaseInsensitive) == 0)
            out << r;
    }
    return out;
}

} // namespace

Imported ImportImageFile(const QString &source, bool keepExisting, const QString &place)
{
    ToolkitImageList list;
    Result e;
    if (!ReadFileIntoList(list, source, &e)) {
        WriteErrorLog(e.number, e.text, place);
        return Imported::Skipped;
    }
    const ToolkitImagePtr image = ListItem(list, 1);
    const QString uid = ImageUid(image);
    // The UID becomes a file name: anything else than a UID never becomes a path.
    if (!IsValidUid(uid)) {
        WriteErrorLog(ErrorCode::NotReadable,
                      QStringLiteral("%1: SOP Instance UID \"%2\" is not a valid UID; not imported").arg(source, uid.left(80)), place);
        return Imported::Skipped;
    }
    const QString folder = AppPath(QString::fromLatin1(AppFiles::ImportFolder));
    QDir().mkpath(folder);
    const QString target = folder + QLatin1Char('/') + uid + QStringLiteral(".dcm");
    if (keepExisting && QFileInfo::exists(target))
        return Imported::AlreadyThere;
    if (!WriteDicomFile(image, target, &e)) {
        WriteErrorLog(e.number, e.text, place);
        return Imported::Skipped;
    }
    return Imported::Written;
}

DirectoryImport ImportDirectory(const QString &dicomdir, const QString &place, const std::function<void(int)> &started,
                                const std::function<void()> &done)
{
    DirectoryImport out;
    QList<ToolkitDirectoryRecord> records;
    Result e;
    if (!ReadDirectory(dicomdir, records, &e)) {
        WriteErrorLog(e.number, e.text, place);
        static_cast<Result &>(out) = e;
        return out;
    }
    const QList<ToolkitDirectoryRecord> images = imageRecords(records);
    const QString folder = QFileInfo(dicomdir).absolutePath();
    if (started)
        started(int(images.size()));
    for (const ToolkitDirectoryRecord &image : images) {
        Result unresolved;
        const QString file = ResolveReferencedFile(folder, image.fileId.values, &unresolved);
        if (file.isEmpty()) {
            WriteErrorLog(unresolved.number, dicomdir + QStringLiteral(": ") + unresolved.text, place);
            ++out.skipped;
        } else if (ImportImageFile(file, false, place) == Imported::Skipped) {
            ++out.skipped;
        } else {
            ++out.imported;
        }
        if (done)
            done();
    }
    return out;
}
