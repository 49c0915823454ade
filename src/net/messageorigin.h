#pragma once

#include <QString>

namespace Vesk::MessageOrigin {

// Set on receipt to the address a message came from (on a stream: the stream's peer); a local key, as the next.
inline const QString kSenderAddress = QStringLiteral("senderIPAddress");

// Set on receipt to the node whose stream a message came on; a key no peer can send (see Parameters). Absent on a
// message that came in plain. An id alone proves nothing of a sender: offer ids are made of names any computer on
// the network may know.
inline const QString kStreamNode = QStringLiteral("streamNodeId");

} // namespace Vesk::MessageOrigin
