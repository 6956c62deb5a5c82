#pragma once

#include "audit/AuditMessage.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// The audit trail: one record per event, each an RFC 5424 syslog message
// carrying the DICOM audit message, one a line in Audit/ of the application
// folder. Every process of the folder (the workstation, the receiver, the
// data manager) writes its own file per day and account,
// Audit/Audit-<yyyyMMdd>-<account>.log (UTC date): readable by the group,
// writable by its account alone, append-only where the file system and the
// process's capabilities allow it. A file is never renamed or shortened; the
// data manager hands the records on to the audit repository (AuditDelivery.h).

// Who reports: this process on this host, run by this account.
struct AuditIdentity {
    QString account;    // the operating-system user
    QString host;       // the host name
    QString program;    // "OrvanaMammo", "LumoraReceiver", ...
    QString aeTitle;    // the process's own AE title, when it has one
    qint64 pid = 0;
    QString sourceType; // "1" an operator's station, "4" a service
};
// This process: the effective account, the host name, the program's name.
AuditIdentity ThisProcess(const QString &aeTitle = {});

// A DICOM peer of the event.
struct AuditPeer {
    QString aeTitle;
    QString host; // host name or address as known
    quint16 port = 0;
};

// What an event touched: one patient's studies.
struct AuditStudy {
    QString studyUid;
    QMap<QString, int> sopClasses; // SOP class UID -> instances
    QString accessionNumber;
};
struct AuditPatient {
    QString patientId;
    QString patientName;
    QList<AuditStudy> studies;
};
// Adds one instance to the list, grouped by patient and study.
void AddAuditInstance(QList<AuditPatient> &patients, const QString &patientId, const QString &patientName, const QString &studyUid,
                      const QString &sopClassUid, const QString &accessionNumber = {});

enum class ExportMedium { Folder, Archive, JpegHandOut };
enum class SecurityAlertKind { RejectedAssociation, TlsFailure };

// The records, built for one event.
AuditEvent ApplicationActivityEvent(const AuditIdentity &self, bool start);
AuditEvent InstancesReceivedEvent(const AuditIdentity &self, const AuditPeer &source, const QList<AuditPatient> &patients,
                                  int outcome, const QString &outcomeText);
AuditEvent InstancesSentEvent(const AuditIdentity &self, const AuditPeer &destination, const QList<AuditPatient> &patients,
                              int outcome, const QString &outcomeText);
// queryDataset: the identifier as sent, in the transfer syntax named.
AuditEvent QueryEvent(const AuditIdentity &self, const AuditPeer &provider, const QString &sopClassUid, const QByteArray &queryDataset,
                      const QString &transferSyntaxUid, const QList<AuditPatient> &found, int outcome, const QString &outcomeText);
AuditEvent ExportEvent(const AuditIdentity &self, ExportMedium medium, const QString &destination, const QList<AuditPatient> &patients,
                       int outcome, const QString &outcomeText);
AuditEvent HeaderChangeEvent(const AuditIdentity &self, const QList<AuditPatient> &patients, int outcome, const QString &outcomeText);
// wholeStudies: the studies went as a whole (or their patient), not single series or images.
AuditEvent DeletionEvent(const AuditIdentity &self, const QList<AuditPatient> &patients, bool wholeStudies, int outcome,
                         const QString &outcomeText);
AuditEvent SecurityAlertEvent(const AuditIdentity &self, SecurityAlertKind kind, const AuditPeer &peer, const QString &why);

// The syslog message of a record (RFC 5424: PRI 85, or 84 for a security
// alert; MSGID IHE+RFC-3881; the XML after a byte order mark).
QByteArray AuditSyslogMessage(const AuditIdentity &self, const AuditEvent &event);

// Appends the record to this process's trail file. Never fails the caller:
// a trail that cannot be written or made append-only is said once per file
// in the error log (or on standard error).
void WriteAuditRecord(const AuditEvent &event, const AuditIdentity &self = ThisProcess());

// The calls at each event, for this process.
void AuditApplicationStart(const QString &aeTitle = {});
void AuditApplicationStop(const QString &aeTitle = {});
void AuditInstancesReceived(const QString &ownAeTitle, const AuditPeer &source, const QList<AuditPatient> &patients, int failed);
void AuditInstancesSent(const QString &ownAeTitle, const AuditPeer &destination, const QList<AuditPatient> &patients, int failed,
                        const QString &failureText = {});
void AuditWorklistQuery(const QString &ownAeTitle, const AuditPeer &provider, const QByteArray &queryDataset, const QString &transferSyntaxUid,
                        const QList<AuditPatient> &found, const QString &failureText = {});
void AuditExport(ExportMedium medium, const QString &destination, const QList<AuditPatient> &patients, const QString &failureText = {});
void AuditHeaderChange(const QList<AuditPatient> &patients, const QString &failureText = {});
void AuditDeletion(const QList<AuditPatient> &patients, bool wholeStudies, const QString &failureText = {});
// A refused association or a failed TLS handshake: who, and why.
void AuditSecurityAlert(SecurityAlertKind kind, const QString &ownAeTitle, const AuditPeer &peer, const QString &why);

// Audit/ of the application folder, and this process's file for a day.
QString AuditFolder();
QString AuditFileName(const QDate &utcDay, const QString &account);
// The trail files of the folder, oldest day first.
QStringList AuditFiles(const QString &folder);

// Whether the site wants trail files append-only (Audit\AppendOnly, on unless "0").
bool AuditAppendOnlyWanted();
