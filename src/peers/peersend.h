#pragma once

#include "net/messagesink.h"
#include "store/store.h"

namespace Vesk {

// Sends to a node at the address stored for it. For a node without a row the address is null and the connection
// fails at once; the features' resend timers try again once the node is known.
inline void sendToNode(MessageSink& sink, const Store& store, const QString& nodeId, const Parameters& parameters)
{
    sink.sendTo(nodeId, store.nodeAddress(nodeId), parameters);
}

} // namespace Vesk
