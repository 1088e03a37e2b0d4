// Certification requests made in the stand-in providers, checked by OpenSSL:
// layout, signature (SHA-1 RSA, or SM2 with SM3 and the default identity),
// the temporary key, the text form, and what stays in the provider.
// OpenSSL's headers come first: the Windows names of wincrypt.h (such as
// PKCS7_SIGNER_INFO) would otherwise rewrite theirs.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include "enrolment/CertificateRequisition.h"
#include "enrolment/PKCS10Request.h"
#include "tests/support/OpensslRequestCheck.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace orvane::checks;

constexpr WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
constexpr WCHAR kAes[] = TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");
constexpr WCHAR kRsaToken[] = TEXT("Orvane Soft RSA Token CSP v1.0");
constexpr WCHAR kSm2Token[] = TEXT("Orvane Soft SM2 Token CSP v1.0");

struct Request {
    HRESULT hResult = E_FAIL;
    std::string text;
    WString container;
};

Request MakeRequest(const WCHAR* pwszProvider, DWORD dwCertType, bool bRSA, DWORD dwBits,
                    DWORD dwFlags = 0, const WCHAR* pwszSubject = TEXT("CN=Alice,OU=Retail,C=CN")) {
    Request r;
    r.hResult = PKCS10CertRequisition(
        r.text, r.container, pwszProvider, pwszSubject, dwCertType, dwCertType == 1 ? 1 : 2,
        bRSA ? KeyAlgorithm::Rsa : KeyAlgorithm::Sm2, dwBits, dwFlags);
    return r;
}

std::set<WString> Containers(const WCHAR* pwszProvider) {
    std::set<WString> names;
    HCRYPTPROV hProv = 0;
    const bool bSM2 = WString(pwszProvider).find(TEXT("SM2")) != WString::npos;
    if (!CryptAcquireContextW(&hProv, nullptr, pwszProvider, PROV_RSA_FULL,
                              bSM2 ? kSM2AccessFlags : CRYPT_VERIFYCONTEXT))
        return names;
    char name[1024];
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        DWORD cb = sizeof name;
        if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &cb, flags))
            break;
        names.insert(W(name));
    }
    CryptReleaseContext(hProv, 0);
    return names;
}

bool ContainerHasKey(const WCHAR* pwszProvider, const WString& container, DWORD dwKeySpec,
                     bool bSM2, DWORD* pdwBits = nullptr, bool* pbExportable = nullptr) {
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, container.c_str(), pwszProvider,
                              ProviderTypeForName(pwszProvider), bSM2 ? kSM2AccessFlags : 0))
        return false;
    HCRYPTKEY hKey = 0;
    const bool ok = CryptGetUserKey(hProv, dwKeySpec, &hKey) != FALSE;
    if (ok && pdwBits != nullptr) {
        DWORD cb = sizeof *pdwBits;
        CryptGetKeyParam(hKey, KP_KEYLEN, reinterpret_cast<BYTE*>(pdwBits), &cb, 0);
    }
    if (ok && pbExportable != nullptr) {
        DWORD cb = 0;
        *pbExportable = CryptExportKey(hKey, 0, PRIVATEKEYBLOB, 0, nullptr, &cb) != FALSE;
    }
    if (hKey)
        CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return ok;
}

// `openssl req -verify` on the DER of a request. The command reads single
// requests only: its attribute parser insists on the PKCS #9 SET that the
// issuers' form of the double request's attributes leaves out, so double
// requests are checked through OpenSSL's library alone.
std::string OpensslReqVerify(const Bytes& der, bool bSM2, int& status) {
    char path[] = "orvane-request-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, der.data(), der.size()) != ssize_t(der.size())) {
        status = -1;
        return "cannot write the request";
    }
    close(fd);
    const std::string command = std::string("openssl req -inform DER -in ") + path +
                                " -verify -noout" +
                                (bSM2 ? " -vfyopt distid:1234567812345678" : "") + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buf[256];
    while (pipe && fgets(buf, sizeof buf, pipe))
        output += buf;
    status = pipe ? pclose(pipe) : -1;
    unlink(path);
    return output;
}

// --- the variants -------------------------------------------------------------

struct Variant {
    const char* name;
    const WCHAR* provider;
    DWORD certType;
    bool rsa;
    DWORD bits;
};

class RequestVariants : public ::testing::TestWithParam<Variant> {};

