#pragma once

// The DICOM toolkit the rest of the workstation uses. DCMTK stays behind this
// header: callers see images, data sets, attributes and plain Qt types only.

#include <QColor>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

#include "toolkit/ImageList.h"
#include "toolkit/Result.h"
#include "toolkit/Tags.h"

#include <memory>

// What GetAttribute returns, also for an absent attribute. Text is decoded by
// the Specific Character Set that holds for it; text a data set made here
// holds before it joins an image is UTF-8.
struct ToolkitAttribute {
    bool exists = false;
    QString value;      // all values, joined by "|"
    QStringList values; // one entry per value
    // Set when the text could not be decoded by the image's Specific Character
    // Set; it is then shown as received (UTF-8 if valid, else byte for byte).
    QString charsetProblem;
    bool isMultiValued() const { return values.size() > 1; }
    // Value by 1-based index; empty outside the range.
    QString valueAt(int index) const { return index >= 1 && index <= values.size() ? values.at(index - 1) : QString(); }
};

class ToolkitDataSet;
using ToolkitSequence = QList<ToolkitDataSet>;

// One item of a sequence, or a free-standing attribute set. Copies share the item.
class ToolkitDataSet {
public:
    ToolkitDataSet();
    struct Impl;
    std::shared_ptr<Impl> d;
};

// How the viewer shows an image: display only, the file is never changed.
struct ToolkitDisplay {
    int rotation = 0;     // clockwise quarter turns, 0..3
    bool mirrorH = false; // left-right
    bool mirrorV = false; // top-bottom
};

// One DICOM image: its file's data set (pixel data stays on disk until needed)
// and its display state. Handled through ToolkitImagePtr.
class ToolkitImage {
public:
    ToolkitImage();
    ~ToolkitImage();
    ToolkitImage(const ToolkitImage &) = delete;
    ToolkitImage &operator=(const ToolkitImage &) = delete;

    // An image that could not be read: the viewer shows its tile as an empty frame.
    bool isValid() const;
    const QString &path() const { return path_; }
    ToolkitDisplay &display() { return display_; }
    const ToolkitDisplay &display() const { return display_; }
    // Bumped by every change of the data set; the viewer re-renders when it moves.
    quint64 revision() const { return revision_; }

    struct Impl;
    std::unique_ptr<Impl> d;
    QString path_;
    ToolkitDisplay display_;
    quint64 revision_ = 0;
};

// Reads a DICOM file and appends its image. False with the reason when the file
// is missing, not DICOM, truncated or holds pixel data no registered codec decodes;
// the list is unchanged then.
bool ReadFileIntoList(ToolkitImageList &list, const QString &path, Result *error = nullptr);
// Any DICOM object without drawing it (a structured report has no pixel data):
// a handle for writing and filing it, null with the reason when unreadable.
ToolkitImagePtr ReadDicomObject(const QString &path, Result *error = nullptr);
// An image handle that stands for a file that could not be read.
ToolkitImagePtr UnreadableImage(const QString &path);
int ListCount(const ToolkitImageList &list);
ToolkitImagePtr ListItem(const ToolkitImageList &list, int index); // 1-based; null outside
bool ListRemove(ToolkitImageList &list, const QString &sopInstanceUid); // the first with that UID
void ListClear(ToolkitImageList &list);

// Writes the image as a DICOM file, replacing one of that name only once the
// new one is complete (also when it is the file the image was read from).
bool WriteDicomFile(const ToolkitImagePtr &image, const QString &path, Result *error = nullptr);
// Gives back the memory of large values (the pixel data) that can be read
// again from the image's file when needed; the file must stay as it is.
void ReleaseReloadableValues(const ToolkitImagePtr &image);
// The rendered image as a picture file ("JPEG", ...), quality 0-100.
bool WriteImageFile(const ToolkitImagePtr &image, const QString &path, const QString &format, int quality,
                    Result *error = nullptr);

// SOP instance UID (0008,0018); the SOP class (0008,0016, also in the file meta) can be set.
QString ImageUid(const ToolkitImagePtr &image);
QString ImageSopClass(const ToolkitImagePtr &image);
bool SetImageSopClass(const ToolkitImagePtr &image, const QString &sopClassUid, Result *error = nullptr);

ToolkitAttribute GetAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element);
ToolkitAttribute GetAttribute(const ToolkitDataSet &dataSet, quint16 group, quint16 element);

