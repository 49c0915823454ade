#pragma once

#include "net/endedhandshakes.h"
#include "net/peerstream.h"
#include "net/streamlog.h"
#include "net/streamroom.h"

#include "secure/identitykey.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <memory>

namespace Vesk {

class StreamTls;

// Where Vesk computers accept each other's streams.
constexpr quint16 kPeerStreamPort = 25002;

// This installation's authenticated streams to other Vesk computers (see PeerStream), at most one per node id:
// accepts them on a port, dials them for a node id, and hands on their frames by node id.
//
// Who a peer is comes from its certificate alone: its node id and its identity key. The caller's pin check
// decides on the key (the first key seen for an id is pinned by the caller; another key under a pinned id is a
// changed key: refused, and keyChanged tells it). Our own identity key presented by the other end is a copy of our
// key file on another computer (sameIdentityElsewhere). Another key under our own node id is refused, and nothing
// more.
//
// Both sides may dial each other at the same moment. Of two streams between the same two nodes the one dialled by
// the lower node id (as text) stays and the other is closed, on both sides alike; of two dialled by the same side,
// the newer stays; but a stream from where the caller knows the node stays over one from elsewhere (setKnownAddress).
// A newcomer that would be closed for the stream there, but comes from another address, first has that stream
// show it is still alive (setProbe): a computer that moved (a new address from DHCP, another network) left its
// stream dead without a word, and its dial from the new address is all that tells.
//
// Room for pinned peers (setPinnedKey): when the table is full, a stream whose certificate shows a pinned node's
// key, or our dial of a pinned node, takes the place of a stream of an unpinned node; an unpinned newcomer never
// takes a pinned node's place. Since who is at the other end shows only in the handshake, connections are taken
// into their handshake while a stream of an unpinned node could give way (the table runs over its bound by at most
// the handshake budgets meanwhile), and a newcomer with no place is ended without a word: the other side tries
// again later, as it does with a peer whose handshake room is full (Verdict::Busy).
//
// All streams together hold at most maxBufferedBytes in memory (to send, and received but not yet a frame, with what
// the caller keeps for each node until its stream takes it: setBacklogged): beyond, the streams holding the most are
// closed, those of unpinned nodes first.
//
// A peer that goes on sending but reads nothing of ours for the silence bound (its stream's queue has not shrunk)
// has its stream closed: what waits for it would only pile up here.
//
// Reconnecting is internal, for nodes this side dialled: when an established stream to such a node drops (the
// connection broke, the peer closed it, silence), the table dials it again after firstRedialMs, doubling up to
// lastRedialMs, at most maxRedials times (see StreamLimits), until a stream is up again. So is a first dial that
// reached a computer which ended it during the handshake without refusing us (isBusy in peerstreams.cpp); any other
// first dial that fails is not repeated: the caller dials again when it hears of the node. drop() ends both the
// stream and the redialling.
class PeerStreams : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PeerStreams)

