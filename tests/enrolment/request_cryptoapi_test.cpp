// RSA requests in the operating system's software provider, checked through
// CryptoAPI: on Windows (Wine's provider) an implementation independent of
// ours; on POSIX the stand-in, whose requests OpenSSL also checks elsewhere.
#include "enrolment/CertificateRequisition.h"
#include "foundation/Encodings.h"
#include "tests/enrolment/ImportTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

constexpr WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");

struct Request {
    HRESULT hResult = E_FAIL;
    std::string text;
    WString container;
};

Request MakeRequest(DWORD dwCertType, DWORD dwBits, DWORD dwFlags = 0) {
    Request r;
    r.hResult =
        PKCS10CertRequisition(r.text, r.container, kEnhanced, TEXT("CN=Bob,C=CN"), dwCertType,
                              dwCertType == 1 ? 1 : 2, KeyAlgorithm::Rsa, dwBits, dwFlags);
    return r;
}

Bytes Decode(const std::string& text) {
    std::vector<BYTE> decoded;
    EXPECT_EQ(Base64DecodeEx(int(text.size()), &decoded, text.c_str()), S_OK);
    return Bytes(decoded.begin(), decoded.end());
}

// Tlv: the element at pos; lengths up to two octets are all a request needs.
struct Tlv {
    BYTE tag = 0;
    size_t start = 0, content = 0, length = 0;
    size_t End() const { return content + length; }
};
bool ReadTlv(const Bytes& der, size_t pos, Tlv& t) {
    if (pos + 2 > der.size())
        return false;
    t.tag = der[pos];
    t.start = pos;
    size_t len = der[pos + 1], at = pos + 2;
    if (len == 0x81 || len == 0x82) {
        const size_t n = len & 0x7F;
        if (at + n > der.size())
            return false;
        len = n == 1 ? der[at] : (size_t(der[at]) << 8) | der[at + 1];
        at += n;
    } else if (len > 0x80) {
        return false;
    }
    t.content = at;
    t.length = len;
    return t.End() <= der.size();
}

std::set<std::string> Containers() {
    return importtest::Containers(kEnhanced, PROV_RSA_FULL);
}

void DeleteContainer(const WString& name) {
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, name.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

TEST(RsaRequestCryptoApi, SignatureVerifiesWithTheContainersKey) {
    for (DWORD dwType : {1u, 2u}) {
        const Request r = MakeRequest(dwType, 1024);
        ASSERT_EQ(r.hResult, S_OK) << "type " << dwType;
        const Bytes der = Decode(r.text);
        Tlv outer, info, alg, sig;
        ASSERT_TRUE(ReadTlv(der, 0, outer));
        ASSERT_EQ(outer.End(), der.size());
        ASSERT_TRUE(ReadTlv(der, outer.content, info));
        ASSERT_TRUE(ReadTlv(der, info.End(), alg));
        ASSERT_TRUE(ReadTlv(der, alg.End(), sig));
        ASSERT_EQ(sig.tag, 0x03);
        ASSERT_EQ(sig.length, 129u);
        ASSERT_EQ(der[sig.content], 0); // no unused bits

        // The provider verifies its little-endian form of the signature over
        // the signed request information.
        HCRYPTPROV hProv = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hProv, r.container.c_str(), kEnhanced, PROV_RSA_FULL, 0));
        const DWORD dwSpec = dwType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        HCRYPTKEY hKey = 0;
        ASSERT_TRUE(CryptGetUserKey(hProv, dwSpec, &hKey));
        HCRYPTHASH hHash = 0;
        ASSERT_TRUE(CryptCreateHash(hProv, CALG_SHA1, 0, 0, &hHash));
        ASSERT_TRUE(CryptHashData(hHash, &der[info.start], DWORD(info.End() - info.start), 0));
        Bytes signature(der.begin() + long(sig.content) + 1, der.begin() + long(sig.End()));
        Bytes littleEndian(signature.rbegin(), signature.rend());
        EXPECT_TRUE(CryptVerifySignatureW(hHash, littleEndian.data(), DWORD(littleEndian.size()),
                                          hKey, nullptr, 0))
            << "type " << dwType << " error " << GetLastError();
        // The same bytes in the request's order must not verify: the order
        // really was turned.
        EXPECT_FALSE(CryptVerifySignatureW(hHash, signature.data(), DWORD(signature.size()), hKey,
                                           nullptr, 0));
        CryptDestroyHash(hHash);
        CryptDestroyKey(hKey);

        // Type 2 keeps its temporary exchange pair of 1024 bits beside it.
        HCRYPTKEY hExchange = 0;
        EXPECT_EQ(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hExchange) != FALSE, true);
        if (hExchange)
            CryptDestroyKey(hExchange);
        CryptReleaseContext(hProv, 0);
        DeleteContainer(r.container);
    }
}

