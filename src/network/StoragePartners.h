#pragma once

#include "store/Database.h"

#include <QList>
#include <QString>

// A storage partner as the send commands use it.
struct PartnerAddress {
    QString aet;
    QString ip;
    QString port;
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

// The partners in use: the default and the other one; the partner of the
// current send command lives in the settings (Com\SCP_*).
extern PartnerAddress DefaultPartner;
extern PartnerAddress SecondPartner;
// Set by the editor when it stored a row.
extern bool PartnerSaved;

// The tag a send-menu entry carries: AET!++!IP!++!Port.
QString PartnerTag(const PartnerAddress &a);
PartnerAddress PartnerFromTag(const QString &tag);

// The partners in alias order; ok false with the error on a database failure.
struct PartnerList : Result {
    QList<StoragePartner> partners;
};
PartnerList ReadPartners(Database &db);

// The editor's checks, in field order: "" when the four fields are acceptable,
// else the message to show.
QString CheckPartnerFields(const QString &alias, const QString &aet, const QString &ip, const QString &port);

// Adds (id 0) or updates a partner's alias and address; the default flag stays.
DbResult SavePartner(Database &db, qlonglong id, const QString &alias, const PartnerAddress &address);
DbResult DeletePartner(Database &db, qlonglong id);
DbResult MakeDefaultPartner(Database &db, qlonglong id);

// DefaultPartner and SecondPartner as a list of partners yields them: the
// default row, and a row with flag 0 (the later one wins).
void TakePartnersInUse(const QList<StoragePartner> &partners);
