#include "net/peermanager.h"

#include "common/clock.h"
#include "net/netaddress.h"
#include "net/netlogging.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QNetworkAddressEntry>
#include <QNetworkDatagram>
#include <QNetworkInterface>

#include <algorithm>

namespace {
constexpr char kSeparator = '|';
constexpr int kAnnouncementFields = 3;
// Bounds the memory of the repeat filter: a flood of ever new node ids can never grow it past this.
constexpr int kMaxTrackedSenders = 4096;
} // namespace

namespace Vesk {

PeerManager::PeerManager(QObject* parent) : QObject(parent)
{
    // The any-address of IPv4: announcements are IPv4 broadcasts, and the source addresses then come as plain
    // dotted decimal rather than IPv4-mapped IPv6.
    if (!udpSocket.bind(QHostAddress::AnyIPv4, kUdpPort,
                        QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        qCDebug(lcDiscovery) << "cannot bind the discovery port:" << udpSocket.errorString();
    }
    connect(&udpSocket, &QUdpSocket::readyRead, this, &PeerManager::readBroadcastDatagram);
    QTimer::singleShot(0, this, &PeerManager::broadCastMyself);
    broadcastTimer.setInterval(kBroadcastIntervalMs);
    broadcastTimer.start();
    connect(&broadcastTimer, &QTimer::timeout, this, &PeerManager::broadCastMyself);
    broadcastCount = 0;
    m_sweepTimer.setInterval(kSweepStepMs);
    connect(&m_sweepTimer, &QTimer::timeout, this, &PeerManager::sweepStepTimeout);
    // Known from the start, so that our own announcements are never reported, even before we first announce.
    refreshAddresses();
}

PeerManager::~PeerManager() = default;

void PeerManager::setAnnouncementSource(std::function<QByteArray()> source)
{
    m_source = std::move(source);
}

QByteArray PeerManager::buildAnnouncement(const QString& nodeId, const QString& os, const QString& alias)
{
    // toLatin1() turns every character outside Latin-1 into "?".
    return nodeId.toLatin1() + kSeparator + os.toLatin1() + kSeparator + alias.toLatin1();
}

std::optional<PeerManager::Announcement> PeerManager::parseAnnouncement(const QByteArray& datagram)
{
    const QList<QByteArray> parts = datagram.split(kSeparator);
    if (parts.size() != kAnnouncementFields)
        return std::nullopt;
    return Announcement{QString::fromLatin1(parts.at(0)), QString::fromLatin1(parts.at(1)),
                        QString::fromLatin1(parts.at(2))};
}

void PeerManager::broadCastMyself()
{
    if (!m_source)
        return;
    if (broadcastCount >= kAnnouncementsPerReset)
        return;
    const bool roundStarts = broadcastCount == 0;
    ++broadcastCount;

    refreshAddresses();
    if (roundStarts)
        rebuildSweep();
    const QByteArray datagram = m_source();

    // Each send stands alone: on a network without a default route the limited broadcast fails (ENETUNREACH),
    // and the per-interface broadcasts must still go out.
    if (udpSocket.writeDatagram(datagram, QHostAddress(QHostAddress::Broadcast), kUdpPort) < 0)
        qCDebug(lcDiscovery) << "limited broadcast failed:" << udpSocket.errorString();
    for (const QHostAddress& target : std::as_const(broadcastTargets)) {
        if (udpSocket.writeDatagram(datagram, target, kUdpPort) < 0)
            qCDebug(lcDiscovery) << "broadcast to" << target << "failed:" << udpSocket.errorString();
    }
    const QList<QHostAddress> directed = directedBroadcastList();
    for (const QHostAddress& target : directed) {
        if (udpSocket.writeDatagram(datagram, target, kUdpPort) < 0)
            qCDebug(lcDiscovery) << "directed broadcast to" << target << "failed:" << udpSocket.errorString();
    }
    if (m_sweep.isEmpty())
        return;
    m_sweepStep = (broadcastCount - 1) * kSweepStepsPerTick;
    m_sweepStepEnd = m_sweepStep + kSweepStepsPerTick;
    sendSweepStep();
    if (m_sweepStep < m_sweepStepEnd)
        m_sweepTimer.start();
}

void PeerManager::sweepStepTimeout()
{
    sendSweepStep();
    if (m_sweepStep >= m_sweepStepEnd)
        m_sweepTimer.stop();
}

void PeerManager::sendSweepStep()
{
    if (m_sweepStep >= m_sweepStepEnd || !m_source)
        return;
    const QList<QHostAddress> targets = m_sweep.targetsForStep(m_sweepStep++);
    if (targets.isEmpty())
        return;
    const QByteArray datagram = m_source();
    for (const QHostAddress& target : targets) {
        if (udpSocket.writeDatagram(datagram, target, kUdpPort) < 0)
            qCDebug(lcDiscovery) << "announcement to" << target << "failed:" << udpSocket.errorString();
    }
}

bool PeerManager::announceTo(const QHostAddress& address)
{
    if (!m_source || address.isNull())
        return false;
    return udpSocket.writeDatagram(m_source(), address, kUdpPort) >= 0;
}

void PeerManager::setOtherNetworks(const Vesk::OtherNetworks& networks)
{
    m_otherNetworks = networks;
    QSet<QString> names;
    for (const Vesk::OtherNetworkEntry& entry : std::as_const(networks.entries)) {
        if (entry.kind == Vesk::OtherNetworkEntry::Kind::Name)
            names.insert(entry.text.toLower());
    }
    // Names no longer listed are forgotten, with what was found for them.
    for (auto it = m_resolved.begin(); it != m_resolved.end();)
        it = names.contains(it.key()) ? std::next(it) : m_resolved.erase(it);
    m_unresolved.removeIf([&names](const QString& name) { return !names.contains(name); });
    Q_EMIT otherNetworksProblemsChanged();
    lookUpNames();
    rebuildSweep();
}

QStringList PeerManager::otherNetworksProblems() const
{
    QStringList problems = m_otherNetworks.problems;
    for (const QString& name : m_unresolved) {
        problems.append(
            QCoreApplication::translate("OtherNetworks", "No computer named %1 was found; nothing is sent there.")
                .arg(QChar(0x201c) + name + QChar(0x201d)));
    }
    return problems;
}

void PeerManager::setRememberedSource(std::function<QStringList()> source)
{
    m_remembered = std::move(source);
    rebuildSweep();
}

QList<QHostAddress> PeerManager::directedBroadcastList() const
{
    QList<QHostAddress> result;
    for (const Vesk::OtherNetworkEntry& entry : m_otherNetworks.entries) {
        const QHostAddress broadcast = entry.directedBroadcast();
        if (!broadcast.isNull() && !broadcastTargets.contains(broadcast))
            result.append(broadcast);
    }
    return result;
}

bool PeerManager::isOnLocalSubnet(const QHostAddress& address) const
{
    const QHostAddress normalised = Vesk::normalisedAddress(address);
    for (const auto& [own, prefix] : m_localSubnets) {
        if (normalised.isInSubnet(own, prefix))
            return true;
    }
    return false;
}

void PeerManager::lookUpNames()
{
    for (const Vesk::OtherNetworkEntry& entry : std::as_const(m_otherNetworks.entries)) {
        if (entry.kind != Vesk::OtherNetworkEntry::Kind::Name)
            continue;
        const QString name = entry.text.toLower();
        if (m_pendingLookups.contains(name))
            continue;
        m_pendingLookups.insert(name);
        // The answer comes later on this thread; the window never waits for a name server.
        QHostInfo::lookupHost(name, this, [this, name](const QHostInfo& info) {
            m_pendingLookups.remove(name);
            QList<QHostAddress> found;
            for (const QHostAddress& address : info.addresses()) {
                const QHostAddress v4 = Vesk::normalisedAddress(address);
                if (v4.protocol() == QAbstractSocket::IPv4Protocol && !v4.isLoopback() && !found.contains(v4))
                    found.append(v4);
            }
            const bool listed =
                std::any_of(m_otherNetworks.entries.cbegin(), m_otherNetworks.entries.cend(),
                            [&name](const Vesk::OtherNetworkEntry& e) {
                                return e.kind == Vesk::OtherNetworkEntry::Kind::Name && e.text.toLower() == name;
                            });
            if (!listed)
                return;
            const bool wasUnresolved = m_unresolved.contains(name);
            if (found.isEmpty()) {
                qCDebug(lcDiscovery) << "no IPv4 address for" << name << info.errorString();
                m_resolved.remove(name);
                if (!wasUnresolved)
                    m_unresolved.append(name);
            } else {
                m_resolved.insert(name, found);
                m_unresolved.removeAll(name);
            }
            if (wasUnresolved != found.isEmpty())
                Q_EMIT otherNetworksProblemsChanged();
            rebuildSweep();
        });
    }
}

void PeerManager::rebuildSweep()
{
    QList<QHostAddress> targets;
    for (const Vesk::OtherNetworkEntry& entry : std::as_const(m_otherNetworks.entries)) {
        if (entry.kind == Vesk::OtherNetworkEntry::Kind::Name)
            targets.append(m_resolved.value(entry.text.toLower()));
        else
            targets.append(entry.hosts());
    }
    if (m_remembered) {
        int remembered = 0;
        const QStringList stored = m_remembered();
        for (const QString& text : stored) {
            const QHostAddress address(text);
            if (address.protocol() != QAbstractSocket::IPv4Protocol || address.isLoopback() || address.isMulticast() ||
                isOwnAddress(address) || isOnLocalSubnet(address))
                continue;
            targets.append(address);
            if (++remembered >= kMaxRememberedPeers)
                break;
        }
    }
    m_sweep.setTargets(targets);
    if (m_sweep.isEmpty())
        m_sweepTimer.stop();
}

void PeerManager::reBroadCastMyself()
{
    broadcastCount = 0;
    // Addresses behind names may have moved since the last round (a VPN came up, DHCP gave another one).
    lookUpNames();
}

void PeerManager::refreshAddresses()
{
    broadcastTargets.clear();
    ownAddresses.clear();
    m_localSubnets.clear();
    const QHostAddress localHost(QHostAddress::LocalHost);
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& networkInterface : interfaces) {
        const QList<QNetworkAddressEntry> entries = networkInterface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            const QHostAddress broadcast = entry.broadcast();
            if (broadcast.isNull() || entry.ip() == localHost)
                continue;
            broadcastTargets.append(broadcast);
            ownAddresses.append(entry.ip());
            m_localSubnets.append({entry.ip(), entry.prefixLength()});
        }
    }
    if (broadcastTargets.isEmpty()) {
        broadcastTargets.append(localHost);
        ownAddresses.append(localHost);
    }
}

