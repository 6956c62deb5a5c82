#include "toolkit/Jpeg2000.h"

#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcswap.h>
#include <dcmtk/dcmdata/dcvrpobw.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <openjpeg.h>

#include <QThread>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr unsigned short kCode = 0x4A2; // our own dcmdata condition, its text says what went wrong
// A larger image is refused before anything is allocated for it (a full-field
// mammogram has about 20 million samples).
constexpr qint64 kMaxSamples = qint64(1) << 28;

thread_local QStringList notes;

OFCondition failure(const QString &why)
{
    return OFCondition(OFM_dcmdata, kCode, OF_error, QStringLiteral("JPEG 2000: %1").arg(why).toUtf8().constData());
}

bool isJpeg2000(E_TransferSyntax x) { return x == EXS_JPEG2000LosslessOnly || x == EXS_JPEG2000; }

// What the image's header says the pixels are.
struct Geometry {
    Uint16 rows = 0, columns = 0, samples = 1, bitsAllocated = 0, bitsStored = 0, signedPixels = 0;
    Sint32 frames = 1;
    OFString photometric;
    size_t frameBytes() const { return size_t(rows) * columns * samples * (bitsAllocated / 8); }
    // Colour transformed by the code stream comes out as RGB.
    bool transformedColour() const { return samples == 3 && (photometric == "YBR_RCT" || photometric == "YBR_ICT"); }
};

OFCondition readGeometry(DcmItem *ds, Geometry &g)
{
    ds->findAndGetUint16(DCM_Rows, g.rows);
    ds->findAndGetUint16(DCM_Columns, g.columns);
    ds->findAndGetUint16(DCM_SamplesPerPixel, g.samples);
    ds->findAndGetUint16(DCM_BitsAllocated, g.bitsAllocated);
    ds->findAndGetUint16(DCM_BitsStored, g.bitsStored);
    ds->findAndGetUint16(DCM_PixelRepresentation, g.signedPixels);
    ds->findAndGetOFString(DCM_PhotometricInterpretation, g.photometric);
    if (ds->findAndGetSint32(DCM_NumberOfFrames, g.frames).bad() || g.frames < 1)
        g.frames = 1;
    if (g.rows == 0 || g.columns == 0 || !(g.samples == 1 || g.samples == 3))
        return failure(QStringLiteral("the header gives %1 x %2 pixels of %3 samples").arg(g.columns).arg(g.rows).arg(g.samples));
    if (!(g.bitsAllocated == 8 || g.bitsAllocated == 16) || g.bitsStored == 0 || g.bitsStored > g.bitsAllocated)
        return failure(QStringLiteral("%1 bits stored in %2 allocated are not supported").arg(g.bitsStored).arg(g.bitsAllocated));
    if (qint64(g.rows) * g.columns * g.samples * g.frames > kMaxSamples)
        return failure(QStringLiteral("%1 frames of %2 x %3 pixels are too large").arg(g.frames).arg(g.columns).arg(g.rows));
    return EC_Normal;
}

// OpenJPEG reads the code stream from memory.
struct Source {
    const Uint8 *data = nullptr;
    OPJ_SIZE_T size = 0, pos = 0;
};

OPJ_SIZE_T readSource(void *buffer, OPJ_SIZE_T n, void *user)
{
    auto *s = static_cast<Source *>(user);
    if (s->pos >= s->size)
        return OPJ_SIZE_T(-1);
    n = std::min(n, s->size - s->pos);
    memcpy(buffer, s->data + s->pos, n);
    s->pos += n;
    return n;
}

OPJ_OFF_T skipSource(OPJ_OFF_T n, void *user)
{
    auto *s = static_cast<Source *>(user);
    const OPJ_OFF_T to = std::clamp<OPJ_OFF_T>(OPJ_OFF_T(s->pos) + n, 0, OPJ_OFF_T(s->size));
    const OPJ_OFF_T moved = to - OPJ_OFF_T(s->pos);
    s->pos = OPJ_SIZE_T(to);
    return moved == n ? n : -1;
}

OPJ_BOOL seekSource(OPJ_OFF_T to, void *user)
{
    auto *s = static_cast<Source *>(user);
    if (to < 0 || OPJ_SIZE_T(to) > s->size)
        return OPJ_FALSE;
    s->pos = OPJ_SIZE_T(to);
    return OPJ_TRUE;
}

