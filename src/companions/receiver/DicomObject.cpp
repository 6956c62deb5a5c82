#include "companions/receiver/DicomObject.h"

#include <QFile>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmf.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcxfer.h>

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

// The top-level attributes filing reads; everything else is only walked.
const DcmTagKey kFiledTags[] = {DCM_SpecificCharacterSet, DCM_SOPClassUID, DCM_SOPInstanceUID, DCM_StudyDate, DCM_ContentDate,
                                DCM_AcquisitionDate, DCM_StudyTime, DCM_ContentTime, DCM_AcquisitionTime, DCM_AccessionNumber,
                                DCM_Modality, DCM_StudyDescription, DCM_SeriesDescription, DCM_PatientName, DCM_PatientID,
                                DCM_PatientBirthDate, DCM_PatientSex, DCM_BodyPartExamined, DCM_ViewPosition, DCM_StudyInstanceUID,
                                DCM_SeriesInstanceUID, DCM_SeriesNumber, DCM_InstanceNumber, DCM_Laterality, DCM_ImageLaterality};

constexpr quint32 kUndefinedLength = 0xFFFFFFFFu;

struct Encoding {
    bool explicitVr = true;
    bool bigEndian = false;
};
constexpr Encoding kImplicitLittle{false, false};

struct ElementHeader {
    DcmTagKey tag;
    char vr[2] = {0, 0};
    DcmEVR evr = EVR_UNKNOWN; // as the file gives it; implicit encoding gives none
    quint32 length = 0;
};

QString tagText(const DcmTagKey &tag)
{
    return QStringLiteral("(%1,%2)").arg(tag.getGroup(), 4, 16, QLatin1Char('0')).arg(tag.getElement(), 4, 16, QLatin1Char('0')).toUpper();
}

// Walks a data set as it lies in the file: the filed attributes are copied
// out, every other value is skipped over, sequences are followed without
// building anything, and the walk stops at the first limit it would pass.
// What is a sequence, a pixel sequence or a plain value is decided as DCMTK
// decides it with its default settings, so that nothing the workstation's
// parser would descend into is skipped here unchecked.
class ObjectWalker {
public:
    // `offset`: where the stream starts in the file, for the positions in messages.
    ObjectWalker(DcmInputStream &in, quint64 offset) : in_(in), pos_(offset) {}

    // The file meta information (explicit VR little endian); its transfer
    // syntax UID, empty when not given. It ends where its group length says,
    // or, without one, at the first element of another group.
    Result readMeta(QByteArray *transferSyntax)
    {
        quint64 end = 0;
        bool first = true;
        for (;;) {
            if (end != 0 ? pos_ >= end : !nextIsMeta())
                return {};
            ElementHeader h;
            if (!readHeader(h, Encoding{}))
                return malformed(QStringLiteral("the file ends in its meta information"));
            if (h.evr == EVR_UNKNOWN2B)
                return malformed(QStringLiteral("the meta information is not in explicit VR little endian"));
            if (Result counted = countElement(); !counted)
                return counted;
            if (h.length == kUndefinedLength || h.evr == EVR_SQ)
                return malformed(QStringLiteral("the meta information holds a sequence"));
            if (first && h.tag == DCM_FileMetaInformationGroupLength && h.length == 4) {
                unsigned char b[4];
                if (!read(b, 4))
                    return truncated();
                end = pos_ + u32(b, Encoding{});
            } else if (h.tag == DCM_TransferSyntaxUID && h.length <= 128) {
                QByteArray uid(static_cast<qsizetype>(h.length), Qt::Uninitialized);
                if (!read(uid.data(), h.length))
                    return truncated();
                *transferSyntax = uid;
            } else if (!skip(h.length)) {
                return truncated();
            }
            first = false;
        }
    }

    // The encoding of a data set without a (known) transfer syntax, told from
    // its first element: a VR name where explicit encoding has one, and a
    // group number that reads small in one byte order.
    Encoding guessEncoding()
    {
        Encoding e;
        unsigned char b[6];
        if (!peek(b, 6))
            return e;
        const char vr[3] = {char(b[4]), char(b[5]), 0};
        e.explicitVr = DcmVR(vr).isStandard();
        const quint16 little = quint16(b[0] | b[1] << 8);
        const quint16 big = quint16(b[0] << 8 | b[1]);
        e.bigEndian = little > 0x00FF && big <= 0x00FF;
        return e;
    }

