// DICOM directories: reading a medium's DICOMDIR, and writing file-sets of
// the General Purpose profile for exports.
#include "toolkit/Toolkit.h"
#include "toolkit/ToolkitInternal.h"

#include "toolkit/Codecs.h"

#include <dcmtk/dcmdata/dcddirif.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmdata/dcdirrec.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <exception>
#include <functional>

struct ToolkitDirectory::Impl {
    QString folder;
    bool existed = false;                // the folder had a DICOMDIR
    QMap<QString, QString> groupFolders; // group key -> "DICOM/K0000001"
    QMap<QString, QString> listed;       // SOP Instance UID -> its file, relative
    QMap<QString, QString> taken;        // this export's instances -> their files
    QStringList takenOrder;              // this export's files, in its order
    QStringList added;                   // files new to the folder
    QSet<QString> rewritten;             // listed instances whose file changed
    QTemporaryDir scratch;
    DicomDirInterface own;               // the file-set of this export alone
    bool ownWritten = false;
};

ToolkitDirectory::ToolkitDirectory() = default;
ToolkitDirectory::~ToolkitDirectory() = default;

namespace {

QString qs(const OFString &s) { return QString::fromUtf8(s.c_str()); }

bool fail(Result *error, qint32 number, const QString &text)
{
    if (error)
        *error = {number, text};
    return false;
}

ToolkitDirectoryRecord recordOf(DcmDirectoryRecord &item)
{
    ToolkitDirectoryRecord r;
    OFString v;
    if (item.findAndGetOFString(DCM_DirectoryRecordType, v).good())
        r.type = qs(v).trimmed();
    Uint16 flag = 0xFFFF;
    if (item.findAndGetUint16(DCM_RecordInUseFlag, flag).good())
        r.inUse = flag != 0;
    if (item.findAndGetOFString(DCM_ReferencedSOPInstanceUIDInFile, v).good())
        r.instanceUid = qs(v).trimmed();
    if (item.findAndGetOFStringArray(DCM_ReferencedFileID, v).good() && !v.empty()) {
        r.fileId.exists = true;
        r.fileId.values = qs(v).split(QLatin1Char('\\'));
        r.fileId.value = r.fileId.values.join(QLatin1Char('|'));
    }
    for (unsigned long i = 0; i < item.cardSub(); ++i)
        if (DcmDirectoryRecord *sub = item.getSub(i))
            r.children.append(recordOf(*sub));
    return r;
}

// The first name of the pattern not taken in folder, counting from 1.
QString freeName(const QString &folder, const char *pattern, int width)
{
    for (int n = 1;; ++n) {
        const QString name = QString::fromLatin1(pattern) + QStringLiteral("%1").arg(n, width, 10, QLatin1Char('0'));
        if (!QFileInfo::exists(folder + QLatin1Char('/') + name))
            return name;
    }
}

// The record keys a file-set needs that the image lacks; the directory invents them.
QStringList missingKeys(DcmDataset &ds)
{
    static const struct {
        DcmTagKey tag;
        const char *name;
    } keys[] = {{DCM_PatientID, "Patient ID"},         {DCM_StudyDate, "Study Date"},
                {DCM_StudyTime, "Study Time"},         {DCM_StudyID, "Study ID"},
                {DCM_SeriesNumber, "Series Number"},   {DCM_InstanceNumber, "Instance Number"}};
    QStringList missing;
    for (const auto &k : keys) {
        OFString v;
        if (ds.findAndGetOFString(k.tag, v).bad() || v.empty())
            missing << QString::fromLatin1(k.name);
    }
    return missing;
}

bool readDirectory(const QString &path, QList<ToolkitDirectoryRecord> &records, Result *error)
{
    if (!QFileInfo(path).isFile())
        return fail(error, ErrorCode::FileNotFound, QStringLiteral("File not found: %1").arg(path));
    {
        DcmFileFormat ff;
        const OFCondition c = ff.loadFile(QFile::encodeName(path).constData());
        if (c.bad())
            return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: %2").arg(path, qs(c.text())));
        OFString cls;
        ff.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, cls);
        if (cls != UID_MediaStorageDirectoryStorage || !ff.getDataset()->tagExists(DCM_DirectoryRecordSequence))
            return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: not a DICOMDIR").arg(path));
    }
    // The directory object may write back what it corrects when it goes: it
    // reads a copy, so a medium is never written to.
    QTemporaryDir scratch;
    const QString copy = scratch.path() + QStringLiteral("/DICOMDIR");
    if (!scratch.isValid() || !QFile::copy(path, copy))
        return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: cannot be copied for reading").arg(path));
    DcmDicomDir dir(QFile::encodeName(copy).constData());
    if (dir.error().bad())
        return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: %2").arg(path, qs(dir.error().text())));
    DcmDirectoryRecord &root = dir.getRootRecord();
    for (unsigned long i = 0; i < root.cardSub(); ++i)
        if (DcmDirectoryRecord *sub = root.getSub(i))
            records.append(recordOf(*sub));
    return true;
}

} // namespace