// The encoder writes into memory.
struct Sink {
    QByteArray bytes;
    qsizetype pos = 0;
};

OPJ_SIZE_T writeSink(void *buffer, OPJ_SIZE_T n, void *user)
{
    auto *s = static_cast<Sink *>(user);
    if (s->pos + qsizetype(n) > s->bytes.size())
        s->bytes.resize(s->pos + qsizetype(n));
    memcpy(s->bytes.data() + s->pos, buffer, n);
    s->pos += qsizetype(n);
    return n;
}

OPJ_OFF_T skipSink(OPJ_OFF_T n, void *user)
{
    auto *s = static_cast<Sink *>(user);
    if (s->pos + n < 0)
        return -1;
    s->pos += n;
    if (s->pos > s->bytes.size())
        s->bytes.resize(s->pos);
    return n;
}

OPJ_BOOL seekSink(OPJ_OFF_T to, void *user)
{
    auto *s = static_cast<Sink *>(user);
    if (to < 0)
        return OPJ_FALSE;
    s->pos = qsizetype(to);
    if (s->pos > s->bytes.size())
        s->bytes.resize(s->pos);
    return OPJ_TRUE;
}

// OpenJPEG's complaints, for the reason given back.
void keepMessage(const char *text, void *user)
{
    auto *messages = static_cast<QStringList *>(user);
    if (messages->size() < 8)
        messages->append(QString::fromUtf8(text).trimmed());
}
void dropMessage(const char *, void *) {}

struct CodecDeleter {
    void operator()(opj_codec_t *c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
    void operator()(opj_stream_t *s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
    void operator()(opj_image_t *i) const { opj_image_destroy(i); }
};
using CodecPtr = std::unique_ptr<opj_codec_t, CodecDeleter>;
using StreamPtr = std::unique_ptr<opj_stream_t, StreamDeleter>;
using ImagePtr = std::unique_ptr<opj_image_t, ImageDeleter>;

CodecPtr newCodec(opj_codec_t *codec, QStringList *messages)
{
    opj_set_error_handler(codec, keepMessage, messages);
    opj_set_warning_handler(codec, keepMessage, messages);
    opj_set_info_handler(codec, dropMessage, nullptr);
    return CodecPtr(codec);
}

QString reasons(const QStringList &messages)
{
    return messages.isEmpty() ? QStringLiteral("OpenJPEG gave no reason") : messages.join(QStringLiteral("; "));
}

// Samples as the header says they are stored: two's complement in Bits Stored
// for signed pixels, the low Bits Stored bits otherwise.
template <typename T>
void storeSamples(const opj_image_t &image, const Geometry &g, size_t n, T *out)
{
    const int shift = 32 - g.bitsStored;
    const quint32 mask = g.bitsStored >= 32 ? ~0u : (1u << g.bitsStored) - 1;
    for (Uint16 c = 0; c < g.samples; ++c) {
        const OPJ_INT32 *src = image.comps[c].data;
        T *dst = out + c;
        const size_t step = g.samples;
        if (g.signedPixels) {
            for (size_t i = 0; i < n; ++i, dst += step)
                *dst = T(OPJ_INT32(quint32(src[i]) << shift) >> shift);
        } else {
            for (size_t i = 0; i < n; ++i, dst += step)
                *dst = T(quint32(src[i]) & mask);
        }
    }
}

// Where a decoded frame goes: a buffer of frameBytes() at full resolution, or,
// at a reduced one, a buffer sized once the code stream tells the size.
struct Target {
    Uint8 *fixed = nullptr;
    std::vector<Uint8> *sized = nullptr;
    int reduce = 0; // resolution levels left out, each halving both sides
    QSize decoded;
};

// One frame's code stream (raw or JP2) into the target.
OFCondition decodeStream(const Uint8 *data, size_t size, const Geometry &g, Target &out)
{
    static const Uint8 jp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    OPJ_CODEC_FORMAT format = OPJ_CODEC_UNKNOWN;
    if (size >= 12 && memcmp(data, jp2Signature, 12) == 0)
        format = OPJ_CODEC_JP2;
    else if (size >= 4 && data[0] == 0xFF && data[1] == 0x4F && data[2] == 0xFF && data[3] == 0x51)
        format = OPJ_CODEC_J2K;
    else
        return failure(QStringLiteral("the pixel data is no JPEG 2000 code stream (%1 bytes)").arg(size));

    QStringList messages;
    CodecPtr codec = newCodec(opj_create_decompress(format), &messages);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!codec || !opj_setup_decoder(codec.get(), &params))
        return failure(QStringLiteral("OpenJPEG cannot start: %1").arg(reasons(messages)));
    // A stream that ends early is an error, not a blurred image.
    opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE);
    if (opj_has_thread_support())
        opj_codec_set_threads(codec.get(), Jpeg2000DecoderThreads());

