#pragma once

#include "net/peerstreams.h"
#include "secure/identitykey.h"

#include <QHash>
#include <QSignalSpy>

Q_DECLARE_METATYPE(Vesk::PeerStream::Ending)

namespace TestSupport {

const QHostAddress kHere(QHostAddress::LocalHost);

// Short bounds, so that stalls, silences and redials show within a test; still long for a loaded machine.
inline Vesk::PeerStreams::Limits quickLimits()
{
    Vesk::PeerStreams::Limits limits;
    limits.handshakeMs = 1500;
    limits.keepAliveMs = 250;
    limits.silenceMs = 1500;
    limits.firstRedialMs = 50;
    limits.lastRedialMs = 200;
    limits.maxRedials = 3;
    return limits;
}

// One installation: its stream table listening on loopback, pinning each node's first key as the program will.
struct StreamNode
{
    explicit StreamNode(const QString& id, const Vesk::IdentityKey& key = Vesk::IdentityKey::generate(),
                        const Vesk::PeerStreams::Limits& limits = quickLimits(), const QHostAddress& address = kHere)
        : id(id), key(key),
          streams(
              key, id, [this](const QString& node, const QByteArray& k) { return pin(node, k); }, limits)
    {
        streams.listen(address, 0);
        QObject::connect(&streams, &Vesk::PeerStreams::frameReceived, &streams,
                         [this](const QString& from, const QByteArray& payload) {
                             received.append(payload);
                             lastSender = from;
                         });
    }
    Vesk::PeerStreams::PinVerdict pin(const QString& node, const QByteArray& publicKey)
    {
        ++pinChecks;
        const auto pinned = pins.constFind(node);
        if (pinned == pins.cend())
            pins.insert(node, publicKey);
        else if (*pinned != publicKey)
            return Vesk::PeerStreams::PinVerdict::KeyChanged;
        return Vesk::PeerStreams::PinVerdict::Accept;
    }
    void dial(const StreamNode& other, const QString& expected = {})
    {
        streams.dial(kHere, other.streams.serverPort(), expected.isEmpty() ? other.id : expected);
    }
    QString id;
    Vesk::IdentityKey key;
    QHash<QString, QByteArray> pins;
    int pinChecks = 0;
    Vesk::PeerStreams streams;
    QList<QByteArray> received;
    QString lastSender;
    QSignalSpy up{&streams, &Vesk::PeerStreams::streamUp};
    QSignalSpy down{&streams, &Vesk::PeerStreams::streamDown};
    QSignalSpy changed{&streams, &Vesk::PeerStreams::keyChanged};
    QSignalSpy sameIdentity{&streams, &Vesk::PeerStreams::sameIdentityElsewhere};
    QSignalSpy failed{&streams, &Vesk::PeerStreams::dialFailed};
    QSignalSpy ready{&streams, &Vesk::PeerStreams::sendReady};
};

inline bool connected(const StreamNode& a, const StreamNode& b)
{
    return a.streams.hasStream(b.id) && b.streams.hasStream(a.id);
}

} // namespace TestSupport
