#include "net/peerstreams.h"

#include "net/netaddress.h"
#include "net/netlogging.h"
#include "net/streamtls.h"

#include "secure/crypto.h"
#include "secure/identitycertificate.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace Vesk {

namespace {

constexpr qint64 kLogWindowMs = 60000;

QString endingText(PeerStream::Ending ending)
{
    switch (ending) {
    case PeerStream::Ending::Closed:
        return QStringLiteral("closed here");
    case PeerStream::Ending::PeerClosed:
        return QStringLiteral("closed by the peer");
    case PeerStream::Ending::NetworkError:
        return QStringLiteral("no connection");
    case PeerStream::Ending::HandshakeFailed:
        return QStringLiteral("the secure handshake failed");
    case PeerStream::Ending::HandshakeTimeout:
        return QStringLiteral("the secure handshake did not end in time");
    case PeerStream::Ending::WrongNode:
        return QStringLiteral("another node answered than the one dialled");
    case PeerStream::Ending::Refused:
        return QStringLiteral("refused");
    case PeerStream::Ending::KeyChanged:
        return QStringLiteral("its identity key changed");
    case PeerStream::Ending::OwnKey:
        return QStringLiteral("it holds this installation's own identity key");
    case PeerStream::Ending::RefusedByPeer:
        return QStringLiteral("the peer refused this installation");
    case PeerStream::Ending::FrameTooLarge:
        return QStringLiteral("a frame over the size limit");
    case PeerStream::Ending::BrokenRecord:
        return QStringLiteral("a damaged or forged record");
    case PeerStream::Ending::Silent:
        return QStringLiteral("nothing heard for too long");
    }
    return {};
}

// What only a faulty or hostile peer causes, worth a line in the log; the rest is the network's ordinary life.
bool isMisbehaviour(PeerStream::Ending ending)
{
    switch (ending) {
    case PeerStream::Ending::Closed:
    case PeerStream::Ending::PeerClosed:
    case PeerStream::Ending::NetworkError:
    case PeerStream::Ending::Silent:
    case PeerStream::Ending::WrongNode: // an address that passed to another computer
        return false;
    default:
        return true;
    }
}

// An established stream lost through no decision of either side: worth dialling again.
bool isDrop(PeerStream::Ending ending)
{
    return ending == PeerStream::Ending::PeerClosed || ending == PeerStream::Ending::NetworkError ||
           ending == PeerStream::Ending::Silent || ending == PeerStream::Ending::BrokenRecord;
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
      m_tls(std::make_unique<StreamTls>(IdentityCertificate::create(key, nodeId)))
{
    if (pinCheck)
        m_pinCheck = [check = std::move(pinCheck)](const QString& id, const QByteArray& publicKey,
                                                   const QHostAddress&) {
            return check(id, publicKey);
        };
    connect(&m_server, &QTcpServer::newConnection, this, &PeerStreams::acceptPending);
    m_logWindow.start();
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
    const QList<PeerStream*> open = m_opening + m_streams.values();
    for (PeerStream* stream : open)
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
    if (!m_streams.contains(nodeId) && !isDialling(nodeId))
        startDial(nodeId);
}

void PeerStreams::drop(const QString& nodeId)
{
    m_targets.remove(nodeId);
    QList<PeerStream*> streams;
    for (PeerStream* stream : std::as_const(m_opening))
        if (stream->expectedNodeId() == nodeId || stream->peer().nodeId == nodeId)
            streams.append(stream);
    if (PeerStream* stream = m_streams.value(nodeId))
        streams.append(stream);
    for (PeerStream* stream : streams)
        stream->close();
}

bool PeerStreams::send(const QString& nodeId, const QByteArray& payload)
{
    PeerStream* stream = m_streams.value(nodeId);
    return stream && stream->send(payload);
}

bool PeerStreams::canSend(const QString& nodeId) const
{
    const PeerStream* stream = m_streams.value(nodeId);
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
        const int handshakes = int(m_opening.size());
        if (streamCount() >= m_limits.maxStreams || handshakes >= m_limits.maxHandshakes || !isValid()) {
            if (mayLog())
                qCritical().noquote() << QStringLiteral("Refused a stream from %1: %2 streams are open, %3 of them "
                                                        "in handshake")
                                             .arg(addressText(socket->peerAddress()))
                                             .arg(streamCount())
                                             .arg(handshakes);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        adopt(new PeerStream(
            *m_tls, socket, PeerStream::Role::Acceptor, QString(),
            [this, from = socket->peerAddress()](const CertificateIdentity& peer) { return check(peer, from); },
            m_limits.stream, this));
    }
}

void PeerStreams::lookForCopy(const QHostAddress& address, quint16 port)
{
    if (address.isNull() || !isValid() || streamCount() >= m_limits.maxStreams ||
        int(m_opening.size()) >= m_limits.maxHandshakes)
        return;
    auto* socket = new QTcpSocket;
    socket->connectToHost(address, port);
    adopt(new PeerStream(
        *m_tls, socket, PeerStream::Role::Dialler, m_nodeId,
        [this, address](const CertificateIdentity& peer) { return check(peer, address); }, m_limits.stream, this));
}

void PeerStreams::startDial(const QString& nodeId)
{
    const Target target = m_targets.value(nodeId);
    if (streamCount() >= m_limits.maxStreams || int(m_opening.size()) >= m_limits.maxHandshakes) {
        qCDebug(lcNet) << "no room to dial" << nodeId;
        Q_EMIT dialFailed(nodeId, target.address, PeerStream::Ending::NetworkError);
        return;
    }
    auto* socket = new QTcpSocket;
    socket->connectToHost(target.address, target.port);
    adopt(new PeerStream(
        *m_tls, socket, PeerStream::Role::Dialler, nodeId,
        [this, to = target.address](const CertificateIdentity& peer) { return check(peer, to); }, m_limits.stream,
        this));
}

void PeerStreams::adopt(PeerStream* stream)
{
    stream->setFramePool(m_frames);
    m_opening.append(stream);
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

PeerStream::Verdict PeerStreams::check(const CertificateIdentity& peer, const QHostAddress& address) const
{
    // A dial of one of our own addresses never gets here: our certificate names our own id, never the one
    // dialled (dial() refuses it), so it ends as a wrong node first. Our key here is another computer's copy.
    if (constantTimeEqual(peer.publicKey, m_key.publicKey()))
        return PeerStream::Verdict::OwnKey;
    if (peer.nodeId == m_nodeId)
        return PeerStream::Verdict::Refuse;
    switch (m_pinCheck ? m_pinCheck(peer.nodeId, peer.publicKey, address) : PinVerdict::Accept) {
    case PinVerdict::Accept:
        return PeerStream::Verdict::Accept;
    case PinVerdict::KeyChanged:
        return PeerStream::Verdict::KeyChanged;
    case PinVerdict::Refuse:
        break;
    }
    return PeerStream::Verdict::Refuse;
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
    const QString nodeId = stream->peer().nodeId;
    PeerStream* current = m_streams.value(nodeId);
    PeerStream* kept = !current || keepsNewer(m_nodeId, nodeId, current->role(), stream->role()) ? stream : current;
    const QHostAddress known = current && m_knownAddress ? m_knownAddress(nodeId) : QHostAddress();
    if (!known.isNull() && (current->peerAddress() == known) != (stream->peerAddress() == known))
        kept = current->peerAddress() == known ? current : stream;
    m_streams.insert(nodeId, kept);
    if (stream->role() == PeerStream::Role::Dialler) {
        const auto target = m_targets.find(nodeId);
        if (target != m_targets.end())
            target->redials = 0;
    }
    noteCapable(nodeId);
    if (current && current != kept) {
        qCDebug(lcNet) << "a newer stream replaces the one with" << nodeId;
        current->close();
    } else if (kept != stream) {
        qCDebug(lcNet) << "kept the earlier stream with" << nodeId;
        stream->close();
        return;
    }
    Q_EMIT streamUp(nodeId, stream->peerAddress());
}

void PeerStreams::handleFinished(PeerStream* stream, PeerStream::Ending ending)
{
    const bool wasOpening = m_opening.removeOne(stream);
    const CertificateIdentity peer = stream->peer();
    const QString dialled = stream->role() == PeerStream::Role::Dialler ? stream->expectedNodeId() : QString();
    const bool wasCurrent = !peer.nodeId.isEmpty() && m_streams.value(peer.nodeId) == stream;
    if (wasCurrent)
        m_streams.remove(peer.nodeId);
    logEnding(*stream, ending);

    switch (ending) {
    case PeerStream::Ending::KeyChanged:
        m_targets.remove(peer.nodeId);
        Q_EMIT keyChanged(peer.nodeId, peer.publicKey);
        break;
    case PeerStream::Ending::OwnKey:
        m_targets.remove(peer.nodeId);
        Q_EMIT sameIdentityElsewhere(peer.nodeId, stream->peerAddress());
        break;
    case PeerStream::Ending::WrongNode:
        // Another node answers at this address now.
        m_targets.remove(dialled);
        Q_EMIT nodeAnswered(stream->peerAddress(), peer.nodeId);
        break;
    default:
        break;
    }

    if (wasCurrent) {
        Q_EMIT streamDown(peer.nodeId);
        if (isDrop(ending) && m_targets.contains(peer.nodeId))
            scheduleRedial(peer.nodeId);
    } else if (wasOpening && !dialled.isEmpty() && ending != PeerStream::Ending::Closed) {
        Q_EMIT dialFailed(dialled, m_targets.value(dialled).address, ending);
        const auto target = m_targets.find(dialled);
        if (target != m_targets.end() && target->redials > 0 && !m_streams.contains(dialled))
            scheduleRedial(dialled);
    }
    stream->deleteLater();
}

void PeerStreams::scheduleRedial(const QString& nodeId)
{
    const auto target = m_targets.find(nodeId);
    if (target == m_targets.end())
        return;
    if (target->redials >= m_limits.maxRedials) {
        qCDebug(lcNet) << "gave up dialling" << nodeId << "again";
        target->redials = 0;
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

void PeerStreams::logEnding(const PeerStream& stream, PeerStream::Ending ending)
{
    const QString who = stream.peer().nodeId.isEmpty() ? stream.expectedNodeId() : stream.peer().nodeId;
    const QString line =
        QStringLiteral("Stream with %1 at %2 ended: %3%4")
            .arg(who.isEmpty() ? QStringLiteral("an unknown node") : who, addressText(stream.peerAddress()),
                 endingText(ending),
                 stream.problem().isEmpty() ? QString() : QStringLiteral(" (%1)").arg(stream.problem()));
    if (!isMisbehaviour(ending)) {
        qCDebug(lcNet).noquote() << line;
        return;
    }
    if (mayLog())
        qCritical().noquote() << line;
}

bool PeerStreams::mayLog()
{
    if (m_logWindow.elapsed() >= kLogWindowMs) {
        if (m_logSuppressed > 0)
            qCritical().noquote()
                << QStringLiteral("%1 more refused or broken streams were not logged").arg(m_logSuppressed);
        m_logWindow.restart();
        m_logLines = 0;
        m_logSuppressed = 0;
    }
    if (m_logLines < kLogLinesPerMinute) {
        ++m_logLines;
        return true;
    }
    ++m_logSuppressed;
    return false;
}

} // namespace Vesk
