#include "toolkit/Toolkit.h"
#include "toolkit/ToolkitInternal.h"

#include "toolkit/Codecs.h"
#include "toolkit/Jpeg2000.h"

#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfcache.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcspchrs.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrss.h>
#include <dcmtk/dcmdata/dcvrus.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimage/diregist.h>
#include <dcmtk/dcmimgle/dcmimage.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <cstdio>
#include <exception>

struct ToolkitDataSet::Impl {
    std::shared_ptr<DcmItem> item;
};

struct ToolkitImage::Impl {
    DcmFileFormat file;
    quint64 loadedRevision = 0; // revision at which the data set matched the file
};

struct ToolkitRenderJob::Impl {
    QString path;                          // render from the file ...
    std::unique_ptr<DcmFileFormat> copy;   // ... or from a copy of the data set
    QSize maxSize;
    bool dcmtkOnly = false;
};

namespace {

OFString ofs(const QString &s) { return OFString(s.toUtf8().constData()); }
QString qs(const OFString &s) { return QString::fromUtf8(s.c_str()); }

void fail(Result *error, qint32 number, const QString &text)
{
    if (error) {
        error->number = number;
        error->text = text;
    }
}

DcmDataset *dataSetOf(const ToolkitImagePtr &image)
{
    return image && image->d ? image->d->file.getDataset() : nullptr;
}

DcmItem *itemOf(const ToolkitDataSet &ds) { return ds.d ? ds.d->item.get() : nullptr; }

bool isLargeBinary(DcmEVR vr)
{
    switch (vr) {
    case EVR_OB: case EVR_OW: case EVR_OF: case EVR_OD: case EVR_OL: case EVR_OV: case EVR_UN:
    case EVR_pixelSQ: case EVR_ox: case EVR_px:
        return true;
    default:
        return false;
    }
}

bool isAscii(const OFString &s)
{
    for (size_t i = 0; i < s.length(); ++i)
        if (static_cast<unsigned char>(s[i]) > 0x7F)
            return false;
    return true;
}

// The VRs whose text is in the Specific Character Set; all others are ASCII.
bool inCharacterSet(DcmEVR vr)
{
    switch (vr) {
    case EVR_PN: case EVR_LO: case EVR_SH: case EVR_ST: case EVR_LT: case EVR_UT: case EVR_UC:
        return true;
    default:
        return false;
    }
}

// Where an ISO 2022 escape may be undone: between values, and between a name's parts.
OFString delimitersOf(DcmEVR vr) { return vr == EVR_PN ? "\\^=" : "\\"; }

const OFString Utf8Charset = "ISO_IR 192";

// The Specific Character Set that holds in an item: its own or that of the
// nearest item above it. An item made here and not (yet) part of an image
// holds its text as UTF-8. top gets the outermost item.
OFString charsetOf(DcmItem *item, DcmItem **top = nullptr)
{
    OFString charset;
    bool found = false;
    DcmItem *outer = item;
    for (DcmItem *it = item; it; it = it->getParentItem()) {
        if (!found && it->tagExists(DCM_SpecificCharacterSet)) {
            it->findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
            found = true;
        }
        outer = it;
    }
    if (top)
        *top = outer;
    if (charset.empty() && outer && outer->ident() != EVR_dataset)
        return Utf8Charset;
    return charset;
}

QString decodedText(DcmItem *item, DcmEVR vr, const OFString &raw, QString *problem)
{
    if (isAscii(raw))
        return QString::fromLatin1(raw.c_str(), qsizetype(raw.length()));
    const QByteArray bytes(raw.c_str(), qsizetype(raw.length()));
    auto asReceived = [&] {
        // UTF-8 as this workstation wrote it before, else every byte a character.
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(bytes);
        return decoder.hasError() ? QString::fromLatin1(bytes) : text;
    };
    const OFString charset = inCharacterSet(vr) ? charsetOf(item) : OFString();
    if (charset.empty() || charset == Utf8Charset)
        return asReceived();
    DcmSpecificCharacterSet converter;
    OFString utf8;
    OFCondition c = converter.selectCharacterSet(charset, Utf8Charset);
    if (c.good())
        c = converter.convertString(raw, utf8, delimitersOf(vr));
    if (c.good())
        return qs(utf8);
    if (problem)
        *problem = QStringLiteral("Character set '%1' not decoded (%2); text shown as received").arg(qs(charset), qs(c.text()));
    return asReceived();
}

// Text of no declared set in UTF-8 as decodedText shows it: each value kept
// when it is valid UTF-8, else read as Latin-1.
void undeclaredToUtf8(DcmItem *top)
{
    DcmStack stack;
    while (top->nextObject(stack, OFTrue).good()) {
        DcmObject *object = stack.top();
        OFString raw;
        if (!inCharacterSet(object->ident()) || static_cast<DcmElement *>(object)->getOFStringArray(raw).bad() || isAscii(raw))
            continue;
        const QByteArray bytes(raw.c_str(), qsizetype(raw.length()));
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString decoded = decoder.decode(bytes); // decodes only when taken
        if (decoder.hasError())
            static_cast<DcmElement *>(object)->putString(QString::fromLatin1(bytes).toUtf8().constData());
    }
}

// Whether every text of the item converts from its set to UTF-8: tried
// value by value first, so that a failure leaves the image untouched.
OFCondition convertsToUtf8(DcmItem *top, const OFString &charset)
{
    DcmSpecificCharacterSet converter;
    OFCondition c = converter.selectCharacterSet(charset, Utf8Charset);
    DcmStack stack;
    while (c.good() && top->nextObject(stack, OFTrue).good()) {
        DcmObject *object = stack.top();
        OFString raw, converted;
        if (inCharacterSet(object->ident()) && static_cast<DcmElement *>(object)->getOFStringArray(raw).good() && !isAscii(raw))
            c = converter.convertString(raw, converted, delimitersOf(object->ident()));
    }
    return c;
}

// The image that holds item moves to UTF-8 (ISO_IR 192), its present texts
// converted. A declared set that cannot be converted refuses: nothing changes.
bool switchToUtf8(DcmItem *item, Result *error)
{
    DcmItem *top = nullptr;
    const OFString charset = charsetOf(item, &top);
    OFCondition c = EC_Normal;
    if (charset.empty())
        undeclaredToUtf8(top);
    else if ((c = convertsToUtf8(top, charset)).good())
        c = top->convertCharacterSet(charset, Utf8Charset, 0, OFFalse);
    if (c.good()) {
        for (DcmItem *it = item; it && it != top; it = it->getParentItem())
            it->findAndDeleteElement(DCM_SpecificCharacterSet);
        c = top->putAndInsertString(DCM_SpecificCharacterSet, Utf8Charset.c_str());
    }
    if (c.bad())
        return fail(error, ErrorCode::BadAttribute,
                    QStringLiteral("The image's character set '%1' cannot take the value and cannot be changed to UTF-8: %2").arg(qs(charset), qs(c.text()))),
               false;
    return true;
}

// A UTF-8 value in the character set of the item it goes into. When that set
// cannot hold it, the image moves to UTF-8 first.
bool encodeForItem(DcmItem *item, const OFString &utf8, DcmEVR vr, OFString *encoded, Result *error)
{
    *encoded = utf8;
    if (isAscii(utf8) || !inCharacterSet(vr))
        return true;
    const OFString charset = charsetOf(item);
    if (charset == Utf8Charset)
        return true;
    if (!charset.empty() && charset.find('\\') == OFString_npos) {
        DcmSpecificCharacterSet converter;
        OFCondition c = converter.selectCharacterSet(Utf8Charset, charset);
        if (c.good())
            c = converter.convertString(utf8, *encoded, delimitersOf(vr));
        if (c.good())
            return true;
        *encoded = utf8;
    }
    return switchToUtf8(item, error);
}

// Items copied from elsewhere, taken to UTF-8 from the set they were in.
bool copiesToUtf8(const QList<std::pair<DcmItem *, DcmItem *>> &copies, Result *error)
{
    for (const auto &[source, copy] : copies) {
        if (!copy->containsExtendedCharacters() || copy->tagExists(DCM_SpecificCharacterSet))
            continue; // ASCII, or it says itself what it holds
        const OFString from = charsetOf(source);
        const OFCondition c = from == Utf8Charset ? EC_Normal : copy->convertCharacterSet(from, Utf8Charset, 0, OFFalse);
        if (c.bad())
            return fail(error, ErrorCode::BadAttribute, QStringLiteral("An item's texts in '%1' cannot be read: %2").arg(qs(from), qs(c.text()))), false;
    }
    return true;
}

// A sequence of UTF-8 items into the set of the item it goes into; when that
// set cannot hold every one of them, the image moves to UTF-8 instead.
bool encodeSequenceForItem(DcmItem *item, DcmSequenceOfItems &seq, Result *error)
{
    const OFString to = charsetOf(item);
    if (to == Utf8Charset || !seq.containsExtendedCharacters())
        return true;
    if (!to.empty() && to.find('\\') == OFString_npos) {
        DcmSequenceOfItems encoded(seq);
        bool all = true;
        for (unsigned long i = 0; all && i < encoded.card(); ++i) {
            DcmItem *it = encoded.getItem(i);
            all = it->tagExists(DCM_SpecificCharacterSet) || it->convertCharacterSet(Utf8Charset, to, 0, OFFalse).good();
        }
        if (all) {
            seq = encoded;
            return true;
        }
    }
    return switchToUtf8(item, error);
}

ToolkitAttribute readAttribute(DcmItem *item, quint16 group, quint16 element)
{
    ToolkitAttribute a;
    DcmElement *el = nullptr;
    if (!item || item->findAndGetElement(DcmTagKey(group, element), el, OFFalse).bad() || !el)
        return a;
    a.exists = true;
    if (el->ident() == EVR_SQ)
        return a;
    if (isLargeBinary(el->ident()) && el->getLength() > 64)
        return a; // pixel data and blobs are not text
    const unsigned long vm = el->getVM();
    for (unsigned long i = 0; i < vm; ++i) {
        OFString v;
        if (el->getOFString(v, i, OFTrue).good())
            a.values << decodedText(item, el->ident(), v, &a.charsetProblem);
    }
    a.value = a.values.join(QLatin1Char('|'));
    return a;
}

bool writeText(DcmItem *item, quint16 group, quint16 element, const QString &value, Result *error)
{
    if (!item)
        return fail(error, ErrorCode::NoImage, QStringLiteral("No image")), false;
    DcmTag tag(group, element);
    if (tag.getEVR() == EVR_UNKNOWN || tag.getEVR() == EVR_UN)
        tag.setVR(DcmVR(EVR_LO)); // private or unknown: stored as text
    QString dicom = value;
    dicom.replace(QLatin1Char('|'), QLatin1Char('\\'));
    OFString encoded;
    if (!encodeForItem(item, ofs(dicom), tag.getEVR(), &encoded, error))
        return false;
    const OFCondition c = item->putAndInsertString(tag, encoded.c_str(), OFTrue);
    if (c.bad())
        return fail(error, ErrorCode::BadAttribute, qs(c.text())), false;
    return true;
}

bool writeInt16(DcmItem *item, quint16 group, quint16 element, qint16 value, Result *error)
{
    if (!item)
        return fail(error, ErrorCode::NoImage, QStringLiteral("No image")), false;
    const DcmTag tag(group, element);
    OFCondition c = EC_Normal;
    if (tag.getEVR() == EVR_US || tag.getEVR() == EVR_xs || tag.getEVR() == EVR_lt)
        c = item->putAndInsertUint16(tag, static_cast<Uint16>(value), 0, OFTrue);
    else if (tag.getEVR() == EVR_SS)
        c = item->putAndInsertSint16(tag, value, 0, OFTrue);
    else
        return writeText(item, group, element, QString::number(value), error);
    if (c.bad())
        return fail(error, ErrorCode::BadAttribute, qs(c.text())), false;
    return true;
}

bool writeSequence(DcmItem *item, quint16 group, quint16 element, const ToolkitSequence &items, Result *error)
{
    if (!item)
        return fail(error, ErrorCode::NoImage, QStringLiteral("No image")), false;
    const DcmTag tag(group, element);
    if (tag.getEVR() != EVR_SQ)
        return fail(error, ErrorCode::BadAttribute, QStringLiteral("Not a sequence attribute")), false;
    auto seq = std::make_unique<DcmSequenceOfItems>(tag);
    QList<std::pair<DcmItem *, DcmItem *>> copies; // source, copy
    for (const ToolkitDataSet &ds : items) {
        DcmItem *src = itemOf(ds);
        auto *copy = src ? new DcmItem(*src) : new DcmItem();
        seq->append(copy);
        if (src)
            copies.append(std::pair<DcmItem *, DcmItem *>(src, copy));
    }
    if (!copiesToUtf8(copies, error) || !encodeSequenceForItem(item, *seq, error))
        return false;
    const OFCondition c = item->insert(seq.get(), OFTrue);
    if (c.bad())
        return fail(error, ErrorCode::BadAttribute, qs(c.text())), false;
    seq.release();
    return true;
}

ToolkitSequence readSequence(DcmItem *item, const std::shared_ptr<void> &owner, quint16 group, quint16 element)
{
    ToolkitSequence out;
    DcmSequenceOfItems *seq = nullptr;
    if (!item || item->findAndGetSequence(DcmTagKey(group, element), seq).bad() || !seq)
        return out;
    for (unsigned long i = 0; i < seq->card(); ++i) {
        ToolkitDataSet ds;
        ds.d->item = std::shared_ptr<DcmItem>(owner, seq->getItem(i)); // lives as long as its owner
        out << ds;
    }
    return out;
}

void touch(const ToolkitImagePtr &image)
{
    if (image)
        ++image->revision_;
}

// Cheap checks at read time, so that a file that can never show is reported
// when it is loaded rather than when its tile is painted.
bool checkPixels(DcmDataset *ds, qint64 fileSize, Result *error)
{
    DcmElement *px = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, px).bad() || !px)
        return fail(error, ErrorCode::NoPixels, QStringLiteral("No pixel data")), false;
    const E_TransferSyntax xfer = ds->getOriginalXfer();
    const DcmXfer x(xfer);
    if (x.isEncapsulated()) {
        if (!DcmCodecList::canChangeCoding(xfer, EXS_LittleEndianExplicit))
            return fail(error, ErrorCode::NoPixels, QStringLiteral("No decoder for transfer syntax %1").arg(QString::fromLatin1(x.getXferName()))), false;
        return true;
    }
    Uint16 rows = 0, cols = 0, spp = 1, bits = 0;
    ds->findAndGetUint16(DCM_Rows, rows);
    ds->findAndGetUint16(DCM_Columns, cols);
    ds->findAndGetUint16(DCM_SamplesPerPixel, spp);
    ds->findAndGetUint16(DCM_BitsAllocated, bits);
    long frames = 1;
    Sint32 nf = 0;
    if (ds->findAndGetSint32(DCM_NumberOfFrames, nf).good() && nf > 0)
        frames = nf;
    const qint64 expected = qint64(rows) * cols * (spp ? spp : 1) * frames * bits / 8;
    const qint64 length = px->getLength();
    if (rows == 0 || cols == 0 || bits == 0 || length < expected || length > fileSize)
        return fail(error, ErrorCode::NotReadable, QStringLiteral("Pixel data incomplete (%1 of %2 bytes)").arg(std::min(length, fileSize)).arg(expected)), false;
    return true;
}

