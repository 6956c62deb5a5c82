#include "network/TlsSecurity.h"

#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "toolkit/Result.h"

ToolkitSecurity SecurityFor(bool tls)
{
    if (!tls)
        return {};
    return {true, {Settings.TLS_PrivateKey.trimmed(), Settings.TLS_Certificate.trimmed(), Settings.TLS_TrustedCertificates.trimmed()}};
}

void ReportTlsFailure(const QString &peer, const QString &reason)
{
    WriteErrorLog(ErrorCode::TlsRefused, reason, QStringLiteral("TLS failure with %1").arg(peer));
}