bool ReadDirectory(const QString &path, QList<ToolkitDirectoryRecord> &records, Result *error)
{
    records.clear();
    // DCMTK 3.6.7 throws out of its reading on some malformed records (a
    // Directory Record Type longer than its record: std::out_of_range from
    // DcmByteString::verify); such a file is unreadable, not the end of the program.
    try {
        return readDirectory(path, records, error);
    } catch (const std::exception &e) {
        records.clear();
        return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: not a readable DICOMDIR (%2)").arg(path, QString::fromLocal8Bit(e.what())));
    }
}

namespace {

// A listed file name this folder's file-set may be written to: components of
// the profile's repertoire only, so a DICOMDIR found there never steers a
// write out of the folder.
bool isOwnFileId(const QString &relative)
{
    static const QRegularExpression component(QStringLiteral("^[A-Z0-9_]{1,8}$"));
    const QStringList parts = relative.split(QLatin1Char('/'));
    if (parts.size() > 8)
        return false;
    for (const QString &p : parts)
        if (!component.match(p).hasMatch())
            return false;
    return true;
}

bool sameContent(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd())
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    return true;
}

// The Referenced File IDs below a record, "/" between the components.
void collectFiles(DcmDirectoryRecord &record, QStringList &files)
{
    OFString v;
    if (record.findAndGetOFStringArray(DCM_ReferencedFileID, v).good() && !v.empty())
        files << qs(v).split(QLatin1Char('\\')).join(QLatin1Char('/'));
    for (unsigned long i = 0; i < record.cardSub(); ++i)
        if (DcmDirectoryRecord *sub = record.getSub(i))
            collectFiles(*sub, files);
}

bool holdsInstance(DcmDirectoryRecord &record, const QSet<QString> &uids)
{
    OFString v;
    if (record.findAndGetOFString(DCM_ReferencedSOPInstanceUIDInFile, v).good() && uids.contains(qs(v).trimmed()))
        return true;
    for (unsigned long i = 0; i < record.cardSub(); ++i)
        if (DcmDirectoryRecord *sub = record.getSub(i); sub && holdsInstance(*sub, uids))
            return true;
    return false;
}

void prepareInterface(DicomDirInterface &dir)
{
    // Missing type 1 keys are made up rather than losing the image from the file-set.
    dir.enableInventMode(OFTrue);
    dir.enableInventPatientIDMode(OFTrue);
    dir.disableBackupMode(OFTrue);
}

} // namespace

bool OpenDirectory(ToolkitDirectory &directory, const QString &folder, Result *error)
{
    RegisterToolkitCodecs();
    directory.d = std::make_unique<ToolkitDirectory::Impl>();
    ToolkitDirectory::Impl &d = *directory.d;
    d.folder = folder;
    const QString path = folder + QStringLiteral("/DICOMDIR");
    d.existed = QFileInfo::exists(path);
    if (d.existed) {
        QList<ToolkitDirectoryRecord> records;
        if (!ReadDirectory(path, records, error)) {
            directory.d.reset();
            return false;
        }
        std::function<void(const QList<ToolkitDirectoryRecord> &)> collect = [&](const QList<ToolkitDirectoryRecord> &list) {
            for (const ToolkitDirectoryRecord &r : list) {
                if (r.inUse && !r.instanceUid.isEmpty() && r.fileId.exists)
                    d.listed.insert(r.instanceUid, r.fileId.values.join(QLatin1Char('/')));
                collect(r.children);
            }
        };
        collect(records);
    }
    // This export's own file-set, for its archive: the DICOMDIR goes to a
    // scratch folder, its records name the files in the export folder.
    prepareInterface(d.own);
    const OFCondition c = d.scratch.isValid()
                              ? d.own.createNewDicomDir(DicomDirInterface::AP_GeneralPurpose,
                                                        QFile::encodeName(d.scratch.path() + QStringLiteral("/DICOMDIR")).constData(), "LUMORA")
                              : EC_IllegalCall;
    if (c.bad()) {
        directory.d.reset();
        return fail(error, ErrorCode::WriteFailed, QStringLiteral("%1: the export's own DICOMDIR: %2").arg(folder, qs(c.text())));
    }
    return true;
}

