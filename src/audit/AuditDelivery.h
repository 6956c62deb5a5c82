#pragma once

#include "toolkit/Result.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QString>

#include <optional>

// Hands the trail's records on to the site's audit repository: RFC 5424
// messages over TLS (RFC 5425, octet-counted frames) or UDP (RFC 5426). What
// was delivered is kept in Audit/Delivered (file name and offset per trail
// file, replaced whole), so that a record is sent again only when its
// delivery was not confirmed: a TLS round ends with the repository closing
// the connection after our close, which it does only once it has read
// everything before it.

struct AuditRepository {
    enum class Transport { Tls, Udp };
    QString host;
    quint16 port = 0;
    Transport transport = Transport::Tls;
    QString caFile;          // the site's trusted certificates (PEM)
    QString certificateFile; // the station's certificate (PEM), optional
    QString keyFile;         // its private key (PEM)
};

// The repository the settings name (Audit\RepositoryHost, Audit\RepositoryPort,
// Audit\Transport "TLS" or "UDP", Audit\CACertificates, Audit\Certificate,
// Audit\PrivateKey); none when no host is set. A setting that cannot be used
// gives a failure naming it.
struct RepositoryChoice : Result {
    std::optional<AuditRepository> repository;
};
RepositoryChoice AuditRepositoryFromSettings();

// The offsets delivered so far, by trail file name.
QMap<QString, qint64> ReadDeliveredOffsets(const QString &auditFolder);

struct DeliveryRound : Result {
    int delivered = 0; // records confirmed in this round
    int pending = 0;   // records still waiting after it
};

// One round: every whole record past the offsets, oldest file first, in
// batches; the offsets move after each confirmed batch. No blocking call
// outlasts the deadline: when it passes, the round ends as failed and what
// is not confirmed waits for the next.
DeliveryRound DeliverAuditTrail(const QString &auditFolder, const AuditRepository &repository,
                                const QDeadlineTimer &deadline = QDeadlineTimer(QDeadlineTimer::Forever));