QImage toQImage(DicomImage &di)
{
    const int w = int(di.getWidth()), h = int(di.getHeight());
    if (di.isMonochrome()) {
        const auto *data = static_cast<const uchar *>(di.getOutputData(8, 0, 0));
        if (!data)
            return {};
        QImage img(w, h, QImage::Format_Grayscale8);
        for (int y = 0; y < h; ++y)
            memcpy(img.scanLine(y), data + qsizetype(y) * w, size_t(w));
        return img;
    }
    const auto *data = static_cast<const uchar *>(di.getOutputData(8, 0, 0)); // interleaved RGB
    if (!data)
        return {};
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        memcpy(img.scanLine(y), data + qsizetype(y) * w * 3, size_t(w) * 3);
    return img;
}

// The window rule of the viewer: the image's first window, else min/max of the pixels.
ToolkitWindow applyWindow(DicomImage &di)
{
    ToolkitWindow w;
    if (!di.isMonochrome())
        return w;
    if (di.getWindowCount() > 0 && di.setWindow(0)) {
        w.computed = false;
    } else {
        di.setMinMaxWindow(1);
        w.computed = true;
    }
    di.getWindow(w.center, w.width);
    w.valid = true;
    return w;
}

// What the quick path needs of a greyscale image with a stored linear window,
// the usual mammogram.
struct Greyscale {
    size_t columns = 0, rows = 0;
    Uint16 bitsAllocated = 0, bitsStored = 0;
    bool signedPixels = false, mono1 = false;
    double centre = 0, width = 0, slope = 1, intercept = 0;
    size_t rowBytes() const { return columns * (bitsAllocated / 8); }
};