bool AddToDirectory(ToolkitDirectory &directory, const ToolkitImagePtr &image, const QString &groupKey,
                    QString *relativePath, Result *error, QStringList *notes)
{
    if (!directory.d)
        return fail(error, ErrorCode::WriteFailed, QStringLiteral("No directory opened"));
    DcmFileFormat *source = ToolkitFileFormat(image);
    if (!source)
        return fail(error, ErrorCode::NoImage, QStringLiteral("No image"));
    ToolkitDirectory::Impl &d = *directory.d;
    OFString uidText;
    source->getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uidText);
    const QString uid = qs(uidText);
    if (d.taken.contains(uid)) { // twice in one export
        if (relativePath)
            *relativePath = d.taken.value(uid);
        if (notes)
            notes->clear();
        return true;
    }
    const auto listedAt = d.listed.constFind(uid);
    const bool listed = listedAt != d.listed.constEnd();
    if (listed && !isOwnFileId(*listedAt))
        return fail(error, ErrorCode::BadAttribute,
                    QStringLiteral("%1: the folder's DICOMDIR lists this instance as \"%2\", a name that is not written to; left out").arg(image->path(), *listedAt));

    // A copy, so the viewer's image keeps its own encoding.
    DcmFileFormat copy(*source);
    DcmDataset &ds = *copy.getDataset();
    const DcmXfer original(ds.getOriginalXfer());
    if (ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad() || !ds.canWriteXfer(EXS_LittleEndianExplicit))
        return fail(error, ErrorCode::NoPixels,
                    QStringLiteral("%1: the pixel data (%2) cannot be decompressed").arg(image->path(), QString::fromLatin1(original.getXferName())));
    if (original.isLossy())
        ds.putAndInsertString(DCM_LossyImageCompression, "01");
    if (notes)
        *notes = missingKeys(ds);

    QString relative;
    if (listed) {
        relative = *listedAt;
        const QString folder = QFileInfo(d.folder + QLatin1Char('/') + relative).absolutePath();
        if (!QDir().mkpath(folder))
            return fail(error, ErrorCode::WriteFailed, QStringLiteral("%1: cannot create the folder").arg(folder));
    } else {
        QString &group = d.groupFolders[groupKey];
        if (group.isEmpty()) {
            group = QStringLiteral("DICOM/") + freeName(d.folder + QStringLiteral("/DICOM"), "K", 7);
            if (!QDir().mkpath(d.folder + QLatin1Char('/') + group)) {
                d.groupFolders.remove(groupKey);
                return fail(error, ErrorCode::WriteFailed, QStringLiteral("%1/%2: cannot create the folder").arg(d.folder, group));
            }
        }
        relative = group + QLatin1Char('/') + freeName(d.folder + QLatin1Char('/') + group, "IM", 6);
    }
    const QString path = d.folder + QLatin1Char('/') + relative;
    const auto save = [&](const QString &temp) {
        const OFCondition saved = copy.saveFile(QFile::encodeName(temp).constData(), EXS_LittleEndianExplicit, EET_ExplicitLength,
                                                EGL_recalcGL, EPD_noChange, 0, 0, EWM_updateMeta);
        return saved.good() ? QString() : qs(saved.text());
    };
    bool changed = true;
    const bool written = WriteReplacing(
        path,
        [&](const QString &temp) {
            const QString why = save(temp);
            // The copy on the medium stays as it is when it is this version already.
            changed = !(why.isEmpty() && listed && sameContent(temp, path));
            return why;
        },
        error, [&] { return changed; });
    if (!written)
        return false;
    const OFCondition c = d.own.addDicomFile(QFile::encodeName(relative).constData(), QFile::encodeName(d.folder).constData());
    if (c.bad()) {
        if (!listed)
            QFile::remove(path);
        return fail(error, ErrorCode::WriteFailed, QStringLiteral("%1: not taken into the DICOMDIR: %2").arg(path, qs(c.text())));
    }
    if (!listed) {
        d.listed.insert(uid, relative);
        d.added << relative;
    } else if (changed) {
        d.rewritten.insert(uid);
    }
    d.taken.insert(uid, relative);
    d.takenOrder << relative;
    if (relativePath)
        *relativePath = relative;
    return true;
}