    // The whole data set, to the end of the file.
    Result readDataSet(const Encoding &encoding) { return walkItem(encoding, 0, kUndefinedLength, true); }

    // Values of the filed attributes, raw as in the file.
    const QList<std::pair<DcmTagKey, QByteArray>> &values() const { return values_; }

private:
    bool read(void *buf, quint64 n)
    {
        auto *p = static_cast<char *>(buf);
        while (n > 0) {
            const offile_off_t got = in_.read(p, static_cast<offile_off_t>(n));
            if (got <= 0)
                return false;
            p += got;
            n -= static_cast<quint64>(got);
            pos_ += static_cast<quint64>(got);
        }
        return true;
    }
    bool skip(quint64 n)
    {
        while (n > 0) {
            const offile_off_t done = in_.skip(static_cast<offile_off_t>(n));
            if (done <= 0)
                return false;
            n -= static_cast<quint64>(done);
            pos_ += static_cast<quint64>(done);
        }
        return true;
    }
    // A few bytes ahead, left in the stream.
    bool peek(unsigned char *b, quint64 n)
    {
        in_.mark();
        const quint64 at = pos_;
        const bool got = read(b, n);
        in_.putback();
        pos_ = at;
        return got && in_.good();
    }
    bool nextIsMeta()
    {
        unsigned char b[2];
        return peek(b, 2) && ((b[0] == 0x02 && b[1] == 0x00) || (b[0] == 0x00 && b[1] == 0x02));
    }

    static quint16 u16(const unsigned char *b, const Encoding &e) { return e.bigEndian ? quint16(b[0] << 8 | b[1]) : quint16(b[0] | b[1] << 8); }
    static quint32 u32(const unsigned char *b, const Encoding &e)
    {
        return e.bigEndian ? quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | b[3]
                           : quint32(b[3]) << 24 | quint32(b[2]) << 16 | quint32(b[1]) << 8 | b[0];
    }
    static bool isItemTag(const DcmTagKey &t) { return t == DCM_Item || t == DCM_ItemDelimitationItem || t == DCM_SequenceDelimitationItem; }

    bool readHeader(ElementHeader &h, const Encoding &e)
    {
        unsigned char b[4];
        if (!read(b, 4))
            return false;
        h.tag = DcmTagKey(u16(b, e), u16(b + 2, e));
        h.vr[0] = h.vr[1] = 0;
        h.evr = EVR_UNKNOWN;
        // Items and delimiters carry no VR in any encoding.
        if (isItemTag(h.tag) || !e.explicitVr) {
            if (!read(b, 4))
                return false;
            h.length = u32(b, e);
            return true;
        }
        if (!read(b, 2))
            return false;
        h.vr[0] = char(b[0]);
        h.vr[1] = char(b[1]);
        const char name[3] = {h.vr[0], h.vr[1], 0};
        const DcmVR vr(name);
        h.evr = vr.getEVR();
        // DCMTK's known mistake of some writers.
        if (h.tag == DCM_PixelData && h.vr[0] == 'O' && h.vr[1] == 'X')
            h.evr = EVR_OW;
        if (!vr.usesExtendedLengthEncoding()) {
            if (!read(b, 2))
                return false;
            h.length = u16(b, e);
            return true;
        }
        if (!read(b, 2) || !read(b, 4))
            return false;
        h.length = u32(b, e);
        return true;
    }

    Result malformed(const QString &what) const
    {
        return Result::failure(ErrorCode::NotReadable, QStringLiteral("%1 (at byte %2)").arg(what).arg(pos_));
    }
    Result truncated() const { return malformed(QStringLiteral("the file ends inside an element")); }
    Result countElement()
    {
        if (++elements_ > ObjectLimits::MaxElements)
            return malformed(QStringLiteral("more than %1 data elements; refused unread").arg(ObjectLimits::MaxElements));
        return {};
    }
    Result countItem()
    {
        if (++items_ > ObjectLimits::MaxItems)
            return malformed(QStringLiteral("more than %1 sequence items; refused unread").arg(ObjectLimits::MaxItems));
        return {};
    }
    Result tooDeep() const
    {
        return malformed(QStringLiteral("sequences nested more than %1 deep; refused unread").arg(ObjectLimits::MaxNesting));
    }

