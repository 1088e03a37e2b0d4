// The filter texts a page hands in: the input, read as UTF-16 code units
// (two bytes each, a terminator added), goes through ParseFilters,
// SplitStrings, DistinctProviderNames and ConvertStringToBinaryData, each
// checked against a plain model of its rule.
#include "foundation/Encodings.h"
#include "selection/CertificateFilter.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

bool IsHex(WCHAR ch) {
    return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f') || (ch >= u'A' && ch <= u'F');
}

WCHAR Lower(WCHAR ch) {
    return (ch >= u'A' && ch <= u'Z') ? WCHAR(ch + 32) : ch;
}

void CheckParseFilters(const WString& text) {
    TextList pieces;
    if (ParseFilters(text.c_str(), pieces) != VURO_OK)
        std::abort();
    // One piece per "#" plus one, each the text between them cut to 255.
    size_t start = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        size_t end = text.find(u'#', start);
        if ((end == WString::npos) != (i + 1 == pieces.size()))
            std::abort();
        if (end == WString::npos)
            end = text.size();
        if (pieces[i] != text.substr(start, std::min<size_t>(end - start, 255)))
            std::abort();
        start = end + 1;
    }
}

void CheckSplitStrings(const WString& text) {
    TextList pieces;
    if (SplitStrings(text.c_str(), pieces) != VURO_OK)
        std::abort();
    // The pieces, none empty and none holding a separator, joined by "||"
    // are where the text starts; what follows them is nothing, a trailing
    // separator, or an empty piece (two separators in a row).
    WString joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].empty() || pieces[i].find(u"||") != WString::npos)
            std::abort();
        joined += (i ? u"||" : u"") + pieces[i];
    }
    if (text.compare(0, joined.size(), joined) != 0)
        std::abort();
    const WString rest = text.substr(joined.size());
    const bool ended = pieces.empty()
                           ? (rest.empty() || rest.compare(0, 2, u"||") == 0)
                           : (rest.empty() || rest == u"||" || rest.compare(0, 4, u"||||") == 0);
    if (!ended)
        std::abort();
}

// A name is kept when no name kept before it is equal to it but for the case
// of A-Z; the kept ones keep their order and spelling.
void CheckDistinctProviderNames(const WString& text) {
    TextList pieces;
    if (SplitStrings(text.c_str(), pieces) != VURO_OK)
        std::abort();
    TextList distinct = pieces;
    if (DistinctProviderNames(distinct) != VURO_OK)
        std::abort();
    const auto folded = [](WString name) {
        for (WCHAR& ch : name)
            ch = Lower(ch);
        return name;
    };
    TextList model;
    for (const WString& piece : pieces)
        if (std::none_of(model.begin(), model.end(),
                         [&](const WString& kept) { return folded(kept) == folded(piece); }))
            model.push_back(piece);
    if (distinct != model)
        std::abort();
}

void CheckHex(const WString& text) {
    std::vector<BYTE> bytes;
    const HRESULT hr = ConvertStringToBinaryData(text.c_str(), &bytes);
    bool valid = text.size() % 2 == 0;
    for (WCHAR ch : text)
        valid = valid && IsHex(ch);
    if (valid != (hr == VURO_OK))
        std::abort();
    if (hr != VURO_OK)
        return;
    if (bytes.size() != text.size() / 2)
        std::abort();
    // Written back most significant first, the bytes give the text again.
    WString back;
    if (ConvertBinaryDataToString(DWORD(bytes.size()), &back, bytes.data()) != VURO_OK ||
        back.size() != text.size())
        std::abort();
    for (size_t i = 0; i < text.size(); ++i)
        if (back[i] != Lower(text[i]))
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WString text(size / 2, u'\0');
    std::memcpy(text.data(), data, text.size() * 2);
    // The routines read up to a terminator: the text ends at the first one.
    text.resize(std::char_traits<WCHAR>::length(text.c_str()));
    CheckParseFilters(text);
    CheckSplitStrings(text);
    CheckDistinctProviderNames(text);
    CheckHex(text);
    return 0;
}
