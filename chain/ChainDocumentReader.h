// Reading a chain document without changing anything: the document, its
// nodes as the import finds them, the texts of a root entry, the certificate
// inside a serialized property blob, and the checks a root entry must pass
// before anything is written (CheckRootEntry). The import
// (CertificateChainOperate.h) and the tools that make and check documents
// share it.
//
// Every routine returns a result code and sets its out-parameters only on
// success; texts are handed out as values.
#pragma once
#include "chain/XmlDocument.h"
#include "der/SerializedProperties.h"
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <span>
#include <vector>

// The certificate's property in a serialized property blob.
constexpr DWORD CERT_BLOB_CERTIFICATE_PROPERTY = orvane::der::kCertificatePropertyId;

// The one import path a root entry may name: the machine root store's
// certificates key below HKEY_LOCAL_MACHINE, as the documents spell it.
constexpr WCHAR kRootStoreImportPath[] =
    TEXT("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates");

// The result of FindChildNode when no child matches: not a failure.
constexpr HRESULT VURO_S_NODE_NOT_FOUND = HRESULT(0x20001402);

// REGISTERED_CERT_INFO: the texts of one <Certificate> element.
struct REGISTERED_CERT_INFO {
    WString strImportPath;
    WString strEntryPoint;
    WString strContent;
};

// LoadXMLDom: the document of the UTF-8 bytes pbData into *pDocument.
// E_INVALIDARG for null bytes, VURO_E_DATA_LENGTH_LIMIT beyond
// kMaxXmlDocumentBytes, the converter's code for the UTF-16 conversion, or
// ParseXmlText's code (HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a document
// that does not parse).
[[nodiscard]] HRESULT LoadXMLDom(const BYTE* pbData, DWORD cbData, XML_NODE* pDocument);

// GetXMLRootNode: the document's last top-level node, whatever it is, in
// *ppRoot (pointing into pDocument). E_FAIL for a document without nodes.
[[nodiscard]] HRESULT GetXMLRootNode(const XML_NODE* pDocument, const XML_NODE** ppRoot);

// FindChildNode: the first child of pParent whose name contains pwszName,
// ignoring case, in *ppNode. VURO_S_NODE_NOT_FOUND (no failure) with *ppNode
// untouched when none does; E_INVALIDARG for null arguments.
[[nodiscard]] HRESULT FindChildNode(const XML_NODE** ppNode, const XML_NODE* pParent,
                                    const WCHAR* pwszName);

// GetNodeValue: the text of pNode (XmlTextOf) in *pwstrValue.
[[nodiscard]] HRESULT GetNodeValue(const XML_NODE* pNode, WString* pwstrValue);

// GetRegisteredCertificateInfoNode: the texts of the first three children of
// pNode, by position. VURO_E_CHAIN_ENTRY_INCOMPLETE with fewer than three.
[[nodiscard]] HRESULT GetRegisteredCertificateInfoNode(const XML_NODE* pNode,
                                                       REGISTERED_CERT_INFO* pInfo);

// FindCertificateProperty: the value of the certificate record of a
// serialized property blob in *pCertificate, pointing into blob, read by the
// rules the stores read it by (orvane::der::ReadSerializedCertificate): whole
// 32-bit ids and lengths, every record within the blob, exactly one record
// with id 32, its value exactly one whole DER element. E_FAIL otherwise.
// Never reads outside the blob.
[[nodiscard]] HRESULT FindCertificateProperty(std::span<const BYTE> blob,
                                              std::span<const BYTE>* pCertificate);

// IsRootStoreImportPath: whether an entry's import path names the machine
// root store's key, kRootStoreImportPath, compared without regard to (ASCII)
// case, nothing before or after it.
bool IsRootStoreImportPath(const WCHAR* pwszImportPath);

// CertificateThumbprint: the SHA-1 thumbprint of the certificate as 40
// upper-case hexadecimal digits, as the root store names its keys.
[[nodiscard]] HRESULT CertificateThumbprint(PCCERT_CONTEXT pCertContext, WString& strThumbprint);

// RootEntryFault: which check of CheckRootEntry refused an entry.
enum class RootEntryFault {
    None,
    ImportPath,  // not the machine root store's key
    Content,     // <Content> is not Base64
    Blob,        // not a blob with exactly one certificate record of one DER element
    Certificate, // that element is not a certificate
    EntryPoint,  // <EntryPoint> is not the certificate's thumbprint
};

// ROOT_ENTRY: a root entry that passed: the blob to write as it is, its
// certificate, and its thumbprint (the entry point, the key to write under).
struct ROOT_ENTRY {
    std::vector<BYTE> blob;
    UniqueCertContext cert;
    WString strThumbprint;
};

// CertificateOfRootBlob: the certificate of a root entry's decoded blob
// (FindCertificateProperty, then CertCreateCertificateContext over exactly
// that value) in *pCert. E_FAIL when the records do not hold exactly one
// certificate record of one DER element (*pFault Blob), else the converted
// last error of a value that is no certificate (*pFault Certificate).
[[nodiscard]] HRESULT CertificateOfRootBlob(std::span<const BYTE> blob, UniqueCertContext* pCert,
                                            RootEntryFault* pFault = nullptr);

// CheckRootBlob: CertificateOfRootBlob, then the entry point must be the
// certificate's thumbprint exactly (E_FAIL, *pFault EntryPoint). Sets
// pEntry->cert and pEntry->strThumbprint on success.
[[nodiscard]] HRESULT CheckRootBlob(std::span<const BYTE> blob, const WCHAR* pwszEntryPoint,
                                    ROOT_ENTRY* pEntry, RootEntryFault* pFault = nullptr);

// CheckRootEntry: everything the import requires of a root entry before it
// writes anything, in this order: the import path is the root store's key
// (E_ACCESSDENIED), the content decodes (DecodeBase64Text's code), and the
// blob passes CheckRootBlob. The import writes only what passed; chaindoc
// check reports every refusal as an error. *pEntry is set only on success;
// *pFault (when given) always says which check failed, None on success.
[[nodiscard]] HRESULT CheckRootEntry(const REGISTERED_CERT_INFO& info, ROOT_ENTRY* pEntry,
                                     RootEntryFault* pFault = nullptr);

// DecodeBase64Text: the bytes of a Base64 wide text (UTF-16 to UTF-8, then
// Base64; characters outside the alphabet, line breaks among them, are
// skipped) into out. The converter's or the decoder's code (E_FAIL for an
// empty text).
[[nodiscard]] HRESULT DecodeBase64Text(const WCHAR* pwszText, std::vector<BYTE>& out);