// False for what only DCMTK renders right: colour, LUTs, several frames, no
// stored window.
bool quickGreyscale(DcmItem *ds, Greyscale &g)
{
    Uint16 spp = 1, highBit = 0, signedPixels = 0, rows = 0, cols = 0;
    ds->findAndGetUint16(DCM_SamplesPerPixel, spp);
    ds->findAndGetUint16(DCM_BitsAllocated, g.bitsAllocated);
    ds->findAndGetUint16(DCM_BitsStored, g.bitsStored);
    ds->findAndGetUint16(DCM_HighBit, highBit);
    ds->findAndGetUint16(DCM_PixelRepresentation, signedPixels);
    ds->findAndGetUint16(DCM_Rows, rows);
    ds->findAndGetUint16(DCM_Columns, cols);
    OFString photometric, shape, function;
    ds->findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    ds->findAndGetOFString(DCM_PresentationLUTShape, shape);
    ds->findAndGetOFString(DCM_VOILUTFunction, function);
    Sint32 frames = 1;
    ds->findAndGetSint32(DCM_NumberOfFrames, frames);
    g.mono1 = photometric == "MONOCHROME1";
    g.signedPixels = signedPixels != 0;
    g.rows = rows;
    g.columns = cols;
    if (spp != 1 || !(g.mono1 || photometric == "MONOCHROME2") || frames > 1 || rows == 0 || cols == 0
        || !(g.bitsAllocated == 8 || g.bitsAllocated == 16) || g.bitsStored == 0 || g.bitsStored > g.bitsAllocated
        || highBit != g.bitsStored - 1 || ds->tagExists(DCM_ModalityLUTSequence) || ds->tagExists(DCM_VOILUTSequence)
        || !(function.empty() || function == "LINEAR")
        || !(shape.empty() || shape == (g.mono1 ? "INVERSE" : "IDENTITY")))
        return false;
    if (ds->findAndGetFloat64(DCM_WindowCenter, g.centre).bad() || ds->findAndGetFloat64(DCM_WindowWidth, g.width).bad()
        || g.width < 1)
        return false;
    ds->findAndGetFloat64(DCM_RescaleSlope, g.slope);
    ds->findAndGetFloat64(DCM_RescaleIntercept, g.intercept);
    return true;
}

