#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>
#include <optional>

namespace Vesk {

// What this run knows of other nodes, in memory and bounded, for PeerSecurity: the identity key pinned for each
// node id, the nodes marked plain (no TLS answered where they were dialled), and which node was last heard at an
// address. Nothing here reads or writes the database.
class NodeBook
{
public:
    // Pins of nodes that completed a stream but are no peer of ours yet (no row; a real peer gets one with its
    // first handshake, within a second): past this the oldest without a stream is forgotten.
    static constexpr int kMaxUnsavedPins = 128;
    // Unsaved pins of nodes with a stream up from one address: a computer runs one or a few installations, and one
    // address must not take every place kept for newcomers.
    static constexpr int kMaxUnsavedPinsPerAddress = 4;
    // Addresses remembered with the node last heard there, nodes marked plain; past this the knowledge is forgotten.
    static constexpr int kMaxKnownAddresses = 4096;

    struct Pin
    {
        QByteArray key;
        QByteArray pending;
        bool saved = false;   // written to the node's row (an accepted stream may come before the row)
        quint64 sequence = 0; // which unsaved pin is the oldest
    };

    // The node's pin; null when none.
    Pin* pin(const QString& nodeId);
    const Pin* pin(const QString& nodeId) const;
    bool isPinned(const QString& nodeId) const { return m_pins.contains(nodeId); }
    // A pin read from the node's row.
    void loadPin(const QString& nodeId, const QByteArray& key, const QByteArray& pending);
    // The first key seen for a node id, not in its row yet. Room must have been made for it (makeRoomForPin). A
    // pinned node is no plain node: its plain mark goes.
    void addPin(const QString& nodeId, const QByteArray& key);
    // Where a node's stream comes from; empty when it has none.
    using StreamAddress = std::function<QString(const QString& nodeId)>;
    // Room for one more unsaved pin, of a node whose stream comes from `address`: false, and nothing forgotten, when
    // kMaxUnsavedPinsPerAddress unsaved pins have streams from there already. With kMaxUnsavedPins of them kept, the
    // oldest is forgotten and named in `forgotten`, the oldest whose node has no stream if there is one. Streams
    // that stay silent must not keep every newcomer out: when each has a stream, the caller ends the forgotten one's.
    bool makeRoomForPin(const QString& address, const StreamAddress& streamAddress, QString* forgotten);

    // Marks the node as speaking the plain protocol only, where it was dialled. One node per address: the node
    // marked there before is not any more.
    void markPlain(const QString& nodeId, const QString& address);
    void unmarkPlain(const QString& nodeId);
    // Whether the node is marked plain at the address. A mark says nothing of the node elsewhere: anyone can
    // announce a node id from an address where no stream answers.
    bool isMarkedPlainAt(const QString& nodeId, const QString& address) const
    {
        return !nodeId.isEmpty() && m_plainAt.value(address) == nodeId;
    }
    // The node marked plain at the address; empty for none.
    QString plainAt(const QString& address) const { return m_plainAt.value(address); }

    // The node last heard at the address (empty: known to be none); nullopt when the address is not known.
    std::optional<QString> nodeAt(const QString& address) const;
    // Whether an address is known for the node.
    bool placed(const QString& nodeId) const { return m_addressOf.contains(nodeId); }
    // The node is at the address now; it is no longer at the address it had.
    void noteNodeAt(const QString& address, const QString& nodeId);
    void forgetAddresses();

private:
    QHash<QString, Pin> m_pins; // node id -> its pinned key
    quint64 m_pinSequence = 0;
    QHash<QString, QString> m_plainNodes; // node -> the address where it answered no TLS
    QHash<QString, QString> m_plainAt;    // the same, address -> node
    QHash<QString, QString> m_nodeAt;     // address -> node last heard there (empty: none in the database)
    QHash<QString, QString> m_addressOf;  // node -> its address in m_nodeAt
};

} // namespace Vesk
