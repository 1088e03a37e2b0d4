// Arbitrary bytes through the DER reader, into every constructed element (to a
// bounded depth), checking what the reader promises: a peek reads what the
// next read reads, a failed read leaves the cursor where it was, every
// element lies inside what it was read from, and the engine's wider rules read
// the same header wherever DER reads one. Every element is written again with
// the writer and must read back the same; every object identifier parsed must
// be written back to the same octets. The input is copied into a buffer of
// exactly its size, so any read past the end is an overread for
// AddressSanitizer.
#include "der/Der.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace orvane::der;

constexpr int kMaxDepth = 32;

bool Inside(Bytes part, Bytes whole) {
    return part.data() >= whole.data() && part.size() <= whole.size() &&
           size_t(part.data() - whole.data()) <= whole.size() - part.size();
}

void CheckOid(Bytes contents) {
    std::string dotted;
    if (ParseOid(contents, dotted) != 0)
        return;
    DerWriter w;
    WriteOid(w, dotted.c_str());
    DerReader r(w.Encoding());
    Bytes again;
    if (w.Error() != 0 || r.Read(tag::kOid, again) != 0 || again.size() != contents.size() ||
        std::memcmp(again.data(), contents.data(), contents.size()) != 0)
        std::abort();
}

// A one-octet identifier and its contents, written again in minimal form.
void CheckRewrite(BYTE identifier, Bytes contents) {
    DerWriter w;
    w.Element(identifier, contents);
    DerReader r(w.Encoding());
    BYTE again = 0;
    Bytes back;
    if (w.Error() != 0 || r.ReadAny(again, back) != 0 || !r.AtEnd() || again != identifier ||
        back.size() != contents.size() ||
        (!back.empty() && std::memcmp(back.data(), contents.data(), back.size()) != 0))
        std::abort();
}

void Walk(Bytes in, int depth) {
    DerReader r(in);
    while (!r.AtEnd()) {
        BYTE peeked = 0, first = 0;
        Bytes peekContents, peekElement, contents, element;
        const DWORD peekErr = r.Peek(peeked, peekContents, &peekElement);
        const Bytes before = r.Rest();
        const DWORD err = r.ReadAny(first, contents, &element);
        if (err != peekErr)
            std::abort();
        if (err != 0) {
            if (r.Rest().data() != before.data() || r.Rest().size() != before.size())
                std::abort(); // a failed read moved the cursor
            return;
        }
        if (first != peeked || contents.data() != peekContents.data() ||
            contents.size() != peekContents.size() || element.size() != peekElement.size())
            std::abort();
        if (!Inside(element, before) || !Inside(contents, element) ||
            element.data() != before.data())
            std::abort();
        // Where DER reads a one-octet tag, the engine's rules read the same.
        if ((first & 0x1F) != 0x1F) {
            Header der, engine;
            if (ReadHeader(element, kDerRules, der) != 0 ||
                ReadHeader(element, kEngineRules, engine) != 0 || der.size != engine.size ||
                der.length != engine.length || engine.indefinite ||
                der.size + der.length != element.size())
                std::abort();
            CheckRewrite(first, contents);
        }
        if (first == tag::kOid)
            CheckOid(contents);
        if (first == tag::kInteger) {
            LONG value = 0;
            if (ParseInt32(contents, value) == 0) {
                DerWriter w;
                WriteInt32(w, value);
                LONG again = 0;
                if (w.Error() != 0 || ParseInt32(Bytes(w.Encoding()).subspan(2), again) != 0 ||
                    again != value)
                    std::abort();
            }
        }
        if ((first & 0x20) != 0 && depth < kMaxDepth)
            Walk(contents, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<BYTE[]> copy(new BYTE[size == 0 ? 1 : size]);
    if (size != 0)
        std::memcpy(copy.get(), data, size);
    const Bytes in(copy.get(), size);
    Walk(in, 0);
    // The same bytes as an AlgorithmIdentifier, the reader's one composite.
    DerReader r(in);
    std::string oid;
    Bytes parameters;
    if (ReadAlgorithmIdentifier(r, oid, parameters) == 0 && !parameters.empty() &&
        !Inside(parameters, in))
        std::abort();
    return 0;
}
