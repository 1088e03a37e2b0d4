// The enveloped RSA private key of the new envelope format, as the RSA tokens
// import it (the layout is described in token_rsa.cpp). Reading it is shared
// by every token that takes it; only opening the session key differs (in
// software with a stored pair, or on a token by its exchange key).
#pragma once
#include "blob.h"
#include "crypto.h"

#include <functional>

namespace orvane::platform::csp {

// EnvelopeFields: what follows the blob's header and magic.
struct EnvelopeFields {
    DWORD keyBits = 0;
    std::span<const BYTE> evp; // the EVP structure, in the caller's memory
};

// ReadEnvelopeFields: the key's length and the EVP structure's extent and
// address; NTE_BAD_DATA when the blob is not shaped as one.
Status ReadEnvelopeFields(BlobReader& r, EnvelopeFields& fields);

// OpenSessionKey: the session key from its RSA ciphertext (most significant
// byte first, as the envelope carries it).
using OpenSessionKey = std::function<Status(std::span<const BYTE> cipher, SecureBytes& key)>;

// OpenEnvelope: the private key inside; NTE_BAD_ALGID for algorithms other
// than RSA with the token cipher, NTE_BAD_DATA for anything malformed, a key
// of another length than announced included.
Status OpenEnvelope(const EnvelopeFields& fields, const OpenSessionKey& open, Pkey& key);

} // namespace orvane::platform::csp
