// The stand-in token providers, checked by an independent implementation:
// OpenSSL verifies the SM2 token's signatures and makes the envelopes the
// tokens import, and child processes show that containers persist and that
// two writers in different containers do not disturb each other.
#include "foundation/Handles.h"
#include "tests/support/OpensslKeys.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/KeyBlobs.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/encoder.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<BYTE>;
using orvane::checks::Encode;
using orvane::checks::EvpStructure;
using orvane::checks::GenerateRsa;
using orvane::checks::Pkey;
using orvane::checks::PkeyCtx;
using orvane::checks::RsaEncrypt;
using orvane::checks::RsaPublicFromBlob;
using orvane::checks::Sm2EncryptC1C3C2;
using orvane::checks::Sm2PublicFromBlob;
using orvane::checks::TripleDesEcb;
using orvane::tests::EnvelopeBlob;
using orvane::tests::ExportKey;
using orvane::tests::KeyCertificate;

const WCHAR kSm2Csp[] = u"Orvane Soft SM2 Token CSP v1.0";
const WCHAR kRsaCsp[] = u"Orvane Soft RSA Token CSP v1.0";
constexpr ALG_ID kSm2Sign = 0x3E00;
constexpr ALG_ID kSm2Exchange = 0xBE00;
constexpr ALG_ID kSm3 = 0x800F;
constexpr DWORD kAccessExisting = 0xF0000000;
constexpr DWORD kDeleteContainer = 0xFFFF0002;
const char kDefaultId[] = "1234567812345678";

// Container: a name of this run in one token, deleted before and after use.
class Container {
public:
    Container(const WCHAR* csp, const char* tag) : csp_(csp) {
        name_ = W("OrvaneTokenTest-") + W(tag) + W("-") + W(std::to_string(getpid()).c_str());
        Delete();
    }
    ~Container() { Delete(); }
    const WCHAR* c_str() const { return name_.c_str(); }
    bool Acquire(UniqueProvider& prov, DWORD flags) const {
        return CryptAcquireContextW(prov.put(), name_.c_str(), csp_, PROV_RSA_FULL, flags) != FALSE;
    }
    std::string Ansi() const { return U8(name_); }
    void Delete() {
        HCRYPTPROV h = 0;
        CryptAcquireContextW(&h, name_.c_str(), csp_, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }

private:
    const WCHAR* csp_;
    WString name_;
};

Bytes Sign(HCRYPTPROV prov, ALG_ID hashAlg, DWORD keySpec, const std::string& message) {
    return orvane::tests::SignData(prov, hashAlg, keySpec,
                                   reinterpret_cast<const BYTE*>(message.data()), message.size());
}

// BytesOf: the DER of a fixed test certificate.
Bytes BytesOf(const TestCertificate& c) {
    return Bytes(c.data, c.data + c.size);
}

// ExpectExchangeCertificate: the container's exchange key keeps want.
void ExpectExchangeCertificate(HCRYPTPROV prov, const TestCertificate& want) {
    UniqueKey user;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, user.put()));
    EXPECT_EQ(BytesOf(want), KeyCertificate(user.get()));
}

// --- SM2 through OpenSSL ----------------------------------------------------

Bytes PointOf(EVP_PKEY* key) {
    Bytes point(65);
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &len);
    return point;
}

// Sm2Der: the token's r || s (each least significant byte first) as the DER
// signature OpenSSL reads.
Bytes Sm2Der(const Bytes& sig) {
    Bytes r(sig.rend() - 32, sig.rend()), s(sig.rbegin(), sig.rbegin() + 32);
    ECDSA_SIG* es = ECDSA_SIG_new();
    ECDSA_SIG_set0(es, BN_bin2bn(r.data(), 32, nullptr), BN_bin2bn(s.data(), 32, nullptr));
    unsigned char* der = nullptr;
    const int derLen = i2d_ECDSA_SIG(es, &der);
    ECDSA_SIG_free(es);
    Bytes out(der, der + (derLen > 0 ? derLen : 0));
    OPENSSL_free(der);
    return out;
}

