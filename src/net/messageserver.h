#pragma once

#include "net/framereader.h"
#include "net/parameters.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

namespace Vesk {

// A listening socket that hands out the descriptors of accepted connections rather than QTcpSockets: each one is
// read by a FrameReader straight from the kernel. Otherwise it is any QTcpServer: newConnection for each
// connection, and past maxPendingConnections() untaken ones, further connections wait in the kernel's backlog.
class DescriptorServer : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

    // The next connection accepted and not taken yet, or -1. Its descriptor is the caller's from then on.
    qintptr takeDescriptor();

protected:
    void incomingConnection(qintptr descriptor) override;
};

// The listening side of the message port: each accepted connection becomes a FrameReader that reads one frame
// and reports its message. The number of those connections open at once is bounded, in all and from each address,
// so that a flood of connections cannot use up the process's descriptors nor one computer take the room of all
// the others; and so are the bytes their unfinished frames hold together (see FrameBudget).
class MessageServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MessageServer)

public:
    // More simultaneous incoming connections than any number of peers produce in normal use; beyond it, new ones
    // are refused at once.
    static constexpr int kMaxLiveConnections = 512;
    // A peer sends us at most this many messages at once (SendQueue::kMaxOpenPerDestination).
    static constexpr int kMaxConnectionsPerAddress = 16;
    // Sixty file packets arriving at once, from however many peers; a single frame may announce 16 MB, and 512
    // such would hold 8 GB.
    static constexpr qint64 kFrameBudget = 64 * 1000 * 1000;
    // Connections the kernel completes for us while the event loop is busy. Every connection carries one message,
    // so a whole office announcing itself at once (one handshake per peer, then avatars) arrives within a second;
    // with the usual 50 the rest are dropped and their senders retry a second or more later, chats among them.
    static constexpr int kListenBacklog = 1024;

    // Frames are read into buffers of `frames`.
    explicit MessageServer(BufferPool& frames, int maxLiveConnections = kMaxLiveConnections,
                           int maxPerAddress = kMaxConnectionsPerAddress, qint64 frameBudget = kFrameBudget,
                           QObject* parent = nullptr);
    // Ends the connections still being read, before the budget they claimed from goes.
    ~MessageServer() override;

    // Listens on every IPv4 interface on the message port (or the one given).
    bool listen(quint16 port);
    bool listen();

    // Adopts every connection waiting to be accepted; one notification of the server may stand for several.
    void acceptPendingConnections();
    int liveConnections() const { return m_live; }
    // What the connections being read hold of the frame budget.
    qint64 heldBytes() const { return m_budget.held(); }

    DescriptorServer tcpServer;

Q_SIGNALS:
    void parametersRead(Vesk::Parameters parameters);

private:
    BufferPool& m_frames;
    const int m_maxLive;
    const int m_maxPerAddress;
    int m_live = 0;
    QHash<QHostAddress, int> m_liveFrom;
    FrameBudget m_budget;
};

} // namespace Vesk
