#include "net/peerstreams.h"

#include "net/netaddress.h"
#include "net/netlogging.h"
#include "net/streamtls.h"

#include "secure/crypto.h"
#include "secure/identitycertificate.h"

#include <QSet>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace Vesk {

namespace {

// Bytes waiting for a stream that are no sign of a peer that stopped reading.
constexpr qint64 kNoPileBytes = 64 * 1024;

// An established stream lost through no decision of either side: worth dialling again.
bool isDrop(PeerStream::Ending ending)
{
    return ending == PeerStream::Ending::PeerClosed || ending == PeerStream::Ending::NetworkError ||
           ending == PeerStream::Ending::Silent || ending == PeerStream::Ending::BrokenRecord;
}

// A dial that reached a Vesk computer, or something on the way, which ended it before the stream was up without
// refusing us: a computer with no room for us now says so this way. Worth dialling again later.
bool isBusy(PeerStream::Ending ending)
{
    return ending == PeerStream::Ending::Cut || ending == PeerStream::Ending::HandshakeTimeout ||
           ending == PeerStream::Ending::PeerClosed;
}

template <typename Map, typename Sequence> void forgetOldest(Map& map, int limit, Sequence sequenceOf)
{
    while (map.size() > limit) {
        auto oldest = map.begin();
        for (auto it = map.begin(); it != map.end(); ++it)
            if (sequenceOf(it.value()) < sequenceOf(oldest.value()))
                oldest = it;
        map.erase(oldest);
    }
}

} // namespace

PeerStreams::PeerStreams(const IdentityKey& key, const QString& nodeId, PinCheck pinCheck, const Limits& limits,
                         QObject* parent)
    : QObject(parent), m_key(key), m_nodeId(nodeId), m_limits(limits),
      m_endedHandshakes(2 * qint64(limits.handshakeMs)),
      m_tls(std::make_unique<StreamTls>(IdentityCertificate::create(key, nodeId))),
      m_room(m_opening, m_streams, m_limits, m_log)
{
    if (pinCheck)
        m_pinCheck = [check = std::move(pinCheck)](const QString& id, const QByteArray& publicKey,
                                                   const QHostAddress&) {
            return check(id, publicKey);
        };
    connect(&m_server, &QTcpServer::newConnection, this, &PeerStreams::acceptPending);
    m_clock.start();
    m_stallCheck.setInterval(m_limits.keepAliveMs);
    connect(&m_stallCheck, &QTimer::timeout, this, &PeerStreams::closeStalled);
    m_stallCheck.start();
    m_budgetCheck.setInterval(m_limits.budgetCheckMs);
    connect(&m_budgetCheck, &QTimer::timeout, this, &PeerStreams::keepToBudget);
    // Runs only while a stream exists (adopt starts it): an idle program is not woken four times a second.
}

PeerStreams::PeerStreams(const IdentityKey& key, const QString& nodeId, PinCheck pinCheck, QObject* parent)
    : PeerStreams(key, nodeId, std::move(pinCheck), Limits(), parent)
{
}

PeerStreams::PeerStreams(const IdentityKey& key, const QString& nodeId, PinCheckAt pinCheck, QObject* parent)
    : PeerStreams(key, nodeId, PinCheck(), Limits(), parent)
{
    m_pinCheck = std::move(pinCheck);
}

PeerStreams::~PeerStreams() = default;

bool PeerStreams::isValid() const
{
    return m_tls->isValid();
}

bool PeerStreams::listen(const QHostAddress& address, quint16 port)
{
    return isValid() && m_server.listen(address, port);
}

void PeerStreams::setNodeId(const QString& nodeId)
{
    if (nodeId == m_nodeId)
        return;
    m_nodeId = nodeId;
    m_tls = std::make_unique<StreamTls>(IdentityCertificate::create(m_key, nodeId));
    for (PeerStream* stream : allStreams())
        stream->close();
}