// OpensslVerify: whether OpenSSL finds sig (in its own encoding) a signature
// of message with digest under key; pctx, when given, carries the key's
// settings (an SM2 identity) and stays the caller's.
bool OpensslVerify(EVP_PKEY* key, const char* digest, EVP_PKEY_CTX* pctx, const Bytes& sig,
                   const std::string& message) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (pctx != nullptr)
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
    const bool ok =
        EVP_DigestVerifyInit_ex(md, nullptr, digest, nullptr, nullptr, key, nullptr) == 1 &&
        EVP_DigestVerify(md, sig.data(), sig.size(),
                         reinterpret_cast<const unsigned char*>(message.data()),
                         message.size()) == 1;
    EVP_MD_CTX_free(md);
    return ok;
}

// VerifySm2: the signature checked by OpenSSL with SM3 and the default identity.
bool VerifySm2(EVP_PKEY* key, const std::string& message, const Bytes& sig) {
    if (sig.size() != 64)
        return false;
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    EVP_PKEY_CTX_set1_id(pctx, kDefaultId, 16);
    const bool ok = OpensslVerify(key, "SM3", pctx, Sm2Der(sig), message);
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

// VerifySm2Digest: the signature checked over a digest already made (Z included).
bool VerifySm2Digest(EVP_PKEY* key, const Bytes& digest, const Bytes& sig) {
    const Bytes der = Sm2Der(sig);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    return EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest.data(), digest.size()) == 1;
}

// Generate: a new key pair in the provider, its public half through OpenSSL.
Pkey Generate(HCRYPTPROV prov, ALG_ID alg, DWORD flags, bool sm2 = true) {
    UniqueKey key;
    if (!CryptGenKey(prov, alg, flags, key.put()))
        return nullptr;
    const Bytes blob = ExportKey(key.get(), PUBLICKEYBLOB);
    return sm2 ? Sm2PublicFromBlob(blob) : RsaPublicFromBlob(blob);
}

TEST(CspSm2Token, SignatureVerifiesWithOpenSsl) {
    Container c(kSm2Csp, "sign");
    UniqueProvider prov;
    ASSERT_TRUE(c.Acquire(prov, CRYPT_NEWKEYSET));
    UniqueKey key;
    ASSERT_TRUE(CryptGenKey(prov.get(), kSm2Sign, 256 << 16, key.put()))
        << std::hex << GetLastError();
    const Bytes blob = ExportKey(key.get(), PUBLICKEYBLOB);
    // 8-byte header, bit length, X field, Y field (each 64 bytes, value first).
    ASSERT_EQ(140u, blob.size());
    EXPECT_EQ(PUBLICKEYBLOB, blob[0]);
    EXPECT_EQ(256u, blob[8] | (blob[9] << 8));
    EXPECT_TRUE(std::all_of(blob.begin() + 44, blob.begin() + 76, [](BYTE b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(blob.begin() + 108, blob.end(), [](BYTE b) { return b == 0; }));
    Pkey pub = Sm2PublicFromBlob(blob);
    ASSERT_TRUE(pub);

    // The same point through CryptExportPublicKeyInfo: id-ecPublicKey, SM2 curve.
    DWORD infoSize = 0;
    ASSERT_TRUE(
        CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &infoSize));
    Bytes block(infoSize);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(block.data());
    ASSERT_TRUE(
        CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE, X509_ASN_ENCODING, info, &infoSize));
    EXPECT_STREQ("1.2.840.10045.2.1", info->Algorithm.pszObjId);
    EXPECT_EQ(PointOf(pub.get()),
              Bytes(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData));

    const std::string message = "the data a page asks to sign";
    const Bytes sig = Sign(prov.get(), kSm3, AT_SIGNATURE, message);
    ASSERT_EQ(64u, sig.size());
    EXPECT_TRUE(VerifySm2(pub.get(), message, sig));
    // The check can fail: another message, or a flipped byte of s.
    EXPECT_FALSE(VerifySm2(pub.get(), message + ".", sig));
    Bytes flipped = sig;
    flipped[40] ^= 1;
    EXPECT_FALSE(VerifySm2(pub.get(), message, flipped));
}