    // The elements of an item (at depth 0, of the data set) up to its length,
    // its delimiter or, for the data set, the end of the file.
    Result walkItem(const Encoding &e, int depth, quint32 length, bool dataSet)
    {
        const bool undefined = length == kUndefinedLength;
        const quint64 end = undefined ? 0 : pos_ + length;
        // Private creators of this item: implicit encoding takes a private
        // element's VR from the dictionary entry of its creator.
        QHash<quint32, QByteArray> creators;
        for (;;) {
            if (!undefined && pos_ >= end)
                return pos_ == end ? Result() : malformed(QStringLiteral("an element runs past the end of its item"));
            if (dataSet && in_.eos())
                return {};
            ElementHeader h;
            if (!readHeader(h, e))
                return truncated();
            if (isItemTag(h.tag)) {
                if (h.tag == DCM_ItemDelimitationItem && undefined && !dataSet)
                    return {};
                return malformed(tagText(h.tag) + QStringLiteral(" out of place"));
            }
            if (Result counted = countElement(); !counted)
                return counted;
            if (!e.explicitVr) {
                const char *creator = nullptr;
                if (h.tag.isPrivate() && h.tag.getElement() >= 0x1000) {
                    const auto found = creators.constFind(quint32(h.tag.getGroup()) << 8 | h.tag.getElement() >> 8);
                    if (found != creators.cend())
                        creator = found->constData();
                }
                h.evr = DcmTag(h.tag, creator).getEVR();
            }
            QByteArray creator;
            const bool isCreator = !e.explicitVr && h.tag.isPrivateReservation() && h.length <= 64;
            if (Result r = walkValue(h, e, depth, dataSet, isCreator ? &creator : nullptr); !r)
                return r;
            if (isCreator) {
                // Far more than any object reserves; the table stays small.
                if (creators.size() >= 1024)
                    return malformed(QStringLiteral("more than 1024 private creators in one item; refused unread"));
                creators.insert(quint32(h.tag.getGroup()) << 8 | h.tag.getElement(), creator.trimmed());
            }
            if (!undefined && pos_ > end)
                return malformed(QStringLiteral("an element runs past the end of its item"));
        }
    }

    Result walkValue(const ElementHeader &h, const Encoding &e, int depth, bool dataSet, QByteArray *keep)
    {
        const bool undefined = h.length == kUndefinedLength;
        if (h.evr == EVR_SQ)
            return walkSequence(e, depth + 1, h.length);
        // Unknown and UN of undefined length: a sequence in implicit VR little endian.
        if (undefined && (h.evr == EVR_UN || h.evr == EVR_UNKNOWN || h.evr == EVR_UNKNOWN2B))
            return walkSequence(kImplicitLittle, depth + 1, h.length);
        if (undefined) {
            const bool binary = h.evr == EVR_OB || h.evr == EVR_OW || h.evr == EVR_ox || h.evr == EVR_px;
            if (h.tag == DCM_PixelData && binary)
                return walkFragments(e, depth + 1);
            return malformed(tagText(h.tag) + QStringLiteral(" has an undefined length"));
        }
        if (dataSet && isFiled(h.tag) && !hasValue(h.tag)) {
            if (h.length > ObjectLimits::MaxFiledValue)
                return malformed(QStringLiteral("%1 is %2 bytes long; at most %3 are read").arg(tagText(h.tag)).arg(h.length).arg(ObjectLimits::MaxFiledValue));
            QByteArray value(static_cast<qsizetype>(h.length), Qt::Uninitialized);
            if (!read(value.data(), h.length))
                return truncated();
            values_.append({h.tag, value});
            return {};
        }
        if (keep) {
            keep->resize(static_cast<qsizetype>(h.length));
            return read(keep->data(), h.length) ? Result() : truncated();
        }
        return skip(h.length) ? Result() : truncated();
    }

    Result walkSequence(const Encoding &e, int depth, quint32 length)
    {
        if (depth > ObjectLimits::MaxNesting)
            return tooDeep();
        const bool undefined = length == kUndefinedLength;
        const quint64 end = undefined ? 0 : pos_ + length;
        for (;;) {
            if (!undefined && pos_ >= end)
                return pos_ == end ? Result() : malformed(QStringLiteral("an item runs past the end of its sequence"));
            ElementHeader h;
            if (!readHeader(h, e))
                return truncated();
            if (h.tag == DCM_SequenceDelimitationItem && undefined)
                return {};
            if (h.tag != DCM_Item)
                return malformed(QStringLiteral("a sequence holds %1 where an item belongs").arg(tagText(h.tag)));
            if (Result counted = countItem(); !counted)
                return counted;
            if (Result r = walkItem(e, depth, h.length, false); !r)
                return r;
        }
    }

