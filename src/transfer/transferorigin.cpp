#include "transfer/transferorigin.h"

#include "net/messageorigin.h"
#include "net/netaddress.h"
#include "store/store.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"

namespace Vesk {

namespace Msg = TransferMessages;

namespace {

bool sameAddress(const QHostAddress& sender, const QHostAddress& known)
{
    return !known.isNull() && normalisedAddress(sender) == normalisedAddress(known);
}

bool comesFrom(const Parameters& message, const QString& nodeId, const Store& store, const QHostAddress& known)
{
    if (nodeId.isEmpty())
        return false;
    const auto stream = message.constFind(MessageOrigin::kStreamNode);
    if (stream != message.cend())
        return stream.value().toString() == nodeId;
    const auto named = message.constFind(Msg::kNodeFrom);
    if (named != message.cend())
        return named.value().toString() == nodeId;
    const QHostAddress sender(message.value(MessageOrigin::kSenderAddress).toString());
    return !sender.isNull() && (sameAddress(sender, known) || sameAddress(sender, store.nodeAddress(nodeId)));
}

} // namespace

bool fromTransferPeer(const Parameters& message, const QString& nodeId, const Store& store, const QHostAddress& known)
{
    if (comesFrom(message, nodeId, store, known))
        return true;
    qCWarning(lcTransfer) << "refused" << message.value(Msg::kAction).toString() << "for"
                          << message.value(Msg::kFileId).toString().left(64) << "from"
                          << message.value(MessageOrigin::kSenderAddress).toString() << "which is not its peer";
    return false;
}

} // namespace Vesk