// The hash streams: data given in many pieces signs as data given at once,
// for the pair the hash was made for (signature pair, else exchange pair);
// HP_HASHVAL is that pair's digest; the other pair refuses to sign it.
TEST(CspSm2Token, HashStreamsForThePairItIsMadeFor) {
    std::string message(100000, '\0');
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = char(i * 31 + 7);
    for (bool both : {false, true}) {
        SCOPED_TRACE(both ? "signature and exchange pairs" : "exchange pair only");
        Container c(kSm2Csp, both ? "stream-both" : "stream-exchange");
        UniqueProvider prov;
        ASSERT_TRUE(c.Acquire(prov, CRYPT_NEWKEYSET));
        Pkey exchange = Generate(prov.get(), kSm2Exchange, 0), signature;
        ASSERT_TRUE(exchange);
        if (both) {
            signature = Generate(prov.get(), kSm2Sign, 0);
            ASSERT_TRUE(signature);
        }
        const DWORD madeFor = both ? AT_SIGNATURE : AT_KEYEXCHANGE;
        EVP_PKEY* pub = both ? signature.get() : exchange.get();
        UniqueHash hash;
        ASSERT_TRUE(CryptCreateHash(prov.get(), kSm3, 0, 0, hash.put()));
        for (size_t at = 0; at < message.size(); at += 777) {
            const size_t n = std::min<size_t>(777, message.size() - at);
            ASSERT_TRUE(CryptHashData(
                hash.get(), reinterpret_cast<const BYTE*>(message.data() + at), DWORD(n), 0));
        }
        Bytes value(32);
        DWORD size = 32;
        ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHVAL, value.data(), &size, 0));
        DWORD sigSize = 64;
        Bytes sig(sigSize);
        if (both) {
            EXPECT_FALSE(
                CryptSignHashW(hash.get(), AT_KEYEXCHANGE, nullptr, 0, sig.data(), &sigSize));
            EXPECT_EQ(DWORD(NTE_BAD_KEY), GetLastError());
        }
        ASSERT_TRUE(CryptSignHashW(hash.get(), madeFor, nullptr, 0, sig.data(), &sigSize));
        EXPECT_TRUE(VerifySm2(pub, message, sig));
        // HP_HASHVAL is the digest that was signed: SM3(Z || data) of that pair.
        EXPECT_TRUE(VerifySm2Digest(pub, value, sig));
        // Pieces or all at once: the same digest.
        Bytes again(32);
        UniqueHash whole;
        ASSERT_TRUE(CryptCreateHash(prov.get(), kSm3, 0, 0, whole.put()));
        ASSERT_TRUE(CryptHashData(whole.get(), reinterpret_cast<const BYTE*>(message.data()),
                                  DWORD(message.size()), 0));
        size = 32;
        ASSERT_TRUE(CryptGetHashParam(whole.get(), HP_HASHVAL, again.data(), &size, 0));
        EXPECT_EQ(value, again);
    }
}

