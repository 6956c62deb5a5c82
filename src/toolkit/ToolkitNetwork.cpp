#include "toolkit/ToolkitNetwork.h"

#include "toolkit/Codecs.h"
#include "toolkit/Toolkit.h"
#include "toolkit/ToolkitInternal.h"
#include "toolkit/TlsLayer.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scu.h>

#include <QElapsedTimer>
#include <QSet>

#include <memory>
#include <vector>

#include <cerrno>
#include <poll.h>

namespace {


void fail(Result *error, qint32 number, const QString &text)
{
    if (error) {
        error->number = number;
        error->text = text;
    }
}

QString text(const OFCondition &c) { return QString::fromLatin1(c.text()); }

// The classes that may carry a compressed image from the detector or a reader.
const char *const kCompressedClasses[] = {
    UID_DigitalMammographyXRayImageStorageForPresentation, UID_DigitalMammographyXRayImageStorageForProcessing,
    UID_DigitalXRayImageStorageForPresentation, UID_DigitalXRayImageStorageForProcessing,
    UID_ComputedRadiographyImageStorage,
};
const char *const kCompressedSyntaxes[] = {
    UID_JPEGProcess14SV1TransferSyntax, UID_JPEGLSLosslessTransferSyntax, UID_RLELosslessTransferSyntax,
    UID_JPEGProcess1TransferSyntax, UID_JPEGProcess2_4TransferSyntax,
    UID_JPEG2000LosslessOnlyTransferSyntax, UID_JPEG2000TransferSyntax,
};

bool isUncompressed(E_TransferSyntax x)
{
    return x == EXS_LittleEndianExplicit || x == EXS_LittleEndianImplicit || x == EXS_BigEndianExplicit;
}

void configure(DcmSCU &scu, const QString &host, int port, const QString &callingAe, const QString &calledAe,
               int timeout = ToolkitAssociation::TimeoutSeconds)
{
    // DCMTK as built on Debian leaves Nagle's algorithm on unless TCP_NODELAY
    // says otherwise; each small C-STORE then waits for a delayed ACK (tens of
    // ms per image). It reads the variable when it connects. A value the
    // administrator set stays. Set once: queries run on worker threads, and
    // the environment is not to be written while another thread reads it.
    static const bool noDelay = [] {
        if (!qEnvironmentVariableIsSet("TCP_NODELAY"))
            qputenv("TCP_NODELAY", "1");
        return true;
    }();
    Q_UNUSED(noDelay);
    scu.setPeerHostName(host.toStdString().c_str());
    scu.setPeerPort(static_cast<Uint16>(port));
    scu.setAETitle(callingAe.toStdString().c_str());
    scu.setPeerAETitle(calledAe.toStdString().c_str());
    scu.setConnectionTimeout(timeout);
    scu.setACSETimeout(static_cast<Uint32>(timeout));
    scu.setDIMSETimeout(static_cast<Uint32>(timeout));
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setVerbosePCMode(OFFalse);
}

// DCMTK waits for the partner inside its association and DIMSE calls, which
// another thread may not touch and which no flag interrupts. This connection
// makes each of those waits poll the socket in slices of 100 ms and look at
// the cancel flag in between; once it is set, the wait ends as a time-out or
// a closed connection would, and DCMTK drops the association on its own thread.
class CancellableConnection : public DcmTCPConnection {
public:
    CancellableConnection(DcmNativeSocketType socket, const ToolkitCancel *cancel, int timeoutSeconds)
        : DcmTCPConnection(socket), cancel_(cancel), timeoutMs_(qint64(timeoutSeconds) * 1000)
    {
    }

    OFBool networkDataAvailable(int timeout) override { return readable(qint64(timeout) * 1000); }

    // DCMTK's blocking reads (the release) would otherwise wait on the socket alone.
    ssize_t read(void *buf, size_t nbyte) override
    {
        if (!readable(timeoutMs_)) {
            errno = ETIMEDOUT;
            return -1;
        }
        return DcmTCPConnection::read(buf, nbyte);
    }

private:
    bool readable(qint64 ms)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            if (cancel_->cancelled())
                return false;
            const qint64 left = ms - clock.elapsed();
            pollfd p{getSocket(), POLLIN, 0};
            const int n = ::poll(&p, 1, int(qBound(qint64(0), left, qint64(100))));
            if (n > 0 || (n < 0 && errno != EINTR))
                return true; // data, end of stream or an error: the read tells which
            if (left <= 0)
                return false;
        }
    }

    const ToolkitCancel *cancel_;
    qint64 timeoutMs_;
};

