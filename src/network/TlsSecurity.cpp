#include "network/TlsSecurity.h"

#include "audit/AuditTrail.h"
#include "core/ErrorLog.h"
#include "core/Settings.h"
#include "toolkit/Result.h"

#include <QRegularExpression>

ToolkitSecurity SecurityFor(bool tls)
{
    if (!tls)
        return {};
    return {true, {Settings.TLS_PrivateKey.trimmed(), Settings.TLS_Certificate.trimmed(), Settings.TLS_TrustedCertificates.trimmed()}};
}

void ReportTlsFailure(const QString &peer, const QString &reason)
{
    WriteErrorLog(ErrorCode::TlsRefused, reason, QStringLiteral("TLS failure with %1").arg(peer));
    // The peer as the callers name it: "AET at host:port".
    static const QRegularExpression form(QStringLiteral("^(.*) at ([^:]*):(\\d+)$"));
    const QRegularExpressionMatch m = form.match(peer);
    const AuditPeer node = m.hasMatch() ? AuditPeer{m.captured(1), m.captured(2), static_cast<quint16>(m.captured(3).toUInt())}
                                        : AuditPeer{QString(), peer, 0};
    AuditSecurityAlert(SecurityAlertKind::TlsFailure, Settings.IR_AET, node, reason);
}