TEST(CspSm2Token, EnvelopedKeyImportsInOneOrderAndSigns) {
    Container c(kSm2Csp, "envelope");
    UniqueProvider prov;
    ASSERT_TRUE(c.Acquire(prov, CRYPT_NEWKEYSET));
    Pkey temporary = Generate(prov.get(), kSm2Exchange, 0);
    ASSERT_TRUE(temporary);
    // The authority's key pair, made by OpenSSL; its scalar travels encrypted.
    PkeyCtx gen(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(1, EVP_PKEY_keygen_init(gen.get()));
    ASSERT_EQ(1, EVP_PKEY_generate(gen.get(), &raw));
    Pkey issued(raw);
    BIGNUM* d = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(issued.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d));
    Bytes scalar(32);
    BN_bn2binpad(d, scalar.data(), 32);
    BN_clear_free(d);
    const Bytes c1c3c2 = Sm2EncryptC1C3C2(temporary.get(), scalar);
    ASSERT_EQ(96u + 32u, c1c3c2.size());
    Bytes c1c2c3(c1c3c2.begin(), c1c3c2.begin() + 64);
    c1c2c3.insert(c1c2c3.end(), c1c3c2.begin() + 96, c1c3c2.end());
    c1c2c3.insert(c1c2c3.end(), c1c3c2.begin() + 64, c1c3c2.begin() + 96);

    struct Case {
        const char* what;
        const Bytes* cipher;
        bool accepted;
    } cases[] = {
        // The other order fails its check value, so the system retries.
        {"C1C2C3", &c1c2c3, false},
        {"C1C3C2", &c1c3c2, true},
    };
    for (const Case& k : cases) {
        const Bytes blob =
            EnvelopeBlob(kSm2Exchange, {kSm2Exchange, static_cast<DWORD>(k.cipher->size() * 8)},
                         k.cipher->data());
        ASSERT_EQ(16 + sizeof(void*), blob.size());
        UniqueKey key;
        EXPECT_EQ(k.accepted,
                  CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                                 key.put()) != FALSE)
            << k.what;
        if (!k.accepted) {
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError()) << k.what;
            continue;
        }
        // The imported pair is the issued one: same point, and it signs.
        const Bytes exported = ExportKey(key.get(), PUBLICKEYBLOB);
        Pkey fromBlob = Sm2PublicFromBlob(exported);
        ASSERT_TRUE(fromBlob);
        EXPECT_EQ(PointOf(issued.get()), PointOf(fromBlob.get()));
        const std::string message = "signed by the imported key";
        EXPECT_TRUE(
            VerifySm2(issued.get(), message, Sign(prov.get(), kSm3, AT_KEYEXCHANGE, message)));

        // The certificate is kept with the key pair.
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, kEcCertificate.data, 0));
        UniqueProvider again;
        ASSERT_TRUE(c.Acquire(again, kAccessExisting));
        ASSERT_NO_FATAL_FAILURE(ExpectExchangeCertificate(again.get(), kEcCertificate));
    }
}

TEST(CspSm2Token, ContainerLifeCycleWithVendorFlags) {
    Container c(kSm2Csp, "life");
    UniqueProvider missing;
    // Access to a container that does not exist.
    EXPECT_FALSE(c.Acquire(missing, kAccessExisting));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
    {
        UniqueProvider prov;
        ASSERT_TRUE(c.Acquire(prov, CRYPT_NEWKEYSET));
        UniqueKey key;
        // RSA key lengths are not SM2's.
        EXPECT_FALSE(CryptGenKey(prov.get(), kSm2Sign, 1024 << 16, key.put()));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
        ASSERT_TRUE(CryptGenKey(prov.get(), kSm2Sign, 0, key.put()));
    }
    // A verify context lists it.
    {
        UniqueProvider verify;
        ASSERT_TRUE(CryptAcquireContextW(verify.put(), nullptr, kSm2Csp, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT));
        bool found = false;
        for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
            char name[256];
            DWORD size = sizeof name;
            if (!CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name),
                                   &size, flags))
                break;
            found = found || c.Ansi() == name;
        }
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
        EXPECT_TRUE(found);
    }
    // The vendor delete flags remove it; access afterwards fails.
    HCRYPTPROV none = 0;
    ASSERT_TRUE(CryptAcquireContextW(&none, c.c_str(), kSm2Csp, PROV_RSA_FULL, kDeleteContainer));
    EXPECT_EQ(0u, none);
    EXPECT_FALSE(CryptAcquireContextW(&none, c.c_str(), kSm2Csp, PROV_RSA_FULL, kAccessExisting));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
    // The software providers never see token containers.
    EXPECT_FALSE(CryptAcquireContextW(&none, c.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0));
}

// --- the RSA token ------------------------------------------------------------

bool RsaVerifySha1(EVP_PKEY* key, const std::string& message, const Bytes& sigLe) {
    return OpensslVerify(key, "SHA1", nullptr, Bytes(sigLe.rbegin(), sigLe.rend()), message);
}

