#pragma once

#include <QString>

// The workstation's TLS identity and the certificates of the authorities the
// site trusts, as PEM files. The trusted file may hold several certificates.
struct TlsFiles {
    QString privateKey;
    QString certificate;
    QString trustedCertificates;
};

// How a partner is reached: plain TCP, or TLS with these files.
struct ToolkitSecurity {
    bool tls = false;
    TlsFiles files;
};

// The TLS profile every secure association uses, as the conformance statement names it.
inline constexpr const char *TlsProfileName = "BCP 195 non-downgrading (TLS 1.2 or newer)";
// The port registered for DICOM over TLS, the receiver's default.
inline constexpr int DicomTlsPort = 2762;
