#include "companions/receiver/Receiver.h"

#include "audit/AuditTrail.h"
#include "core/ApplicationFolder.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "companions/receiver/Acceptance.h"
#include "companions/receiver/DicomObject.h"
#include "toolkit/TlsLayer.h"

#include <QDir>
#include <QFileInfo>

#include <dcmtk/dcmdata/dcobject.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/scp.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <algorithm>
#include <list>
#include <set>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

volatile std::sig_atomic_t ReceiverStopRequested = 0;

void ReceiverLog(const QString &text)
{
    AppendLogLine(QStringLiteral("Receiver.log"), QStringLiteral("receiver"), LogTimestamp() + QLatin1Char(' ') + text);
}

void ReceiverTlsFailure(const QString &peer, const QString &reason)
{
    ReceiverLog(QStringLiteral("TLS failure from %1: %2").arg(peer, reason));
    // Before the handshake there is no AE title yet: the peer is its address.
    AuditSecurityAlert(SecurityAlertKind::TlsFailure, ReadSetting(QStringLiteral("Com\\IR_AET"), QString()), AuditPeer{QString(), peer, 0}, reason);
}

namespace {

bool settingOn(const QString &key, const char *defaultText)
{
    return ReadSetting(key, QString::fromLatin1(defaultText)).trimmed() != QLatin1String("0");
}

} // namespace

Result LoadReceiverOptions(ReceiverOptions *options)
{
    const QString aet = ReadSetting(QStringLiteral("Com\\IR_AET"), QStringLiteral("LumoraStation")).trimmed();
    const QString portText = ReadSetting(QStringLiteral("Com\\IR_Port"), QStringLiteral("105")).trimmed();
    if (aet.size() > 16)
        return Result::failure(ErrorCode::InvalidProperty,
                               QStringLiteral("AE title \"%1\" (Com\\IR_AET) is %2 characters long; at most 16 are allowed").arg(aet).arg(aet.size()));
    for (const QChar c : aet) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e || c == QLatin1Char('\\'))
            return Result::failure(ErrorCode::InvalidProperty,
                                   QStringLiteral("AE title \"%1\" (Com\\IR_AET) holds a character an AE title cannot carry").arg(aet));
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return Result::failure(ErrorCode::InvalidPortNumber, QStringLiteral("port \"%1\" (Com\\IR_Port) is not a port number").arg(portText));
    options->aeTitle = aet;
    options->port = static_cast<quint16>(port);
    options->plainPort = settingOn(QStringLiteral("Com\\IR_PlainPort"), "1");
    options->tlsPort = 0;
    if (settingOn(QStringLiteral("Com\\IR_TLS"), "0")) {
        const QString tlsText = ReadSetting(QStringLiteral("Com\\IR_TLS_Port"), QString::number(DicomTlsPort)).trimmed();
        const uint tlsPort = tlsText.toUInt(&ok);
        if (!ok || tlsPort == 0 || tlsPort > 65535)
            return Result::failure(ErrorCode::InvalidPortNumber, QStringLiteral("TLS port \"%1\" (Com\\IR_TLS_Port) is not a port number").arg(tlsText));
        if (options->plainPort && tlsPort == port)
            return Result::failure(ErrorCode::InvalidPortNumber,
                                   QStringLiteral("the TLS port (Com\\IR_TLS_Port) and the plain port (Com\\IR_Port) are both %1").arg(port));
        options->tlsPort = static_cast<quint16>(tlsPort);
        options->tls = {ReadSetting(QStringLiteral("Com\\TLS_PrivateKey"), QString::fromLatin1(DefaultTlsPrivateKey)).trimmed(),
                        ReadSetting(QStringLiteral("Com\\TLS_Certificate"), QString::fromLatin1(DefaultTlsCertificate)).trimmed(),
                        ReadSetting(QStringLiteral("Com\\TLS_TrustedCertificates"), QString::fromLatin1(DefaultTlsTrustedCertificates)).trimmed()};
    }
    if (!options->plainPort && options->tlsPort == 0)
        return Result::failure(ErrorCode::InvalidProperty,
                               QStringLiteral("the plain port is closed (Com\\IR_PlainPort) and TLS is off (Com\\IR_TLS): no port to listen on"));
    // A reserve below which nothing more is taken in; settable for tests and small disks.
    bool freeOk = false;
    const qint64 freeMb = qEnvironmentVariable("LUMORA_RECEIVER_MIN_FREE_MB").toLongLong(&freeOk);
    if (freeOk && freeMb >= 0)
        options->minimumFreeBytes = freeMb * 1024 * 1024;
    return {};
}

