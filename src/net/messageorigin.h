#pragma once

#include <QString>

namespace Vesk::MessageOrigin {

// Set on receipt to the node whose stream a message came on; a key no peer can send (see Parameters). Absent on a
// message that came in plain. An id alone proves nothing of a sender: offer ids are made of names any computer on
// the network may know.
inline const QString kStreamNode = QStringLiteral("streamNodeId");

} // namespace Vesk::MessageOrigin
