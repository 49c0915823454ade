#pragma once

#include "net/messagesink.h"
#include "net/parameters.h"
#include "net/peercapabilities.h"
#include "peers/replylimiter.h"
#include "secure/session.h"
#include "store/securitystate.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>

namespace Vesk {

class BufferPool;
class TaskThread;
struct SealedEnvelope;
class CapabilityProbe;
class Clock;
class LocalProfile;
class Store;

// Who a message really comes from, and who may read what we send. Between two Vesk programs every message after
// the handshake travels sealed; the first identity key heard for a node id is pinned with the peer (trust on first
// use), and from then on nothing under that node id is taken unless it is sealed with keys that identity agreed.
//
// The handshake: "addMeRequest" and "addMeRequestConfirmed" carry, beside their plain fields, our capabilities,
// identity key and this run's session key signed by it, and (once we have the addressee's session) "sealedTo", the
// addressee's session key id, which tells it that we can open what it seals for us. A peer that sends neither is a
// plain peer: it is sent exactly what it was always sent, the handshake included, and none of these fields.
// We put those fields only into a handshake to an address we know runs a program that reads them: a pinned peer's,
// one whose own handshake carried them, or one that answered the capability probe (see capabilityprobe.h). A
// handshake to any other address waits for the probe's answer (the latest per address), then goes with the fields
// or exactly plain. A replacement is sent through the sink, so it passes through frame() again.
// Handshakes go sealed too once the other side has shown it holds our keys (it sealed to us, or named our key).
// A sealed message that does not open because either side started afresh makes the receiver send a handshake, so
// both agree new keys by themselves; what was lost is sent again by the features' resend timers.
class PeerSecurity : public QObject, public PeerCapabilities
{
    Q_OBJECT
    Q_DISABLE_COPY(PeerSecurity)

public:
    // A refused message is logged at most once per this window and kind, with how many were refused meanwhile.
    static constexpr qint64 kLogWindowMs = 10000;
    // A handshake to ask a peer for new keys, at most once per window and address.
    static constexpr qint64 kRekeyWindowMs = 3000;
    // An address the probe found plain is asked again after this long, so a peer that was upgraded is found.
    static constexpr qint64 kPlainProbeKeptMs = 5 * 60 * 1000;
    // Addresses whose handshake waits for the probe's answer; past this a new one is dropped, as a failed send
    // would drop it (announcements and refreshes send the handshake again).
    static constexpr int kMaxHeldHandshakes = 1024;
    // Addresses remembered as capable or as found plain; past this the older knowledge is forgotten and asked again.
    static constexpr int kMaxKnownAddresses = 4096;

    // keyFile: where this installation's identity key lives (made there at first start).
    PeerSecurity(Store& store, MessageSink& sink, CapabilityProbe& probe, const Clock& clock,
                 const LocalProfile& profile, const QString& keyFile, QObject* parent = nullptr);
    ~PeerSecurity() override;

    // The frame of an outgoing message: sealed for a peer that speaks it, plain with our handshake fields for a
    // handshake to a program known to read them, exactly the plain bytes for a plain peer. Null (dropped) for a
    // sealed peer we have no keys with yet, where a handshake is started instead; null (held) for a handshake to
    // an address not known yet, which is sent once the probe answers.
    QByteArray frame(const QHostAddress& address, const Parameters& parameters, BufferPool* frames = nullptr);

    // Checks a received message before dispatch, opening it when sealed. False: refused (and logged), or a file
    // packet taken to be opened on the cipher thread, which reaches the admitted callback once it counts.
    bool admit(Parameters& message);

    // File packets this many bytes and larger are sealed and opened on a thread of their own, at most
    // kMaxOffThread at once (beyond that, here, as smaller messages are), so that the interface's thread does no
    // more per packet than for a plain peer. Each counter is still taken here, in order: see sealElsewhere.
    static constexpr qsizetype kOffThreadFrom = 64 * 1024;
    static constexpr int kMaxOffThread = 8;
    // Starts that thread: a frame sealed there goes to `send`, a message opened there and taken to `admitted`.
    // Without it (tests) everything is sealed and opened in the calls.
    using FrameSender = std::function<void(const QHostAddress& address, QByteArray frame)>;
    using Admitted = std::function<void(Parameters message)>;
    void cipherOffThread(FrameSender send, Admitted admitted);

