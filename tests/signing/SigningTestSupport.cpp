#include "tests/signing/SigningTestSupport.h"

#include "foundation/Encodings.h"
#include "tests/support/TestSupport.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

UniqueStore OpenPersonalStore() {
    return UniqueStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
}

} // namespace

WString UniqueMarker() {
    GUID guid{};
    CoCreateGuid(&guid);
    WCHAR text[64] = {};
    StringFromGUID2(guid, text, 64);
    // Without the braces, which mean nothing to a name filter.
    return WString(text + 1, text + 37);
}

std::string CommonNameWord(PCCERT_CONTEXT cert) {
    WCHAR name[256] = {};
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    const std::string text = U8(name);
    return text.substr(0, text.find(' '));
}

orvane::test::NameAttribute CommonName(const WString& name) {
    return {"2.5.4.3", U8(name)};
}

void LinkedCertificate::Create(const WString& commonName, DWORD dwKeySpec,
                               orvane::test::CertificateFields fields) {
    m_container = W("orvane-filter-") + UniqueMarker();
    m_keySpec = dwKeySpec;
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), m_container.c_str(), MS_ENHANCED_PROV_W,
                                     PROV_RSA_FULL, CRYPT_NEWKEYSET))
        << std::hex << GetLastError();
    UniqueKey key;
    ASSERT_TRUE(CryptGenKey(prov.get(), dwKeySpec, 1024u << 16, key.put()))
        << std::hex << GetLastError();
    DWORD size = 0;
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov.get(), dwKeySpec, X509_ASN_ENCODING, nullptr, &size));
    std::vector<BYTE> block(size);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(block.data());
    ASSERT_TRUE(CryptExportPublicKeyInfo(prov.get(), dwKeySpec, X509_ASN_ENCODING, info, &size));
    fields.publicKeyInfo = orvane::test::EncodePublicKeyInfo(*info);
    fields.subject = {{"2.5.4.6", "CN"}, CommonName(commonName)};
    m_encoded = orvane::test::BuildCertificate(fields);
    ASSERT_NO_FATAL_FAILURE(AddToPersonalStore(m_encoded, true));
}

void LinkedCertificate::AddUnlinkedNeighbour(const WString& commonName) {
    orvane::test::CertificateFields fields;
    fields.subject = {CommonName(commonName)};
    ASSERT_NO_FATAL_FAILURE(AddToPersonalStore(orvane::test::BuildCertificate(fields), false));
}

void LinkedCertificate::AddToPersonalStore(const orvane::test::Bytes& der, bool link) {
    UniqueStore store = OpenPersonalStore();
    ASSERT_TRUE(store) << std::hex << GetLastError();
    PCCERT_CONTEXT raw = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store.get(), kEncoding, der.data(),
                                                 DWORD(der.size()), CERT_STORE_ADD_NEW, &raw))
        << std::hex << GetLastError();
    UniqueCertContext added(raw);
    m_added.push_back(der);
    if (link) {
        WString container = m_container;
        WString provider = MS_ENHANCED_PROV_W;
        CRYPT_KEY_PROV_INFO provInfo{};
        provInfo.pwszContainerName = container.data();
        provInfo.pwszProvName = provider.data();
        provInfo.dwProvType = PROV_RSA_FULL;
        provInfo.dwKeySpec = m_keySpec;
        ASSERT_TRUE(CertSetCertificateContextProperty(added.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                                      &provInfo))
            << std::hex << GetLastError();
    }
    // Wine's registry stores write some changes only when told to.
    CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

void LinkedCertificate::DeleteContainer() {
    if (m_container.empty())
        return;
    HCRYPTPROV none = 0;
    EXPECT_TRUE(CryptAcquireContextW(&none, m_container.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                     CRYPT_DELETEKEYSET))
        << std::hex << GetLastError();
    m_container.clear();
}

LinkedCertificate::~LinkedCertificate() {
    UniqueStore store = OpenPersonalStore();
    if (store) {
        // Collected first: deleting while enumerating would end the walk.
        std::vector<PCCERT_CONTEXT> doomed;
        PCCERT_CONTEXT cert = nullptr;
        while ((cert = CertEnumCertificatesInStore(store.get(), cert)) != nullptr) {
            for (const orvane::test::Bytes& der : m_added)
                if (cert->cbCertEncoded == der.size() &&
                    std::equal(der.begin(), der.end(), cert->pbCertEncoded))
                    doomed.push_back(CertDuplicateCertificateContext(cert));
        }
        for (PCCERT_CONTEXT d : doomed)
            CertDeleteCertificateFromStore(d);
        CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    DeleteContainer();
}

WCHAR PathSeparator() {
#ifdef _WIN32
    return TEXT('\\');
#else
    return TEXT('/');
#endif
}

ScratchFolder::ScratchFolder() {
    WCHAR temp[MAX_PATH + 1] = {};
    const DWORD cch = GetTempPathW(MAX_PATH + 1, temp);
    EXPECT_GT(cch, 0u);
    m_path = WString(temp) + W("orvane-path-") + UniqueMarker().substr(0, 8);
    EXPECT_TRUE(CreateDirectoryW(m_path.c_str(), nullptr)) << std::hex << GetLastError();
}

void ScratchFolder::WriteFile(const WString& path, DWORD bytes) {
    UniqueFile file = UniqueFile::FromCreate(CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << U8(path) << " " << std::hex << GetLastError();
    m_files.push_back(path);
    const std::vector<BYTE> content(bytes, 'x');
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), content.data(), bytes, &written, nullptr));
    ASSERT_EQ(written, bytes);
}

void ScratchFolder::AddFolder(const WString& path) {
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << U8(path) << std::hex << GetLastError();
    m_folders.push_back(path);
}

ScratchFolder::~ScratchFolder() {
    for (const WString& f : m_files)
        if (!DeleteFileW(f.c_str()))
            RemoveDirectoryW(f.c_str());
    for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it)
        RemoveDirectoryW(it->c_str());
    RemoveDirectoryW(m_path.c_str());
}

FILETIME UtcYear(WORD year) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = 1;
    st.wDay = 1;
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}
