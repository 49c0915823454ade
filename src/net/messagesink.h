#pragma once

#include "net/parameters.h"

#include <QHostAddress>
#include <QString>

namespace Vesk {

// Where every message of the program leaves it. In the program this is the send queue, which puts each message
// on a connection of its own; tests hand the subsystems a recorder instead and see exactly what would have gone
// out. Sends are fire-and-forget: reliability comes from the features' resend timers and confirmations.
class MessageSink
{
public:
    virtual ~MessageSink() = default;
    // To whoever is at the address (a handshake, a search): nothing in it is for one node's eyes only.
    virtual void send(const QHostAddress& address, const Parameters& parameters) = 0;
    // To one node, at the address known for it: where that node has a stream of its own, only that stream takes
    // it, whoever else is at the same address.
    virtual void sendTo(const QString& nodeId, const QHostAddress& address, const Parameters& parameters) = 0;
    // Opens a connection to the address and closes it at once, sending nothing: the cheapest sign that a peer is
    // still there. A peer reads no frame from it and does nothing. Whether it got through is reported by the
    // implementation (the send queue's unreachable signal).
    virtual void probe(const QHostAddress& address) = 0;
};

} // namespace Vesk
