#include "companions/receiver/DicomObject.h"

#include <QFile>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString text(DcmItem *item, const DcmTagKey &tag, bool utf8)
{
    OFString value;
    if (item->findAndGetOFStringArray(tag, value).bad())
        return {};
    const QByteArray raw(value.c_str(), static_cast<qsizetype>(value.length()));
    QString s = utf8 ? QString::fromUtf8(raw) : QString::fromLatin1(raw);
    // UIDs are padded with NUL, other values with spaces.
    while (!s.isEmpty() && (s.back() == QChar(0) || s.back().isSpace()))
        s.chop(1);
    return s.trimmed();
}

std::optional<int> number(DcmItem *item, const DcmTagKey &tag, bool utf8)
{
    bool ok = false;
    const int n = text(item, tag, utf8).toInt(&ok);
    return ok ? std::optional<int>(n) : std::nullopt;
}

// A full disk (or quota) is told apart: the receiver then stops taking files in.
qint32 writeError(int err) { return err == ENOSPC || err == EDQUOT ? ErrorCode::OutOfSpace : ErrorCode::WriteFailed; }

Result errnoFailure(qint32 number) { return Result::failure(number, QString::fromLocal8Bit(strerror(errno))); }

} // namespace

Result ReadObjectHeader(const QString &path, ReceivedObject *object)
{
    DcmFileFormat file;
    const OFCondition cond = file.loadFileUntilTag(OFFilename(QFile::encodeName(path).constData()), EXS_Unknown, EGL_noChange, 4096,
                                                   ERM_autoDetect, DCM_PixelData);
    if (cond.bad())
        return Result::failure(ErrorCode::NotReadable, QString::fromLatin1(cond.text()));
    DcmDataset *ds = file.getDataset();
    // Names in the tables are UTF-8; the file itself keeps its character set.
    const bool utf8 = ds->convertToUTF8().good();
    ReceivedObject &o = *object;
    o.patientId = text(ds, DCM_PatientID, utf8);
    SplitPersonName(text(ds, DCM_PatientName, utf8), o);
    o.birthDate = text(ds, DCM_PatientBirthDate, utf8);
    o.sex = text(ds, DCM_PatientSex, utf8);
    o.studyUid = text(ds, DCM_StudyInstanceUID, utf8);
    o.studyDate = text(ds, DCM_StudyDate, utf8);
    o.studyTime = text(ds, DCM_StudyTime, utf8);
    o.modality = text(ds, DCM_Modality, utf8);
    o.bodyPart = text(ds, DCM_BodyPartExamined, utf8);
    o.accessionNumber = text(ds, DCM_AccessionNumber, utf8);
    o.studyDescription = text(ds, DCM_StudyDescription, utf8);
    o.seriesUid = text(ds, DCM_SeriesInstanceUID, utf8);
    o.seriesDescription = text(ds, DCM_SeriesDescription, utf8);
    o.seriesNumber = number(ds, DCM_SeriesNumber, utf8);
    o.sopClassUid = text(ds, DCM_SOPClassUID, utf8);
    o.sopUid = text(ds, DCM_SOPInstanceUID, utf8);
    o.instanceNumber = number(ds, DCM_InstanceNumber, utf8);
    o.imageDate = text(ds, DCM_ContentDate, utf8);
    o.imageTime = text(ds, DCM_ContentTime, utf8);
    if (o.imageDate.isEmpty()) {
        o.imageDate = text(ds, DCM_AcquisitionDate, utf8);
        o.imageTime = text(ds, DCM_AcquisitionTime, utf8);
    }
    o.viewPosition = text(ds, DCM_ViewPosition, utf8);
    o.laterality = text(ds, DCM_ImageLaterality, utf8);
    if (o.laterality.isEmpty())
        o.laterality = text(ds, DCM_Laterality, utf8);
    if (o.sopUid.isEmpty() || o.studyUid.isEmpty())
        return Result::failure(ErrorCode::NotReadable, QStringLiteral("no SOP Instance UID or Study Instance UID"));
    return {};
}

Result CopyDicomFile(const QString &source, const QString &target)
{
    {
        DcmFileFormat probe;
        const OFCondition cond = probe.loadFileUntilTag(OFFilename(QFile::encodeName(source).constData()), EXS_Unknown, EGL_noChange,
                                                        4096, ERM_autoDetect, DCM_PixelData);
        if (cond.good() && probe.getMetaInfo()->card() == 0) {
            DcmFileFormat whole;
            OFCondition c = whole.loadFile(OFFilename(QFile::encodeName(source).constData()));
            if (c.good())
                c = whole.saveFile(OFFilename(QFile::encodeName(target).constData()), whole.getDataset()->getOriginalXfer(),
                                   EET_ExplicitLength, EGL_recalcGL, EPD_noChange, 0, 0, EWM_fileformat);
            if (c.bad()) {
                const Result failed = Result::failure(writeError(errno), QString::fromLatin1(c.text()));
                ::unlink(QFile::encodeName(target).constData());
                return failed;
            }
            return {};
        }
    }
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errnoFailure(ErrorCode::FileNotFound);
    const int out = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); // the umask decides
    if (out < 0) {
        const Result failed = errnoFailure(writeError(errno));
        ::close(in);
        return failed;
    }
    static char buffer[1 << 16];
    bool ok = true;
    Result failed;
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    if (!ok)
        failed = errnoFailure(writeError(errno));
    ::close(in);
    if (::close(out) != 0 && ok) {
        ok = false;
        failed = errnoFailure(writeError(errno));
    }
    if (!ok)
        ::unlink(QFile::encodeName(target).constData());
    return failed;
}