bool WriteDirectory(ToolkitDirectory &directory, Result *error)
{
    if (!directory.d)
        return fail(error, ErrorCode::WriteFailed, QStringLiteral("No directory opened"));
    ToolkitDirectory::Impl &d = *directory.d;
    const QString path = d.folder + QStringLiteral("/DICOMDIR");
    if (d.added.isEmpty() && d.rewritten.isEmpty() && d.existed)
        return true;
    if (!d.existed) { // a new file-set: this export's own DICOMDIR is the folder's
        QString own;
        if (!WriteOwnDirectory(directory, &own, error))
            return false;
        const bool copied = WriteReplacing(
            path,
            [&](const QString &temp) {
                QFile::remove(temp);
                return QFile::copy(own, temp) ? QString() : QStringLiteral("cannot copy %1").arg(own);
            },
            error);
        d.existed = copied;
        return copied;
    }
    QStringList toAdd = d.added;
    // Built beside the DICOMDIR and renamed over it once complete.
    const bool written = WriteReplacing(
        path,
        [&](const QString &temp) -> QString {
            const QByteArray file = QFile::encodeName(temp);
            if (d.existed) {
                QFile::remove(temp); // one left by a run that died
                if (!QFile::copy(path, temp))
                    return QStringLiteral("cannot be copied");
                // The patients of rewritten images get their records anew
                // from the files as they are now, with everything below them.
                if (!d.rewritten.isEmpty()) {
                    DcmDicomDir dir(file.constData());
                    if (dir.error().bad())
                        return qs(dir.error().text());
                    DcmDirectoryRecord &root = dir.getRootRecord();
                    QStringList again;
                    for (unsigned long i = root.cardSub(); i-- > 0;) {
                        DcmDirectoryRecord *patient = root.getSub(i);
                        if (patient && holdsInstance(*patient, d.rewritten)) {
                            collectFiles(*patient, again);
                            delete root.removeSub(i);
                        }
                    }
                    const OFCondition c = dir.write();
                    if (c.bad())
                        return qs(c.text());
                    for (const QString &f : std::as_const(again))
                        if (!toAdd.contains(f) && QFileInfo(d.folder + QLatin1Char('/') + f).isFile())
                            toAdd << f;
                }
            }
            DicomDirInterface dir;
            prepareInterface(dir);
            OFCondition c = d.existed ? dir.appendToDicomDir(DicomDirInterface::AP_GeneralPurpose, file.constData())
                                      : dir.createNewDicomDir(DicomDirInterface::AP_GeneralPurpose, file.constData(), "LUMORA");
            for (const QString &f : std::as_const(toAdd)) {
                if (c.bad())
                    break;
                c = dir.addDicomFile(QFile::encodeName(f).constData(), QFile::encodeName(d.folder).constData());
                if (c.bad())
                    return QStringLiteral("%1 not taken in: %2").arg(f, qs(c.text()));
            }
            if (c.good())
                c = dir.writeDicomDir();
            return c.good() ? QString() : qs(c.text());
        },
        error);
    if (written)
        d.existed = true;
    return written;
}

bool WriteOwnDirectory(ToolkitDirectory &directory, QString *path, Result *error)
{
    if (!directory.d)
        return fail(error, ErrorCode::WriteFailed, QStringLiteral("No directory opened"));
    if (!directory.d->ownWritten) {
        const OFCondition c = directory.d->own.writeDicomDir();
        if (c.bad())
            return fail(error, ErrorCode::WriteFailed, QStringLiteral("The export's own DICOMDIR: %1").arg(qs(c.text())));
        directory.d->ownWritten = true;
    }
    if (path)
        *path = directory.d->scratch.path() + QStringLiteral("/DICOMDIR");
    return true;
}

QStringList DirectoryFiles(const ToolkitDirectory &directory)
{
    return directory.d ? directory.d->takenOrder : QStringList();
}
