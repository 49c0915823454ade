#pragma once

#include "net/wire.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <deque>
#include <functional>

namespace Vesk {

// Whether the program at an address reads the handshake's extension fields, asked before we send it any: a peer
// of the plain protocol must never receive a field it does not know, not even in our first handshake to it.
// A program that reads them listens on kCapabilityPort beside the message port and greets every connection there
// with kCapabilityGreeting, then closes it. Nothing is sent to that port, and no plain program listens on it.

// The greeting: an eight-byte magic and the version of the extensions the program reads.
constexpr char kCapabilityMagic[] = "VeskCaps";
constexpr int kCapabilityMagicSize = 8;
constexpr quint8 kCapabilityVersion = 1;
QByteArray capabilityGreeting();
// Whether `bytes` (all a connection brought) are a greeting of a version we can talk to.
bool isCapabilityGreeting(const QByteArray& bytes);

class CapabilityProbe
{
public:
    // `capable`: a greeting came; false for a refused connection, a timeout or anything else that came.
    using Answer = std::function<void(const QString& address, bool capable)>;
    virtual ~CapabilityProbe() = default;
    // Asks the address once; `answer` is called exactly once, always later than this call returns.
    virtual void probe(const QHostAddress& address, Answer answer) = 0;
};

// Asks over TCP, a bounded number of addresses at a time; the rest wait their turn in order.
class TcpCapabilityProbe : public QObject, public CapabilityProbe
{
    Q_OBJECT
    Q_DISABLE_COPY(TcpCapabilityProbe)

public:
    // A greeting on the local network takes a millisecond; a host that drops the port instead of refusing it
    // must not hold our handshake to it for long.
    static constexpr int kTimeoutMs = 1500;
    static constexpr int kMaxConcurrent = 32;
    // Beyond this many waiting, an address is answered "plain" at once.
    static constexpr int kMaxWaiting = 4096;
    // A greeting that is not ours is logged at most once per this window.
    static constexpr qint64 kLogWindowMs = 10000;

    explicit TcpCapabilityProbe(quint16 port = kCapabilityPort, int timeoutMs = kTimeoutMs, QObject* parent = nullptr);

    void probe(const QHostAddress& address, Answer answer) override;

    int running() const { return m_running; }

private:
    struct Question
    {
        QHostAddress address;
        Answer answer;
    };
    void start(Question question);
    void finished();
    void wrongGreeting(const QString& address);

    const quint16 m_port;
    const int m_timeoutMs;
    std::deque<Question> m_waiting;
    int m_running = 0;
    QElapsedTimer m_sinceLogged;
    int m_unlogged = 0;
};

// The listening side: greets and closes every connection at once, holding nothing for it.
class CapabilityServer : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY(CapabilityServer)

public:
    using QTcpServer::QTcpServer;

    // Listens on every IPv4 interface, as the message server does.
    bool listenForProbes(quint16 port = kCapabilityPort);

protected:
    void incomingConnection(qintptr descriptor) override;
};

} // namespace Vesk
