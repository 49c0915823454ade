#pragma once

#include "net/parameters.h"
#include "net/peercapabilities.h"
#include "net/peerstreams.h"
#include "peers/firstkeypins.h"
#include "peers/nodebook.h"
#include "peers/securityrows.h"
#include "peers/plainhearings.h"
#include "peers/refusallog.h"
#include "peers/replylimiter.h"
#include "peers/waitingmessages.h"
#include "store/securitystate.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

namespace Vesk {

class BufferPool;
class Clock;
class LocalProfile;
class Store;

// Who a message really comes from, and who may read what we send. Between two Vesk computers everything travels
// as frames on one authenticated TLS stream (see PeerStreams); a plain peer is sent exactly the plain protocol on
// its message port.
//
// A node that ever completed a stream with us is pinned: its identity key is kept with its row (the first key seen
// for a node id is taken, trust on first use). From then on its address, name and status change only through its
// stream: a plain message, handshake or announcement under its node id changes nothing, and what we send it goes
// on its stream or waits for one (the features' resend timers send it again), never in plain.
//
// A node id already known as a plain peer's is not taken by a stream from elsewhere: any computer can name any
// node id in its certificate, and the pin would lock the real plain peer out for good. Such a node id is pinned
// only by a stream from the address where the plain peer is known, and only while no plain message under it came
// from another address lately.
//
// A message for a node (a chat, a confirmation, an offer, a packet, a reply) goes on that node's own stream when
// it has one, and on no other: several programs may share an address (users of one computer, hosts behind one
// router, a forged source), and an address names none of them. Without its stream, a pinned node's message waits
// (a stream is dialled at its stored address); a node not known either way waits while it is dialled; a node
// marked plain is sent plain.
//
// A message to an address only (a handshake, a search) is routed by what is known there:
//   1. an address with a stream up: on that stream (the first node with a stream there keeps the address);
//   2. the stored address of a pinned node without a stream: nowhere; a stream is dialled there;
//   3. a node that has completed a stream with us (pinned or capable this run): it waits while a stream is dialled
//      there, and is dropped if none comes (the features send it again); never in plain;
//   4. a node not yet known either way: it waits while a stream is dialled (the dial is how we learn what the
//      program there speaks); a stream takes it on, a port that answers no TLS marks the node plain and it goes
//      out in plain;
//   5. a node marked plain, or an address where no node is known: in plain, exactly as the plain protocol has it.
// A node's plain mark stays until it completes a stream with us, or another node answers where it was learnt.
class PeerSecurity : public QObject, public PeerCapabilities
{
    Q_OBJECT
    Q_DISABLE_COPY(PeerSecurity)

public:
    // A refused message is logged at most once per this window and kind, with how many were refused meanwhile.
    static constexpr qint64 kLogWindowMs = 10000;
    // An address that announces our own node id is dialled to look for a copy of us at most once per this window.
    static constexpr qint64 kCopyCheckWindowMs = 60000;
    // A plain message under a node id this recent, from another address than a stream's, keeps the id from it.
    static constexpr qint64 kPlainPeerAnswersMs = 10 * 60 * 1000;

    // keyFile: where this installation's identity key lives (made there at first start).
    PeerSecurity(Store& store, const Clock& clock, const LocalProfile& profile, const QString& keyFile,
                 QObject* parent = nullptr);
    ~PeerSecurity() override;

    // Accepts streams on the port (kPeerStreamPort in the program); streams are dialled to `dialPort`.
    bool listen(const QHostAddress& address, quint16 port);
    QString listenError() const;
    void setDialPort(quint16 port) { m_dialPort = port; }
    quint16 streamPort() const;

    // Where plain frames of held messages go once their address turned out plain.
    using PlainSender = std::function<void(const QHostAddress& address, QByteArray frame)>;
    void setPlainSender(PlainSender send) { m_sendPlain = std::move(send); }
    // Where messages that arrived on a stream go, admitted.
    using Delivery = std::function<void(Parameters message)>;
    void setDelivery(Delivery deliver) { m_deliver = std::move(deliver); }
    // Handshakes to a node whose stream just came up go through here (the send queue, which comes back to frame()).
    using HandshakeSender =
        std::function<void(const QString& nodeId, const QHostAddress& address, const Parameters& handshake)>;
    void setHandshakeSender(HandshakeSender send) { m_sendHandshake = std::move(send); }

    // The frame of an outgoing message for the plain port, or null when it went on a stream, waits for one, or
    // must not go (see the class comment). `nodeId` names the node it is for; empty: whoever is at the address.
    QByteArray frame(const QHostAddress& address, const QString& nodeId, const Parameters& parameters,
                     BufferPool* frames = nullptr);

    // Checks a message that arrived in plain on the message port; false: refused (and logged).
    bool admit(Parameters& message);

    // An announcement heard: true when it may be recorded as the plain protocol has it; false for a pinned node or
    // our own node id (nothing changes, a stream is dialled there at most).
    bool announced(const QString& nodeId, const QString& address);

    // Our handshake to every node with a stream: a new name or picture of ours reaches them only this way.
    void handshakeOnStreams();
    // This computer's links or addresses changed: streams from an address it no longer has are made anew.
    void linksChanged();

