// "Orvane Soft SM2 Token CSP v1.0": a stand-in vendor token for SM2 keys.
//
// What the system relies on (and this provider honours):
//   - algorithm ids 0x3E00 (SM2 signature key pair), 0xBE00 (SM2 key exchange
//     key pair), 0x800F (SM3 hash); key length 256 in the upper 16 bits of
//     CryptGenKey's flags, or 0;
//   - CryptAcquireContextW with the flags 0xF0000000 and a container name
//     opens that existing container (without a name it is a verify
//     context); 0xFFFF0002 deletes the named container;
//   - the 140-byte public blob: BLOBHEADER, bit length 256, then two 64-byte
//     fields whose first 32 bytes are X and Y, least significant byte first;
//   - signatures of 64 bytes, r then s, each least significant byte first,
//     over SM3(Z || data) where Z binds the signer's identity (default
//     "1234567812345678") and public key; the provider does that hashing,
//     streamed, for the pair a hash is made for (the container's signature
//     pair, else its exchange pair): signing it with the other pair fails
//     with NTE_BAD_KEY;
//   - KP_CERTIFICATE kept with the key pair; containers listed by a verify
//     context;
//   - the enveloped import below.
//
// Containers live below HKEY_CURRENT_USER\Software\Orvane\Crypto\Tokens\SM2,
// apart from the software providers', and no certificate store is touched:
// a certificate is reachable only through its key, as with a real token. A
// key pair is the value "Signature" or "Exchange": a 4-byte flags word, the
// 32-byte scalar (big-endian) and the point 04 X Y; its certificate is
// "SignatureCertificate" or "ExchangeCertificate".
#include "container_store.h"
#include "rsa_keys.h"

#include <orvane/vendor_sm2.h>

#include <cstring>

namespace orvane::platform::csp {
namespace {

constexpr ALG_ID kSm2Sign = ORVANE_CALG_SM2_SIGN;
constexpr ALG_ID kSm2Exchange = ORVANE_CALG_SM2_KEYX;
constexpr ALG_ID kSm3 = ORVANE_CALG_SM3;
constexpr DWORD kAccessExisting = ORVANE_SM2_ACCESS_EXISTING;
constexpr DWORD kDeleteContainer = ORVANE_SM2_DELETE_CONTAINER;
constexpr BYTE kDefaultId[] = {'1', '2', '3', '4', '5', '6', '7', '8',
                               '1', '2', '3', '4', '5', '6', '7', '8'};

const ContainerStore& Store() {
    static const ContainerStore store(u"Software\\Orvane\\Crypto\\Tokens\\SM2");
    return store;
}

const char16_t* ValueFor(DWORD keySpec) {
    return keySpec == AT_KEYEXCHANGE ? u"Exchange" : u"Signature";
}
const char16_t* CertificateFor(DWORD keySpec) {
    return keySpec == AT_KEYEXCHANGE ? u"ExchangeCertificate" : u"SignatureCertificate";
}

class Sm2Key : public Key {
public:
    Sm2Key(Pkey key, ALG_ID alg, std::u16string container)
        : key_(std::move(key)), alg_(alg), container_(std::move(container)) {}
    ALG_ID AlgId() const override { return alg_; }
    DWORD BitLength() const override { return 256; }
    EVP_PKEY* Evp() const { return key_.get(); }
    DWORD KeySpec() const { return alg_ == kSm2Exchange ? AT_KEYEXCHANGE : AT_SIGNATURE; }

    Status GetParam(DWORD param, Bytes& out) override {
        switch (param) {
        case KP_ALGID:
            out = DwordBytes(alg_);
            return 0;
        case KP_KEYLEN:
            out = DwordBytes(256);
            return 0;
        case KP_CERTIFICATE: {
            if (container_.empty())
                return Err(NTE_BAD_KEY);
            SecureBytes cert;
            if (Status s = Store().Read(container_, CertificateFor(KeySpec()), cert))
                return s == Err(NTE_NO_KEY) ? Err(NTE_NOT_FOUND) : s;
            out.assign(cert.begin(), cert.end());
            return 0;
        }
        default:
            return Err(NTE_BAD_TYPE);
        }
    }