void PeerStreams::dial(const QHostAddress& address, quint16 port, const QString& nodeId)
{
    if (nodeId.isEmpty() || nodeId == m_nodeId || address.isNull() || !isValid())
        return;
    Target& target = m_targets[nodeId];
    target.address = address;
    target.port = port;
    target.redials = 0;
    target.generation = ++m_generation; // cancels a redial that was due
    target.sequence = ++m_sequence;
    forgetTargets();
    if (!m_streams.contains(nodeId) && !isDialling(nodeId))
        startDial(nodeId);
}

void PeerStreams::drop(const QString& nodeId)
{
    m_targets.remove(nodeId);
    m_waiting.removeOne(nodeId);
    QList<PeerStream*> streams;
    for (PeerStream* stream : std::as_const(m_opening))
        if (stream->expectedNodeId() == nodeId || stream->peer().nodeId == nodeId)
            streams.append(stream);
    if (PeerStream* stream = m_streams.value(nodeId))
        streams.append(stream);
    if (PeerStream* stream = m_contenders.value(nodeId).stream)
        streams.append(stream);
    for (PeerStream* stream : streams)
        stream->close();
}

void PeerStreams::addressesChanged(const QList<QHostAddress>& own)
{
    QSet<QHostAddress> ours;
    for (const QHostAddress& address : own)
        ours.insert(normalisedAddress(address));
    QStringList redial;
    for (PeerStream* stream : allStreams()) {
        const QHostAddress local = normalisedAddress(stream->localAddress());
        if (local.isNull() || ours.contains(local))
            continue;
        qCInfo(lcNet) << "closed the stream with" << stream->peer().nodeId << "at" << addressText(stream->peerAddress())
                      << ": this computer no longer has its address" << addressText(local);
        const QString nodeId = m_streams.value(stream->peer().nodeId) == stream ? stream->peer().nodeId : QString();
        stream->close();
        if (!nodeId.isEmpty() && m_targets.contains(nodeId))
            redial.append(nodeId);
    }
    for (const QString& nodeId : std::as_const(redial)) {
        m_targets[nodeId].redials = 0;
        scheduleRedial(nodeId);
    }
}

bool PeerStreams::send(const QString& nodeId, const QByteArray& payload)
{
    PeerStream* stream = m_streams.value(nodeId);
    return stream && stream->send(payload);
}

bool PeerStreams::send(const QString& nodeId, const FramePayload& payload)
{
    PeerStream* stream = m_streams.value(nodeId);
    return stream && stream->send(payload);
}

bool PeerStreams::canSend(const QString& nodeId)
{
    PeerStream* stream = m_streams.value(nodeId);
    return stream && stream->canSend();
}

QHostAddress PeerStreams::address(const QString& nodeId) const
{
    const PeerStream* stream = m_streams.value(nodeId);
    return stream ? stream->peerAddress() : QHostAddress();
}

void PeerStreams::acceptPending()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        const QHostAddress from = normalisedAddress(socket->peerAddress());
        if (!m_room.mayAccept(from) || !isValid()) {
            if (m_log.mayLog())
                qCritical().noquote() << QStringLiteral("Refused a stream from %1: %2 streams are open, %3 of them "
                                                        "in handshake, %4 from there")
                                             .arg(addressText(from))
                                             .arg(streamCount())
                                             .arg(m_room.openingCount(PeerStream::Role::Acceptor))
                                             .arg(m_room.streamsAt(from));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        adopt(newStream(socket, PeerStream::Role::Acceptor, QString()));
    }
}

void PeerStreams::lookForCopy(const QHostAddress& address, quint16 port)
{
    if (address.isNull() || !isValid() || streamCount() >= m_limits.maxStreams ||
        m_room.openingCount(PeerStream::Role::Dialler) >= m_limits.maxDials)
        return;
    auto* socket = new QTcpSocket;
    socket->connectToHost(address, port);
    adopt(newStream(socket, PeerStream::Role::Dialler, m_nodeId));
}

