// The imports against the operating system's software providers, on both
// targets (on Windows under Wine: Wine's rsaenh and crypt32), with fixed keys
// and ciphertexts made by OpenSSL: the exponent-of-one decryption, the
// private-key blob, the session key under the temporary key, the old-format
// encryption key import and the signing-certificate import into "MY".
#include "enrolment/CertificateImport.h"
#include "enrolment/EncryptCertImport.h"
#include "tests/enrolment/ImportFixtures.h"
#include "enrolment/ImportHelpers.h"
#include "foundation/Trace.h"
#include "tests/enrolment/ImportTestSupport.h"
#include "enrolment/SoftKeyDecrypt.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

using namespace importtest;

namespace {

// AES-256, which the Enhanced provider does not offer.
constexpr ALG_ID kAes256 = 0x6610;

// WithTempKey: a fresh container of the provider holding the fixed temporary
// key pair as its key of dwKeySpec.
bool WithTempKey(const WCHAR* pwszProvider, const WString& container, DWORD dwKeySpec) {
    UniqueProvider prov;
    if (!CryptAcquireContextW(prov.put(), container.c_str(), pwszProvider, TypeOf(pwszProvider),
                              CRYPT_NEWKEYSET))
        return false;
    Bytes blob = Hex(kTempKeyBlob);
    if (dwKeySpec == AT_SIGNATURE)
        blob[5] = 0x24; // CALG_RSA_SIGN
    UniqueKey key;
    return CryptImportKey(prov.get(), blob.data(), DWORD(blob.size()), 0, CRYPT_EXPORTABLE,
                          key.put()) == TRUE;
}

TEST(ImportSoftDecrypt, ExponentOfOneOpensTheIssuersTripleDes) {
    const auto before = GuidNamed(Containers(kEnhanced, PROV_RSA_FULL));
    const Bytes session = Hex(kSessionKey), cipher = Hex(kIssuedKeyCipher);
    SecretBytes plain;
    ASSERT_EQ(VURO_OK,
              DecryptPrivateKeywithSessionKey(CALG_3DES, session.data(), DWORD(session.size()),
                                              cipher.data(), DWORD(cipher.size()), plain));
    EXPECT_EQ(Hex(kIssuedKeyPkcs1), Bytes(plain.begin(), plain.end()));
    EXPECT_EQ(before, GuidNamed(Containers(kEnhanced, PROV_RSA_FULL)))
        << "the throw-away container is gone";
}

TEST(ImportSoftDecrypt, FailuresLeaveNoContainerBehind) {
    const Bytes session = Hex(kSessionKey), cipher = Hex(kIssuedKeyCipher);
    Bytes wrongKey = session;
    wrongKey[0] ^= 0x55;
    const Bytes longKey(32, 0x11), shortCipher(cipher.begin(), cipher.end() - 3);
    struct Case {
        const char* what;
        ALG_ID alg;
        Bytes key, cipher;
        HRESULT hr; // 0: any failure
    } cases[] = {
        {"another key: the padding does not check", CALG_3DES, wrongKey, cipher, 0},
        {"ciphertext not whole blocks", CALG_3DES, session, shortCipher, 0},
        {"key longer than the algorithm's", CALG_3DES, longKey, cipher, VURO_E_ENVELOPE_FORMAT},
        {"algorithm the provider lacks", kAes256, session, cipher, VURO_E_ENVELOPE_FORMAT},
    };
    const auto before = GuidNamed(Containers(kEnhanced, PROV_RSA_FULL));
    for (const Case& c : cases) {
        SecretBytes plain;
        const HRESULT hr =
            DecryptPrivateKeywithSessionKey(c.alg, c.key.data(), DWORD(c.key.size()),
                                            c.cipher.data(), DWORD(c.cipher.size()), plain);
        EXPECT_TRUE(FAILED(hr)) << c.what;
        if (c.hr != 0) {
            EXPECT_EQ(c.hr, hr) << c.what;
        }
        EXPECT_TRUE(plain.empty()) << c.what;
    }
    EXPECT_EQ(before, GuidNamed(Containers(kEnhanced, PROV_RSA_FULL)));
}

TEST(ImportSoftDecrypt, SessionKeyBlobImportsUnderTheExponentOneKey) {
    Container c("simple", kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), c.Name().c_str(), kEnhanced, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    UniqueKey one, session;
    ASSERT_TRUE(CreatePrivateExponentOneKey(prov.get(), one.put()));
    // The identity key: its public exponent is 1.
    DWORD cb = 0;
    ASSERT_TRUE(CryptExportKey(one.get(), 0, PUBLICKEYBLOB, 0, nullptr, &cb));
    Bytes pub(cb);
    ASSERT_TRUE(CryptExportKey(one.get(), 0, PUBLICKEYBLOB, 0, pub.data(), &cb));
    EXPECT_EQ(Hex("01000000"), Bytes(pub.begin() + 16, pub.begin() + 20));

    // The imported key's use is the decryption the test above checks.
    const Bytes key = Hex(kSessionKey);
    ASSERT_TRUE(ImportPlainSessionBlob(prov.get(), one.get(), CALG_3DES, key.data(),
                                       DWORD(key.size()), session.put()));

    UniqueKey none;
    SetLastError(0);
    EXPECT_FALSE(
        ImportPlainSessionBlob(prov.get(), one.get(), CALG_3DES, key.data(), 0, none.put()));
    EXPECT_NE(0u, GetLastError()) << "a refusal says why";
}

TEST(ImportSoftDecrypt, PrivateKeyBlobImportsAndDecrypts) {
    const Bytes der = Hex(kIssuedKeyPkcs1);
    SecretBytes blob;
    ASSERT_EQ(VURO_OK,
              getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(der.data(), DWORD(der.size()), 1024, blob));
    for (const WCHAR* provider : {kEnhanced, kAes}) {
        Container c("blob", provider, TypeOf(provider), CRYPT_DELETEKEYSET);
        {
            UniqueProvider prov;
            UniqueKey key;
            ASSERT_TRUE(CryptAcquireContextW(prov.put(), c.Name().c_str(), provider,
                                             TypeOf(provider), CRYPT_NEWKEYSET));
            ASSERT_TRUE(
                CryptImportKey(prov.get(), blob.data(), DWORD(blob.size()), 0, 0, key.put()))
                << U8(provider) << std::hex << GetLastError();
        }
        EXPECT_EQ(Text(kIssuedMessage), DecryptWith(provider, TypeOf(provider), c.Name(),
                                                    AT_KEYEXCHANGE, Hex(kIssuedMessageCipher)))
            << U8(provider);
    }
}

TEST(ImportSoftDecrypt, SessionKeyOpensWithTheTemporaryKey) {
    struct Case {
        const char* what;
        const char* cipher;
        Bytes expected;
    } cases[] = {
        {"24 bytes as they are", kSessionKeyCipher, Hex(kSessionKey)},
        {"32 bytes: the first 24", kLongSessionKeyCipher, Hex(kLongSessionKey)},
    };
    cases[1].expected.resize(24);
    Container c("session", kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    ASSERT_TRUE(WithTempKey(kEnhanced, c.Name(), AT_KEYEXCHANGE));
    for (const Case& k : cases) {
        Bytes cipher = Hex(k.cipher);
        UniqueProvider provider;
        SecretBytes plain;
        ASSERT_EQ(VURO_OK, DecryptSessionKeywithTempKey(kEnhanced, c.Name(), KeyAlgorithm::Rsa,
                                                        cipher.data(), DWORD(cipher.size()),
                                                        provider, plain))
            << k.what;
        EXPECT_TRUE(provider);
        provider.reset();
        EXPECT_EQ(k.expected, Bytes(plain.begin(), plain.end())) << k.what;
    }
    // A container without the key: the provider's error, nothing handed out.
    Bytes cipher = Hex(kSessionKeyCipher);
    UniqueProvider provider;
    SecretBytes plain;
    EXPECT_TRUE(
        FAILED(DecryptSessionKeywithTempKey(kEnhanced, c.Name() + W("-missing"), KeyAlgorithm::Rsa,
                                            cipher.data(), DWORD(cipher.size()), provider, plain)));
    EXPECT_FALSE(provider);
    EXPECT_TRUE(plain.empty());
}

// OldFormatEnvelope: the issuer's envelope of the fixed issued key under the
// fixed temporary key.
WString OldFormatEnvelope() {
    return Envelope(1, 1, 306, WrapKey(Hex(kSessionKeyCipher)), WrapKey(Hex(kIssuedKeyCipher)));
}

TEST(ImportEncryptCert, OldFormatInTheSoftwareProviders) {
    const Bytes cert = Hex(kIssuedKeyCert);
    for (const WCHAR* provider : {kEnhanced, kAes}) {
        RemoveFromMy(cert);
        Container c("oldfmt", provider, TypeOf(provider), CRYPT_DELETEKEYSET);
        ASSERT_TRUE(WithTempKey(provider, c.Name(), AT_KEYEXCHANGE));
        WString envelope = OldFormatEnvelope(), certText = CommaText(cert);
        ASSERT_EQ(VURO_OK, ImportEncryptCertEx(provider, c.Name(), KeyAlgorithm::Rsa, envelope,
                                               certText, 1024, CRYPT_EXPORTABLE))
            << U8(provider);
        // The issued key took the temporary key's place ...
        EXPECT_EQ(Text(kIssuedMessage), DecryptWith(provider, TypeOf(provider), c.Name(),
                                                    AT_KEYEXCHANGE, Hex(kIssuedMessageCipher)));
        // ... and its certificate is in "MY", linked to it.
        ExpectLinkedInMy(cert, provider, TypeOf(provider), c.Name(), AT_KEYEXCHANGE);
        RemoveFromMy(cert);
    }
}

TEST(ImportEncryptCert, FormatChoiceAndArguments) {
    const Bytes cert = Hex(kIssuedKeyCert);
    RemoveFromMy(cert);
    Container c("choice", kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    ASSERT_TRUE(WithTempKey(kEnhanced, c.Name(), AT_KEYEXCHANGE));
    struct Case {
        const char* what;
        WString provider, container;
        KeyAlgorithm algorithm;
        WString envelope, cert;
        int bits;
        HRESULT hr;
    } cases[] = {
        // A Microsoft provider takes the old format at any length: the 1024-bit
        // key does not fit 2048 (the new format would fail in the provider).
        {"old format at 2048 bits", kEnhanced, c.Name(), KeyAlgorithm::Rsa, OldFormatEnvelope(),
         CommaText(cert), 2048, VURO_E_ENVELOPE_FORMAT},
        {"empty container", kEnhanced, W(""), KeyAlgorithm::Rsa, OldFormatEnvelope(),
         CommaText(cert), 1024, E_INVALIDARG},
        {"empty provider", W(""), c.Name(), KeyAlgorithm::Rsa, OldFormatEnvelope(), CommaText(cert),
         1024, E_INVALIDARG},
        {"no algorithm", kEnhanced, c.Name(), KeyAlgorithm::Unset, OldFormatEnvelope(),
         CommaText(cert), 1024, E_INVALIDARG},
        {"empty envelope", kEnhanced, c.Name(), KeyAlgorithm::Rsa, W(""), CommaText(cert), 1024,
         E_INVALIDARG},
        {"empty certificate", kEnhanced, c.Name(), KeyAlgorithm::Rsa, OldFormatEnvelope(), W(""),
         1024, E_INVALIDARG},
        {"old format refuses session key type 0", kEnhanced, c.Name(), KeyAlgorithm::Rsa,
         Envelope(1, 1, 0, {}, WrapKey(Hex(kIssuedKeyCipher))), CommaText(cert), 1024,
         VURO_E_ENVELOPE_SESSION_KEY_TYPE},
    };
    for (Case& k : cases) {
        EXPECT_EQ(k.hr, ImportEncryptCertEx(k.provider, k.container, k.algorithm, k.envelope,
                                            k.cert, k.bits, 0))
            << k.what;
    }
    UniqueStore store = OpenMy();
    ASSERT_TRUE(store);
    EXPECT_TRUE(MyEntries(store.get(), cert).empty()) << "no failure added the certificate";
    // The temporary key is still the container's exchange key.
    EXPECT_EQ(Hex(kSessionKey), DecryptWith(kEnhanced, PROV_RSA_FULL, c.Name(), AT_KEYEXCHANGE,
                                            Hex(kSessionKeyCipher)));
}

TEST(ImportSignCert, MicrosoftProvidersRegisterInMy) {
    const Bytes cert = Hex(kTempKeyCert);
    for (const WCHAR* provider : {kEnhanced, kAes}) {
        RemoveFromMy(cert);
        Container c("sign", provider, TypeOf(provider), CRYPT_DELETEKEYSET);
        ASSERT_TRUE(WithTempKey(provider, c.Name(), AT_SIGNATURE));
        WString text = CommaText(cert);
        ASSERT_EQ(VURO_OK,
                  ImportSignCert(KeyAlgorithm::Rsa, text, AT_SIGNATURE, provider, c.Name()))
            << U8(provider);
        EXPECT_EQ(WString::npos, text.find(WCHAR(',')));
        // Again, in lower case and without commas: one entry, the last link.
        WString plain = Widen(Base64(cert));
        ASSERT_EQ(VURO_OK,
                  ImportSignCert(KeyAlgorithm::Rsa, plain, AT_SIGNATURE, provider, c.Name()));
        ExpectLinkedInMy(cert, provider, TypeOf(provider), c.Name(), AT_SIGNATURE);
        RemoveFromMy(cert);
    }
}

// TempCopies: the names of the "{GUID}.VURO" files in the temporary folder.
std::set<std::string> TempCopies() {
    WString wstrDir;
    if (FAILED(GetTempDirPath(&wstrDir)))
        return {};
    const std::filesystem::path dir{wstrDir};
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".VURO")
            names.insert(entry.path().filename().string());
    return names;
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The copy of the certificate in the temporary folder exists for whoever
// reads the trace: it is written while information tracing is on, and never
// otherwise (nothing would ever remove it).
TEST(ImportSignCert, TemporaryCopyOnlyWhileTracing) {
    const Bytes cert = Hex(kTempKeyCert);
    Container c("signcopy", kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    ASSERT_TRUE(WithTempKey(kEnhanced, c.Name(), AT_SIGNATURE));
    struct Case {
        const char* what;
        ULONG flags;
        size_t copies;
    } cases[] = {
        {"tracing off", 0, 0},
        {"errors, warnings and entry/exit only",
         TRACE_FLAG_ERROR | TRACE_FLAG_WARNING | TRACE_FLAG_ENTRY_EXIT, 0},
        {"information", TRACE_FLAG_INFO, 1},
    };
    const ULONG saved = g_ulTraceEnableFlags.load();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        RemoveFromMy(cert);
        const std::set<std::string> before = TempCopies();
        g_ulTraceEnableFlags.store(k.flags);
        WString text = CommaText(cert);
        const HRESULT hr =
            ImportSignCert(KeyAlgorithm::Rsa, text, AT_SIGNATURE, kEnhanced, c.Name());
        g_ulTraceEnableFlags.store(saved);
        EXPECT_EQ(VURO_OK, hr);
        std::vector<std::string> added;
        for (const std::string& name : TempCopies())
            if (before.count(name) == 0)
                added.push_back(name);
        EXPECT_EQ(k.copies, added.size());
        WString wstrDir;
        ASSERT_EQ(VURO_OK, GetTempDirPath(&wstrDir));
        const std::filesystem::path dir{wstrDir};
        for (const std::string& name : added) {
            EXPECT_EQ(cert, ReadFileBytes(dir / name)) << name;
            std::error_code ec;
            std::filesystem::remove(dir / name, ec);
        }
    }
    RemoveFromMy(cert);
}

TEST(ImportSignCert, Refusals) {
    const Bytes cert = Hex(kTempKeyCert);
    RemoveFromMy(cert);
    Container c("signno", kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    ASSERT_TRUE(WithTempKey(kEnhanced, c.Name(), AT_SIGNATURE));
    struct Case {
        const char* what;
        WString text, container;
        DWORD keySpec;
        HRESULT hr;
    } cases[] = {
        {"not Base64", W("!!!! ????"), c.Name(), AT_SIGNATURE, VURO_E_BASE64_DECODE},
        {"empty text", W(""), c.Name(), AT_SIGNATURE, E_FAIL},
        {"only commas", W(",,,"), c.Name(), AT_SIGNATURE, E_FAIL},
        {"no exchange key in the container", CommaText(cert), c.Name(), AT_KEYEXCHANGE,
         HRESULT(NTE_NO_KEY)},
        {"no such container", CommaText(cert), c.Name() + W("-none"), AT_SIGNATURE,
         HRESULT(NTE_BAD_KEYSET)},
    };
    for (Case& k : cases)
        EXPECT_EQ(k.hr,
                  ImportSignCert(KeyAlgorithm::Rsa, k.text, k.keySpec, kEnhanced, k.container))
            << k.what;
    UniqueStore store = OpenMy();
    ASSERT_TRUE(store);
    EXPECT_TRUE(MyEntries(store.get(), cert).empty());
}

} // namespace