public:
    // Our own identity key on another computer is reported at most this often.
    static constexpr int kCopyAlarmMs = 60000;
    // Node ids known as capable this run; the oldest are forgotten beyond.
    static constexpr int kMaxRemembered = 4096;

    using Limits = StreamLimits; // the table's bounds, and those it gives each stream

    enum class PinVerdict {
        Accept,     // the pinned key, or a node seen for the first time (whose key the caller pins)
        KeyChanged, // another key than the one pinned for the node id
        Refuse,     // not wanted, for the caller's own reasons
    };
    using PinCheck = std::function<PinVerdict(const QString& nodeId, const QByteArray& publicKey)>;
    // The same, told where the stream comes from or goes to (whether a node id may be taken there).
    using PinCheckAt =
        std::function<PinVerdict(const QString& nodeId, const QByteArray& publicKey, const QHostAddress& address)>;

    PeerStreams(const IdentityKey& key, const QString& nodeId, PinCheck pinCheck, const Limits& limits,
                QObject* parent = nullptr);
    PeerStreams(const IdentityKey& key, const QString& nodeId, PinCheck pinCheck, QObject* parent = nullptr);
    PeerStreams(const IdentityKey& key, const QString& nodeId, PinCheckAt pinCheck, QObject* parent = nullptr);
    ~PeerStreams() override;

    // False when no certificate could be made for the key and node id: nothing can be dialled or accepted.
    bool isValid() const;
    bool listen(const QHostAddress& address = QHostAddress::Any, quint16 port = kPeerStreamPort);
    // Streams read file packets into buffers of this pool.
    void setFramePool(BufferPool* frames) { m_frames = frames; }
    // Where the caller knows a node to be (from its earlier streams); null when nowhere. Of two streams with the
    // node, the one from there stays, whoever dialled: the other came through some other computer (a relay that
    // an announcement pointed to), which could carry or cut everything between the two.
    using KnownAddress = std::function<QHostAddress(const QString& nodeId)>;
    void setKnownAddress(KnownAddress knownAddress) { m_knownAddress = std::move(knownAddress); }
    // Has the node send something on its stream soon (a message it answers). A stream that hears nothing within
    // Limits::probeMs of this call while a stream of the node from another address waits gives way to that one.
    using Probe = std::function<void(const QString& nodeId)>;
    void setProbe(Probe probe) { m_probe = std::move(probe); }
    quint16 serverPort() const { return m_server.serverPort(); }
    // The key pinned for a node the caller trusts (a peer of its user); empty for any other. Streams of such nodes
    // keep their place in a full table.
    using PinnedKey = StreamRoom::PinnedKey;
    void setPinnedKey(PinnedKey pinnedKey) { m_room.setPinnedKey(std::move(pinnedKey)); }
    // Bytes the caller keeps for a node until its stream takes them (dropped when the stream goes down).
    using Backlogged = std::function<qint64(const QString& nodeId)>;
    void setBacklogged(Backlogged backlogged) { m_backlogged = std::move(backlogged); }

    QString nodeId() const { return m_nodeId; }
    // A new node id for this installation: a new certificate, and every stream closed (each named the old id).
    void setNodeId(const QString& nodeId);

    // Opens a stream to the node `nodeId` at address:port, unless it has one or one is being opened. The stream
    // is refused when the node there presents another node id.
    void dial(const QHostAddress& address, quint16 port, const QString& nodeId);
    // Dials whoever announced our own node id at the address: only a copy of this installation (our own key) can
    // complete the handshake there, and that shows as sameIdentityElsewhere. Never redialled. A stream that comes
    // back to this process (a relay of the dial to our own port) shows our key too: it is recognised by our own
    // certificate or our own handshake's random coming back, and refused.
    void lookForCopy(const QHostAddress& address, quint16 port);
    // Closes the node's streams and stops redialling it.
    void drop(const QString& nodeId);
    // This computer's addresses changed (`own`: those it has now): a stream from an address it no longer has is
    // dead, whatever TCP thinks, and is closed, so that a new one is made from where this computer is now. Those
    // this side dialled are dialled again; the others come again with the next message for the node.
    void addressesChanged(const QList<QHostAddress>& own);

    // Queues one frame for the node. False when it has no stream or its stream's queue is full (sendReady follows).
    bool send(const QString& nodeId, const QByteArray& payload);
    bool send(const QString& nodeId, const FramePayload& payload);
    // Whether the node's stream takes a frame now; false while its queue is full (sendReady follows) or it has none.
    bool canSend(const QString& nodeId);

    bool hasStream(const QString& nodeId) const { return m_streams.contains(nodeId); }
    QStringList nodes() const { return m_streams.keys(); }
    // Streams held: established ones, those in handshake, and newcomers waiting on the established one's probe.
    int streamCount() const { return int(m_streams.size() + m_opening.size() + m_contenders.size()); }
    // Nodes remembered for dialling: a dial or redial under way or due, or a stream this side dialled.
    int targetCount() const { return int(m_targets.size()); }
    // Where the node's stream goes; null without one.
    QHostAddress address(const QString& nodeId) const;

    // Whether the node completed a stream with us this run: it speaks this protocol. Which node is at an address
    // is the caller's to know (nodeAnswered tells it what a dial found).
    bool isCapable(const QString& nodeId) const { return m_capable.contains(nodeId); }

    // Of two established streams between this node and a peer, whether the newer one stays: the one dialled by
    // the lower node id, or the newer of two dialled by the same side. Both sides come to the same stream whatever
    // order the two were established in on each.
    static bool keepsNewer(const QString& ownId, const QString& peerId, PeerStream::Role current,
                           PeerStream::Role newer);

