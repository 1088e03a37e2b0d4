// Conformance of the software RSA providers as the system uses them: provider
// lookup, the container life cycle, blob layouts and byte orders, signatures,
// decryption, the exponent-of-one session-key import and the Base provider's
// limits. On Windows this checks the system's providers (under Wine, Wine's);
// on POSIX the stand-in. Containers are named per run and removed at the start
// and the end of each test.
#include "tests/support/TestCertificates.h"
#include "foundation/Handles.h"
#include "tests/support/KeyBlobs.h"
#include "tests/support/TestSupport.h"
#include "tests/winapi/WinApiTestHelpers.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

// A 1024-bit RSA key pair made with the OpenSSL command line for this test
// ("genrsa 1024", then "rsa -outform MSBLOB": OpenSSL writes the same private
// key blob as CryptoAPI), with answers computed by OpenSSL from the same key.
const char* const kKeyBlob =
    "0702000000a400005253413200040000010001009babf1c7df234e7f9ee272f565889a8ce76e7c63"
    "31ca3fe76590ad26f31ce7b1624158e47225f5b638c797aa3e2daa72ea0ac04ca77c270befc5cd10"
    "63829a5786923db0677e7f4fd558d822d11d6db580f916c7f0239237281357cef7346c29016b3549"
    "6a7211dc567c2ad69df7e5d4734a2339358b3afff791fa7bd0cc56c421bd348316ecab79a3878e6b"
    "db23e83d65ecd1f2ed1db67851afadfc386fefc69469c7bd6bcb25a761e6acf01b8f38eb434421ef"
    "94e16cca261899a537ab54ef3b751adb520bbcb6ffc758360848fb12184267ddd2c2e4469f1005c5"
    "70cc96df25a8c2d4fa8c19e0c71e5dc4b463fda820e449ae88fa458a85230903029403d2c1e7544c"
    "75cdd0874a1edf718895cc0f8231f8c6a97d8373b7e4d8d269059598c268bede1dbc7c559520ea9c"
    "5b1e275514201b08a79962ea5d3d5dcfc6c4be618d6ff273481a7efdb136e4d7694c6eb3e06f4622"
    "d57e6fb632315567a210184d264e9bf321bac361a18ec5ee20de4aae6a3340c3f8dd042fd38f1ae0"
    "5b9c72abf006b7cb53188f8091ddfaeee67472bc23e4ae25d8574baac0696e7941dcf4bfb6bfcbee"
    "56e1a3ef5db058594f1c14c1663aa0d2ad106e650890735521403a36c15c4b48db49ddbc368fd1ce"
    "09f450dc205239d8514b6735ba51767cbe4a923008b93c68629afa57842fd4f7ff3ecf9514ffed12"
    "6dabe7a7043577bd9189eccd934e1816a85a427d4977b60e208d1ea7657bdc169d492e83ab30ffc5"
    "540e8ede0b2031973ad8e8449b875751e04f30f539fd764ac60fe46238b72fbad8154e2b";
// "dgst -sha1 -sign" over "abc", reversed to least significant byte first.
const char* const kSignatureAbc =
    "fb5c6bc4c828da8177b0662fcc151013b96d8bca669ed983d57c40799c13e0e01eeeffef20758804"
    "1a8901df15f29a451a5e033ca735533a8c0bb6f4a67c14c615479f0a9b638131103cd82cf772e0be"
    "f57ad79d09aa5213558860ed1f061b4c9aa15e86fd06aa2614df8dbb2c200259e0041d50863023f7"
    "731dee1945459740";
// "pkeyutl -encrypt" of kWrappedText, reversed to least significant byte first.
const char* const kCipherLe =
    "188726e5350ea7c0195d18a279e051c63589f2e2015ad44340063e9a153ade7a1b548f9a08655cfa"
    "d50d977ab7f33c77e341df0e9397ea7baf07370fb92f8b068981dcca449c5db881117c4f1ee08ad2"
    "42c07dd1cfd8ac033d4a6aec58a150b40e5317862589cea4fd4fbc3b2d259571638b0a05d21ab608"
    "6161abe48ea04193";