    Source source{data, size, 0};
    StreamPtr stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
    opj_stream_set_user_data(stream.get(), &source, nullptr);
    opj_stream_set_user_data_length(stream.get(), size);
    opj_stream_set_read_function(stream.get(), readSource);
    opj_stream_set_skip_function(stream.get(), skipSource);
    opj_stream_set_seek_function(stream.get(), seekSource);

    opj_image_t *raw = nullptr;
    const bool header = opj_read_header(stream.get(), codec.get(), &raw);
    ImagePtr image(raw);
    if (!header || !image)
        return failure(QStringLiteral("unreadable main header: %1").arg(reasons(messages)));

    // Everything the pixels will need is checked before OpenJPEG allocates them.
    const qint64 width = qint64(image->x1) - image->x0, height = qint64(image->y1) - image->y0;
    if (width != g.columns || height != g.rows)
        return failure(QStringLiteral("the code stream is %1 x %2 pixels, the header says %3 x %4")
                           .arg(width).arg(height).arg(g.columns).arg(g.rows));
    if (image->numcomps != g.samples)
        return failure(QStringLiteral("the code stream has %1 components, the header says %2 samples per pixel")
                           .arg(image->numcomps).arg(g.samples));
    bool signMismatch = false;
    for (OPJ_UINT32 c = 0; c < image->numcomps; ++c) {
        const opj_image_comp_t &comp = image->comps[c];
        if (comp.dx != 1 || comp.dy != 1)
            return failure(QStringLiteral("component %1 is subsampled").arg(c));
        if (comp.prec == 0 || comp.prec > g.bitsAllocated)
            return failure(QStringLiteral("%1-bit samples do not fit into %2 bits allocated").arg(comp.prec).arg(g.bitsAllocated));
        signMismatch = signMismatch || bool(comp.sgnd) != bool(g.signedPixels);
    }

    // Never more levels left out than every tile has.
    int reduce = out.sized ? out.reduce : 0;
    if (reduce > 0) {
        opj_codestream_info_v2_t *info = opj_get_cstr_info(codec.get());
        const int levels = info && info->m_default_tile_info.tccp_info ? int(info->m_default_tile_info.tccp_info[0].numresolutions) : 1;
        opj_destroy_cstr_info(&info);
        reduce = std::min(reduce, levels - 1);
        if (reduce > 0 && !opj_set_decoded_resolution_factor(codec.get(), OPJ_UINT32(reduce)))
            reduce = 0;
    }
    const auto reduced = [reduce](OPJ_UINT32 from, OPJ_UINT32 to) {
        const OPJ_UINT32 step = OPJ_UINT32(1) << reduce;
        return (to + step - 1) / step - (from + step - 1) / step;
    };
    const OPJ_UINT32 columns = reduced(image->x0, image->x1), rows = reduced(image->y0, image->y1);

    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get()))
        return failure(QStringLiteral("decoding failed: %1").arg(reasons(messages)));
    for (OPJ_UINT32 c = 0; c < image->numcomps; ++c)
        if (!image->comps[c].data || image->comps[c].w != columns || image->comps[c].h != rows)
            return failure(QStringLiteral("component %1 was not decoded whole").arg(c));

    if (signMismatch)
        notes.append(QStringLiteral("JPEG 2000: the code stream's samples are %1, Pixel Representation says %2; read as %2")
                         .arg(image->comps[0].sgnd ? QStringLiteral("signed") : QStringLiteral("unsigned"),
                              g.signedPixels ? QStringLiteral("signed") : QStringLiteral("unsigned")));
    const size_t n = size_t(columns) * rows;
    Uint8 *to = out.fixed;
    if (out.sized) {
        out.sized->resize(n * g.samples * (g.bitsAllocated / 8));
        to = out.sized->data();
    }
    out.decoded = QSize(int(columns), int(rows));
    if (g.bitsAllocated == 8)
        storeSamples(*image, g, n, to);
    else
        storeSamples(*image, g, n, reinterpret_cast<Uint16 *>(to));
    return EC_Normal;
}