TEST(CspRsaToken, NewFormatEnvelopeImportsUnderTheExchangeKey) {
    Container c(kRsaCsp, "evp");
    UniqueProvider prov;
    ASSERT_TRUE(c.Acquire(prov, CRYPT_NEWKEYSET));
    Pkey temporary = Generate(prov.get(), AT_KEYEXCHANGE, 1024 << 16, false);
    ASSERT_TRUE(temporary);
    {
        // A token's private key never leaves it.
        UniqueKey key;
        ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, key.put()));
        DWORD size = 0;
        EXPECT_FALSE(CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size));
    }
    Pkey issued = GenerateRsa(1024);
    ASSERT_TRUE(issued);
    const Bytes pkcs1 = Encode(issued.get(), "DER", "type-specific");
    ASSERT_FALSE(pkcs1.empty());
    Bytes session(24);
    RAND_bytes(session.data(), 24);
    const Bytes sessionCipher = RsaEncrypt(temporary.get(), session);
    const Bytes keyCipher = TripleDesEcb(session, pkcs1);
    const Bytes tokenOid = {0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};
    Bytes tamperedSession = sessionCipher;
    tamperedSession[5] ^= 0x40;

    struct Case {
        const char* what;
        Bytes evp;
        DWORD keyBits;
        DWORD error; // 0: accepted
    } cases[] = {
        // The session key does not open under the exchange key.
        {"tampered session key", EvpStructure(tamperedSession, keyCipher, tokenOid), 1024,
         static_cast<DWORD>(NTE_BAD_DATA)},
        // A symmetric algorithm this token does not define.
        {"other cipher", EvpStructure(sessionCipher, keyCipher, {0x2A, 0x03}), 1024,
         static_cast<DWORD>(NTE_BAD_ALGID)},
        // The blob's key length disagrees with the key inside.
        {"length", EvpStructure(sessionCipher, keyCipher, tokenOid), 2048,
         static_cast<DWORD>(NTE_BAD_DATA)},
        {"good", EvpStructure(sessionCipher, keyCipher, tokenOid), 1024, 0},
    };
    for (const Case& k : cases) {
        const Bytes blob = EnvelopeBlob(
            CALG_RSA_KEYX, {CALG_RSA_KEYX, k.keyBits, static_cast<DWORD>(k.evp.size() * 8)},
            k.evp.data());
        ASSERT_EQ(20 + sizeof(void*), blob.size());
        UniqueKey key;
        const BOOL ok = CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()), 0,
                                       0, key.put());
        if (k.error != 0) {
            EXPECT_FALSE(ok) << k.what;
            EXPECT_EQ(k.error, GetLastError()) << k.what;
            continue;
        }
        ASSERT_TRUE(ok) << std::hex << GetLastError();
        Pkey fromBlob = RsaPublicFromBlob(ExportKey(key.get(), PUBLICKEYBLOB));
        ASSERT_TRUE(fromBlob);
        EXPECT_EQ(1, EVP_PKEY_eq(issued.get(), fromBlob.get()));
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, kRsaCertificate.data, 0));
    }
    // The container's exchange pair is now the issued one, with its certificate.
    UniqueProvider again;
    ASSERT_TRUE(CryptAcquireContextW(again.put(), c.c_str(), kRsaCsp, PROV_RSA_FULL, 0));
    EXPECT_TRUE(
        RsaVerifySha1(issued.get(), "abc", Sign(again.get(), CALG_SHA1, AT_KEYEXCHANGE, "abc")));
    ASSERT_NO_FATAL_FAILURE(ExpectExchangeCertificate(again.get(), kRsaCertificate));
}

