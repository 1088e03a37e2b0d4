// The imports with issuers' answers made fresh by OpenSSL, exactly as an
// issuer makes them: from the temporary public key exported out of the
// container, with keys, certificates, session keys and ciphertexts of its
// own. POSIX only: the stand-in's software providers and its RSA and SM2
// tokens, OpenSSL as the independent implementation.
// OpenSSL first: the Windows headers define names its X.509 headers use.
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "enrolment/CertificateImport.h"
#include "enrolment/CertificateMatch.h"
#include "enrolment/EncryptCertEnvelope.h"
#include "enrolment/EncryptCertImport.h"
#include "enrolment/ImportHelpers.h"
#include "tests/enrolment/ImportTestSupport.h"
#include "tests/support/KeyBlobs.h"
#include "tests/support/OpensslCertificates.h"
#include "tests/support/OpensslKeys.h"
#include "enrolment/SoftKeyDecrypt.h"

using namespace importtest;
using orvane::checks::GenerateRsa;
using orvane::checks::GenerateSm2;
using orvane::checks::Pkey;
using orvane::checks::PkeyCtx;
using orvane::checks::RsaEncrypt;
using orvane::checks::RsaPublicFromBlob;
using orvane::checks::Sm2EncryptC1C3C2;
using orvane::checks::Sm2Point;
using orvane::checks::Sm2PublicFromBlob;
using orvane::checks::TripleDesEcb;

