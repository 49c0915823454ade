#include "net/sendqueue.h"

#include "net/netaddress.h"
#include "net/netlogging.h"
#include "net/vesktcpsocket.h"
#include "net/wire.h"

namespace Vesk {

SendQueue::SendQueue(BufferPool& frames, int maxOpenConnections, int maxOpenPerDestination, int maxQueuedMessages,
                     qint64 maxQueuedBytes, QObject* parent)
    : QObject(parent), m_frames(frames), m_maxOpen(maxOpenConnections), m_maxOpenPerDestination(maxOpenPerDestination),
      m_maxQueued(maxQueuedMessages), m_maxQueuedBytes(maxQueuedBytes)
{
}

SendQueue::Lane SendQueue::laneOf(const Parameters& parameters)
{
    const QString action = parameters.value(QStringLiteral("action")).toString();
    for (const char* presence : {"addMeRequest", "addMeRequestConfirmed", "avatarRequested", "avatarObtained"}) {
        if (action.compare(QLatin1String(presence), Qt::CaseInsensitive) == 0)
            return Presence;
    }
    return Urgent;
}

void SendQueue::send(const QHostAddress& address, const Parameters& parameters)
{
    sendTo(QString(), address, parameters);
}

void SendQueue::sendTo(const QString& nodeId, const QHostAddress& address, const Parameters& parameters)
{
    // An owner serving a full-speed download would otherwise take a fresh megabyte for every packet; the buffer
    // serves again once its connection has let it go.
    QByteArray frame = m_frameBuilder ? m_frameBuilder(address, nodeId, parameters, &m_frames)
                                      : parametersToFrame(parameters, &m_frames);
    if (frame.isNull())
        return;
    enqueue(address, std::move(frame), laneOf(parameters));
}

void SendQueue::sendFrame(const QHostAddress& address, QByteArray frame)
{
    if (!frame.isNull())
        enqueue(address, std::move(frame), Urgent);
}

void SendQueue::probe(const QHostAddress& address)
{
    enqueue(address, QByteArray(), Presence);
}

void SendQueue::enqueue(const QHostAddress& address, QByteArray frame, Lane lane)
{
    const QString destination = addressText(address);
    Waiting& waiting = m_waiting[lane];
    if (canStart(destination, lane) && !waiting.byDestination.contains(destination)) {
        start(destination, address, frame);
        return;
    }
    if (m_queued >= m_maxQueued || m_queuedBytes + frame.size() > m_maxQueuedBytes) {
        // Said once per episode: a log line per dropped message would flood the log just when things go wrong.
        if (!m_overflowing) {
            m_overflowing = true;
            qCritical().noquote() << QStringLiteral("Too many messages waiting to be sent (%1, %2 bytes): "
                                                    "dropping new ones until the queue drains")
                                         .arg(m_queued)
                                         .arg(m_queuedBytes);
        }
        return;
    }
    auto queue = waiting.byDestination.find(destination);
    if (queue == waiting.byDestination.end()) {
        queue = waiting.byDestination.insert(destination, {});
        waiting.turns.push_back(destination);
    }
    ++m_queued;
    m_queuedBytes += frame.size();
    queue->push_back({address, std::move(frame)});
}

bool SendQueue::canStart(const QString& destination, Lane lane) const
{
    if (m_openPerDestination.value(destination) >= m_maxOpenPerDestination)
        return false;
    if (lane == Urgent)
        return m_open < m_maxOpen;
    // With a small bound (tests use one connection) presence may still use every slot.
    const int reserved = m_maxOpen > 2 * kReservedConnections ? kReservedConnections : 0;
    return m_open < m_maxOpen - reserved && m_waiting[Urgent].turns.empty();
}

void SendQueue::start(const QString& destination, const QHostAddress& address, const QByteArray& frame)
{
    ++m_open;
    ++m_openPerDestination[destination];
    auto* connection = new VeskTcpSocket;
    connect(connection, &QObject::destroyed, this, [this, destination] { connectionEnded(destination); });
    connect(connection, &VeskTcpSocket::unreachable, this, &SendQueue::unreachable);
    connection->sendFrame(address, frame);
}

void SendQueue::connectionEnded(const QString& destination)
{
    --m_open;
    if (--m_openPerDestination[destination] <= 0)
        m_openPerDestination.remove(destination);
    startWaiting();
    if (m_overflowing && m_queued <= m_maxQueued / 2 && m_queuedBytes <= m_maxQueuedBytes / 2) {
        m_overflowing = false;
        qCDebug(lcNet) << "send queue drained to" << m_queued << "messages";
    }
}

void SendQueue::startWaiting()
{
    startWaiting(Urgent);
    startWaiting(Presence);
}

void SendQueue::startWaiting(Lane lane)
{
    // Destinations take turns, one message each per round, until every slot is taken or nothing can start.
    Waiting& lanes = m_waiting[lane];
    bool started = true;
    while (started && m_open < m_maxOpen && !lanes.turns.empty()) {
        started = false;
        for (size_t round = lanes.turns.size(); round > 0 && m_open < m_maxOpen; --round) {
            const QString destination = lanes.turns.front();
            lanes.turns.pop_front();
            auto waiting = lanes.byDestination.find(destination);
            if (canStart(destination, lane)) {
                const Pending next = std::move(waiting->front());
                waiting->pop_front();
                --m_queued;
                m_queuedBytes -= next.frame.size();
                start(destination, next.address, next.frame);
                started = true;
            }
            if (waiting->empty())
                lanes.byDestination.erase(waiting);
            else
                lanes.turns.push_back(destination);
        }
    }
}

} // namespace Vesk