TEST_P(RequestVariants, VerifiesWithOpenSSLAndHasTheExpectedLayout) {
    const Variant& v = GetParam();
    const Request r = MakeRequest(v.provider, v.certType, v.rsa, v.bits);
    ASSERT_EQ(r.hResult, S_OK);

    // Text: lines of exactly 64 characters joined by CR LF, none at the end.
    ASSERT_FALSE(r.text.empty());
    EXPECT_NE(r.text.back(), '\n');
    size_t start = 0;
    while (true) {
        const size_t br = r.text.find("\r\n", start);
        const std::string line = r.text.substr(start, br == std::string::npos ? br : br - start);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        if (br == std::string::npos) {
            EXPECT_GE(line.size(), 1u);
            EXPECT_LE(line.size(), 64u);
            break;
        }
        EXPECT_EQ(line.size(), 64u) << "line at " << start;
        start = br + 2;
    }
    EXPECT_EQ(r.text.find("-----"), std::string::npos);

    ParsedRequest req;
    ASSERT_TRUE(ParseRequest(Base64Decode(r.text), req));
    EXPECT_TRUE(VerifyRequestSignature(req, !v.rsa)) << "signature does not verify";
    EXPECT_EQ(req.signatureAlg, v.rsa ? "1.2.840.113549.1.1.5" : "1.2.156.10197.1.501");

    // Version 0, then the subject with its attributes in reverse order.
    const auto& parts = req.infoParts;
    EXPECT_EQ(Whole(req.der, parts[0]), (Bytes{0x02, 0x01, 0x00}));
    Bytes name = Whole(req.der, parts[1]);
    const unsigned char* p = name.data();
    X509_NAME* xname = d2i_X509_NAME(nullptr, &p, long(name.size()));
    ASSERT_NE(xname, nullptr);
    char text[256];
    X509_NAME_oneline(xname, text, sizeof text);
    X509_NAME_free(xname);
    EXPECT_STREQ(text, "/C=CN/OU=Retail/CN=Alice");

    // SubjectPublicKeyInfo: the signing key of the container.
    auto spki = Children(req.der, parts[2]);
    ASSERT_EQ(spki.size(), 2u);
    auto alg = Children(req.der, spki[0]);
    ASSERT_EQ(alg.size(), 2u);
    if (v.rsa) {
        EXPECT_EQ(OidText(Whole(req.der, alg[0])), "1.2.840.113549.1.1.1");
        EXPECT_EQ(alg[1].tag, 0x05);
        EXPECT_EQ(EVP_PKEY_get_bits(req.key.get()), int(v.bits));
    } else {
        EXPECT_EQ(OidText(Whole(req.der, alg[0])), "1.2.840.10045.2.1");
        EXPECT_EQ(OidText(Whole(req.der, alg[1])), "1.2.156.10197.1.301");
        EXPECT_EQ(spki[1].contentLength, 66u); // 00, then 04 X Y
    }
    const DWORD dwSignSpec = v.certType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
    EXPECT_TRUE(ContainerHasKey(v.provider, r.container, dwSignSpec, !v.rsa));

    if (v.certType == 1) {
        // No attributes element at all, not even an empty [0].
        EXPECT_EQ(parts.size(), 3u);
        int status = 0;
        const std::string output = OpensslReqVerify(Base64Decode(r.text), !v.rsa, status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("verify OK"), std::string::npos) << output;
        return;
    }
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[3].tag, 0xA0);
    auto attrs = Children(req.der, parts[3]);
    ASSERT_EQ(attrs.size(), 2u);
    auto password = Children(req.der, attrs[0]);
    ASSERT_EQ(password.size(), 2u);
    EXPECT_EQ(OidText(Whole(req.der, password[0])), "1.2.840.113549.1.9.7");
    EXPECT_EQ(Whole(req.der, password[1]), (Bytes{0x13, 0x06, '4', '8', '2', '9', '1', '5'}));
    auto temp = Children(req.der, attrs[1]);
    ASSERT_EQ(temp.size(), 2u);
    EXPECT_EQ(OidText(Whole(req.der, temp[0])), "1.2.840.113549.1.9.63");
    ASSERT_EQ(temp[1].tag, 0x04);
    // OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } }
    Element inner;
    ASSERT_TRUE(ReadElement(req.der, temp[1].contentStart, temp[1].End(), inner));
    auto keyParts = Children(req.der, inner);
    ASSERT_EQ(keyParts.size(), 2u);
    EXPECT_EQ(Whole(req.der, keyParts[0]), (Bytes{0x02, 0x01, 0x01}));
    const Bytes tempKey = Content(req.der, keyParts[1]);
    EXPECT_TRUE(ContainerHasKey(v.provider, r.container, AT_KEYEXCHANGE, !v.rsa));
    if (v.rsa) {
        const unsigned char* q = tempKey.data();
        Pkey rsa(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &q, long(tempKey.size())));
        ASSERT_TRUE(rsa) << "temporary key is not an RSAPublicKey";
        EXPECT_EQ(EVP_PKEY_get_bits(rsa.get()), 1024);
    } else {
        ASSERT_EQ(tempKey.size(), 136u);
        EXPECT_EQ(Bytes(tempKey.begin(), tempKey.begin() + 8),
                  (Bytes{0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}));
        // X and Y big-endian at the head of their fields make a point on the
        // SM2 curve.
        BYTE point[65] = {0x04};
        std::memcpy(point + 1, &tempKey[8], 32);
        std::memcpy(point + 33, &tempKey[72], 32);
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point);
        OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
        EVP_PKEY* key = nullptr;
        EXPECT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
        EXPECT_EQ(EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params), 1);
        EVP_PKEY_CTX* check = key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr) : nullptr;
        EXPECT_TRUE(check && EVP_PKEY_public_check(check) == 1)
            << "temporary point is off the curve";
        EVP_PKEY_CTX_free(check);
        EVP_PKEY_free(key);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
    }
}

