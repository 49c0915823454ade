#pragma once

#include "net/parameters.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace Vesk {

// Chooses the handler of a received message by its "action" text. The vocabulary and the order in which it is
// tested are fixed here; each subsystem registers the handlers of the actions it serves. An action without a
// registered handler is treated as unknown.
class MessageDispatcher
{
    Q_DISABLE_COPY(MessageDispatcher)

public:
    using Handler = std::function<void(const Parameters&)>;
    // Keeps the stored address of the node named by "nodeFrom" current; given that node id and the address the
    // message came from.
    using AddressRefresh = std::function<void(const QString& nodeId, const QString& senderAddress)>;
    // Told of every message before its handler runs: the node it names (empty when it names none), the address it
    // came from and its action. Whatever arrives shows that its sender is there.
    using SenderHeard = std::function<void(const QString& nodeId, const QString& senderAddress, const QString& action)>;

    MessageDispatcher() = default;

    // Every action of the protocol, in the order messages are matched against them.
    static const QStringList& actions();

    // Registers (or replaces) the handler of one of actions(); returns false for a word outside the vocabulary.
    bool registerHandler(const QString& action, Handler handler);
    // The same for a method of the object that serves the action; the object outlives the dispatch.
    template <class Receiver>
    bool registerHandler(const QString& action, Receiver* receiver, void (Receiver::*method)(const Parameters&))
    {
        return registerHandler(action, [receiver, method](const Parameters& message) { (receiver->*method)(message); });
    }
    bool hasHandler(const QString& action) const;
    void setAddressRefresh(AddressRefresh refresh);
    void setSenderHeard(SenderHeard heard) { m_senderHeard = std::move(heard); }

    // Refreshes the sender's address when the message names its node, then runs the first handler whose action
    // equals the message's, ignoring case. Returns whether a handler ran; when none did, logs the message.
    bool dispatch(const Parameters& message) const;

private:
    QList<Handler> m_handlers; // parallel to actions()
    AddressRefresh m_addressRefresh;
    SenderHeard m_senderHeard;
};

} // namespace Vesk