    // Encapsulated pixel data: fragments of bytes up to the sequence delimiter.
    Result walkFragments(const Encoding &e, int depth)
    {
        if (depth > ObjectLimits::MaxNesting)
            return tooDeep();
        for (;;) {
            ElementHeader h;
            if (!readHeader(h, e))
                return truncated();
            if (h.tag == DCM_SequenceDelimitationItem)
                return {};
            if (h.tag != DCM_Item || h.length == kUndefinedLength)
                return malformed(QStringLiteral("encapsulated pixel data holds %1 where a fragment belongs").arg(tagText(h.tag)));
            if (Result counted = countItem(); !counted)
                return counted;
            if (!skip(h.length))
                return truncated();
        }
    }

    static bool isFiled(const DcmTagKey &key)
    {
        for (const DcmTagKey &k : kFiledTags)
            if (k == key)
                return true;
        return false;
    }
    bool hasValue(const DcmTagKey &key) const
    {
        for (const auto &[k, v] : values_)
            if (k == key)
                return true;
        return false;
    }

    DcmInputStream &in_;
    quint64 pos_ = 0;
    qint64 items_ = 0;
    qint64 elements_ = 0;
    QList<std::pair<DcmTagKey, QByteArray>> values_;
};

// Where the file meta information starts: after the preamble and "DICM", at
// the start of a file without preamble, or nowhere (a bare data set).
std::optional<qint64> metaOffset(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = f.read(132);
    if (head.size() == 132 && head.mid(128, 4) == "DICM")
        return 132;
    const auto *b = reinterpret_cast<const unsigned char *>(head.constData());
    const char vr[3] = {head.size() >= 6 ? head[4] : '\0', head.size() >= 6 ? head[5] : '\0', 0};
    if (head.size() >= 6 && b[0] == 0x02 && b[1] == 0x00 && DcmVR(vr).isStandard())
        return 0;
    return -1;
}

} // namespace

void SplitPersonName(const QString &personName, ReceivedObject &object)
{
    const QStringList parts = personName.section(QLatin1Char('='), 0, 0).split(QLatin1Char('^'));
    object.familyName = parts.value(0).trimmed();
    object.givenName = parts.value(1).trimmed();
    object.middleName = parts.value(2).trimmed();
}

Result ReadObjectHeader(const QString &path, ReceivedObject *object)
{
    const std::optional<qint64> meta = metaOffset(path);
    if (!meta)
        return Result::failure(ErrorCode::NotReadable, QStringLiteral("cannot open the file"));
    DcmInputFileStream in(OFFilename(QFile::encodeName(path).constData()), *meta > 0 ? *meta : 0);
    if (!in.good())
        return Result::failure(ErrorCode::NotReadable, QString::fromLatin1(in.status().text()));
    ObjectWalker walker(in, static_cast<quint64>(*meta > 0 ? *meta : 0));
    QByteArray syntax;
    if (*meta >= 0) {
        if (Result r = walker.readMeta(&syntax); !r)
            return r;
    }
    while (!syntax.isEmpty() && (syntax.back() == '\0' || syntax.back() == ' '))
        syntax.chop(1);
    Encoding encoding;
    const DcmXfer xfer(syntax.constData());
    if (syntax.isEmpty() || xfer.getXfer() == EXS_Unknown) {
        encoding = walker.guessEncoding();
    } else {
        encoding = {xfer.isExplicitVR() != OFFalse, xfer.getByteOrder() == EBO_BigEndian};
        if (xfer.getStreamCompression() != ESC_none && in.installCompressionFilter(xfer.getStreamCompression()).bad())
            return Result::failure(ErrorCode::NotReadable, QStringLiteral("cannot inflate the deflated data set"));
    }
    if (Result r = walker.readDataSet(encoding); !r)
        return r;

    // The values alone, in a data set of their own, for the toolkit's
    // character set conversion.
    DcmDataset filed;
    for (const auto &[key, raw] : walker.values())
        filed.putAndInsertOFStringArray(DcmTag(key), OFString(raw.constData(), static_cast<size_t>(raw.size())));
    DcmDataset *ds = &filed;
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
