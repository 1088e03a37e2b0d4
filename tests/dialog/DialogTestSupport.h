// What the dialog tests share: certificates made to order (subject, issuer,
// serial, validity), memory stores holding them, and links to key containers
// in a software or a hardware provider.
#pragma once
#include "foundation/Handles.h"
#include "foundation/Types.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <utility>
#include <vector>

namespace dialog_test {

// A relative distinguished name, e.g. {"2.5.4.3", "Alice"} for CN=Alice.
using Attribute = std::pair<const char*, std::string>;
inline constexpr const char* kCN = "2.5.4.3";
inline constexpr const char* kO = "2.5.4.10";
inline constexpr const char* kOU = "2.5.4.11";
inline constexpr const char* kC = "2.5.4.6";

struct CertificateSpec {
    std::vector<Attribute> subject;          // in encoding order (least specific first)
    std::vector<Attribute> issuer;           // in encoding order
    std::vector<BYTE> serialBigEndian{0x01}; // the INTEGER's contents
    const char* notBefore = "210305000000Z"; // UTCTime
    const char* notAfter = "260304235959Z";
};

// MakeCertificate: a certificate context for spec, with a real RSA public key
// and a signature nobody checks. Null (and a test failure) if it cannot be
// parsed.
UniqueCertContext MakeCertificate(const CertificateSpec& spec);

// MakeNamedCertificate: a certificate "CN=<name>, O=Orvane Demo" issued by
// "CN=Orvane Demo CA, O=Orvane Demo Authority", serial 0x1000 + index.
UniqueCertContext MakeNamedCertificate(const std::string& name, unsigned index);

// SameCertificate: both contexts hold the same encoded certificate.
bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b);

// MemoryStore: a new memory store holding copies of certs, in order.
UniqueStore MemoryStore(const std::vector<PCCERT_CONTEXT>& certs);

// LinkToNewContainer: creates a key container in provider (name, type) and
// records it as the certificate's key-provider property.
bool LinkToNewContainer(PCCERT_CONTEXT pCert, const WCHAR* pwszProvider, DWORD dwProvType);

inline constexpr WCHAR kSoftwareProvider[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
// A stand-in token: its containers count as hardware (POSIX only).
inline constexpr WCHAR kHardwareProvider[] = TEXT("Orvane Soft RSA Token CSP v1.0");

} // namespace dialog_test