// "rsa -RSAPublicKey_out -outform DER": the key's RSAPublicKey.
const char* const kRsaPublicKeyDer =
    "30818902818100c456ccd07bfa91f7ff3a8b3539234a73d4e5f79dd62a7c56dc11726a49356b0129"
    "6c34f7ce571328379223f0c716f980b56d1dd122d858d54f7f7e67b03d9286579a826310cdc5ef0b"
    "277ca74cc00aea72aa2d3eaa97c738b6f52572e4584162b1e71cf326ad9065e73fca31637c6ee78c"
    "9a8865f572e29e7f4e23dfc7f1ab9b0203010001";
const char* const kWrappedText = "session key wrapped for the test";
// "enc -des-ede3 -nosalt" (ECB, PKCS#5 padding) of kTripleDesText under kTripleDesKey.
const char* const kTripleDesKey = "0123456789abcdeffedcba987654321089abcdef01234567";
const char* const kTripleDesCipher =
    "a3d9e63e73b4cb64ab6c04418a9bbaa89eff3818eb4b0324042e4cc5fdbc7d7286264a9a9836a469";
const char* const kTripleDesText = "Orvane 3DES-ECB known answer text";

using orvane::tests::ExportKey;
using orvane::tests::Hex;

Bytes Text(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

DWORD Le32(const Bytes& b, size_t at) {
    return static_cast<DWORD>(b[at]) | (static_cast<DWORD>(b[at + 1]) << 8) |
           (static_cast<DWORD>(b[at + 2]) << 16) | (static_cast<DWORD>(b[at + 3]) << 24);
}
void PutLe32(Bytes& b, size_t at, DWORD v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<BYTE>(v >> (8 * i));
}

struct ProvInfo {
    const WCHAR* name;
    DWORD type;
};
const ProvInfo kBase{MS_DEF_PROV_W, PROV_RSA_FULL};
const ProvInfo kEnhanced{MS_ENHANCED_PROV_W, PROV_RSA_FULL};
const ProvInfo kAes{MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES};
const ProvInfo kAll[] = {kBase, kEnhanced, kAes};

DWORD Error() {
    return GetLastError();
}

// UniqueContainer: a container name of this run, removed before and after use.
class UniqueContainer {
public:
    explicit UniqueContainer(const char* tag) {
        name_ = W("OrvaneCspTest-") + W(tag) + orvane::tests::GuidText();
        Delete();
    }
    ~UniqueContainer() { Delete(); }
    const WCHAR* c_str() const { return name_.c_str(); }
    std::string Ansi() const { return U8(name_); }

private:
    void Delete() {
        HCRYPTPROV h = 0;
        CryptAcquireContextW(&h, name_.c_str(), kEnhanced.name, kEnhanced.type, CRYPT_DELETEKEYSET);
    }
    WString name_;
};

Bytes SignSha1(HCRYPTPROV prov, DWORD keySpec, const Bytes& data) {
    return orvane::tests::SignData(prov, CALG_SHA1, keySpec, data.data(), data.size());
}

// Acquire: a handle on `container` of provider p (null: a verify context).
BOOL Acquire(UniqueProvider& prov, const ProvInfo& p, const WCHAR* container, DWORD flags) {
    return CryptAcquireContextW(prov.put(), container, p.name, p.type, flags);
}

DWORD KeyParam(HCRYPTKEY key, DWORD param) {
    DWORD value = 0, size = sizeof value;
    EXPECT_TRUE(CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &size, 0)) << param;
    return value;
}

TEST(CspRsa, ProvidersAreListedWithTheirTypes) {
    // Each of the three software providers is listed once, with its own type.
    for (const ProvInfo& want : kAll) {
        int seen = 0;
        for (DWORD i = 0;; ++i) {
            DWORD type = 0, size = 0;
            if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &size)) {
                EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), Error());
                break;
            }
            WString name(size / sizeof(WCHAR), 0);
            ASSERT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &size));
            name.resize(size / sizeof(WCHAR) - 1);
            if (name == want.name) {
                ++seen;
                EXPECT_EQ(want.type, type) << U8(name);
            }
        }
        EXPECT_EQ(1, seen) << U8(want.name);
    }
}

