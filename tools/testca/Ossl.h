// Internal helpers of the test issuer: owning pointers for OpenSSL objects,
// Base64, a bounded DER reader over OpenSSL's ASN1_get_object and a small DER
// writer.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::tools::testca {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

template <auto Free> struct OsslFree {
    template <class T> void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslFree<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslFree<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslFree<EVP_MD_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslFree<EVP_CIPHER_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OsslFree<X509_free>>;
using NamePtr = std::unique_ptr<X509_NAME, OsslFree<X509_NAME_free>>;
using BioPtr = std::unique_ptr<BIO, OsslFree<BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, OsslFree<BN_free>>;

// OsslError: the oldest queued OpenSSL error as text (or `fallback`), and the
// queue cleared, so one failure does not leak into the next message.
std::string OsslError(std::string_view fallback = "OpenSSL call failed");

// Base64Encode: one line, with padding.
std::string Base64Encode(ByteView data);
// Base64Decode: strict Base64 (padding required); white space between
// characters is allowed. Empty on malformed text.
[[nodiscard]] std::optional<Bytes> Base64Decode(std::string_view text);

// DerReader: walks the elements of one DER content octet by octet; a read
// only advances when the element is complete and has the wanted identifier.
class DerReader {
public:
    explicit DerReader(ByteView data) : m_rest(data) {}
    // Read: the next element if its identifier octet is `tag`: its content
    // and, if asked, the whole encoding (identifier, length and content).
    [[nodiscard]] bool Read(uint8_t tag, ByteView& content, ByteView* whole = nullptr);
    // PeekTag: the identifier octet of the next element, if one is there.
    std::optional<uint8_t> PeekTag() const;
    bool Empty() const { return m_rest.empty(); }
    // Rest: what has not been read yet.
    ByteView Rest() const { return m_rest; }

private:
    ByteView m_rest;
};

// Tlv: the DER encoding of one element with the given identifier and content.
Bytes Tlv(uint8_t tag, ByteView content);
void Append(Bytes& out, ByteView more);

// Sm2DigestContext: a digest context for SM3 signing or verification with
// the SM2 default identity; the key context must outlive the digest context
// (OpenSSL 3.0 takes no identity through the init parameters, so the
// identity is set on a key context of our own that the digest context borrows).
struct Sm2DigestContext {
    PkeyCtxPtr pkeyCtx;
    MdCtxPtr mdCtx; // declared last: destroyed before the key context it borrows
};
[[nodiscard]] bool InitSm2Digest(Sm2DigestContext& ctx, EVP_PKEY* key, bool sign);

} // namespace orvane::tools::testca
