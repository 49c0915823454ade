#pragma once

#include <QString>

namespace Vesk {

// What a peer's program can take beyond the plain protocol (the Capability bits of secure/session.h), as far as
// we know it: the features ask before they send a peer anything that needs more than the plain protocol.
class PeerCapabilities
{
public:
    virtual ~PeerCapabilities() = default;
    // 0 for a plain peer and for one we know nothing of.
    virtual quint32 capabilitiesOf(const QString& nodeId) const = 0;
};

} // namespace Vesk