TEST(CspRsa, ProviderLookupErrors) {
    UniqueContainer c("lookup");
    struct Case {
        const WCHAR* provider;
        DWORD type;
        DWORD flags;
        DWORD error;
    } cases[] = {
        // The AES provider asked for as type 1: the type must match the name.
        {MS_ENH_RSA_AES_PROV_W, PROV_RSA_FULL, 0, DWORD(NTE_PROV_TYPE_NO_MATCH)},
        // The Enhanced provider asked for as type 24.
        {MS_ENHANCED_PROV_W, PROV_RSA_AES, 0, DWORD(NTE_PROV_TYPE_NO_MATCH)},
        // A container that was never created.
        {MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0, DWORD(NTE_BAD_KEYSET)},
        // Deleting a container that was never created.
        {MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET, DWORD(NTE_BAD_KEYSET)},
    };
    for (const Case& k : cases) {
        HCRYPTPROV h = 0;
        EXPECT_FALSE(CryptAcquireContextW(&h, c.c_str(), k.provider, k.type, k.flags));
        EXPECT_EQ(k.error, Error()) << U8(k.provider) << " flags " << k.flags;
    }
}

TEST(CspRsa, ContainerLifeCycle) {
    for (const ProvInfo& p : kAll) {
        UniqueContainer c("life");
        {
            UniqueProvider prov;
            ASSERT_TRUE(Acquire(prov, p, c.c_str(), CRYPT_NEWKEYSET)) << U8(p.name);
            // A new container holds no key pair yet.
            UniqueKey none;
            EXPECT_FALSE(CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, none.put()));
            EXPECT_EQ(DWORD(NTE_NO_KEY), Error());
            // Its name and the provider's come back as ANSI texts.
            char text[256];
            DWORD size = sizeof text;
            ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(text),
                                          &size, 0));
            EXPECT_EQ(c.Ansi(), std::string(text));
            size = sizeof text;
            ASSERT_TRUE(
                CryptGetProvParam(prov.get(), PP_NAME, reinterpret_cast<BYTE*>(text), &size, 0));
            EXPECT_EQ(U8(p.name), std::string(text));
            DWORD impl = 0;
            size = sizeof impl;
            ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_IMPTYPE, reinterpret_cast<BYTE*>(&impl),
                                          &size, 0));
            EXPECT_EQ(DWORD(CRYPT_IMPL_SOFTWARE), impl);
        }
        // Creating it twice is refused.
        HCRYPTPROV again = 0;
        EXPECT_FALSE(CryptAcquireContextW(&again, c.c_str(), p.name, p.type, CRYPT_NEWKEYSET));
        EXPECT_EQ(DWORD(NTE_EXISTS), Error());
        // The container is listed by a verify context of the same provider.
        {
            UniqueProvider verify;
            ASSERT_TRUE(Acquire(verify, p, nullptr, CRYPT_VERIFYCONTEXT));
            bool found = false;
            for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
                DWORD size = 0;
                if (!CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, nullptr, &size, flags))
                    break;
                std::string name(size, '\0');
                if (!CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS,
                                       reinterpret_cast<BYTE*>(name.data()), &size, flags))
                    break;
                found = found || std::string(name.c_str()) == c.Ansi();
            }
            EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), Error());
            EXPECT_TRUE(found) << U8(p.name);
        }
        // Deleting it hands out no handle; afterwards it is gone.
        HCRYPTPROV deleted = 1;
        ASSERT_TRUE(CryptAcquireContextW(&deleted, c.c_str(), p.name, p.type, CRYPT_DELETEKEYSET));
        EXPECT_EQ(0u, deleted);
        EXPECT_FALSE(CryptAcquireContextW(&again, c.c_str(), p.name, p.type, 0));
        EXPECT_EQ(DWORD(NTE_BAD_KEYSET), Error());
    }
}

