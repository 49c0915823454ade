#pragma once

#include <QString>

namespace Vesk {

// What a Vesk computer can take beyond the plain protocol. Every node that completed a stream with us takes all of
// it; a plain peer none.
enum Capability : quint32 {
    // Reads sizes and offsets of 4 GiB and more (fileSizeLarge, fileSeekLarge): may be offered files of any size.
    CapabilityLargeFiles = 1u << 2,
    // Takes a whole folder as one offer listing its files, and recreates its tree.
    CapabilityFolders = 1u << 3,
};

// What a peer's program can take beyond the plain protocol (the Capability bits), as far as
// we know it: the features ask before they send a peer anything that needs more than the plain protocol.
class PeerCapabilities
{
public:
    virtual ~PeerCapabilities() = default;
    // 0 for a plain peer and for one we know nothing of.
    virtual quint32 capabilitiesOf(const QString& nodeId) const = 0;
};

} // namespace Vesk
