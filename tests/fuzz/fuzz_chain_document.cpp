// Feeds arbitrary bytes, from a heap copy of exactly the input's size, to the
// chain document reader the installation entry point uses: the XML parser with
// its checks, the search for the root entries, the texts of each entry and the
// walk over the property blob inside. The same bytes also go to the blob walk
// directly. A document that parses can never hold more text than its input:
// nothing may expand.
#include "chain/ChainDocumentReader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// TextUnits: the UTF-16 units the document's own characters became: texts,
// element names and instruction targets; "#document", "#text" and the like
// are the tree's names, not the input's.
size_t TextUnits(const XML_NODE& node) {
    size_t n = node.strText.size();
    if (!node.strName.empty() && node.strName[0] != TEXT('#'))
        n += node.strName.size();
    for (const XML_NODE& child : node.children)
        n += TextUnits(child);
    return n;
}

void Walk(std::span<const BYTE> blob) {
    std::span<const BYTE> certificate;
    if (FindCertificateProperty(blob, &certificate) != S_OK)
        return;
    if (certificate.data() < blob.data() ||
        certificate.data() + certificate.size() > blob.data() + blob.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<BYTE[]> copy(new BYTE[size == 0 ? 1 : size]);
    if (size != 0)
        std::memcpy(copy.get(), data, size);
    Walk(std::span<const BYTE>(copy.get(), size));

    XML_NODE document;
    if (FAILED(LoadXMLDom(copy.get(), DWORD(size), &document)))
        return 0;
    // Every UTF-8 byte gives at most one UTF-16 unit, and names and texts
    // are parts of the input: more would mean an entity was expanded.
    if (TextUnits(document) > size)
        std::abort();
    const XML_NODE* pRoot = nullptr;
    const XML_NODE* pRoots = nullptr;
    if (GetXMLRootNode(&document, &pRoot) != S_OK ||
        FindChildNode(&pRoots, pRoot, TEXT("RootCACertificate")) != S_OK)
        return 0;
    for (const XML_NODE& entry : pRoots->children) {
        REGISTERED_CERT_INFO info;
        if (GetRegisteredCertificateInfoNode(&entry, &info) != S_OK)
            continue;
        std::vector<BYTE> blob;
        if (SUCCEEDED(DecodeBase64Text(info.strContent.c_str(), blob)))
            Walk(blob);
    }
    return 0;
}
