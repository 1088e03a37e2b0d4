// "Orvane Soft RSA Token CSP v1.0": a stand-in vendor token for RSA keys.
//
// Key pairs (AT_KEYEXCHANGE, AT_SIGNATURE; 1024 to 4096 bits, 1024 by default)
// live below HKEY_CURRENT_USER\Software\Orvane\Crypto\Tokens\RSA, apart from
// the software providers' containers, in their stored form (rsa_keys.h); a
// pair's certificate (KP_CERTIFICATE) is the value "ExchangeCertificate" or
// "SignatureCertificate". A private key never leaves the token:
// PRIVATEKEYBLOB exports are refused.
//
// As a vendor's RSA middleware does on Windows, the token also registers the
// certificate of each of its keys in the current user's "MY" store, with the
// key-provider link (this provider, the container, PROV_RSA_FULL, the key
// pair), so that programs find it as a store certificate; deleting a
// container removes the "MY" entries linked to it.
//
// Imports:
//   - a plain PRIVATEKEYBLOB (the old envelope format, opened by the system)
//     becomes the container's pair of its kind;
//   - the enveloped key of the new format:
//       offset 0   BLOBHEADER { 7, 2, 1, 0xA400 }
//       offset 8   0xA400
//       offset 12  the key's length in bits
//       offset 16  the EVP structure's length in bits
//       offset 20  address of the EVP structure in this process
//     The address field is pointer-sized: 4 bytes in 32-bit builds (the 24-
//     byte blob of the 32-bit tokens), 8 in 64-bit builds (28 bytes), so a
//     caller builds it with sizeof(void*). The EVP structure:
//       SEQUENCE { INTEGER 1, OBJECT IDENTIFIER 1.2.840.113549.1.1.1,
//                  OBJECT IDENTIFIER 1.3.6.1.4.1.4929.1.7,
//                  OCTET STRING encryptedSessionKey, OCTET STRING encryptedPrivateKey }
//     This provider defines 1.3.6.1.4.1.4929.1.7 as three-key triple DES in
//     ECB mode with PKCS#5 padding, as the old format uses: the session key
//     is 24 bytes, RSA PKCS#1 v1.5 encrypted under the container's exchange
//     key (most significant byte first, as the envelope carries it), and the
//     private key is the DER of a PKCS#1 RSAPrivateKey encrypted under it.
//     An empty session key is refused. The imported pair replaces the
//     container's exchange pair.
#include "container_store.h"
#include "envelope.h"
#include "personal_store.h"
#include "rsa_keys.h"

#include <array>
#include <memory>