class CancellableLayer : public DcmTransportLayer {
public:
    CancellableLayer(const ToolkitCancel *cancel, int timeoutSeconds) : cancel_(cancel), timeoutSeconds_(timeoutSeconds) {}
    DcmTransportConnection *createConnection(DcmNativeSocketType socket, OFBool) override
    {
        return new CancellableConnection(socket, cancel_, timeoutSeconds_);
    }

private:
    const ToolkitCancel *cancel_;
    int timeoutSeconds_;
};

// An SCU whose network waits end when the flag is set, over TLS when the
// partner is marked for it. The layer must outlive the association; DCMTK's
// only hook for it is the one TLS uses, whose handshake is empty for a plain
// TCP connection.
class CancellableScu : public DcmSCU {
public:
    CancellableScu(const ToolkitCancel *cancel, int timeoutSeconds, const ToolkitSecurity &security = {})
        : layer_(cancel, timeoutSeconds), cancel_(cancel), security_(security), timeoutSeconds_(timeoutSeconds)
    {
    }
    // After initNetwork(), before negotiateAssociation().
    Result prepareTransport()
    {
        if (security_.tls) {
            tls_ = std::make_unique<TlsLayer>(NET_REQUESTOR, timeoutSeconds_, cancel_);
            if (Result r = tls_->configure(security_.files); !r)
                return r;
            if (const OFCondition c = useSecureConnection(tls_.get()); c.bad())
                return Result::failure(ErrorCode::TlsRefused, QString::fromLatin1(c.text()));
            return {};
        }
        if (cancel_) {
            if (const OFCondition c = useSecureConnection(&layer_); c.bad())
                return Result::failure(ErrorCode::NetworkError, QString::fromLatin1(c.text()));
        }
        return {};
    }
    bool cancelled() const { return cancel_ && cancel_->cancelled(); }
    // Why the TLS handshake failed; empty when it did not (or there was none).
    QString tlsFailure() const { return tls_ ? tls_->lastFailure() : QString(); }

private:
    CancellableLayer layer_;
    std::unique_ptr<TlsLayer> tls_;
    const ToolkitCancel *cancel_;
    ToolkitSecurity security_;
    int timeoutSeconds_;
};

// The reason the operator reads: a cancel rather than the closed connection it
// causes, the TLS refusal rather than the dropped association.
void failNetwork(Result *error, const CancellableScu &scu, const QString &text, const QString &peer = {})
{
    if (scu.cancelled())
        fail(error, ErrorCode::Cancelled, QStringLiteral("Cancelled"));
    else if (const QString tls = scu.tlsFailure(); !tls.isEmpty())
        fail(error, ErrorCode::TlsRefused, QStringLiteral("TLS with %1 refused: %2").arg(peer, tls));
    else
        fail(error, ErrorCode::NetworkError, text);
}

// initNetwork and the transport; false with the reason.
bool openNetwork(CancellableScu &scu, const QString &peer, Result *error)
{
    const OFCondition c = scu.initNetwork();
    if (c.bad()) {
        fail(error, ErrorCode::NetworkError, QStringLiteral("Association with %1 failed: %2").arg(peer, text(c)));
        return false;
    }
    if (const Result r = scu.prepareTransport(); !r) {
        fail(error, r.number, r.number == ErrorCode::TlsRefused ? QStringLiteral("TLS with %1 not possible: %2").arg(peer, r.text) : r.text);
        return false;
    }
    return true;
}

bool checkTarget(const QString &host, int port, const QString &calledAe, Result *error)
{
    if (host.isEmpty() || port < 1 || port > 65535) {
        fail(error, ErrorCode::NetworkError, QStringLiteral("Invalid partner address %1:%2").arg(host).arg(port));
        return false;
    }
    if (calledAe.isEmpty() || calledAe.size() > 16) {
        fail(error, ErrorCode::NetworkError, QStringLiteral("Invalid AE title '%1'").arg(calledAe));
        return false;
    }
    return true;
}

