#pragma once

#include "net/parameters.h"
#include "secure/session.h"

namespace TestSupport {

// The handshake a capable Vesk peer sends ("Alice" on "Alice OS"), with the extension fields of its session's
// offer: identity key, session key, signature, time, capabilities.
inline Vesk::Parameters handshakeOf(const Vesk::LocalSession& session, const QString& id,
                                    const QString& action = QStringLiteral("addMeRequest"))
{
    const Vesk::SessionOffer offer = session.offer(id);
    return {{"action", action},
            {"nodeFrom", id},
            {"alias", "Alice"},
            {"sysinfo", "Alice OS"},
            {"capabilities", offer.capabilities},
            {"identityKey", offer.identityKey},
            {"sessionKey", offer.sessionKey},
            {"sessionSignature", offer.signature},
            {"sessionTime", offer.time}};
}

} // namespace TestSupport
