// The ASN.1 engine's encoder: one tag-length-value (TLV) around a ready
// content, handed out as a byte vector; out parameters are set only on success. Each routine is
// thin over der/ (DerWriter, EncodeLength). Reading ASN.1 is
// der::DerReader's alone; the issuer's data is read with der::kEngineRules.
#pragma once
#include "der/Der.h"
#include "foundation/Types.h"

#include <new>
#include <utility>
#include <vector>

// The result a reader of the issuer's data has always reported for bytes
// that cannot be read below their outermost header (all bits set; see
// DecodePrivateKey).
constexpr int ASN1_E_PARSE = -1;

// ---- Encoder ---------------------------------------------------------------

// CalculateASNValueLength: builds the DER length octets for a content of
// dwLength bytes: one octet for 1 to 127, else 0x80 | n followed by the n-octet
// (1 to 4) minimal big-endian length, so 128 gives 81 80 and 65536 gives
// 83 01 00 00. Hands out the octets in *pLength. Returns 0, E_FAIL for a length of 0 (no TLV with
// empty content can be built here; callers write such two-byte TLVs themselves), E_POINTER for a
// null out parameter, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT CalculateASNValueLength(DWORD dwLength, std::vector<BYTE>* pLength);

// ASN1Encode: builds tag octet, length octets and the cbContent bytes at
// pbContent, copied as they are (an INTEGER's sign octet or an OBJECT
// IDENTIFIER's encoding must already be in the content). Only the low 8 bits of dwTag count, and
// only these tags are accepted: 0x02 INTEGER, 0x04 OCTET STRING, 0x06 OBJECT IDENTIFIER, 0x0C
// UTF8String, 0x13 PrintableString, 0x16 IA5String, 0x1E BMPString, 0x30 SEQUENCE, 0x31 SET, 0x80
// [0] primitive and 0xA0 [0] constructed. Hands out the encoding in *pEncoded. Returns 0, E_FAIL
// for any other tag, for empty content or when the TLV would not fit in 32 bits, E_POINTER for a
// null out parameter or null content, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT ASN1Encode(DWORD dwTag, const BYTE* pbContent, DWORD cbContent,
                                 std::vector<BYTE>* pEncoded);

// ASN1EncodeTakesTag: whether ASN1Encode accepts the tag octet bTag (the list
// above).
bool ASN1EncodeTakesTag(BYTE bTag);

// EncodeInto: der::EncodeInto for callers that pass the result by pointer.
// *pEncoded is set only on success; codes as there.
template <class Build>
[[nodiscard]] HRESULT EncodeInto(std::vector<BYTE>* pEncoded, Build&& build) noexcept {
    return orvane::der::EncodeInto(*pEncoded, std::forward<Build>(build));
}