// The stored samples band by band, top to bottom, in the local byte order.
class RowSource {
public:
    virtual ~RowSource() = default;
    // Null when they cannot be read.
    virtual const Uint8 *rows(size_t first, size_t count) = 0;
};

class MemoryRows : public RowSource {
public:
    MemoryRows(const Uint8 *data, size_t rowBytes) : data_(data), rowBytes_(rowBytes) {}
    const Uint8 *rows(size_t first, size_t) override { return data_ + first * rowBytes_; }

private:
    const Uint8 *data_;
    size_t rowBytes_;
};

// Pixel data left in its file, read slice by slice into one small buffer that
// stays in the cache: a full-size mammogram is never held whole.
class FileRows : public RowSource {
public:
    FileRows(DcmElement *element, size_t rowBytes, size_t rowCount) : element_(element), rowBytes_(rowBytes), rowCount_(rowCount) {}
    const Uint8 *rows(size_t first, size_t count) override
    {
        if (first >= first_ && first + count <= first_ + count_)
            return buffer_.data() + (first - first_) * rowBytes_;
        constexpr size_t Slice = 512 * 1024;
        const size_t n = std::min(rowCount_ - first, std::max(count, std::max<size_t>(1, Slice / rowBytes_)));
        buffer_.resize(n * rowBytes_);
        if (count > n || element_->getPartialValue(buffer_.data(), Uint32(first * rowBytes_), Uint32(n * rowBytes_), &cache_).bad())
            return nullptr;
        first_ = first;
        count_ = n;
        return buffer_.data();
    }

private:
    DcmElement *element_;
    size_t rowBytes_, rowCount_;
    DcmFileCache cache_;
    std::vector<Uint8> buffer_;
    size_t first_ = 0, count_ = 0;
};

// One row of unsigned samples added into the column sums: the hot loop of a
// tile, worth the vector unit even with a remainder loop after it.
template <typename Sample>
__attribute__((optimize("vect-cost-model=dynamic"))) void addRow(quint32 *__restrict sum, const Sample *__restrict src,
                                                                   size_t n, quint32 mask)
{
    for (size_t x = 0; x < n; ++x)
        sum[x] += src[x] & mask;
}

// The size a picture of the image gets: fitted into max keeping its aspect,
// never larger than the image.
QSize fitted(QSize image, QSize max)
{
    return max.isValid() && !max.isEmpty() && (image.width() > max.width() || image.height() > max.height())
               ? image.scaled(max, Qt::KeepAspectRatio).expandedTo(QSize(1, 1))
               : image;
}

