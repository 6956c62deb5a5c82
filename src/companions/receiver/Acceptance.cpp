#include "companions/receiver/Acceptance.h"

#include "core/Settings.h"
#include "companions/receiver/Receiver.h"

#include <QFileInfo>

ReceiverAcceptance::ReceiverAcceptance(const QString &ownAe, const QString &settingsFile, const QString &definitionsFile)
    : settingsFile_(settingsFile), definitions_(QStringLiteral("ReceiverDefinitions"), QStringLiteral("ReceiverDefinitions"))
{
    policy_.ownAe = ownAe;
    definitions_.setPath(definitionsFile);
    watch_ = std::make_unique<ChangeWatch>(definitions_);
}

ReceiverAcceptance::~ReceiverAcceptance() = default;

void ReceiverAcceptance::readSettings()
{
    const bool called = ReadSetting(QStringLiteral("Com\\CheckCalledAE"), QStringLiteral("0")).trimmed() == QLatin1String("1");
    const bool known = ReadSetting(QStringLiteral("Com\\KnownPartnersOnly"), QStringLiteral("0")).trimmed() == QLatin1String("1");
    if (called == policy_.checkCalledAe && known == policy_.knownOnly && !settingsStamp_.isNull())
        return;
    policy_.checkCalledAe = called;
    policy_.knownOnly = known;
    ReceiverLog(QStringLiteral("association acceptance: called AE title %1; %2")
                    .arg(called ? QStringLiteral("must be %1").arg(policy_.ownAe) : QStringLiteral("not checked"),
                         known ? QStringLiteral("known partners only") : QStringLiteral("any calling AE title and host")));
    listRead_ = false; // a list read before the tick may be stale
}

void ReceiverAcceptance::readList()
{
    KnownPartnerRows list = ReadKnownPartners(definitions_);
    definitions_.close();
    if (!list.ok()) {
        policy_.partners.clear();
        policy_.listFailure = list.text;
        listRead_ = false;
        ReceiverLog(QStringLiteral("known partners cannot be read from %1: %2; every association is rejected until they can")
                        .arg(definitions_.path(), list.text));
        return;
    }
    const QStringList unresolved = ResolveKnownPartnerHosts(list.partners);
    policy_.partners = list.partners;
    policy_.listFailure.clear();
    listRead_ = true;
    ReceiverLog(QStringLiteral("known partners read: %1%2")
                    .arg(list.partners.size())
                    .arg(unresolved.isEmpty() ? QString()
                                              : QStringLiteral("; hosts that resolve to no address (their entries admit nobody): ")
                                                    + unresolved.join(QStringLiteral(", "))));
}

const KnownPartners &ReceiverAcceptance::current()
{
    const QFileInfo ini(settingsFile_);
    const QDateTime stamp = ini.exists() ? ini.lastModified() : QDateTime::fromMSecsSinceEpoch(0);
    const qint64 size = ini.exists() ? ini.size() : -1;
    if (settingsStamp_.isNull() || stamp != settingsStamp_ || size != settingsSize_) {
        readSettings();
        settingsStamp_ = stamp;
        settingsSize_ = size;
    }
    if (policy_.knownOnly) {
        // The watch's first look says "changed": the list is read on the first request.
        const bool changed = watch_->changed();
        if (!listRead_ || changed)
            readList();
    }
    return policy_;
}