quint16 StoreStatus(ImageStore::Outcome outcome)
{
    switch (outcome) {
    case ImageStore::Outcome::Stored:
        return STATUS_Success;
    case ImageStore::Outcome::Rejected:
        return STATUS_STORE_Error_CannotUnderstand;
    case ImageStore::Outcome::DiskFull:
        return STATUS_STORE_Refused_OutOfResources;
    case ImageStore::Outcome::Failed:
        break;
    }
    return STATUS_N_ProcessingFailure;
}

namespace {

ImageStore::Filing ingest(ImageStore &store, const QString &staged, ReceivedObject &object)
{
    if (const Result read = ReadObjectHeader(staged, &object); !read) {
        QFile::remove(staged);
        return {ImageStore::Outcome::Rejected, QStringLiteral("not a readable DICOM object: ") + read.text, false, {}};
    }
    // Received over the network, the staged file is the only copy.
    return store.store(object, staged, ImageStore::RefusedFile::KeepInRejected);
}

} // namespace

TempIntake::TempIntake(ImageStore &store, const QString &tempFolder, qint64 minimumFreeBytes)
    : store_(store), temp_(tempFolder), minimumFree_(minimumFreeBytes)
{
}

void TempIntake::reportOnce(const QString &path, const QString &text)
{
    if (reported_.contains(path))
        return;
    reported_.insert(path);
    ReceiverLog(text);
}

void TempIntake::reject(const QString &path, const QString &reason)
{
    const QString rejected = temp_ + QStringLiteral("/rejected");
    QDir().mkpath(rejected);
    const QFileInfo info(path);
    QString target = rejected + QLatin1Char('/') + info.fileName();
    for (int n = 1; QFileInfo::exists(target) && n < 1000; ++n)
        target = rejected + QLatin1Char('/') + info.completeBaseName() + QStringLiteral("-%1.").arg(n) + info.suffix();
    if (QFile::rename(path, target)) {
        ReceiverLog(QStringLiteral("temp: %1 moved to rejected/: %2").arg(info.fileName(), reason));
        reported_.remove(path);
    } else {
        reportOnce(path, QStringLiteral("temp: %1 unreadable (%2) and cannot be moved to rejected/").arg(info.fileName(), reason));
    }
}