TEST(CspRsaToken, PlainPrivateBlobImportsAndDecrypts) {
    Container c(kRsaCsp, "plain");
    UniqueProvider prov;
    ASSERT_TRUE(c.Acquire(prov, CRYPT_NEWKEYSET));
    Pkey issued = GenerateRsa(1024);
    ASSERT_TRUE(issued);
    // OpenSSL writes the operating system's private key blob itself.
    const Bytes blob = Encode(issued.get(), "MSBLOB", nullptr);
    ASSERT_EQ(20u + 9u * 1024u / 16u, blob.size());
    UniqueKey key;
    ASSERT_TRUE(
        CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, key.put()));
    const Bytes plain = {'t', 'o', 'k', 'e', 'n'};
    const Bytes cipher = RsaEncrypt(issued.get(), plain);
    Bytes data(cipher.rbegin(), cipher.rend());
    DWORD length = static_cast<DWORD>(data.size());
    ASSERT_TRUE(CryptDecrypt(key.get(), 0, TRUE, 0, data.data(), &length));
    data.resize(length);
    EXPECT_EQ(plain, data);
    // The pair went into the container, not to the software providers.
    UniqueProvider soft;
    EXPECT_FALSE(CryptAcquireContextW(soft.put(), c.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
}

// --- handles ------------------------------------------------------------------

// Regression: a token kept whatever followed a certificate header as the
// key's certificate (a header claiming 32 KiB over 4 bytes stored 32 KiB of
// the caller's memory), and a header claiming 16 MiB crashed the process.
// Only one whole certificate is kept; anything else is refused as Windows'
// providers refuse it, and the certificate already there stays.
TEST(CspTokens, KeyCertificateIsOneWholeCertificateOrNothing) {
    const Bytes good = BytesOf(kRsaCertificate);
    Bytes longer = good; // the outer length one more, over a byte that belongs to nothing
    ASSERT_EQ(0x82, longer[1]);
    const size_t outer = (size_t(longer[2]) << 8 | longer[3]) + 1;
    longer[2] = BYTE(outer >> 8);
    longer[3] = BYTE(outer);
    longer.push_back(0x00);
    Bytes trailing = good;
    trailing.insert(trailing.end(), {0x05, 0x00});

    struct Case {
        const char* what;
        Bytes value;
        DWORD error; // 0: kept
        size_t kept; // bytes kept as the certificate
    } cases[] = {
        // Invalid: headers alone, claiming far more than they come with.
        {"header claiming 16 MiB", {0x30, 0x83, 0xFF, 0xFF, 0xFF}, DWORD(NTE_BAD_DATA), 0},
        {"header claiming 32 KiB", {0x30, 0x82, 0x7F, 0xFF}, DWORD(NTE_BAD_DATA), 0},
        {"indefinite length", {0x30, 0x80, 0x02, 0x01, 0x07, 0x00, 0x00}, DWORD(NTE_BAD_DATA), 0},
        // Invalid: not a certificate at all.
        {"octet string", {0x04, 0x03, 0x01, 0x02, 0x03}, DWORD(CRYPT_E_ASN1_BADTAG), 0},
        {"sequence of an integer", {0x30, 0x03, 0x02, 0x01, 0x07}, DWORD(NTE_BAD_DATA), 0},
        // Invalid: a certificate cut short, and one whose length takes in a stray byte.
        {"first half", Bytes(good.begin(), good.begin() + good.size() / 2), DWORD(NTE_BAD_DATA), 0},
        {"length one too long", longer, DWORD(NTE_BAD_DATA), 0},
        // What follows a whole certificate is not part of it.
        {"certificate and more", trailing, 0, good.size()},
        {"certificate", good, 0, good.size()},
    };
    const struct {
        const WCHAR* csp;
        ALG_ID alg;
        DWORD flags;
    } tokens[] = {{kSm2Csp, kSm2Sign, 0}, {kRsaCsp, AT_SIGNATURE, 1024u << 16}};
    for (const auto& t : tokens) {
        Container c(t.csp, "keycert");
        UniqueProvider prov;
        ASSERT_TRUE(c.Acquire(prov, CRYPT_NEWKEYSET));
        UniqueKey key;
        ASSERT_TRUE(CryptGenKey(prov.get(), t.alg, t.flags, key.put()));
        const Bytes before = BytesOf(kEcCertificate);
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, before.data(), 0));
        for (const Case& k : cases) {
            // The value sits at the start of a larger buffer of other bytes,
            // as a caller's value sits in its memory.
            Bytes memory(k.value);
            memory.resize(k.value.size() + 0x11000, 0xA5);
            const bool ok = CryptSetKeyParam(key.get(), KP_CERTIFICATE, memory.data(), 0) != FALSE;
            EXPECT_EQ(k.error == 0, ok) << U8(t.csp) << ": " << k.what;
            if (!ok) {
                EXPECT_EQ(k.error, GetLastError()) << U8(t.csp) << ": " << k.what;
            }
            const Bytes expected = ok ? Bytes(k.value.begin(), k.value.begin() + k.kept) : before;
            EXPECT_EQ(expected, KeyCertificate(key.get())) << U8(t.csp) << ": " << k.what;
            if (ok) { // back to the first certificate for the next case
                ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, before.data(), 0));
            }
        }
    }
}

