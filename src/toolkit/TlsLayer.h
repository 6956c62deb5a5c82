#pragma once

// DICOM over TLS with DCMTK's dcmtls over OpenSSL, shared by the associations
// the workstation opens and by the receiver. Inside the toolkit and the
// companions only: it hands out DCMTK types.

#include "toolkit/Result.h"
#include "toolkit/TlsFiles.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <QString>
#include <functional>

class ToolkitCancel;

// A TLS layer with the BCP 195 non-downgrading profile (TLS 1.2 or newer,
// ECDHE/DHE with AES-GCM) that requires the peer's certificate and accepts it
// only when one of the trusted certificates vouches for it. Every connection
// it makes, on whatever port, is a TLS connection. Each network wait during
// and after the handshake is bounded by the time-out; with a cancel flag the
// waits after the handshake end within a tenth of a second of a cancel.
// One thread uses a layer at a time.
class TlsLayer : public DcmTLSTransportLayer {
public:
    TlsLayer(T_ASC_NetworkRole role, int timeoutSeconds, const ToolkitCancel *cancel = nullptr);

    // Loads the key, its certificate and the trusted certificates. A failure
    // (ErrorCode::TlsRefused) names the file and why it cannot serve.
    Result configure(const TlsFiles &files);

    DcmTransportConnection *createConnection(DcmNativeSocketType socket, OFBool useSecureLayer) override;

    // Why the last handshake failed ("certificate verify failed: self-signed
    // certificate"); empty after one that succeeded.
    const QString &lastFailure() const { return lastFailure_; }
    // The subject (RFC 2253) of the certificate the peer of the last
    // successful handshake presented.
    const QString &lastPeerSubject() const { return lastPeerSubject_; }

    // Called for each handshake that fails, with the peer's address and the reason.
    std::function<void(const QString &peer, const QString &reason)> onFailure;

    // The settings behind the layer, for the connections it makes.
    int timeoutSeconds() const { return timeoutSeconds_; }
    const ToolkitCancel *cancel() const { return cancel_; }
    void handshakeDone(const QString &peer, const QString &failure, const QString &subject);

private:
    int timeoutSeconds_;
    const ToolkitCancel *cancel_;
    QString lastFailure_;
    QString lastPeerSubject_;
};
