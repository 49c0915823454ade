#include "transfer/transferoutbox.h"

#include "app/globals.h"

namespace Vesk {

namespace {
TransferOutbox::Observer& observer()
{
    static TransferOutbox::Observer instance;
    return instance;
}
} // namespace

void TransferOutbox::sendToNode(Globals& globals, const QString& nodeId, const Parameters& parameters)
{
    const Observer& watch = observer();
    if (watch && !watch(nodeId, parameters))
        return;
    // A node without a row gives a null address; the transport drops such a message.
    globals.sendToNode(nodeId, parameters);
}

void TransferOutbox::setObserver(Observer watcher)
{
    observer() = std::move(watcher);
}

} // namespace Vesk