INSTANTIATE_TEST_SUITE_P(Providers, RequestVariants,
                         ::testing::Values(Variant{"RsaSingle1024", kEnhanced, 1, true, 1024},
                                           Variant{"RsaSingle2048", kEnhanced, 1, true, 2048},
                                           Variant{"RsaAesSingle2048", kAes, 1, true, 2048},
                                           Variant{"RsaTokenSingle1024", kRsaToken, 1, true, 1024},
                                           Variant{"RsaDouble1024", kEnhanced, 2, true, 1024},
                                           Variant{"RsaDouble2048", kAes, 2, true, 2048},
                                           Variant{"RsaTokenDouble2048", kRsaToken, 2, true, 2048},
                                           Variant{"Sm2Single", kSm2Token, 1, false, 256},
                                           Variant{"Sm2Double", kSm2Token, 2, false, 256}),
                         [](const auto& variant) { return std::string(variant.param.name); });

// --- token key rules -----------------------------------------------------------

TEST(RequestTokens, FailedGenerationRemovesOnlyTheContainerItMade) {
    struct Case {
        const char* why;
        const WCHAR* provider;
        DWORD certType;
        bool rsa;
        DWORD bits;
        size_t leftBehind;
    } cases[] = {
        // The signing pair cannot be made: its new container goes again
        // (deleted with the SM2 providers' own flags).
        {"SM2 single, bad length", kSm2Token, 1, false, 512, 0},
        {"RSA token single, bad length", kRsaToken, 1, true, 100, 0},
        // The temporary pair exists already: its container stays.
        {"SM2 double, bad signing length", kSm2Token, 2, false, 512, 1},
    };
    for (const Case& c : cases) {
        const auto before = Containers(c.provider);
        const Request r = MakeRequest(c.provider, c.certType, c.rsa, c.bits);
        EXPECT_TRUE(FAILED(r.hResult)) << c.why;
        const auto after = Containers(c.provider);
        EXPECT_EQ(after.size(), before.size() + c.leftBehind) << c.why;
    }
}

TEST(RequestTokens, EncodingFailureKeepsTheNewKeys) {
    // A subject piece without "=" fails after the keys exist: they stay.
    const auto before = Containers(kSm2Token);
    const Request r = MakeRequest(kSm2Token, 1, false, 256, 0, TEXT("CN"));
    EXPECT_EQ(r.hResult, NTE_BAD_DATA);
    EXPECT_EQ(Containers(kSm2Token).size(), before.size() + 1);
}

TEST(RequestTokens, ArgumentsAreChecked) {
    std::string text = "untouched";
    WString container = TEXT("untouched");
    EXPECT_EQ(PKCS10CertRequisition(text, container, kEnhanced, nullptr, 1, 1, KeyAlgorithm::Rsa,
                                    1024, 0),
              E_INVALIDARG);
    EXPECT_EQ(PKCS10CertRequisition(text, container, kEnhanced, TEXT("CN=A"), 3, 1,
                                    KeyAlgorithm::Rsa, 1024, 0),
              E_INVALIDARG);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(container, WString(TEXT("untouched")));
}

TEST(RequestTokens, ShortSM2BlobsAreRefusedNotRead) {
    // A blob one byte short of 140, on the heap so a read past it is caught.
    std::unique_ptr<BYTE[]> pbShort(new BYTE[139]());
    std::unique_ptr<BYTE[]> pbFull(new BYTE[140]());
    std::string text = "untouched";
    PKCS10RequestParams params{};
    params.dwKeySpec = 2;
    params.pwszSubject = TEXT("CN=A");
    params.pFamily = &orvane::keys::FamilyFor(KeyAlgorithm::Sm2);
    params.signPublicKey = {pbShort.get(), 139};
    EXPECT_EQ(PKCS10RequestBase64(params, text), NTE_BAD_KEY);
    params.signPublicKey = {pbFull.get(), 140};
    params.tempPublicKey = {pbShort.get(), 139};
    EXPECT_EQ(PKCS10RequestBase64(params, text), NTE_BAD_KEY);
    EXPECT_EQ(text, "untouched");
}

} // namespace
