#include "peers/peeroutbox.h"

#include "app/globals.h"

namespace Vesk {

namespace {
PeerOutbox::Observer& observer()
{
    static PeerOutbox::Observer instance;
    return instance;
}
} // namespace

void PeerOutbox::send(Globals& globals, const QHostAddress& address, const Parameters& parameters)
{
    const Observer& watch = observer();
    if (watch && !watch(address, parameters))
        return;
    globals.sendParametersToAddress(address, parameters);
}

void PeerOutbox::sendToNode(Globals& globals, const QString& nodeId, const Parameters& parameters)
{
    // A node without a row gives a null address; the transport drops such a message.
    send(globals, globals.getNodeAddress(nodeId), parameters);
}

void PeerOutbox::setObserver(Observer watcher)
{
    observer() = std::move(watcher);
}

} // namespace Vesk