void PeerStreams::startDial(const QString& nodeId)
{
    const Target target = m_targets.value(nodeId);
    if (!m_room.mayDial(nodeId, target.address)) {
        // A limit of ours, not an answer from there: nothing is learnt of the address, the dial only waits.
        qCDebug(lcNet) << "no room to dial" << nodeId << "now";
        if (!m_waiting.contains(nodeId))
            m_waiting.append(nodeId);
        return;
    }
    auto* socket = new QTcpSocket;
    socket->connectToHost(target.address, target.port);
    PeerStream* stream = newStream(socket, PeerStream::Role::Dialler, nodeId);
    stream->setDialledAt(target.address);
    adopt(stream);
}

PeerStream* PeerStreams::newStream(QTcpSocket* socket, PeerStream::Role role, const QString& expectedNodeId)
{
    return new PeerStream(
        *m_tls, socket, role, expectedNodeId,
        [this](const PeerStream& stream, const CertificateIdentity& peer) { return check(stream, peer); }, m_limits,
        this);
}

void PeerStreams::keepToBudget()
{
    if (m_opening.isEmpty() && m_streams.isEmpty()) {
        m_budgetCheck.stop();
        return;
    }
    QList<std::pair<qint64, PeerStream*>> holders;
    qint64 total = 0;
    for (PeerStream* stream : allStreams()) {
        const qint64 held = stream->bufferedBytes() + (m_backlogged && m_streams.value(stream->peer().nodeId) == stream
                                                           ? m_backlogged(stream->peer().nodeId)
                                                           : 0);
        total += held;
        if (held > 0)
            holders.append({held, stream});
    }
    if (total <= m_limits.maxBufferedBytes)
        return;
    m_room.orderForClosing(holders);
    for (const auto& [held, stream] : holders) {
        if (total <= m_limits.maxBufferedBytes)
            break;
        if (m_log.mayLog())
            qCritical().noquote() << QStringLiteral("Closed the stream with %1 at %2: it held %3 bytes, and all "
                                                    "streams together %4, over the bound of %5")
                                         .arg(stream->peer().nodeId, addressText(stream->peerAddress()))
                                         .arg(held)
                                         .arg(total)
                                         .arg(m_limits.maxBufferedBytes);
        total -= held;
        stream->close();
    }
}

void PeerStreams::forgetTargets()
{
    // Targets without a stream or a dial going are only redials still due; the oldest of them are forgotten.
    while (m_targets.size() > kMaxRemembered) {
        auto oldest = m_targets.end();
        for (auto it = m_targets.begin(); it != m_targets.end(); ++it)
            if (!m_streams.contains(it.key()) && (oldest == m_targets.end() || it->sequence < oldest->sequence))
                oldest = it;
        if (oldest == m_targets.end())
            return;
        m_waiting.removeOne(oldest.key());
        m_targets.erase(oldest);
    }
}

void PeerStreams::adopt(PeerStream* stream)
{
    stream->setFramePool(m_frames);
    m_opening.append(stream);
    if (!m_budgetCheck.isActive())
        m_budgetCheck.start();
    connect(stream, &PeerStream::established, this, [this, stream] { handleEstablished(stream); });
    connect(stream, &PeerStream::finished, this,
            [this, stream](PeerStream::Ending ending) { handleFinished(stream, ending); });
    connect(stream, &PeerStream::frameReceived, this,
            [this, stream](const QByteArray& payload) { Q_EMIT frameReceived(stream->peer().nodeId, payload); });
    connect(stream, &PeerStream::sendReady, this, [this, stream] {
        if (m_streams.value(stream->peer().nodeId) == stream)
            Q_EMIT sendReady(stream->peer().nodeId);
    });
}

bool PeerStreams::isDialling(const QString& nodeId) const
{
    return std::any_of(m_opening.cbegin(), m_opening.cend(), [&nodeId](const PeerStream* stream) {
        return stream->role() == PeerStream::Role::Dialler && stream->expectedNodeId() == nodeId;
    });
}