TEST(CspRsa, GeneratedKeyBlobLayouts) {
    struct Case {
        ProvInfo provider;
        DWORD keySpec;
        DWORD bits;
        ALG_ID alg;
    } cases[] = {
        {kBase, AT_KEYEXCHANGE, 512, CALG_RSA_KEYX},
        {kEnhanced, AT_SIGNATURE, 1024, CALG_RSA_SIGN},
        {kAes, AT_KEYEXCHANGE, 2048, CALG_RSA_KEYX},
    };
    for (const Case& k : cases) {
        UniqueContainer c("layout");
        Bytes pub;
        {
            UniqueProvider prov;
            ASSERT_TRUE(Acquire(prov, k.provider, c.c_str(), CRYPT_NEWKEYSET));
            UniqueKey key;
            ASSERT_TRUE(
                CryptGenKey(prov.get(), k.keySpec, (k.bits << 16) | CRYPT_EXPORTABLE, key.put()));
            EXPECT_EQ(k.alg, KeyParam(key.get(), KP_ALGID));
            EXPECT_EQ(k.bits, KeyParam(key.get(), KP_KEYLEN));

            // PUBLICKEYBLOB: header, "RSA1", bit length, exponent 65537, modulus.
            pub = ExportKey(key.get(), PUBLICKEYBLOB);
            ASSERT_EQ(20 + k.bits / 8, pub.size());
            EXPECT_EQ(PUBLICKEYBLOB, pub[0]);
            EXPECT_EQ(CUR_BLOB_VERSION, pub[1]);
            EXPECT_EQ(k.alg, Le32(pub, 4));
            EXPECT_EQ(0x31415352u, Le32(pub, 8));
            EXPECT_EQ(k.bits, Le32(pub, 12));
            EXPECT_EQ(65537u, Le32(pub, 16));
            EXPECT_GE(pub.back(), 0x80) << "modulus least significant byte first, top bit set";

            // PRIVATEKEYBLOB: "RSA2" and the same modulus, then the private numbers.
            Bytes priv = ExportKey(key.get(), PRIVATEKEYBLOB);
            ASSERT_EQ(20 + 9 * k.bits / 16, priv.size());
            EXPECT_EQ(PRIVATEKEYBLOB, priv[0]);
            EXPECT_EQ(0x32415352u, Le32(priv, 8));
            EXPECT_TRUE(std::equal(pub.begin() + 12, pub.end(), priv.begin() + 12));
        }
        // The same pair again from the container, once the first handle is
        // released (Wine writes a container's keys out only then).
        UniqueProvider reopened;
        ASSERT_TRUE(Acquire(reopened, k.provider, c.c_str(), 0));
        UniqueKey user;
        ASSERT_TRUE(CryptGetUserKey(reopened.get(), k.keySpec, user.put())) << std::hex << Error();
        EXPECT_EQ(pub, ExportKey(user.get(), PUBLICKEYBLOB));
    }
}

TEST(CspRsa, KnownKeySignsAndDecryptsLeastSignificantByteFirst) {
    const Bytes blob = Hex(kKeyBlob);
    for (const ProvInfo& p : kAll) {
        UniqueContainer c("known");
        {
            UniqueProvider prov;
            ASSERT_TRUE(Acquire(prov, p, c.c_str(), CRYPT_NEWKEYSET));
            UniqueKey key;
            ASSERT_TRUE(CryptImportKey(prov.get(), blob.data(), DWORD(blob.size()), 0,
                                       CRYPT_EXPORTABLE, key.put()))
                << U8(p.name) << " " << std::hex << Error();
            // The blob comes back byte for byte.
            EXPECT_EQ(blob, ExportKey(key.get(), PRIVATEKEYBLOB));
        }
        // A new handle on the container: the imported pair persisted.
        UniqueProvider prov;
        ASSERT_TRUE(Acquire(prov, p, c.c_str(), 0));
        EXPECT_EQ(Hex(kSignatureAbc), SignSha1(prov.get(), AT_KEYEXCHANGE, Text("abc")))
            << U8(p.name);

        UniqueKey key;
        ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, key.put()));
        Bytes data = Hex(kCipherLe);
        DWORD length = DWORD(data.size());
        ASSERT_TRUE(CryptDecrypt(key.get(), 0, TRUE, 0, data.data(), &length))
            << std::hex << Error();
        data.resize(length);
        EXPECT_EQ(Text(kWrappedText), data);

        // No signature key was ever made in this container.
        DWORD size = 0;
        UniqueHash hash;
        ASSERT_TRUE(CryptCreateHash(prov.get(), CALG_SHA1, 0, 0, hash.put()));
        EXPECT_FALSE(CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, 0, nullptr, &size));
        EXPECT_EQ(DWORD(NTE_NO_KEY), Error());
    }
}