bool PeerManager::isOwnAddress(const QHostAddress& address) const
{
    const QHostAddress normalised = Vesk::normalisedAddress(address);
    for (const QHostAddress& own : ownAddresses) {
        if (own == normalised)
            return true;
    }
    return false;
}

bool PeerManager::isRepeat(const QString& nodeId, const QByteArray& datagram, const QHostAddress& source)
{
    const qint64 now = m_clock->nowMs();
    const size_t digest = qHash(datagram);
    const QString key = nodeId + QLatin1Char(kSeparator) + Vesk::addressText(source);
    const auto found = m_lastSeen.constFind(key);
    if (found != m_lastSeen.cend() && found->digest == digest) {
        const qint64 elapsed = now - found->timeMs;
        // A clock that went backwards must not silence a peer for good, hence the lower bound.
        if (elapsed >= 0 && elapsed < kRepeatWindowMs)
            return true;
    }
    if (m_lastSeen.size() >= kMaxTrackedSenders) {
        for (auto it = m_lastSeen.begin(); it != m_lastSeen.end();) {
            const qint64 age = now - it->timeMs;
            it = (age < 0 || age >= kRepeatWindowMs) ? m_lastSeen.erase(it) : std::next(it);
        }
        if (m_lastSeen.size() >= kMaxTrackedSenders)
            m_lastSeen.clear();
    }
    m_lastSeen.insert(key, LastReported{digest, now});
    return false;
}

void PeerManager::handleDatagram(const QByteArray& datagram, const QHostAddress& source)
{
    const std::optional<Announcement> announcement = parseAnnouncement(datagram);
    if (!announcement)
        return;
    if (isOwnAddress(source))
        return;
    if (isRepeat(announcement->nodeId, datagram, source))
        return;
    Q_EMIT newConnection(announcement->nodeId, Vesk::addressText(source), announcement->nodeOS,
                         announcement->nodeAlias);
}

void PeerManager::readBroadcastDatagram()
{
    while (udpSocket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = udpSocket.receiveDatagram();
        if (!datagram.isValid())
            continue;
        handleDatagram(datagram.data(), datagram.senderAddress());
    }
}

} // namespace Vesk
