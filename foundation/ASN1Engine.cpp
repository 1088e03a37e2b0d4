#include "foundation/ASN1Engine.h"

#include "der/Der.h"
#include "foundation/ResultCodes.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>

#define TRACE_MODULE "ASN1Engine"

namespace {

namespace der = orvane::der;

// The bytes from ullPosition up to an exclusive limit; empty when the position
// is at or past it. Every byte the engine reads goes through such a span.
std::span<const BYTE> Readable(const BYTE* pbData, ULONGLONG ullLimit, ULONGLONG ullPosition) {
    if (ullPosition >= ullLimit)
        return {};
    if (ullLimit > SIZE_MAX)
        ullLimit = SIZE_MAX;
    return std::span<const BYTE>(pbData, size_t(ullLimit)).subspan(size_t(ullPosition));
}

struct Header {
    BYTE bTag = 0;
    DWORD dwLengthOctets = 0;
    DWORD dwValueLength = 0;
    ULONGLONG ullContentOffset = 0;
    WORD wIndefinite = 0;
};

// The length fields of a node from what der::ReadHeader or der::ReadLength
// read at ullPosition (h.size counts the octets from there to the content).
void TakeLength(const der::Header& h, ULONGLONG ullPosition, Header& header) {
    header.dwLengthOctets = DWORD(h.lengthOctets);
    header.dwValueLength = h.indefinite ? ASN1_INDEFINITE_LENGTH : h.length;
    header.wIndefinite = h.indefinite ? 1 : 0;
    header.ullContentOffset = ullPosition + h.size;
}

// Identifier octet and length octets at ullPosition, every octet below
// ullLimit. The engine's form: one-octet tags, indefinite lengths, long
// lengths of any number of octets of which only the last four survive in
// 32 bits; the contents are checked by the caller, against the enclosing node.
bool ReadHeaderAt(const BYTE* pbData, ULONGLONG ullLimit, ULONGLONG ullPosition, Header& header) {
    der::Header h;
    if (der::ReadHeader(Readable(pbData, ullLimit, ullPosition), der::kEngineRules, h) != 0)
        return false;
    header.bTag = h.identifier;
    TakeLength(h, ullPosition, header);
    return true;
}

// The whole TLV's size, or ASN1_INDEFINITE_LENGTH while the length is open. A
// definite sum beyond 32 bits saturates; such a node never fits a buffer and is
// refused before its size is used.
DWORD TotalLength(const Header& header) {
    if (header.wIndefinite)
        return ASN1_INDEFINITE_LENGTH;
    ULONGLONG ullTotal = 1ull + header.dwLengthOctets + header.dwValueLength;
    return ullTotal > 0xFFFFFFFFull ? 0xFFFFFFFFu : DWORD(ullTotal);
}

std::unique_ptr<ASN1Node> MakeNode(const Header& header, const BYTE* pbData, DWORD dwBufferSize,
                                   ASN1Node* pParent) {
    std::unique_ptr<ASN1Node> node(new (std::nothrow) ASN1Node);
    if (!node)
        return node;
    node->pbData = pbData;
    node->bTag = header.bTag;
    node->dwLengthOctets = header.dwLengthOctets;
    node->dwValueLength = header.dwValueLength;
    node->ullContentOffset = header.ullContentOffset;
    node->dwTotalLength = TotalLength(header);
    node->wIndefinite = header.wIndefinite;
    node->dwBufferSize = dwBufferSize;
    node->pParent = pParent;
    return node;
}

// Universal primitive tags and context-specific primitive [0] to [15] are
// leaves; everything else is walked into as constructed.
bool IsLeafTag(BYTE bTag) {
    return bTag <= 0x1F || (bTag >= 0x80 && bTag <= 0x8F);
}

// Where the node must end: the end of the content of its nearest ancestor
// whose length is known (an ancestor being resolved passes the question up),
// else the buffer's end.
ULONGLONG EnclosingEnd(const ASN1Node* pNode) {
    const ULONGLONG ullBufferEnd = pNode->dwBufferSize;
    for (const ASN1Node* p = pNode->pParent; p != nullptr; p = p->pParent) {
        if (!p->wIndefinite) {
            ULONGLONG ullEnd = p->ullContentOffset + p->dwValueLength;
            return ullEnd < ullBufferEnd ? ullEnd : ullBufferEnd;
        }
    }
    return ullBufferEnd;
}

// ParseNode with the end its node must respect, passed down instead of looked
// up again at every level.
int ParseNodeWithin(ASN1Node* pNode, DWORD* pdwNodeCount, ULONGLONG ullEnd) {
    const char* op = "ParseNode";
    if (++*pdwNodeCount > ASN1_MAX_NODES) {
        TRACE_FAILED(op, "Check node count", ASN1_E_PARSE, "*pdwNodeCount > 255");
        return ASN1_E_PARSE;
    }

    if (IsLeafTag(pNode->bTag)) {
        if (pNode->wIndefinite && GetInfiniteLength(pNode) != 0) {
            TRACE_FAILED(op, "GetInfiniteLength", ASN1_E_PARSE, "0 != GetInfiniteLength");
            return ASN1_E_PARSE;
        }
        if (pNode->ullContentOffset + pNode->dwValueLength > ullEnd) {
            TRACE_FAILED(op, "Check leaf length", ASN1_E_PARSE, "content runs past its end");
            return ASN1_E_PARSE;
        }
        return 0;
    }

    // Children of a definite node stop at its end; those of an indefinite node
    // at the end the node itself must respect.
    ULONGLONG ullChildLimit = ullEnd;
    if (!pNode->wIndefinite) {
        ullChildLimit = pNode->ullContentOffset + pNode->dwValueLength;
        if (ullChildLimit > ullEnd) {
            TRACE_FAILED(op, "Check node length", ASN1_E_PARSE, "content runs past its end");
            return ASN1_E_PARSE;
        }
        if (pNode->dwValueLength == 0)
            return 0;
    }

    ULONGLONG ullConsumed = 0;
    for (;;) {
        Header header;
        if (!ReadHeaderAt(pNode->pbData, ullChildLimit, pNode->ullContentOffset + ullConsumed,
                          header)) {
            TRACE_FAILED(op, "ParseASN1TLV", ASN1_E_PARSE, "child header past its limit");
            return ASN1_E_PARSE;
        }
        std::unique_ptr<ASN1Node> child =
            MakeNode(header, pNode->pbData, pNode->dwBufferSize, pNode);
        if (!child) {
            TRACE_FAILED(op, "New memory", ASN1_E_PARSE, "NULL == pChild");
            return ASN1_E_PARSE;
        }
        PrintNode(child.get());
        if (ParseNodeWithin(child.get(), pdwNodeCount, ullChildLimit) != 0) {
            TRACE_FAILED(op, "ParseNode(child)", ASN1_E_PARSE, "0 != ParseNode");
            return ASN1_E_PARSE;
        }
        // The child's length is resolved by now and the child lies below the limit.
        ullConsumed += child->dwTotalLength;
        pNode->vChildren.push_back(std::move(child));

        if (pNode->wIndefinite) {
            // End-of-contents: two zero octets, counted as content.
            const std::span<const BYTE> rest =
                Readable(pNode->pbData, ullChildLimit, pNode->ullContentOffset + ullConsumed);
            if (rest.size() < 2) {
                TRACE_FAILED(op, "Check end-of-contents", ASN1_E_PARSE,
                             "no end-of-contents within the buffer");
                return ASN1_E_PARSE;
            }
            if (rest[0] == 0 && rest[1] == 0) {
                // Below the limit, so both sums fit in 32 bits.
                pNode->dwValueLength = DWORD(ullConsumed + 2);
                pNode->dwTotalLength = DWORD(1 + pNode->dwLengthOctets + ullConsumed + 2);
                pNode->wIndefinite = 0;
                PrintNode(pNode);
                return 0;
            }
        } else if (ullConsumed >= pNode->dwValueLength) {
            return 0;
        }
    }
}

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

// ---- Decoder ---------------------------------------------------------------

int DecodeASN1Memory(std::unique_ptr<ASN1Node>* ppRoot, const BYTE* pbData, DWORD cbData) {
    TraceHelper trace(TEXT("DecodeASN1Memory"));
    const char* op = "DecodeASN1Memory";
    if (ppRoot == nullptr || pbData == nullptr) {
        TRACE_FAILED(op, "Check parameter", ASN1_E_ROOT_HEADER,
                     "(NULL == ppRoot || NULL == pbData)");
        return ASN1_E_ROOT_HEADER;
    }
    // The outermost header is read with one byte less than the buffer holds;
    // callers rely on buffers of fewer than 3 bytes failing here.
    const ULONGLONG ullRootLimit = cbData == 0 ? 0 : ULONGLONG(cbData) - 1;
    Header header;
    if (!ReadHeaderAt(pbData, ullRootLimit, 0, header)) {
        TRACE_FAILED(op, "ParseASN1TLV", ASN1_E_ROOT_HEADER, "outermost header unreadable");
        return ASN1_E_ROOT_HEADER;
    }
    std::unique_ptr<ASN1Node> root = MakeNode(header, pbData, cbData, nullptr);
    if (!root) {
        TRACE_FAILED(op, "New memory", ASN1_E_PARSE, "NULL == pRoot");
        return ASN1_E_PARSE;
    }
    PrintNode(root.get());
    DWORD dwNodeCount = 0;
    int nResult = ASN1_E_PARSE;
    try {
        nResult = ParseNodeWithin(root.get(), &dwNodeCount, cbData);
    } catch (const std::bad_alloc&) {
        TRACE_FAILED(op, "New memory", ASN1_E_PARSE, "std::bad_alloc");
        nResult = ASN1_E_PARSE;
    }
    if (nResult != 0)
        TRACE_FAILED(op, "ParseNode", nResult, "0 != ParseNode");
    *ppRoot = std::move(root);
    return nResult;
}

int ParseASN1TLV(ULONGLONG ullPosition, ULONGLONG ullLimit, HANDLE hStream, const BYTE* pbData,
                 BYTE* pbTag, DWORD* pdwLengthOctets, DWORD* pdwValueLength,
                 ULONGLONG* pullContentOffset, ULONGLONG* pullEndOffset, WORD* pwIndefinite) {
    const char* op = "ParseASN1TLV";
    if (hStream != nullptr || pbData == nullptr) {
        TRACE_FAILED(op, "Check parameter", ASN1_E_PARSE, "(NULL != hStream || NULL == pbData)");
        return ASN1_E_PARSE;
    }
    Header header;
    if (!ReadHeaderAt(pbData, ullLimit, ullPosition, header)) {
        TRACE_FAILED(op, "Read header", ASN1_E_PARSE, "header past the limit");
        return ASN1_E_PARSE;
    }
    if (pbTag != nullptr)
        *pbTag = header.bTag;
    if (pdwLengthOctets != nullptr)
        *pdwLengthOctets = header.dwLengthOctets;
    if (pdwValueLength != nullptr)
        *pdwValueLength = header.dwValueLength;
    if (pullContentOffset != nullptr)
        *pullContentOffset = header.ullContentOffset;
    if (pullEndOffset != nullptr)
        *pullEndOffset = header.wIndefinite ? ASN1_INDEFINITE_LENGTH
                                            : header.ullContentOffset + header.dwValueLength - 1;
    if (pwIndefinite != nullptr)
        *pwIndefinite = header.wIndefinite;
    return 0;
}

int GetASN1ValueLength(ULONGLONG ullLimit, ULONGLONG ullPosition, HANDLE hStream,
                       const BYTE* pbData, DWORD* pdwLengthOctets, DWORD* pdwValueLength,
                       ULONGLONG* pullContentOffset, WORD* pwIndefinite) {
    const char* op = "GetASN1ValueLength";
    if (hStream != nullptr || pbData == nullptr) {
        TRACE_FAILED(op, "Check parameter", ASN1_E_PARSE, "(NULL != hStream || NULL == pbData)");
        return ASN1_E_PARSE;
    }
    Header header;
    der::Header h;
    if (der::ReadLength(Readable(pbData, ullLimit, ullPosition), der::kEngineRules, h) != 0) {
        TRACE_FAILED(op, "Read length", ASN1_E_PARSE, "length octets past the limit");
        return ASN1_E_PARSE;
    }
    TakeLength(h, ullPosition, header);
    if (pdwLengthOctets != nullptr)
        *pdwLengthOctets = header.dwLengthOctets;
    if (pdwValueLength != nullptr)
        *pdwValueLength = header.dwValueLength;
    if (pullContentOffset != nullptr)
        *pullContentOffset = header.ullContentOffset;
    if (pwIndefinite != nullptr)
        *pwIndefinite = header.wIndefinite;
    return 0;
}

int ParseNode(ASN1Node* pNode, DWORD* pdwNodeCount) {
    const char* op = "ParseNode";
    if (pNode == nullptr || pNode->pbData == nullptr || pdwNodeCount == nullptr) {
        TRACE_FAILED(op, "Check parameter", ASN1_E_PARSE,
                     "(NULL == pNode || NULL == pNode->pbData || NULL == pdwNodeCount)");
        return ASN1_E_PARSE;
    }
    try {
        return ParseNodeWithin(pNode, pdwNodeCount, EnclosingEnd(pNode));
    } catch (const std::bad_alloc&) {
        TRACE_FAILED(op, "New memory", ASN1_E_PARSE, "std::bad_alloc");
        return ASN1_E_PARSE;
    }
}

int GetInfiniteLength(ASN1Node* pNode) {
    const char* op = "GetInfiniteLength";
    if (pNode == nullptr || pNode->pbData == nullptr || !pNode->wIndefinite) {
        TRACE_FAILED(op, "Check parameter", ASN1_E_PARSE,
                     "(NULL == pNode || NULL == pbData || !wIndefinite)");
        return ASN1_E_PARSE;
    }
    // The first two zero octets of the content; a zero right at its start does
    // not pair with the length octet before it.
    static constexpr BYTE kEndOfContents[] = {0x00, 0x00};
    const std::span<const BYTE> content =
        Readable(pNode->pbData, pNode->dwBufferSize, pNode->ullContentOffset);
    const auto pair = std::search(content.begin(), content.end(), std::begin(kEndOfContents),
                                  std::end(kEndOfContents));
    if (pair != content.end()) {
        // Inside a buffer whose size fits in 32 bits, so both sums do too.
        const ULONGLONG ullScanned = ULONGLONG(pair - content.begin()) + 2;
        pNode->dwValueLength = DWORD(ullScanned);
        pNode->dwTotalLength = DWORD(1 + pNode->dwLengthOctets + ullScanned);
        pNode->wIndefinite = 0;
        return 0;
    }
    TRACE_FAILED(op, "Find end-of-contents", ASN1_E_PARSE, "no two zero octets within the buffer");
    return ASN1_E_PARSE;
}

void PrintNode(const ASN1Node* pNode) {
    if (pNode == nullptr || !TraceIsEnabled(TRACE_FLAG_INFO))
        return;
    char szLine[128];
    std::snprintf(szLine, sizeof(szLine), "tag 0x%02x, value length %lu, content offset %llu",
                  unsigned(pNode->bTag), static_cast<unsigned long>(pNode->dwValueLength),
                  static_cast<unsigned long long>(pNode->ullContentOffset));
    TraceValueA("ASN1Node", szLine);
}
