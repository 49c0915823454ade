#include "net/messageserver.h"

#include "net/framereader.h"
#include "net/nativesocket.h"
#include "net/netlogging.h"
#include "net/wire.h"

#include <QTcpSocket>

#include <utility>

namespace Vesk {

namespace {

// Holds a descriptor nobody has taken yet in the server's own queue of pending connections, so that the server's
// bound on them holds. The socket itself is never opened.
class PendingDescriptor : public QTcpSocket
{
public:
    PendingDescriptor(qintptr descriptor, QObject* parent) : QTcpSocket(parent), m_descriptor(descriptor) {}
    ~PendingDescriptor() override
    {
        if (m_descriptor != -1)
            NativeSocket::close(m_descriptor);
    }
    // The descriptor is the caller's from then on.
    qintptr take() { return std::exchange(m_descriptor, -1); }

private:
    qintptr m_descriptor;
};

} // namespace

void DescriptorServer::incomingConnection(qintptr descriptor)
{
    addPendingConnection(new PendingDescriptor(descriptor, this));
}

qintptr DescriptorServer::takeDescriptor()
{
    auto* pending = static_cast<PendingDescriptor*>(nextPendingConnection());
    if (!pending)
        return -1;
    const qintptr descriptor = pending->take();
    delete pending;
    return descriptor;
}

MessageServer::MessageServer(BufferPool& frames, int maxLiveConnections, int maxPerAddress, qint64 frameBudget,
                             QObject* parent)
    : QObject(parent), m_frames(frames), m_maxLive(maxLiveConnections), m_maxPerAddress(maxPerAddress),
      m_budget(frameBudget)
{
}

MessageServer::~MessageServer()
{
    qDeleteAll(findChildren<FrameReader*>(Qt::FindDirectChildrenOnly));
}

bool MessageServer::listen(quint16 port)
{
    tcpServer.setListenBacklogSize(kListenBacklog);
    return tcpServer.listen(QHostAddress::AnyIPv4, port);
}

bool MessageServer::listen()
{
    return listen(kTcpPort);
}

void MessageServer::acceptPendingConnections()
{
    for (qintptr descriptor = tcpServer.takeDescriptor(); descriptor != -1; descriptor = tcpServer.takeDescriptor()) {
        if (m_live >= m_maxLive) {
            qCDebug(lcNet) << "too many open connections, refusing one from" << NativeSocket::peerAddress(descriptor);
            NativeSocket::abort(descriptor);
            continue;
        }
        const QHostAddress address = NativeSocket::peerAddress(descriptor);
        int& fromAddress = m_liveFrom[address];
        if (fromAddress >= m_maxPerAddress) {
            qCDebug(lcNet) << "too many open connections from" << address << ", refusing one";
            NativeSocket::abort(descriptor);
            continue;
        }
        ++fromAddress;
        ++m_live;
        auto* connection = new FrameReader(m_frames, m_budget, this);
        connect(connection, &QObject::destroyed, this, [this, address] {
            --m_live;
            if (--m_liveFrom[address] == 0)
                m_liveFrom.remove(address);
        });
        connect(connection, &FrameReader::parametersRead, this, &MessageServer::parametersRead);
        connection->setDescriptor(descriptor, address);
    }
}

} // namespace Vesk
