// The operating system's three software RSA providers, reproduced under their
// own names and types (the system's rules key on those names).
//
// Containers are shared by the three, as on Windows: one registry key each
// below HKEY_CURRENT_USER\Software\Orvane\Crypto\RSA\<container>. A key pair is
// stored as the value "Exchange" or "Signature": a 4-byte little-endian flags
// word (CRYPT_EXPORTABLE) followed by the pair's PRIVATEKEYBLOB. Plain blobs in
// the user's own hive (created 0600) protect the keys as well as the user's
// account does, which is what a software provider promises; nothing else
// reads that subtree.
#include "container_store.h"
#include "rsa_keys.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace orvane::platform::csp {
namespace {

const ContainerStore& Store() {
    static const ContainerStore store(u"Software\\Orvane\\Crypto\\RSA");
    return store;
}

// Limits: the Base provider keeps exchange keys at 1024 bits and has no triple
// DES; the others take RSA keys up to 16384 bits.
struct Limits {
    DWORD rsaDefault;
    DWORD keyxMax;
    bool tripleDes;
    std::vector<AlgInfo> algs;
};

const Limits kBase{512,
                   1024,
                   false,
                   {{CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
                    {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
                    {CALG_RSA_SIGN, 512, 384, 16384, "RSA_SIGN", "RSA Signature"},
                    {CALG_RSA_KEYX, 512, 384, 1024, "RSA_KEYX", "RSA Key Exchange"}}};
const Limits kEnhanced{1024,
                       16384,
                       true,
                       {{CALG_3DES, 192, 192, 192, "3DES", "Three Key Triple DES"},
                        {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
                        {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
                        {CALG_RSA_SIGN, 1024, 384, 16384, "RSA_SIGN", "RSA Signature"},
                        {CALG_RSA_KEYX, 1024, 384, 16384, "RSA_KEYX", "RSA Key Exchange"}}};

const char16_t* ValueFor(DWORD keySpec) {
    return keySpec == AT_KEYEXCHANGE ? u"Exchange" : u"Signature";
}

class SoftRsaContext : public ContainerContext {
public:
    SoftRsaContext(const std::u16string& providerName, const Limits& limits,
                   std::u16string container, bool verify)
        : ContainerContext(Store(), providerName, std::move(container), limits.algs,
                           CRYPT_IMPL_SOFTWARE),
          limits_(limits), verify_(verify) {}

    Status GenKey(ALG_ID alg, DWORD flags, std::shared_ptr<Key>& key) override {
        const DWORD bits = flags >> 16;
        const bool exportable = (flags & CRYPT_EXPORTABLE) != 0;
        if (alg == CALG_3DES) {
            if (!limits_.tripleDes)
                return Err(NTE_BAD_ALGID);
            if (bits != 0 && bits != 192)
                return Err(NTE_BAD_FLAGS);
            SecureBytes raw(24, 0);
            if (Status s = Random(raw.data(), raw.size()))
                return s;
            key = std::make_shared<TripleDesKey>(std::move(raw), exportable);
            return 0;
        }
        const DWORD keySpec = RsaKeySpecOf(alg);
        if (keySpec == 0)
            return Err(NTE_BAD_ALGID);
        const DWORD length = bits == 0 ? limits_.rsaDefault : bits;
        const DWORD max = keySpec == AT_KEYEXCHANGE ? limits_.keyxMax : 16384;
        if (length < 384 || length % 8 != 0)
            return Err(NTE_BAD_FLAGS);
        if (length > max) // the Base provider's exchange-key ceiling
            return Err(NTE_BAD_DATA);
        Pkey pkey;
        if (Status s = RsaGenerate(length, pkey))
            return s;
        auto pair = std::make_shared<RsaKey>(
            std::move(pkey), keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN, true,
            exportable);
        if (Status s = Keep(keySpec, pair, flags))
            return s;
        key = pair;
        return 0;
    }

    Status GetUserKey(DWORD keySpec, std::shared_ptr<Key>& key) override {
        if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
            return Err(NTE_NO_KEY);
        // A context reads a pair from its container once and keeps it, as a
        // provider handle does on Windows.
        std::shared_ptr<RsaKey>& pair = keySpec == AT_KEYEXCHANGE ? exchange_ : signature_;
        if (!pair) {
            if (verify_)
                return Err(NTE_NO_KEY);
            SecureBytes stored;
            if (Status s = Store().Read(container_, ValueFor(keySpec), stored))
                return s;
            if (Status s = LoadStoredPair(stored, pair))
                return s;
        }
        key = pair;
        return 0;
    }

    Status ImportKey(std::span<const BYTE> blob, Key* wrap, DWORD flags,
                     std::shared_ptr<Key>& key) override {
        BlobReader r(blob);
        BlobHeader h;
        if (!ReadHeader(r, h))
            return Err(NTE_BAD_DATA);
        if (h.type == SIMPLEBLOB) {
            std::vector<ALG_ID> allowed;
            if (limits_.tripleDes)
                allowed.push_back(CALG_3DES);
            return ImportSimpleBlob(blob, wrap, allowed, flags, key);
        }
        if (h.type != PUBLICKEYBLOB && h.type != PRIVATEKEYBLOB)
            return Err(NTE_BAD_TYPE);
        RsaParts parts;
        bool isPrivate = false;
        if (Status s = ParseRsaBlob(blob, h, parts, isPrivate))
            return s;
        if (isPrivate && h.alg == CALG_RSA_KEYX && parts.bits > limits_.keyxMax)
            return Err(NTE_BAD_DATA);
        Pkey pkey;
        if (Status s = RsaFromParts(parts, isPrivate, pkey))
            return s;
        auto imported = std::make_shared<RsaKey>(std::move(pkey), h.alg, isPrivate,
                                                 (flags & CRYPT_EXPORTABLE) != 0);
        if (isPrivate) {
            const DWORD keySpec = h.alg == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE;
            if (Status s = Keep(keySpec, imported, flags))
                return s;
        }
        key = imported;
        return 0;
    }

    Status CreateHash(ALG_ID alg, std::shared_ptr<Hash>& hash) override {
        return CreateRsaProviderHash(alg, hash);
    }

    Status SignatureSize(DWORD keySpec, DWORD& size) override {
        std::shared_ptr<Key> key;
        if (Status s = GetUserKey(keySpec, key))
            return s;
        size = (key->BitLength() + 7) / 8;
        return 0;
    }

    Status SignHash(Hash& hash, DWORD keySpec, Bytes& signature) override {
        std::shared_ptr<Key> key;
        if (Status s = GetUserKey(keySpec, key))
            return s;
        return SignWithRsa(static_cast<RsaKey&>(*key), hash, signature);
    }

private:
    // Keep: the key pair becomes the container's key of its kind.
    Status Keep(DWORD keySpec, const std::shared_ptr<RsaKey>& pair, DWORD flags) {
        (keySpec == AT_KEYEXCHANGE ? exchange_ : signature_) = pair;
        if (verify_)
            return 0;
        SecureBytes stored;
        if (Status s = StoredPairForm(*pair, flags, stored))
            return s;
        if (Status s = Store().Write(container_, ValueFor(keySpec), stored)) {
            (keySpec == AT_KEYEXCHANGE ? exchange_ : signature_).reset();
            return s;
        }
        return 0;
    }

    const Limits& limits_;
    bool verify_;
    std::shared_ptr<RsaKey> exchange_, signature_; // read once, or made here
};

class SoftRsaProvider : public Provider {
public:
    SoftRsaProvider(std::u16string name, DWORD type, const Limits& limits)
        : name_(std::move(name)), type_(type), limits_(limits) {}
    const std::u16string& Name() const override { return name_; }
    DWORD Type() const override { return type_; }

    Status Acquire(const std::u16string& requested, DWORD flags,
                   std::unique_ptr<Context>& context) override {
        if ((flags &
             ~(CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT)) != 0)
            return Err(NTE_BAD_FLAGS);
        if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
            if ((flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) != 0)
                return Err(NTE_BAD_FLAGS);
            context = std::make_unique<SoftRsaContext>(name_, limits_, u"", true);
            return 0;
        }
        const std::u16string container = requested.empty() ? DefaultContainer() : requested;
        if (!ContainerStore::ValidName(container))
            return Err(NTE_BAD_KEYSET_PARAM);
        if ((flags & CRYPT_DELETEKEYSET) != 0)
            return Store().Delete(container);
        if (Status s = (flags & CRYPT_NEWKEYSET) != 0 ? Store().Create(container)
                                                      : Store().Exists(container))
            return s;
        context = std::make_unique<SoftRsaContext>(name_, limits_, container, false);
        return 0;
    }

private:
    // DefaultContainer: the user's name, as Windows names the default container.
    static std::u16string DefaultContainer() {
        const char* user = std::getenv("USER");
        std::string name = user != nullptr && *user != '\0' ? user : "Default";
        return std::u16string(name.begin(), name.end());
    }
    std::u16string name_;
    DWORD type_;
    const Limits& limits_;
};

} // namespace

std::vector<Provider*> SoftRsaProviders() {
    static SoftRsaProvider base(u"Microsoft Base Cryptographic Provider v1.0", PROV_RSA_FULL,
                                kBase);
    static SoftRsaProvider enhanced(u"Microsoft Enhanced Cryptographic Provider v1.0",
                                    PROV_RSA_FULL, kEnhanced);
    static SoftRsaProvider aes(u"Microsoft Enhanced RSA and AES Cryptographic Provider",
                               PROV_RSA_AES, kEnhanced);
    return {&base, &enhanced, &aes};
}

} // namespace orvane::platform::csp
