#include "secure/identitykey.h"

#include "secure/securelogging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstring>

#include <openssl/evp.h>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Vesk {

namespace {

// File layout: a tag naming the format, the 32-byte seed, and the public key, which is derived from the seed
// again on loading: a file whose halves do not match was altered or damaged.
const QByteArray kFileTag = QByteArrayLiteral("vesk-identity-1\n");
constexpr int kSeedSize = 32;

#ifdef Q_OS_UNIX
// Writes a new file that is the user's alone from the moment it exists (no window in which another account could
// open it), flushes it to disk and moves it over the old one.
bool writePrivateFile(const QString& path, const QByteArray& bytes, QString* error)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    const bool complete = written == bytes.size() && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!complete || ::rename(temporary.constData(), target.constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(complete ? errno : savedErrno));
        ::unlink(temporary.constData());
        return false;
    }
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}
#else
bool writePrivateFile(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(bytes);
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
#endif

} // namespace

IdentityKey IdentityKey::fromSeed(const unsigned char* seed)
{
    // The seed is the Ed25519 private key as RFC 8032 defines it; the public key follows from it.
    std::shared_ptr<EVP_PKEY> signer(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, kSeedSize),
                                     EVP_PKEY_free);
    unsigned char publicKey[kPublicKeySize];
    size_t publicSize = sizeof publicKey;
    if (!signer || EVP_PKEY_get_raw_public_key(signer.get(), publicKey, &publicSize) != 1 ||
        publicSize != size_t(kPublicKeySize))
        return {};
    IdentityKey key;
    std::memcpy(key.m_seed.data(), seed, kSeedSize);
    key.m_signer = std::move(signer);
    key.m_public = QByteArray(reinterpret_cast<const char*>(publicKey), kPublicKeySize);
    return key;
}

IdentityKey IdentityKey::generate()
{
    SecretBytes<kSeedSize> seed;
    if (!randomBytes(seed.data(), seed.size()))
        return {};
    return fromSeed(seed.data());
}

IdentityKey IdentityKey::loadOrCreate(const QString& path, Origin* origin, QString* problem)
{
    Origin found = Origin::Created;
    QString trouble;
    QFile file(path);
    if (file.exists()) {
        QByteArray bytes;
        if (file.open(QIODevice::ReadOnly)) {
            bytes = file.read(kFileTag.size() + kSeedSize + kPublicKeySize + 1);
            file.close();
        } else {
            trouble = file.errorString();
        }
        if (cryptoReady() && bytes.size() == kFileTag.size() + kSeedSize + kPublicKeySize &&
            bytes.startsWith(kFileTag)) {
            IdentityKey key = fromSeed(reinterpret_cast<const unsigned char*>(bytes.constData()) + kFileTag.size());
            const bool matches = constantTimeEqual(key.m_public, bytes.right(kPublicKeySize));
            wipeMemory(bytes.data(), size_t(bytes.size()));
            if (matches) {
                // A copy restored from a backup may have lost its permissions; the secret is the user's alone.
                file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
                if (origin)
                    *origin = Origin::Loaded;
                return key;
            }
            trouble = QStringLiteral("its public key does not match its secret key");
        } else if (trouble.isEmpty()) {
            wipeMemory(bytes.data(), size_t(bytes.size()));
            trouble = QStringLiteral("it holds %1 bytes that are not a key").arg(bytes.size());
        }
        const QString aside = path + QStringLiteral(".unreadable");
        QFile::remove(aside);
        if (!QFile::rename(path, aside))
            QFile::remove(path);
        trouble = QStringLiteral("The identity key file %1 could not be read (%2); it was set aside as %3 and a new "
                                 "key made")
                      .arg(QDir::toNativeSeparators(path), trouble, QDir::toNativeSeparators(aside));
        found = Origin::Replaced;
    }

    IdentityKey key = generate();
    QString error;
    if (key.isValid() && !key.save(path, &error)) {
        trouble = (trouble.isEmpty() ? QString() : trouble + QStringLiteral("; ")) +
                  QStringLiteral("The identity key could not be stored in %1 (%2); it serves this run only")
                      .arg(QDir::toNativeSeparators(path), error);
        found = Origin::Unsaved;
    }
    if (origin)
        *origin = found;
    if (problem)
        *problem = trouble;
    return key;
}

bool IdentityKey::save(const QString& path, QString* error) const
{
    QString reason;
    if (!isValid()) {
        reason = QStringLiteral("no key");
    } else {
        QByteArray bytes = kFileTag;
        bytes.append(reinterpret_cast<const char*>(m_seed.data()), kSeedSize);
        bytes.append(m_public);
        const bool written = writePrivateFile(path, bytes, &reason);
        wipeMemory(bytes.data(), size_t(bytes.size()));
        if (written)
            return true;
    }
    if (error)
        *error = reason;
    qCDebug(lcSecure) << "identity key not stored:" << reason;
    return false;
}

QByteArray IdentityKey::sign(const QByteArray& message) const
{
    if (!isValid() || !m_signer)
        return {};
    QByteArray signature(kSignatureSize, Qt::Uninitialized);
    size_t size = size_t(signature.size());
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    // Ed25519 hashes the message itself: no digest of ours goes in front of it.
    const bool signed_ =
        context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, m_signer.get()) == 1 &&
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size())) == 1 &&
        size == size_t(kSignatureSize);
    EVP_MD_CTX_free(context);
    return signed_ ? signature : QByteArray();
}

bool IdentityKey::verify(const QByteArray& publicKey, const QByteArray& message, const QByteArray& signature)
{
    if (!cryptoReady() || publicKey.size() != kPublicKeySize || signature.size() != kSignatureSize)
        return false;
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                reinterpret_cast<const unsigned char*>(publicKey.constData()),
                                                size_t(publicKey.size()));
    EVP_MD_CTX* context = key ? EVP_MD_CTX_new() : nullptr;
    const bool valid =
        context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.constData()),
                         size_t(signature.size()), reinterpret_cast<const unsigned char*>(message.constData()),
                         size_t(message.size())) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return valid;
}

} // namespace Vesk
