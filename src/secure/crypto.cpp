#include "secure/crypto.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>

namespace Vesk {

bool cryptoReady()
{
    static const bool ready = OPENSSL_init_crypto(0, nullptr) == 1;
    return ready;
}

bool randomBytes(unsigned char* data, std::size_t size)
{
    return cryptoReady() && size <= std::size_t(INT_MAX) && RAND_bytes(data, int(size)) == 1;
}

void wipeMemory(void* data, std::size_t size)
{
    OPENSSL_cleanse(data, size);
}

bool constantTimeEqual(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    return a.isEmpty() || CRYPTO_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

} // namespace Vesk