// A container's pair is read again by every new handle: repeated handles sign
// alike, and a container deleted and made again under the same name signs
// with its new pair (and keeps the new pair's export rule), never the old.
TEST(CspRsa, NewHandlesSignWithTheContainersCurrentPair) {
    UniqueContainer c("remade");
    const Bytes abc = Text("abc");
    auto makePair = [&](DWORD flags, Bytes* pPublic) {
        UniqueProvider prov;
        ASSERT_TRUE(Acquire(prov, kEnhanced, c.c_str(), CRYPT_NEWKEYSET)) << std::hex << Error();
        UniqueKey key;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, (1024u << 16) | flags, key.put()));
        *pPublic = ExportKey(key.get(), PUBLICKEYBLOB);
        ASSERT_FALSE(pPublic->empty());
        // Without CRYPT_EXPORTABLE the private half stays in, from the start.
        DWORD size = 0;
        EXPECT_EQ(bool(flags & CRYPT_EXPORTABLE),
                  bool(CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size)));
        if (!(flags & CRYPT_EXPORTABLE)) {
            EXPECT_EQ(DWORD(NTE_BAD_KEY_STATE), Error());
        }
    };
    auto signWithNewHandle = [&]() {
        UniqueProvider prov;
        EXPECT_TRUE(Acquire(prov, kEnhanced, c.c_str(), 0));
        return SignSha1(prov.get(), AT_SIGNATURE, abc);
    };
    auto verifies = [&](const Bytes& publicBlob, const Bytes& signature) {
        UniqueProvider verify;
        UniqueKey pub;
        UniqueHash hash;
        return Acquire(verify, kEnhanced, nullptr, CRYPT_VERIFYCONTEXT) &&
               CryptImportKey(verify.get(), publicBlob.data(), DWORD(publicBlob.size()), 0, 0,
                              pub.put()) &&
               CryptCreateHash(verify.get(), CALG_SHA1, 0, 0, hash.put()) &&
               CryptHashData(hash.get(), abc.data(), DWORD(abc.size()), 0) &&
               CryptVerifySignatureW(hash.get(), signature.data(), DWORD(signature.size()),
                                     pub.get(), nullptr, 0);
    };

    Bytes first;
    makePair(CRYPT_EXPORTABLE, &first);
    const Bytes s1 = signWithNewHandle();
    ASSERT_FALSE(s1.empty());
    EXPECT_EQ(s1, signWithNewHandle()); // PKCS #1 v1.5: the same pair signs alike
    EXPECT_TRUE(verifies(first, s1));

    HCRYPTPROV gone = 0;
    ASSERT_TRUE(
        CryptAcquireContextW(&gone, c.c_str(), kEnhanced.name, kEnhanced.type, CRYPT_DELETEKEYSET));
    Bytes second;
    makePair(0, &second);
    ASSERT_NE(first, second);
    const Bytes s2 = signWithNewHandle();
    ASSERT_FALSE(s2.empty());
    EXPECT_NE(s1, s2);
    EXPECT_TRUE(verifies(second, s2));
    EXPECT_FALSE(verifies(first, s2));

    // The new pair was made non-exportable; a new handle keeps that.
    UniqueProvider prov;
    ASSERT_TRUE(Acquire(prov, kEnhanced, c.c_str(), 0));
    UniqueKey key;
    ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_SIGNATURE, key.put()));
    EXPECT_TRUE(ExportKey(key.get(), PRIVATEKEYBLOB).empty());
}