TEST(RsaRequestCryptoApi, PageFlagsTravelBesideTheKeyLength) {
    // Flags 1 (exportable) with 2048 bits arrive as 0x08000001: the key is
    // then 2048 bits long and exportable; without the flag it is not.
    for (DWORD dwFlags : {1u, 0u}) {
        const Request r = MakeRequest(1, 2048, dwFlags);
        ASSERT_EQ(r.hResult, S_OK);
        HCRYPTPROV hProv = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hProv, r.container.c_str(), kEnhanced, PROV_RSA_FULL, 0));
        HCRYPTKEY hKey = 0;
        ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
        DWORD dwBits = 0, cb = sizeof dwBits;
        EXPECT_TRUE(CryptGetKeyParam(hKey, KP_KEYLEN, reinterpret_cast<BYTE*>(&dwBits), &cb, 0));
        EXPECT_EQ(dwBits, 2048u);
        DWORD cbBlob = 0;
        EXPECT_EQ(CryptExportKey(hKey, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob) != FALSE,
                  dwFlags == 1)
            << "flags " << dwFlags;
        CryptDestroyKey(hKey);
        CryptReleaseContext(hProv, 0);
        DeleteContainer(r.container);
    }
}

TEST(RsaRequestCryptoApi, FailedGenerationRemovesOnlyTheContainerItMade) {
    // 100 bits is no RSA key length: the signing pair cannot be made. A
    // single request's new container goes again; a double request's stays,
    // holding the temporary pair made before.
    const auto before = Containers();
    EXPECT_TRUE(FAILED(MakeRequest(1, 100).hResult));
    EXPECT_EQ(Containers(), before);
    EXPECT_TRUE(FAILED(MakeRequest(2, 100).hResult));
    const auto after = Containers();
    ASSERT_EQ(after.size(), before.size() + 1);
    for (const std::string& name : after)
        if (!before.count(name))
            DeleteContainer(W(name.c_str()));
}

TEST(RsaRequestCryptoApi, PublicKeyOfAReusedHandleComesFromThatContainer) {
    // A handle already open is used as it is, and the caller keeps it.
    const orvane::keys::KeyFamily& rsa = orvane::keys::FamilyFor(KeyAlgorithm::Rsa);
    UniqueProvider provider;
    std::vector<BYTE> key;
    WString name;
    ASSERT_EQ(CreatePublicKey(nullptr, &name, key, 1024, kEnhanced, rsa, AT_KEYEXCHANGE, TRUE,
                              provider, 0),
              S_OK);
    ASSERT_TRUE(provider);
    EXPECT_EQ(name.size(), 38u);
    EXPECT_EQ(name.front(), WCHAR('{'));
    const HCRYPTPROV hSame = provider.get();
    key.clear();
    ASSERT_EQ(CreatePublicKey(name.c_str(), nullptr, key, 1024, kEnhanced, rsa, AT_SIGNATURE, FALSE,
                              provider, 0),
              S_OK);
    EXPECT_EQ(provider.get(), hSame);
    HCRYPTKEY hSign = 0;
    EXPECT_TRUE(CryptGetUserKey(provider.get(), AT_SIGNATURE, &hSign));
    CryptDestroyKey(hSign);
    // The exported key bits are the RSAPublicKey SEQUENCE of a 1024-bit key.
    ASSERT_GT(key.size(), 130u);
    EXPECT_EQ(key[0], 0x30);
    provider.reset();
    DeleteContainer(name);
}

} // namespace