    // What a pinned peer can take (Capability bits) as its current session, or else its last one, announced; 0 for
    // a plain peer and for one whose key changed and was not accepted yet.
    quint32 capabilitiesOf(const QString& nodeId) const override;

    // For the interface: what it knows of the peer now (its row follows once the change is announced).
    SecurityState::State securityState(const QString& nodeId) const;
    // Twelve digits in three groups, the same on both screens, from both identity keys; empty for a plain peer.
    QString comparisonCode(const QString& nodeId) const;
    bool markVerified(const QString& nodeId);
    // Takes the new key a peer came with as its identity from now on.
    bool acceptChangedKey(const QString& nodeId);

    // A new node id comes with a new identity (two installations cloned from one disk must not share one).
    void renewIdentity();

    QByteArray identityKey() const;

    // Received file packets are opened into buffers of this pool (the one the transport reads frames into).
    void setFramePool(BufferPool* frames) { m_frames = frames; }

Q_SIGNALS:
    // A peer's security state changed (pinned, verified, key changed or accepted).
    void securityChanged(const QString& nodeId);

private:
    struct Pin
    {
        QByteArray key;
        QByteArray pending;
        quint32 capabilities = 0; // as its identity last announced them
    };
    PeerSessions::Outcome acceptSession(const SessionOffer& offer);
    bool admitSealed(Parameters& message);
    static QString shortId(const QString& nodeId);
    bool offThread(qsizetype bytes) const;
    // A file packet handed to the cipher thread, sent once sealed; false when it is to be sealed here instead.
    bool sealOffThread(const QHostAddress& address, const Parameters& parameters, SealedChannel& channel,
                       const QByteArray& theirKey, BufferPool* frames);
    void sealedOffThread(const QHostAddress& address, QByteArray frame);
    // A sealed file packet handed to the cipher thread, admitted once opened; false either way (or refused).
    bool openOffThread(QByteArray&& record, const SealedEnvelope& envelope, SealedChannel& channel,
                       const QString& address);
    void openedOffThread(bool opened, const SealedEnvelope& envelope, quint64 channelSerial, Parameters message,
                         const QString& address);
    // An authentic sealed message from `address` counts: its sender holds our keys and is there now.
    void taken(const QString& nodeFrom, const QString& address, Parameters& message);
    bool admitPlain(Parameters& message);
    bool refuse(const QString& kind, const QString& detail);
    void rekey(const QString& address);
    void pin(const QString& nodeId, const QByteArray& key, quint32 capabilities);
    void loadPins();
    void startSession();
    Parameters withHandshakeFields(const Parameters& parameters, const QString& nodeId) const;
    void remember(const QString& nodeId, const QString& address);
    bool knownCapable(const QString& address, const QString& nodeId) const;
    bool knownPlain(const QString& address) const;
    void hold(const QString& address, const Parameters& handshake);
    void probeAnswered(const QString& address, bool capable);
    void release(const QString& address);
    void markCapable(const QString& address);
    void markPlain(const QString& address);
    // What a message from the address told us about the program there.
    void learned(const QString& address, bool capable);

    Store& m_store;
    MessageSink& m_sink;
    CapabilityProbe& m_probe;
    const Clock& m_clock;
    const LocalProfile& m_profile;
    const QString m_keyFile;
    BufferPool* m_frames = nullptr;
    std::unique_ptr<LocalSession> m_session;
    std::unique_ptr<PeerSessions> m_sessions;
    QHash<QString, Pin> m_pins;                // node id -> its pinned key, for every peer that ever spoke sealed
    QHash<QString, QString> m_nodeAt;          // address -> the pinned node last authenticated there
    QSet<QString> m_plainAt;                   // addresses whose handshake came without our fields
    QSet<QString> m_capableAt;                 // addresses known to read them (handshake or probe)
    QHash<QString, qint64> m_probedPlainUntil; // addresses the probe found plain, until when that holds
    QHash<QString, Parameters> m_held;         // address -> the latest handshake waiting for the probe's answer
    QSet<QString> m_probing;                   // addresses asked and not answered yet
    QSet<QString> m_confirmed;                 // nodes that showed they hold our current session key
    ReplyLimiter m_rekeys{kRekeyWindowMs};
    std::unique_ptr<TaskThread> m_cipherThread;
    FrameSender m_sendFrame;
    Admitted m_admitted;
    struct Refusals
    {
        qint64 loggedAt = 0;
        int unlogged = 0;
    };
    QHash<QString, Refusals> m_refusals;
};

} // namespace Vesk
