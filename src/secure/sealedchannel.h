#pragma once

#include "secure/crypto.h"

#include <QByteArray>
#include <QtGlobal>

#include <bitset>

#include <memory>

struct evp_cipher_ctx_st;

namespace Vesk {

// Which authenticated encryption two peers use. AES-256-GCM where both processors do AES in hardware (it is the
// faster one there); ChaCha20-Poly1305, fast in software, everywhere else.
enum class Cipher { ChaCha20Poly1305, Aes256Gcm };

// Counters of messages received under one key, for refusing a message that was recorded and sent again. Messages
// travel on connections of their own and may overtake one another, so a counter below the highest seen is still
// taken once, as long as it lies within the window.
class ReplayWindow
{
public:
    static constexpr quint64 kSize = 1024;

    bool isFresh(quint64 counter) const;
    void mark(quint64 counter); // only for a counter that isFresh

private:
    quint64 m_highest = 0;
    bool m_any = false;
    std::bitset<kSize> m_seen; // bit counter % kSize, for the counters within kSize of m_highest
};

class DetachedCipher;

// The bytes of one record to be sealed where they lie, at `data`. One stretch of them may be kept elsewhere until
// then: the `insetSize` bytes that belong at `data + insetAt` are read from `inset`, and only their ciphertext is
// written to their place (a file packet is then read once, by the cipher, instead of copied into the frame and
// read again). The sealed bytes are the same as for the whole record in place.
struct Plaintext
{
    unsigned char* data = nullptr;
    size_t size = 0;
    const unsigned char* inset = nullptr;
    size_t insetAt = 0;
    size_t insetSize = 0;
};

// The two keys one pair of sessions agreed: one for each direction. A sealed message's nonce is the sending key's
// own counter, which only goes up, so no nonce is used twice under a key; each key belongs to exactly one pair of
// session keys, which are new at every start of either side.
class SealedChannel
{
public:
    static constexpr int kKeySize = 32;
    static constexpr int kMacSize = 16;

    SealedChannel(Cipher cipher, const unsigned char* receiveKey, const unsigned char* transmitKey);
    ~SealedChannel();
    Q_DISABLE_COPY(SealedChannel)

    Cipher cipher() const { return m_cipher; }

    // Encrypts `size` bytes at `data` in place and writes the 16-byte tag to `mac`; `associated` is authenticated
    // but stays readable. Returns the counter the message went under (the receiver needs it), 0 on failure.
    // The counter is bound into the authenticated data as well, so it cannot be swapped on the way.
    quint64 seal(const QByteArray& associated, unsigned char* data, size_t size, unsigned char* mac);
    // The same for a record one stretch of which lies elsewhere (see Plaintext); 0 also when that stretch does
    // not lie within the record.
    quint64 seal(const QByteArray& associated, const Plaintext& plain, unsigned char* mac);

    // Checks and decrypts in place. False when the message is not authentic under this channel's receiving key (or
    // was altered, or cut), or when its counter was taken before or lies behind the window; the bytes at `data`
    // are then meaningless.
    bool open(quint64 counter, const QByteArray& associated, unsigned char* data, size_t size,
              const unsigned char* mac);
    // The same, decrypting `size` bytes at `sealed` into `out`, which does not overlap them.
    bool open(quint64 counter, const QByteArray& associated, const unsigned char* sealed, size_t size,
              const unsigned char* mac, unsigned char* out);

    // For sealing one record on another thread: a copy of the sending key's context that goes under the next
    // counter, taken now, on this channel's thread, so no other seal ever gets it. Null when the channel cannot seal.
    std::unique_ptr<DetachedCipher> sealElsewhere();
    // For opening the record of `counter` on another thread: a copy of the receiving key's context. Null when
    // that counter was taken before or lies behind the window.
    std::unique_ptr<DetachedCipher> openElsewhere(quint64 counter);
    // Once a detached cipher opened a record: takes its counter and returns true when the counter is still fresh;
    // false when it was taken meanwhile (a copy of the same record opened first), and the record must be dropped.
    bool markOpened(quint64 counter);
    // Tells this channel from any other made in this process, also one made later at the same address.
    quint64 serial() const { return m_serial; }

    // The counter the next seal will use (0 when the key is used up).
    quint64 nextCounter() const { return m_nextCounter; }
    // How many messages went out; for tests and for a key that has been used long enough.
    quint64 sent() const { return m_nextCounter - 1; }

private:
    // Sets up one direction's context with its key, once: per record only the nonce changes, so the key schedule
    // is not recomputed for every message. Null when the library cannot.
    static evp_cipher_ctx_st* contextFor(Cipher cipher, const unsigned char* key, bool encrypt);

    Cipher m_cipher;
    // One context per direction, each holding its key; freed (and wiped by the library) with the channel.
    evp_cipher_ctx_st* m_receive = nullptr;
    evp_cipher_ctx_st* m_transmit = nullptr;
    quint64 m_nextCounter = 1; // 0 marks a failed seal
    ReplayWindow m_window;
    const quint64 m_serial;
};

// One record sealed or opened away from its channel, once, on any thread: see SealedChannel::sealElsewhere and
// openElsewhere. It holds its own copy of the key context, so it never touches the channel, which may even be
// gone by the time it runs.
class DetachedCipher
{
public:
    ~DetachedCipher();
    Q_DISABLE_COPY(DetachedCipher)

    quint64 counter() const { return m_counter; }
    quint64 channelSerial() const { return m_channelSerial; }

    // As SealedChannel::seal, under the counter taken for it; once only. The counter, or 0 on failure.
    quint64 seal(const QByteArray& associated, unsigned char* data, size_t size, unsigned char* mac);
    quint64 seal(const QByteArray& associated, const Plaintext& plain, unsigned char* mac);
    // As SealedChannel::open for this record's counter, but the replay window is the channel's to check (markOpened).
    bool open(const QByteArray& associated, const unsigned char* sealed, size_t size, const unsigned char* mac,
              unsigned char* out);

private:
    friend class SealedChannel;
    DetachedCipher(evp_cipher_ctx_st* context, quint64 counter, quint64 channelSerial, bool encrypt)
        : m_context(context), m_counter(counter), m_channelSerial(channelSerial), m_encrypt(encrypt)
    {
    }

    evp_cipher_ctx_st* m_context;
    quint64 m_counter; // 0 once used for sealing
    const quint64 m_channelSerial;
    const bool m_encrypt;
};

} // namespace Vesk