bool startsCodeStream(DcmPixelItem *item)
{
    Uint8 *p = nullptr;
    if (!item || item->getLength() < 4 || item->getUint8Array(p).bad() || !p)
        return false;
    return (p[0] == 0xFF && p[1] == 0x4F && p[2] == 0xFF && p[3] == 0x51) || (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0x0C);
}

// Decodes frame `frame` from its fragments, starting at `start` when that is
// known (else found from the offset table or the fragments' first bytes);
// start is left at the next frame's first fragment.
OFCondition decodeFrameAt(DcmPixelSequence *seq, const Geometry &g, Uint32 frame, Uint32 &start, Target &out)
{
    const unsigned long count = seq ? seq->card() : 0;
    if (count < 2)
        return failure(QStringLiteral("the pixel data holds no fragments"));
    Uint32 first = start;
    if (g.frames == 1)
        first = 1;
    else if (first == 0 && DcmCodec::determineStartFragment(frame, g.frames, seq, first).bad())
        first = count - 1 == Uint32(g.frames) ? frame + 1 : 0;
    if (first == 0 || first >= count)
        return failure(QStringLiteral("the fragments of frame %1 are not found").arg(frame + 1));
    Uint32 end = first + 1;
    if (g.frames == 1) {
        end = Uint32(count);
    } else {
        for (DcmPixelItem *item = nullptr; end < count; ++end)
            if (seq->getItem(item, end).good() && startsCodeStream(item))
                break;
    }
    start = end;

    std::vector<Uint8> joined;
    const Uint8 *data = nullptr;
    size_t size = 0;
    for (Uint32 i = first; i < end; ++i) {
        DcmPixelItem *item = nullptr;
        Uint8 *p = nullptr;
        if (seq->getItem(item, i).bad() || !item || (item->getLength() > 0 && (item->getUint8Array(p).bad() || !p)))
            return failure(QStringLiteral("fragment %1 cannot be read").arg(i));
        if (end - first == 1) {
            data = p;
            size = item->getLength();
        } else if (p) {
            joined.insert(joined.end(), p, p + item->getLength());
        }
    }
    if (!joined.empty()) {
        data = joined.data();
        size = joined.size();
    }
    return decodeStream(data, size, g, out);
}

class Jpeg2000CodecParameter : public DcmCodecParameter {
public:
    DcmCodecParameter *clone() const override { return new Jpeg2000CodecParameter(*this); }
    const char *className() const override { return "Jpeg2000CodecParameter"; }
};

class Jpeg2000RepresentationParameter : public DcmRepresentationParameter {
public:
    DcmRepresentationParameter *clone() const override { return new Jpeg2000RepresentationParameter(*this); }
    const char *className() const override { return "Jpeg2000RepresentationParameter"; }
    OFBool operator==(const DcmRepresentationParameter &arg) const override
    {
        return strcmp(arg.className(), className()) == 0;
    }
};

class Jpeg2000Decoder : public DcmCodec {
public:
    OFCondition decode(const DcmRepresentationParameter *, DcmPixelSequence *pixSeq, DcmPolymorphOBOW &uncompressed,
                       const DcmCodecParameter *, const DcmStack &objStack, OFBool &removeOldRep) const override
    {
        // The compressed pixel data stays: a stamped image is written as it came.
        removeOldRep = OFFalse;
        DcmStack stack(objStack);
        stack.pop(); // the pixel data
        DcmObject *parent = stack.pop();
        if (!parent || (parent->ident() != EVR_dataset && parent->ident() != EVR_item))
            return EC_InvalidTag;
        auto *item = static_cast<DcmItem *>(parent);
        Geometry g;
        OFCondition c = readGeometry(item, g);
        if (c.bad())
            return c;
        const size_t total = g.frameBytes() * size_t(g.frames);
        Uint16 *words = nullptr;
        c = uncompressed.createUint16Array(Uint32((total + 1) / 2), words);
        if (c.bad() || !words)
            return c.bad() ? c : EC_MemoryExhausted;
        Uint32 fragment = 0;
        for (Sint32 f = 0; f < g.frames && c.good(); ++f) {
            Target frame;
            frame.fixed = reinterpret_cast<Uint8 *>(words) + size_t(f) * g.frameBytes();
            c = decodeFrameAt(pixSeq, g, Uint32(f), fragment, frame);
        }
        if (c.bad())
            return c;
        if (g.bitsAllocated == 8) // bytes were laid out as on disk
            swapIfNecessary(gLocalByteOrder, EBO_LittleEndian, words, Uint32(total + 1) & ~1u, sizeof(Uint16));
        if (g.transformedColour()) {
            item->putAndInsertString(DCM_PhotometricInterpretation, "RGB");
            item->putAndInsertUint16(DCM_PlanarConfiguration, 0);
        }
        return EC_Normal;
    }