Q_SIGNALS:
    // A stream to the node is established. Comes again when a newer stream replaced the node's stream.
    void streamUp(const QString& nodeId, const QHostAddress& address);
    // The node has no stream any more.
    void streamDown(const QString& nodeId);
    // One frame from an authenticated node, in the order sent.
    void frameReceived(const QString& nodeId, const QByteArray& payload);
    // The node's stream takes frames again after send() refused one.
    void sendReady(const QString& nodeId);
    // A dial did not end in a stream (nothing listening, refused, wrong node, no answer...).
    void dialFailed(const QString& nodeId, const QHostAddress& address, Vesk::PeerStream::Ending ending);
    // The node presented a key other than the one pinned for it; the stream was refused.
    void keyChanged(const QString& nodeId, const QByteArray& newKey);
    // Another computer holds our own identity key (a copied key file), under that node id. At most once in
    // kCopyAlarmMs.
    void sameIdentityElsewhere(const QString& nodeId, const QHostAddress& address);
    // A dial found another node than the one dialled answering at the address.
    void nodeAnswered(const QHostAddress& address, const QString& nodeId);

private:
    struct Target
    {
        QHostAddress address;
        quint16 port = 0;
        int redials = 0;        // attempts since the stream dropped; 0 while none is due
        quint64 generation = 0; // a due redial whose generation differs was cancelled
        quint64 sequence = 0;   // when it was last dialled, to forget the oldest
    };

    void acceptPending();
    void startDial(const QString& nodeId);
    void adopt(PeerStream* stream);
    void handleEstablished(PeerStream* stream);
    void handleFinished(PeerStream* stream, PeerStream::Ending ending);
    void scheduleRedial(const QString& nodeId);
    bool isDialling(const QString& nodeId) const;
    void closeStalled();
    void startWaiting();
    PeerStream* newStream(QTcpSocket* socket, PeerStream::Role role, const QString& expectedNodeId);
    PeerStream::Verdict check(const PeerStream& stream, const CertificateIdentity& peer);
    bool isReflection(const PeerStream& stream) const;
    void keepToBudget();
    void forgetTargets();
    void noteCapable(const QString& nodeId);
    void contend(const QString& nodeId, PeerStream* current, PeerStream* newcomer);
    void decideContention(const QString& nodeId, quint64 generation);
    QList<PeerStream*> allStreams() const; // in handshake, established, and waiting contenders
    void replace(const QString& nodeId, PeerStream* current, PeerStream* newer);

    IdentityKey m_key;
    QString m_nodeId;
    PinCheckAt m_pinCheck;
    KnownAddress m_knownAddress;
    Probe m_probe;
    Backlogged m_backlogged;
    Limits m_limits;
    EndedHandshakes m_endedHandshakes; // to recognise a stream of ours come back to us
    std::unique_ptr<StreamTls> m_tls;
    BufferPool* m_frames = nullptr;
    QTcpServer m_server;
    QList<PeerStream*> m_opening;          // in handshake, dialled or accepted
    QHash<QString, PeerStream*> m_streams; // established, by node id
    struct Contender
    {
        PeerStream* stream = nullptr;
        quint64 heardBefore = 0; // the established stream's heardCount() when the probe was sent
        quint64 generation = 0;  // of the probe: a later one for the node makes this one's end moot
    };
    QHash<QString, Contender> m_contenders; // established from another address, waiting on the node's stream
    QHash<QString, Target> m_targets;       // nodes this side dialled
    QStringList m_waiting;                  // of those, dials put off for want of room here, oldest first
    struct Backlog
    {
        qint64 queued = 0;  // bytes waiting at the last look
        qint64 sinceMs = 0; // since when the queue has not shrunk
    };
    QHash<const PeerStream*, Backlog> m_backlogs; // established streams with bytes waiting
    QTimer m_stallCheck;
    QTimer m_budgetCheck;
    quint64 m_generation = 0;
    QHash<QString, quint64> m_capable; // node id -> when it was learnt, to forget the oldest
    quint64 m_sequence = 0;
    qint64 m_copyAlarmMs = -1;
    QElapsedTimer m_clock;
    StreamLog m_log;   // refused and broken streams
    StreamRoom m_room; // who may take a place when the table is full
};

} // namespace Vesk
