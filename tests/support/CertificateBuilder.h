// Certificates made to measure for tests on both targets: the fields a filter
// or a store reads, encoded with the DER writer. The signature is not a real
// one (nothing here checks it); the public key is a fixed RSA key unless the
// test gives the key of a container.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvane::test {

using Bytes = std::vector<BYTE>;

// One attribute of a name: its identifier and its value as UTF-8 (written as
// PrintableString for the country, UTF8String otherwise).
using NameAttribute = std::pair<std::string, std::string>;

struct CertificateFields {
    // Relative names in encoding order, least specific first (C, O, CN).
    std::vector<NameAttribute> subject{{"2.5.4.6", "CN"}, {"2.5.4.3", "Test Holder"}};
    std::vector<NameAttribute> issuer{{"2.5.4.6", "CN"}, {"2.5.4.3", "Test Issuer"}};
    // The INTEGER's content octets as encoded, most significant first; a
    // leading 00 stays.
    Bytes serial{0x01, 0x02};
    std::string signatureAlgorithm = "1.2.840.113549.1.1.5";
    // Validity as "YYYYMMDDHHMMSS" in UTC.
    std::string notBefore = "20200101000000";
    std::string notAfter = "20400101000000";
    // The key-usage BIT STRING's contents (unused-bit count, then the bits);
    // none: no extension.
    std::optional<Bytes> keyUsage = Bytes{0x07, 0x80};
    // The subject key identifier's octets; none: no extension.
    std::optional<Bytes> subjectKeyId;
    // An encoded SubjectPublicKeyInfo; empty: the fixed RSA key.
    Bytes publicKeyInfo;
};

// BuildCertificate: the DER certificate the fields describes.
Bytes BuildCertificate(const CertificateFields& fields);

// EncodePublicKeyInfo: the DER SubjectPublicKeyInfo of a structure
// CryptExportPublicKeyInfo filled.
Bytes EncodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info);

// ExportPublicKeyInfo: the DER SubjectPublicKeyInfo of the provider's
// dwKeySpec key; empty when CryptExportPublicKeyInfo fails (GetLastError
// says why). Inline so that only the programs using it link crypt32 for it.
inline Bytes ExportPublicKeyInfo(HCRYPTPROV hProv, DWORD dwKeySpec) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, nullptr, &size))
        return {};
    std::vector<BYTE> block(size);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(block.data());
    if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING, info, &size))
        return {};
    return EncodePublicKeyInfo(*info);
}

} // namespace orvane::test
