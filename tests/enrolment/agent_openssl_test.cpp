// The agent's request and signing-certificate import end to end in the
// stand-in providers, with OpenSSL as the issuer: the certificate type a page
// passes decides which of the container's keys the certificate is bound to.
// OpenSSL first: the Windows headers define names that OpenSSL's use too.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include "tests/support/OpensslCertificates.h"
#include "tests/support/OsslPtr.h"

#include "enrolment/CryptoAgent.h"
#include "foundation/Handles.h"
#include "tests/enrolment/ImportTestSupport.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");

using orvane::tests::OsslPtr;
using PkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;

std::string EncodeBase64(const std::vector<unsigned char>& der) {
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der.data(), int(der.size()));
    text.resize(size_t(n));
    return text;
}

// ContainerKey: the public key of the container's key pair of dwKeySpec, as
// the provider exports it. (Pair requests carry their second key in an
// attribute OpenSSL does not parse, so the key is read from the container.)
PkeyPtr ContainerKey(const WString& wstrContainer, DWORD dwKeySpec) {
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, wstrContainer.c_str(), kEnhanced, PROV_RSA_FULL, 0))
        return nullptr;
    DWORD cb = 0;
    std::vector<BYTE> buf;
    if (CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, nullptr, &cb)) {
        buf.resize(cb);
        if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING,
                                      reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data()), &cb))
            buf.clear();
    }
    CryptReleaseContext(hProv, 0);
    if (buf.empty())
        return nullptr;
    const auto* pInfo = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(buf.data());
    const unsigned char* p = pInfo->PublicKey.pbData;
    return PkeyPtr(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, long(pInfo->PublicKey.cbData)));
}

// Issue: a one-year certificate for the key, signed by the issuer key. The
// DER, or nothing when OpenSSL refuses a step.
std::vector<unsigned char> Issue(const char* pszCommonName, EVP_PKEY* pKey, EVP_PKEY* pIssuerKey) {
    static long s_lSerial = 1000;
    orvane::checks::CertificateDescription desc;
    desc.key = pKey;
    desc.signer = pIssuerKey;
    desc.subject = {{"CN", pszCommonName}};
    desc.issuer = {{"CN", "Agent Test Issuer"}};
    desc.serial = orvane::checks::SerialOf(++s_lSerial);
    return orvane::checks::MakeCertificate(desc);
}

void DeleteContainer(const WString& wstrContainer) {
    HCRYPTPROV hNone = 0;
    CryptAcquireContextW(&hNone, wstrContainer.c_str(), kEnhanced, PROV_RSA_FULL,
                         CRYPT_DELETEKEYSET);
}

} // namespace

TEST(CryptoAgentIssued, CertificateTypeChoosesTheKey) {
    PkeyPtr issuerKey(EVP_RSA_gen(2048));
    ASSERT_TRUE(issuerKey);
    struct Case {
        LONG requestType;
        LONG importType;
        DWORD keySpec;
    };
    const Case cases[] = {
        {1, 1, AT_KEYEXCHANGE}, // a single certificate sits on the key exchange key
        {2, 2, AT_SIGNATURE},   // the signing half of a pair
        {2, 0, AT_SIGNATURE},   // every type but 1 means the signature key
        {2, 7, AT_SIGNATURE},   {2, -1, AT_SIGNATURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("request " + std::to_string(c.requestType) + ", import " +
                     std::to_string(c.importType));
        CCryptoAgent agent;
        VARIANT_BOOL vb = VARIANT_FALSE;
        ASSERT_EQ(agent.VURO_SetCSPInfo(1024, kEnhanced, &vb), S_OK);
        ASSERT_EQ(agent.VURO_SetKeyAlgorithm(TEXT("RSA"), &vb), S_OK);
        UniqueBstr bstrRequest;
        ASSERT_EQ(agent.VURO_PKCS10CertRequisition(TEXT("CN=Agent Import,O=Orvane,C=CN"),
                                                   c.requestType, 0, bstrRequest.put()),
                  S_OK);
        const std::string request = U8(bstrRequest.get());
        const WString wstrContainer = agent.ContainerName();

        EXPECT_FALSE(request.empty());
        const PkeyPtr key = ContainerKey(wstrContainer, c.keySpec);
        ASSERT_TRUE(key) << "the container holds the key the type asks for";
        const std::vector<unsigned char> der = Issue("Agent Import", key.get(), issuerKey.get());
        ASSERT_FALSE(der.empty());
        // Pages hand the text back with blanks around it and around the name.
        const WString wstrCert = TEXT("  ") + W(EncodeBase64(der).c_str()) + TEXT(" ");
        const WString wstrPadded = TEXT(" ") + wstrContainer + TEXT("  ");
        vb = VARIANT_FALSE;
        ASSERT_EQ(
            agent.VURO_ImportSignCert(c.importType, wstrCert.c_str(), wstrPadded.c_str(), &vb),
            S_OK);
        EXPECT_EQ(vb, VARIANT_TRUE);
        EXPECT_EQ(agent.ContainerName(), wstrContainer) << "an import never moves the container";

        UniqueBstr bstrList;
        ASSERT_EQ(agent.VURO_GetAllCertInfo(bstrList.put()), S_OK);
        const std::string list = U8(bstrList.get());
        EXPECT_NE(list.find("Agent Import"), std::string::npos) << list;
        EXPECT_NE(list.find(U8(kEnhanced)), std::string::npos) << list;

        importtest::ExpectLinkedInMy(der, kEnhanced, PROV_RSA_FULL, wstrContainer, c.keySpec);
        importtest::RemoveFromMy(der);
        DeleteContainer(wstrContainer);
    }
}
