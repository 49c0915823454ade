#pragma once

#include "net/parameters.h"

#include <QHostAddress>
#include <QString>

namespace Vesk::MessageOrigin {

// Set on receipt to the node whose stream a message came on; a key no peer can send (see Parameters). Absent on a
// message that came in plain.
inline const QString kStreamNode = QStringLiteral("streamNodeId");

// Whether the message comes from `nodeId`, the peer a transfer row names, known at `storedAddress`:
//   - on a stream: the stream's own node, whatever the message says;
//   - in plain, naming its node ("nodeFrom"): that node (a plain message under a node with a stream never gets
//     this far);
//   - in plain, naming none (a packet, a withdrawal, a confirmation): from the node's stored address. A pinned
//     node's address takes no such message at all, so this holds for plain peers only.
// An id alone proves nothing: offer ids are derived from names any computer on the network may know.
bool isFrom(const Parameters& message, const QString& nodeId, const QHostAddress& storedAddress);

// Whether it came on a stream.
inline bool onStream(const Parameters& message)
{
    return message.contains(kStreamNode);
}

} // namespace Vesk::MessageOrigin
