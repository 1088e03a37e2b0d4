// Fixtures the signing tests share on both targets: certificates in the
// personal store linked to keys of a software provider, removed again when
// the test ends, and the markers that keep one run's certificates apart from
// whatever else the store holds (under Wine, the prefix's store).
#pragma once
#include "foundation/Handles.h"
#include "foundation/Types.h"
#include "selection/CertificateFilter.h"
#include "tests/support/CertificateBuilder.h"

#include <string>

// UniqueMarker: a text no other certificate's subject contains.
WString UniqueMarker();

// CommonNameWord: the first word of the certificate's common name.
std::string CommonNameWord(PCCERT_CONTEXT cert);

// LinkedCertificate: a key pair in a new container of the software provider
// "Microsoft Enhanced Cryptographic Provider v1.0" and a certificate of it in
// the current user's "MY" store, linked to it by the key-provider property.
// The destructor removes the certificates it added and the container.
class LinkedCertificate {
public:
    LinkedCertificate() = default;
    ~LinkedCertificate();
    LinkedCertificate(const LinkedCertificate&) = delete;
    LinkedCertificate& operator=(const LinkedCertificate&) = delete;

    // Create: the key pair dwKeySpec and the certificate issued to CN=commonName.
    // Use with ASSERT_NO_FATAL_FAILURE.
    void Create(const WString& commonName, DWORD dwKeySpec,
                orvane::test::CertificateFields fields = {});
    // AddUnlinkedNeighbour: one more certificate in "MY", without a key link.
    void AddUnlinkedNeighbour(const WString& commonName);
    void DeleteContainer();

    const WString& Container() const { return m_container; }
    const orvane::test::Bytes& Encoded() const { return m_encoded; }

private:
    void AddToPersonalStore(const orvane::test::Bytes& der, bool link);

    WString m_container;
    DWORD m_keySpec = 0;
    orvane::test::Bytes m_encoded;
    std::vector<orvane::test::Bytes> m_added;
};

// The attributes of a certificate fields for a common name given as UTF-16.
orvane::test::NameAttribute CommonName(const WString& name);

// The path separator of the target: "\" on Windows, "/" on POSIX.
WCHAR PathSeparator();

// ScratchFolder: a new folder below the temporary folder, removed with what
// the test put in it (files and empty folders it made through this object).
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const WString& Path() const { return m_path; }
    // Child: the path of name inside the folder (made of parts joined by the
    // separator of the target).
    WString Child(const WString& name) const { return m_path + PathSeparator() + name; }
    // WriteFile: a file with that many bytes; AddFolder: a folder. Both are
    // removed at the end. Use with ASSERT_NO_FATAL_FAILURE.
    void WriteFile(const WString& path, DWORD bytes);
    void AddFolder(const WString& path);
    // Forget: removed at the end (a file, link or folder made elsewhere).
    void Forget(const WString& path) { m_files.push_back(path); }

private:
    WString m_path;
    std::vector<WString> m_files;
    std::vector<WString> m_folders;
};

// Filter: a CERTIFICATE_FILTER set field by field, for readable tables.
struct Filter {
    CERTIFICATE_FILTER f{};
    Filter& Subject(LPCWSTR v) { return f.pwszSubjectDN = v, *this; }
    Filter& Issuer(LPCWSTR v) { return f.pwszIssuerDN = v, *this; }
    Filter& Csp(LPCWSTR v) { return f.pwszCSPName = v, *this; }
    Filter& KeyId(LPCWSTR v) { return f.pwszSubjectKeyID = v, *this; }
    Filter& Serial(LPCWSTR v) { return f.pwszSerialNumber = v, *this; }
    Filter& Usage(DWORD v) { return f.dwKeyUsage = v, *this; }
    Filter& PrivateKey(BOOL v) { return f.fPrivateKey = v, *this; }
    Filter& Algorithm(LPCSTR v) { return f.pszSignatureAlg = v, *this; }
    Filter& Time(const FILETIME* v) { return f.pftTime = v, *this; }
    operator const CERTIFICATE_FILTER&() const { return f; }
};

// UtcYear: 1 January of the year, 00:00 UTC, as a file time.
FILETIME UtcYear(WORD year);