void TempIntake::poll()
{
    QDir dir(temp_);
    if (!dir.exists())
        return;
    const QFileInfoList files = dir.entryInfoList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name);
    const QDateTime settled = QDateTime::currentDateTime().addMSecs(-1000);
    for (const QFileInfo &info : files) {
        if (ReceiverStopRequested)
            return;
        // A file still being written is left for the next pass.
        if (info.lastModified() > settled)
            continue;
        const QString path = info.absoluteFilePath();
        if (DiskNearlyFull(store_.imagesFolder(), minimumFree_ + info.size())) {
            ReceiverLog(QStringLiteral("disk full: less than %1 MB free below %2; %3 stays in temp/")
                            .arg(minimumFree_ / (1024 * 1024)).arg(store_.imagesFolder(), info.fileName()));
            diskFull_ = true;
            return;
        }
        ReceivedObject object;
        if (const Result read = ReadObjectHeader(path, &object); !read) {
            reject(path, read.text);
            continue;
        }
        const QString staged = store_.newStagingPath();
        if (const Result copied = CopyDicomFile(path, staged); !copied) {
            if (copied.number == ErrorCode::OutOfSpace) {
                ReceiverLog(QStringLiteral("disk full: cannot copy %1: %2").arg(info.fileName(), copied.text));
                diskFull_ = true;
                return;
            }
            reportOnce(path, QStringLiteral("temp: cannot read %1: %2; retried").arg(info.fileName(), copied.text));
            continue;
        }
        const ImageStore::Filing r = store_.store(object, staged);
        switch (r.outcome) {
        case ImageStore::Outcome::Stored:
            if (!QFile::remove(path))
                reportOnce(path, QStringLiteral("temp: %1 stored but cannot be removed from temp/").arg(info.fileName()));
            break;
        case ImageStore::Outcome::Rejected:
            reject(path, r.message);
            break;
        case ImageStore::Outcome::DiskFull:
            ReceiverLog(QStringLiteral("disk full: %1: %2").arg(info.fileName(), r.message));
            diskFull_ = true;
            return;
        case ImageStore::Outcome::Failed:
            reportOnce(path, QStringLiteral("temp: %1 not stored, retried: %2").arg(info.fileName(), r.message));
            break;
        }
    }
}

class StorageProvider : public DcmSCP {
public:
    StorageProvider(ImageStore &store, const ReceiverOptions &options)
        : store_(store), options_(options),
          intake_(store, ApplicationFolder() + QLatin1Char('/') + QLatin1String(AppFiles::ImportFolder), options.minimumFreeBytes),
          acceptance_(options.aeTitle, AppPath(QLatin1String(AppFiles::SettingsFile)), AppPath(QLatin1String(AppFiles::DefinitionsDatabase)))
    {
        setAETitle(options.aeTitle.toStdString().c_str());
        setPort(options.port);
        setRespondWithCalledAETitle(OFFalse);
        setHostLookupEnabled(OFFalse);
        setMaxReceivePDULength(ASC_MAXIMUMPDUSIZE);
        // Finite waits everywhere: the listen loop comes back every second to
        // look at temp/ and at a stop request.
        setConnectionBlockingMode(DUL_NOBLOCK);
        setConnectionTimeout(1);
        setDIMSEBlockingMode(DIMSE_NONBLOCKING);
        setDIMSETimeout(30);
        setACSETimeout(30);

        OFList<OFString> verification;
        verification.push_back(UID_LittleEndianExplicitTransferSyntax);
        verification.push_back(UID_LittleEndianImplicitTransferSyntax);
        addPresentationContext(UID_VerificationSOPClass, verification);

        // Lossless syntaxes before lossy ones, so that a sender offering both
        // never has to compress lossily for us.
        for (const char *uid : {UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess14TransferSyntax, UID_JPEGLSLosslessTransferSyntax,
                                UID_RLELosslessTransferSyntax, UID_JPEG2000LosslessOnlyTransferSyntax,
                                UID_LittleEndianExplicitTransferSyntax, UID_DeflatedExplicitVRLittleEndianTransferSyntax,
                                UID_LittleEndianImplicitTransferSyntax, UID_JPEGLSLossyTransferSyntax, UID_JPEGProcess1TransferSyntax,
                                UID_JPEGProcess2_4TransferSyntax, UID_JPEG2000TransferSyntax})
            storageSyntaxes_.push_back(uid);
        for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs; ++i)
            storageClasses_.insert(dcmAllStorageSOPClassUIDs[i]);
        baseConfig_ = getConfig();
        sincePoll_.start();
    }

    ~StorageProvider() override
    {
        if (network_)
            ASC_dropNetwork(&network_);
        if (tlsNetwork_)
            ASC_dropNetwork(&tlsNetwork_);
    }

    // DcmSCP refuses a port below 1024 to a process that is not root, even one
    // granted CAP_NET_BIND_SERVICE (the receiver service); the association
    // layer leaves the decision to the kernel.
    OFCondition openPort(quint16 port)
    {
        dcmEnableAutomaticInputDataCorrection.set(OFFalse);
        return ASC_initializeNetwork(NET_ACCEPTOR, port, 30, &network_);
    }

    // The TLS port: a network of its own whose every connection is TLS.
    Result openTlsPort(quint16 port, const TlsFiles &files)
    {
        tls_ = std::make_unique<TlsLayer>(NET_ACCEPTOR, 30);
        if (Result r = tls_->configure(files); !r)
            return r;
        tls_->onFailure = ReceiverTlsFailure;
        dcmEnableAutomaticInputDataCorrection.set(OFFalse);
        OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, port, 30, &tlsNetwork_);
        if (cond.good())
            cond = ASC_setTransportLayer(tlsNetwork_, tls_.get(), 0);
        if (cond.bad())
            return Result::failure(ErrorCode::NetworkError, QString::fromLatin1(cond.text()));
        return {};
    }

    // The subject of the certificate the peer of the association being
    // negotiated presented on the TLS port; empty on the plain port.
    const QString &peerCertificateSubject() const { return peerSubject_; }

    // DcmSCP's accept loop over the networks opened above. One poll waits on
    // both listening sockets, so neither waits for the other's time-out; the
    // second a poll may last only paces the look at temp/ and at a stop.
    OFCondition serve()
    {
        for (;;) {
            pollfd sockets[2];
            T_ASC_Network *networks[2];
            int count = 0;
            for (T_ASC_Network *network : {network_, tlsNetwork_}) {
                if (!network)
                    continue;
                sockets[count] = {int(DUL_networkSocket(network->network)), POLLIN, 0};
                networks[count++] = network;
            }
            const int ready = ::poll(sockets, nfds_t(count), 1000);
            if (ready < 0 && errno != EINTR)
                return makeOFCondition(OFM_dcmnet, 2, OF_error, "poll on the listening sockets failed");
            bool served = false;
            for (int i = 0; ready > 0 && i < count; ++i) {
                if (!(sockets[i].revents & (POLLIN | POLLERR | POLLHUP)))
                    continue;
                served = true;
                servingTls_ = networks[i] == tlsNetwork_;
                const OFCondition cond = waitForAssociationRQ(networks[i]);
                if (cond.bad() && cond != DUL_NOASSOCIATIONREQUEST)
                    return cond;
                if (stopAfterCurrentAssociation())
                    return NET_EC_StopAfterAssociation;
            }
            if (!served) {
                notifyConnectionTimeout();
                if (stopAfterConnectionTimeout())
                    return NET_EC_StopAfterConnectionTimeout;
            }
        }
    }

    int exitCode() const { return exitCode_; }
    void pollTemp()
    {
        sincePoll_.restart();
        intake_.poll();
        store_.closeDatabase();
        if (intake_.diskFull())
            exitCode_ = ReceiverExit::DiskFull;
    }

