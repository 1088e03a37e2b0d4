// Subject names: the page's subject text (CN=Alice,OU=Retail,C=CN) as the DER
// Name of a certification request, and the small attribute and identifier
// builders that requests and signed messages share. Encoded outputs are byte
// vectors; out parameters are set only on success. The Write* forms in orvane::names add
// the same structures to a DER writer, for callers that build a larger
// structure in one writer.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <span>
#include <string>
#include <vector>

namespace orvane::der {
class DerWriter; // der/Der.h, which callers of the Write* forms include
}

// One attribute of a subject text: the dotted object identifier (empty for an
// unknown attribute name) and the value exactly as it stood after "=".
struct SubjectPair {
    std::string strObjectID;
    WString wstrValue;
};

// SplidWstr: cuts wstrText at every wcSeparator; empty pieces are kept (A,,B
// gives A, "", B), an empty text gives no pieces. Returns 0.
[[nodiscard]] HRESULT SplidWstr(const WString& wstrText, WCHAR wcSeparator,
                                std::vector<WString>* pvPieces);

// ReplaceWchar: a copy of wstrText with every wc removed.
WString ReplaceWchar(const WString& wstrText, WCHAR wc);

// GetObjectID: the dotted object identifier of an attribute name (case and
// spaces ignored), or "" for a name the system does not know.
std::string GetObjectID(const WString& wstrName);

// ParseSubject: splits a subject text into pairs, in the text's order. Every
// comma-separated piece must split at "=" into exactly two parts (no quoting,
// no escapes). Returns 0, or NTE_BAD_DATA for a malformed piece (nothing is
// handed out).
[[nodiscard]] HRESULT ParseSubject(const WString& wstrSubject, std::vector<SubjectPair>* pvPairs);

// ComposeSubjectChild: one relative distinguished name holding one attribute:
// SET { SEQUENCE { OBJECT IDENTIFIER, value } }.
[[nodiscard]] HRESULT ComposeSubjectChild(const SubjectPair& pair, std::vector<BYTE>* pEncoded);

// ComposeSubject: the Name of a subject text, its attributes in the reverse of
// the text's order, one attribute per RDN, repeats kept. Returns 0,
// NTE_BAD_DATA for a malformed text, E_FAIL for an empty text or value, or the
// code of the first attribute the encoder refuses.
[[nodiscard]] HRESULT ComposeSubject(const WCHAR* pwszSubject, std::vector<BYTE>* pEncoded);

// ComposeAnyString: one directory-string TLV through the platform encoder
// (X509_ANY_STRING). dwValueType is a CERT_RDN_* type: 2 octet string,
// 4 printable, 7 IA5 (pbValue holds 8-bit characters), 13 UTF-8 (pbValue holds
// UTF-16 and cbValue its byte count; the encoder converts).
[[nodiscard]] HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue,
                                       std::vector<BYTE>* pEncoded);

// ComposeBITString: BIT STRING with no unused bits: 03, length, 00, the bytes.
[[nodiscard]] HRESULT ComposeBITString(DWORD cbData, const BYTE* pbData,
                                       std::vector<BYTE>* pEncoded);

// ComposeStandardAttribute: the PKCS #9 attribute with one value,
// SEQUENCE { OBJECT IDENTIFIER, SET { value } }, from a ready value TLV.
[[nodiscard]] HRESULT ComposeStandardAttribute(const char* pszObjectID, const BYTE* pbValue,
                                               DWORD cbValue, std::vector<BYTE>* pEncoded);

// ComposeSpecialAttribute: SEQUENCE { OBJECT IDENTIFIER, value } from a ready
// value TLV (an AttributeTypeAndValue), or with no value (pbValue null)
// SEQUENCE { OBJECT IDENTIFIER, NULL } (an AlgorithmIdentifier with NULL
// parameters). The value must be one DER element of a tag ASN1Encode takes,
// with content: anything else (empty content, another tag, bytes after the
// element) is refused with E_FAIL. An identifier that is not dotted decimal
// is the encoder's CRYPT_E_ASN1_ERROR (a null one E_INVALIDARG).
[[nodiscard]] HRESULT ComposeSpecialAttribute(const char* pszObjectID, const BYTE* pbValue,
                                              DWORD cbValue, std::vector<BYTE>* pEncoded);

// ComposeObjectIdentifier: the DER (tag, length, value) of the OBJECT
// IDENTIFIER of a dotted text, alone, in *pEncoded. Returns 0,
// E_POINTER for a null argument, or CRYPT_E_ASN1_ERROR for a text that is not
// an identifier.
[[nodiscard]] HRESULT ComposeObjectIdentifier(const char* pszObjectID, std::vector<BYTE>* pEncoded);

// EncodeObject: the platform encoder (X.509 and PKCS #7 encodings) on
// pvStructInfo of type lpszStructType, sized first, into *pEncoded.
// Returns 0, E_POINTER, E_OUTOFMEMORY or the encoder's failure as a result
// code.
[[nodiscard]] HRESULT EncodeObject(const void* pvStructInfo, LPCSTR lpszStructType,
                                   std::vector<BYTE>* pEncoded);

namespace orvane::names {

// WriteSpecialAttribute: ComposeSpecialAttribute into `w` (pbValue null: the
// NULL form). Returns its codes; on failure `w` fails too.
[[nodiscard]] HRESULT WriteSpecialAttribute(der::DerWriter& w, const char* pszObjectID,
                                            const BYTE* pbValue, DWORD cbValue);

// WriteName: ComposeSubject into `w`, with its codes; on failure `w` fails too.
[[nodiscard]] HRESULT WriteName(der::DerWriter& w, const WCHAR* pwszSubject);

// WriteBitString: BIT STRING with no unused bits around `bits`.
void WriteBitString(der::DerWriter& w, std::span<const BYTE> bits);

} // namespace orvane::names
