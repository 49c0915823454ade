#pragma once

#include "common/clock.h"
#include "net/othernetworks.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>

#include <functional>
#include <optional>

namespace Vesk {

// Announces this node on the local networks by UDP broadcast and reports the announcements of other nodes.
// The announcement is "nodeId|os|alias" in Latin-1, sent eleven times after each reset, every two seconds.
class PeerManager : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 kUdpPort = 45000;
    static constexpr int kBroadcastIntervalMs = 2000;
    static constexpr int kAnnouncementsPerReset = 11;
    // A datagram identical to the last one reported for the same (node id, address) that arrives sooner than this
    // is dropped, so a flooding peer cannot make the controller run its handshake for every datagram. The normal
    // cadence is far slower. A changed announcement (a new alias) is always reported.
    static constexpr qint64 kRepeatWindowMs = 1000;
    // Announcements to single addresses (other networks, peers remembered beyond the local subnets) leave in
    // small steps this far apart, spread over the whole round.
    static constexpr int kSweepStepMs = 100;
    static constexpr int kSweepStepsPerTick = kBroadcastIntervalMs / kSweepStepMs;
    // Peers found beyond the local subnets are announced to again at every reset; at most this many.
    static constexpr int kMaxRememberedPeers = 256;

    // One parsed announcement.
    struct Announcement
    {
        QString nodeId;
        QString nodeOS;
        QString nodeAlias;
    };

    explicit PeerManager(QObject* parent = nullptr);
    ~PeerManager() override;

    // Where the announcement's content comes from; read afresh at every announcement. Without a source nothing
    // is announced (the node has nothing to say yet), though received announcements are still reported.
    void setAnnouncementSource(std::function<QByteArray()> source);
    // The clock that times repeated announcements; the system clock unless set.
    void setClock(const Vesk::Clock& clock) { m_clock = &clock; }

    // The datagram for the given fields: Latin-1, characters outside it become "?".
    static QByteArray buildAnnouncement(const QString& nodeId, const QString& os, const QString& alias);
    // Splits a datagram into its three fields; anything but exactly three fields gives nothing.
    static std::optional<Announcement> parseAnnouncement(const QByteArray& datagram);

    int broadcastCountValue() const { return broadcastCount; }
    QList<QHostAddress> broadcastTargetList() const { return broadcastTargets; }
    QList<QHostAddress> ownAddressList() const { return ownAddresses; }

    // The networks beyond the local subnets that the user named. Ranges get a directed broadcast with every
    // announcement; every single address (a range's hosts, an address, a looked-up name) gets its announcements
    // spread over the round. Names are looked up in the background, now and at every reset.
    void setOtherNetworks(const Vesk::OtherNetworks& networks);
    // The rows of the list that are not used, and the names that did not resolve, one sentence each.
    QStringList otherNetworksProblems() const;
    // Where the stored addresses of known peers come from: those beyond every local subnet were found through
    // the other networks or by address, and are announced to again at every reset, so they come back by
    // themselves after a restart of either side.
    void setRememberedSource(std::function<QStringList()> source);
    // Announces this node to one address at once (adding a computer by its address). False when there is
    // nothing to announce yet or the datagram could not be sent.
    bool announceTo(const QHostAddress& address);
    QList<QHostAddress> directedBroadcastList() const;
    const Vesk::AnnouncementSweep& sweep() const { return m_sweep; }
    bool isOnLocalSubnet(const QHostAddress& address) const;

    // Handles one received datagram as if it had just arrived from the given address (tests and the socket).
    void handleDatagram(const QByteArray& datagram, const QHostAddress& source);

Q_SIGNALS:
    void newConnection(QString nodeId, QString ipAddress, QString nodeOS, QString nodeAlias);
    void otherNetworksProblemsChanged();

public Q_SLOTS:
    void broadCastMyself();
    void reBroadCastMyself();

private Q_SLOTS:
    void readBroadcastDatagram();
    void sweepStepTimeout();

private:
    void refreshAddresses();
    bool isOwnAddress(const QHostAddress& address) const;
    bool isRepeat(const QString& nodeId, const QByteArray& datagram, const QHostAddress& source);
    void rebuildSweep();
    void lookUpNames();
    void sendSweepStep();

    QList<QHostAddress> broadcastTargets;
    QList<QHostAddress> ownAddresses;
    QUdpSocket udpSocket;
    QTimer broadcastTimer;
    qint32 broadcastCount = 0;

    std::function<QByteArray()> m_source;
    const Vesk::Clock* m_clock = &Vesk::Clock::system();
    // What was last reported per sender: a digest of the datagram rather than the datagram, so that thousands of
    // tracked senders cost little memory even when their datagrams are large.
    struct LastReported
    {
        size_t digest = 0;
        qint64 timeMs = 0;
    };
    QHash<QString, LastReported> m_lastSeen; // "nodeId|address" -> the last reported announcement

    Vesk::OtherNetworks m_otherNetworks;
    QHash<QString, QList<QHostAddress>> m_resolved; // host name (lower case) -> its IPv4 addresses
    QStringList m_unresolved;                       // names whose last lookup found nothing
    QSet<QString> m_pendingLookups;
    std::function<QStringList()> m_remembered;
    QList<QPair<QHostAddress, int>> m_localSubnets; // own address and prefix length of every entry announced on
    Vesk::AnnouncementSweep m_sweep{kAnnouncementsPerReset * kSweepStepsPerTick, kAnnouncementsPerReset};
    QTimer m_sweepTimer;
    int m_sweepStep = 0;    // the next step of the round to send
    int m_sweepStepEnd = 0; // where the current tick's share of the round ends
};

} // namespace Vesk
