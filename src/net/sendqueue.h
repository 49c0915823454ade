#pragma once

#include "net/messagesink.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>

namespace Vesk {

class BufferPool;

// Puts outgoing messages on the wire, each on its own connection, with a bound on how many of those connections
// are open at once. A burst (a resend timer over hundreds of unconfirmed chats, a fast peer asking for packets)
// would otherwise open a descriptor per message, exhaust them and lose messages silently, and every open
// connection makes each turn of the event loop dearer. Past the bound, messages wait here and go out as earlier
// connections end: in order for each destination, taking destinations in turn, so that a peer that does not
// answer (each attempt holds its connection for seconds) cannot hold up messages to the others. The wait is
// bounded too: beyond it new messages are dropped, as a failed send would drop them, and the features' resend
// timers try again.
//
// Presence traffic (the handshake, avatars, presence probes) comes in bursts of hundreds when an office starts,
// refreshes or wakes; what a user waits for (chats and their confirmations, offers, file packets) must not queue
// behind it. Waiting messages of the first kind go out only after every waiting message of the second, and never
// take the last kReservedConnections slots.
class SendQueue : public QObject, public MessageSink
{
    Q_OBJECT
    Q_DISABLE_COPY(SendQueue)

public:
    static constexpr int kMaxOpenConnections = 64;
    static constexpr int kMaxOpenPerDestination = 16;
    static constexpr int kMaxQueuedMessages = 10000;
    static constexpr qint64 kMaxQueuedBytes = 64 * 1024 * 1024;
    static constexpr int kReservedConnections = 8;

    // File packets' frames are built in buffers of `frames`.
    explicit SendQueue(BufferPool& frames, int maxOpenConnections = kMaxOpenConnections,
                       int maxOpenPerDestination = kMaxOpenPerDestination, int maxQueuedMessages = kMaxQueuedMessages,
                       qint64 maxQueuedBytes = kMaxQueuedBytes, QObject* parent = nullptr);

    void send(const QHostAddress& address, const Parameters& parameters) override;
    void sendTo(const QString& nodeId, const QHostAddress& address, const Parameters& parameters) override;
    void probe(const QHostAddress& address) override;

    // Builds each message's frame in place of the plain encoding (the choice between a peer's stream and the plain
    // port plugs in here), in a buffer of `frames` when it suits. A null frame sends nothing on a connection of
    // this queue: the message was dropped, as a failed send would drop it, or the builder took it elsewhere or for
    // later (a frame it finishes later goes to sendFrame()). The node id is empty for a message to an address.
    using FrameBuilder = std::function<QByteArray(const QHostAddress& address, const QString& nodeId,
                                                  const Parameters& parameters, BufferPool* frames)>;
    void setFrameBuilder(FrameBuilder builder) { m_frameBuilder = std::move(builder); }
    // Sends a frame the builder finished later, as one of what a user waits for (a file packet).
    void sendFrame(const QHostAddress& address, QByteArray frame);

    int openConnections() const { return m_open; }
    int queuedMessages() const { return m_queued; }

Q_SIGNALS:
    // A message or probe to this address found nobody listening (see VeskTcpSocket::unreachable).
    void unreachable(QHostAddress address);

private:
    enum Lane { Urgent, Presence, kLanes };
    static Lane laneOf(const Parameters& parameters);
    void enqueue(const QHostAddress& address, QByteArray frame, Lane lane);

    struct Pending
    {
        QHostAddress address;
        QByteArray frame;
    };
    struct Waiting
    {
        QHash<QString, std::deque<Pending>> byDestination;
        std::deque<QString> turns; // destinations with waiting messages, next first
    };

    bool canStart(const QString& destination, Lane lane) const;
    void start(const QString& destination, const QHostAddress& address, const QByteArray& frame);
    void connectionEnded(const QString& destination);
    void startWaiting();
    void startWaiting(Lane lane);

    BufferPool& m_frames;
    FrameBuilder m_frameBuilder;
    const int m_maxOpen;
    const int m_maxOpenPerDestination;
    const int m_maxQueued;
    const qint64 m_maxQueuedBytes;
    Waiting m_waiting[kLanes];
    QHash<QString, int> m_openPerDestination;
    int m_open = 0;
    int m_queued = 0;
    qint64 m_queuedBytes = 0;
    bool m_overflowing = false;
};

} // namespace Vesk