    OFCondition decodeFrame(const DcmRepresentationParameter *, DcmPixelSequence *fromPixSeq, const DcmCodecParameter *,
                            DcmItem *dataset, Uint32 frameNo, Uint32 &startFragment, void *buffer, Uint32 bufSize,
                            OFString &decompressedColorModel) const override
    {
        if (!dataset || !buffer)
            return EC_IllegalParameter;
        Geometry g;
        OFCondition c = readGeometry(dataset, g);
        if (c.bad())
            return c;
        if (frameNo >= Uint32(g.frames) || bufSize < g.frameBytes())
            return EC_IllegalCall;
        Target frame;
        frame.fixed = static_cast<Uint8 *>(buffer);
        c = decodeFrameAt(fromPixSeq, g, frameNo, startFragment, frame);
        if (c.good())
            decompressedColorModel = g.transformedColour() ? OFString("RGB") : g.photometric;
        return c;
    }

    // Decoding only: the workstation never compresses.
    OFCondition encode(const Uint16 *, const Uint32, const DcmRepresentationParameter *, DcmPixelSequence *&,
                       const DcmCodecParameter *, DcmStack &, OFBool &) const override
    {
        return EC_IllegalCall;
    }

    OFCondition encode(const E_TransferSyntax, const DcmRepresentationParameter *, DcmPixelSequence *,
                       const DcmRepresentationParameter *, DcmPixelSequence *&, const DcmCodecParameter *, DcmStack &,
                       OFBool &) const override
    {
        return EC_IllegalCall;
    }

    OFBool canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const override
    {
        return isJpeg2000(oldRepType) && DcmXfer(newRepType).isNotEncapsulated();
    }

    OFCondition determineDecompressedColorModel(const DcmRepresentationParameter *, DcmPixelSequence *,
                                                const DcmCodecParameter *, DcmItem *dataset,
                                                OFString &decompressedColorModel) const override
    {
        if (!dataset)
            return EC_IllegalParameter;
        Geometry g;
        dataset->findAndGetUint16(DCM_SamplesPerPixel, g.samples);
        const OFCondition c = dataset->findAndGetOFString(DCM_PhotometricInterpretation, g.photometric);
        decompressedColorModel = g.transformedColour() ? OFString("RGB") : g.photometric;
        return c;
    }
};

} // namespace

void RegisterJpeg2000Decoder()
{
    static std::once_flag once;
    std::call_once(once, [] {
        static const Jpeg2000Decoder decoder;
        static const Jpeg2000RepresentationParameter representation;
        static const Jpeg2000CodecParameter parameter;
        DcmCodecList::registerCodec(&decoder, &representation, &parameter);
    });
}

bool DecodeJpeg2000Frame(DcmItem *dataSet, QSize atLeast, std::vector<quint8> *samples, QSize *size, Result *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = Result::failure(ErrorCode::NoPixels, why);
        return false;
    };
    Geometry g;
    OFCondition c = dataSet ? readGeometry(dataSet, g) : EC_IllegalParameter;
    if (c.bad())
        return fail(QString::fromUtf8(c.text()));
    DcmElement *element = nullptr;
    DcmPixelSequence *seq = nullptr;
    if (dataSet->findAndGetElement(DCM_PixelData, element).bad() || !element || element->ident() != EVR_PixelData)
        return fail(QStringLiteral("No pixel data"));
    auto *pixels = static_cast<DcmPixelData *>(element);
    E_TransferSyntax xfer = EXS_Unknown;
    for (E_TransferSyntax x : {EXS_JPEG2000LosslessOnly, EXS_JPEG2000})
        if (pixels->getEncapsulatedRepresentation(x, nullptr, seq).good() && seq) {
            xfer = x;
            break;
        }
    if (xfer == EXS_Unknown)
        return fail(QStringLiteral("JPEG 2000: no code stream in the pixel data"));
    // The smallest resolution whose sides are both still at least as asked.
    int reduce = 0;
    if (atLeast.isValid() && !atLeast.isEmpty())
        while (reduce < 30 && (g.columns >> (reduce + 1)) >= atLeast.width() && (g.rows >> (reduce + 1)) >= atLeast.height())
            ++reduce;
    Target out;
    out.sized = samples;
    out.reduce = reduce;
    Uint32 fragment = 0;
    c = decodeFrameAt(seq, g, 0, fragment, out);
    if (c.bad())
        return fail(QString::fromUtf8(c.text()));
    *size = out.decoded;
    return true;
}