// A container holding the known pair describes its public half, and a
// certificate's key link leads to it.
TEST(CspRsa, KnownKeyContainerAndTheCertificateLinkToIt) {
    UniqueContainer c("certkey");
    {
        UniqueProvider prov;
        ASSERT_TRUE(Acquire(prov, kEnhanced, c.c_str(), CRYPT_NEWKEYSET));
        const Bytes blob = Hex(kKeyBlob);
        UniqueKey key;
        ASSERT_TRUE(CryptImportKey(prov.get(), blob.data(), DWORD(blob.size()), 0, 0, key.put()));
        DWORD size = 0;
        ASSERT_TRUE(CryptExportPublicKeyInfo(prov.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr,
                                             &size));
        std::vector<BYTE> block(size);
        auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(block.data());
        ASSERT_TRUE(
            CryptExportPublicKeyInfo(prov.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING, info, &size));
        EXPECT_STREQ(szOID_RSA_RSA, info->Algorithm.pszObjId);
        const Bytes params(info->Algorithm.Parameters.pbData,
                           info->Algorithm.Parameters.pbData + info->Algorithm.Parameters.cbData);
        if (RunningUnderWine())
            EXPECT_TRUE(params.empty()); // Wine difference: no NULL parameters for RSA
        else
            EXPECT_EQ((Bytes{0x05, 0x00}), params);
        EXPECT_EQ(Hex(kRsaPublicKeyDer),
                  Bytes(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData));
        EXPECT_EQ(0u, info->PublicKey.cUnusedBits);
        // A container without a signature pair has no such key to describe.
        EXPECT_FALSE(
            CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size));
        EXPECT_EQ(DWORD(NTE_NO_KEY), Error());
    }
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       kRsaCertificate.data, kRsaCertificate.size);
    ASSERT_NE(nullptr, cert);
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    // No link yet.
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &callerFree));
    EXPECT_EQ(DWORD(CRYPT_E_NO_KEY_PROPERTY), Error());

    WString container = c.c_str(), provider = kEnhanced.name;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = kEnhanced.type;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &callerFree))
        << std::hex << Error();
    EXPECT_EQ(DWORD(AT_KEYEXCHANGE), keySpec);
    EXPECT_TRUE(callerFree);
    // The handle is the container's: it signs with the imported pair.
    EXPECT_EQ(Hex(kSignatureAbc), SignSha1(prov, AT_KEYEXCHANGE, Text("abc")));
    CryptReleaseContext(prov, 0);

    // The container's pair is not the certificate's key.
    if (RunningUnderWine()) {
        // Wine difference: CRYPT_ACQUIRE_COMPARE_KEY_FLAG compares nothing.
    } else {
        EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_COMPARE_KEY_FLAG,
                                                       nullptr, &prov, &keySpec, &callerFree));
        EXPECT_EQ(DWORD(NTE_BAD_PUBLIC_KEY), Error());
    }

    // A link to a key (exchange or signature) the container lacks: only the compare
    // flag looks at the pair; without it the handle is handed out.
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    if (!RunningUnderWine()) { // Wine difference: the compare flag is ignored
        EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_COMPARE_KEY_FLAG,
                                                       nullptr, &prov, &keySpec, &callerFree));
        EXPECT_EQ(DWORD(NTE_NO_KEY), Error());
    }
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &callerFree));
    EXPECT_EQ(DWORD(AT_SIGNATURE), keySpec);
    HCRYPTKEY none = 0;
    EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &none));
    EXPECT_EQ(DWORD(NTE_NO_KEY), Error());
    CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(cert);
}

// ExponentOneSession: the sequence the system runs to open a triple-DES
// session key in software: export a fresh exchange pair, set its exponents to
// one, import it again, import a SIMPLEBLOB holding the plain PKCS#1 block
// under it, and decrypt in ECB mode.
Bytes ExponentOneDecrypt(const ProvInfo& p, DWORD bits, const Bytes& sessionKey,
                         const Bytes& cipher) {
    UniqueContainer c("expone");
    UniqueProvider prov;
    if (!Acquire(prov, p, c.c_str(), CRYPT_NEWKEYSET))
        return {};
    Bytes blob;
    {
        UniqueKey fresh;
        if (!CryptGenKey(prov.get(), AT_KEYEXCHANGE, (bits << 16) | CRYPT_EXPORTABLE, fresh.put()))
            return {};
        blob = ExportKey(fresh.get(), PRIVATEKEYBLOB);
    }
    const size_t L = Le32(blob, 12), whole = L / 8, half = L / 16;
    auto one = [&](size_t at, size_t n) {
        std::fill(blob.begin() + at, blob.begin() + at + n, 0);
        blob[at] = 1;
    };
    PutLe32(blob, 16, 1);              // public exponent
    one(20 + whole + 2 * half, half);  // exponent 1
    one(20 + whole + 3 * half, half);  // exponent 2
    one(20 + whole + 5 * half, whole); // private exponent
    UniqueKey identity;
    if (!CryptImportKey(prov.get(), blob.data(), DWORD(blob.size()), 0, 0, identity.put()))
        return {};

    // SIMPLEBLOB: header, the exchange algorithm, then 00 02 PS 00 key reversed.
    Bytes simple(12 + whole, 0);
    simple[0] = SIMPLEBLOB;
    simple[1] = CUR_BLOB_VERSION;
    PutLe32(simple, 4, CALG_3DES);
    PutLe32(simple, 8, CALG_RSA_KEYX);
    for (size_t i = 0; i < sessionKey.size(); ++i)
        simple[12 + i] = sessionKey[sessionKey.size() - 1 - i];
    for (size_t i = 13 + sessionKey.size(); i < 12 + whole - 2; ++i)
        simple[i] = static_cast<BYTE>(0x11 + i % 0xEE); // non-zero padding
    simple[12 + whole - 2] = 2;
    UniqueKey session;
    if (!CryptImportKey(prov.get(), simple.data(), DWORD(simple.size()), identity.get(),
                        CRYPT_EXPORTABLE, session.put()))
        return {};
    DWORD mode = CRYPT_MODE_ECB;
    if (!CryptSetKeyParam(session.get(), KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0))
        return {};
    Bytes data = cipher;
    DWORD length = DWORD(data.size());
    if (!CryptDecrypt(session.get(), 0, TRUE, 0, data.data(), &length))
        return {};
    data.resize(length);
    return data;
}