// Collects the answers of one C-FIND and notes its final status; stops
// waiting once the answers have run past the deadline.
class FindScu : public CancellableScu {
public:
    using CancellableScu::CancellableScu;
    std::vector<std::unique_ptr<DcmDataset>> answers;
    bool finished = false;
    Uint16 finalStatus = 0;
    QElapsedTimer clock;
    qint64 deadlineMs = 0;

    OFCondition handleFINDResponse(const T_ASC_PresentationContextID, QRResponse *response, OFBool &waitForNextResponse) override
    {
        waitForNextResponse = OFFalse;
        if (!response)
            return DIMSE_NULLKEY;
        if (DICOM_PENDING_STATUS(response->m_status)) {
            if (response->m_dataset) {
                answers.emplace_back(response->m_dataset);
                response->m_dataset = nullptr;
            }
            waitForNextResponse = clock.elapsed() <= deadlineMs && !cancelled();
        } else {
            finished = true;
            finalStatus = response->m_status;
        }
        return EC_Normal;
    }
};

// The answer's texts in UTF-8. A character set DCMTK cannot convert from is
// noted and the texts are taken as Latin-1, where every byte is a character.
ToolkitDataSet decodedAnswer(std::unique_ptr<DcmDataset> answer, QList<Result> &problems)
{
    DcmDataset received(*answer);
    const OFCondition c = answer->convertToUTF8();
    if (c.bad()) {
        OFString charset;
        received.findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
        problems.append({ErrorCode::CharsetUnknown, QStringLiteral("Character set '%1' not decoded (%2); texts shown as received")
                                              .arg(QString::fromLatin1(charset.c_str()), text(c))});
        *answer = received;
        answer->convertCharacterSet("ISO_IR 100", "ISO_IR 192", 0, OFTrue);
    }
    return ToolkitDataSetOf(answer.release());
}

} // namespace

struct ToolkitAssociation::Impl {
    Impl(int timeoutSeconds = ToolkitAssociation::TimeoutSeconds, const ToolkitSecurity &security = {}) : scu(nullptr, timeoutSeconds, security) {}
    CancellableScu scu;
};

ToolkitAssociation::ToolkitAssociation() : d(std::make_unique<Impl>()) {}

ToolkitAssociation::~ToolkitAssociation() { CloseAssociation(); }

bool ToolkitAssociation::isOpen() const { return d->scu.isConnected(); }

bool ToolkitAssociation::OpenAssociation(const QString &host, int port, const QString &callingAe, const QString &calledAe,
                                         Result *error)
{
    RegisterToolkitCodecs();
    CloseAssociation();
    d = std::make_unique<Impl>(timeoutSeconds_, security_);
    if (!checkTarget(host, port, calledAe, error))
        return false;
    CancellableScu &scu = d->scu;
    configure(scu, host, port, callingAe, calledAe, timeoutSeconds_);

    OFList<OFString> plain;
    plain.push_back(UID_LittleEndianExplicitTransferSyntax);
    plain.push_back(UID_LittleEndianImplicitTransferSyntax);
    // 128 presentation contexts at most: the compressed ones first, then the
    // storage classes as far as room allows.
    int contexts = 0;
    for (const char *cls : kCompressedClasses) {
        for (const char *xfer : kCompressedSyntaxes) {
            OFList<OFString> one;
            one.push_back(xfer);
            scu.addPresentationContext(cls, one);
            ++contexts;
        }
    }
    QSet<QString> added;
    auto addPlain = [&](const char *cls) {
        if (contexts >= 128 || added.contains(QString::fromLatin1(cls)))
            return;
        added.insert(QString::fromLatin1(cls));
        scu.addPresentationContext(cls, plain);
        ++contexts;
    };
    for (const char *cls : kCompressedClasses)
        addPlain(cls);
    addPlain(UID_SecondaryCaptureImageStorage);
    // Breast ultrasound shares studies with mammograms; DCMTK's list reaches it
    // only after the room the JPEG 2000 contexts take.
    addPlain(UID_UltrasoundImageStorage);
    addPlain(UID_UltrasoundMultiframeImageStorage);
    // The study's dose report goes with its images.
    addPlain(UID_XRayRadiationDoseSRStorage);
    for (int i = 0; i < numberOfDcmLongSCUStorageSOPClassUIDs; ++i)
        addPlain(dcmLongSCUStorageSOPClassUIDs[i]);

    const QString peer = QStringLiteral("%1 at %2:%3").arg(calledAe, host).arg(port);
    if (!openNetwork(scu, peer, error)) {
        d = std::make_unique<Impl>();
        return false;
    }
    const OFCondition c = scu.negotiateAssociation();
    if (c.bad()) {
        failNetwork(error, scu, QStringLiteral("Association with %1 failed: %2").arg(peer, text(c)), peer);
        d = std::make_unique<Impl>();
        return false;
    }
    return true;
}