// The samples averaged down to the size fit and windowed in one
// pass: several times quicker than DCMTK's intermediate picture plus its
// scaler, and a fraction of the memory. Rows are summed column-wise first (a
// loop the compiler vectorises), so the per-pixel work is one add; a full-size
// picture maps each sample through a table.
QImage windowDown(const Greyscale &g, QSize fit, RowSource &source, Result *error)
{
    const size_t W = g.columns, H = g.rows;
    fit = fit.boundedTo(QSize(int(W), int(H)));
    const size_t fw = size_t(fit.width()), fh = size_t(fit.height());
    const quint32 mask = (1u << g.bitsStored) - 1;
    const quint32 signBit = 1u << (g.bitsStored - 1);
    const size_t rowBytes = g.rowBytes();
    // Output column ox averages the source columns [firstColumn[ox], firstColumn[ox + 1]).
    std::vector<size_t> firstColumn(fw + 1, W);
    for (size_t x = 0, ox = 0; x < W; ++x)
        for (const size_t c = x * fw / W; ox <= c; ++ox)
            firstColumn[ox] = x;
    // The DICOM linear window onto 0..255.
    const double c = g.centre - 0.5, w = g.width - 1;
    auto window = [&](double modality) -> uchar {
        double out;
        if (w <= 0)
            out = modality > c ? 255 : 0;
        else if (modality <= c - w / 2)
            out = 0;
        else if (modality > c + w / 2)
            out = 255;
        else
            out = ((modality - c) / w + 0.5) * 255.0;
        const int v = int(out + 0.5);
        return uchar(g.mono1 ? 255 - v : v);
    };
    auto value = [&](quint32 raw) -> qint64 {
        const quint32 v = raw & mask;
        return (g.signedPixels && (v & signBit)) ? qint64(v) - qint64(mask) - 1 : qint64(v);
    };
    auto unreadable = [&] {
        fail(error, ErrorCode::NotReadable, QStringLiteral("Cannot read the pixel data"));
        return QImage();
    };
    QImage img(fit, QImage::Format_Grayscale8);
    if (img.isNull())
        return fail(error, ErrorCode::OutOfMemory, QStringLiteral("No memory for the picture")), QImage();

    if (fw == W && fh == H) {
        std::vector<uchar> table(size_t(mask) + 1);
        for (quint32 raw = 0; raw <= mask; ++raw)
            table[raw] = window(double(value(raw)) * g.slope + g.intercept);
        for (size_t y = 0; y < H; ++y) {
            const Uint8 *row = source.rows(y, 1);
            if (!row)
                return unreadable();
            uchar *out = img.scanLine(int(y));
            if (g.bitsAllocated == 16) {
                const auto *src = reinterpret_cast<const Uint16 *>(row);
                for (size_t x = 0; x < W; ++x)
                    out[x] = table[src[x] & mask];
            } else {
                for (size_t x = 0; x < W; ++x)
                    out[x] = table[row[x] & mask];
            }
        }
        return img;
    }

    auto average = [&]<typename Sample, typename Sum>(std::vector<Sum> &sum) -> bool {
        size_t y = 0;
        for (size_t oy = 0; oy < fh; ++oy) {
            const size_t yEnd = (oy + 1) * H / fh, lines = yEnd - y;
            const Uint8 *band = source.rows(y, lines);
            if (!band)
                return false;
            std::fill(sum.begin(), sum.end(), Sum(0));
            for (size_t r = 0; r < lines; ++r) {
                const auto *src = reinterpret_cast<const Sample *>(band + r * rowBytes);
                if constexpr (std::is_signed_v<Sum>) {
                    for (size_t x = 0; x < W; ++x)
                        sum[x] += value(src[x]);
                } else {
                    addRow(sum.data(), src, W, mask);
                }
            }
            y = yEnd;
            uchar *out = img.scanLine(int(oy));
            for (size_t ox = 0; ox < fw; ++ox) {
                qint64 total = 0;
                for (size_t x = firstColumn[ox]; x < firstColumn[ox + 1]; ++x)
                    total += qint64(sum[x]);
                const double count = double(firstColumn[ox + 1] - firstColumn[ox]) * double(lines);
                out[ox] = window(double(total) / count * g.slope + g.intercept);
            }
        }
        return true;
    };
    bool read;
    if (g.signedPixels) {
        std::vector<qint64> sum(W);
        read = g.bitsAllocated == 16 ? average.operator()<Uint16>(sum) : average.operator()<Uint8>(sum);
    } else {
        // At most 65535 rows of 16-bit samples: a column's sum fits 32 bits.
        std::vector<quint32> sum(W);
        read = g.bitsAllocated == 16 ? average.operator()<Uint16>(sum) : average.operator()<Uint8>(sum);
    }
    return read ? img : unreadable();
}

// Native greyscale pixel data through windowDown, straight from the file when
// it is still there. handled is false for what DCMTK must render.
QImage renderNative(DcmDataset *ds, QSize max, bool *handled, Result *error)
{
    *handled = false;
    Greyscale g;
    if (DcmXfer(ds->getCurrentXfer()).isEncapsulated() || !quickGreyscale(ds, g))
        return {};
    DcmElement *px = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, px).bad() || !px || px->getLength() < g.rows * g.rowBytes())
        return {};
    *handled = true;
    if (!px->valueLoaded()) {
        FileRows rows(px, g.rowBytes(), g.rows);
        return windowDown(g, fitted(QSize(int(g.columns), int(g.rows)), max), rows, error);
    }
    const Uint8 *data = nullptr;
    if (px->getUint8Array(const_cast<Uint8 *&>(data)).bad() || !data)
        return fail(error, ErrorCode::NotReadable, QStringLiteral("Cannot read the pixel data")), QImage();
    MemoryRows rows(data, g.rowBytes());
    return windowDown(g, fitted(QSize(int(g.columns), int(g.rows)), max), rows, error);
}

// A JPEG 2000 greyscale picture decoded at the least resolution its size needs.
QImage renderJpeg2000(DcmDataset *ds, QSize max, bool *handled, Result *error, QStringList *notes)
{
    *handled = false;
    Greyscale g;
    if (!quickGreyscale(ds, g))
        return {};
    *handled = true;
    // The size is the full image's fit; the resolution decoded is at least
    // twice that, so that averaging down still hides the wavelet's own filter.
    const QSize fit = fitted(QSize(int(g.columns), int(g.rows)), max);
    std::vector<quint8> samples;
    QSize decoded;
    Result e;
    const bool ok = DecodeJpeg2000Frame(ds, fit * 2, &samples, &decoded, &e);
    const QStringList taken = TakeJpeg2000Notes();
    if (notes)
        *notes << taken;
    if (!ok)
        return fail(error, e.number, e.text), QImage();
    g.columns = size_t(decoded.width());
    g.rows = size_t(decoded.height());
    MemoryRows rows(samples.data(), g.rowBytes());
    return windowDown(g, fit, rows, error);
}

std::unique_ptr<DicomImage> openJob(const ToolkitRenderJob &job, Result *error)
{
    RegisterToolkitCodecs();
    if (!job.d || (job.d->path.isEmpty() && !job.d->copy))
        return fail(error, ErrorCode::NoImage, QStringLiteral("No image")), nullptr;
    std::unique_ptr<DicomImage> di;
    // The pixel data is let go once the intermediate picture exists.
    const unsigned long flags = CIF_MayDetachPixelData;
    if (job.d->copy) {
        const E_TransferSyntax xfer = job.d->copy->getDataset()->getOriginalXfer();
        di = std::make_unique<DicomImage>(job.d->copy.release(), xfer, flags | CIF_TakeOverExternalDataset);
    } else {
        di = std::make_unique<DicomImage>(QFile::encodeName(job.d->path).constData(), flags);
    }
    if (di->getStatus() != EIS_Normal)
        return fail(error, ErrorCode::NoPixels, QString::fromLatin1(DicomImage::getString(di->getStatus()))), nullptr;
    return di;
}