TEST(CspRsa, ExponentOfOneOpensTripleDesSessionKey) {
    struct Case {
        ProvInfo provider;
        DWORD bits;
    } cases[] = {{kEnhanced, 1024}, {kEnhanced, 2048}, {kAes, 1024}, {kAes, 2048}};
    for (const Case& k : cases)
        EXPECT_EQ(Text(kTripleDesText),
                  ExponentOneDecrypt(k.provider, k.bits, Hex(kTripleDesKey), Hex(kTripleDesCipher)))
            << U8(k.provider.name) << " " << k.bits << " error " << std::hex << Error();
}

TEST(CspRsa, SessionKeyModeDefaultsToCbc) {
    UniqueProvider prov;
    ASSERT_TRUE(Acquire(prov, kEnhanced, nullptr, CRYPT_VERIFYCONTEXT));
    UniqueKey key;
    ASSERT_TRUE(CryptGenKey(prov.get(), CALG_3DES, 0, key.put()));
    EXPECT_EQ(DWORD(CRYPT_MODE_CBC), KeyParam(key.get(), KP_MODE));
    EXPECT_EQ(192u, KeyParam(key.get(), KP_KEYLEN));
}

TEST(CspRsa, BaseProviderLimits) {
    UniqueContainer c("base");
    UniqueProvider prov;
    ASSERT_TRUE(Acquire(prov, kBase, c.c_str(), CRYPT_NEWKEYSET));
    UniqueKey key;
    // Exchange keys stop at 1024 bits.
    EXPECT_FALSE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 2048 << 16, key.put()));
    EXPECT_EQ(DWORD(NTE_BAD_DATA), Error());
    // No triple DES.
    EXPECT_FALSE(CryptGenKey(prov.get(), CALG_3DES, 0, key.put()));
    EXPECT_EQ(DWORD(NTE_BAD_ALGID), Error());
    // Its algorithm list says the same.
    bool tripleDes = false;
    DWORD keyxMax = 0;
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
        PROV_ENUMALGS_EX alg{};
        DWORD size = sizeof alg;
        if (!CryptGetProvParam(prov.get(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&alg), &size,
                               flags))
            break;
        tripleDes = tripleDes || alg.aiAlgid == CALG_3DES;
        if (alg.aiAlgid == CALG_RSA_KEYX)
            keyxMax = alg.dwMaxLen;
    }
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), Error());
    EXPECT_FALSE(tripleDes);
    EXPECT_EQ(1024u, keyxMax);
    // 1024 bits is allowed.
    EXPECT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024 << 16, key.put()));
}

TEST(CspRsa, MalformedBlobsAreRefused) {
    UniqueProvider prov;
    ASSERT_TRUE(Acquire(prov, kEnhanced, nullptr, CRYPT_VERIFYCONTEXT));
    const Bytes good = Hex(kKeyBlob);
    struct Case {
        const char* what;
        size_t at; // byte to change (or the new length when truncating)
        BYTE value;
        bool truncate;
        DWORD error;
    } cases[] = {
        // "RSA1" in a private blob.
        {"magic", 11, 0x31, false, DWORD(NTE_BAD_DATA)},
        // One byte short of the numbers its bit length promises.
        {"truncated", 595, 0, true, DWORD(NTE_BAD_DATA)},
        // Blob version 3.
        {"version", 1, 3, false, DWORD(NTE_BAD_DATA)},
    };
    for (const Case& k : cases) {
        Bytes blob = good;
        if (k.truncate)
            blob.resize(k.at);
        else
            blob[k.at] = k.value;
        UniqueKey key;
        const BOOL ok =
            CryptImportKey(prov.get(), blob.data(), DWORD(blob.size()), 0, 0, key.put());
        if (k.truncate && RunningUnderWine()) {
            // Wine difference: the blob's length is not checked against its bit
            // length, so a short blob is read past its end and accepted.
            continue;
        }
        EXPECT_FALSE(ok) << k.what;
        EXPECT_EQ(k.error, Error()) << k.what;
    }
}

