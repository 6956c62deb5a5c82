#pragma once

#include "toolkit/TlsFiles.h"

#include <QString>

// The security of an association the workstation opens: TLS with the files
// the settings name (Com\TLS_PrivateKey, Com\TLS_Certificate,
// Com\TLS_TrustedCertificates) when tls, else plain TCP.
ToolkitSecurity SecurityFor(bool tls);

// The workstation's one record of a refused TLS association (send, partner
// check, worklist query): the error log's line with the peer ("AET at
// host:port") and the reason (the refusal's text, OpenSSL's reason in it).
// A security alert about it is raised from here.
void ReportTlsFailure(const QString &peer, const QString &reason);
