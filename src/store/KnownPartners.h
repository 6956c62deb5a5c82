#pragma once

#include "store/Database.h"

#include <QList>
#include <QString>
#include <QStringList>

// The receiver's association acceptance: whether the called AE title must be
// its own, and the known partners (tblKnownPartner of the definitions
// database) that alone may store or echo when the site asks for that. The
// workstation edits the list, the receiver reads it.

// One row of tblKnownPartner.
struct KnownPartner {
    qlonglong id = 0;
    QString aet;     // the calling AE title it uses
    QString host;    // an address or a host name, as entered
    QString subject; // its TLS certificate's subject; empty: any association, plain or TLS
    bool mayStore = false;
    bool mayEcho = false;
    // The host's addresses in the normal form of NormalAddress: the address
    // itself, or what a name resolved to when the list was read.
    QStringList addresses;
};

// Why an association is admitted or not. The reject reasons on the wire
// (PS3.8: rejected-permanent, service-user) follow from it: CalledAeNotRecognized
// gives called-AE-title-not-recognized, every other refusal
// calling-AE-title-not-recognized.
enum class AdmissionReason {
    Admitted,
    CalledAeNotRecognized,      // the check is ticked and the called AE title is not ours
    CallingAeUnknown,           // no known partner has that calling AE title
    HostNotKnown,               // the AE title is known, from other hosts only
    CertificateSubjectMismatch, // known AE and host, but its entry names another subject (or TLS was not used)
    ListUnreadable,             // known partners only, and the list cannot be read
};

struct Admission {
    AdmissionReason reason = AdmissionReason::Admitted;
    bool mayStore = true;
    bool mayEcho = true;
    bool admitted() const { return reason == AdmissionReason::Admitted; }
    // For the log: why, in words ("calling AE title not recognized: ...").
    QString text;
};

// The acceptance the receiver applies, as the settings and the list hold it now.
class KnownPartners {
public:
    bool checkCalledAe = false; // Com\CheckCalledAE
    bool knownOnly = false;     // Com\KnownPartnersOnly
    QString ownAe;              // Com\IR_AET
    QList<KnownPartner> partners;
    // Set when the list could not be read: with knownOnly, nobody is admitted.
    QString listFailure;

    // The decision for an association request. AE titles are compared without
    // their leading and trailing blanks, case counting; the peer address in
    // any textual form (IPv4, IPv6, IPv4-mapped IPv6); the certificate subject
    // (empty on a plain association) without regard to case and to blanks
    // around its "," and "=".
    Admission admits(const QString &calledAe, const QString &callingAe, const QString &peerAddress, const QString &certSubject) const;
};

// An address in one textual form ("::ffff:10.0.0.5" as "10.0.0.5", "0:0::1" as
// "::1"); empty for a text that is no address.
QString NormalAddress(const QString &text);

// A certificate subject in the form it is compared in.
QString NormalSubject(const QString &subject);

// The editor's checks: "" when the entry is acceptable, else the message.
QString CheckKnownPartnerFields(const QString &aet, const QString &host, const QString &subject, bool mayStore, bool mayEcho);

// The rows of tblKnownPartner on `db` (the definitions database), in AE title
// order, addresses left empty; a failure with its number and text.
struct KnownPartnerRows : Result {
    QList<KnownPartner> partners;
};
KnownPartnerRows ReadKnownPartners(Database &db);

// Adds (id 0) or updates a row of the definitions database; a new row's id in *newId.
Result SaveKnownPartner(const KnownPartner &partner, qlonglong *newId = nullptr);
Result DeleteKnownPartner(qlonglong id);

// Fills each entry's addresses: an address as it is, a host name with what
// it resolves to now (getaddrinfo). Returns the hosts that resolve to nothing;
// their entries admit nobody.
QStringList ResolveKnownPartnerHosts(QList<KnownPartner> &partners);
