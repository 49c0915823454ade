#include "secure/sodium.h"

#include <sodium.h>

namespace Vesk {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

void wipeMemory(void* data, std::size_t size)
{
    sodium_memzero(data, size);
}

bool constantTimeEqual(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    return a.isEmpty() || sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

} // namespace Vesk