    quint32 capabilitiesOf(const QString& nodeId) const override;
    bool hasStream(const QString& nodeId) const;
    // Whether a frame for the node would go on its stream now rather than wait for room there (true for a node
    // without a stream: its messages take their other ways). While false, roomFor(nodeId) follows once it has room.
    bool hasRoomFor(const QString& nodeId);

    // For the interface: what it knows of the peer now (its row follows once the change is announced).
    SecurityState::State securityState(const QString& nodeId) const;
    // Both keys' fingerprints (see ComparisonCode), one per line in a fixed order, the same on both screens; empty
    // for a peer with no key.
    QString comparisonCode(const QString& nodeId) const;
    bool markVerified(const QString& nodeId);
    // Takes the new key a peer came with as its identity from now on.
    bool acceptChangedKey(const QString& nodeId);
    // The pinned peer refused our key at its last stream (this side was reinstalled, and its user has not accepted
    // the new key yet); no longer once a stream with it is up.
    bool refusesOurKey(const QString& nodeId) const { return m_refusesOurKey.contains(nodeId); }

    // A new node id comes with a new identity (two installations cloned from one disk must not share one).
    void renewIdentity();
    QByteArray identityKey() const;

    PeerStreams& streams() { return *m_streams; }
    // File packets are framed and read in buffers of this pool (the one the plain port uses).
    void setFramePool(BufferPool* frames);

Q_SIGNALS:
    // A peer's security state changed (pinned, verified, key changed or accepted, our key refused by it).
    void securityChanged(const QString& nodeId);
    // A computer at that address completed a stream with our own identity key: a copy of this installation.
    void copyOfThisInstallation(const QString& address);
    // The node's stream, busy before, takes frames again; or its stream ended (what waited for room is dropped).
    void roomFor(const QString& nodeId);
    void streamEnded(const QString& nodeId);

private:
    void makeStreams();
    QByteArray frameForAddress(const QHostAddress& address, const Parameters& parameters, BufferPool* frames);
    QByteArray plainFrame(const QString& where, const Parameters& parameters, BufferPool* frames);
    PeerStreams::PinVerdict checkPin(const QString& nodeId, const QByteArray& key, const QString& address);
    void savePin(const QString& nodeId);
    void streamUp(const QString& nodeId, const QHostAddress& address);
    void streamDown(const QString& nodeId);
    void sendHandshake(const QString& nodeId);
    void frameReceived(const QString& nodeId, const QByteArray& payload);
    void dialFailed(const QString& nodeId, const QString& address, PeerStream::Ending ending);
    bool sendOnStream(const QString& nodeId, const Parameters& parameters);
    bool sendOnStream(const QString& nodeId, FramePayload payload);
    void flushBacklog(const QString& nodeId);
    WaitingMessages::Send streamOf(const QString& nodeId);
    void hold(const QString& address, const QString& nodeId, const Parameters& parameters);
    void releaseHeld(const QString& nodeId, bool onStream);
    QString nodeAt(const QString& address);
    // The node whose stream up at the address takes what is sent to the address only; empty for none.
    QString streamAt(const QString& address) const;
    void dial(const QString& nodeId, const QString& address);
    // A node answers at the address (a plain message over TCP, a stream, a dial that found it): the address tells
    // nothing any more of the pinned node stored there, of the plain node marked there, nor of a capable node.
    void nodeSeenAt(const QString& address, const QString& nodeId);
    void forgetPinnedAt(const QString& address);
    bool knownCapable(const QString& nodeId) const;
    void loadPins();

    Store& m_store;
    SecurityRows m_rows; // what of this is kept in the peers' rows
    const Clock& m_clock;
    const LocalProfile& m_profile;
    const QString m_keyFile;
    IdentityKey m_identity;
    std::unique_ptr<PeerStreams> m_streams;
    QHostAddress m_listenAddress;
    quint16 m_listenPort = 0;
    quint16 m_dialPort = kPeerStreamPort;
    BufferPool* m_frames = nullptr;
    PlainSender m_sendPlain;
    Delivery m_deliver;
    HandshakeSender m_sendHandshake;
    NodeBook m_book;                    // pins, plain marks, the node last heard at each address
    QHash<QString, QString> m_pinnedAt; // address -> pinned node last authenticated there
    PlainHearings m_plainHearings{m_clock, kPlainPeerAnswersMs, NodeBook::kMaxKnownAddresses};
    WaitingMessages m_waiting; // held for a dial's outcome, or for room on a stream
    ReplyLimiter m_copyChecks{kCopyCheckWindowMs};
    RefusalLog m_refusals{m_clock, kLogWindowMs};
    QSet<QString> m_refusesOurKey; // pinned nodes whose last stream refused our key
    // Pinned nodes whose dial at their stored address failed since their last stream: announcements from
    // elsewhere are dialled for them.
    QHash<QString, QString> m_unreachableAt;
    // Pins of nodes seen for the first time; a pin forgotten for room tells nothing of addresses any more.
    FirstKeyPins m_firstPins{
        m_store, m_rows, m_book, m_plainHearings, m_refusals, m_streams, m_clock, [this](const QString& nodeId) {
            m_unreachableAt.remove(nodeId);
            m_pinnedAt.removeIf([&nodeId](const auto& entry) { return entry.value() == nodeId; });
        }};
};

} // namespace Vesk