// DCMTK's picture, windowed and fitted into max.
QImage renderPicture(DicomImage &di, QSize max, Result *error)
{
    applyWindow(di);
    const int w = int(di.getWidth()), h = int(di.getHeight());
    if (max.isValid() && !max.isEmpty() && (w > max.width() || h > max.height())) {
        const QSize fit = QSize(w, h).scaled(max, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
        std::unique_ptr<DicomImage> scaled(di.createScaledImage(ulong(fit.width()), ulong(fit.height()), 1, 0));
        if (!scaled || scaled->getStatus() != EIS_Normal)
            return fail(error, ErrorCode::NoPixels, QStringLiteral("Cannot scale the image")), QImage();
        QImage out = toQImage(*scaled);
        if (out.isNull())
            fail(error, ErrorCode::NoPixels, QStringLiteral("Cannot render the pixel data"));
        return out;
    }
    QImage out = toQImage(di);
    if (out.isNull())
        fail(error, ErrorCode::NoPixels, QStringLiteral("Cannot render the pixel data"));
    return out;
}

} // namespace

ToolkitDataSet::ToolkitDataSet() : d(std::make_shared<Impl>()) { d->item = std::make_shared<DcmItem>(); }

ToolkitImage::ToolkitImage() = default;
ToolkitImage::~ToolkitImage() = default;
bool ToolkitImage::isValid() const { return d != nullptr; }

bool ReadFileIntoList(ToolkitImageList &list, const QString &path, Result *error)
{
    RegisterToolkitCodecs();
    const QFileInfo info(path);
    if (!info.isFile())
        return fail(error, ErrorCode::FileNotFound, QStringLiteral("File not found: %1").arg(path)), false;
    auto image = std::make_shared<ToolkitImage>();
    image->d = std::make_unique<ToolkitImage::Impl>();
    image->path_ = path;
    // Large values (the pixel data) stay on disk until something needs them.
    // DCMTK 3.6.7 throws out of its reading on some malformed directory
    // records (std::out_of_range from DcmByteString::verify), in any file.
    OFCondition c = EC_Normal;
    try {
        c = image->d->file.loadFile(QFile::encodeName(path).constData(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_autoDetect);
    } catch (const std::exception &e) {
        return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: not readable (%2)").arg(path, QString::fromLocal8Bit(e.what()))), false;
    }
    if (c.bad())
        return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: %2").arg(path, qs(c.text()))), false;
    DcmDataset *ds = image->d->file.getDataset();
    OFString uid;
    if (ds->findAndGetOFString(DCM_SOPInstanceUID, uid).bad() || uid.empty())
        return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: not a DICOM image").arg(path)), false;
    if (!checkPixels(ds, info.size(), error)) {
        if (error)
            error->text = path + QStringLiteral(": ") + error->text;
        return false;
    }
    list.items.append(image);
    return true;
}

ToolkitImagePtr ReadDicomObject(const QString &path, Result *error)
{
    auto image = std::make_shared<ToolkitImage>();
    image->d = std::make_unique<ToolkitImage::Impl>();
    image->path_ = path;
    const OFCondition c = image->d->file.loadFile(QFile::encodeName(path).constData(), EXS_Unknown, EGL_noChange,
                                                  DCM_MaxReadLength, ERM_fileOnly);
    OFString uid;
    if (c.bad())
        return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: %2").arg(path, qs(c.text()))), nullptr;
    if (image->d->file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid).bad() || uid.empty())
        return fail(error, ErrorCode::NotReadable, QStringLiteral("%1: no SOP Instance UID").arg(path)), nullptr;
    return image;
}

ToolkitImagePtr UnreadableImage(const QString &path)
{
    auto image = std::make_shared<ToolkitImage>();
    image->path_ = path;
    return image;
}

int ListCount(const ToolkitImageList &list) { return int(list.items.size()); }

ToolkitImagePtr ListItem(const ToolkitImageList &list, int index)
{
    return index >= 1 && index <= list.items.size() ? list.items.at(index - 1) : nullptr;
}

bool ListRemove(ToolkitImageList &list, const QString &sopInstanceUid)
{
    for (qsizetype i = 0; i < list.items.size(); ++i) {
        if (list.items.at(i)->isValid() && ImageUid(list.items.at(i)) == sopInstanceUid) {
            list.items.removeAt(i);
            return true;
        }
    }
    return false;
}

void ListClear(ToolkitImageList &list) { list.items.clear(); }

bool WriteDicomFile(const ToolkitImagePtr &image, const QString &path, Result *error)
{
    RegisterToolkitCodecs();
    if (!dataSetOf(image))
        return fail(error, ErrorCode::NoImage, QStringLiteral("No image")), false;
    DcmFileFormat &ff = image->d->file;
    // The pixel data may still be read lazily from the very file being replaced.
    const OFCondition c = ff.loadAllDataIntoMemory();
    if (c.bad())
        return fail(error, ErrorCode::WriteFailed, qs(c.text())), false;
    const bool written = WriteReplacing(
        path,
        [&](const QString &temp) {
            const OFCondition saved = ff.saveFile(QFile::encodeName(temp).constData(), EXS_Unknown, EET_ExplicitLength, EGL_recalcGL,
                                                  EPD_noChange, 0, 0, EWM_updateMeta);
            return saved.good() ? QString() : qs(saved.text());
        },
        error);
    if (!written)
        return false;
    if (QFileInfo(path).canonicalFilePath() == QFileInfo(image->path_).canonicalFilePath())
        image->d->loadedRevision = image->revision_;
    return true;
}

void ReleaseReloadableValues(const ToolkitImagePtr &image)
{
    if (DcmDataset *ds = dataSetOf(image))
        ds->compactElements(64 * 1024);
}

bool WriteImageFile(const ToolkitImagePtr &image, const QString &path, const QString &format, int quality,
                    Result *error)
{
    const QByteArray bytes = EncodePicture(MakeRenderJob(image, QSize()), format, quality, error);
    return !bytes.isEmpty() && WritePictureFile(path, bytes, error);
}