namespace {

const WCHAR kRsaToken[] = u"Orvane Soft RSA Token CSP v1.0";
const WCHAR kSm2Token[] = u"Orvane Soft SM2 Token CSP v1.0";
constexpr ALG_ID kSm2Sign = 0x3E00;
constexpr ALG_ID kSm2Exchange = 0xBE00;
constexpr DWORD kSm2Delete = 0xFFFF0002;

Bytes Random(size_t n) {
    Bytes b(n);
    RAND_bytes(b.data(), int(n));
    return b;
}

// ---- keys ---------------------------------------------------------------------------------

Bytes Pkcs1Of(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int n = i2d_PrivateKey(key, &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

// AllNumbersFullLength: every number at the full length of its field in the
// private-key blob (the coefficient may be a byte short); about one key in
// fifty has a shorter one, which the blob must zero-pad.
bool AllNumbersFullLength(EVP_PKEY* key, unsigned bits) {
    const char* names[] = {OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    const int want[] = {int(bits / 8),  int(bits / 16), int(bits / 16),
                        int(bits / 16), int(bits / 16), int(bits / 16)};
    for (size_t i = 0; i < 6; ++i) {
        BIGNUM* bn = nullptr;
        if (EVP_PKEY_get_bn_param(key, names[i], &bn) != 1)
            return false;
        const int n = BN_num_bytes(bn);
        BN_free(bn);
        if (n != want[i] && !(i == 5 && n == want[i] - 1))
            return false;
    }
    return true;
}

// ShortNumberRsaKey: a key with at least one number shorter than its field.
Pkey ShortNumberRsaKey(unsigned bits) {
    for (int i = 0; i < 2000; ++i) {
        Pkey key = GenerateRsa(bits);
        if (!key || !AllNumbersFullLength(key.get(), bits))
            return key;
    }
    return nullptr;
}

Bytes ExportPublic(HCRYPTKEY hKey) {
    return orvane::tests::ExportKey(hKey, PUBLICKEYBLOB);
}

Bytes Sm2Scalar(EVP_PKEY* key) {
    BIGNUM* d = nullptr;
    Bytes out(32);
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1 ||
        BN_bn2binpad(d, out.data(), 32) != 32)
        out.clear();
    BN_clear_free(d);
    return out;
}

// MakeCertificate: an X.509 certificate for the subject key, signed by a
// test authority of its own.
Bytes MakeCertificate(EVP_PKEY* subject, const char* pszCommonName) {
    static Pkey authority = GenerateRsa(2048);
    static long serial = 0x1000;
    orvane::checks::CertificateDescription desc;
    desc.key = subject;
    desc.signer = authority.get();
    desc.subject = {{"CN", pszCommonName}};
    desc.issuer = {{"CN", "Orvane Import Test CA"}};
    desc.serial = orvane::checks::SerialOf(++serial);
    desc.notBefore = 0;
    return orvane::checks::MakeCertificate(desc);
}

// RsaEnvelope: the old-format envelope (also what the RSA token opens in the
// new format): a fresh triple-DES key under the temporary key, the issued
// key's PKCS#1 DER under that.
WString RsaEnvelope(EVP_PKEY* temporary, EVP_PKEY* issued, int nEncryptType) {
    const Bytes sessionKey = Random(24);
    return Envelope(1, nEncryptType, 306, WrapKey(RsaEncrypt(temporary, sessionKey)),
                    WrapKey(TripleDesEcb(sessionKey, Pkcs1Of(issued))));
}

Bytes KeyCertificate(const WCHAR* pwszProvider, DWORD dwType, const WString& container,
                     DWORD dwKeySpec, DWORD dwAccess = 0) {
    UniqueProvider prov;
    UniqueKey key;
    if (!CryptAcquireContextW(prov.put(), container.c_str(), pwszProvider, dwType, dwAccess) ||
        !CryptGetUserKey(prov.get(), dwKeySpec, key.put()))
        return {};
    return orvane::tests::KeyCertificate(key.get());
}

bool InMy(const Bytes& cert) {
    UniqueStore store = OpenMy();
    const std::vector<UniqueCertContext> entries = MyEntries(store.get(), cert);
    return !entries.empty();
}

// NewKeyPair: a fresh container of the provider with a generated key pair;
// hands out its public blob.
Bytes NewKeyPair(const WCHAR* pwszProvider, const WString& container, ALG_ID alg, DWORD dwBits) {
    UniqueProvider prov;
    UniqueKey key;
    if (!CryptAcquireContextW(prov.put(), container.c_str(), pwszProvider, TypeOf(pwszProvider),
                              CRYPT_NEWKEYSET) ||
        !CryptGenKey(prov.get(), alg, dwBits << 16, key.put()))
        return {};
    return ExportPublic(key.get());
}

TEST(ImportOpenSsl, PrivateKeyBlobsOfOpenSslKeysDecrypt) {
    // Any key an issuer may send, also one with a number shorter than its
    // field (a leading zero byte in the private exponent, a CRT exponent or
    // the coefficient).
    for (unsigned bits : {1024u, 2048u, 0u}) {
        Pkey issued = bits != 0 ? GenerateRsa(bits) : ShortNumberRsaKey(bits = 512);
        ASSERT_TRUE(issued);
        const Bytes der = Pkcs1Of(issued.get());
        SecretBytes blob;
        ASSERT_EQ(VURO_OK, getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(der.data(), DWORD(der.size()),
                                                                   bits, blob));
        EXPECT_EQ(bits * 9 / 16 + 20, blob.size());
        Container c("osblob", kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        {
            UniqueProvider prov;
            UniqueKey key;
            ASSERT_TRUE(CryptAcquireContextW(prov.put(), c.Name().c_str(), kEnhanced, PROV_RSA_FULL,
                                             CRYPT_NEWKEYSET));
            ASSERT_TRUE(
                CryptImportKey(prov.get(), blob.data(), DWORD(blob.size()), 0, 0, key.put()));
        }
        const Bytes message = Random(40);
        EXPECT_EQ(message, DecryptWith(kEnhanced, PROV_RSA_FULL, c.Name(), AT_KEYEXCHANGE,
                                       RsaEncrypt(issued.get(), message)))
            << bits;
    }
}

TEST(ImportOpenSsl, StructuresParseWithOpenSsl) {
    for (const char* oid : {"1.2.840.113549.1.1.1", "1.3.6.1.4.1.4929.1.7", "2.999.1",
                            "1.2.840.113549.1.9.16.2.47", "1.2.156.10197.1.301"}) {
        std::vector<BYTE> out;
        ASSERT_EQ(VURO_OK, ComposeObjectIdentifier(oid, &out)) << oid;
        const unsigned char* p = out.data();
        ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, long(out.size()));
        ASSERT_NE(nullptr, obj) << oid;
        EXPECT_EQ(out.data() + out.size(), p) << oid;
        char text[128];
        OBJ_obj2txt(text, sizeof text, obj, 1);
        EXPECT_STREQ(oid, text);
        ASN1_OBJECT_free(obj);
    }
    for (size_t cbSession : {size_t(0), size_t(256)}) {
        const Bytes session = Random(cbSession), privateKey = Random(1232);
        Bytes evp;
        ASSERT_EQ(VURO_OK, ComposeRSAEVPPrivateKey(privateKey.data(), DWORD(privateKey.size()),
                                                   session.data(), DWORD(session.size()), evp));
        const unsigned char* p = evp.data();
        ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, long(evp.size()));
        ASSERT_NE(nullptr, seq);
        EXPECT_EQ(evp.data() + evp.size(), p);
        ASSERT_EQ(5, sk_ASN1_TYPE_num(seq));
        ASN1_TYPE* version = sk_ASN1_TYPE_value(seq, 0);
        ASSERT_EQ(V_ASN1_INTEGER, version->type);
        EXPECT_EQ(1, ASN1_INTEGER_get(version->value.integer));
        const char* oids[] = {"1.2.840.113549.1.1.1", "1.3.6.1.4.1.4929.1.7"};
        for (int i = 0; i < 2; ++i) {
            ASN1_TYPE* t = sk_ASN1_TYPE_value(seq, 1 + i);
            ASSERT_EQ(V_ASN1_OBJECT, t->type);
            char text[64];
            OBJ_obj2txt(text, sizeof text, t->value.object, 1);
            EXPECT_STREQ(oids[i], text);
        }
        const Bytes* keys[] = {&session, &privateKey};
        for (int i = 0; i < 2; ++i) {
            ASN1_TYPE* t = sk_ASN1_TYPE_value(seq, 3 + i);
            ASSERT_EQ(V_ASN1_OCTET_STRING, t->type);
            EXPECT_EQ(*keys[i], Bytes(t->value.octet_string->data,
                                      t->value.octet_string->data + t->value.octet_string->length));
        }
        sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    }
}

TEST(ImportOpenSsl, TripleDesOfOpenSslOpensInSoftware) {
    const auto before = GuidNamed(Containers(kEnhanced, PROV_RSA_FULL));
    for (size_t n : {size_t(1), size_t(8), size_t(16), size_t(607), size_t(1193)}) {
        const Bytes key = Random(24), data = Random(n), cipher = TripleDesEcb(key, data);
        SecretBytes plain;
        ASSERT_EQ(VURO_OK, DecryptPrivateKeywithSessionKey(CALG_3DES, key.data(), 24, cipher.data(),
                                                           DWORD(cipher.size()), plain))
            << n;
        EXPECT_EQ(data, Bytes(plain.begin(), plain.end())) << n;
    }
    EXPECT_EQ(before, GuidNamed(Containers(kEnhanced, PROV_RSA_FULL)));
}

// A signing certificate goes to the key the page names. Tokens keep it with
// the key (the RSA token's middleware also puts it in "MY", and deleting the
// container takes that entry with it); software providers link their entry
// in "MY" to the key, whichever of the two it is.
TEST(ImportOpenSsl, SignCertStaysWithTheKey) {
    struct Case {
        const WCHAR* provider;
        const char* algorithm;
        ALG_ID alg;
        DWORD keySpec, bits, deleteFlags, access;
        bool token, registered;
    } cases[] = {
        {kRsaToken, "RSA", AT_SIGNATURE, AT_SIGNATURE, 1024, CRYPT_DELETEKEYSET, 0, true, true},
        {kSm2Token, "SM2", kSm2Sign, AT_SIGNATURE, 256, kSm2Delete, 0xF0000000, true, false},
        {kEnhanced, "RSA", AT_KEYEXCHANGE, AT_KEYEXCHANGE, 2048, CRYPT_DELETEKEYSET, 0, false,
         true},
        {kEnhanced, "RSA", AT_SIGNATURE, AT_SIGNATURE, 2048, CRYPT_DELETEKEYSET, 0, false, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(U8(k.provider) + " key desc " + std::to_string(k.keySpec));
        Bytes cert;
        {
            Container c("sign", k.provider, PROV_RSA_FULL, k.deleteFlags);
            const Bytes pub = NewKeyPair(k.provider, c.Name(), k.alg, k.bits);
            Pkey subject = k.alg == kSm2Sign ? Sm2PublicFromBlob(pub) : RsaPublicFromBlob(pub);
            ASSERT_TRUE(subject);
            cert = MakeCertificate(subject.get(), "Signer");
            WString text = CommaText(cert);
            ASSERT_EQ(VURO_OK, ImportSignCert(ParseKeyAlgorithm(W(k.algorithm)), text, k.keySpec,
                                              k.provider, c.Name()));
            if (k.token) {
                EXPECT_EQ(cert,
                          KeyCertificate(k.provider, PROV_RSA_FULL, c.Name(), k.keySpec, k.access));
            }
            if (!k.registered) {
                EXPECT_FALSE(InMy(cert));
                continue;
            }
            ExpectLinkedInMy(cert, k.provider, PROV_RSA_FULL, c.Name(), k.keySpec);
            // The link leads back to the key: the store hands out its provider.
            UniqueStore store = OpenMy();
            const std::vector<UniqueCertContext> entries = MyEntries(store.get(), cert);
            ASSERT_EQ(1u, entries.size());
            HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKey = 0;
            DWORD dwSpec = 0;
            BOOL fFree = FALSE;
            EXPECT_TRUE(CryptAcquireCertificatePrivateKey(entries[0].get(), 0, nullptr, &hKey,
                                                          &dwSpec, &fFree));
            EXPECT_EQ(k.keySpec, dwSpec);
            if (fFree)
                CryptReleaseContext(HCRYPTPROV(hKey), 0);
        }
        if (k.token) {
            EXPECT_FALSE(InMy(cert));
        }
        RemoveFromMy(cert);
    }
}

// The old format in the software providers and a 1024-bit token (whose
// middleware also registers the certificate in "MY"); the new RSA format,
// which the token opens itself, at the lengths only it takes that way.
TEST(ImportOpenSsl, RsaFreshAnswersInEveryProvider) {
    struct Case {
        const WCHAR* provider;
        unsigned bits;
        int encryptType;
    } cases[] = {
        {kEnhanced, 2048, 1}, {kAes, 1024, 1},      {kRsaToken, 1024, 1},
        {kRsaToken, 2048, 2}, {kRsaToken, 3072, 2},
    };
    const auto before = GuidNamed(Containers(kEnhanced, PROV_RSA_FULL));
    for (const Case& k : cases) {
        SCOPED_TRACE(U8(k.provider) + " " + std::to_string(k.bits));
        Container c("osrsa", k.provider, TypeOf(k.provider), CRYPT_DELETEKEYSET);
        Pkey temporary =
            RsaPublicFromBlob(NewKeyPair(k.provider, c.Name(), AT_KEYEXCHANGE, k.bits));
        ASSERT_TRUE(temporary);
        Pkey issued = GenerateRsa(k.bits);
        const Bytes cert = MakeCertificate(issued.get(), "Encryption");
        WString envelope = RsaEnvelope(temporary.get(), issued.get(), k.encryptType),
                text = CommaText(cert);
        ASSERT_EQ(VURO_OK, ImportEncryptCertEx(k.provider, c.Name(), KeyAlgorithm::Rsa, envelope,
                                               text, int(k.bits), 0));
        const Bytes message = Random(32);
        EXPECT_EQ(message, DecryptWith(k.provider, TypeOf(k.provider), c.Name(), AT_KEYEXCHANGE,
                                       RsaEncrypt(issued.get(), message)));
        EXPECT_TRUE(InMy(cert));
        if (k.provider == kRsaToken) {
            EXPECT_EQ(cert, KeyCertificate(k.provider, PROV_RSA_FULL, c.Name(), AT_KEYEXCHANGE));
        }
        RemoveFromMy(cert);
    }
    // An envelope made for another temporary key fails, and still leaves no
    // throw-away container.
    Container c("osoldbad", kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    ASSERT_FALSE(NewKeyPair(kEnhanced, c.Name(), AT_KEYEXCHANGE, 1024).empty());
    Pkey other = GenerateRsa(1024), issued = GenerateRsa(1024);
    WString envelope = RsaEnvelope(other.get(), issued.get(), 1),
            text = CommaText(MakeCertificate(issued.get(), "Encryption"));
    EXPECT_TRUE(FAILED(
        ImportEncryptCertEx(kEnhanced, c.Name(), KeyAlgorithm::Rsa, envelope, text, 1024, 0)));
    EXPECT_EQ(before, GuidNamed(Containers(kEnhanced, PROV_RSA_FULL)));
}

// Sm2Case: a fresh SM2 token container, its temporary exchange key's public
// half, and an issued key pair encrypted to it.
struct Sm2Setup {
    Pkey temporary, issued;
    Bytes c1c3c2, cert;
};

Sm2Setup MakeSm2(const WString& container) {
    Sm2Setup s;
    s.temporary = Sm2PublicFromBlob(NewKeyPair(kSm2Token, container, kSm2Exchange, 256));
    s.issued = GenerateSm2();
    if (s.temporary && s.issued) {
        s.c1c3c2 = Sm2EncryptC1C3C2(s.temporary.get(), Sm2Scalar(s.issued.get()));
        s.cert = MakeCertificate(s.issued.get(), "SM2 encryption");
    }
    return s;
}

Bytes ExchangePoint(const WString& container) {
    UniqueProvider prov;
    UniqueKey key;
    if (!CryptAcquireContextW(prov.put(), container.c_str(), kSm2Token, PROV_RSA_FULL,
                              0xF0000000) ||
        !CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, key.put()))
        return {};
    Pkey pub = Sm2PublicFromBlob(ExportPublic(key.get()));
    return pub ? Sm2Point(pub.get()) : Bytes();
}

TEST(ImportOpenSsl, Sm2InBothOrders) {
    for (bool fC1C2C3 : {false, true}) {
        Container c("ossm2", kSm2Token, PROV_RSA_FULL, kSm2Delete);
        Sm2Setup s = MakeSm2(c.Name());
        ASSERT_EQ(96u + 32u, s.c1c3c2.size());
        Bytes cipher = s.c1c3c2;
        if (fC1C2C3) {
            ASSERT_EQ(VURO_OK,
                      ConvertC1C3C2ToC1C2C3(s.c1c3c2.data(), DWORD(s.c1c3c2.size()), cipher));
        }
        WString envelope = Envelope(2, 2, 0, {}, WrapKey(cipher)), text = CommaText(s.cert);
        // Any key length: SM2 always takes the new format.
        ASSERT_EQ(VURO_OK, ImportEncryptCertEx(kSm2Token, c.Name(), KeyAlgorithm::Sm2, envelope,
                                               text, 1024, CRYPT_EXPORTABLE))
            << (fC1C2C3 ? "C1C2C3" : "C1C3C2");
        EXPECT_EQ(Sm2Point(s.issued.get()), ExchangePoint(c.Name()));
        EXPECT_EQ(s.cert,
                  KeyCertificate(kSm2Token, PROV_RSA_FULL, c.Name(), AT_KEYEXCHANGE, 0xF0000000));
        EXPECT_FALSE(InMy(s.cert));
    }
}

TEST(ImportOpenSsl, Sm2CiphertextsThatFitNoOrder) {
    Container c("ossm2bad", kSm2Token, PROV_RSA_FULL, kSm2Delete);
    Sm2Setup s = MakeSm2(c.Name());
    ASSERT_FALSE(s.c1c3c2.empty());
    const Bytes before = ExchangePoint(c.Name());
    UniqueProvider prov;
    ASSERT_TRUE(
        CryptAcquireContextW(prov.put(), c.Name().c_str(), kSm2Token, PROV_RSA_FULL, 0xF0000000));
    Bytes tampered = s.c1c3c2;
    tampered[100] ^= 1;
    const Bytes shortCipher(s.c1c3c2.begin(), s.c1c3c2.begin() + 90);
    for (const Bytes* cipher : std::vector<const Bytes*>{&tampered, &shortCipher}) {
        const HRESULT hrFirst =
            ImportEncryptCertEx_SM2(s.cert.data(), DWORD(s.cert.size()), cipher->data(),
                                    DWORD(cipher->size()), prov.get(), 0);
        EXPECT_TRUE(FAILED(hrFirst));
        EXPECT_EQ(hrFirst, ImportEncryptCertEx_SM2WithRetry(s.cert.data(), DWORD(s.cert.size()),
                                                            cipher->data(), DWORD(cipher->size()),
                                                            prov.get(), 0))
            << cipher->size();
        WString envelope = Envelope(2, 2, 0, {}, WrapKey(*cipher)), text = CommaText(s.cert);
        EXPECT_EQ(hrFirst, ImportEncryptCertEx(kSm2Token, c.Name(), KeyAlgorithm::Sm2, envelope,
                                               text, 256, 0));
    }
    EXPECT_EQ(before, ExchangePoint(c.Name())) << "the temporary key is still there";
    EXPECT_TRUE(
        KeyCertificate(kSm2Token, PROV_RSA_FULL, c.Name(), AT_KEYEXCHANGE, 0xF0000000).empty());
}

TEST(CertificateChecks, OnlyOneWholeCertificatePasses) {
    Pkey key = GenerateRsa(1024);
    const Bytes cert = MakeCertificate(key.get(), "Whole");
    Bytes longer = cert;
    longer.push_back(0);
    const Bytes shorter(cert.begin(), cert.end() - 1);
    const struct {
        Bytes bytes;
        HRESULT expected;
        const char* why;
    } cases[] = {
        {cert, VURO_OK, "one certificate"},
        {{}, CRYPT_E_ASN1_BADTAG, "nothing"},
        {{0x02, 0x01, 0x00}, CRYPT_E_ASN1_BADTAG, "an INTEGER"},
        {{0x30, 0x83, 0xFF, 0xFF, 0xFF}, NTE_BAD_DATA, "16 MiB claimed, 5 bytes given"},
        {{0x30, 0x82, 0xFF, 0xFF}, NTE_BAD_DATA, "32,771 bytes claimed, 4 given"},
        {{0x30, 0x80, 0x00, 0x00}, NTE_BAD_DATA, "an indefinite length"},
        {{0x30, 0x03, 0x02, 0x01, 0x00}, NTE_BAD_DATA, "a SEQUENCE that is no certificate"},
        {longer, NTE_BAD_DATA, "a byte after the certificate"},
        {shorter, NTE_BAD_DATA, "the last byte missing"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckWholeCertificate(c.bytes.empty() ? nullptr : c.bytes.data(),
                                        DWORD(c.bytes.size())),
                  c.expected)
            << c.why;
}

TEST(CertificateChecks, TheEnvelopedKeyMustBeTheCertificatesKey) {
    Pkey mine = GenerateRsa(1024), other = GenerateRsa(1024);
    const Bytes pkcs1 = Pkcs1Of(mine.get()), own = MakeCertificate(mine.get(), "Mine");
    const struct {
        const char* what;
        Bytes cert, key;
        HRESULT expected;
    } cases[] = {
        {"its own certificate", own, pkcs1, VURO_OK},
        {"another RSA key's", MakeCertificate(other.get(), "Other"), pkcs1, NTE_BAD_PUBLIC_KEY},
        {"an SM2 key's", MakeCertificate(GenerateSm2().get(), "SM2"), pkcs1, NTE_BAD_PUBLIC_KEY},
        {"a key that is no PKCS#1", own, {0x30, 0x03, 0x02, 0x01, 0x00}, NTE_BAD_DATA},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckCertificateMatchesRsaPrivateKey(c.cert.data(), DWORD(c.cert.size()),
                                                       c.key.data(), DWORD(c.key.size())),
                  c.expected)
            << c.what;
}

TEST(CertificateChecks, ContainerKeysMatchTheirOwnCertificatesOnly) {
    // RSA by modulus and exponent, SM2 by point; each against a certificate
    // of its own key and one of another key of the same kind.
    struct {
        const WCHAR* provider;
        ALG_ID alg;
        DWORD bits;
        bool rsa;
    } const cases[] = {
        {kEnhanced, AT_SIGNATURE, 1024, true},
        {kSm2Token, kSm2Sign, 256, false},
    };
    for (const auto& c : cases) {
        Container container("match", c.provider, TypeOf(c.provider),
                            c.rsa ? CRYPT_DELETEKEYSET : kSm2Delete);
        const Bytes blob = NewKeyPair(c.provider, container.Name(), c.alg, c.bits);
        ASSERT_FALSE(blob.empty());
        Pkey pub = c.rsa ? RsaPublicFromBlob(blob) : Sm2PublicFromBlob(blob);
        ASSERT_TRUE(pub);
        Pkey stranger = c.rsa ? GenerateRsa(1024) : GenerateSm2();
        const Bytes own = MakeCertificate(pub.get(), "Own");
        const Bytes foreign = MakeCertificate(stranger.get(), "Foreign");
        UniqueProvider prov;
        UniqueKey key;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.Name().c_str(), c.provider,
                                         TypeOf(c.provider), c.rsa ? 0 : 0xF0000000));
        ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_SIGNATURE, key.put()));
        EXPECT_EQ(CheckCertificateMatchesKey(own.data(), DWORD(own.size()), prov.get(), key.get(),
                                             AT_SIGNATURE, c.rsa),
                  VURO_OK);
        EXPECT_EQ(CheckCertificateMatchesKey(foreign.data(), DWORD(foreign.size()), prov.get(),
                                             key.get(), AT_SIGNATURE, c.rsa),
                  NTE_BAD_PUBLIC_KEY);
    }
}

} // namespace
