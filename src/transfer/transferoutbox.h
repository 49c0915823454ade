#pragma once

#include <QHash>
#include <QString>
#include <QVariant>

#include <functional>

namespace Vesk {

class Globals;

// The single exit of every message the file exchange sends (offers, confirmations, withdrawals, packet requests
// and packets). In the program it hands the message to the controller's transport, addressed to the node's
// stored address; a test can watch the traffic here and decide whether it also goes on the wire.
class TransferOutbox
{
public:
    using Parameters = QHash<QString, QVariant>;
    // Sees every message before it is sent; returns whether it should still be sent.
    using Observer = std::function<bool(const QString& nodeId, const Parameters& parameters)>;

    static void sendToNode(Globals& globals, const QString& nodeId, const Parameters& parameters);

    // Installs (or, with an empty function, removes) the observer.
    static void setObserver(Observer observer);
};

} // namespace Vesk
