// The new envelope format's reader, bounded throughout: every length comes
// from the blob and is checked against what is left before it is used.
#include "envelope.h"

#include <cstring>

namespace orvane::platform::csp {
namespace {

// ReadTlv: one TLV read through the bounded reader (short and long lengths up
// to three bytes).
bool ReadTlv(BlobReader& r, BYTE expectedTag, Bytes& content) {
    BYTE tag = 0, first = 0;
    if (!r.U8(tag) || tag != expectedTag || !r.U8(first))
        return false;
    size_t len = first;
    if (first >= 0x80) {
        const int n = first & 0x7F;
        if (n == 0 || n > 3)
            return false;
        len = 0;
        for (int i = 0; i < n; ++i) {
            BYTE b = 0;
            if (!r.U8(b))
                return false;
            len = (len << 8) | b;
        }
    }
    return r.Bytes(len, content);
}

const BYTE kOidRsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const BYTE kOidTokenCipher[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};

} // namespace

Status ReadEnvelopeFields(BlobReader& r, EnvelopeFields& fields) {
    DWORD evpBits = 0;
    if (!r.U32(fields.keyBits) || !r.U32(evpBits) || r.Remaining() != sizeof(void*) ||
        evpBits % 8 != 0 || evpBits == 0)
        return Err(NTE_BAD_DATA);
    const BYTE* evp = nullptr;
    std::memcpy(&evp, r.Rest().data(), sizeof evp);
    if (evp == nullptr)
        return Err(NTE_BAD_DATA);
    fields.evp = {evp, evpBits / 8};
    return 0;
}

Status OpenEnvelope(const EnvelopeFields& fields, const OpenSessionKey& open, Pkey& key) {
    BlobReader outer(fields.evp);
    Bytes seq, version, asym, sym, sessionCipher, keyCipher;
    if (!ReadTlv(outer, 0x30, seq) || outer.Remaining() != 0)
        return Err(NTE_BAD_DATA);
    BlobReader in(seq);
    if (!ReadTlv(in, 0x02, version) || !ReadTlv(in, 0x06, asym) || !ReadTlv(in, 0x06, sym) ||
        !ReadTlv(in, 0x04, sessionCipher) || !ReadTlv(in, 0x04, keyCipher) || in.Remaining() != 0 ||
        version != Bytes{1})
        return Err(NTE_BAD_DATA);
    if (asym != Bytes(std::begin(kOidRsa), std::end(kOidRsa)) ||
        sym != Bytes(std::begin(kOidTokenCipher), std::end(kOidTokenCipher)))
        return Err(NTE_BAD_ALGID);
    if (sessionCipher.empty())
        return Err(NTE_BAD_DATA);

    SecureBytes sessionKey;
    if (Status s = open(sessionCipher, sessionKey))
        return s;
    if (sessionKey.size() != 24)
        return Err(NTE_BAD_DATA);
    Bytes ignoredIv;
    SecureBytes der;
    der.assign(keyCipher.begin(), keyCipher.end());
    if (der.empty() || der.size() % 8 != 0)
        return Err(NTE_BAD_DATA);
    if (Status s = TripleDesDecrypt(sessionKey, CRYPT_MODE_ECB, ignoredIv, der))
        return s;
    const BYTE pad = der.back();
    if (pad == 0 || pad > 8 || pad > der.size())
        return Err(NTE_BAD_DATA);
    for (size_t i = der.size() - pad; i < der.size(); ++i)
        if (der[i] != pad)
            return Err(NTE_BAD_DATA);
    der.resize(der.size() - pad);
    if (Status s = RsaFromPkcs1(der, key))
        return s;
    if (RsaBits(key.get()) != fields.keyBits)
        return Err(NTE_BAD_DATA);
    return 0;
}

} // namespace orvane::platform::csp