TEST(CspRsa, SimpleBlobMustNameItsExchangeAlgorithm) {
    UniqueContainer c("simple");
    UniqueProvider prov;
    ASSERT_TRUE(Acquire(prov, kEnhanced, c.c_str(), CRYPT_NEWKEYSET));
    UniqueKey exchange, session;
    ASSERT_TRUE(
        CryptGenKey(prov.get(), AT_KEYEXCHANGE, (1024 << 16) | CRYPT_EXPORTABLE, exchange.put()));
    ASSERT_TRUE(CryptGenKey(prov.get(), CALG_3DES, CRYPT_EXPORTABLE, session.put()));
    Bytes simple = ExportKey(session.get(), SIMPLEBLOB, exchange.get());
    ASSERT_EQ(12u + 128u, simple.size());
    EXPECT_EQ(CALG_3DES, Le32(simple, 4));
    EXPECT_EQ(DWORD(CALG_RSA_KEYX), Le32(simple, 8));
    UniqueKey back;
    EXPECT_TRUE(CryptImportKey(prov.get(), simple.data(), DWORD(simple.size()), exchange.get(), 0,
                               back.put()));

    // The blob claims a signature key encrypted it.
    PutLe32(simple, 8, CALG_RSA_SIGN);
    UniqueKey wrong;
    const BOOL ok = CryptImportKey(prov.get(), simple.data(), DWORD(simple.size()), exchange.get(),
                                   0, wrong.put());
    if (RunningUnderWine()) {
        EXPECT_TRUE(ok); // Wine difference: the algorithm at offset 8 is not checked
    } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(DWORD(NTE_BAD_ALGID), Error());
    }
}

TEST(CspRsa, HashValuesAndStates) {
    UniqueProvider prov;
    ASSERT_TRUE(Acquire(prov, kEnhanced, nullptr, CRYPT_VERIFYCONTEXT));
    // FIPS 180 and RFC 1321 answers for "abc".
    struct Case {
        ALG_ID alg;
        const char* digest;
    } cases[] = {{CALG_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
                 {CALG_MD5, "900150983cd24fb0d6963f7d28e17f72"}};
    for (const Case& k : cases) {
        UniqueHash hash;
        ASSERT_TRUE(CryptCreateHash(prov.get(), k.alg, 0, 0, hash.put()));
        ASSERT_TRUE(CryptHashData(hash.get(), reinterpret_cast<const BYTE*>("ab"), 2, 0));
        ASSERT_TRUE(CryptHashData(hash.get(), reinterpret_cast<const BYTE*>("c"), 1, 0));
        DWORD size = 0, hashSize = 0, sizeSize = sizeof hashSize;
        ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize),
                                      &sizeSize, 0));
        ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHVAL, nullptr, &size, 0));
        EXPECT_EQ(hashSize, size);
        Bytes value(size);
        ASSERT_TRUE(CryptGetHashParam(hash.get(), HP_HASHVAL, value.data(), &size, 0));
        EXPECT_EQ(Hex(k.digest), value);
        // A finished hash takes no more data.
        EXPECT_FALSE(CryptHashData(hash.get(), reinterpret_cast<const BYTE*>("d"), 1, 0));
        EXPECT_EQ(DWORD(NTE_BAD_HASH_STATE), Error());
    }
    UniqueHash unknown;
    EXPECT_FALSE(CryptCreateHash(prov.get(), 0x8099, 0, 0, unknown.put()));
    EXPECT_EQ(DWORD(NTE_BAD_ALGID), Error());
}

TEST(CspRsa, RandomBytesDiffer) {
    UniqueProvider prov;
    ASSERT_TRUE(Acquire(prov, kEnhanced, nullptr, CRYPT_VERIFYCONTEXT));
    Bytes a(32), b(32);
    ASSERT_TRUE(CryptGenRandom(prov.get(), 32, a.data()));
    ASSERT_TRUE(CryptGenRandom(prov.get(), 32, b.data()));
    EXPECT_NE(a, b);
}

} // namespace
