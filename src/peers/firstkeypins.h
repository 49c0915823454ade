#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace Vesk {

class NodeBook;
class PeerStreams;
class PlainHearings;
class RefusalLog;
class SecurityRows;
class Store;

// The pins of node ids seen for the first time, for PeerSecurity: the first key a stream shows for a node id is
// taken as its identity (trust on first use), unless a plain peer keeps the id or the stream's address holds too
// many pins of nodes that are no peers yet; room is made among those for the newcomer; and the pin is written to
// the node's row once the row exists.
class FirstKeyPins
{
public:
    // Told of a pin forgotten to make room for another, before its node's stream is dropped.
    using Forgotten = std::function<void(const QString& nodeId)>;

    // `streams` is followed as the owner makes its streams anew.
    FirstKeyPins(Store& store, SecurityRows& rows, NodeBook& book, const PlainHearings& plainHearings,
                 RefusalLog& refusals, const std::unique_ptr<PeerStreams>& streams, Forgotten forgotten);

    // Pins the node id to the key its stream from the address came with; false: refused (and logged).
    bool take(const QString& nodeId, const QByteArray& key, const QString& address);
    // Writes the node's pin with the capabilities to its row unless it is there already; true when written now.
    // False also while the node has no row: its stream's first handshake makes one, and this is asked again.
    bool save(const QString& nodeId, quint32 capabilities);

private:
    // A plain peer known elsewhere under the node id keeps it from a stream from the address.
    bool plainPeerKeeps(const QString& nodeId, const QString& address);
    bool makeRoom(const QString& address);

    Store& m_store;
    SecurityRows& m_rows;
    NodeBook& m_book;
    const PlainHearings& m_plainHearings;
    RefusalLog& m_refusals;
    const std::unique_ptr<PeerStreams>& m_streams;
    Forgotten m_forgotten;
};

} // namespace Vesk
