// RSA key pairs, triple-DES session keys and digests as CryptoAPI objects.
#include "rsa_keys.h"

#include <orvane/vendor_sm2.h>

#include <algorithm>
#include <deque>
#include <mutex>

namespace orvane::platform::csp {

size_t RsaPrivateBlobSize(DWORD bits) {
    const size_t whole = (bits + 7) / 8, half = (bits + 15) / 16;
    return 20 + 2 * whole + 5 * half;
}

Status ParseRsaBlob(std::span<const BYTE> blob, BlobHeader& header, RsaParts& parts,
                    bool& isPrivate) {
    BlobReader r(blob);
    DWORD magic = 0;
    if (!ReadHeader(r, header) || !r.U32(magic) || !r.U32(parts.bits) ||
        !r.U32(parts.publicExponent))
        return Err(NTE_BAD_DATA);
    if (header.version != CUR_BLOB_VERSION)
        return Err(NTE_BAD_DATA);
    if (header.alg != CALG_RSA_KEYX && header.alg != CALG_RSA_SIGN)
        return Err(NTE_BAD_ALGID);
    isPrivate = header.type == PRIVATEKEYBLOB;
    if (magic != (isPrivate ? kMagicRsa2 : kMagicRsa1))
        return Err(NTE_BAD_DATA);
    // Bounds: 16384 bits is the largest key any provider here makes or takes.
    if (parts.bits < 256 || parts.bits > 16384 || parts.bits % 8 != 0)
        return Err(NTE_BAD_DATA);
    const size_t whole = parts.bits / 8, half = (parts.bits + 15) / 16;
    if (!r.Bytes(whole, parts.modulus))
        return Err(NTE_BAD_DATA);
    if (isPrivate && !(r.Bytes(half, parts.prime1) && r.Bytes(half, parts.prime2) &&
                       r.Bytes(half, parts.exponent1) && r.Bytes(half, parts.exponent2) &&
                       r.Bytes(half, parts.coefficient) && r.Bytes(whole, parts.privateExponent)))
        return Err(NTE_BAD_DATA);
    // The modulus must have exactly the stated length: its top bit set.
    if ((parts.modulus.back() & 0x80) == 0)
        return Err(NTE_BAD_DATA);
    return 0;
}

Status RsaFromBlob(std::span<const BYTE> blob, BlobHeader& header, Pkey& key, bool& isPrivate) {
    if (header.type != PUBLICKEYBLOB && header.type != PRIVATEKEYBLOB)
        return Err(NTE_BAD_TYPE);
    RsaParts parts;
    if (Status s = ParseRsaBlob(blob, header, parts, isPrivate))
        return s;
    return RsaFromParts(parts, isPrivate, key);
}

Bytes BuildRsaBlob(ALG_ID alg, const RsaParts& parts, bool isPrivate) {
    Bytes out;
    out.reserve(RsaPrivateBlobSize(parts.bits));
    PutHeader(out, isPrivate ? PRIVATEKEYBLOB : PUBLICKEYBLOB, alg);
    PutU32(out, isPrivate ? kMagicRsa2 : kMagicRsa1);
    PutU32(out, parts.bits);
    PutU32(out, parts.publicExponent);
    PutBytes(out, parts.modulus);
    if (isPrivate) {
        PutBytes(out, parts.prime1);
        PutBytes(out, parts.prime2);
        PutBytes(out, parts.exponent1);
        PutBytes(out, parts.exponent2);
        PutBytes(out, parts.coefficient);
        PutBytes(out, parts.privateExponent);
    }
    return out;
}

Status StoredPairForm(const RsaKey& pair, DWORD flags, SecureBytes& stored) {
    RsaParts parts;
    if (Status s = RsaToParts(pair.Evp(), true, parts))
        return s;
    stored.clear();
    PutU32(stored, flags & CRYPT_EXPORTABLE);
    Bytes blob = BuildRsaBlob(pair.AlgId(), parts, true);
    PutBytes(stored, blob);
    OPENSSL_cleanse(blob.data(), blob.size());
    return 0;
}

namespace {

// Keys built from stored pairs, by the exact stored bytes. Building a key
// from its numbers is cheap, but its first private operation is not: the
// library then sets up its Montgomery and blinding values, which costs as
// much again as a signature. Every acquisition of a container builds its
// pair anew, so a page that signs repeatedly paid that each time. A few
// recent keys are kept (wiped by the library when they go); a pair stored
// anew, under the same container name or not, has other bytes and is built
// afresh.
struct BuiltPair {
    SecureBytes stored;
    ALG_ID alg = 0;
    Pkey key;
};
constexpr size_t kBuiltPairsKept = 8;
std::mutex g_builtMutex;
std::deque<BuiltPair> g_builtPairs; // most recent first

// SharedKey: a new owner of the same built key.
Pkey SharedKey(EVP_PKEY* pKey) {
    return EVP_PKEY_up_ref(pKey) == 1 ? Pkey(pKey) : Pkey();
}

} // namespace

Status LoadStoredPair(std::span<const BYTE> stored, std::shared_ptr<RsaKey>& key) {
    BlobReader r(stored);
    DWORD flags = 0;
    if (!r.U32(flags))
        return Err(NTE_BAD_KEYSET);
    const bool exportable = (flags & CRYPT_EXPORTABLE) != 0;
    {
        std::lock_guard<std::mutex> lock(g_builtMutex);
        for (auto it = g_builtPairs.begin(); it != g_builtPairs.end(); ++it) {
            if (!std::equal(it->stored.begin(), it->stored.end(), stored.begin(), stored.end()))
                continue;
            Pkey shared = SharedKey(it->key.get());
            if (!shared)
                break;
            key = std::make_shared<RsaKey>(std::move(shared), it->alg, true, exportable);
            if (it != g_builtPairs.begin())
                std::rotate(g_builtPairs.begin(), it, it + 1);
            return 0;
        }
    }
    BlobHeader h;
    RsaParts parts;
    bool isPrivate = false;
    if (Status s = ParseRsaBlob(r.Rest(), h, parts, isPrivate))
        return s;
    if (!isPrivate)
        return Err(NTE_BAD_KEYSET);
    Pkey pkey;
    if (Status s = RsaFromParts(parts, true, pkey))
        return s;
    Pkey kept = SharedKey(pkey.get());
    key = std::make_shared<RsaKey>(std::move(pkey), h.alg, true, exportable);
    if (kept) {
        BuiltPair built;
        built.stored.assign(stored.begin(), stored.end());
        built.alg = h.alg;
        built.key = std::move(kept);
        std::lock_guard<std::mutex> lock(g_builtMutex);
        g_builtPairs.push_front(std::move(built));
        if (g_builtPairs.size() > kBuiltPairsKept)
            g_builtPairs.pop_back();
    }
    return 0;
}

// --- RsaKey -----------------------------------------------------------------------

Status RsaKey::GetParam(DWORD param, Bytes& out) {
    switch (param) {
    case KP_ALGID:
        out = DwordBytes(alg_);
        return 0;
    case KP_KEYLEN:
    case KP_BLOCKLEN:
        out = DwordBytes(BitLength());
        return 0;
    case KP_PERMISSIONS:
        out = DwordBytes(CRYPT_READ | CRYPT_WRITE | (exportable_ ? CRYPT_EXPORT : 0));
        return 0;
    case KP_CERTIFICATE:
        if (!readCertificate)
            return Err(NTE_BAD_TYPE);
        return readCertificate(out);
    default:
        return Err(NTE_BAD_TYPE);
    }
}

Status RsaKey::SetParam(DWORD param, std::span<const BYTE> data) {
    if (param == KP_CERTIFICATE && writeCertificate)
        return writeCertificate(data);
    return Err(NTE_BAD_TYPE);
}

Status RsaKey::Export(DWORD blobType, Key* /*wrap*/, Bytes& out) {
    RsaParts parts;
    if (blobType == PUBLICKEYBLOB) {
        if (Status s = RsaToParts(key_.get(), false, parts))
            return s;
        out = BuildRsaBlob(alg_, parts, false);
        return 0;
    }
    if (blobType == PRIVATEKEYBLOB) {
        if (!private_)
            return Err(NTE_BAD_KEY);
        if (!exportable_)
            return Err(NTE_BAD_KEY_STATE);
        if (Status s = RsaToParts(key_.get(), true, parts))
            return s;
        out = BuildRsaBlob(alg_, parts, true);
        return 0;
    }
    return Err(NTE_BAD_TYPE);
}

Status RsaKey::Wrap(std::span<const BYTE> plain, Bytes& out) const {
    if (Status s = RsaEncrypt(key_.get(), plain, out))
        return s;
    Reverse(out);
    return 0;
}

Status RsaKey::Unwrap(std::span<const BYTE> cipherLe, SecureBytes& plain) const {
    if (!private_)
        return Err(NTE_BAD_KEY);
    if (cipherLe.size() != (BitLength() + 7) / 8)
        return Err(NTE_BAD_DATA);
    Bytes cipher(cipherLe.rbegin(), cipherLe.rend());
    return RsaDecrypt(key_.get(), cipher, plain);
}

Status RsaKey::Decrypt(bool /*final*/, Bytes& data) {
    if (alg_ != CALG_RSA_KEYX)
        return Err(NTE_BAD_KEY);
    SecureBytes plain;
    if (Status s = Unwrap(data, plain))
        return s;
    OPENSSL_cleanse(data.data(), data.size());
    data.assign(plain.begin(), plain.end());
    return 0;
}

// --- TripleDesKey -----------------------------------------------------------------

Status TripleDesKey::GetParam(DWORD param, Bytes& out) {
    switch (param) {
    case KP_ALGID:
        out = DwordBytes(CALG_3DES);
        return 0;
    case KP_KEYLEN:
        out = DwordBytes(192);
        return 0;
    case KP_BLOCKLEN:
        out = DwordBytes(64);
        return 0;
    case KP_MODE:
        out = DwordBytes(mode_);
        return 0;
    case KP_IV:
        out = iv_;
        return 0;
    case KP_PERMISSIONS:
        out = DwordBytes(CRYPT_READ | CRYPT_WRITE | (exportable_ ? CRYPT_EXPORT : 0));
        return 0;
    default:
        return Err(NTE_BAD_TYPE);
    }
}

Status TripleDesKey::SetParam(DWORD param, std::span<const BYTE> data) {
    BlobReader r(data);
    switch (param) {
    case KP_MODE: {
        DWORD mode = 0;
        if (!r.U32(mode))
            return Err(NTE_BAD_DATA);
        if (mode != CRYPT_MODE_CBC && mode != CRYPT_MODE_ECB)
            return Err(NTE_BAD_DATA);
        mode_ = mode;
        return 0;
    }
    case KP_IV:
        if (data.size() < 8)
            return Err(NTE_BAD_DATA);
        iv_.assign(data.begin(), data.begin() + 8);
        chain_ = iv_;
        return 0;
    default:
        return Err(NTE_BAD_TYPE);
    }
}

Status TripleDesKey::Export(DWORD blobType, Key* wrap, Bytes& out) {
    if (blobType != SIMPLEBLOB)
        return Err(NTE_BAD_TYPE);
    auto* rsa = dynamic_cast<RsaKey*>(wrap);
    if (rsa == nullptr || rsa->AlgId() != CALG_RSA_KEYX)
        return Err(NTE_BAD_KEY);
    if (!exportable_)
        return Err(NTE_BAD_KEY_STATE);
    // PKCS#1 block 00 02 PS 00 key, encrypted and then reversed whole: the
    // blob is read least significant byte first like every other number.
    Bytes wrapped;
    if (Status s = rsa->Wrap(key_, wrapped))
        return s;
    out.clear();
    PutHeader(out, SIMPLEBLOB, CALG_3DES);
    PutU32(out, rsa->AlgId());
    PutBytes(out, wrapped);
    return 0;
}

Status TripleDesKey::Blocks(DWORD mode, Bytes& chain, Bytes& data) {
    return TripleDesDecrypt(key_, mode, chain, data);
}

Status TripleDesKey::Decrypt(bool final, Bytes& data) {
    if (data.size() % 8 != 0 || (final && data.empty()))
        return Err(NTE_BAD_DATA);
    if (Status s = Blocks(mode_, chain_, data))
        return s;
    if (final) {
        chain_ = iv_; // the next message starts afresh
        const BYTE pad = data.back();
        if (pad == 0 || pad > 8 ||
            !std::all_of(data.end() - pad, data.end(), [&](BYTE b) { return b == pad; }))
            return Err(NTE_BAD_DATA);
        data.resize(data.size() - pad);
    }
    return 0;
}

Status ImportSimpleBlob(std::span<const BYTE> blob, Key* wrap, std::span<const ALG_ID> allowed,
                        DWORD flags, std::shared_ptr<Key>& key) {
    BlobReader r(blob);
    BlobHeader h;
    DWORD wrapAlg = 0;
    if (!ReadHeader(r, h) || !r.U32(wrapAlg))
        return Err(NTE_BAD_DATA);
    if (std::find(allowed.begin(), allowed.end(), h.alg) == allowed.end())
        return Err(NTE_BAD_ALGID);
    auto* rsa = dynamic_cast<RsaKey*>(wrap);
    if (rsa == nullptr || !rsa->HasPrivate())
        return Err(NTE_BAD_KEY);
    // The blob names the algorithm of the key it is encrypted under; another
    // one is refused rather than tried.
    if (wrapAlg != rsa->AlgId())
        return Err(NTE_BAD_ALGID);
    SecureBytes plain;
    if (Status s = rsa->Unwrap(r.Rest(), plain))
        return s;
    if (plain.size() != 24)
        return Err(NTE_BAD_DATA);
    key = std::make_shared<TripleDesKey>(std::move(plain), (flags & CRYPT_EXPORTABLE) != 0);
    return 0;
}

// --- DigestHash ---------------------------------------------------------------------

Status CreateRsaProviderHash(ALG_ID alg, std::shared_ptr<Hash>& hash) {
    if (alg != CALG_SHA1 && alg != CALG_MD5)
        return Err(NTE_BAD_ALGID);
    auto h = std::make_shared<DigestHash>();
    if (Status s = h->Init(alg))
        return s;
    hash = h;
    return 0;
}

Status DigestHash::Update(std::span<const BYTE> data) {
    if (finished_)
        return Err(NTE_BAD_HASH_STATE);
    return digest_.Update(data);
}

Status DigestHash::Value(Bytes& out) {
    if (!finished_) {
        if (Status s = digest_.Final(value_))
            return s;
        finished_ = true;
    }
    out = value_;
    return 0;
}

Status RsaKey::VerifyHash(Hash& hash, std::span<const BYTE> signatureLe) {
    if (DigestName(hash.AlgId()) == nullptr || hash.AlgId() == ORVANE_CALG_SM3)
        return Err(NTE_BAD_ALGID);
    Bytes digest;
    if (Status s = hash.Value(digest))
        return s;
    Bytes signature(signatureLe.rbegin(), signatureLe.rend());
    return RsaVerifyDigest(key_.get(), hash.AlgId(), digest, signature);
}

Status SignWithRsa(RsaKey& key, Hash& hash, Bytes& signature) {
    if (!key.HasPrivate())
        return Err(NTE_BAD_KEY);
    if (DigestName(hash.AlgId()) == nullptr || hash.AlgId() == ORVANE_CALG_SM3)
        return Err(NTE_BAD_ALGID);
    Bytes digest;
    if (Status s = hash.Value(digest))
        return s;
    if (Status s = RsaSignDigest(key.Evp(), hash.AlgId(), digest, signature))
        return s;
    Reverse(signature);
    return 0;
}

} // namespace orvane::platform::csp
