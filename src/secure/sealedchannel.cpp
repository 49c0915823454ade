#include "secure/sealedchannel.h"

#include <QtEndian>

#include <cstring>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <utility>

namespace Vesk {

namespace {

// Both ciphers take 12-byte nonces. The counter fills the first eight, the rest stays zero: the keys are unique
// to one channel and direction, so the counter alone keeps every nonce new (no random nonces, so no birthday
// bound to watch).
constexpr size_t kNonceSize = 12;
// The library takes lengths as int: longer input goes through in steps of this many bytes.
constexpr size_t kMaxStep = size_t(1) << 30;

QByteArray withCounter(const QByteArray& associated, quint64 counter)
{
    QByteArray bound = associated;
    char little[8];
    qToLittleEndian<quint64>(counter, little);
    bound.append(little, sizeof little);
    return bound;
}

const EVP_CIPHER* cipherOf(Cipher cipher)
{
    return cipher == Cipher::Aes256Gcm ? EVP_aes_256_gcm() : EVP_chacha20_poly1305();
}

// One stretch of a record as the cipher runs over it: from `in` to `out`, which may be the same.
struct Stretch
{
    const unsigned char* in;
    unsigned char* out;
    size_t size;
};

// Runs the stretches of one record through the context, in order, the associated data first. The cipher keeps
// its place from one call to the next, so stretches of any length give the bytes of the record in one piece.
bool update(EVP_CIPHER_CTX* context, bool encrypt, const QByteArray& associated, std::initializer_list<Stretch> record)
{
    const auto step = encrypt ? EVP_EncryptUpdate : EVP_DecryptUpdate;
    int written = 0;
    if (step(context, nullptr, &written, reinterpret_cast<const unsigned char*>(associated.constData()),
             int(associated.size())) != 1)
        return false;
    for (const Stretch& stretch : record) {
        for (size_t done = 0; done < stretch.size;) {
            const int chunk = int(std::min(kMaxStep, stretch.size - done));
            if (step(context, stretch.out + done, &written, stretch.in + done, chunk) != 1 || written != chunk)
                return false;
            done += size_t(chunk);
        }
    }
    return true;
}

// One record under `counter`, with a context that holds the sending key.
bool sealWith(EVP_CIPHER_CTX* context, quint64 counter, const QByteArray& associated, const Plaintext& plain,
              unsigned char* mac)
{
    if (plain.insetAt > plain.size || plain.insetSize > plain.size - plain.insetAt ||
        (!plain.inset && plain.insetSize != 0))
        return false;
    unsigned char nonce[kNonceSize] = {};
    qToLittleEndian<quint64>(counter, nonce);
    unsigned char* const data = plain.data;
    const size_t after = plain.insetAt + plain.insetSize;
    int written = 0;
    return EVP_EncryptInit_ex(context, nullptr, nullptr, nullptr, nonce) == 1 &&
           update(context, true, withCounter(associated, counter),
                  {{data, data, plain.insetAt},
                   {plain.inset, data + plain.insetAt, plain.insetSize},
                   {data + after, data + after, plain.size - after}}) &&
           EVP_EncryptFinal_ex(context, data + plain.size, &written) == 1 && written == 0 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, SealedChannel::kMacSize, mac) == 1;
}

// Checks and decrypts one record of `counter`, with a context that holds the receiving key. The tag is checked at
// the end, over everything: only then do the decrypted bytes count.
bool openWith(EVP_CIPHER_CTX* context, quint64 counter, const QByteArray& associated, const unsigned char* sealed,
              size_t size, const unsigned char* mac, unsigned char* out)
{
    unsigned char nonce[kNonceSize] = {};
    qToLittleEndian<quint64>(counter, nonce);
    unsigned char tag[SealedChannel::kMacSize];
    std::memcpy(tag, mac, sizeof tag); // the library takes it as writable
    int written = 0;
    return EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, nonce) == 1 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, sizeof tag, tag) == 1 &&
           update(context, false, withCounter(associated, counter), {{sealed, out, size}}) &&
           EVP_DecryptFinal_ex(context, out + size, &written) == 1 && written == 0;
}

// A copy of a context set up with its key, for use on another thread; null when the library cannot.
EVP_CIPHER_CTX* copyOf(EVP_CIPHER_CTX* context)
{
    EVP_CIPHER_CTX* copy = context ? EVP_CIPHER_CTX_new() : nullptr;
    if (copy && EVP_CIPHER_CTX_copy(copy, context) != 1) {
        EVP_CIPHER_CTX_free(copy);
        return nullptr;
    }
    return copy;
}

