// Key and hash objects shared by the RSA providers (software and token): RSA
// key pairs in Windows' blob layouts, triple-DES session keys and digests.
#pragma once
#include "blob.h"
#include "crypto.h"

#include <functional>

namespace orvane::platform::csp {

constexpr DWORD kMagicRsa1 = 0x31415352; // "RSA1": public key blob
constexpr DWORD kMagicRsa2 = 0x32415352; // "RSA2": private key blob

// RSA private blob: header, RSAPUBKEY, modulus, two primes, two exponents,
// coefficient, private exponent; the halves are (bits + 15) / 16 bytes.
size_t RsaPrivateBlobSize(DWORD bits);

// ParseRsaBlob: a PUBLICKEYBLOB or PRIVATEKEYBLOB into its numbers. Fails with
// NTE_BAD_DATA for a wrong magic or length or another version.
Status ParseRsaBlob(std::span<const BYTE> blob, BlobHeader& header, RsaParts& parts,
                    bool& isPrivate);
Bytes BuildRsaBlob(ALG_ID alg, const RsaParts& parts, bool isPrivate);
// RsaFromBlob: the key of a PUBLICKEYBLOB or PRIVATEKEYBLOB whose header is
// read already; NTE_BAD_TYPE for other blobs, else as ParseRsaBlob.
Status RsaFromBlob(std::span<const BYTE> blob, BlobHeader& header, Pkey& key, bool& isPrivate);

// RsaKeySpecOf: the key pair CryptGenKey's algorithm names (AT_KEYEXCHANGE or
// CALG_RSA_KEYX, AT_SIGNATURE or CALG_RSA_SIGN); 0 for anything else.
constexpr DWORD RsaKeySpecOf(ALG_ID alg) {
    if (alg == AT_KEYEXCHANGE || alg == CALG_RSA_KEYX)
        return AT_KEYEXCHANGE;
    if (alg == AT_SIGNATURE || alg == CALG_RSA_SIGN)
        return AT_SIGNATURE;
    return 0;
}

class RsaKey;
// StoredPairForm / LoadStoredPair: a key pair as a container keeps it: a
// 4-byte flags word (CRYPT_EXPORTABLE) followed by its PRIVATEKEYBLOB.
Status StoredPairForm(const RsaKey& pair, DWORD flags, SecureBytes& stored);
Status LoadStoredPair(std::span<const BYTE> stored, std::shared_ptr<RsaKey>& key);

// RsaKey: a key pair (or public key) as a CryptoAPI key object.
class RsaKey : public Key {
public:
    RsaKey(csp::Pkey key, ALG_ID alg, bool hasPrivate, bool exportable)
        : key_(std::move(key)), alg_(alg), private_(hasPrivate), exportable_(exportable) {}
    ALG_ID AlgId() const override { return alg_; }
    DWORD BitLength() const override { return RsaBits(key_.get()); }
    Status GetParam(DWORD param, Bytes& out) override;
    Status SetParam(DWORD param, std::span<const BYTE> data) override;
    Status Export(DWORD blobType, Key* wrap, Bytes& out) override;
    Status Decrypt(bool final, Bytes& data) override;
    Status VerifyHash(Hash& hash, std::span<const BYTE> signatureLe) override;

    EVP_PKEY* Evp() const { return key_.get(); }
    bool HasPrivate() const { return private_; }
    bool Exportable() const { return exportable_; }
    // Certificates: providers that keep one with the key (tokens) set these.
    std::function<Status(Bytes&)> readCertificate;
    std::function<Status(std::span<const BYTE>)> writeCertificate;

    // Wrap: PKCS#1 v1.5 encryption of a session key, least significant byte first.
    Status Wrap(std::span<const BYTE> plain, Bytes& out) const;
    // Unwrap: the reverse, with the private key.
    Status Unwrap(std::span<const BYTE> cipherLe, SecureBytes& plain) const;

private:
    csp::Pkey key_;
    ALG_ID alg_;
    bool private_;
    bool exportable_;
};

// TripleDesKey: a 3DES session key; KP_MODE CBC (the default) or ECB, KP_IV.
class TripleDesKey : public Key {
public:
    TripleDesKey(SecureBytes key, bool exportable)
        : key_(std::move(key)), exportable_(exportable) {}
    ALG_ID AlgId() const override { return CALG_3DES; }
    DWORD BitLength() const override { return 192; }
    Status GetParam(DWORD param, Bytes& out) override;
    Status SetParam(DWORD param, std::span<const BYTE> data) override;
    Status Export(DWORD blobType, Key* wrap, Bytes& out) override;
    Status Decrypt(bool final, Bytes& data) override;

protected:
    // Blocks: whole blocks decrypted in place in mode, chain the CBC state (the
    // last ciphertext block afterwards). Here with the key's bytes; a token's
    // key, whose bytes never leave it, does it on the token.
    virtual Status Blocks(DWORD mode, Bytes& chain, Bytes& data);

private:
    SecureBytes key_;
    bool exportable_;
    DWORD mode_ = CRYPT_MODE_CBC;
    Bytes iv_ = Bytes(8, 0);
    Bytes chain_ = Bytes(8, 0); // CBC state between calls that are not final
};

// ImportSimpleBlob: a session key encrypted under wrap (PKCS#1 v1.5, least
// significant byte first), for the session algorithms in allowed.
Status ImportSimpleBlob(std::span<const BYTE> blob, Key* wrap, std::span<const ALG_ID> allowed,
                        DWORD flags, std::shared_ptr<Key>& key);

// DigestHash: MD5 / SHA-1 (and SM3) hash objects.
class DigestHash : public Hash {
public:
    Status Init(ALG_ID alg) {
        alg_ = alg;
        return digest_.Init(alg);
    }
    ALG_ID AlgId() const override { return alg_; }
    DWORD Size() const override { return static_cast<DWORD>(digest_.Size()); }
    Status Update(std::span<const BYTE> data) override;
    Status Value(Bytes& out) override;

private:
    ALG_ID alg_ = 0;
    Digest digest_;
    bool finished_ = false;
    Bytes value_;
};

// CreateRsaProviderHash: the hashes RSA providers offer (SHA-1 and MD5);
// anything else is NTE_BAD_ALGID.
Status CreateRsaProviderHash(ALG_ID alg, std::shared_ptr<Hash>& hash);

// SignWithRsa: CryptSignHash for an RSA key pair: PKCS#1 v1.5 over the digest,
// least significant byte first.
Status SignWithRsa(RsaKey& key, Hash& hash, Bytes& signature);

} // namespace orvane::platform::csp