    Status SetParam(DWORD param, std::span<const BYTE> data) override {
        if (param != KP_CERTIFICATE)
            return Err(NTE_BAD_TYPE);
        if (container_.empty())
            return Err(NTE_BAD_KEY);
        if (Status s = WholeCertificate(data))
            return s;
        return Store().Write(container_, CertificateFor(KeySpec()), data);
    }

    Status Export(DWORD blobType, Key* /*wrap*/, Bytes& out) override {
        if (blobType != PUBLICKEYBLOB)
            return blobType == PRIVATEKEYBLOB ? Err(NTE_BAD_KEY_STATE) : Err(NTE_BAD_TYPE);
        Bytes x, y;
        if (Status s = Sm2Point(key_.get(), x, y))
            return s;
        out.clear();
        PutHeader(out, PUBLICKEYBLOB, alg_);
        PutU32(out, 256);
        for (Bytes* c : {&x, &y}) {
            Bytes field(64, 0);
            std::copy(c->rbegin(), c->rend(), field.begin());
            PutBytes(out, field);
        }
        return 0;
    }

    Status Decrypt(bool /*final*/, Bytes& /*data*/) override { return Err(NTE_BAD_KEY); }

private:
    Pkey key_;
    ALG_ID alg_;
    std::u16string container_; // empty in a verify context
};

// Sm3Hash: SM3 streamed as the data arrives, started with Z of the key pair
// it is made for: the container's signature pair, else its exchange pair,
// else none (plain SM3). So a file of any size is hashed in one pass, and
// HP_HASHVAL is the digest the pair signs.
class Sm3Hash : public Hash {
public:
    explicit Sm3Hash(std::shared_ptr<Sm2Key> signer) : signer_(std::move(signer)) {}
    Status Start() {
        if (Status s = digest_.Init(kSm3))
            return s;
        if (!signer_)
            return 0;
        Bytes z;
        if (Status s = Sm2Z(signer_->Evp(), kDefaultId, z))
            return s;
        return digest_.Update(z);
    }
    ALG_ID AlgId() const override { return kSm3; }
    DWORD Size() const override { return 32; }
    Status Update(std::span<const BYTE> data) override {
        if (finished_)
            return Err(NTE_BAD_HASH_STATE);
        return digest_.Update(data);
    }
    Status Value(Bytes& out) override {
        if (!finished_) {
            if (Status s = digest_.Final(value_))
                return s;
            finished_ = true;
        }
        out = value_;
        return 0;
    }
    const std::shared_ptr<Sm2Key>& Signer() const { return signer_; }

private:
    std::shared_ptr<Sm2Key> signer_;
    Digest digest_;
    Bytes value_;
    bool finished_ = false;
};

Status LoadPair(const std::u16string& container, DWORD keySpec, std::shared_ptr<Sm2Key>& key) {
    SecureBytes stored;
    if (Status s = Store().Read(container, ValueFor(keySpec), stored))
        return s;
    if (stored.size() != 4 + kSm2Size + 1 + 2 * kSm2Size)
        return Err(NTE_BAD_KEYSET);
    Pkey pkey;
    if (Status s = Sm2FromParts(std::span<const BYTE>(stored).subspan(4, kSm2Size),
                                std::span<const BYTE>(stored).subspan(4 + kSm2Size), pkey))
        return s;
    key = std::make_shared<Sm2Key>(std::move(pkey),
                                   keySpec == AT_KEYEXCHANGE ? kSm2Exchange : kSm2Sign, container);
    return 0;
}

// What the token lists for PP_ENUMALGS_EX.
const AlgInfo kSm2TokenAlgs[] = {{kSm3, 256, 256, 256, "SM3", "SM3 hash"},
                                 {kSm2Sign, 256, 256, 256, "SM2_SIGN", "SM2 signature"},
                                 {kSm2Exchange, 256, 256, 256, "SM2_KEYX", "SM2 key exchange"}};

class Sm2Context : public ContainerContext {
public:
    Sm2Context(const std::u16string& providerName, std::u16string container)
        : ContainerContext(Store(), providerName, std::move(container), kSm2TokenAlgs) {}

