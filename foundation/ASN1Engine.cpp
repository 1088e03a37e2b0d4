#include "foundation/ASN1Engine.h"

#include "der/Der.h"
#include "foundation/ResultCodes.h"
#include "foundation/Trace.h"

#include <new>
#include <span>

#define TRACE_MODULE "ASN1Engine"

namespace der = orvane::der;

// ---- Encoder ---------------------------------------------------------------

HRESULT CalculateASNValueLength(DWORD dwLength, std::vector<BYTE>* pLength) {
    const char* op = "CalculateASNValueLength";
    if (TRACE_IF(pLength == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    if (TRACE_IF(dwLength == 0, op, "Check parameter", E_FAIL))
        return E_FAIL;
    BYTE octets[der::kMaxLengthField];
    const size_t cOctets = der::EncodeLength(dwLength, octets);
    try {
        *pLength = std::vector<BYTE>(octets, octets + cOctets);
    } catch (const std::bad_alloc&) {
        TRACE_FAILED(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
        return E_OUTOFMEMORY;
    }
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

HRESULT ASN1Encode(DWORD dwTag, const BYTE* pbContent, DWORD cbContent,
                   std::vector<BYTE>* pEncoded) {
    TraceHelper trace(TEXT("ASN1Encode"));
    const char* op = "ASN1Encode";
    const BYTE bTag = BYTE(dwTag);
    if (!ASN1EncodeTakesTag(bTag)) {
        TRACE_FAILED(op, "Check tag", E_FAIL, "unsupported tag");
        return E_FAIL;
    }
    if (TRACE_IF(pEncoded == nullptr || (pbContent == nullptr && cbContent != 0), op,
                 "Check parameter", E_POINTER))
        return E_POINTER;
    if (TRACE_IF(cbContent == 0, op, "CalculateASNValueLength", E_FAIL))
        return E_FAIL;
    // A DWORD of content needs at most five length octets; the TLV must still
    // be counted in 32 bits.
    if (ULONGLONG(cbContent) + 1 + der::kMaxLengthField > 0xFFFFFFFFull) {
        TRACE_FAILED(op, "Check length", E_FAIL, "TLV longer than 32 bits can count");
        return E_FAIL;
    }
    try {
        der::DerWriter writer;
        writer.Element(bTag, std::span<const BYTE>(pbContent, cbContent));
        if (TRACE_IF(writer.Error() != 0, op, "New memory", E_OUTOFMEMORY))
            return E_OUTOFMEMORY;
        *pEncoded = writer.Encoding();
        return S_OK;
    } catch (const std::bad_alloc&) {
        TRACE_FAILED(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
        return E_OUTOFMEMORY;
    }
}
