// The one place the providers reach OpenSSL. Everything cryptographic (RSA,
// SM2, digests, triple DES, random numbers) is done here through the EVP
// interfaces; a failing OpenSSL call becomes a Status here and nowhere else.
// Numbers cross this interface least significant byte first, as CryptoAPI
// blobs hold them.
#pragma once
#include "provider.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace orvane::platform::csp {

// SecureBytes: a byte buffer that is wiped before its memory is freed.
struct SecureBytes : Bytes {
    using Bytes::Bytes;
    SecureBytes() = default;
    SecureBytes(const SecureBytes&) = default;
    SecureBytes& operator=(const SecureBytes&) = default;
    SecureBytes(SecureBytes&&) = default;
    SecureBytes& operator=(SecureBytes&&) = default;
    ~SecureBytes() { Wipe(); }
    void Wipe() {
        if (!empty())
            OPENSSL_cleanse(data(), size());
    }
};

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// --- RSA ----------------------------------------------------------------------
// RsaParts: a key's numbers, least significant byte first, each padded to the
// width its blob gives it. The private ones are empty for a public key.
struct RsaParts {
    DWORD bits = 0;
    DWORD publicExponent = 0;
    Bytes modulus;
    SecureBytes prime1, prime2, exponent1, exponent2, coefficient, privateExponent;
};

Status RsaGenerate(DWORD bits, Pkey& key);
// RsaFromParts: builds a key from its numbers without judging them (an
// exponent of one is a valid request).
Status RsaFromParts(const RsaParts& parts, bool withPrivate, Pkey& key);
Status RsaToParts(EVP_PKEY* key, bool withPrivate, RsaParts& parts);
DWORD RsaBits(EVP_PKEY* key);
// RsaFromPkcs1: a PKCS#1 RSAPrivateKey DER.
Status RsaFromPkcs1(std::span<const BYTE> der, Pkey& key);
// PKCS#1 v1.5, big-endian in and out (callers reverse for CryptoAPI).
Status RsaSignDigest(EVP_PKEY* key, ALG_ID hashAlg, std::span<const BYTE> digest, Bytes& sig);
// RsaVerifyDigest: PKCS#1 v1.5 check of sig (most significant byte first);
// NTE_BAD_SIGNATURE when it does not match.
Status RsaVerifyDigest(EVP_PKEY* key, ALG_ID hashAlg, std::span<const BYTE> digest,
                       std::span<const BYTE> sig);
Status RsaDecrypt(EVP_PKEY* key, std::span<const BYTE> cipher, SecureBytes& plain);
Status RsaEncrypt(EVP_PKEY* key, std::span<const BYTE> plain, Bytes& cipher);

// --- SM2 ----------------------------------------------------------------------
// Coordinates and scalars are 32 bytes, most significant byte first here.
constexpr size_t kSm2Size = 32;
Status Sm2Generate(Pkey& key);
// Sm2FromPrivate: the key pair of scalar d (its point is computed).
Status Sm2FromPrivate(std::span<const BYTE> d, Pkey& key);
// Sm2FromParts: a stored pair (scalar and uncompressed point 04 X Y).
Status Sm2FromParts(std::span<const BYTE> d, std::span<const BYTE> point, Pkey& key);
Status Sm2Point(EVP_PKEY* key, Bytes& x, Bytes& y);
Status Sm2Scalar(EVP_PKEY* key, SecureBytes& d);
// Sm2Z: the value that binds the signer's identity and public key, Z =
// SM3(ENTL || id || a || b || xG || yG || xA || yA); a message's digest is
// SM3(Z || message).
Status Sm2Z(EVP_PKEY* key, std::span<const BYTE> id, Bytes& z);
// Sm2SignDigest: SM2 over a 32-byte digest made already (SM3(Z || message));
// r and s come out as 32 bytes each.
Status Sm2SignDigest(EVP_PKEY* key, std::span<const BYTE> digest, Bytes& r, Bytes& s);
// Sm2Decrypt: a ciphertext C1 || C3 || C2 (C1 the point's X and Y without a
// prefix byte, C3 the SM3 check value); NTE_BAD_DATA when the check fails.
Status Sm2Decrypt(EVP_PKEY* key, std::span<const BYTE> c1c3c2, SecureBytes& plain);

// --- digests ------------------------------------------------------------------
// DigestName: the OpenSSL name of a CALG_* hash (MD5, SHA1, SM3), or null.
const char* DigestName(ALG_ID alg);

struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// Digest: an incremental hash of one algorithm.
class Digest {
public:
    Status Init(ALG_ID alg);
    Status Update(std::span<const BYTE> data);
    Status Final(Bytes& out);
    size_t Size() const;

private:
    MdCtx ctx_;
};

// --- triple DES -----------------------------------------------------------------
// TripleDesDecrypt: blocks of 8 bytes in place, ECB or CBC (iv updated to the
// last ciphertext block, so that calls chain). No padding is removed here.
Status TripleDesDecrypt(std::span<const BYTE> key, DWORD mode, Bytes& iv, Bytes& data);
Status TripleDesEncrypt(std::span<const BYTE> key, DWORD mode, Bytes& iv, Bytes& data);

// --- random -----------------------------------------------------------------------
Status Random(BYTE* out, size_t length);

// --- byte helpers -------------------------------------------------------------------
inline void Reverse(Bytes& b) {
    std::reverse(b.begin(), b.end());
}

} // namespace orvane::platform::csp
