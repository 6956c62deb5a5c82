#include "network/StoragePartners.h"

#include "store/DatabasePaths.h"

#include <QRegularExpression>
#include <QStringList>

QString PartnerTag(const PartnerAddress &a)
{
    return a.aet + QStringLiteral("!++!") + a.ip + QStringLiteral("!++!") + a.port + (a.tls ? QStringLiteral("!++!TLS") : QString());
}

PartnerAddress PartnerFromTag(const QString &tag)
{
    const QStringList parts = tag.split(QStringLiteral("!++!"));
    if (parts.size() == 4 && parts[3] == QLatin1String("TLS"))
        return {parts[0], parts[1], parts[2], true};
    if (parts.size() != 3)
        return {};
    return {parts[0], parts[1], parts[2]};
}

// Each statement opens the definitions database for itself; a file that cannot
// be opened shows as the statement's failure.
PartnerList ReadPartners()
{
    PartnerList out;
    DatabaseSession session(DefinitionsDatabase);
    const DbResult r = Execute(DefinitionsDatabase, QStringLiteral("SELECT * FROM tblSCP ORDER BY Alias"));
    if (!r.ok()) {
        static_cast<Result &>(out) = r;
        return out;
    }
    for (const QSqlRecord &row : r.rows) {
        StoragePartner p;
        p.id = row.value(QStringLiteral("ID")).toLongLong();
        p.alias = row.value(QStringLiteral("Alias")).toString();
        p.address = {row.value(QStringLiteral("AET")).toString(), row.value(QStringLiteral("IP")).toString(),
                     row.value(QStringLiteral("Port")).toString(), row.value(QStringLiteral("TLS")).toInt() != 0};
        p.defaultFlag = row.value(QStringLiteral("Default")).toInt();
        out.partners << p;
    }
    return out;
}

QString CheckPartnerFields(const QString &alias, const QString &aet, const QString &ip, const QString &port)
{
    for (const QString *f : {&alias, &aet, &ip, &port}) {
        if (f->trimmed().isEmpty())
            return QStringLiteral("Please fill all text fields.");
    }
    // A TCP port: a whole number from 1 to 65535.
    bool ok = false;
    const uint n = port.trimmed().toUInt(&ok);
    if (!ok || n < 1 || n > 65535)
        return QStringLiteral("Not a valid port.");
    // An address is one word; an AE title at most 16 characters without a backslash.
    if (ip.trimmed().contains(QRegularExpression(QStringLiteral("\\s"))))
        return QStringLiteral("Not a valid address.");
    if (aet.trimmed().size() > 16 || aet.contains(QLatin1Char('\\')))
        return QStringLiteral("Not a valid AE title.");
    return {};
}

Result SavePartner(qlonglong id, const QString &alias, const PartnerAddress &address)
{
    DatabaseSession session(DefinitionsDatabase);
    if (id == 0)
        return Execute(DefinitionsDatabase, QStringLiteral("INSERT INTO tblSCP (Alias, AET, IP, Port, TLS) VALUES (?, ?, ?, ?, ?)"),
                       {alias, address.aet, address.ip, address.port, address.tls ? -1 : 0});
    return Execute(DefinitionsDatabase, QStringLiteral("UPDATE tblSCP SET Alias = ?, AET = ?, IP = ?, Port = ?, TLS = ? WHERE ID = ?"),
                   {alias, address.aet, address.ip, address.port, address.tls ? -1 : 0, id});
}

Result DeletePartner(qlonglong id)
{
    DatabaseSession session(DefinitionsDatabase);
    return Execute(DefinitionsDatabase, QStringLiteral("DELETE FROM tblSCP WHERE ID = ?"), {id});
}

Result MakeDefaultPartner(qlonglong id)
{
    DatabaseSession session(DefinitionsDatabase);
    const DbResult r = Execute(DefinitionsDatabase, QStringLiteral("UPDATE tblSCP SET \"Default\" = 0"));
    if (!r.ok())
        return r;
    return Execute(DefinitionsDatabase, QStringLiteral("UPDATE tblSCP SET \"Default\" = 1 WHERE ID = ?"), {id});
}

void TakePartnersInUse(PartnersInUse &inUse, const QList<StoragePartner> &partners)
{
    // Only partners the table still holds: nothing goes to one the operator removed.
    inUse = PartnersInUse();
    for (const StoragePartner &p : partners) {
        if (p.isDefault())
            inUse.partner = p.address;
        else if (p.defaultFlag == 0)
            inUse.second = p.address;
    }
}