protected:
    OFCondition handleIncomingCommand(T_DIMSE_Message *message, const DcmPresentationContextInfo &info) override
    {
        if (message->CommandField != DIMSE_C_STORE_RQ)
            return DcmSCP::handleIncomingCommand(message, info);
        T_DIMSE_C_StoreRQ &request = message->msg.CStoreRQ;
        const QString staged = store_.newStagingPath();
        T_ASC_PresentationContextID presId = info.presentationContextID;
        receiving_ = QFile::encodeName(staged);
        const OFCondition received = receiveSTORERequest(request, presId, OFString(receiving_.constData()));
        const qint64 receivedBytes = static_cast<qint64>(receivedBytes_);
        endWriteback();
        if (received.bad()) {
            QFile::remove(staged);
            ++failed_;
            // DCMTK does not hand on the errno of a failed write; when the
            // space left is less than what had arrived, the disk ran full.
            const bool full = DiskNearlyFull(store_.imagesFolder(), options_.minimumFreeBytes + receivedBytes + kFullMargin);
            ReceiverLog(QStringLiteral("%1receiving %2 failed: %3")
                            .arg(full ? QStringLiteral("disk full: ") : QString(), QString::fromLatin1(request.AffectedSOPInstanceUID),
                                 QString::fromLatin1(received.text())));
            if (full)
                exitCode_ = ReceiverExit::DiskFull;
            return received;
        }
        ImageStore::Filing result;
        ReceivedObject object;
        if (DiskNearlyFull(store_.imagesFolder(), options_.minimumFreeBytes)) {
            QFile::remove(staged);
            result = {ImageStore::Outcome::DiskFull,
                      QStringLiteral("less than %1 MB free below %2").arg(options_.minimumFreeBytes / (1024 * 1024)).arg(store_.imagesFolder()), false, {}};
        } else {
            result = ingest(store_, staged, object);
        }
        if (result.outcome == ImageStore::Outcome::Stored) {
            ++stored_;
            AddAuditInstance(received_, object.patientId,
                             object.givenName.isEmpty() ? object.familyName : object.familyName + QLatin1Char('^') + object.givenName,
                             object.studyUid, object.sopClassUid, object.accessionNumber);
        } else {
            ++failed_;
            ReceiverLog(QStringLiteral("%1%2 from %3 not stored: %4")
                            .arg(result.outcome == ImageStore::Outcome::DiskFull ? QStringLiteral("disk full: ") : QString(),
                                 QString::fromLatin1(request.AffectedSOPInstanceUID), peer_, result.message));
        }
        if (result.outcome == ImageStore::Outcome::DiskFull)
            exitCode_ = ReceiverExit::DiskFull;
        const OFCondition answered = sendSTOREResponse(presId, request, StoreStatus(result.outcome));
        if (answered.bad())
            return answered;
        // The object in hand is finished; the sender resends the rest later.
        if (ReceiverStopRequested || exitCode_ != ReceiverExit::Clean)
            return makeOFCondition(OFM_dcmnet, 1, OF_error, "receiver stopping");
        return EC_Normal;
    }

    void notifyAssociationRequest(const T_ASC_Parameters &params, DcmSCPActionType &action) override
    {
        DcmSCP::notifyAssociationRequest(params, action);
        const QString calling = QString::fromLatin1(params.DULparams.callingAPTitle);
        const QString address = QString::fromLatin1(params.DULparams.callingPresentationAddress);
        peerSubject_ = servingTls_ && tls_ ? tls_->lastPeerSubject() : QString();
        peer_ = QStringLiteral("%1 (%2%3)").arg(calling, address, servingTls_ ? QStringLiteral(", TLS") : QString());
        peerNode_ = {calling, address, 0};
        rejected_ = false;
        rejectedWhy_.clear();
        received_.clear();
        stored_ = failed_ = 0;
        aborted_ = false;
        // Host lookup is off: the address is the peer's IP as the socket has it.
        admission_ = acceptance_.current().admits(QString::fromLatin1(params.DULparams.calledAPTitle), calling, address, peerSubject_);
        if (!admission_.admitted()) {
            associationRejected(calling, address, admission_);
            return; // DcmSCP refuses it through the AE title checks below
        }
        if (!chooseProfile(params)) {
            // A known partner proposing only what it may not do.
            associationRejected(calling, address, admission_);
            action = DCMSCP_ACTION_REFUSE_ASSOCIATION;
        }
    }
    OFBool checkCalledAETitleAccepted(const OFString &) override
    {
        return admission_.reason != AdmissionReason::CalledAeNotRecognized;
    }
    OFBool checkCallingAETitleAccepted(const OFString &) override
    {
        return admission_.admitted() || admission_.reason == AdmissionReason::CalledAeNotRecognized;
    }

    // An association the known partners do not admit: DcmSCP refuses it next,
    // and the refusal names the admission's reason.
    void associationRejected(const QString &callingAe, const QString &address, const Admission &why)
    {
        rejected_ = true;
        rejectedPeer_ = {callingAe, address, 0};
        rejectedWhy_ = why.text;
    }
    void notifyAbortRequest() override { aborted_ = true; }

    // Every association refused, whatever the reason, passes here: the one
    // line the receiver's log gets for it, with who asked, from where and why,
    // and a security alert in the audit trail.
    void refuseAssociation(const DcmRefuseReasonType reason) override
    {
        AuditPeer peer{QString::fromLatin1(getPeerAETitle().c_str()), QString::fromLatin1(getPeerIP().c_str()), 0};
        QString why = refusalText(reason);
        if (rejected_ && !rejectedWhy_.isEmpty()) {
            peer = rejectedPeer_;
            why = rejectedWhy_;
        }
        ReceiverLog(QStringLiteral("association from %1 at %2 rejected: %3").arg(peer.aeTitle, peer.host, why));
        AuditSecurityAlert(SecurityAlertKind::RejectedAssociation, options_.aeTitle, peer, why);
        DcmSCP::refuseAssociation(reason);
    }
    static QString refusalText(DcmRefuseReasonType reason)
    {
        switch (reason) {
        case DCMSCP_TOO_MANY_ASSOCIATIONS: return QStringLiteral("too many associations");
        case DCMSCP_CANNOT_FORK: return QStringLiteral("cannot serve it");
        case DCMSCP_BAD_APPLICATION_CONTEXT_NAME: return QStringLiteral("application context name not supported");
        case DCMSCP_CALLING_HOST_NOT_ALLOWED: return QStringLiteral("calling host not allowed");
        case DCMSCP_CALLED_AE_TITLE_NOT_RECOGNIZED: return QStringLiteral("called AE title not recognized");
        case DCMSCP_CALLING_AE_TITLE_NOT_RECOGNIZED: return QStringLiteral("calling AE title not recognized");
        case DCMSCP_FORCED: return QStringLiteral("refused by the receiver");
        case DCMSCP_NO_IMPLEMENTATION_CLASS_UID: return QStringLiteral("no implementation class UID");
        case DCMSCP_NO_PRESENTATION_CONTEXTS: return QStringLiteral("no presentation context acceptable");
        case DCMSCP_INTERNAL_ERROR: break;
        }
        return QStringLiteral("internal error");
    }

    // A profile holds at most 128 presentation contexts and DCMTK knows more
    // storage classes than that, so the profile offered to a sender holds the
    // storage classes it proposes (never more than 128), made once per set.
    // The most recently used ReceiverProfilesKept are kept: a sender proposing
    // ever new sets would otherwise grow the receiver without end.
    // A known partner that may only echo is offered no storage class, one
    // that may only store no verification; false when that leaves nothing of
    // what it proposes.
    bool chooseProfile(const T_ASC_Parameters &params)
    {
        auto *request = const_cast<T_ASC_Parameters *>(&params);
        std::set<std::string> proposed;
        bool echoProposed = false;
        int storageProposed = 0;
        for (int i = 0; i < ASC_countPresentationContexts(request); ++i) {
            T_ASC_PresentationContext context;
            if (ASC_getPresentationContext(request, i, &context).bad())
                continue;
            if (std::strcmp(context.abstractSyntax, UID_VerificationSOPClass) == 0)
                echoProposed = true;
            else if (storageClasses_.count(context.abstractSyntax))
                ++storageProposed;
            if (admission_.mayStore && storageClasses_.count(context.abstractSyntax))
                proposed.insert(context.abstractSyntax);
        }
        const bool echo = admission_.mayEcho;
        if (proposed.empty() && !(echo && echoProposed)) {
            if (!admission_.mayStore && storageProposed > 0)
                admission_.text = QStringLiteral("a known partner that may only echo proposed storage");
            else if (!echo && echoProposed)
                admission_.text = QStringLiteral("a known partner that may only store proposed verification");
            else
                admission_.text = QStringLiteral("no presentation context this receiver offers was proposed");
            // Nothing it may use: refused as a whole, not by its AE title.
            if (!admission_.mayStore || !echo)
                return false;
        }
        if (!admission_.mayStore && storageProposed > 0)
            ReceiverLog(QStringLiteral("%1 may only echo: the storage classes it proposed are not accepted").arg(peer_));
        if (!echo && echoProposed)
            ReceiverLog(QStringLiteral("%1 may only store: verification is not accepted").arg(peer_));
        auto known = std::find_if(profiles_.begin(), profiles_.end(), [&](const Profile &p) { return p.classes == proposed && p.echo == echo; });
        if (known != profiles_.end()) {
            profiles_.splice(profiles_.begin(), profiles_, known);
        } else {
            const bool forget = profiles_.size() >= std::size_t(ReceiverProfilesKept);
            if (forget) {
                // DCMTK cannot drop one profile: the configuration is made
                // anew from the one before any storage profile, with those kept.
                profiles_.pop_back();
                getConfig() = baseConfig_;
                for (auto p = profiles_.begin(); p != profiles_.end();) {
                    if (const OFCondition cond = addProfile(*p); cond.bad()) {
                        ReceiverLog(QStringLiteral("storage classes of an earlier sender not offered again: %1").arg(QString::fromLatin1(cond.text())));
                        p = profiles_.erase(p);
                    } else {
                        ++p;
                    }
                }
            }
            Profile profile{proposed, echo, "STORAGE" + std::to_string(++profilesMade_)};
            if (const OFCondition cond = addProfile(profile); cond.bad()) {
                ReceiverLog(QStringLiteral("storage classes not offered to %1: %2").arg(peer_, QString::fromLatin1(cond.text())));
                return true;
            }
            profiles_.push_front(std::move(profile));
            if (forget)
                ReceiverLog(QStringLiteral("a new set of %1 storage classes from %2: the least recently used of the %3 profiles kept is forgotten")
                                .arg(proposed.size())
                                .arg(peer_)
                                .arg(ReceiverProfilesKept));
        }
        const OFCondition cond = getConfig().setAndCheckAssociationProfile(profiles_.front().name.c_str());
        if (cond.bad())
            ReceiverLog(QStringLiteral("storage classes not offered: %1").arg(QString::fromLatin1(cond.text())));
        return true;
    }

    struct Profile {
        std::set<std::string> classes;
        bool echo = true; // verification offered
        std::string name;
    };
    OFCondition addProfile(const Profile &profile)
    {
        OFList<OFString> verification;
        verification.push_back(UID_LittleEndianExplicitTransferSyntax);
        verification.push_back(UID_LittleEndianImplicitTransferSyntax);
        OFCondition cond = profile.echo
            ? getConfig().addPresentationContext(UID_VerificationSOPClass, verification, ASC_SC_ROLE_DEFAULT, profile.name.c_str())
            : EC_Normal;
        for (auto uid = profile.classes.begin(); cond.good() && uid != profile.classes.end(); ++uid)
            cond = getConfig().addPresentationContext(uid->c_str(), storageSyntaxes_, ASC_SC_ROLE_DEFAULT, profile.name.c_str());
        return cond;
    }

    // Starts writing a large object to the disk while it still arrives, so
    // that the flush before the answer only waits for its tail.
    void notifyRECEIVEProgress(const unsigned long byteCount) override
    {
        constexpr unsigned long kStep = 4 * 1024 * 1024;
        receivedBytes_ = byteCount;
        if (byteCount < kickedAt_)
            kickedAt_ = 0;
        if (receiving_.isEmpty() || byteCount - kickedAt_ < kStep)
            return;
        kickedAt_ = byteCount;
        if (writebackFd_ < 0)
            writebackFd_ = ::open(receiving_.constData(), O_RDONLY | O_CLOEXEC);
        if (writebackFd_ >= 0)
            ::sync_file_range(writebackFd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    void endWriteback()
    {
        if (writebackFd_ >= 0)
            ::close(writebackFd_);
        writebackFd_ = -1;
        kickedAt_ = 0;
        receivedBytes_ = 0;
        receiving_.clear();
    }
    void notifyAssociationTermination() override
    {
        rejectedWhy_.clear();
        if (std::exchange(rejected_, false)) {
            store_.closeDatabase();
            return;
        }
        ReceiverLog(QStringLiteral("association from %1: %2 stored, %3 failed%4")
                        .arg(peer_)
                        .arg(stored_)
                        .arg(failed_)
                        .arg(aborted_ ? QStringLiteral(", aborted by the sender") : QString()));
        if (stored_ + failed_ > 0)
            AuditInstancesReceived(options_.aeTitle, peerNode_, received_, failed_);
        received_.clear();
        store_.closeDatabase();
    }
    void notifyConnectionTimeout() override
    {
        if (!ReceiverStopRequested && sincePoll_.elapsed() >= options_.tempPollMs)
            pollTemp();
    }
    OFBool stopAfterConnectionTimeout() override { return ReceiverStopRequested || exitCode_ != ReceiverExit::Clean; }
    OFBool stopAfterCurrentAssociation() override
    {
        if (!ReceiverStopRequested && exitCode_ == ReceiverExit::Clean && sincePoll_.elapsed() >= options_.tempPollMs)
            pollTemp();
        return ReceiverStopRequested || exitCode_ != ReceiverExit::Clean;
    }

private:
    ImageStore &store_;
    ReceiverOptions options_;
    TempIntake intake_;
    QElapsedTimer sincePoll_;
    QString peer_;
    ReceiverAcceptance acceptance_;
    Admission admission_;
    bool rejected_ = false;
    AuditPeer rejectedPeer_;
    QString rejectedWhy_;
    // The subject of the peer's certificate on a TLS association; empty on a plain one.
    QString peerSubject_;
    AuditPeer peerNode_;
    QList<AuditPatient> received_; // what this association stored
    int stored_ = 0;
    int failed_ = 0;
    bool aborted_ = false;
    int exitCode_ = ReceiverExit::Clean;
    T_ASC_Network *network_ = nullptr;
    T_ASC_Network *tlsNetwork_ = nullptr;
    std::unique_ptr<TlsLayer> tls_;
    bool servingTls_ = false;
    OFList<OFString> storageSyntaxes_;
    std::set<std::string> storageClasses_;
    std::list<Profile> profiles_; // the most recently used first
    DcmSCPConfig baseConfig_;       // before any storage profile
    quint64 profilesMade_ = 0;
    QByteArray receiving_;
    int writebackFd_ = -1;
    unsigned long kickedAt_ = 0;
    unsigned long receivedBytes_ = 0;
    // Slack for file-system blocks and metadata when telling a full disk.
    static constexpr qint64 kFullMargin = 256 * 1024;
};

Receiver::Receiver(ImageStore &store, const ReceiverOptions &options)
    : scp_(std::make_unique<StorageProvider>(store, options)), options_(options)
{
}

Receiver::~Receiver() = default;

Result Receiver::listen()
{
    if (options_.plainPort) {
        const OFCondition cond = scp_->openPort(options_.port);
        if (cond.bad())
            return Result::failure(ErrorCode::NetworkError, QStringLiteral("port %1: %2").arg(options_.port).arg(QString::fromLatin1(cond.text())));
    }
    if (options_.tlsPort != 0) {
        if (Result r = scp_->openTlsPort(options_.tlsPort, options_.tls); !r) {
            r.text = QStringLiteral("TLS port %1: %2").arg(options_.tlsPort).arg(r.text);
            return r;
        }
    }
    return {};
}

int Receiver::run()
{
    scp_->pollTemp();
    if (ReceiverStopRequested || scp_->exitCode() != ReceiverExit::Clean)
        return scp_->exitCode();
    const OFCondition cond = scp_->serve();
    if (cond.bad() && cond != NET_EC_StopAfterConnectionTimeout && cond != NET_EC_StopAfterAssociation) {
        ReceiverLog(QStringLiteral("listening failed: %1").arg(QString::fromLatin1(cond.text())));
        return ReceiverExit::CannotListen;
    }
    return scp_->exitCode();
}
