// Installing the authority's chain from the XML documents built into the
// plug-in (resource type "CERTIFICATE"): its root certificates are written
// into the local machine's registry-backed root store, its intermediate
// certificates added to the local machine's "CA" store.
//
// A document:
//   <root>                                      the document's last node
//     <RootCACertificate>
//       <Certificate SerialNum=".." SubjectDN="..">   one per root; children by position:
//         <ImportPath>SOFTWARE\Microsoft\SystemCertificates\ROOT\Certificates</ImportPath>
//                                   the machine root store's key below HKLM, no other
//         <EntryPoint>40 upper-case hex digits: SHA-1 thumbprint</EntryPoint>
//         <Content>Base64 of the serialized property blob</Content>
//       </Certificate>
//     </RootCACertificate>
//     <P7bContent>Base64 of a certificates-only PKCS #7 SignedData</P7bContent>
//   </root>
// Children of <root> are found by a case-insensitive substring of their name
// (the first match wins).
//
// Every routine returns a result code and sets its out-parameters only on
// success; results are handed out as values.
#pragma once
#include "chain/ChainDocumentReader.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <span>
#include <vector>

// Resource ids of the two documents.
constexpr WORD IDR_CERTIFICATE_CHAIN = 104;      // the production hierarchy
constexpr WORD IDR_CERTIFICATE_CHAIN_TEST = 105; // the test hierarchy

// ImportCertificateChainfromResoure: loads the "CERTIFICATE" resource wResourceId
// of the module this code is linked into and imports it
// (ImportCertificateChainfromBlobData). Returns 0 or the first failure.
[[nodiscard]] HRESULT ImportCertificateChainfromResoure(WORD wResourceId);

// LoadModuleResource: a copy of resource wResourceId of type "CERTIFICATE" in
// hModule, in *pData. Returns 0, E_POINTER, the converted last error of
// FindResource, SizeofResource or LoadResource, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT LoadModuleResource(HMODULE hModule, WORD wResourceId,
                                         std::vector<BYTE>* pData);

// ImportCertificateChainfromBlobData: parses the UTF-8 document pbData (cbData
// bytes) and imports it (ImportCertChainfromXMLDOMDoc).
[[nodiscard]] HRESULT ImportCertificateChainfromBlobData(const BYTE* pbData, DWORD cbData);

// ImportCertChainfromXMLDOMDoc: the roots of <RootCACertificate>
// (ParseRootCACertificateNode), then, when that succeeded, the certificates of
// <P7bContent> (ParseP7bContentNode). E_INVALIDARG when either element is
// missing; otherwise the first failure.
[[nodiscard]] HRESULT ImportCertChainfromXMLDOMDoc(const XML_NODE* pDocument);

// ParseRootCACertificateNode: ParseCertificateNode for every child, with one
// current time; a child that fails is traced and skipped. 0, or E_INVALIDARG
// for a null node, or GetMachineTime's failure.
[[nodiscard]] HRESULT ParseRootCACertificateNode(const XML_NODE* pNode);

// ParseCertificateNode: writes the root certificate of one <Certificate>
// element into the machine root store's registry key, unless its validity
// ended before *pftNow (then 0, nothing written). Nothing is written unless
// the entry passes CheckRootEntry (ChainDocumentReader.h): the import path is
// the root store's key (else E_ACCESSDENIED), the blob holds exactly one
// certificate and the entry point is its thumbprint (else E_FAIL, or the
// certificate parser's code). VURO_E_CHAIN_ENTRY_INCOMPLETE for fewer than
// three children; otherwise the failing step's code. What is written is the
// decoded blob as checked, under the key named by the thumbprint.
[[nodiscard]] HRESULT ParseCertificateNode(const FILETIME* pftNow, const XML_NODE* pNode);

// CheckCertValidTime: *pdwExpired 1 when the certificate's validity ended
// before *pftNow, else 0 (the start of validity is not looked at). Reads the
// subject text for the trace. E_INVALIDARG for null arguments, or the subject
// query's failure.
[[nodiscard]] HRESULT CheckCertValidTime(const FILETIME* pftNow, DWORD* pdwExpired,
                                         PCCERT_CONTEXT pCertContext);

// GetMachineTime: the current time, UTC, as a file time.
[[nodiscard]] HRESULT GetMachineTime(FILETIME* pftNow);

// RegWriteBinaryValue: refuses (E_ACCESSDENIED, before opening anything) a
// pwszPath other than the root store's key (IsRootStoreImportPath); then
// opens HKEY_LOCAL_MACHINE\pwszPath with full access
// (making the path when it does not exist), creates or opens its sub-key
// pwszKeyName and sets the binary value "Blob" to the cbData bytes of pbData.
// Registry errors come back as HRESULT_FROM_WIN32.
[[nodiscard]] HRESULT RegWriteBinaryValue(const WCHAR* pwszPath, const WCHAR* pwszKeyName,
                                          const BYTE* pbData, DWORD cbData);

// ParseP7bContentNode: decodes the PKCS #7 of pNode and adds its
// certificates to the machine's "CA" store (AddCACertficatetoStore).
// E_INVALIDARG for a null node.
[[nodiscard]] HRESULT ParseP7bContentNode(const XML_NODE* pNode);

// ImportP7bCertificatestoStore: a read-only store over the PKCS #7 bytes in
// *phStore (the caller closes it).
[[nodiscard]] HRESULT ImportP7bCertificatestoStore(const BYTE* pbData, HCERTSTORE* phStore,
                                                   DWORD cbData);

// AddCACertficatetoStore: adds to the local machine's "CA" store every
// certificate of hSource that is neither expired nor self-signed (issuer and
// subject equal byte for byte); one already there is skipped. E_INVALIDARG
// for a null store; the first other failure to add ends the walk with its code.
[[nodiscard]] HRESULT AddCACertficatetoStore(HCERTSTORE hSource);
