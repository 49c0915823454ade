#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace Vesk {

class Clock;
class NodeBook;
class PeerStreams;
class PlainHearings;
class RefusalLog;
class SecurityRows;
class Store;

// The pins of node ids seen for the first time, for PeerSecurity: the first key a stream shows for a node id is
// taken as its identity (trust on first use), unless a plain peer keeps the id or the stream's address holds too
// many pins of nodes that are no peers yet; room is made among those for the newcomer; and the pin is written to
// the node's row once the row exists, unless its address brought too many new keys lately: any computer can make
// one node id after another, and each pin written is kept for good (so is its row). Such a pin is kept for this run
// only, as one of a node that is no peer yet, and written once the address is within its bound again.
class FirstKeyPins
{
public:
    // Pins written for the rows of one address within a window; beyond, new ones wait.
    static constexpr int kMaxNewKeysPerAddress = 16;
    static constexpr qint64 kNewKeysWindowMs = 3600000;

    // Told of a pin forgotten to make room for another, before its node's stream is dropped.
    using Forgotten = std::function<void(const QString& nodeId)>;

    // `streams` is followed as the owner makes its streams anew.
    FirstKeyPins(Store& store, SecurityRows& rows, NodeBook& book, const PlainHearings& plainHearings,
                 RefusalLog& refusals, const std::unique_ptr<PeerStreams>& streams, const Clock& clock,
                 Forgotten forgotten);

    // Pins the node id to the key its stream from the address came with; false: refused (and logged).
    bool take(const QString& nodeId, const QByteArray& key, const QString& address);
    // Writes the node's pin with the capabilities to its row unless it is there already; true when written now.
    // False also while the node has no row: its stream's first handshake makes one, and this is asked again.
    bool save(const QString& nodeId, quint32 capabilities);

private:
    // A plain peer known elsewhere under the node id keeps it from a stream from the address.
    bool plainPeerKeeps(const QString& nodeId, const QString& address);
    bool makeRoom(const QString& address);
    // Whether the address brought kMaxNewKeysPerAddress pins written within the window (logged, for the node).
    bool tooManyNewAt(const QString& address, const QString& nodeId);
    void noteWritten(const QString& address);

    Store& m_store;
    SecurityRows& m_rows;
    NodeBook& m_book;
    const PlainHearings& m_plainHearings;
    RefusalLog& m_refusals;
    const std::unique_ptr<PeerStreams>& m_streams;
    const Clock& m_clock;
    Forgotten m_forgotten;
    QHash<QString, QList<qint64>> m_written; // address -> when pins of nodes there were written, within the window
};

} // namespace Vesk
