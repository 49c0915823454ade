#pragma once

#include "net/parameters.h"

#include <QString>

namespace Vesk {

// Who this node is, as the handshake and the chat tell peers: its node id, the user's chosen name and picture,
// and the system it runs on. The controller answers from its settings and data folder.
class LocalProfile
{
public:
    virtual ~LocalProfile() = default;
    virtual QString hostId() const = 0;
    virtual QString userAlias() const = 0;
    // The path of the picture sent to peers; a resource URL when there is none.
    virtual QString userAvatar() const = 0;
    virtual QString osName() const = 0;

    // The handshake that makes this node known to a peer, with our presence `status`.
    Parameters addMeRequest(const QString& status) const
    {
        return {{QStringLiteral("action"), QStringLiteral("addMeRequest")},
                {QStringLiteral("nodeFrom"), hostId()},
                {QStringLiteral("alias"), userAlias()},
                {QStringLiteral("sysinfo"), osName()},
                {QStringLiteral("message"), status}};
    }
};

} // namespace Vesk