bool ToolkitAssociation::SendImage(const ToolkitImagePtr &image, Result *error)
{
    DcmFileFormat *file = ToolkitFileFormat(image);
    if (!file) {
        fail(error, ErrorCode::NoImage, QStringLiteral("No image to send"));
        return false;
    }
    if (!isOpen()) {
        fail(error, ErrorCode::NetworkError, QStringLiteral("The association is not open"));
        return false;
    }
    DcmDataset *ds = file->getDataset();
    OFString sopClass;
    ds->findAndGetOFString(DCM_SOPClassUID, sopClass);
    const E_TransferSyntax current = ds->getCurrentXfer() == EXS_Unknown ? ds->getOriginalXfer() : ds->getCurrentXfer();
    const DcmXfer xfer(current);
    T_ASC_PresentationContextID id = 0;
    if (!isUncompressed(current))
        id = d->scu.findPresentationContextID(sopClass, xfer.getXferID());
    if (id == 0) {
        id = d->scu.findPresentationContextID(sopClass, UID_LittleEndianExplicitTransferSyntax);
        if (id == 0)
            id = d->scu.findPresentationContextID(sopClass, UID_LittleEndianImplicitTransferSyntax);
        if (id != 0 && !isUncompressed(current)) {
            // Accepted only uncompressed: decode first; the stored file stays as it is.
            if (ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad() || !ds->canWriteXfer(EXS_LittleEndianExplicit)) {
                fail(error, ErrorCode::NoPixels, QStringLiteral("Cannot decode the pixel data to send it uncompressed"));
                return false;
            }
        }
    }
    if (id == 0) {
        fail(error, ErrorCode::StoreRefused, QStringLiteral("The partner accepts no presentation context for %1").arg(QString::fromLatin1(sopClass.c_str())));
        return false;
    }
    Uint16 status = 0;
    const OFCondition c = d->scu.sendSTORERequest(id, OFFilename(), ds, status);
    if (c.bad()) {
        // A peer that aborted or stopped answering is gone for the rest of the
        // command: the next images fail at once instead of waiting again.
        fail(error, ErrorCode::NetworkError, QStringLiteral("Store failed: %1").arg(text(c)));
        if (d->scu.isConnected())
            d->scu.abortAssociation();
        return false;
    }
    // 0x0000 success; 0xB000, 0xB007, 0xB006 warnings count as stored.
    if (status != 0x0000 && (status & 0xF000) != 0xB000) {
        fail(error, ErrorCode::StoreRefused, QStringLiteral("The partner refused the image (status 0x%1)").arg(status, 4, 16, QLatin1Char('0')));
        return false;
    }
    return true;
}

bool ToolkitAssociation::SendFile(const QString &path, Result *error)
{
    if (!isOpen()) {
        fail(error, ErrorCode::NetworkError, QStringLiteral("The association is not open"));
        return false;
    }
    const ToolkitImagePtr object = ReadDicomObject(path, error);
    return object && SendImage(object, error);
}

void ToolkitAssociation::CloseAssociation()
{
    if (!d || !d->scu.isConnected())
        return;
    if (d->scu.releaseAssociation().bad())
        d->scu.abortAssociation();
}

