#include "store/KnownPartners.h"

#include "store/DatabasePaths.h"

#include <QRegularExpression>

#include <cstring>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace {

QString trimmedAe(const QString &ae) { return ae.trimmed(); }

QString wire(AdmissionReason reason)
{
    return reason == AdmissionReason::CalledAeNotRecognized ? QStringLiteral("called AE title not recognized")
                                                            : QStringLiteral("calling AE title not recognized");
}

Admission refused(AdmissionReason reason, const QString &why)
{
    Admission a;
    a.reason = reason;
    a.mayStore = a.mayEcho = false;
    a.text = wire(reason) + QStringLiteral(": ") + why;
    return a;
}

} // namespace

QString NormalAddress(const QString &text)
{
    const QByteArray t = text.trimmed().toLatin1();
    in_addr v4{};
    if (::inet_pton(AF_INET, t.constData(), &v4) == 1) {
        char out[INET_ADDRSTRLEN];
        return QString::fromLatin1(::inet_ntop(AF_INET, &v4, out, sizeof out));
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, t.constData(), &v6) == 1) {
        // A v4 peer on a dual-stack socket shows as ::ffff:a.b.c.d.
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            std::memcpy(&v4, v6.s6_addr + 12, 4);
            char out[INET_ADDRSTRLEN];
            return QString::fromLatin1(::inet_ntop(AF_INET, &v4, out, sizeof out));
        }
        char out[INET6_ADDRSTRLEN];
        return QString::fromLatin1(::inet_ntop(AF_INET6, &v6, out, sizeof out));
    }
    return {};
}

QString NormalSubject(const QString &subject)
{
    static const QRegularExpression around(QStringLiteral("\\s*([,=/+])\\s*"));
    QString s = subject.trimmed();
    s.replace(around, QStringLiteral("\\1"));
    return s.toCaseFolded();
}

Admission KnownPartners::admits(const QString &calledAe, const QString &callingAe, const QString &peerAddress,
                                const QString &certSubject) const
{
    const QString called = trimmedAe(calledAe), calling = trimmedAe(callingAe);
    const QString peer = NormalAddress(peerAddress);
    if (checkCalledAe && called != trimmedAe(ownAe))
        return refused(AdmissionReason::CalledAeNotRecognized,
                       QStringLiteral("called AE title \"%1\" is not this receiver's \"%2\"").arg(called, trimmedAe(ownAe)));
    if (!knownOnly)
        return {};
    if (!listFailure.isEmpty())
        return refused(AdmissionReason::ListUnreadable, QStringLiteral("the known partners cannot be read (%1)").arg(listFailure));
    bool aeKnown = false, hostKnown = false;
    for (const KnownPartner &p : partners) {
        if (trimmedAe(p.aet) != calling)
            continue;
        aeKnown = true;
        if (peer.isEmpty() || !p.addresses.contains(peer))
            continue;
        hostKnown = true;
        if (!p.subject.trimmed().isEmpty() && NormalSubject(p.subject) != NormalSubject(certSubject))
            continue;
        Admission a;
        a.mayStore = p.mayStore;
        a.mayEcho = p.mayEcho;
        a.text = QStringLiteral("known partner %1 at %2").arg(calling, p.host);
        return a;
    }
    if (!aeKnown)
        return refused(AdmissionReason::CallingAeUnknown, QStringLiteral("\"%1\" is no known partner").arg(calling));
    if (!hostKnown)
        return refused(AdmissionReason::HostNotKnown, QStringLiteral("\"%1\" is known from other hosts, not from %2").arg(calling, peerAddress));
    return refused(AdmissionReason::CertificateSubjectMismatch,
                   certSubject.isEmpty() ? QStringLiteral("\"%1\" must come over TLS with its certificate").arg(calling)
                                         : QStringLiteral("\"%1\" came with the certificate of \"%2\", not the one its entry names")
                                               .arg(calling, certSubject));
}

