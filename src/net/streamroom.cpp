#include "net/streamroom.h"

#include "net/netaddress.h"
#include "net/streamlog.h"

#include "secure/crypto.h"

#include <algorithm>

namespace Vesk {

StreamRoom::StreamRoom(const QList<PeerStream*>& opening, const QHash<QString, PeerStream*>& streams,
                       const StreamLimits& limits, StreamLog& log)
    : m_opening(opening), m_streams(streams), m_limits(limits), m_log(log)
{
}

bool StreamRoom::mayAccept(const QHostAddress& from)
{
    return openingCount(PeerStream::Role::Acceptor) < m_limits.maxHandshakes &&
           openingCount(PeerStream::Role::Acceptor, from) < m_limits.maxHandshakesPerAddress &&
           streamsAt(from) < m_limits.maxStreamsPerAddress &&
           (streamCount() < m_limits.maxStreams || makeRoomFor(from, false, 1) || hasUnpinned() || outnumbers(from, 1));
}

bool StreamRoom::mayDial(const QString& nodeId, const QHostAddress& address)
{
    const bool pinned = pinsNode(nodeId);
    const int dials = openingCount(PeerStream::Role::Dialler);
    // Any datagram names a node to dial, and an address that takes connections and never answers keeps each dial
    // for the handshake's bound: dials of nodes we hold no key for leave a share of the room to the pinned ones, and
    // take only a few places each address.
    if (!pinned && (dials >= m_limits.maxDials - pinnedDialReserve() ||
                    openingCount(PeerStream::Role::Dialler, address) >= m_limits.maxHandshakesPerAddress))
        return false;
    return dials < m_limits.maxDials && (streamCount() < m_limits.maxStreams || makeRoomFor(address, false, 1) ||
                                         (pinned && (hasUnpinned() || outnumbers(address, 1))));
}

int StreamRoom::openingCount(PeerStream::Role role, const QHostAddress& address) const
{
    return int(std::count_if(m_opening.cbegin(), m_opening.cend(), [&](const PeerStream* stream) {
        if (stream->role() != role)
            return false;
        // Our dial knows its peer's address only once connected: until then it counts where it went.
        return address.isNull() ||
               (stream->dialledAt().isNull() ? stream->peerAddress() : stream->dialledAt()) == address;
    }));
}

int StreamRoom::pinnedDialReserve() const
{
    return std::max(1, m_limits.maxDials / 4);
}

int StreamRoom::streamsAt(const QHostAddress& address) const
{
    const auto there = [&address](const PeerStream* stream) {
        return stream->peerAddress() == address;
    };
    return int(std::count_if(m_opening.cbegin(), m_opening.cend(), there) +
               std::count_if(m_streams.cbegin(), m_streams.cend(), there));
}

bool StreamRoom::pinsNode(const QString& nodeId) const
{
    return m_pinnedKey && !m_pinnedKey(nodeId).isEmpty();
}

bool StreamRoom::isPinned(const CertificateIdentity& peer) const
{
    const QByteArray key = m_pinnedKey ? m_pinnedKey(peer.nodeId) : QByteArray();
    return !key.isEmpty() && constantTimeEqual(key, peer.publicKey);
}

bool StreamRoom::isPinned(const PeerStream& stream) const
{
    if (stream.peer().nodeId.isEmpty()) // our dial before the handshake: the node meant
        return stream.role() == PeerStream::Role::Dialler && pinsNode(stream.expectedNodeId());
    return isPinned(stream.peer());
}

bool StreamRoom::hasUnpinned() const
{
    return std::any_of(m_streams.cbegin(), m_streams.cend(),
                       [this](const PeerStream* stream) { return !isPinned(*stream); });
}

StreamRoom::Crowd StreamRoom::mostCrowded(bool unpinnedOnly) const
{
    QHash<QString, int> held;
    QHash<QString, PeerStream*> given;
    for (PeerStream* stream : std::as_const(m_streams)) {
        const QString there = addressText(stream->peerAddress());
        ++held[there];
        if (!unpinnedOnly || !isPinned(*stream))
            given.insert(there, stream); // any of them: the address chose to hold so many
    }
    Crowd most;
    for (auto it = given.cbegin(); it != given.cend(); ++it)
        if (!most.given || held.value(it.key()) > most.streams)
            most = Crowd{it.key(), held.value(it.key()), it.value()};
    return most;
}

bool StreamRoom::outnumbers(const QHostAddress& address, int arriving) const
{
    return mostCrowded(false).streams > streamsAt(address) + arriving;
}

bool StreamRoom::makeRoomFor(const QHostAddress& address, bool pinned, int arriving)
{
    // The address holding the most streams of unpinned nodes gives up one of them: for a pinned node always, for
    // another only if that address holds more than the newcomer's would after it came in. With none left, a pinned
    // node takes one from the address holding the most streams, on the same condition: one handshake makes anyone
    // a peer, so fresh node ids from a few addresses must not hold the places of the peers the user knew. Many
    // streams from few computers thus never lock out the others, nor many computers the pinned ones.
    const int newcomer = streamsAt(address) + arriving;
    Crowd most = mostCrowded(true);
    if (!most.given || (!pinned && most.streams <= newcomer)) {
        if (!pinned)
            return false;
        most = mostCrowded(false);
        if (!most.given || most.streams <= newcomer)
            return false;
    }
    if (m_log.mayLog())
        qCritical().noquote() << QStringLiteral("Closed the stream with %1 at %2 to make room: %3 streams are open, "
                                                "%4 of them from there")
                                     .arg(most.given->peer().nodeId, most.address)
                                     .arg(streamCount())
                                     .arg(most.streams);
    most.given->close(); // finished at once: the table has room again
    return true;
}

bool StreamRoom::hasPlaceFor(const PeerStream& stream, const CertificateIdentity& peer)
{
    // Connections in handshake may run over the table's bound (see mayAccept): an established stream takes a
    // place only if there is one, or one is made for it now.
    if (m_streams.contains(peer.nodeId) || m_streams.size() < m_limits.maxStreams)
        return true;
    if (makeRoomFor(stream.peerAddress(), isPinned(peer), 0))
        return true;
    if (m_log.mayLog())
        qCritical().noquote() << QStringLiteral("No room for a stream with %1 at %2: %3 streams are open")
                                     .arg(peer.nodeId, addressText(stream.peerAddress()))
                                     .arg(streamCount());
    return false;
}

void StreamRoom::orderForClosing(Holders& holders) const
{
    // Those of unpinned nodes first; then those of the address that sent the most of what is held, the most first.
    // Bytes received are what another computer makes us hold; what we queue for a peer is our own sending. Many
    // streams from one computer, each holding a little less than a peer's transfer, thus end before that transfer.
    QHash<QString, qint64> receivedThere;
    QHash<const PeerStream*, bool> pinned; // looked up once each, not at every comparison
    for (const auto& [held, stream] : std::as_const(holders)) {
        receivedThere[addressText(stream->peerAddress())] += stream->bufferedBytes() - stream->queuedBytes();
        pinned.insert(stream, isPinned(*stream));
    }
    std::sort(holders.begin(), holders.end(), [&receivedThere, &pinned](const auto& a, const auto& b) {
        const bool aPinned = pinned.value(a.second);
        const bool bPinned = pinned.value(b.second);
        if (aPinned != bPinned)
            return bPinned;
        const qint64 aThere = receivedThere.value(addressText(a.second->peerAddress()));
        const qint64 bThere = receivedThere.value(addressText(b.second->peerAddress()));
        return aThere != bThere ? aThere > bThere : a.first > b.first;
    });
}

} // namespace Vesk
