#include "net/peermanager.h"

#include "common/clock.h"
#include "net/netaddress.h"
#include "net/netlogging.h"

#include <QNetworkAddressEntry>
#include <QNetworkDatagram>
#include <QNetworkInterface>

namespace {
constexpr char kSeparator = '|';
constexpr int kAnnouncementFields = 3;
// Bounds the memory of the repeat filter: a flood of ever new node ids can never grow it past this.
constexpr int kMaxTrackedSenders = 4096;
} // namespace

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
    ++broadcastCount;

    refreshAddresses();
    const QByteArray datagram = m_source();

    // Each send stands alone: on a network without a default route the limited broadcast fails (ENETUNREACH),
    // and the per-interface broadcasts must still go out.
    if (udpSocket.writeDatagram(datagram, QHostAddress(QHostAddress::Broadcast), kUdpPort) < 0)
        qCDebug(lcDiscovery) << "limited broadcast failed:" << udpSocket.errorString();
    for (const QHostAddress& target : std::as_const(broadcastTargets)) {
        if (udpSocket.writeDatagram(datagram, target, kUdpPort) < 0)
            qCDebug(lcDiscovery) << "broadcast to" << target << "failed:" << udpSocket.errorString();
    }
}

void PeerManager::reBroadCastMyself()
{
    broadcastCount = 0;
}

void PeerManager::refreshAddresses()
{
    broadcastTargets.clear();
    ownAddresses.clear();
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
