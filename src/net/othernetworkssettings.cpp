#include "net/othernetworkssettings.h"

#include "net/othernetworks.h"
#include "net/peermanager.h"

#include <QSettings>

namespace Vesk {

OtherNetworksSettings::OtherNetworksSettings(QSettings& settings, StoredAddresses storedAddresses,
                                             AddressProbe::FindPeer findPeer, QObject* parent)
    : QObject(parent), m_settings(settings), m_storedAddresses(std::move(storedAddresses)),
      m_findPeer(std::move(findPeer))
{
}

QString OtherNetworksSettings::otherNetworks() const
{
    return m_settings.value(QLatin1String(kSettingsKey)).toString();
}

QStringList OtherNetworksSettings::otherNetworksProblems() const
{
    if (!m_rejected.isEmpty())
        return m_rejected;
    return m_discovery ? m_discovery->otherNetworksProblems() : QStringList();
}

void OtherNetworksSettings::setDiscovery(PeerManager* discovery)
{
    m_discovery = discovery;
    if (!discovery)
        return;
    connect(discovery, &PeerManager::otherNetworksProblemsChanged, this,
            &OtherNetworksSettings::otherNetworksProblemsChanged, Qt::UniqueConnection);
    // A stored list was checked when it was stored; what it holds is used as far as it still parses.
    discovery->setOtherNetworks(OtherNetworks::parse(otherNetworks()));
    discovery->setRememberedSource(m_storedAddresses);
}

bool OtherNetworksSettings::setOtherNetworks(const QString& text)
{
    const OtherNetworks parsed = OtherNetworks::parse(text);
    if (!parsed.problems.isEmpty()) {
        m_rejected = parsed.problems;
        Q_EMIT otherNetworksProblemsChanged();
        return false;
    }
    m_rejected.clear();
    QStringList rows;
    for (const OtherNetworkEntry& entry : parsed.entries)
        rows.append(entry.text);
    const QString stored = rows.join(QStringLiteral(", "));
    if (stored.isEmpty())
        m_settings.remove(QLatin1String(kSettingsKey));
    else
        m_settings.setValue(QLatin1String(kSettingsKey), stored);
    Q_EMIT otherNetworksChanged();
    if (m_discovery) {
        m_discovery->setOtherNetworks(parsed);
        // The new networks hear of us now rather than at the next hourly refresh.
        if (!parsed.isEmpty())
            m_discovery->reBroadCastMyself();
    }
    Q_EMIT otherNetworksProblemsChanged();
    return true;
}

void OtherNetworksSettings::addComputerByAddress(const QString& address)
{
    if (!m_probe) {
        m_probe = new AddressProbe(
            [this](const QHostAddress& target) { return m_discovery && m_discovery->announceTo(target); }, m_findPeer,
            [this](const QHostAddress& target) {
                return m_discovery && m_discovery->ownAddressList().contains(target);
            },
            this);
        connect(m_probe, &AddressProbe::answered, this, &OtherNetworksSettings::addComputerAnswered);
    }
    m_probe->start(address);
}

} // namespace Vesk