QByteArray EncodePicture(const ToolkitRenderJob &job, const QString &format, int quality, Result *error)
{
    const QImage picture = RunRenderJob(job, error);
    if (picture.isNull())
        return {};
    QByteArray bytes;
    // Room for the usual result at once: growing it copies megabytes each time.
    bytes.reserve(qsizetype(picture.sizeInBytes() / 2));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, format.toLatin1().constData(), std::clamp(quality, 0, 100)) || bytes.isEmpty())
        return fail(error, ErrorCode::WriteFailed, QStringLiteral("The picture cannot be encoded as %1").arg(format)), QByteArray();
    return bytes;
}

bool WritePictureFile(const QString &path, const QByteArray &bytes, Result *error)
{
    // Written under another name first: a full disk leaves no broken picture behind.
    return WriteReplacing(
        path,
        [&](const QString &temp) {
            QFile out(temp);
            return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.flush() ? QString()
                                                                                                   : QStringLiteral("cannot write");
        },
        error);
}

bool WriteReplacing(const QString &path, const std::function<QString(const QString &temp)> &write, Result *error,
                    const std::function<bool()> &replace)
{
    const QString temp = path + QStringLiteral(".part%1").arg(QCoreApplication::applicationPid());
    QString why = write(temp);
    if (why.isEmpty() && replace && !replace()) {
        QFile::remove(temp);
        return true;
    }
    if (why.isEmpty() && std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) != 0)
        why = QStringLiteral("cannot replace");
    if (why.isEmpty())
        return true;
    QFile::remove(temp);
    fail(error, ErrorCode::WriteFailed, QStringLiteral("%1: %2").arg(path, why));
    return false;
}

QString ImageUid(const ToolkitImagePtr &image)
{
    OFString uid;
    if (DcmDataset *ds = dataSetOf(image))
        ds->findAndGetOFString(DCM_SOPInstanceUID, uid);
    return qs(uid);
}

QString ImageSopClass(const ToolkitImagePtr &image)
{
    OFString uid;
    if (DcmDataset *ds = dataSetOf(image))
        ds->findAndGetOFString(DCM_SOPClassUID, uid);
    return qs(uid);
}

bool SetImageSopClass(const ToolkitImagePtr &image, const QString &sopClassUid, Result *error)
{
    if (!writeText(dataSetOf(image), 0x0008, 0x0016, sopClassUid, error))
        return false;
    image->d->file.getMetaInfo()->putAndInsertString(DCM_MediaStorageSOPClassUID, ofs(sopClassUid).c_str());
    touch(image);
    return true;
}

ToolkitAttribute GetAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element)
{
    return readAttribute(dataSetOf(image), group, element);
}

ToolkitAttribute GetAttribute(const ToolkitDataSet &dataSet, quint16 group, quint16 element)
{
    return readAttribute(itemOf(dataSet), group, element);
}

bool SetAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element, const QString &value, Result *error)
{
    const bool ok = writeText(dataSetOf(image), group, element, value, error);
    touch(image);
    return ok;
}

bool SetAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element, qint16 value, Result *error)
{
    const bool ok = writeInt16(dataSetOf(image), group, element, value, error);
    touch(image);
    return ok;
}

bool SetAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element, const ToolkitSequence &items, Result *error)
{
    const bool ok = writeSequence(dataSetOf(image), group, element, items, error);
    touch(image);
    return ok;
}

bool SetAttribute(ToolkitDataSet &dataSet, quint16 group, quint16 element, const QString &value, Result *error)
{
    return writeText(itemOf(dataSet), group, element, value, error);
}

bool SetAttribute(ToolkitDataSet &dataSet, quint16 group, quint16 element, qint16 value, Result *error)
{
    return writeInt16(itemOf(dataSet), group, element, value, error);
}

bool SetAttribute(ToolkitDataSet &dataSet, quint16 group, quint16 element, const ToolkitSequence &items, Result *error)
{
    return writeSequence(itemOf(dataSet), group, element, items, error);
}

ToolkitSequence GetSequence(const ToolkitImagePtr &image, quint16 group, quint16 element)
{
    return readSequence(dataSetOf(image), image, group, element);
}

ToolkitSequence GetSequence(const ToolkitDataSet &dataSet, quint16 group, quint16 element)
{
    return dataSet.d ? readSequence(itemOf(dataSet), dataSet.d->item, group, element) : ToolkitSequence{};
}

bool RemoveAttribute(const ToolkitImagePtr &image, quint16 group, quint16 element)
{
    DcmDataset *ds = dataSetOf(image);
    if (!ds)
        return false;
    touch(image);
    return ds->findAndDeleteElement(DcmTagKey(group, element), OFFalse, OFFalse).good();
}

bool RemoveAttribute(ToolkitDataSet &dataSet, quint16 group, quint16 element)
{
    DcmItem *item = itemOf(dataSet);
    return item && item->findAndDeleteElement(DcmTagKey(group, element), OFFalse, OFFalse).good();
}

ToolkitDataSet NewDataSet() { return ToolkitDataSet(); }

QByteArray EncodeDataSet(const ToolkitDataSet &dataSet, QString *transferSyntaxUid)
{
    DcmDataset copy;
    DcmItem &item = *dataSet.d->item;
    for (unsigned long i = 0; i < item.card(); ++i)
        copy.insert(OFstatic_cast(DcmElement *, item.getElement(i)->clone()));
    const E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    const Uint32 length = copy.getLength(xfer, EET_ExplicitLength);
    QByteArray out(qsizetype(length) + 16, '\0');
    DcmOutputBufferStream stream(out.data(), offile_off_t(out.size()));
    copy.transferInit();
    const OFCondition cond = copy.write(stream, xfer, EET_ExplicitLength, nullptr);
    copy.transferEnd();
    if (cond.bad())
        return {};
    out.truncate(qsizetype(stream.tell()));
    if (transferSyntaxUid)
        *transferSyntaxUid = QString::fromLatin1(DcmXfer(xfer).getXferID());
    return out;
}