// Adds the attribute or replaces its value. Text goes in as the dictionary's VR
// takes it ("|" separates several values), in the image's character set; an
// image whose set cannot hold the text (or a sequence's texts) moves to UTF-8
// (ISO_IR 192) with its present texts converted. A 16-bit integer is written as
// US/SS per the dictionary, as text for string VRs; a sequence replaces all items.
bool SetAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element, const QString &value, Result *error = nullptr);
bool SetAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element, qint16 value, Result *error = nullptr);
bool SetAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element, const ToolkitSequence &items, Result *error = nullptr);
bool SetAttribute(ToolkitDataSet &dataSet, quint16 group, quint16 element, const QString &value, Result *error = nullptr);
bool SetAttribute(ToolkitDataSet &dataSet, quint16 group, quint16 element, qint16 value, Result *error = nullptr);
bool SetAttribute(ToolkitDataSet &dataSet, quint16 group, quint16 element, const ToolkitSequence &items, Result *error = nullptr);
// Items of a sequence attribute (empty when absent or not a sequence).
ToolkitSequence GetSequence(const ToolkitImagePtr &image, quint16 group, quint16 element);
ToolkitSequence GetSequence(const ToolkitDataSet &dataSet, quint16 group, quint16 element);

bool RemoveAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element);
bool RemoveAttribute(ToolkitDataSet &dataSet, quint16 group, quint16 element);

// The same by a named tag (toolkit/Tags.h).
inline ToolkitAttribute GetAttribute(const ToolkitImagePtr &image, ToolkitTag tag) { return GetAttribute(image, tag.group, tag.element); }
inline ToolkitAttribute GetAttribute(const ToolkitDataSet &dataSet, ToolkitTag tag) { return GetAttribute(dataSet, tag.group, tag.element); }
inline bool SetAttribute(const ToolkitImagePtr &image, ToolkitTag tag, const QString &value, Result *error = nullptr)
{
    return SetAttribute(image, tag.group, tag.element, value, error);
}
inline bool SetAttribute(const ToolkitImagePtr &image, ToolkitTag tag, qint16 value, Result *error = nullptr)
{
    return SetAttribute(image, tag.group, tag.element, value, error);
}
inline bool SetAttribute(const ToolkitImagePtr &image, ToolkitTag tag, const ToolkitSequence &items, Result *error = nullptr)
{
    return SetAttribute(image, tag.group, tag.element, items, error);
}
inline bool SetAttribute(ToolkitDataSet &dataSet, ToolkitTag tag, const QString &value, Result *error = nullptr)
{
    return SetAttribute(dataSet, tag.group, tag.element, value, error);
}
inline bool SetAttribute(ToolkitDataSet &dataSet, ToolkitTag tag, qint16 value, Result *error = nullptr)
{
    return SetAttribute(dataSet, tag.group, tag.element, value, error);
}
inline bool SetAttribute(ToolkitDataSet &dataSet, ToolkitTag tag, const ToolkitSequence &items, Result *error = nullptr)
{
    return SetAttribute(dataSet, tag.group, tag.element, items, error);
}
inline ToolkitSequence GetSequence(const ToolkitImagePtr &image, ToolkitTag tag) { return GetSequence(image, tag.group, tag.element); }
inline ToolkitSequence GetSequence(const ToolkitDataSet &dataSet, ToolkitTag tag) { return GetSequence(dataSet, tag.group, tag.element); }
inline bool RemoveAttribute(const ToolkitImagePtr &image, ToolkitTag tag) { return RemoveAttribute(image, tag.group, tag.element); }
inline bool RemoveAttribute(ToolkitDataSet &dataSet, ToolkitTag tag) { return RemoveAttribute(dataSet, tag.group, tag.element); }

ToolkitDataSet NewDataSet();
// The attributes as a data set in Explicit VR Little Endian (its UID into
// transferSyntaxUid); empty when they cannot be written.
QByteArray EncodeDataSet(const ToolkitDataSet &dataSet, QString *transferSyntaxUid);
ToolkitSequence NewSequence(const QList<ToolkitDataSet> &items = {});
QString NewUid();

// The window the viewer applies: the image's first stored window, else one
// computed from the pixel values (then computed is true).
struct ToolkitWindow {
    double center = 0;
    double width = 0;
    bool computed = false;
    bool valid = false;
};
ToolkitWindow ImageWindow(const ToolkitImagePtr &image);

