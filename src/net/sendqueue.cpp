#include "net/sendqueue.h"

#include "net/netaddress.h"
#include "net/netlogging.h"
#include "net/vesktcpsocket.h"
#include "net/wire.h"

SendQueue::SendQueue(int maxOpenConnections, int maxOpenPerDestination, int maxQueuedMessages, qint64 maxQueuedBytes,
                     QObject* parent)
    : QObject(parent), m_maxOpen(maxOpenConnections), m_maxOpenPerDestination(maxOpenPerDestination),
      m_maxQueued(maxQueuedMessages), m_maxQueuedBytes(maxQueuedBytes)
{
}

void SendQueue::send(const QHostAddress& address, const QHash<QString, QVariant>& parameters)
{
    enqueue(address, Vesk::parametersToFrame(parameters));
}

void SendQueue::probe(const QHostAddress& address)
{
    enqueue(address, QByteArray());
}

void SendQueue::enqueue(const QHostAddress& address, QByteArray frame)
{
    const QString destination = Vesk::addressText(address);
    if (canStart(destination) && !m_waiting.contains(destination)) {
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
    auto waiting = m_waiting.find(destination);
    if (waiting == m_waiting.end()) {
        waiting = m_waiting.insert(destination, {});
        m_turns.push_back(destination);
    }
    ++m_queued;
    m_queuedBytes += frame.size();
    waiting->push_back({address, std::move(frame)});
}

bool SendQueue::canStart(const QString& destination) const
{
    return m_open < m_maxOpen && m_openPerDestination.value(destination) < m_maxOpenPerDestination;
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
    // Destinations take turns, one message each per round, until every slot is taken or nothing can start.
    bool started = true;
    while (started && m_open < m_maxOpen && !m_turns.empty()) {
        started = false;
        for (size_t round = m_turns.size(); round > 0 && m_open < m_maxOpen; --round) {
            const QString destination = m_turns.front();
            m_turns.pop_front();
            auto waiting = m_waiting.find(destination);
            if (canStart(destination)) {
                const Pending next = std::move(waiting->front());
                waiting->pop_front();
                --m_queued;
                m_queuedBytes -= next.frame.size();
                start(destination, next.address, next.frame);
                started = true;
            }
            if (waiting->empty())
                m_waiting.erase(waiting);
            else
                m_turns.push_back(destination);
        }
    }
}
