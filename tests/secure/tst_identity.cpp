#include "secure/comparisoncode.h"
#include "secure/identitycertificate.h"
#include "secure/identitykey.h"

#include "testsupport.h"

#include <QRegularExpression>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

using Vesk::CertificateIdentity;
using Vesk::IdentityCertificate;
using Vesk::IdentityKey;
namespace Code = Vesk::ComparisonCode;

namespace {

// A certificate made by hand, to hold what IdentityCertificate::create never makes.
struct Forged
{
    EVP_PKEY* subjectKey = nullptr; // the key the certificate holds
    EVP_PKEY* signingKey = nullptr; // the key that signs it
    QList<QPair<int, QByteArray>> subject{{NID_commonName, "node-a"}};
    int stringType = V_ASN1_UTF8STRING;
    bool issuerIsSubject = true;

    QByteArray der() const
    {
        std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
        X509_NAME* name = X509_NAME_new();
        for (const auto& entry : subject)
            X509_NAME_add_entry_by_NID(name, entry.first, stringType,
                                       reinterpret_cast<const unsigned char*>(entry.second.constData()),
                                       int(entry.second.size()), -1, 0);
        X509_NAME* issuer = X509_NAME_new();
        X509_NAME_add_entry_by_NID(issuer, NID_commonName, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("an authority"), -1, -1, 0);
        X509_set_version(x.get(), X509_VERSION_3);
        ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
        X509_set_subject_name(x.get(), name);
        X509_set_issuer_name(x.get(), issuerIsSubject ? name : issuer);
        X509_set_pubkey(x.get(), subjectKey);
        const bool ed25519 = EVP_PKEY_get_id(signingKey) == EVP_PKEY_ED25519;
        X509_sign(x.get(), signingKey, ed25519 ? nullptr : EVP_sha256());
        X509_NAME_free(name);
        X509_NAME_free(issuer);
        unsigned char* out = nullptr;
        const int size = i2d_X509(x.get(), &out);
        QByteArray bytes(reinterpret_cast<const char*>(out), size);
        OPENSSL_free(out);
        return bytes;
    }
};

QByteArray otherKey(const QByteArray& key)
{
    QByteArray changed = key;
    changed[31] = char(changed.at(31) ^ 0x01);
    return changed;
}

} // namespace

class TestIdentity : public QObject
{
    Q_OBJECT

private slots:
    void certificateNamesNodeAndKey_data()
    {
        QTest::addColumn<QString>("nodeId");
        QTest::addColumn<bool>("valid");
        QTest::newRow("braced uuid") << "{6f1c1d4e-2b7a-4c0e-9d51-0a3f5e2c8b71}" << true;
        QTest::newRow("non-latin text") << QStringLiteral("Ωμέγα-ßtation-東京") << true;
        QTest::newRow("longest") << QString(IdentityCertificate::kMaxNodeIdBytes, 'n') << true;
        QTest::newRow("one byte too long") << QString(IdentityCertificate::kMaxNodeIdBytes + 1, 'n') << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("holding a NUL") << QStringLiteral("node%1a").arg(QChar(0)) << false;
    }
    void certificateNamesNodeAndKey()
    {
        QFETCH(QString, nodeId);
        QFETCH(bool, valid);
        const IdentityKey key = IdentityKey::generate();
        const IdentityCertificate certificate = IdentityCertificate::create(key, nodeId);
        QCOMPARE(certificate.isValid(), valid);
        if (!valid)
            return;
        const CertificateIdentity read = IdentityCertificate::identityOf(certificate.der());
        QVERIFY(read.isValid());
        QCOMPARE(read.nodeId, nodeId);
        QCOMPARE(read.publicKey, key.publicKey());
        QVERIFY(certificate.privateKey());
    }