std::atomic<quint64> nextSerial{1};

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

EVP_CIPHER_CTX* SealedChannel::contextFor(Cipher cipher, const unsigned char* key, bool encrypt)
{
    EVP_CIPHER_CTX* context = cryptoReady() ? EVP_CIPHER_CTX_new() : nullptr;
    if (!context)
        return nullptr;
    const int set = encrypt ? EVP_EncryptInit_ex(context, cipherOf(cipher), nullptr, key, nullptr)
                            : EVP_DecryptInit_ex(context, cipherOf(cipher), nullptr, key, nullptr);
    if (set != 1 || EVP_CIPHER_CTX_get_iv_length(context) != int(kNonceSize)) {
        EVP_CIPHER_CTX_free(context);
        return nullptr;
    }
    return context;
}

SealedChannel::SealedChannel(Cipher cipher, const unsigned char* receiveKey, const unsigned char* transmitKey)
    : m_cipher(cipher), m_receive(contextFor(cipher, receiveKey, false)),
      m_transmit(contextFor(cipher, transmitKey, true)), m_serial(nextSerial++)
{
}

SealedChannel::~SealedChannel()
{
    EVP_CIPHER_CTX_free(m_receive);
    EVP_CIPHER_CTX_free(m_transmit);
}

quint64 SealedChannel::seal(const QByteArray& associated, unsigned char* data, size_t size, unsigned char* mac)
{
    return seal(associated, Plaintext{data, size}, mac);
}

quint64 SealedChannel::seal(const QByteArray& associated, const Plaintext& plain, unsigned char* mac)
{
    if (m_nextCounter == 0 || !m_transmit) // a key used 2^64 times would wrap; never in practice
        return 0;
    const quint64 counter = m_nextCounter++;
    return sealWith(m_transmit, counter, associated, plain, mac) ? counter : 0;
}

bool SealedChannel::open(quint64 counter, const QByteArray& associated, unsigned char* data, size_t size,
                         const unsigned char* mac)
{
    return open(counter, associated, data, size, mac, data);
}

bool SealedChannel::open(quint64 counter, const QByteArray& associated, const unsigned char* sealed, size_t size,
                         const unsigned char* mac, unsigned char* out)
{
    if (counter == 0 || !m_window.isFresh(counter) || !m_receive)
        return false;
    if (!openWith(m_receive, counter, associated, sealed, size, mac, out))
        return false;
    m_window.mark(counter);
    return true;
}

std::unique_ptr<DetachedCipher> SealedChannel::sealElsewhere()
{
    if (m_nextCounter == 0)
        return nullptr;
    EVP_CIPHER_CTX* copy = copyOf(m_transmit);
    if (!copy)
        return nullptr;
    return std::unique_ptr<DetachedCipher>(new DetachedCipher(copy, m_nextCounter++, m_serial, true));
}

std::unique_ptr<DetachedCipher> SealedChannel::openElsewhere(quint64 counter)
{
    if (counter == 0 || !m_window.isFresh(counter))
        return nullptr;
    EVP_CIPHER_CTX* copy = copyOf(m_receive);
    if (!copy)
        return nullptr;
    return std::unique_ptr<DetachedCipher>(new DetachedCipher(copy, counter, m_serial, false));
}

bool SealedChannel::markOpened(quint64 counter)
{
    if (counter == 0 || !m_window.isFresh(counter))
        return false;
    m_window.mark(counter);
    return true;
}

DetachedCipher::~DetachedCipher()
{
    EVP_CIPHER_CTX_free(m_context);
}

quint64 DetachedCipher::seal(const QByteArray& associated, unsigned char* data, size_t size, unsigned char* mac)
{
    return seal(associated, Plaintext{data, size}, mac);
}

quint64 DetachedCipher::seal(const QByteArray& associated, const Plaintext& plain, unsigned char* mac)
{
    if (!m_encrypt || m_counter == 0)
        return 0;
    const quint64 counter = std::exchange(m_counter, 0); // never a second record under it
    return sealWith(m_context, counter, associated, plain, mac) ? counter : 0;
}

bool DetachedCipher::open(const QByteArray& associated, const unsigned char* sealed, size_t size,
                          const unsigned char* mac, unsigned char* out)
{
    return !m_encrypt && openWith(m_context, m_counter, associated, sealed, size, mac, out);
}

} // namespace Vesk