PeerStream::Verdict PeerStreams::check(const PeerStream& stream, const CertificateIdentity& peer)
{
    // A dial of one of our own addresses for another node never gets here: our certificate names our own id,
    // never the one dialled (dial() refuses it), so it ends as a wrong node first. Our key here is another
    // computer's copy, or our own stream come back to us.
    if (constantTimeEqual(peer.publicKey, m_key.publicKey())) {
        if (!isReflection(stream))
            return PeerStream::Verdict::OwnKey;
        if (m_log.mayLog())
            qCritical().noquote() << QStringLiteral("A stream with %1 was this computer's own, come back to it: "
                                                    "refused, and no copy of this installation is assumed")
                                         .arg(addressText(stream.peerAddress()));
        return PeerStream::Verdict::Refuse;
    }
    if (peer.nodeId == m_nodeId)
        return PeerStream::Verdict::Refuse;
    if (!m_room.hasPlaceFor(stream, peer))
        return PeerStream::Verdict::Busy;
    switch (m_pinCheck ? m_pinCheck(peer.nodeId, peer.publicKey, stream.peerAddress()) : PinVerdict::Accept) {
    case PinVerdict::Accept:
        return PeerStream::Verdict::Accept;
    case PinVerdict::KeyChanged:
        return PeerStream::Verdict::KeyChanged;
    case PinVerdict::Refuse:
        break;
    }
    return PeerStream::Verdict::Refuse;
}

bool PeerStreams::isReflection(const PeerStream& stream) const
{
    // Each certificate of ours has a random serial: a copy of this installation makes its own.
    if (stream.peerCertificate() == m_tls->certificate().der())
        return true;
    // Each handshake has a random of its dialler's: only our own dial brings ours to one of our acceptors.
    const QByteArray random = stream.clientRandom();
    if (random.isEmpty())
        return true; // cannot tell
    for (const PeerStream* other : m_opening)
        if (other != &stream && other->clientRandom() == random)
            return true;
    return m_endedHandshakes.mayHold(random, m_clock.elapsed());
}

bool PeerStreams::keepsNewer(const QString& ownId, const QString& peerId, PeerStream::Role current,
                             PeerStream::Role newer)
{
    const QString& currentDialler = current == PeerStream::Role::Dialler ? ownId : peerId;
    const QString& newerDialler = newer == PeerStream::Role::Dialler ? ownId : peerId;
    if (currentDialler != newerDialler)
        return newerDialler < currentDialler;
    return true;
}

void PeerStreams::handleEstablished(PeerStream* stream)
{
    m_opening.removeOne(stream);
    if (!m_waiting.isEmpty())
        QTimer::singleShot(0, this, &PeerStreams::startWaiting);
    const QString nodeId = stream->peer().nodeId;
    PeerStream* current = m_streams.value(nodeId);
    PeerStream* kept = !current || keepsNewer(m_nodeId, nodeId, current->role(), stream->role()) ? stream : current;
    const QHostAddress known = current && m_knownAddress ? m_knownAddress(nodeId) : QHostAddress();
    if (!known.isNull() && (current->peerAddress() == known) != (stream->peerAddress() == known))
        kept = current->peerAddress() == known ? current : stream;
    if (stream->role() == PeerStream::Role::Dialler) {
        const auto target = m_targets.find(nodeId);
        if (target != m_targets.end())
            target->redials = 0;
    }
    noteCapable(nodeId);
    if (kept == current && m_probe &&
        normalisedAddress(current->peerAddress()) != normalisedAddress(stream->peerAddress())) {
        contend(nodeId, current, stream);
        return;
    }
    if (kept == stream) {
        if (current)
            qCDebug(lcNet) << "a newer stream replaces the one with" << nodeId;
        replace(nodeId, current, stream);
        return;
    }
    qCDebug(lcNet) << "kept the earlier stream with" << nodeId;
    stream->close();
}

void PeerStreams::replace(const QString& nodeId, PeerStream* current, PeerStream* newer)
{
    m_streams.insert(nodeId, newer);
    if (current)
        current->close(); // no longer the node's: it ends without a streamDown
    Q_EMIT streamUp(nodeId, newer->peerAddress());
}