    Status GenKey(ALG_ID alg, DWORD flags, std::shared_ptr<Key>& key) override {
        DWORD keySpec = 0;
        if (alg == kSm2Sign || alg == AT_SIGNATURE)
            keySpec = AT_SIGNATURE;
        else if (alg == kSm2Exchange || alg == AT_KEYEXCHANGE)
            keySpec = AT_KEYEXCHANGE;
        else
            return Err(NTE_BAD_ALGID);
        const DWORD bits = flags >> 16;
        if (bits != 0 && bits != 256)
            return Err(NTE_BAD_FLAGS);
        if (container_.empty())
            return Err(NTE_BAD_KEYSET); // a token keeps its key pairs in containers
        Pkey pkey;
        if (Status s = Sm2Generate(pkey))
            return s;
        auto pair = std::make_shared<Sm2Key>(
            std::move(pkey), keySpec == AT_KEYEXCHANGE ? kSm2Exchange : kSm2Sign, container_);
        if (Status s = Keep(pair, flags))
            return s;
        key = pair;
        return 0;
    }

    Status GetUserKey(DWORD keySpec, std::shared_ptr<Key>& key) override {
        if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
            return Err(NTE_NO_KEY);
        std::shared_ptr<Sm2Key> pair;
        if (Status s = Cached(keySpec, pair))
            return s;
        key = pair;
        return 0;
    }

    // ImportKey: the enveloped SM2 key pair only:
    //   offset 0   BLOBHEADER { 7, 2, 1, 0xBE00 }
    //   offset 8   0xBE00
    //   offset 12  ciphertext length in bits
    //   offset 16  address of the ciphertext in this process
    // The address field is pointer-sized: 4 bytes in 32-bit builds (the
    // 20-byte blob of the 32-bit tokens) and 8 bytes in 64-bit builds (24
    // bytes), so a caller builds it with sizeof(void*). The ciphertext is
    // C1 || C3 || C2 under the container's exchange key pair; its plaintext
    // is the new exchange key's 32-byte scalar, most significant byte first.
    // Only that order is accepted: a C1 || C2 || C3 ciphertext fails its
    // check value with NTE_BAD_DATA, and the caller tries the other order.
    Status ImportKey(std::span<const BYTE> blob, Key* /*wrap*/, DWORD flags,
                     std::shared_ptr<Key>& key) override {
        BlobReader r(blob);
        BlobHeader h;
        DWORD alg = 0, bits = 0;
        if (!ReadHeader(r, h) || !r.U32(alg) || !r.U32(bits))
            return Err(NTE_BAD_DATA);
        if (h.type != PRIVATEKEYBLOB)
            return Err(NTE_BAD_TYPE);
        if (h.alg != kSm2Exchange || alg != kSm2Exchange)
            return Err(NTE_BAD_ALGID);
        if (r.Remaining() != sizeof(void*) || bits % 8 != 0 || bits == 0)
            return Err(NTE_BAD_DATA);
        if (container_.empty())
            return Err(NTE_BAD_KEYSET);
        std::shared_ptr<Sm2Key> exchange;
        if (Status s = Cached(AT_KEYEXCHANGE, exchange))
            return s;
        const BYTE* cipher = nullptr;
        std::memcpy(&cipher, r.Rest().data(), sizeof cipher);
        if (cipher == nullptr)
            return Err(NTE_BAD_DATA);
        SecureBytes plain;
        if (Status s = Sm2Decrypt(exchange->Evp(), {cipher, bits / 8}, plain))
            return s;
        Pkey pkey;
        if (Status s = Sm2FromPrivate(plain, pkey))
            return s;
        auto pair = std::make_shared<Sm2Key>(std::move(pkey), kSm2Exchange, container_);
        if (Status s = Keep(pair, flags))
            return s;
        key = pair;
        return 0;
    }

    Status CreateHash(ALG_ID alg, std::shared_ptr<Hash>& hash) override {
        if (alg != kSm3)
            return Err(NTE_BAD_ALGID);
        std::shared_ptr<Sm2Key> signer;
        // The signature pair, else the exchange pair; neither: plain SM3.
        if (Cached(AT_SIGNATURE, signer) != 0 && Cached(AT_KEYEXCHANGE, signer) != 0)
            signer.reset();
        auto sm3 = std::make_shared<Sm3Hash>(std::move(signer));
        if (Status s = sm3->Start())
            return s;
        hash = sm3;
        return 0;
    }

