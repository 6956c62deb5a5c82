#include "transfer/Import.h"

#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "jobs/EditForm.h"
#include "toolkit/Toolkit.h"
#include "transfer/MediaPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QProgressBar>

ImportFiles ImportFilesFrom(const QStringList &chosen)
{
    ImportFiles out;
    if (chosen.size() <= 1) {
        out.files = chosen;
        return out;
    }
    out.files << QFileInfo(chosen.first()).absolutePath();
    for (const QString &path : chosen)
        out.files << QFileInfo(path).fileName();
    out.multi = true;
    return out;
}

namespace {

enum class Imported { Written, AlreadyThere, Skipped };

// Reads one file and writes its image into temp/; a failure is logged at place.
Imported importFile(const QString &source, bool keepExisting, const QString &place)
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

void finish(EditForm &form, const QString &countLine, int skipped)
{
    form.append(QStringLiteral("OK\r\n") + countLine);
    if (skipped > 0)
        form.append(QStringLiteral("%1 file(s) skipped, see the error log.\r\n").arg(skipped));
    form.append(QStringLiteral("Tasks done."));
    form.enableOK();
}

// The image records of a DICOMDIR, patient, study, series, image, in its
// order; deleted (inactive) records and what hangs below them are left out.
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

void ImportTimer(EditForm &form, const ImportFiles &chosen)
{
    const QStringList &files = chosen.files;
    form.append(QStringLiteral("Importing image(s) ... "));
    int count = 0;
    int skipped = 0;
    if (!chosen.multi) {
        form.setProgressMaximum(1);
        if (files.isEmpty() || importFile(files.first(), false, QStringLiteral("EditForm ImportTimer ERROR_IMPORT_SINGLE")) == Imported::Skipped)
            ++skipped;
        else
            ++count;
        form.advance();
        finish(form, QStringLiteral("%1 image(s) successfully imported.\r\n").arg(count), skipped);
        return;
    }
    form.setProgressMaximum(int(files.size()) - 1);
    for (int i = 1; i < files.size(); ++i) {
        // A duplicate already there counts as imported: the image is in temp/.
        if (importFile(files.first() + QLatin1Char('/') + files.at(i), true,
                       QStringLiteral("EditForm ImportTimer ERROR_IMPORT_MULTI"))
            == Imported::Skipped)
            ++skipped;
        else
            ++count;
        form.advance();
    }
    finish(form, QStringLiteral("%1 image(s) successfully imported.\r\n").arg(count), skipped);
}

void ImportDirTimer(EditForm &form, const QString &dicomdir)
{
    const QString place = QStringLiteral("EditForm ImportDirTimer");
    form.append(QStringLiteral("Importing DICOM-Dir ... "));
    QList<ToolkitDirectoryRecord> records;
    Result e;
    if (!ReadDirectory(dicomdir, records, &e)) {
        WriteErrorLog(e.number, e.text, place);
        form.append(QStringLiteral("failed\r\n") + e.text);
        form.enableOK();
        return;
    }
    const QList<ToolkitDirectoryRecord> images = imageRecords(records);
    const QString folder = QFileInfo(dicomdir).absolutePath();
    form.setProgressMaximum(int(images.size()));
    int count = 0;
    int skipped = 0;
    for (const ToolkitDirectoryRecord &image : images) {
        Result unresolved;
        const QString file = ResolveReferencedFile(folder, image.fileId.values, &unresolved);
        if (file.isEmpty()) {
            WriteErrorLog(unresolved.number, dicomdir + QStringLiteral(": ") + unresolved.text, place);
            ++skipped;
        } else if (importFile(file, false, place) == Imported::Skipped) {
            ++skipped;
        } else {
            ++count;
        }
        form.advance();
    }
    finish(form, QStringLiteral("%1 image(s) imported\r\n").arg(count), skipped);
}