QString CheckKnownPartnerFields(const QString &aet, const QString &host, const QString &subject, bool mayStore, bool mayEcho)
{
    const QString ae = aet.trimmed();
    if (ae.isEmpty() || host.trimmed().isEmpty())
        return QStringLiteral("Please fill the AE title and the host.");
    if (ae.size() > 16)
        return QStringLiteral("Not a valid AE title: at most 16 characters.");
    for (const QChar c : ae) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e || c == QLatin1Char('\\'))
            return QStringLiteral("Not a valid AE title: letters, digits and signs of the default repertoire, without backslash.");
    }
    if (host.trimmed().contains(QRegularExpression(QStringLiteral("\\s"))))
        return QStringLiteral("Not a valid host: one address or host name.");
    for (const QChar c : subject) {
        if (c.unicode() < 0x20)
            return QStringLiteral("Not a valid certificate subject.");
    }
    if (!mayStore && !mayEcho)
        return QStringLiteral("A known partner may store, echo or both; remove it instead.");
    return {};
}

KnownPartnerRows ReadKnownPartners(Database &db)
{
    KnownPartnerRows out;
    DatabaseSession session(db);
    if (!session.ok()) {
        static_cast<Result &>(out) = session.error();
        return out;
    }
    const DbResult r = Execute(db, QStringLiteral("SELECT ID, AET, Host, Subject, MayStore, MayEcho FROM tblKnownPartner ORDER BY AET, Host, ID"));
    if (!r.ok()) {
        static_cast<Result &>(out) = r;
        return out;
    }
    for (const QSqlRecord &row : r.rows) {
        KnownPartner p;
        p.id = row.value(0).toLongLong();
        p.aet = row.value(1).toString();
        p.host = row.value(2).toString();
        p.subject = row.value(3).toString();
        p.mayStore = row.value(4).toInt() != 0;
        p.mayEcho = row.value(5).toInt() != 0;
        out.partners << p;
    }
    return out;
}

Result SaveKnownPartner(const KnownPartner &p, qlonglong *newId)
{
    DatabaseSession session(DefinitionsDatabase);
    // No subject is stored as an empty text, never NULL.
    const QString subject = p.subject.trimmed().isEmpty() ? QStringLiteral("") : p.subject.trimmed();
    const QVariantList values{p.aet.trimmed(), p.host.trimmed(), subject, p.mayStore ? 1 : 0, p.mayEcho ? 1 : 0};
    if (p.id == 0) {
        const DbResult r = Execute(DefinitionsDatabase,
                                   QStringLiteral("INSERT INTO tblKnownPartner (AET, Host, Subject, MayStore, MayEcho) VALUES (?, ?, ?, ?, ?)"), values);
        if (r.ok() && newId)
            *newId = r.lastInsertId.toLongLong();
        return r;
    }
    return Execute(DefinitionsDatabase, QStringLiteral("UPDATE tblKnownPartner SET AET = ?, Host = ?, Subject = ?, MayStore = ?, MayEcho = ? WHERE ID = ?"),
                   values + QVariantList{p.id});
}

Result DeleteKnownPartner(qlonglong id)
{
    DatabaseSession session(DefinitionsDatabase);
    return Execute(DefinitionsDatabase, QStringLiteral("DELETE FROM tblKnownPartner WHERE ID = ?"), {id});
}

QStringList ResolveKnownPartnerHosts(QList<KnownPartner> &partners)
{
    QStringList unresolved;
    for (KnownPartner &p : partners) {
        p.addresses.clear();
        if (const QString address = NormalAddress(p.host); !address.isEmpty()) {
            p.addresses << address;
            continue;
        }
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        if (::getaddrinfo(p.host.trimmed().toUtf8().constData(), nullptr, &hints, &found) == 0) {
            for (addrinfo *a = found; a; a = a->ai_next) {
                char text[INET6_ADDRSTRLEN] = {};
                const void *where = a->ai_family == AF_INET ? static_cast<const void *>(&reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr)
                                                            : static_cast<const void *>(&reinterpret_cast<sockaddr_in6 *>(a->ai_addr)->sin6_addr);
                if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) && ::inet_ntop(a->ai_family, where, text, sizeof text))
                    if (const QString n = NormalAddress(QString::fromLatin1(text)); !n.isEmpty() && !p.addresses.contains(n))
                        p.addresses << n;
            }
            ::freeaddrinfo(found);
        }
        if (p.addresses.isEmpty())
            unresolved << p.host;
    }
    return unresolved;
}
