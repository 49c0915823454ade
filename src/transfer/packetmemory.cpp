#include "transfer/packetmemory.h"

#include <QtGlobal>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace Vesk {

namespace {
#if defined(__GLIBC__)
// Above the largest message a connection accepts (16 MB), so that no packet buffer is mapped on its own.
constexpr int kMmapThresholdBytes = 32 * 1024 * 1024;
// Free memory the heap may keep before it is returned to the kernel.
constexpr int kTrimThresholdBytes = 64 * 1024 * 1024;
#endif
} // namespace

void keepPacketBuffersMapped()
{
#if defined(__GLIBC__)
    static const bool done = [] {
        mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
        mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);
        return true;
    }();
    Q_UNUSED(done)
#endif
}

} // namespace Vesk
