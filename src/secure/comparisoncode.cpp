#include "secure/comparisoncode.h"

#include "secure/crypto.h"
#include "secure/identitykey.h"

#include <QStringList>

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace Vesk::ComparisonCode {

namespace {

// Names what the hash is for, so a fingerprint can never be mistaken for a hash of the key made for another use.
const QByteArray kDomainTag = QByteArrayLiteral("vesk identity fingerprint 2");
constexpr int kHashSize = 64;
constexpr int kBytesPerGroup = 5; // 40 bits reduced to five digits: a bias of one part in ten million
constexpr quint64 kGroupModulus = 100000;
static_assert(kBytesPerGroup * kGroupsPerKey <= kHashSize, "a fingerprint's groups come from one hash");

} // namespace

QString fingerprint(const QByteArray& publicKey, const QString& nodeId)
{
    if (!cryptoReady() || publicKey.size() != IdentityKey::kPublicKeySize || nodeId.isEmpty())
        return {};
    const QByteArray node = nodeId.toUtf8(); // after the key, which has a fixed size: the two cannot run together
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> sha512(EVP_MD_fetch(nullptr, "SHA512", nullptr), EVP_MD_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!sha512 || !context)
        return {};
    // Each round hashes the previous round's hash, the key and the node id again; the first round starts from the tag.
    unsigned char hash[kHashSize];
    const unsigned char* previous = reinterpret_cast<const unsigned char*>(kDomainTag.constData());
    size_t previousSize = size_t(kDomainTag.size());
    for (int round = 0; round < kIterations; ++round) {
        unsigned int size = 0;
        if (EVP_DigestInit_ex2(context.get(), sha512.get(), nullptr) != 1 ||
            EVP_DigestUpdate(context.get(), previous, previousSize) != 1 ||
            EVP_DigestUpdate(context.get(), publicKey.constData(), size_t(publicKey.size())) != 1 ||
            EVP_DigestUpdate(context.get(), node.constData(), size_t(node.size())) != 1 ||
            EVP_DigestFinal_ex(context.get(), hash, &size) != 1 || size != sizeof hash)
            return {};
        previous = hash;
        previousSize = sizeof hash;
    }
    QStringList groups;
    for (int group = 0; group < kGroupsPerKey; ++group) {
        quint64 value = 0;
        for (int i = 0; i < kBytesPerGroup; ++i)
            value = (value << 8) | hash[group * kBytesPerGroup + i];
        groups.append(QStringLiteral("%1").arg(value % kGroupModulus, kDigitsPerGroup, 10, QLatin1Char('0')));
    }
    return groups.join(QLatin1Char(' '));
}

QString inLines(const QByteArray& ownKey, const QString& ownNodeId, const QByteArray& otherKey,
                const QString& otherNodeId)
{
    const QString own = fingerprint(ownKey, ownNodeId);
    const QString other = fingerprint(otherKey, otherNodeId);
    if (own.isEmpty() || other.isEmpty())
        return {};
    return std::min(own, other) + QLatin1Char('\n') + std::max(own, other);
}

} // namespace Vesk::ComparisonCode
