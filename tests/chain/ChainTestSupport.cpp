#include "tests/chain/ChainTestSupport.h"

#include "chain/ChainDocumentReader.h"
#include "chain/CertificateChainOperate.h"
#include "foundation/Handles.h"
#include "tests/support/TestSupport.h"
#include "tools/chaindoc/ChainDocument.h"

#include <objbase.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

Bytes Resource(const char* pszType, const std::string& strName) {
    const WString type = W(pszType);
    const WString name = W(strName.c_str());
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC hInfo = FindResourceW(self, name.c_str(), type.c_str());
    if (hInfo == nullptr)
        return Bytes();
    const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(self, hInfo)));
    return p == nullptr ? Bytes() : Bytes(p, p + SizeofResource(self, hInfo));
}

bool IsDemo(const std::string& strSubject) {
    return strSubject.find("Orvane") != std::string::npos;
}

// DemoCertificatesIn: the demo certificates of a store, each its own reference.
std::vector<UniqueCertContext> DemoCertificatesIn(HCERTSTORE hStore) {
    std::vector<UniqueCertContext> found;
    PCCERT_CONTEXT p = nullptr;
    while ((p = CertEnumCertificatesInStore(hStore, p)) != nullptr) {
        Bytes der(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
        if (IsDemo(SubjectOf(der)))
            found.emplace_back(CertDuplicateCertificateContext(p));
    }
    return found;
}

// BlobOf: the binary value "Blob" of the sub-key pwszName of hKey.
std::optional<Bytes> BlobOf(HKEY hKey, const WCHAR* pwszName) {
    HKEY hSub = nullptr;
    if (RegOpenKeyExW(hKey, pwszName, 0, KEY_READ, &hSub) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD dwType = 0, cb = 0;
    bool bFound =
        RegQueryValueExW(hSub, TEXT("Blob"), nullptr, &dwType, nullptr, &cb) == ERROR_SUCCESS &&
        dwType == REG_BINARY;
    Bytes blob(cb);
    if (bFound && cb != 0)
        bFound = RegQueryValueExW(hSub, TEXT("Blob"), nullptr, &dwType, blob.data(), &cb) ==
                 ERROR_SUCCESS;
    RegCloseKey(hSub);
    return bFound ? std::optional<Bytes>(blob) : std::nullopt;
}

// ComForTests: the document object needs COM on the test thread, as
// NP_Install needs it on its caller's.
class ComForTests : public ::testing::Environment {
public:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void TearDown() override { CoUninitialize(); }
};
::testing::Environment* const g_pComForTests = ::testing::AddGlobalTestEnvironment(new ComForTests);

// DemoCertificatesUnder: the demo certificates a store's Certificates key
// (below hRoot) holds, each as its entry's name and its encoding; none when
// the key cannot be opened.
std::vector<std::pair<WString, Bytes>> DemoCertificatesUnder(HKEY hRoot, const WCHAR* pwszKey) {
    std::vector<std::pair<WString, Bytes>> found;
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, pwszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return found;
    for (DWORD i = 0;; ++i) {
        WCHAR szName[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(hKey, i, szName, &cch, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        const std::optional<Bytes> blob = BlobOf(hKey, szName);
        std::span<const BYTE> cert;
        if (!blob || FindCertificateProperty(*blob, &cert) != S_OK)
            continue;
        Bytes der(cert.begin(), cert.end());
        if (IsDemo(SubjectOf(der)))
            found.emplace_back(szName, std::move(der));
    }
    RegCloseKey(hKey);
    return found;
}

} // namespace

void DeleteKeyTree(HKEY hParent, const WString& strName) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hParent, strName.c_str(), 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
        return;
    for (;;) {
        WCHAR szChild[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(hKey, 0, szChild, &cch, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        DeleteKeyTree(hKey, szChild);
    }
    RegCloseKey(hKey);
    RegDeleteKeyW(hParent, strName.c_str());
}

bool MachineKeyExists(const WString& strPath) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

const WCHAR kRootStoreKey[] = TEXT("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates");

const char* const kWithdrawnRsaFiles[9] = {"w-rsa-ca-1",   "w-rsa-root-1", "w-rsa-ca-2",
                                           "w-rsa-root-2", "w-rsa-ca-3",   "w-rsa-root-3",
                                           "w-rsa-ca-4",   "w-rsa-ca-5",   "w-rsa-root-4"};
const char* const kWithdrawnSm2Files[8] = {"w-sm2-ca-1", "w-sm2-ca-2",   "w-sm2-root-1",
                                           "w-sm2-ca-3", "w-sm2-root-2", "w-sm2-ca-4",
                                           "w-sm2-ca-5", "w-sm2-root-3"};

Bytes DemoDocument(const char* pszName) {
    return Resource("DEMOCHAIN", pszName);
}

std::string DemoDocumentText(const char* pszName) {
    const Bytes doc = DemoDocument(pszName);
    return std::string(doc.begin(), doc.end());
}

Bytes DemoCertificate(const char* pszFile) {
    std::string id = pszFile;
    for (char& c : id)
        c = c == '-' ? '_' : char(std::toupper(static_cast<unsigned char>(c)));
    const Bytes pem = Resource("DEMOCERT", id);
    const std::vector<chaindoc::Bytes> certs =
        chaindoc::ReadCertificates(std::string(pem.begin(), pem.end()));
    return certs.size() == 1 ? certs[0] : Bytes();
}

std::string ThumbprintOf(const Bytes& certificate) {
    return chaindoc::Thumbprint(certificate);
}

std::string SubjectOf(const Bytes& certificate) {
    return chaindoc::SubjectText(certificate);
}

bool RootEntry(const std::string& strThumbprint, Bytes* pBlob) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRootStoreKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    std::optional<Bytes> blob = BlobOf(hKey, W(strThumbprint.c_str()).c_str());
    RegCloseKey(hKey);
    if (blob && pBlob != nullptr)
        *pBlob = *blob;
    return blob.has_value();
}

std::set<std::string> RootEntryThumbprints() {
    std::set<std::string> found;
    for (const auto& entry : DemoCertificatesUnder(HKEY_LOCAL_MACHINE, kRootStoreKey))
        found.insert(U8(entry.first));
    return found;
}

std::multiset<std::string> CaSubjects(DWORD dwLocation) {
    // Read from the store's own registry key: on Windows the user's "CA"
    // store, opened as a system store, shows the machine's as well.
    const HKEY hRoot =
        dwLocation == CERT_SYSTEM_STORE_LOCAL_MACHINE ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    std::multiset<std::string> subjects;
    for (const auto& entry : DemoCertificatesUnder(
             hRoot, TEXT("Software\\Microsoft\\SystemCertificates\\CA\\Certificates")))
        subjects.insert(SubjectOf(entry.second));
    return subjects;
}

bool AddToStore(DWORD dwLocation, const WCHAR* pwszStore, const Bytes& certificate) {
    UniqueStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, pwszStore));
    return store && CertAddEncodedCertificateToStore(store.get(), kEncoding, certificate.data(),
                                                     DWORD(certificate.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
}

bool AddRootEntry(const Bytes& certificate) {
    const Bytes blob = chaindoc::PropertyBlob(certificate);
    const WString thumbprint = W(ThumbprintOf(certificate).c_str());
    return !blob.empty() && RegWriteBinaryValue(kRootStoreKey, thumbprint.c_str(), blob.data(),
                                                DWORD(blob.size())) == S_OK;
}

bool InstallWithdrawn(const char* pszFile) {
    const Bytes cert = DemoCertificate(pszFile);
    if (cert.empty())
        return false;
    if (std::string(pszFile).find("root") != std::string::npos)
        return AddToStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), cert) && AddRootEntry(cert);
    // The user's store first: on Windows the user's "CA" store also shows the
    // machine's, and an add there would only replace the machine's copy.
    return AddToStore(CERT_SYSTEM_STORE_CURRENT_USER, TEXT("CA"), cert) &&
           AddToStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA"), cert);
}

void ResetMachine() {
    for (DWORD dwLocation :
         {DWORD(CERT_SYSTEM_STORE_LOCAL_MACHINE), DWORD(CERT_SYSTEM_STORE_CURRENT_USER)}) {
        UniqueStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, TEXT("CA")));
        if (!store)
            continue;
        for (UniqueCertContext& c : DemoCertificatesIn(store.get()))
            CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c.get()));
        CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    for (const std::string& thumbprint : RootEntryThumbprints())
        DeleteKeyTree(HKEY_LOCAL_MACHINE,
                      WString(kRootStoreKey) + TEXT("\\") + W(thumbprint.c_str()));
    DeleteKeyTree(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\OrvaneChainTest"));
}

Bytes Record(DWORD dwId, DWORD dwLength, const Bytes& value) {
    Bytes out;
    for (DWORD v : {dwId, DWORD(1), dwLength})
        for (int i = 0; i < 4; ++i)
            out.push_back(BYTE(v >> (8 * i)));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
