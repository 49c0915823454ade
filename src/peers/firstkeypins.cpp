#include "peers/firstkeypins.h"

#include "common/clock.h"
#include "net/netaddress.h"
#include "net/peerstreams.h"
#include "peers/nodebook.h"
#include "peers/peerrecords.h"
#include "peers/plainhearings.h"
#include "peers/refusallog.h"
#include "peers/securityrows.h"
#include "store/store.h"

namespace Vesk {

namespace {

const QString kIpAddress = QStringLiteral("ipAddress");

} // namespace

FirstKeyPins::FirstKeyPins(Store& store, SecurityRows& rows, NodeBook& book, const PlainHearings& plainHearings,
                           RefusalLog& refusals, const std::unique_ptr<PeerStreams>& streams, const Clock& clock,
                           Forgotten forgotten)
    : m_store(store), m_rows(rows), m_book(book), m_plainHearings(plainHearings), m_refusals(refusals),
      m_streams(streams), m_clock(clock), m_forgotten(std::move(forgotten))
{
}

bool FirstKeyPins::take(const QString& nodeId, const QByteArray& key, const QString& address)
{
    if (plainPeerKeeps(nodeId, address) || !makeRoom(address))
        return false;
    m_book.addPin(nodeId, key);
    return true;
}

bool FirstKeyPins::save(const QString& nodeId, quint32 capabilities)
{
    NodeBook::Pin* pinned = m_book.pin(nodeId);
    if (!pinned || pinned->saved)
        return false;
    // Where its stream comes from: a stored address moves with every other node id seen there.
    const QString address = m_streams && m_streams->hasStream(nodeId) ? addressText(m_streams->address(nodeId))
                                                                      : m_store.peerField(nodeId, kIpAddress);
    if (tooManyNewAt(address, nodeId) || !m_rows.save(nodeId, pinned->key, pinned->pending, capabilities))
        return false;
    noteWritten(address);
    pinned->saved = true;
    return true;
}

bool FirstKeyPins::tooManyNewAt(const QString& address, const QString& nodeId)
{
    if (address.isEmpty())
        return false;
    const auto times = m_written.find(address);
    if (times == m_written.end())
        return false;
    const qint64 now = m_clock.nowMs();
    times->removeIf([now](qint64 at) { return at <= now - kNewKeysWindowMs || at > now; });
    if (times->size() < kMaxNewKeysPerAddress)
        return false;
    m_refusals.log(QStringLiteral("kept a key for this run only"),
                   QStringLiteral("Kept the key of %1 for this run only: %2 new keys came from %3 within the hour")
                       .arg(PeerRecords::loggableId(nodeId), QString::number(times->size()), address));
    return true;
}

void FirstKeyPins::noteWritten(const QString& address)
{
    if (address.isEmpty())
        return;
    if (m_written.size() >= NodeBook::kMaxKnownAddresses && !m_written.contains(address))
        m_written.clear(); // past any LAN's size: only a flood from made-up addresses gets here
    m_written[address].append(m_clock.nowMs());
}

bool FirstKeyPins::plainPeerKeeps(const QString& nodeId, const QString& address)
{
    // The plain peer itself, upgraded, comes from where we know it: after a move its announcement (or any plain
    // message) brings its new address first, and its stream from there is taken.
    const QString stored = m_store.peerField(nodeId, kIpAddress);
    const QString elsewhere =
        !stored.isEmpty() && stored != address ? stored : m_plainHearings.elsewhere(nodeId, address);
    if (elsewhere.isEmpty())
        return false;
    m_refusals.refuse(
        QStringLiteral("a stream under the node id of a plain peer"),
        QStringLiteral("%1 from %2; the plain peer is at %3").arg(PeerRecords::loggableId(nodeId), address, elsewhere));
    return true;
}

bool FirstKeyPins::makeRoom(const QString& address)
{
    const auto streamAddress = [this](const QString& nodeId) {
        return m_streams->hasStream(nodeId) ? addressText(m_streams->address(nodeId)) : QString();
    };
    QString forgotten;
    if (!m_book.makeRoomForPin(address, streamAddress, &forgotten))
        return m_refusals.refuse(QStringLiteral("a stream with a node id seen for the first time"),
                                 QStringLiteral("from %1, where %2 nodes that are no peers yet have streams up")
                                     .arg(address)
                                     .arg(NodeBook::kMaxUnsavedPinsPerAddress));
    if (forgotten.isEmpty())
        return true;
    if (m_forgotten)
        m_forgotten(forgotten);
    m_refusals.log(
        QStringLiteral("forgot a pin"),
        QStringLiteral("Forgot the key of %1, which completed a stream but never became a peer: %2 such keys "
                       "are kept at most")
            .arg(PeerRecords::loggableId(forgotten))
            .arg(NodeBook::kMaxUnsavedPins));
    // A stream that never said who it is gives up its place: silent streams must not keep newcomers out.
    if (m_streams->hasStream(forgotten))
        m_streams->drop(forgotten);
    return true;
}

} // namespace Vesk
