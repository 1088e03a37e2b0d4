// Arbitrary bytes as the message a relying party receives: through the text
// decoder and the signed-data parser, checking that everything the parser
// hands out lies inside the decoded bytes, then through the whole verifier
// (no anchors: certificates and signatures in the input are still read).
// The input is copied into a buffer of exactly its size, so any read past
// the end is an overread for AddressSanitizer.
#include "verify/SignedMessage.h"
#include "verify/Verifier.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace orvane::verify;

void CheckInside(Bytes part, Bytes whole) {
    if (part.empty())
        return;
    if (part.data() < whole.data() || part.size() > whole.size() ||
        size_t(part.data() - whole.data()) > whole.size() - part.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size == 0 ? 1 : size]);
    if (size != 0)
        std::memcpy(copy.get(), data, size);
    const Bytes input(copy.get(), size);

    std::vector<std::uint8_t> der;
    std::string why;
    SignedMessage m;
    if (DecodeMessageText(input, der, why)) {
        if (der.empty())
            std::abort();
        if (ParseSignedMessage(der, m, why)) {
            const Bytes whole(der);
            if (m.signers.empty())
                std::abort();
            CheckInside(m.content, whole);
            for (Bytes c : m.certificates)
                CheckInside(c, whole);
            for (const SignerParts& s : m.signers) {
                for (Bytes b : {s.issuer, s.serial, s.subjectKeyId, s.signedAttrs, s.messageDigest,
                                s.signature})
                    CheckInside(b, whole);
                if (!s.signedAttrs.empty() && s.signedAttrs[0] != tag::kContext0)
                    std::abort();
            }
        } else if (why.empty()) {
            std::abort();
        }
    } else if (why.empty()) {
        std::abort();
    }

    VerifyOptions options;
    const Report report = VerifyMessage(input, "", options);
    // Without anchors nothing verifies, and a refusal always names its reason.
    if (report.Verified())
        std::abort();
    for (const Check& c : report.checks)
        if (c.outcome == Outcome::kFail && c.reason.empty())
            std::abort();
    return 0;
}
