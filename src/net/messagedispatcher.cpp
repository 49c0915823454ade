#include "net/messagedispatcher.h"

#include "net/messageorigin.h"
#include "net/netlogging.h"

#include <QDebug>

namespace Vesk {

const QStringList& MessageDispatcher::actions()
{
    static const QStringList vocabulary{
        QStringLiteral("newChatMessage"),
        QStringLiteral("confirmChat"),
        QStringLiteral("newFileToDownload"),
        QStringLiteral("confirmFileToSend"),
        QStringLiteral("sendDataPacket"),
        QStringLiteral("avatarRequested"),
        QStringLiteral("avatarObtained"),
        QStringLiteral("receiveDataPacket"),
        QStringLiteral("fileTransferComplete"),
        QStringLiteral("removeFileToSend"),
        QStringLiteral("removeFileToGet"),
        QStringLiteral("requestMyInfo"),
        QStringLiteral("addMeRequest"),
        QStringLiteral("addMeRequestConfirmed"),
        // Between Vesk programs that announced folders: a folder offered as one, and each part of it confirmed.
        QStringLiteral("newFolderToDownload"),
        QStringLiteral("confirmFolderToSend"),
    };
    return vocabulary;
}

bool MessageDispatcher::registerHandler(const QString& action, Handler handler)
{
    const int index = int(actions().indexOf(action));
    if (index < 0) {
        qCDebug(lcDispatch) << "not an action of the protocol:" << action;
        return false;
    }
    if (m_handlers.isEmpty())
        m_handlers.resize(actions().size());
    m_handlers[index] = std::move(handler);
    return true;
}

bool MessageDispatcher::hasHandler(const QString& action) const
{
    const int index = int(actions().indexOf(action));
    return index >= 0 && index < m_handlers.size() && m_handlers.at(index);
}

void MessageDispatcher::setAddressRefresh(AddressRefresh refresh)
{
    m_addressRefresh = std::move(refresh);
}

bool MessageDispatcher::dispatch(const Parameters& message) const
{
    // A peer's address can change (DHCP, another network); every message that names its node tells us where
    // it is now, whatever it asks for.
    const auto nodeFrom = message.constFind(QStringLiteral("nodeFrom"));
    if (nodeFrom != message.cend() && m_addressRefresh)
        m_addressRefresh(nodeFrom.value().toString(), message.value(MessageOrigin::kSenderAddress).toString());

    const QString action = message.value(QStringLiteral("action")).toString();
    if (m_senderHeard) {
        m_senderHeard(nodeFrom != message.cend() ? nodeFrom.value().toString() : QString(),
                      message.value(MessageOrigin::kSenderAddress).toString(), action);
    }
    if (!action.isEmpty()) {
        const QStringList& vocabulary = actions();
        for (int i = 0; i < vocabulary.size() && i < m_handlers.size(); ++i) {
            if (m_handlers.at(i) && action.compare(vocabulary.at(i), Qt::CaseInsensitive) == 0) {
                m_handlers.at(i)(message);
                return true;
            }
        }
    }
    qCritical() << "unknown options parameters" << message;
    return false;
}

} // namespace Vesk