void PeerStreams::contend(const QString& nodeId, PeerStream* current, PeerStream* newcomer)
{
    // One newcomer waits at a time: a later one is the node's latest word.
    const Contender earlier = m_contenders.take(nodeId);
    if (earlier.stream)
        earlier.stream->close();
    qCDebug(lcNet) << "a stream with" << nodeId << "from" << addressText(newcomer->peerAddress())
                   << "waits on whether the one at" << addressText(current->peerAddress()) << "is alive";
    current->listenClosely();
    const quint64 generation = ++m_generation;
    m_contenders.insert(nodeId, Contender{newcomer, current->heardCount(), generation});
    QTimer::singleShot(m_limits.probeMs, this, [this, nodeId, generation] { decideContention(nodeId, generation); });
    m_probe(nodeId);
}

void PeerStreams::decideContention(const QString& nodeId, quint64 generation)
{
    const auto waiting = m_contenders.constFind(nodeId);
    if (waiting == m_contenders.cend() || waiting->generation != generation)
        return;
    const Contender contender = m_contenders.take(nodeId);
    PeerStream* current = m_streams.value(nodeId);
    if (current && current->heardCount() != contender.heardBefore) {
        qCDebug(lcNet) << "kept the stream with" << nodeId << "at" << addressText(current->peerAddress())
                       << ": it answered";
        contender.stream->close();
        return;
    }
    qCInfo(lcNet) << "the stream with" << nodeId << "at" << (current ? addressText(current->peerAddress()) : "-")
                  << "was silent: the one from" << addressText(contender.stream->peerAddress()) << "takes its place";
    replace(nodeId, current, contender.stream);
}

QList<PeerStream*> PeerStreams::allStreams() const
{
    QList<PeerStream*> all = m_opening + m_streams.values();
    for (const Contender& contender : m_contenders)
        all.append(contender.stream);
    return all;
}

void PeerStreams::handleFinished(PeerStream* stream, PeerStream::Ending ending)
{
    const bool wasOpening = m_opening.removeOne(stream);
    m_backlogs.remove(stream);
    if (wasOpening)
        m_endedHandshakes.note(stream->clientRandom(), m_clock.elapsed());
    const CertificateIdentity peer = stream->peer();
    const QString dialled = stream->role() == PeerStream::Role::Dialler ? stream->expectedNodeId() : QString();
    const bool wasCurrent = !peer.nodeId.isEmpty() && m_streams.value(peer.nodeId) == stream;
    if (wasCurrent)
        m_streams.remove(peer.nodeId);
    else if (!peer.nodeId.isEmpty() && m_contenders.value(peer.nodeId).stream == stream)
        m_contenders.remove(peer.nodeId);
    m_log.ended(*stream, ending);

    switch (ending) {
    case PeerStream::Ending::KeyChanged:
        // Our own dial found another key: the node is not dialled again until the user decides. One that came in
        // from elsewhere names the node, but must not stop the redials the node itself is due.
        if (dialled == peer.nodeId)
            m_targets.remove(peer.nodeId);
        Q_EMIT keyChanged(peer.nodeId, peer.publicKey);
        break;
    case PeerStream::Ending::OwnKey:
        m_targets.remove(peer.nodeId);
        if (m_copyAlarmMs < 0 || m_clock.elapsed() - m_copyAlarmMs >= kCopyAlarmMs) {
            m_copyAlarmMs = m_clock.elapsed();
            Q_EMIT sameIdentityElsewhere(peer.nodeId, stream->peerAddress());
        }
        break;
    case PeerStream::Ending::WrongNode:
        // Another node answers at this address now.
        m_targets.remove(dialled);
        Q_EMIT nodeAnswered(stream->peerAddress(), peer.nodeId);
        break;
    default:
        break;
    }

    if (wasCurrent && m_contenders.contains(peer.nodeId)) {
        // The stream from another address that waited on this one's answer has its place at once.
        replace(peer.nodeId, nullptr, m_contenders.take(peer.nodeId).stream);
    } else if (wasCurrent) {
        Q_EMIT streamDown(peer.nodeId);
        if (isDrop(ending) && m_targets.contains(peer.nodeId))
            scheduleRedial(peer.nodeId);
    } else if (wasOpening && !dialled.isEmpty() && ending != PeerStream::Ending::Closed) {
        // Where this dial went, which says nothing of an address the node was given meanwhile.
        Q_EMIT dialFailed(dialled, stream->dialledAt(), ending);
        const auto target = m_targets.find(dialled);
        if (target != m_targets.end() && (target->redials > 0 || isBusy(ending)) && !m_streams.contains(dialled))
            scheduleRedial(dialled);
        else if (target != m_targets.end() && !m_streams.contains(dialled) && !isDialling(dialled))
            m_targets.erase(target); // a first dial that failed is not repeated: the caller dials again
    }
    stream->deleteLater();
    if (!m_waiting.isEmpty()) // not from within a close() of our own, which may be making room for a stream
        QTimer::singleShot(0, this, &PeerStreams::startWaiting);
}

