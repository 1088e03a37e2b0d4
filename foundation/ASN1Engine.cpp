#include "foundation/ASN1Engine.h"

#include "der/Der.h"
#include "foundation/ResultCodes.h"
#include "foundation/Trace.h"

#include <cstring>
#include <new>
#include <span>

#define TRACE_MODULE "ASN1Engine"

namespace {

namespace der = orvane::der;

HRESULT NewBytes(DWORD cb, BYTE** ppb) {
    *ppb = new (std::nothrow) BYTE[cb];
    return *ppb == nullptr ? E_OUTOFMEMORY : S_OK;
}

} // namespace

// ---- Encoder ---------------------------------------------------------------

HRESULT CalculateASNValueLength(DWORD dwLength, BYTE** ppbLength, DWORD* pdwLengthCount) {
    const char* op = "CalculateASNValueLength";
    if (ppbLength == nullptr || pdwLengthCount == nullptr) {
        TRACE_FAILED(op, "Check parameter", E_POINTER,
                     "(NULL == ppbLength || NULL == pdwLengthCount)");
        return E_POINTER;
    }
    if (dwLength == 0) {
        TRACE_FAILED(op, "Check parameter", E_FAIL, "0 == dwLength");
        return E_FAIL;
    }
    BYTE octets[der::kMaxLengthField];
    const DWORD dwCount = DWORD(der::EncodeLength(dwLength, octets));
    BYTE* pbLength = nullptr;
    if (NewBytes(dwCount, &pbLength) != S_OK) {
        TRACE_FAILED(op, "New memory", E_OUTOFMEMORY, "NULL == pbLength");
        return E_OUTOFMEMORY;
    }
    std::memcpy(pbLength, octets, dwCount);
    *ppbLength = pbLength;
    *pdwLengthCount = dwCount;
    return S_OK;
}

bool ASN1EncodeTakesTag(BYTE bTag) {
    switch (bTag) {
    case 0x02: // INTEGER
    case 0x04: // OCTET STRING
    case 0x06: // OBJECT IDENTIFIER
    case 0x0C: // UTF8String
    case 0x13: // PrintableString
    case 0x16: // IA5String
    case 0x1E: // BMPString
    case 0x30: // SEQUENCE
    case 0x31: // SET
    case 0x80: // [0] IMPLICIT, primitive
    case 0xA0: // [0], constructed
        return true;
    default:
        return false;
    }
}

HRESULT ASN1Encode(DWORD dwTag, const BYTE* pbContent, DWORD cbContent, BYTE** ppbEncoded,
                   DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ASN1Encode"));
    const char* op = "ASN1Encode";
    const BYTE bTag = BYTE(dwTag);
    if (!ASN1EncodeTakesTag(bTag)) {
        TRACE_FAILED(op, "Check tag", E_FAIL, "unsupported tag");
        return E_FAIL;
    }
    if (ppbEncoded == nullptr || pcbEncoded == nullptr ||
        (pbContent == nullptr && cbContent != 0)) {
        TRACE_FAILED(op, "Check parameter", E_POINTER,
                     "(NULL == ppbEncoded || NULL == pcbEncoded || NULL == pbContent)");
        return E_POINTER;
    }
    if (cbContent == 0) {
        TRACE_FAILED(op, "CalculateASNValueLength", E_FAIL, "0 == cbContent");
        return E_FAIL;
    }
    // A DWORD of content needs at most five length octets; the TLV must still
    // be counted in 32 bits.
    if (ULONGLONG(cbContent) + 1 + der::kMaxLengthField > 0xFFFFFFFFull) {
        TRACE_FAILED(op, "Check length", E_FAIL, "TLV longer than 32 bits can count");
        return E_FAIL;
    }
    try {
        der::DerWriter writer;
        writer.Element(bTag, std::span<const BYTE>(pbContent, cbContent));
        const std::vector<BYTE>& tlv = writer.Encoding();
        BYTE* pbEncoded = nullptr;
        if (writer.Error() != 0 || NewBytes(DWORD(tlv.size()), &pbEncoded) != S_OK) {
            TRACE_FAILED(op, "New memory", E_OUTOFMEMORY, "NULL == pbEncoded");
            return E_OUTOFMEMORY;
        }
        std::memcpy(pbEncoded, tlv.data(), tlv.size());
        *ppbEncoded = pbEncoded;
        *pcbEncoded = DWORD(tlv.size());
        return S_OK;
    } catch (const std::bad_alloc&) {
        TRACE_FAILED(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
        return E_OUTOFMEMORY;
    }
}
