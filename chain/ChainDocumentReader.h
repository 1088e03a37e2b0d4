// Reading a chain document without changing anything: the document, its
// nodes as the import finds them, the texts of a root entry and the
// certificate inside a serialized property blob. The import
// (CertificateChainOperate.h) and the tools that make and check documents
// share it.
//
// Every routine returns a result code and sets its out-parameters only on
// success; buffers handed out are new[] and the caller's to delete[].
#pragma once
#include "chain/XmlDocument.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <span>
#include <vector>

// The certificate's property in a serialized property blob.
constexpr DWORD CERT_BLOB_CERTIFICATE_PROPERTY = 32;

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
HRESULT LoadXMLDom(const BYTE* pbData, DWORD cbData, XML_NODE* pDocument);

// GetXMLRootNode: the document's last top-level node, whatever it is, in
// *ppRoot (pointing into pDocument). E_FAIL for a document without nodes.
HRESULT GetXMLRootNode(const XML_NODE* pDocument, const XML_NODE** ppRoot);

// FindChildNode: the first child of pParent whose name contains pwszName,
// ignoring case, in *ppNode. VURO_S_NODE_NOT_FOUND (no failure) with *ppNode
// untouched when none does; E_INVALIDARG for null arguments.
HRESULT FindChildNode(const XML_NODE** ppNode, const XML_NODE* pParent, const WCHAR* pwszName);

// GetNodeValue: the text of pNode (XmlTextOf) in *ppwszValue (new[]).
HRESULT GetNodeValue(const XML_NODE* pNode, WCHAR** ppwszValue);

// GetRegisteredCertificateInfoNode: the texts of the first three children of
// pNode, by position. VURO_E_CHAIN_ENTRY_INCOMPLETE with fewer than three.
HRESULT GetRegisteredCertificateInfoNode(const XML_NODE* pNode, REGISTERED_CERT_INFO* pInfo);

// FindCertificateProperty: walks the records of a serialized property blob
// (property id, reserved, value length: 12 bytes, little-endian, of which the
// id and the length count their three low bytes; then the value) and hands
// out the value of the first record with id 32 in *pCertificate, pointing
// into blob. E_FAIL when a header or a value would reach beyond the blob, or
// when no record has id 32. Never reads outside the blob.
HRESULT FindCertificateProperty(std::span<const BYTE> blob, std::span<const BYTE>* pCertificate);

// DecodeBase64Text: the bytes of a Base64 wide text (UTF-16 to UTF-8, then
// Base64; characters outside the alphabet, line breaks among them, are
// skipped) into out. The converter's or the decoder's code (E_FAIL for an
// empty text).
HRESULT DecodeBase64Text(const WCHAR* pwszText, std::vector<BYTE>& out);
