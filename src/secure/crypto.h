#pragma once

#include <QByteArray>

#include <cstddef>

namespace Vesk {

// Readies OpenSSL's libcrypto once per process (it picks its fastest code for this processor and seeds its random
// generator from the system). Every entry point of this layer calls it first; false only when the library cannot
// start at all.
bool cryptoReady();

// Fills `size` bytes with the library's cryptographic random generator; false when it has no entropy to give.
bool randomBytes(unsigned char* data, std::size_t size);

// Key material that is wiped when it goes out of scope, so a secret never lingers in freed memory.
template <std::size_t N> class SecretBytes
{
public:
    SecretBytes() = default;
    SecretBytes(const SecretBytes& other) { copyFrom(other); }
    SecretBytes& operator=(const SecretBytes& other)
    {
        copyFrom(other);
        return *this;
    }
    ~SecretBytes() { wipe(); }
    unsigned char* data() { return m_bytes; }
    const unsigned char* data() const { return m_bytes; }
    static constexpr std::size_t size() { return N; }
    void wipe();

private:
    void copyFrom(const SecretBytes& other);
    unsigned char m_bytes[N] = {};
};

// Wipes memory in a way the compiler may not optimise away.
void wipeMemory(void* data, std::size_t size);

// Compares in time that does not depend on where the first difference lies.
bool constantTimeEqual(const QByteArray& a, const QByteArray& b);

template <std::size_t N> void SecretBytes<N>::wipe()
{
    wipeMemory(m_bytes, N);
}

template <std::size_t N> void SecretBytes<N>::copyFrom(const SecretBytes& other)
{
    for (std::size_t i = 0; i < N; ++i)
        m_bytes[i] = other.m_bytes[i];
}

} // namespace Vesk
