// Arbitrary bytes read as the issuer's data is read: der::DerReader under
// kEngineRules, the outermost element whole, then every element nested in it.
// Checks what those rules promise: a read that succeeds hands out an element
// lying inside what it was read from, its contents inside it and its value
// (contents, and the two zero octets closing an indefinite length) right
// after its header; the nested elements fill the contents exactly; a read of
// the outermost element takes in at most 255 elements; a read that fails
// leaves the cursor alone. Where DER reads the same element with a one-octet
// identifier and a definite length, both read the same contents. Each leaf
// is rebuilt with ASN1Encode (when its tag is one the encoder takes and it
// has contents) and must read back the same. The input is copied into a
// buffer of exactly its size, so any read past the end is an overread for
// AddressSanitizer.
#include "der/Der.h"
#include "foundation/ASN1Engine.h"
#include "foundation/ResultCodes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

namespace der = orvane::der;
using der::Bytes;

bool Inside(Bytes part, Bytes whole) {
    return part.data() >= whole.data() && part.size() <= whole.size() &&
           size_t(part.data() - whole.data()) <= whole.size() - part.size();
}

bool Same(Bytes a, Bytes b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

void Reencode(BYTE identifier, Bytes contents) {
    std::vector<BYTE> encoded;
    const HRESULT hr = ASN1Encode(identifier, contents.data(), DWORD(contents.size()), &encoded);
    if (!ASN1EncodeTakesTag(identifier) || contents.empty()) {
        if (hr != E_FAIL || !encoded.empty())
            std::abort();
        return;
    }
    if (hr != S_OK || encoded.empty())
        std::abort();
    der::DerReader r(Bytes(encoded.data(), encoded.size()), der::kEngineRules);
    BYTE again = 0;
    Bytes back;
    if (r.ReadAny(again, back) != 0 || !r.AtEnd() || again != identifier || !Same(back, contents))
        std::abort();
}

// Reads every element of `in` (the contents of one already read whole);
// returns how many, nested ones included.
size_t Walk(Bytes in) {
    size_t elements = 0;
    der::DerReader r(in, der::kEngineRules);
    while (!r.AtEnd()) {
        const Bytes before = r.Rest();
        BYTE first = 0, again = 0;
        Bytes contents, element, value;
        der::DerReader valueReader(r);
        if (r.ReadAny(first, contents, &element) != 0 || valueReader.ReadValue(again, value) != 0 ||
            again != first)
            std::abort(); // inside an element read whole, everything reads
        if (element.data() != before.data() || !Inside(element, before) ||
            !Inside(contents, element) || value.data() != contents.data() ||
            !Inside(value, element) ||
            value.data() + value.size() != element.data() + element.size())
            std::abort();
        if (value.size() != contents.size()) {
            // Only an indefinite length's two closing zero octets differ.
            if (value.size() != contents.size() + 2 || value[contents.size()] != 0 ||
                value[contents.size() + 1] != 0 || element[1] != 0x80)
                std::abort();
        } else if ((first & 0x1F) != 0x1F) {
            BYTE derFirst = 0;
            Bytes derContents;
            der::DerReader asDer(element);
            if (asDer.ReadAny(derFirst, derContents) == 0 &&
                (derFirst != first || !Same(derContents, contents)))
                std::abort();
        }
        ++elements;
        if (der::EngineNests(first))
            elements += Walk(contents);
        else
            Reencode(first, contents);
    }
    return elements;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbInput, size_t cbInput) {
    std::unique_ptr<BYTE[]> data(new BYTE[cbInput == 0 ? 1 : cbInput]);
    if (cbInput != 0)
        std::memcpy(data.get(), pbInput, cbInput);
    const Bytes in(data.get(), cbInput);

    der::DerReader r(in, der::kEngineRules);
    BYTE first = 0;
    Bytes contents, element;
    if (r.ReadAny(first, contents, &element) != 0) {
        if (r.Rest().data() != in.data() || r.Rest().size() != in.size())
            std::abort(); // a failed read moved the cursor
        return 0;
    }
    if (element.data() != in.data() || !Inside(contents, element))
        std::abort();
    size_t elements = 1;
    if (der::EngineNests(first))
        elements += Walk(contents);
    else
        Reencode(first, contents);
    if (elements > der::kEngineRules.maxElements)
        std::abort();
    return 0;
}
