#include "secure/sealedchannel.h"

#include <QtEndian>

#include <cstring>

#include <sodium.h>

namespace Vesk {

namespace {

// Both ciphers take 12-byte nonces. The counter fills the first eight, the rest stays zero: the keys are unique
// to one channel and direction, so the counter alone keeps every nonce new (no random nonces, so no birthday
// bound to watch).
constexpr size_t kNonceSize = crypto_aead_chacha20poly1305_ietf_NPUBBYTES;
static_assert(crypto_aead_aes256gcm_NPUBBYTES == kNonceSize && kNonceSize >= 8);
static_assert(crypto_aead_aes256gcm_ABYTES == SealedChannel::kMacSize);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == SealedChannel::kMacSize);

QByteArray withCounter(const QByteArray& associated, quint64 counter)
{
    QByteArray bound = associated;
    char little[8];
    qToLittleEndian<quint64>(counter, little);
    bound.append(little, sizeof little);
    return bound;
}

} // namespace

bool ReplayWindow::isFresh(quint64 counter) const
{
    if (!m_any || counter > m_highest)
        return true;
    if (m_highest - counter >= kSize)
        return false;
    return !m_seen.test(counter % kSize);
}

void ReplayWindow::mark(quint64 counter)
{
    if (!m_any) {
        m_any = true;
        m_highest = counter;
    } else if (counter > m_highest) {
        // Clear the bits of the counters the window slides past: their slots now stand for new, unseen counters.
        const quint64 advance = counter - m_highest;
        if (advance >= kSize) {
            m_seen.reset();
        } else {
            for (quint64 c = m_highest + 1; c <= counter; ++c)
                m_seen.reset(c % kSize);
        }
        m_highest = counter;
    }
    m_seen.set(counter % kSize);
}

SealedChannel::SealedChannel(Cipher cipher, const unsigned char* receiveKey, const unsigned char* transmitKey)
    : m_cipher(cipher)
{
    std::memcpy(m_receiveKey.data(), receiveKey, kKeySize);
    std::memcpy(m_transmitKey.data(), transmitKey, kKeySize);
    if (m_cipher == Cipher::Aes256Gcm && sodiumReady()) {
        crypto_aead_aes256gcm_beforenm(&m_receiveState, m_receiveKey.data());
        crypto_aead_aes256gcm_beforenm(&m_transmitState, m_transmitKey.data());
    }
}

SealedChannel::~SealedChannel()
{
    wipeMemory(&m_receiveState, sizeof m_receiveState);
    wipeMemory(&m_transmitState, sizeof m_transmitState);
}

quint64 SealedChannel::seal(const QByteArray& associated, unsigned char* data, size_t size, unsigned char* mac)
{
    if (m_nextCounter == 0 || !sodiumReady()) // a key used 2^64 times would wrap; never in practice
        return 0;
    const quint64 counter = m_nextCounter++;
    unsigned char nonce[kNonceSize] = {};
    qToLittleEndian<quint64>(counter, nonce);
    const QByteArray bound = withCounter(associated, counter);
    const auto* ad = reinterpret_cast<const unsigned char*>(bound.constData());
    int result;
    if (m_cipher == Cipher::Aes256Gcm) {
        result = crypto_aead_aes256gcm_encrypt_detached_afternm(data, mac, nullptr, data, size, ad,
                                                                size_t(bound.size()), nullptr, nonce, &m_transmitState);
    } else {
        result = crypto_aead_chacha20poly1305_ietf_encrypt_detached(
            data, mac, nullptr, data, size, ad, size_t(bound.size()), nullptr, nonce, m_transmitKey.data());
    }
    return result == 0 ? counter : 0;
}

bool SealedChannel::open(quint64 counter, const QByteArray& associated, unsigned char* data, size_t size,
                         const unsigned char* mac)
{
    return open(counter, associated, data, size, mac, data);
}

bool SealedChannel::open(quint64 counter, const QByteArray& associated, const unsigned char* sealed, size_t size,
                         const unsigned char* mac, unsigned char* out)
{
    if (counter == 0 || !m_window.isFresh(counter) || !sodiumReady())
        return false;
    unsigned char nonce[kNonceSize] = {};
    qToLittleEndian<quint64>(counter, nonce);
    const QByteArray bound = withCounter(associated, counter);
    const auto* ad = reinterpret_cast<const unsigned char*>(bound.constData());
    int result;
    if (m_cipher == Cipher::Aes256Gcm) {
        result = crypto_aead_aes256gcm_decrypt_detached_afternm(out, nullptr, sealed, size, mac, ad,
                                                                size_t(bound.size()), nonce, &m_receiveState);
    } else {
        result = crypto_aead_chacha20poly1305_ietf_decrypt_detached(out, nullptr, sealed, size, mac, ad,
                                                                    size_t(bound.size()), nonce, m_receiveKey.data());
    }
    if (result != 0)
        return false;
    m_window.mark(counter);
    return true;
}

} // namespace Vesk
