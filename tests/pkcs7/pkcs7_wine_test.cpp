// RSA messages made with Wine's providers (Windows build under Wine), checked
// by Wine's own message verifier and decoder, an implementation independent
// of ours. The messages and their contents are left in the folder named by
// ORVANE_PKCS7_MESSAGES, where OpenSSL checks them from the Linux side.
#include "foundation/Handles.h"
#include "tests/pkcs7/CspSigner.h"
#include "signing/RsaPkcs7.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr WCHAR kBase[] = TEXT("Microsoft Base Cryptographic Provider v1.0");
constexpr WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
constexpr const WCHAR* kAes = orvane::tests::kAesProvider;
using orvane::tests::ProviderType;

using Signer = orvane::tests::CspSigner;

std::unique_ptr<Signer> MakeSigner(const WCHAR* provider, DWORD bits, DWORD keySpec,
                                   const WString& name) {
    auto s = std::make_unique<Signer>();
    s->provider = provider;
    s->container = W("orvane-pkcs7-wine-") + name;
    s->keySpec = keySpec;
    HCRYPTPROV prov = 0;
    CryptAcquireContextW(&prov, s->container.c_str(), provider, ProviderType(provider),
                         CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(&prov, s->container.c_str(), provider, ProviderType(provider),
                              CRYPT_NEWKEYSET)) {
        ADD_FAILURE() << "CryptAcquireContextW: " << std::hex << GetLastError();
        return nullptr;
    }
    HCRYPTKEY key = 0;
    if (!CryptGenKey(prov, keySpec, bits << 16, &key)) {
        ADD_FAILURE() << "CryptGenKey: " << std::hex << GetLastError();
        CryptReleaseContext(prov, 0);
        return nullptr;
    }
    CryptDestroyKey(key);
    BYTE name_[128];
    DWORD cbName = sizeof name_;
    const WString subject = W("CN=Wine signer ") + name + W(",C=CN");
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = s->container.data();
    info.pwszProvName = s->provider.data();
    info.dwProvType = ProviderType(provider);
    info.dwKeySpec = keySpec;
    if (CertStrToNameW(X509_ASN_ENCODING, subject.c_str(), CERT_X500_NAME_STR, nullptr, name_,
                       &cbName, nullptr)) {
        CERT_NAME_BLOB blob{cbName, name_};
        s->cert.reset(CertCreateSelfSignCertificate(prov, &blob, 0, &info, nullptr, nullptr,
                                                    nullptr, nullptr));
    }
    CryptReleaseContext(prov, 0);
    if (!s->cert) {
        ADD_FAILURE() << "CertCreateSelfSignCertificate: " << std::hex << GetLastError();
        return nullptr;
    }
    CertSetCertificateContextProperty(s->cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    return s;
}

Bytes Decode(const std::string& text) {
    DWORD cb = 0;
    if (!CryptStringToBinaryA(text.c_str(), DWORD(text.size()), CRYPT_STRING_BASE64, nullptr, &cb,
                              nullptr, nullptr))
        return {};
    Bytes out(cb);
    CryptStringToBinaryA(text.c_str(), DWORD(text.size()), CRYPT_STRING_BASE64, out.data(), &cb,
                         nullptr, nullptr);
    out.resize(cb);
    return out;
}

// WriteOut: a file in the messages folder, for OpenSSL on the Linux side.
void WriteOut(const std::string& name, const Bytes& data) {
    const char* dir = std::getenv("ORVANE_PKCS7_MESSAGES");
    if (dir == nullptr || *dir == 0)
        return;
    const WString path = W(dir) + W("/") + W(name.c_str());
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, data.data(), DWORD(data.size()), &written, nullptr));
    EXPECT_EQ(written, data.size());
    CloseHandle(h);
}

// What Wine's decoder reads from the message.
void ExpectLayout(const Bytes& der, const Bytes& expectedSignature) {
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(msg, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(msg, der.data(), DWORD(der.size()), TRUE))
        << std::hex << GetLastError();
    DWORD value = 0, cb = sizeof value;
    EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &value, &cb));
    EXPECT_EQ(value, DWORD(CMSG_SIGNED));
    cb = sizeof value;
    EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &value, &cb));
    EXPECT_EQ(value, 1u);
    cb = sizeof value;
    EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &value, &cb));
    EXPECT_EQ(value, 1u);
    char innerType[64] = {};
    cb = sizeof innerType;
    EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_INNER_CONTENT_TYPE_PARAM, 0, innerType, &cb));
    EXPECT_STREQ(innerType, "1.2.840.113549.1.7.1");
    cb = 0;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cb));
    std::vector<BYTE> block(cb);
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, block.data(), &cb));
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(block.data());
    EXPECT_EQ(info->dwVersion, 1u);
    EXPECT_STREQ(info->HashAlgorithm.pszObjId, "1.3.14.3.2.26");
    EXPECT_STREQ(info->HashEncryptionAlgorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(info->AuthAttrs.cAttr, 0u);
    EXPECT_EQ(info->UnauthAttrs.cAttr, 0u);
    EXPECT_EQ(
        Bytes(info->EncryptedHash.pbData, info->EncryptedHash.pbData + info->EncryptedHash.cbData),
        expectedSignature);
    CryptMsgClose(msg);
}

