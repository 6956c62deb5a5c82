#pragma once

#include "store/ChangeWatch.h"
#include "store/KnownPartners.h"

#include <QDateTime>
#include <memory>

// The receiver's acceptance as the site has it now: the two ticks of the
// settings file and the known partners of the definitions database. Looked
// at for each association request at the cost of one stat and, with known
// partners only, one PRAGMA data_version; read again only when one changed,
// so that a change takes effect without a restart.
class ReceiverAcceptance {
public:
    // ownAe: the title the receiver listens as (Com\IR_AET at its start).
    ReceiverAcceptance(const QString &ownAe, const QString &settingsFile, const QString &definitionsFile);
    ~ReceiverAcceptance();

    const KnownPartners &current();

private:
    void readSettings();
    void readList();

    QString settingsFile_;
    QDateTime settingsStamp_;
    qint64 settingsSize_ = -1;
    Database definitions_;
    std::unique_ptr<ChangeWatch> watch_;
    bool listRead_ = false;
    KnownPartners policy_;
};
