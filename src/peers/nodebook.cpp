#include "peers/nodebook.h"

#include "peers/peerrecords.h"
#include "peers/peerslogging.h"

namespace Vesk {

NodeBook::Pin* NodeBook::pin(const QString& nodeId)
{
    const auto found = m_pins.find(nodeId);
    return found == m_pins.end() ? nullptr : &found.value();
}

const NodeBook::Pin* NodeBook::pin(const QString& nodeId) const
{
    const auto found = m_pins.constFind(nodeId);
    return found == m_pins.cend() ? nullptr : &found.value();
}

void NodeBook::loadPin(const QString& nodeId, const QByteArray& key, const QByteArray& pending)
{
    m_pins.insert(nodeId, Pin{key, pending, true});
}

void NodeBook::addPin(const QString& nodeId, const QByteArray& key)
{
    m_pins.insert(nodeId, Pin{key, {}, false, ++m_pinSequence});
    unmarkPlain(nodeId);
}

bool NodeBook::makeRoomForPin(const QString& address, const StreamAddress& streamAddress, QString* forgotten)
{
    int unsaved = 0;
    int fromThere = 0;
    auto oldest = m_pins.end();
    bool oldestHasStream = true;
    for (auto pin = m_pins.begin(); pin != m_pins.end(); ++pin) {
        if (pin->saved)
            continue;
        ++unsaved;
        const QString streamingFrom = streamAddress(pin.key());
        const bool streaming = !streamingFrom.isEmpty();
        if (streaming && streamingFrom == address)
            ++fromThere;
        if (oldest == m_pins.end() || (oldestHasStream && !streaming) ||
            (oldestHasStream == streaming && pin->sequence < oldest->sequence)) {
            oldest = pin;
            oldestHasStream = streaming;
        }
    }
    if (fromThere >= kMaxUnsavedPinsPerAddress)
        return false;
    if (unsaved < kMaxUnsavedPins || oldest == m_pins.end())
        return true;
    *forgotten = oldest.key();
    m_pins.erase(oldest);
    return true;
}

void NodeBook::markPlain(const QString& nodeId, const QString& address)
{
    if (m_plainNodes.size() >= kMaxKnownAddresses && !m_plainNodes.contains(nodeId)) {
        m_plainNodes.clear();
        m_plainAt.clear();
    }
    unmarkPlain(nodeId);
    const QString before = m_plainAt.value(address);
    if (!before.isEmpty())
        m_plainNodes.remove(before);
    m_plainNodes.insert(nodeId, address);
    m_plainAt.insert(address, nodeId);
    qCDebug(lcPeers) << PeerRecords::loggableId(nodeId) << "at" << address << "speaks the plain protocol only";
}

void NodeBook::unmarkPlain(const QString& nodeId)
{
    const auto marked = m_plainNodes.find(nodeId);
    if (marked == m_plainNodes.end())
        return;
    m_plainAt.remove(marked.value());
    m_plainNodes.erase(marked);
}

std::optional<QString> NodeBook::nodeAt(const QString& address) const
{
    const auto known = m_nodeAt.constFind(address);
    if (known == m_nodeAt.cend())
        return std::nullopt;
    return known.value();
}

void NodeBook::noteNodeAt(const QString& address, const QString& nodeId)
{
    const QString before = m_nodeAt.value(address);
    if (!before.isEmpty() && before != nodeId && m_addressOf.value(before) == address)
        m_addressOf.remove(before);
    if (!nodeId.isEmpty()) {
        const QString formerly = m_addressOf.value(nodeId);
        if (!formerly.isEmpty() && formerly != address && m_nodeAt.value(formerly) == nodeId)
            m_nodeAt.remove(formerly); // its row follows it to the new address
        m_addressOf.insert(nodeId, address);
    }
    if (m_nodeAt.size() >= kMaxKnownAddresses && !m_nodeAt.contains(address))
        forgetAddresses();
    m_nodeAt.insert(address, nodeId);
}

void NodeBook::forgetAddresses()
{
    m_nodeAt.clear();
    m_addressOf.clear();
}

} // namespace Vesk
