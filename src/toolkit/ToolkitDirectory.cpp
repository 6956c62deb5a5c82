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
#include <QTemporaryDir>

#include <functional>

struct ToolkitDirectory::Impl {
    DicomDirInterface dir;
    QString folder;
    QMap<QString, QString> groupFolders; // group key -> "DICOM/K0000001"
    QMap<QString, QString> listed;       // SOP Instance UID -> its file, relative
};

ToolkitDirectory::ToolkitDirectory() = default;
ToolkitDirectory::~ToolkitDirectory() = default;

namespace {

QString qs(const OFString &s) { return QString::fromUtf8(s.c_str()); }

bool fail(ToolkitError *error, qint32 number, const QString &text)
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

} // namespace

bool ReadDirectory(const QString &path, QList<ToolkitDirectoryRecord> &records, ToolkitError *error)
{
    records.clear();
    if (!QFileInfo(path).isFile())
        return fail(error, ToolkitErrors::FileMissing, QStringLiteral("File not found: %1").arg(path));
    {
        DcmFileFormat ff;
        const OFCondition c = ff.loadFile(QFile::encodeName(path).constData());
        if (c.bad())
            return fail(error, ToolkitErrors::NotReadable, QStringLiteral("%1: %2").arg(path, qs(c.text())));
        OFString cls;
        ff.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, cls);
        if (cls != UID_MediaStorageDirectoryStorage || !ff.getDataset()->tagExists(DCM_DirectoryRecordSequence))
            return fail(error, ToolkitErrors::NotReadable, QStringLiteral("%1: not a DICOMDIR").arg(path));
    }
    // The directory object may write back what it corrects when it goes: it
    // reads a copy, so a medium is never written to.
    QTemporaryDir scratch;
    const QString copy = scratch.path() + QStringLiteral("/DICOMDIR");
    if (!scratch.isValid() || !QFile::copy(path, copy))
        return fail(error, ToolkitErrors::NotReadable, QStringLiteral("%1: cannot be copied for reading").arg(path));
    DcmDicomDir dir(QFile::encodeName(copy).constData());
    if (dir.error().bad())
        return fail(error, ToolkitErrors::NotReadable, QStringLiteral("%1: %2").arg(path, qs(dir.error().text())));
    DcmDirectoryRecord &root = dir.getRootRecord();
    for (unsigned long i = 0; i < root.cardSub(); ++i)
        if (DcmDirectoryRecord *sub = root.getSub(i))
            records.append(recordOf(*sub));
    return true;
}

bool OpenDirectory(ToolkitDirectory &directory, const QString &folder, ToolkitError *error)
{
    RegisterToolkitCodecs();
    directory.d = std::make_unique<ToolkitDirectory::Impl>();
    ToolkitDirectory::Impl &d = *directory.d;
    d.folder = folder;
    // Missing type 1 keys are made up rather than losing the image from the file-set.
    d.dir.enableInventMode(OFTrue);
    d.dir.enableInventPatientIDMode(OFTrue);
    const QString path = folder + QStringLiteral("/DICOMDIR");
    const QByteArray file = QFile::encodeName(path);
    const bool append = QFileInfo::exists(path);
    if (append) {
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
    const OFCondition c = append
                              ? d.dir.appendToDicomDir(DicomDirInterface::AP_GeneralPurpose, file.constData())
                              : d.dir.createNewDicomDir(DicomDirInterface::AP_GeneralPurpose, file.constData(), "LUMORA");
    if (c.bad()) {
        directory.d.reset();
        return fail(error, ToolkitErrors::NotReadable, QStringLiteral("%1/DICOMDIR: %2").arg(folder, qs(c.text())));
    }
    return true;
}

bool AddToDirectory(ToolkitDirectory &directory, const ToolkitImagePtr &image, const QString &groupKey,
                    QString *relativePath, ToolkitError *error, QStringList *notes)
{
    if (!directory.d)
        return fail(error, ToolkitErrors::WriteFailed, QStringLiteral("No directory opened"));
    DcmFileFormat *source = ToolkitFileFormat(image);
    if (!source)
        return fail(error, ToolkitErrors::NoImage, QStringLiteral("No image"));
    ToolkitDirectory::Impl &d = *directory.d;
    OFString uid;
    source->getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
    if (const auto it = d.listed.constFind(qs(uid)); it != d.listed.constEnd()) {
        if (relativePath)
            *relativePath = *it;
        if (notes)
            notes->clear();
        return true;
    }

    // A copy, so the viewer's image keeps its own encoding.
    DcmFileFormat copy(*source);
    DcmDataset &ds = *copy.getDataset();
    const DcmXfer original(ds.getOriginalXfer());
    if (ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad() || !ds.canWriteXfer(EXS_LittleEndianExplicit))
        return fail(error, ToolkitErrors::NoPixels,
                    QStringLiteral("%1: the pixel data (%2) cannot be decompressed").arg(image->path(), QString::fromLatin1(original.getXferName())));
    if (original.isLossy())
        ds.putAndInsertString(DCM_LossyImageCompression, "01");
    if (notes)
        *notes = missingKeys(ds);

    QString &group = d.groupFolders[groupKey];
    if (group.isEmpty()) {
        group = QStringLiteral("DICOM/") + freeName(d.folder + QStringLiteral("/DICOM"), "K", 7);
        if (!QDir().mkpath(d.folder + QLatin1Char('/') + group)) {
            d.groupFolders.remove(groupKey);
            return fail(error, ToolkitErrors::WriteFailed, QStringLiteral("%1/%2: cannot create the folder").arg(d.folder, group));
        }
    }
    const QString relative = group + QLatin1Char('/') + freeName(d.folder + QLatin1Char('/') + group, "IM", 6);
    const QString path = d.folder + QLatin1Char('/') + relative;
    const bool written = WriteReplacing(
        path,
        [&](const QString &temp) {
            const OFCondition saved = copy.saveFile(QFile::encodeName(temp).constData(), EXS_LittleEndianExplicit, EET_ExplicitLength,
                                                    EGL_recalcGL, EPD_noChange, 0, 0, EWM_updateMeta);
            return saved.good() ? QString() : qs(saved.text());
        },
        error);
    if (!written)
        return false;
    const OFCondition c = d.dir.addDicomFile(QFile::encodeName(relative).constData(), QFile::encodeName(d.folder).constData());
    if (c.bad()) {
        QFile::remove(path);
        return fail(error, ToolkitErrors::WriteFailed, QStringLiteral("%1: not taken into the DICOMDIR: %2").arg(path, qs(c.text())));
    }
    d.listed.insert(qs(uid), relative);
    if (relativePath)
        *relativePath = relative;
    return true;
}

bool WriteDirectory(ToolkitDirectory &directory, ToolkitError *error)
{
    if (!directory.d)
        return fail(error, ToolkitErrors::WriteFailed, QStringLiteral("No directory opened"));
    const OFCondition c = directory.d->dir.writeDicomDir();
    if (c.bad())
        return fail(error, ToolkitErrors::WriteFailed, QStringLiteral("%1/DICOMDIR: %2").arg(directory.d->folder, qs(c.text())));
    return true;
}

QStringList DirectoryFiles(const ToolkitDirectory &directory)
{
    return directory.d ? QStringList(directory.d->listed.values()) : QStringList();
}