struct Variant {
    const char* name;
    const WCHAR* provider;
    DWORD bits;
    DWORD keySpec;
};

class WineProviders : public ::testing::TestWithParam<Variant> {};

TEST_P(WineProviders, MessagesVerifyWithWinesVerifier) {
    const Variant& v = GetParam();
    auto signer = MakeSigner(v.provider, v.bits, v.keySpec, W(v.name));
    ASSERT_TRUE(signer);
    std::mt19937 rng(v.bits);
    const std::string utf8 = "签名 " + std::string(300, 't');
    const Bytes text(utf8.begin(), utf8.end());
    Bytes fileContent(40000);
    for (auto& b : fileContent)
        b = BYTE(rng());
    WCHAR tempDir[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, tempDir), 0u);
    const WString path = WString(tempDir) + W("orvane-pkcs7-") + W(v.name) + W(".bin");
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, fileContent.data(), DWORD(fileContent.size()), &written, nullptr);
    CloseHandle(h);
    WriteOut(std::string(v.name) + "-text.content", text);
    WriteOut(std::string(v.name) + "-file.content", fileContent);

    for (bool file : {false, true}) {
        const Bytes& content = file ? fileContent : text;
        Bytes expectedSignature = signer->CspSignature(content);
        std::reverse(expectedSignature.begin(), expectedSignature.end());
        for (bool attached : {true, false}) {
            const std::string kind =
                std::string(file ? "file" : "text") + (attached ? "-attached" : "-detached");
            SCOPED_TRACE(kind);
            BSTR bstr = nullptr;
            const HRESULT hr = file ? SignFile(&bstr, path.c_str(), signer->cert.get(), attached)
                                    : SignBinaryData(&bstr, text.data(), signer->cert.get(),
                                                     DWORD(text.size()), attached);
            ASSERT_EQ(hr, S_OK);
            const std::string b64 = U8(bstr);
            SysFreeString(bstr);
            // Texts on one line; files in lines of 76 characters.
            EXPECT_EQ(b64.find('\n') != std::string::npos, file);
            if (file) {
                EXPECT_EQ(b64.find("\r\n"), 76u);
            }
            const Bytes der = Decode(b64);
            ASSERT_FALSE(der.empty());
            WriteOut(std::string(v.name) + "-" + kind + ".der", der);

            CRYPT_VERIFY_MESSAGE_PARA para{};
            para.cbSize = sizeof para;
            para.dwMsgAndCertEncodingType = kEncoding;
            PCCERT_CONTEXT found = nullptr;
            if (attached) {
                DWORD cb = 0;
                ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, der.data(), DWORD(der.size()),
                                                        nullptr, &cb, nullptr))
                    << std::hex << GetLastError();
                Bytes decoded(cb);
                ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, der.data(), DWORD(der.size()),
                                                        decoded.data(), &cb, &found));
                decoded.resize(cb);
                EXPECT_EQ(decoded, content);
            } else {
                const BYTE* parts[] = {content.data()};
                DWORD sizes[] = {DWORD(content.size())};
                ASSERT_TRUE(CryptVerifyDetachedMessageSignature(
                    &para, 0, der.data(), DWORD(der.size()), 1, parts, sizes, &found))
                    << std::hex << GetLastError();
                // Another content does not verify.
                Bytes other = content;
                other[0] ^= 1;
                const BYTE* otherParts[] = {other.data()};
                EXPECT_FALSE(CryptVerifyDetachedMessageSignature(
                    &para, 0, der.data(), DWORD(der.size()), 1, otherParts, sizes, nullptr));
            }
            ASSERT_NE(found, nullptr);
            EXPECT_TRUE(
                CertCompareCertificate(kEncoding, found->pCertInfo, signer->cert.get()->pCertInfo));
            CertFreeCertificateContext(found);
            ExpectLayout(der, expectedSignature);
        }
    }
    DeleteFileW(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(EveryProvider, WineProviders,
                         ::testing::Values(Variant{"Base1024", kBase, 1024, AT_KEYEXCHANGE},
                                           Variant{"Base2048", kBase, 2048, AT_SIGNATURE},
                                           Variant{"Enhanced1024", kEnhanced, 1024, AT_SIGNATURE},
                                           Variant{"Enhanced2048", kEnhanced, 2048, AT_KEYEXCHANGE},
                                           Variant{"Aes1024", kAes, 1024, AT_KEYEXCHANGE},
                                           Variant{"Aes2048", kAes, 2048, AT_SIGNATURE}),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
