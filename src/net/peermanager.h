#pragma once

#include "common/clock.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>

#include <functional>
#include <optional>

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

    // Handles one received datagram as if it had just arrived from the given address (tests and the socket).
    void handleDatagram(const QByteArray& datagram, const QHostAddress& source);

Q_SIGNALS:
    void newConnection(QString nodeId, QString ipAddress, QString nodeOS, QString nodeAlias);

public Q_SLOTS:
    void broadCastMyself();
    void reBroadCastMyself();

private Q_SLOTS:
    void readBroadcastDatagram();

private:
    void refreshAddresses();
    bool isOwnAddress(const QHostAddress& address) const;
    bool isRepeat(const QString& nodeId, const QByteArray& datagram, const QHostAddress& source);

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
};
