#pragma once

#include "net/parameters.h"

#include <QHostAddress>
#include <QString>

namespace Vesk {

class Store;

// Whether a message about a transfer comes from `nodeId`, the peer its row names; logs it when not. It does:
//   - on a stream: when it is that node's stream, whatever the message says;
//   - in plain, naming its node ("nodeFrom"): when it names that node (a plain message under a node with a stream
//     never gets this far);
//   - in plain, naming none (a packet, a withdrawal, a confirmation): when it comes from the node's address, `known`
//     (read with the row) or else the stored one, since a plain peer may have moved. A pinned node's address takes
//     no such message at all, so this holds for plain peers only.
bool fromTransferPeer(const Parameters& message, const QString& nodeId, const Store& store,
                      const QHostAddress& known = QHostAddress());

} // namespace Vesk