    // What a peer may present that is not a certificate made by create(): every row is refused.
    void malformedCertificateRefused_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("garbage") << "garbage";
        QTest::newRow("trailing byte") << "trailing";
        QTest::newRow("signed by another key") << "other signer";
        QTest::newRow("not Ed25519") << "ec key";
        QTest::newRow("issued by another name") << "issuer";
        QTest::newRow("two common names") << "two names";
        QTest::newRow("other field than a common name") << "organisation";
        QTest::newRow("common name not UTF-8 string") << "printable";
        QTest::newRow("common name holding a NUL") << "nul";
    }
    void malformedCertificateRefused()
    {
        QFETCH(QString, fault);
        const IdentityKey key = IdentityKey::generate();
        const IdentityKey other = IdentityKey::generate();
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ec(EVP_EC_gen("P-256"), EVP_PKEY_free);
        Forged forged;
        forged.subjectKey = forged.signingKey = key.signingKey();
        QByteArray der;
        // The same certificate with nothing wrong is accepted, so each row fails for its own fault.
        QVERIFY(IdentityCertificate::identityOf(forged.der()).isValid());
        if (fault == "garbage") {
            der = QByteArray(300, '\x30');
        } else if (fault == "trailing") {
            der = IdentityCertificate::create(key, "node-a").der() + '\0';
        } else {
            if (fault == "other signer")
                forged.signingKey = other.signingKey();
            else if (fault == "ec key")
                forged.subjectKey = forged.signingKey = ec.get();
            else if (fault == "issuer")
                forged.issuerIsSubject = false;
            else if (fault == "two names")
                forged.subject.append({NID_commonName, "node-b"});
            else if (fault == "organisation")
                forged.subject = {{NID_organizationName, "node-a"}};
            else if (fault == "printable")
                forged.stringType = V_ASN1_PRINTABLESTRING;
            else if (fault == "nul")
                forged.subject = {{NID_commonName, QByteArray("node\0-b", 7)}};
            der = forged.der();
        }
        QVERIFY(!der.isEmpty());
        QVERIFY(!IdentityCertificate::identityOf(der).isValid());
    }

    void comparisonCode()
    {
        const QByteArray a = IdentityKey::generate().publicKey();
        const QByteArray b = IdentityKey::generate().publicKey();
        const QString code = Code::inLines(a, "node-a", b, "node-b");
        QVERIFY2(QRegularExpression("^(\\d{5} ){3}\\d{5}\n(\\d{5} ){3}\\d{5}$").match(code).hasMatch(),
                 qPrintable(code));
        // Both screens: the same text whichever key is one's own.
        QCOMPARE(Code::inLines(b, "node-b", a, "node-a"), code);
        // Each half is one key's fingerprint, and changes with that key alone.
        const QString fingerprintA = Code::fingerprint(a, "node-a"), fingerprintB = Code::fingerprint(b, "node-b");
        QVERIFY(code.contains(fingerprintA) && code.contains(fingerprintB));
        QVERIFY(!Code::inLines(otherKey(a), "node-a", b, "node-b").contains(fingerprintA));
        QVERIFY(Code::inLines(otherKey(a), "node-a", b, "node-b").contains(fingerprintB));
        QVERIFY(!Code::inLines(a, "node-a", otherKey(b), "node-b").contains(fingerprintB));
        QCOMPARE(Code::fingerprint(QByteArray(a), QString("node-a")), fingerprintA);
        // A key's fingerprint is its node's: one key searched for serves one node id, not every user's at once.
        QVERIFY(Code::fingerprint(a, "node-b") != fingerprintA);
        QVERIFY(Code::inLines(a, "node-a", a.left(31), "node-b").isEmpty() &&
                Code::inLines(a.left(31), "node-a", a, "node-b").isEmpty() && Code::fingerprint(a, "").isEmpty());
        QVERIFY(Code::kStrengthBits >= 80);
        QCOMPARE(Code::bitsInDigits(Code::kDigitsPerKey), 66); // 10^20 lies between 2^66 and 2^67
    }
};

QTEST_GUILESS_MAIN(TestIdentity)
#include "tst_identity.moc"