void PeerStreams::startWaiting()
{
    // Each waiting dial is looked at once, in turn: one that still finds no room (a stranger's, while pinned nodes
    // keep their share) goes back to the queue, and the next may be a pinned node's that has room.
    const QStringList waiting = std::exchange(m_waiting, {});
    for (qsizetype i = 0; i < waiting.size(); ++i) {
        if (m_room.openingCount(PeerStream::Role::Dialler) >= m_limits.maxDials) {
            m_waiting += waiting.mid(i); // no dial has room: the rest keep their turn
            return;
        }
        const QString& nodeId = waiting.at(i);
        if (m_targets.contains(nodeId) && !m_streams.contains(nodeId) && !isDialling(nodeId))
            startDial(nodeId);
    }
}

void PeerStreams::closeStalled()
{
    const qint64 now = m_clock.elapsed();
    QList<PeerStream*> stalled;
    for (PeerStream* stream : std::as_const(m_streams)) {
        // A keep-alive written this turn waits for the end of it (and the stream's tick may come just before this
        // look, every time): a few records' worth is no pile.
        const qint64 queued = stream->queuedBytes();
        if (queued <= kNoPileBytes) {
            m_backlogs.remove(stream);
            continue;
        }
        const auto known = m_backlogs.find(stream);
        if (known == m_backlogs.end() || queued < known->queued)
            m_backlogs.insert(stream, Backlog{queued, now});
        else if (now - known->sinceMs >= m_limits.silenceMs)
            stalled.append(stream);
        else
            known->queued = queued;
    }
    for (PeerStream* stream : stalled) {
        if (m_log.mayLog())
            qCritical().noquote() << QStringLiteral("Closed the stream with %1 at %2: it read nothing of ours for %3 s "
                                                    "while %4 bytes waited for it")
                                         .arg(stream->peer().nodeId, addressText(stream->peerAddress()))
                                         .arg(m_limits.silenceMs / 1000)
                                         .arg(stream->queuedBytes());
        stream->close();
    }
}

void PeerStreams::scheduleRedial(const QString& nodeId)
{
    const auto target = m_targets.find(nodeId);
    if (target == m_targets.end())
        return;
    if (target->redials >= m_limits.maxRedials) {
        qCDebug(lcNet) << "gave up dialling" << nodeId << "again";
        if (m_streams.contains(nodeId))
            target->redials = 0;
        else
            m_targets.erase(target);
        return;
    }
    const int delay =
        int(std::min<qint64>(qint64(m_limits.firstRedialMs) << target->redials, qint64(m_limits.lastRedialMs)));
    ++target->redials;
    const quint64 generation = target->generation = ++m_generation;
    QTimer::singleShot(delay, this, [this, nodeId, generation] {
        const auto due = m_targets.constFind(nodeId);
        if (due == m_targets.cend() || due->generation != generation || m_streams.contains(nodeId) ||
            isDialling(nodeId))
            return;
        startDial(nodeId);
    });
}

void PeerStreams::noteCapable(const QString& nodeId)
{
    m_capable.insert(nodeId, ++m_sequence);
    forgetOldest(m_capable, kMaxRemembered, [](quint64 sequence) { return sequence; });
}

} // namespace Vesk
