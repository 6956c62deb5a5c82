#pragma once

#include "store/Database.h"

#include <QList>
#include <QString>

// A storage partner as the send commands use it.
struct PartnerAddress {
    QString aet;
    QString ip;
    QString port;
    bool tls = false; // reached over TLS (tblSCP.TLS)
    bool isEmpty() const { return aet.isEmpty() && ip.isEmpty() && port.isEmpty(); }
};

// One row of tblSCP.
struct StoragePartner {
    qlonglong id = 0;
    QString alias;
    PartnerAddress address;
    int defaultFlag = 0; // absolute value 1: the default partner
    bool isDefault() const { return defaultFlag == 1 || defaultFlag == -1; }
};

// The partners a send goes to: the default partner, and the other one for a
// curative examination. The send-menu rebuild takes them from the table.
struct PartnersInUse {
    PartnerAddress partner;
    PartnerAddress second;
};

// The tag a send-menu entry carries: AET!++!IP!++!Port, and !++!TLS for a
// partner reached over TLS.
QString PartnerTag(const PartnerAddress &a);
PartnerAddress PartnerFromTag(const QString &tag);

// The partners of tblSCP in the definitions database, in alias order; a
// failure with its number and text.
struct PartnerList : Result {
    QList<StoragePartner> partners;
};
PartnerList ReadPartners();

// The editor's checks, in field order: "" when the four fields are acceptable,
// else the message to show.
QString CheckPartnerFields(const QString &alias, const QString &aet, const QString &ip, const QString &port);

// Adds (id 0) or updates a partner's alias and address with its TLS tick; the default flag stays.
Result SavePartner(qlonglong id, const QString &alias, const PartnerAddress &address);
Result DeletePartner(qlonglong id);
// The one row with the default flag.
Result MakeDefaultPartner(qlonglong id);

// The partners in use as a list of partners yields them: the default row, and
// a row with flag 0 (the later one wins). A partner the list lacks stays as it was.
void TakePartnersInUse(PartnersInUse &inUse, const QList<StoragePartner> &partners);
