#pragma once

#include <QHash>
#include <QHostAddress>
#include <QString>
#include <QVariant>

namespace Vesk {

// Where every message of the program leaves it. In the program this is the send queue, which puts each message
// on a connection of its own; tests hand the subsystems a recorder instead and see exactly what would have gone
// out. Sends are fire-and-forget: reliability comes from the features' resend timers and confirmations.
class MessageSink
{
public:
    using Parameters = QHash<QString, QVariant>;

    virtual ~MessageSink() = default;
    virtual void send(const QHostAddress& address, const Parameters& parameters) = 0;
};

} // namespace Vesk
