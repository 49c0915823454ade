#pragma once

#include "net/peerstream.h"
#include "net/streamlimits.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>
#include <utility>

namespace Vesk {

class StreamLog;

// Who may take a place in a table of streams (PeerStreams) when it is full, read from the table's own lists: the
// bounds per address, the streams of pinned nodes kept over those of unpinned ones, and an address holding more
// streams than the newcomer's would giving one of them up. Making room closes a stream, which leaves the table at
// once.
class StreamRoom
{
public:
    // The key pinned for a node the owner trusts; empty for any other.
    using PinnedKey = std::function<QByteArray(const QString& nodeId)>;
    // Bytes a stream holds, and the stream.
    using Holders = QList<std::pair<qint64, PeerStream*>>;

    StreamRoom(const QList<PeerStream*>& opening, const QHash<QString, PeerStream*>& streams,
               const StreamLimits& limits, StreamLog& log);

    void setPinnedKey(PinnedKey pinnedKey) { m_pinnedKey = std::move(pinnedKey); }

    // Streams in handshake in the role (from or to the address, unless null; a dial of ours, where it went).
    int openingCount(PeerStream::Role role, const QHostAddress& address = {}) const;
    // Streams, established or in handshake, with the address.
    int streamsAt(const QHostAddress& address) const;

    // Whether a connection from the address may be taken into its handshake. With the table full, the newcomer may
    // be a pinned node: its handshake shows it (see hasPlaceFor).
    bool mayAccept(const QHostAddress& from);
    // Whether our dial of the node at the address may start now.
    bool mayDial(const QString& nodeId, const QHostAddress& address);
    // Whether the peer's stream, at the end of its handshake, may take a place among the established ones.
    bool hasPlaceFor(const PeerStream& stream, const CertificateIdentity& peer);
    // Orders the streams holding bytes the way they are closed when all together hold too much.
    void orderForClosing(Holders& holders) const;

private:
    struct Crowd
    {
        QString address;             // as text
        int streams = 0;             // established streams from there
        PeerStream* given = nullptr; // one of them that could give way; null: no address qualified
    };

    int streamCount() const { return int(m_streams.size() + m_opening.size()); }
    // Dials only pinned nodes may take.
    int pinnedDialReserve() const;
    // Whether the owner trusts a key for the node; whether it is the one the peer showed; whether the stream is a
    // pinned node's (our dial before its handshake: the node dialled).
    bool pinsNode(const QString& nodeId) const;
    bool isPinned(const CertificateIdentity& peer) const;
    bool isPinned(const PeerStream& stream) const;
    bool hasUnpinned() const;
    // Of the addresses with established streams (only those with one of an unpinned node, if `unpinnedOnly`), the
    // one holding the most, with a stream of it that could give way (an unpinned node's, if `unpinnedOnly`).
    Crowd mostCrowded(bool unpinnedOnly) const;
    // Whether an address holds more established streams than this one would, with `arriving` more.
    bool outnumbers(const QHostAddress& address, int arriving) const;
    bool makeRoomFor(const QHostAddress& address, bool pinned, int arriving);

    const QList<PeerStream*>& m_opening;
    const QHash<QString, PeerStream*>& m_streams;
    const StreamLimits& m_limits;
    StreamLog& m_log;
    PinnedKey m_pinnedKey;
};

} // namespace Vesk