namespace orvane::platform::csp {
namespace {

const ContainerStore& Store() {
    static const ContainerStore store(u"Software\\Orvane\\Crypto\\Tokens\\RSA");
    return store;
}

const char16_t* ValueFor(DWORD keySpec) {
    return keySpec == AT_KEYEXCHANGE ? u"Exchange" : u"Signature";
}
const char16_t* CertificateFor(DWORD keySpec) {
    return keySpec == AT_KEYEXCHANGE ? u"ExchangeCertificate" : u"SignatureCertificate";
}

const char16_t kProviderName[] = u"Orvane Soft RSA Token CSP v1.0";

// What the token lists for PP_ENUMALGS_EX.
const AlgInfo kRsaTokenAlgs[] = {
    {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
    {CALG_RSA_SIGN, 1024, 1024, 4096, "RSA_SIGN", "RSA Signature"},
    {CALG_RSA_KEYX, 1024, 1024, 4096, "RSA_KEYX", "RSA Key Exchange"}};

class RsaTokenContext : public ContainerContext {
public:
    RsaTokenContext(const std::u16string& providerName, std::u16string container)
        : ContainerContext(Store(), providerName, std::move(container), kRsaTokenAlgs) {}

    Status GenKey(ALG_ID alg, DWORD flags, std::shared_ptr<Key>& key) override {
        const DWORD keySpec = RsaKeySpecOf(alg);
        if (keySpec == 0)
            return Err(NTE_BAD_ALGID);
        const DWORD bits = (flags >> 16) == 0 ? 1024 : flags >> 16;
        if (bits < 1024 || bits > 4096 || bits % 8 != 0)
            return Err(NTE_BAD_FLAGS);
        if (container_.empty())
            return Err(NTE_BAD_KEYSET);
        Pkey pkey;
        if (Status s = RsaGenerate(bits, pkey))
            return s;
        auto pair = std::make_shared<RsaKey>(
            std::move(pkey), keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN, true,
            false);
        if (Status s = Keep(keySpec, pair))
            return s;
        key = pair;
        return 0;
    }

    Status GetUserKey(DWORD keySpec, std::shared_ptr<Key>& key) override {
        std::shared_ptr<RsaKey> pair;
        if (Status s = Load(keySpec, pair))
            return s;
        key = pair;
        return 0;
    }

    Status ImportKey(std::span<const BYTE> blob, Key* wrap, DWORD /*flags*/,
                     std::shared_ptr<Key>& key) override {
        BlobReader r(blob);
        BlobHeader h;
        DWORD magic = 0;
        if (!ReadHeader(r, h) || !r.U32(magic))
            return Err(NTE_BAD_DATA);
        if (h.type == SIMPLEBLOB)
            return ImportSimpleBlob(blob, wrap, std::array<ALG_ID, 1>{CALG_3DES}, 0, key);
        if (h.type == PRIVATEKEYBLOB && h.alg == CALG_RSA_KEYX && magic == CALG_RSA_KEYX)
            return ImportEnveloped(r, key);
        Pkey pkey;
        bool isPrivate = false;
        if (Status s = RsaFromBlob(blob, h, pkey, isPrivate))
            return s;
        auto imported = std::make_shared<RsaKey>(std::move(pkey), h.alg, isPrivate, false);
        if (isPrivate) {
            const DWORD keySpec = h.alg == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE;
            if (Status s = Keep(keySpec, imported))
                return s;
            Attach(keySpec, *imported);
        }
        key = imported;
        return 0;
    }

    Status CreateHash(ALG_ID alg, std::shared_ptr<Hash>& hash) override {
        return CreateRsaProviderHash(alg, hash);
    }

    Status SignatureSize(DWORD keySpec, DWORD& size) override {
        std::shared_ptr<RsaKey> pair;
        if (Status s = Load(keySpec, pair))
            return s;
        size = (pair->BitLength() + 7) / 8;
        return 0;
    }

    Status SignHash(Hash& hash, DWORD keySpec, Bytes& signature) override {
        std::shared_ptr<RsaKey> pair;
        if (Status s = Load(keySpec, pair))
            return s;
        return SignWithRsa(*pair, hash, signature);
    }

private:
    Status ImportEnveloped(BlobReader& r, std::shared_ptr<Key>& key) {
        EnvelopeFields fields;
        if (Status s = ReadEnvelopeFields(r, fields))
            return s;
        if (container_.empty())
            return Err(NTE_BAD_KEYSET);
        std::shared_ptr<RsaKey> exchange;
        if (Status s = Load(AT_KEYEXCHANGE, exchange))
            return s;
        Pkey pkey;
        if (Status s = OpenEnvelope(
                fields,
                [&](std::span<const BYTE> cipher, SecureBytes& sessionKey) {
                    Bytes cipherLe(cipher.rbegin(), cipher.rend());
                    return exchange->Unwrap(cipherLe, sessionKey);
                },
                pkey))
            return s;
        auto pair = std::make_shared<RsaKey>(std::move(pkey), CALG_RSA_KEYX, true, false);
        if (Status s = Keep(AT_KEYEXCHANGE, pair))
            return s;
        Attach(AT_KEYEXCHANGE, *pair);
        key = pair;
        return 0;
    }

    Status Load(DWORD keySpec, std::shared_ptr<RsaKey>& pair) {
        if ((keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) || container_.empty())
            return Err(NTE_NO_KEY);
        std::shared_ptr<RsaKey>& cached = keySpec == AT_KEYEXCHANGE ? exchange_ : signature_;
        if (!cached) { // read once per context, as a provider handle does
            SecureBytes stored;
            if (Status s = Store().Read(container_, ValueFor(keySpec), stored))
                return s;
            if (Status s = LoadStoredPair(stored, cached))
                return s;
            Attach(keySpec, *cached);
        }
        pair = cached;
        return 0;
    }

    Status Keep(DWORD keySpec, const std::shared_ptr<RsaKey>& pair) {
        SecureBytes stored;
        if (Status s = StoredPairForm(*pair, 0, stored))
            return s;
        if (Status s = Store().Write(container_, ValueFor(keySpec), stored))
            return s;
        Attach(keySpec, *pair);
        (keySpec == AT_KEYEXCHANGE ? exchange_ : signature_) = pair;
        return 0;
    }

    // Attach: the pair's certificate lives beside it in the container.
    void Attach(DWORD keySpec, RsaKey& pair) {
        const std::u16string container = container_;
        pair.readCertificate = [container, keySpec](Bytes& out) -> Status {
            SecureBytes cert;
            if (Status s = Store().Read(container, CertificateFor(keySpec), cert))
                return s == Err(NTE_NO_KEY) ? Err(NTE_NOT_FOUND) : s;
            out.assign(cert.begin(), cert.end());
            return 0;
        };
        pair.writeCertificate = [container, keySpec](std::span<const BYTE> data) -> Status {
            if (Status s = WholeCertificate(data))
                return s;
            if (Status s = Store().Write(container, CertificateFor(keySpec), data))
                return s;
            return RegisterInPersonalStore(kProviderName, container, keySpec, data);
        };
    }

    std::shared_ptr<RsaKey> exchange_, signature_;
};

class RsaTokenProvider : public Provider {
public:
    const std::u16string& Name() const override { return name_; }
    DWORD Type() const override { return PROV_RSA_FULL; }

    Status Acquire(const std::u16string& container, DWORD flags,
                   std::unique_ptr<Context>& context) override {
        if ((flags &
             ~(CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT)) != 0)
            return Err(NTE_BAD_FLAGS);
        if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
            context = std::make_unique<RsaTokenContext>(name_, u"");
            return 0;
        }
        if (!ContainerStore::ValidName(container))
            return Err(NTE_BAD_KEYSET_PARAM);
        if ((flags & CRYPT_DELETEKEYSET) != 0) {
            if (Status s = Store().Delete(container))
                return s;
            UnregisterFromPersonalStore(kProviderName, container);
            return 0;
        }
        if (Status s = (flags & CRYPT_NEWKEYSET) != 0 ? Store().Create(container)
                                                      : Store().Exists(container))
            return s;
        context = std::make_unique<RsaTokenContext>(name_, container);
        return 0;
    }

private:
    std::u16string name_ = kProviderName;
};

} // namespace

Provider* RsaTokenProviderInstance() {
    static RsaTokenProvider provider;
    return &provider;
}

} // namespace orvane::platform::csp
