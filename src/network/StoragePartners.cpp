#include "network/StoragePartners.h"

#include <QRegularExpression>
#include <QStringList>

PartnerAddress DefaultPartner;
PartnerAddress SecondPartner;
bool PartnerSaved = false;

QString PartnerTag(const PartnerAddress &a)
{
    return a.aet + QStringLiteral("!++!") + a.ip + QStringLiteral("!++!") + a.port;
}

PartnerAddress PartnerFromTag(const QString &tag)
{
    const QStringList parts = tag.split(QStringLiteral("!++!"));
    if (parts.size() != 3)
        return {};
    return {parts[0], parts[1], parts[2]};
}

PartnerList ReadPartners(Database &db)
{
    PartnerList out;
    const DbResult r = Execute(db, QStringLiteral("SELECT * FROM tblSCP ORDER BY Alias"));
    if (!r.ok()) {
        static_cast<Result &>(out) = r;
        return out;
    }
    for (const QSqlRecord &row : r.rows) {
        StoragePartner p;
        p.id = row.value(QStringLiteral("ID")).toLongLong();
        p.alias = row.value(QStringLiteral("Alias")).toString();
        p.address = {row.value(QStringLiteral("AET")).toString(), row.value(QStringLiteral("IP")).toString(),
                     row.value(QStringLiteral("Port")).toString()};
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

DbResult SavePartner(Database &db, qlonglong id, const QString &alias, const PartnerAddress &address)
{
    if (id == 0)
        return Execute(db, QStringLiteral("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES (?, ?, ?, ?)"),
                       {alias, address.aet, address.ip, address.port});
    return Execute(db, QStringLiteral("UPDATE tblSCP SET Alias = ?, AET = ?, IP = ?, Port = ? WHERE ID = ?"),
                   {alias, address.aet, address.ip, address.port, id});
}

DbResult DeletePartner(Database &db, qlonglong id)
{
    return Execute(db, QStringLiteral("DELETE FROM tblSCP WHERE ID = ?"), {id});
}

DbResult MakeDefaultPartner(Database &db, qlonglong id)
{
    const DbResult r = Execute(db, QStringLiteral("UPDATE tblSCP SET \"Default\" = 0"));
    if (!r.ok())
        return r;
    return Execute(db, QStringLiteral("UPDATE tblSCP SET \"Default\" = 1 WHERE ID = ?"), {id});
}

void TakePartnersInUse(const QList<StoragePartner> &partners)
{
    for (const StoragePartner &p : partners) {
        if (p.isDefault())
            DefaultPartner = p.address;
        else if (p.defaultFlag == 0)
            SecondPartner = p.address;
    }
}