bool VerifyPartner(const QString &host, int port, const QString &callingAe, const QString &calledAe, Result *error,
                   const ToolkitCancel *cancel, const ToolkitSecurity &security)
{
    if (!checkTarget(host, port, calledAe, error))
        return false;
    CancellableScu scu(cancel, ToolkitAssociation::TimeoutSeconds, security);
    configure(scu, host, port, callingAe, calledAe);
    OFList<OFString> xfers;
    xfers.push_back(UID_LittleEndianExplicitTransferSyntax);
    xfers.push_back(UID_LittleEndianImplicitTransferSyntax);
    scu.addPresentationContext(UID_VerificationSOPClass, xfers);
    const QString peer = QStringLiteral("%1 at %2:%3").arg(calledAe, host).arg(port);
    if (!openNetwork(scu, peer, error))
        return false;
    OFCondition c = scu.negotiateAssociation();
    if (c.good())
        c = scu.sendECHORequest(0);
    if (c.bad() || scu.cancelled()) {
        failNetwork(error, scu, QStringLiteral("Verification of %1 failed: %2").arg(peer, text(c)), peer);
        if (scu.isConnected())
            scu.abortAssociation();
        return false;
    }
    scu.releaseAssociation();
    return true;
}

bool RunWorklistQuery(const QString &callingAe, const QString &calledAe, const QString &host, int port, const QString &root,
                      const ToolkitDataSet &identifier, ToolkitQueryAnswers &result, Result *error, int timeoutSeconds,
                      const ToolkitCancel *cancel, const ToolkitSecurity &security)
{
    result = ToolkitQueryAnswers();
    if (root != QLatin1String("WORKLIST")) {
        fail(error, ErrorCode::NetworkError, QStringLiteral("Unknown query root '%1'").arg(root));
        return false;
    }
    if (!checkTarget(host, port, calledAe, error))
        return false;
    if (callingAe.isEmpty() || callingAe.size() > 16) {
        fail(error, ErrorCode::NetworkError, QStringLiteral("Invalid AE title '%1'").arg(callingAe));
        return false;
    }
    DcmItem *keys = ToolkitItem(identifier);
    DcmDataset request;
    for (unsigned long i = 0; keys && i < keys->card(); ++i)
        request.insert(static_cast<DcmElement *>(keys->getElement(i)->clone()));

    FindScu scu(cancel, timeoutSeconds, security);
    configure(scu, host, port, callingAe, calledAe, timeoutSeconds);
    OFList<OFString> xfers;
    xfers.push_back(UID_LittleEndianExplicitTransferSyntax);
    xfers.push_back(UID_LittleEndianImplicitTransferSyntax);
    scu.addPresentationContext(UID_FINDModalityWorklistInformationModel, xfers);
    const QString peer = QStringLiteral("%1 at %2:%3").arg(calledAe, host).arg(port);
    if (!openNetwork(scu, peer, error))
        return false;
    OFCondition c = scu.negotiateAssociation();
    if (c.bad()) {
        failNetwork(error, scu, QStringLiteral("Association with %1 failed: %2").arg(peer, text(c)), peer);
        return false;
    }
    const T_ASC_PresentationContextID id = scu.findPresentationContextID(UID_FINDModalityWorklistInformationModel, "");
    if (id == 0) {
        fail(error, ErrorCode::QueryRefused, QStringLiteral("%1 does not offer the modality worklist").arg(peer));
        scu.releaseAssociation();
        return false;
    }
    scu.clock.start();
    scu.deadlineMs = 2000LL * timeoutSeconds;
    c = scu.sendFINDRequest(id, &request, nullptr);
    if (c.bad() || !scu.finished) {
        failNetwork(error, scu,
                    c.bad() ? QStringLiteral("Worklist query to %1 failed: %2").arg(peer, text(c))
                            : QStringLiteral("%1 did not end its answers within %2 s").arg(peer).arg(2 * timeoutSeconds));
        if (scu.isConnected())
            scu.abortAssociation();
        return false;
    }
    scu.releaseAssociation();
    if (scu.finalStatus != STATUS_Success) {
        fail(error, ErrorCode::QueryRefused, QStringLiteral("%1 refused the worklist query (status 0x%2, %3)")
                                          .arg(peer)
                                          .arg(scu.finalStatus, 4, 16, QLatin1Char('0'))
                                          .arg(QString::fromLatin1(DU_cfindStatusString(scu.finalStatus))));
        return false;
    }
    for (auto &answer : scu.answers)
        result.answers.append(decodedAnswer(std::move(answer), result.charsetProblems));
    return true;
}
