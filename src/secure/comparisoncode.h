#pragma once

#include <QByteArray>
#include <QString>

// The code two users read to each other to be sure that each holds the other's identity key. Each key has a
// fingerprint of its own, shown as digits; the code is the two fingerprints, the smaller first, so both screens
// show the same text and a change of either key changes its half.
//
// Strength: someone between the two computers must present to each a key of their own whose fingerprint shows
// the same digits as the real one's. A fingerprint is the key and its node id hashed kIterations times; finding
// another key with the same kDigitsPerKey digits takes about 10^kDigitsPerKey tries of kIterations hashes each,
// which kStrengthBits states as a power of two. Both fingerprints must be matched, so the attack costs twice that.
// The node id in every round makes each try count for one node only: a search cannot be run once against the
// fingerprints of every user at the same time.
namespace Vesk::ComparisonCode {

constexpr int kDigitsPerGroup = 5;
constexpr int kGroupsPerKey = 4;
constexpr int kDigitsPerKey = kDigitsPerGroup * kGroupsPerKey;
// 2^16 rounds of SHA-512 take a few tens of milliseconds here: once per peer for a user, 2^16 times the cost of
// each try for someone searching keys.
constexpr int kIterationBits = 16;
constexpr int kIterations = 1 << kIterationBits;

// floor(log2(10^digits)): the bits a uniformly drawn number of that many digits holds.
constexpr int bitsInDigits(int digits)
{
    long double value = 1;
    for (int i = 0; i < digits; ++i)
        value *= 10;
    int bits = 0;
    while (value >= 2) {
        value /= 2;
        ++bits;
    }
    return bits;
}

// The work, as a power of two, of finding a key whose fingerprint matches a given one.
constexpr int kStrengthBits = bitsInDigits(kDigitsPerKey) + kIterationBits;
static_assert(kStrengthBits >= 80, "a comparison code must resist a search of 2^80 hashes");

// The fingerprint of a node's key: kDigitsPerKey digits in groups of kDigitsPerGroup separated by spaces; empty
// for anything but an Ed25519 public key (32 bytes) or without a node id.
QString fingerprint(const QByteArray& publicKey, const QString& nodeId);

// Both fingerprints, the smaller first, one per line, so that each line can be read out and compared on its own;
// the same whichever key is ours. Empty when either key is not a key.
QString inLines(const QByteArray& ownKey, const QString& ownNodeId, const QByteArray& otherKey,
                const QString& otherNodeId);

} // namespace Vesk::ComparisonCode
