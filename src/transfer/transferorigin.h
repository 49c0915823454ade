#pragma once

#include "net/parameters.h"

#include <QHostAddress>
#include <QString>

namespace Vesk {

class Store;

// Whether a message about a transfer comes from `nodeId`, the peer its row names (see MessageOrigin::isFrom).
// `known`: the address read with the row, if any; a plain peer that moved since is looked up again.
bool fromTransferPeer(const Parameters& message, const QString& nodeId, const Store& store,
                      const QHostAddress& known = QHostAddress());

} // namespace Vesk