int Jpeg2000DecoderThreads() { return std::max(1, QThread::idealThreadCount()); }

QStringList TakeJpeg2000Notes()
{
    QStringList taken;
    taken.swap(notes);
    return taken;
}

QByteArray EncodeJpeg2000(const void *samples, int rows, int columns, int bitsStored, bool isSigned, double ratio, Result *error)
{
    auto fail = [&](qint32 number, const QString &why) {
        if (error)
            *error = Result::failure(number, QStringLiteral("JPEG 2000: %1").arg(why));
        return QByteArray();
    };
    if (!samples || rows < 1 || columns < 1 || bitsStored < 1 || bitsStored > 16)
        return fail(ErrorCode::InvalidCall, QStringLiteral("nothing to encode"));
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.cp_disto_alloc = 1;
    params.tcp_rates[0] = ratio > 0 ? float(ratio) : 0.0f;
    params.irreversible = ratio > 0 ? 1 : 0;
    params.tcp_mct = 0;
    // No more decomposition levels than the smaller side allows.
    while (params.numresolution > 1 && (1 << (params.numresolution - 1)) > std::min(rows, columns))
        --params.numresolution;

    opj_image_cmptparm_t component{};
    component.dx = component.dy = 1;
    component.w = OPJ_UINT32(columns);
    component.h = OPJ_UINT32(rows);
    component.prec = OPJ_UINT32(bitsStored);
    component.sgnd = isSigned ? 1 : 0;
    ImagePtr image(opj_image_create(1, &component, OPJ_CLRSPC_GRAY));
    if (!image)
        return fail(ErrorCode::OutOfMemory, QStringLiteral("no memory for the image"));
    image->x1 = OPJ_UINT32(columns);
    image->y1 = OPJ_UINT32(rows);
    const size_t n = size_t(rows) * size_t(columns);
    OPJ_INT32 *dst = image->comps[0].data;
    if (bitsStored <= 8) {
        const auto *src = static_cast<const Uint8 *>(samples);
        for (size_t i = 0; i < n; ++i)
            dst[i] = isSigned ? OPJ_INT32(Sint8(src[i])) : OPJ_INT32(src[i]);
    } else {
        const auto *src = static_cast<const Uint16 *>(samples);
        for (size_t i = 0; i < n; ++i)
            dst[i] = isSigned ? OPJ_INT32(Sint16(src[i])) : OPJ_INT32(src[i]);
    }

    QStringList messages;
    CodecPtr codec = newCodec(opj_create_compress(OPJ_CODEC_J2K), &messages);
    if (!codec || !opj_setup_encoder(codec.get(), &params, image.get()))
        return fail(ErrorCode::WriteFailed, QStringLiteral("OpenJPEG cannot start: %1").arg(reasons(messages)));
    if (opj_has_thread_support())
        opj_codec_set_threads(codec.get(), Jpeg2000DecoderThreads());
    Sink sink;
    StreamPtr stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE));
    opj_stream_set_user_data(stream.get(), &sink, nullptr);
    opj_stream_set_write_function(stream.get(), writeSink);
    opj_stream_set_skip_function(stream.get(), skipSink);
    opj_stream_set_seek_function(stream.get(), seekSink);
    if (!opj_start_compress(codec.get(), image.get(), stream.get()) || !opj_encode(codec.get(), stream.get())
        || !opj_end_compress(codec.get(), stream.get()))
        return fail(ErrorCode::WriteFailed, QStringLiteral("encoding failed: %1").arg(reasons(messages)));
    stream.reset(); // flushes what is still buffered
    return sink.bytes;
}