struct ToolkitPatient {
    QString name;
    QString id;
    QString birthDate;
    QString sex;
    QString exportKey; // names the export sub-folder: one value per examination, safe as a folder name
    QString charsetProblem; // as ToolkitAttribute's
};
ToolkitPatient ImagePatient(const ToolkitImagePtr &image);

// Rendering, for the viewer and exports. A job made on the user-interface
// thread may run on any thread; it reads the file itself (or a copy of the data
// set for an image without a file), so the image stays usable meanwhile.
struct ToolkitRenderJob {
    struct Impl;
    std::shared_ptr<Impl> d;
};
// dcmtkOnly leaves out the quick path for plain greyscale images (to compare the two).
ToolkitRenderJob MakeRenderJob(const ToolkitImagePtr &image, QSize maxSize, bool dcmtkOnly = false);
// The picture fitted into maxSize keeping its aspect (Format_Grayscale8 or RGB32);
// null with error set when the pixels cannot be decoded. Notes get what the
// decoder read otherwise than the pixel data says (the header wins).
QImage RunRenderJob(const ToolkitRenderJob &job, Result *error = nullptr, QStringList *notes = nullptr);
// Both in one go, on the calling thread.
QImage RenderImage(const ToolkitImagePtr &image, QSize maxSize, Result *error = nullptr);
// WriteImageFile in two halves, so that an export can encode one image on a
// worker while it writes another: the job's picture as a picture file's bytes
// ("JPEG", ..., quality 0-100; any thread), and those bytes written, replacing
// a file of that name only once complete.
QByteArray EncodePicture(const ToolkitRenderJob &job, const QString &format, int quality, Result *error = nullptr);
bool WritePictureFile(const QString &path, const QByteArray &bytes, Result *error = nullptr);

// The network operations (OpenAssociation, SendImage, CloseAssociation,
// RunWorklistQuery) are in ToolkitNetwork.h.

// A DICOMDIR's record, with the records below it in the directory's order.
struct ToolkitDirectoryRecord {
    QString type;            // "PATIENT", "STUDY", "SERIES", "IMAGE", ...
    bool inUse = true;       // false for Record In-use Flag 0000
    ToolkitAttribute fileId; // Referenced File ID (0004,1500), one value per component
    QString instanceUid;     // Referenced SOP Instance UID in File (0004,1511)
    QList<ToolkitDirectoryRecord> children;
};
// The records at the top of a DICOMDIR (normally patients). False with the
// reason for a file that is missing or is not a DICOMDIR.
bool ReadDirectory(const QString &path, QList<ToolkitDirectoryRecord> &records, Result *error = nullptr);

// A file-set of the General Purpose profile being written into a folder: the
// DICOMDIR at its root, the images below DICOM/ under names media allow.
class ToolkitDirectory {
public:
    ToolkitDirectory();
    ~ToolkitDirectory();
    struct Impl;
    std::unique_ptr<Impl> d;
};
// A new file-set in the folder, or the one already there to add to.
bool OpenDirectory(ToolkitDirectory &directory, const QString &folder, Result *error = nullptr);
// Writes the image as Explicit VR Little Endian (decompressed; a lossy original
// keeps Lossy Image Compression "01") under a free name in the folder kept for
// its group key, e.g. DICOM/K0000001/IM000001, and lists it. relativePath gets
// that name; notes get what the directory had to invent for its records.
// An instance the file-set lists already keeps its file name: the file is
// written again when it is missing or differs from the image as it is now,
// and its records are rebuilt by WriteDirectory. Nothing new is left on disk
// when it fails.
bool AddToDirectory(ToolkitDirectory &directory, const ToolkitImagePtr &image, const QString &groupKey,
                    QString *relativePath, Result *error = nullptr, QStringList *notes = nullptr);
// Writes the folder's DICOMDIR (an earlier one is replaced only by a complete
// new one): earlier records stay; a patient with a rewritten image gets its
// records anew from the files on disk.
bool WriteDirectory(ToolkitDirectory &directory, Result *error = nullptr);
// Writes a DICOMDIR of this directory's images alone (those added since it was
// opened), for an archive of them; path gets the scratch file, which lives as
// long as the directory and names the files relative to the folder.
bool WriteOwnDirectory(ToolkitDirectory &directory, QString *path, Result *error = nullptr);
// The files added since the directory was opened, relative to its folder.
QStringList DirectoryFiles(const ToolkitDirectory &directory);