TEST(CspHandles, EachKindIsCheckedAndStaleHandlesFail) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, CALG_3DES, 0, &key));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    HCRYPTKEY out = 0;
    DWORD size = 4;
    BYTE buffer[4];
    // A handle of another kind is refused with that kind's error.
    EXPECT_FALSE(CryptGenKey(key, AT_KEYEXCHANGE, 0, &out));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), GetLastError());
    EXPECT_FALSE(CryptGetKeyParam(hash, KP_ALGID, buffer, &size, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());
    EXPECT_FALSE(CryptHashData(key, buffer, 1, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH), GetLastError());
    // Released handles are gone, even while their objects could live on.
    ASSERT_TRUE(CryptDestroyKey(key));
    EXPECT_FALSE(CryptDestroyKey(key));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());
    ASSERT_TRUE(CryptDestroyHash(hash));
    EXPECT_FALSE(CryptHashData(hash, buffer, 1, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH), GetLastError());
    ASSERT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_FALSE(CryptReleaseContext(prov, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), GetLastError());
    EXPECT_FALSE(CryptGenRandom(prov, 4, buffer));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), GetLastError());
}

TEST(CspHandles, ThreadsSignThroughOneProvider) {
    Container c(kSm2Csp, "threads");
    UniqueProvider prov;
    ASSERT_TRUE(c.Acquire(prov, CRYPT_NEWKEYSET));
    Pkey pub = Generate(prov.get(), kSm2Sign, 0);
    ASSERT_TRUE(pub);
    std::vector<Bytes> sigs(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < sigs.size(); ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 10; ++n)
                sigs[i] = Sign(prov.get(), kSm3, AT_SIGNATURE, "thread " + std::to_string(i));
        });
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < sigs.size(); ++i)
        EXPECT_TRUE(VerifySm2(pub.get(), "thread " + std::to_string(i), sigs[i])) << i;
}

// --- processes ----------------------------------------------------------------

// Child: run this program's CspTokenChild test with a container name; the
// exit status says whether it passed.
pid_t SpawnChild(const std::string& container) {
    const std::string filter = "--gtest_filter=CspTokenChild.GenerateInNamedContainer";
    const std::string env = "ORVANE_CSP_CHILD_CONTAINER=" + container;
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e)
        envs.emplace_back(*e);
    envs.push_back(env);
    std::vector<char*> envp;
    for (auto& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::vector<char*> argv = {self.data(), const_cast<char*>(filter.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// The child's part: a new container with a signature key pair in each token.
TEST(CspTokenChild, GenerateInNamedContainer) {
    const char* name = std::getenv("ORVANE_CSP_CHILD_CONTAINER");
    if (name == nullptr)
        GTEST_SKIP() << "runs only as the child of the process tests";
    const WString container = W(name);
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), container.c_str(), kSm2Csp, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    UniqueKey key;
    ASSERT_TRUE(CryptGenKey(prov.get(), kSm2Sign, 0, key.put()));
}

TEST(CspSm2Token, ContainersPersistAcrossProcesses) {
    Container a(kSm2Csp, "procA"), b(kSm2Csp, "procB");
    // Two children at once, each in its own container.
    const pid_t pa = SpawnChild(a.Ansi()), pb = SpawnChild(b.Ansi());
    ASSERT_GT(pa, 0);
    ASSERT_GT(pb, 0);
    EXPECT_EQ(0, Wait(pa));
    EXPECT_EQ(0, Wait(pb));
    for (const Container* c : {&a, &b}) {
        UniqueProvider prov;
        ASSERT_TRUE(c->Acquire(prov, kAccessExisting)) << c->Ansi();
        UniqueKey key;
        ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_SIGNATURE, key.put()));
        Pkey pub = Sm2PublicFromBlob(ExportKey(key.get(), PUBLICKEYBLOB));
        ASSERT_TRUE(pub);
        EXPECT_TRUE(VerifySm2(pub.get(), "x", Sign(prov.get(), kSm3, AT_SIGNATURE, "x")));
    }
    // A deleted container is gone for the next process as well.
    a.Delete();
    const pid_t pc = SpawnChild(a.Ansi()); // may create it anew: it was gone
    EXPECT_EQ(0, Wait(pc));
}

} // namespace