    Status SignatureSize(DWORD keySpec, DWORD& size) override {
        std::shared_ptr<Key> key;
        if (Status s = GetUserKey(keySpec, key))
            return s;
        size = 64;
        return 0;
    }

    Status SignHash(Hash& hash, DWORD keySpec, Bytes& signature) override {
        auto* sm3 = dynamic_cast<Sm3Hash*>(&hash);
        if (sm3 == nullptr)
            return Err(NTE_BAD_ALGID);
        std::shared_ptr<Key> key;
        if (Status s = GetUserKey(keySpec, key))
            return s;
        // The digest holds Z of the pair it was made for; another pair's
        // signature over it would not verify.
        if (sm3->Signer() != key)
            return Err(NTE_BAD_KEY);
        Bytes digest, r, s;
        if (Status st = sm3->Value(digest))
            return st;
        if (Status st = Sm2SignDigest(static_cast<Sm2Key&>(*key).Evp(), digest, r, s))
            return st;
        signature.assign(r.rbegin(), r.rend());
        signature.insert(signature.end(), s.rbegin(), s.rend());
        return 0;
    }

private:
    // Cached: the container's pair of keySpec, read once per context as a
    // provider handle does.
    Status Cached(DWORD keySpec, std::shared_ptr<Sm2Key>& pair) {
        if (container_.empty())
            return Err(NTE_NO_KEY);
        std::shared_ptr<Sm2Key>& cached = keySpec == AT_KEYEXCHANGE ? exchange_ : signature_;
        if (!cached)
            if (Status s = LoadPair(container_, keySpec, cached))
                return s;
        pair = cached;
        return 0;
    }

    Status Keep(const std::shared_ptr<Sm2Key>& pair, DWORD flags) {
        SecureBytes d;
        Bytes x, y;
        if (Status s = Sm2Scalar(pair->Evp(), d))
            return s;
        if (Status s = Sm2Point(pair->Evp(), x, y))
            return s;
        SecureBytes stored;
        PutU32(stored, flags & CRYPT_EXPORTABLE);
        PutBytes(stored, d);
        stored.push_back(0x04);
        PutBytes(stored, x);
        PutBytes(stored, y);
        if (Status s = Store().Write(container_, ValueFor(pair->KeySpec()), stored))
            return s;
        (pair->KeySpec() == AT_KEYEXCHANGE ? exchange_ : signature_) = pair;
        return 0;
    }

    std::shared_ptr<Sm2Key> exchange_, signature_;
};

class Sm2Provider : public Provider {
public:
    const std::u16string& Name() const override { return name_; }
    DWORD Type() const override { return PROV_RSA_FULL; }

    Status Acquire(const std::u16string& container, DWORD flags,
                   std::unique_ptr<Context>& context) override {
        if (flags == kDeleteContainer || (flags & ~CRYPT_SILENT) == CRYPT_DELETEKEYSET) {
            if (!ContainerStore::ValidName(container))
                return Err(NTE_BAD_KEYSET_PARAM);
            return Store().Delete(container);
        }
        if ((flags & kAccessExisting) == kAccessExisting) {
            if (container.empty()) { // a verify context: enumeration and hashing only
                context = std::make_unique<Sm2Context>(name_, u"");
                return 0;
            }
            flags &= ~kAccessExisting;
        }
        if ((flags & ~(CRYPT_NEWKEYSET | CRYPT_SILENT)) != 0)
            return Err(NTE_BAD_FLAGS);
        if (!ContainerStore::ValidName(container))
            return Err(NTE_BAD_KEYSET_PARAM);
        if (Status s = (flags & CRYPT_NEWKEYSET) != 0 ? Store().Create(container)
                                                      : Store().Exists(container))
            return s;
        context = std::make_unique<Sm2Context>(name_, container);
        return 0;
    }

private:
    std::u16string name_ = u"Orvane Soft SM2 Token CSP v1.0";
};

} // namespace

Provider* Sm2TokenProvider() {
    static Sm2Provider provider;
    return &provider;
}

} // namespace orvane::platform::csp
