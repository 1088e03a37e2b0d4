// Decodes arbitrary bytes into an ASN.1 tree and checks what the tree promises:
// every node's content lies inside the buffer and inside its parent's content,
// children follow each other from the start of that content, and one decode
// yields at most 255 nodes. Each primitive leaf is then rebuilt with ASN1Encode
// (when its tag is one the encoder takes and it has content) and the result
// must decode back to the same tag and content. The input is copied into a
// buffer of exactly its size, so any read past the end is an overread for
// AddressSanitizer.
#include "foundation/ASN1Engine.h"
#include "foundation/ResultCodes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

bool EncoderTakes(BYTE bTag) {
    static const BYTE kTags[] = {0x02, 0x04, 0x06, 0x0C, 0x13, 0x16, 0x1E, 0x30, 0x31, 0x80, 0xA0};
    for (BYTE b : kTags)
        if (b == bTag)
            return true;
    return false;
}

bool IsLeafTag(BYTE bTag) {
    return bTag <= 0x1F || (bTag >= 0x80 && bTag <= 0x8F);
}

void Reencode(const ASN1Node& node) {
    const BYTE* pbContent = node.pbData + node.ullContentOffset;
    BYTE* pbEncoded = nullptr;
    DWORD cbEncoded = 0;
    HRESULT hr = ASN1Encode(node.bTag, pbContent, node.dwValueLength, &pbEncoded, &cbEncoded);
    if (!EncoderTakes(node.bTag) || node.dwValueLength == 0) {
        if (hr != E_FAIL || pbEncoded != nullptr)
            std::abort();
        return;
    }
    if (hr != S_OK || pbEncoded == nullptr)
        std::abort();
    std::unique_ptr<BYTE[]> encoded(pbEncoded);
    std::unique_ptr<ASN1Node> again;
    if (DecodeASN1Memory(&again, pbEncoded, cbEncoded) != 0 || !again)
        std::abort();
    if (again->bTag != node.bTag || again->dwValueLength != node.dwValueLength ||
        again->ullContentOffset + again->dwValueLength != cbEncoded ||
        again->dwTotalLength != cbEncoded || !again->vChildren.empty() ||
        std::memcmp(pbEncoded + again->ullContentOffset, pbContent, node.dwValueLength) != 0)
        std::abort();
}

// Checks a node whose length has been resolved and its subtree; counts nodes.
void Check(const ASN1Node& node, const BYTE* pbData, DWORD cbData, ULONGLONG ullBegin,
           ULONGLONG ullEnd, DWORD& dwNodes) {
    ++dwNodes;
    if (node.pbData != pbData || node.dwBufferSize != cbData || node.hStream != nullptr ||
        node.wIndefinite != 0)
        std::abort();
    const ULONGLONG ullTag = node.ullContentOffset - node.dwLengthOctets - 1;
    const ULONGLONG ullContentEnd = node.ullContentOffset + node.dwValueLength;
    if (node.ullContentOffset < 1 + node.dwLengthOctets || ullTag < ullBegin ||
        ullContentEnd > ullEnd || ullContentEnd > cbData ||
        ULONGLONG(node.dwTotalLength) != 1ull + node.dwLengthOctets + node.dwValueLength)
        std::abort();
    if (IsLeafTag(node.bTag)) {
        if (!node.vChildren.empty())
            std::abort();
        Reencode(node);
        return;
    }
    ULONGLONG ullNext = node.ullContentOffset;
    for (const auto& child : node.vChildren) {
        if (child->pParent != &node ||
            child->ullContentOffset - child->dwLengthOctets - 1 != ullNext)
            std::abort();
        Check(*child, pbData, cbData, node.ullContentOffset, ullContentEnd, dwNodes);
        ullNext += child->dwTotalLength;
    }
    // The children fill the content, but for two zero octets that closed an
    // indefinite length.
    if (ullNext != ullContentEnd &&
        (ullNext + 2 != ullContentEnd || pbData[ullNext] != 0 || pbData[ullNext + 1] != 0))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbInput, size_t cbInput) {
    if (cbInput > 0xFFFFFFFF)
        return 0;
    const DWORD cbData = DWORD(cbInput);
    std::unique_ptr<BYTE[]> data(new BYTE[cbData]);
    if (cbData != 0)
        std::memcpy(data.get(), pbInput, cbData);

    std::unique_ptr<ASN1Node> root;
    const int nResult = DecodeASN1Memory(&root, data.get(), cbData);
    if (nResult == ASN1_E_ROOT_HEADER) {
        if (root)
            std::abort();
        return 0;
    }
    if ((nResult != 0 && nResult != ASN1_E_PARSE) || !root || root->pParent != nullptr)
        std::abort();

    DWORD dwNodes = 0;
    if (nResult == 0) {
        Check(*root, data.get(), cbData, 0, cbData, dwNodes);
    } else {
        // A failed decode hands out its root with the children that parsed;
        // those are complete, though the root itself may not be.
        ++dwNodes;
        for (const auto& child : root->vChildren) {
            if (child->pParent != root.get())
                std::abort();
            const ULONGLONG ullEnd =
                root->wIndefinite ? cbData : root->ullContentOffset + root->dwValueLength;
            Check(*child, data.get(), cbData, root->ullContentOffset, ullEnd, dwNodes);
        }
    }
    if (dwNodes > ASN1_MAX_NODES)
        std::abort();
    return 0;
}
