// Other networks: what the user names beyond the local broadcast, kept in the settings and handed to discovery,
// and adding one computer by its address.
#include "app/globals.h"

#include "net/addressprobe.h"
#include "net/othernetworks.h"
#include "net/peermanager.h"
#include "peers/peerrecords.h"

#include <QSettings>

namespace Vesk {

QString Globals::otherNetworks() const
{
    return settings->value(QLatin1String(kOtherNetworksKey)).toString();
}

QStringList Globals::otherNetworksProblems() const
{
    if (!m_rejectedOtherNetworks.isEmpty())
        return m_rejectedOtherNetworks;
    return peerManager ? peerManager->otherNetworksProblems() : QStringList();
}

void Globals::startOtherNetworks()
{
    if (!peerManager)
        return;
    connect(peerManager, &PeerManager::otherNetworksProblemsChanged, this, &Globals::otherNetworksProblemsChanged,
            Qt::UniqueConnection);
    // A stored list was checked when it was stored; what it holds is used as far as it still parses.
    peerManager->setOtherNetworks(OtherNetworks::parse(otherNetworks()));
    peerManager->setRememberedSource([this] { return m_peers->storedAddresses(); });
}

bool Globals::setOtherNetworks(QString text)
{
    const OtherNetworks parsed = OtherNetworks::parse(text);
    if (!parsed.problems.isEmpty()) {
        m_rejectedOtherNetworks = parsed.problems;
        Q_EMIT otherNetworksProblemsChanged();
        return false;
    }
    m_rejectedOtherNetworks.clear();
    QStringList rows;
    for (const OtherNetworkEntry& entry : parsed.entries)
        rows.append(entry.text);
    const QString stored = rows.join(QStringLiteral(", "));
    if (stored.isEmpty())
        settings->remove(QLatin1String(kOtherNetworksKey));
    else
        settings->setValue(QLatin1String(kOtherNetworksKey), stored);
    Q_EMIT otherNetworksChanged();
    if (peerManager) {
        peerManager->setOtherNetworks(parsed);
        // The new networks hear of us now rather than at the next hourly refresh.
        if (!parsed.isEmpty())
            peerManager->reBroadCastMyself();
    }
    Q_EMIT otherNetworksProblemsChanged();
    return true;
}

void Globals::addComputerByAddress(QString address)
{
    if (!m_addressProbe) {
        m_addressProbe = new AddressProbe(
            [this](const QHostAddress& target) { return peerManager && peerManager->announceTo(target); },
            [this](const QString& at) { return m_peers->onlineAliasAt(at); },
            [this](const QHostAddress& target) {
                return peerManager && peerManager->ownAddressList().contains(target);
            },
            this);
        connect(m_addressProbe, &AddressProbe::answered, this, &Globals::addComputerAnswered);
    }
    m_addressProbe->start(address);
}

} // namespace Vesk
