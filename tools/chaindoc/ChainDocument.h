// Chain documents made and checked outside the plug-in: what chaindoc does,
// kept in a library so that the tests build their documents the same way.
//
// A document holds the authority's roots, each as the serialized property
// blob the root store keeps ("Blob": SHA-1 thumbprint, key identifier, then
// the certificate) under its thumbprint, and a certificates-only PKCS #7 of
// the intermediates with their roots. Reading goes through the plug-in's own
// parser and blob walk.
#pragma once
#include "foundation/Types.h"

#include <windows.h>
#include <wincrypt.h>

#include <optional>
#include <string>
#include <vector>

namespace chaindoc {

using Bytes = std::vector<BYTE>;

// The root store's key below HKEY_LOCAL_MACHINE, the only import path the
// import accepts (kRootStoreImportPath of chain/ChainDocumentReader.h).
inline constexpr char kRootStorePath[] =
    "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";

// ReadCertificates: the certificates of a file's contents: one DER
// certificate, or PEM text with any number of "CERTIFICATE" blocks. Empty
// when there is none or a block does not decode.
std::vector<Bytes> ReadCertificates(const std::string& strContents);

// Thumbprint: the SHA-1 thumbprint as 40 upper-case hexadecimal digits;
// empty when the bytes are not a certificate.
std::string Thumbprint(const Bytes& certificate);
// SerialText: the serial number as displayed (most significant byte first,
// upper-case hexadecimal).
std::string SerialText(const Bytes& certificate);
// SubjectText, IssuerText: the names in the subject-text form the filters and
// the withdrawn tables use (UTF-8).
std::string SubjectText(const Bytes& certificate);
std::string IssuerText(const Bytes& certificate);

// PropertyBlob: the serialized property blob of a root: records (id,
// reserved 1, length, value) for the SHA-1 thumbprint (3), the key identifier
// (20) and the certificate (32), in that order.
Bytes PropertyBlob(const Bytes& certificate);

// CertificatesOnlyPkcs7: a DER ContentInfo of a SignedData that holds the
// certificates in the order given, no content and no signer.
Bytes CertificatesOnlyPkcs7(const std::vector<Bytes>& certificates);

// Base64Lines: Base64 in lines of 64 characters, each ended by "\n".
std::string Base64Lines(const Bytes& data);

// MakeDocument: the UTF-8 XML document for those roots and that PKCS #7
// content; strComment (any text without "--") goes into a comment after the
// declaration.
std::string MakeDocument(const std::vector<Bytes>& roots, const std::vector<Bytes>& chain,
                         const std::string& strComment);

// WithdrawnRow: a row of a withdrawn-certificate table for the certificate,
// as a root (self-issued) or an intermediate. Empty when the name holds a
// character the tables cannot carry ('"', '\\', '#' or a line break).
std::string WithdrawnRow(const Bytes& certificate);

// CheckReport: what CheckDocument found: errors make the document unusable or
// let the import refuse a part of it; notes describe what it will do.
struct CheckReport {
    std::vector<std::string> errors;
    std::vector<std::string> notes;
    int roots = 0;
    int chainCertificates = 0;
};

// CheckDocument: reads a document as the plug-in reads it and checks every
// root entry (three children, then the import's own CheckRootEntry: the root
// store's path, a blob with exactly one property 32 holding exactly one
// certificate, the entry point its thumbprint; whatever the import would
// refuse is an error) and the PKCS #7 content; validity periods are judged at
// ftNow.
CheckReport CheckDocument(const Bytes& document, const FILETIME& ftNow);

} // namespace chaindoc