ToolkitSequence NewSequence(const QList<ToolkitDataSet> &items) { return items; }

QString NewUid()
{
    char buf[100];
    dcmGenerateUniqueIdentifier(buf, SITE_INSTANCE_UID_ROOT);
    return QString::fromLatin1(buf);
}

ToolkitWindow ImageWindow(const ToolkitImagePtr &image)
{
    ToolkitWindow w;
    DcmDataset *ds = dataSetOf(image);
    if (!ds)
        return w;
    Float64 c = 0, width = 0;
    if (ds->findAndGetFloat64(DCM_WindowCenter, c).good() && ds->findAndGetFloat64(DCM_WindowWidth, width).good()
        && width >= 1) {
        w.center = c;
        w.width = width;
        w.valid = true;
        return w;
    }
    // No window stored: the one the renderer computes (needs the pixels).
    std::unique_ptr<DicomImage> di = openJob(MakeRenderJob(image, QSize()), nullptr);
    return di ? applyWindow(*di) : w;
}

ToolkitPatient ImagePatient(const ToolkitImagePtr &image)
{
    ToolkitPatient p;
    DcmDataset *ds = dataSetOf(image);
    if (!ds)
        return p;
    OFString v;
    if (ds->findAndGetOFStringArray(DCM_PatientName, v).good())
        p.name = decodedText(ds, EVR_PN, v, &p.charsetProblem);
    if (ds->findAndGetOFStringArray(DCM_PatientID, v).good())
        p.id = decodedText(ds, EVR_LO, v, &p.charsetProblem);
    if (ds->findAndGetOFString(DCM_PatientBirthDate, v).good())
        p.birthDate = qs(v);
    if (ds->findAndGetOFString(DCM_PatientSex, v).good())
        p.sex = qs(v);
    // One examination, one folder: the study UID, which is digits and dots only.
    QString key;
    if (ds->findAndGetOFString(DCM_StudyInstanceUID, v).good())
        key = qs(v);
    if (key.isEmpty())
        key = p.id;
    for (QChar &ch : key)
        if (!(ch.isLetterOrNumber() || ch == QLatin1Char('.') || ch == QLatin1Char('-') || ch == QLatin1Char('_')))
            ch = QLatin1Char('_');
    // A key of dots alone would name this folder or the one above.
    if (key.count(QLatin1Char('.')) == key.size())
        key.fill(QLatin1Char('_'));
    p.exportKey = key.isEmpty() ? QStringLiteral("unknown") : key;
    return p;
}

ToolkitRenderJob MakeRenderJob(const ToolkitImagePtr &image, QSize maxSize, bool dcmtkOnly)
{
    ToolkitRenderJob job;
    job.d = std::make_shared<ToolkitRenderJob::Impl>();
    job.d->maxSize = maxSize;
    job.d->dcmtkOnly = dcmtkOnly;
    if (!dataSetOf(image))
        return job;
    if (image->d->loadedRevision == image->revision_ && QFileInfo::exists(image->path_))
        job.d->path = image->path_;
    else
        job.d->copy = std::make_unique<DcmFileFormat>(image->d->file);
    return job;
}

QImage RunRenderJob(const ToolkitRenderJob &job, Result *error, QStringList *notes)
{
    if (job.d && !job.d->dcmtkOnly && (job.d->copy || !job.d->path.isEmpty())) {
        DcmFileFormat file;
        DcmDataset *ds = job.d->copy ? job.d->copy->getDataset() : nullptr;
        if (!ds) {
            // Large values stay in the file: the pixels are read as they are needed.
            if (file.loadFile(QFile::encodeName(job.d->path).constData()).bad())
                return fail(error, ErrorCode::NotReadable, QStringLiteral("Cannot read %1").arg(job.d->path)), QImage();
            ds = file.getDataset();
        }
        // JPEG 2000 is decoded here, so that the decoder's reason for a failure
        // and its notes reach the caller, and the quick path serves it too.
        const E_TransferSyntax xfer = ds->getOriginalXfer();
        if (xfer == EXS_JPEG2000LosslessOnly || xfer == EXS_JPEG2000) {
            RegisterToolkitCodecs();
            bool handled = false;
            QImage out = renderJpeg2000(ds, job.d->maxSize, &handled, error, notes);
            if (handled)
                return out;
            const OFCondition c = ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
            if (notes)
                *notes << TakeJpeg2000Notes();
            else
                TakeJpeg2000Notes();
            if (c.bad())
                return fail(error, ErrorCode::NoPixels, qs(c.text())), QImage();
            DicomImage di(ds, EXS_LittleEndianExplicit, CIF_MayDetachPixelData);
            if (di.getStatus() != EIS_Normal)
                return fail(error, ErrorCode::NoPixels, QString::fromLatin1(DicomImage::getString(di.getStatus()))), QImage();
            return renderPicture(di, job.d->maxSize, error);
        }
        bool handled = false;
        QImage out = renderNative(ds, job.d->maxSize, &handled, error);
        if (handled)
            return out;
        if (!job.d->copy) // DCMTK reads the file itself
            file.clear();
    }
    std::unique_ptr<DicomImage> di = openJob(job, error);
    if (!di)
        return QImage();
    return renderPicture(*di, job.d->maxSize, error);
}

QImage RenderImage(const ToolkitImagePtr &image, QSize maxSize, Result *error)
{
    return RunRenderJob(MakeRenderJob(image, maxSize), error);
}

DcmItem *ToolkitItem(const ToolkitDataSet &dataSet) { return itemOf(dataSet); }

ToolkitDataSet ToolkitDataSetOf(DcmItem *item)
{
    ToolkitDataSet ds;
    ds.d->item.reset(item);
    return ds;
}

ToolkitImagePtr NewToolkitObject(const QString &path)
{
    auto object = std::make_shared<ToolkitImage>();
    object->d = std::make_unique<ToolkitImage::Impl>();
    object->path_ = path;
    return object;
}

DcmFileFormat *ToolkitFileFormat(const ToolkitImagePtr &image)
{
    return image && image->d ? &image->d->file : nullptr;
}
