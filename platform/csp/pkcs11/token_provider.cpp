// Tokens reached through PKCS#11, each one provider of type PROV_RSA_FULL,
// so that the system's enrolment, selection and signing work on them as on a
// vendor's token CSP.
//
// Names: "Orvane PKCS#11: " and the token's label (trailing blanks trimmed; a
// blank label is replaced by the serial). When two present tokens share a
// label, both are listed as "<name> (<serial>)"; that long form is always
// accepted when acquiring, and it is the name certificate key links carry.
//
// Containers: a key pair is a container, named by its CKA_LABEL; a pair's
// two objects and its certificates share a CKA_ID (random, 16 bytes). Which
// kind of pair it is stays on the objects themselves: an exchange pair's
// private key decrypts and unwraps (CKA_DECRYPT, CKA_UNWRAP) and its public
// key encrypts (CKA_ENCRYPT); a signature pair's keys only sign and verify.
// Public keys and certificates are public objects, so listing containers and
// reading keys and certificates needs no login; private keys are token,
// private, sensitive and never extractable objects.
//
// A SIMPLEBLOB's session key is unwrapped onto the token as a session object
// and decrypts there. A PUBLICKEYBLOB becomes a software key, as do the
// public halves of the token's pairs when they verify: a public key holds
// nothing to protect, and a session object would be lost with the session
// it lives in.
//
// Hashes are made with OpenSSL; a hash object keeps the data it is given (up
// to kKeptData bytes) beside the digest, so that a token offering
// CKM_SHA1_RSA_PKCS (or the MD5 one) hashes and signs the data itself;
// otherwise the token signs the DigestInfo with CKM_RSA_PKCS.
#include "../blob.h"
#include "../container_store.h"
#include "../envelope.h"
#include "../personal_store.h"
#include "../rsa_keys.h"
#include "internal/util.h"
#include "token.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <mutex>

namespace orvane::platform::csp {
namespace {

using pkcs11::Attribute;
using pkcs11::Attributes;
using pkcs11::kFalse;
using pkcs11::kTrue;
using pkcs11::Token;

const std::u16string kNamePrefix = u"Orvane PKCS#11: ";
constexpr size_t kKeptData = 1 << 20;
constexpr size_t kIdLength = 16;

std::u16string Trimmed(const CK_UTF8CHAR* text, size_t size) {
    while (size > 0 && (text[size - 1] == ' ' || text[size - 1] == 0))
        --size;
    return platform::ToUtf16(reinterpret_cast<const char*>(text), size);
}

std::string Utf8(const std::u16string& text) {
    std::u16string z = text;
    return platform::ToUtf8(z.c_str());
}

// BigEndian: a CryptoAPI number (least significant byte first) as PKCS#11
// holds it, without leading zeros.
Bytes BigEndian(std::span<const BYTE> le) {
    Bytes be(le.rbegin(), le.rend());
    const auto first = std::find_if(be.begin(), be.end(), [](BYTE b) { return b != 0; });
    be.erase(be.begin(), first);
    return be;
}

// PublicKeyOf: the OpenSSL key of a token's public RSA key.
Status PublicKeyOf(Token::Session& s, CK_OBJECT_HANDLE object, Pkey& key) {
    Bytes modulus, exponent;
    if (Status st = pkcs11::Value(s, object, CKA_MODULUS, modulus))
        return st;
    if (Status st = pkcs11::Value(s, object, CKA_PUBLIC_EXPONENT, exponent))
        return st;
    while (!modulus.empty() && modulus.front() == 0)
        modulus.erase(modulus.begin());
    while (!exponent.empty() && exponent.front() == 0)
        exponent.erase(exponent.begin());
    if (modulus.empty() || modulus.size() > 16384 / 8 || exponent.empty() || exponent.size() > 4)
        return Err(NTE_BAD_KEY);
    RsaParts parts;
    parts.bits = static_cast<DWORD>(modulus.size() * 8);
    for (BYTE b : exponent)
        parts.publicExponent = (parts.publicExponent << 8) | b;
    parts.modulus.assign(modulus.rbegin(), modulus.rend());
    return RsaFromParts(parts, false, key);
}

class TokenProvider;

// KeyRef: which pair a key object stands for.
struct KeyRef {
    TokenProvider* provider = nullptr;
    std::u16string container;
    DWORD keySpec = 0;
    Bytes id;
};

class TokenContext;

// TokenKey: a key pair on the token. Its public half is read once; its
// private half is found by CKA_ID whenever it is used.
class TokenKey : public Key {
public:
    TokenKey(KeyRef ref, Pkey publicKey, TokenContext& context)
        : ref_(std::move(ref)), public_(std::move(publicKey)), context_(context) {}
    ALG_ID AlgId() const override {
        return ref_.keySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN;
    }
    DWORD BitLength() const override { return RsaBits(public_.get()); }
    Status GetParam(DWORD param, Bytes& out) override;
    Status SetParam(DWORD param, std::span<const BYTE> data) override;
    Status Export(DWORD blobType, Key* wrap, Bytes& out) override;
    Status Decrypt(bool final, Bytes& data) override;
    Status VerifyHash(Hash& hash, std::span<const BYTE> signatureLe) override;

    const KeyRef& Ref() const { return ref_; }

private:
    KeyRef ref_;
    Pkey public_;
    TokenContext& context_;
};

// TokenHash: an OpenSSL digest that also keeps its data for the token.
class TokenHash : public DigestHash {
public:
    Status Update(std::span<const BYTE> data) override {
        if (Status s = DigestHash::Update(data))
            return s;
        if (keeping_ && data_.size() + data.size() <= kKeptData)
            data_.insert(data_.end(), data.begin(), data.end());
        else
            keeping_ = false;
        return 0;
    }
    bool Kept() const { return keeping_; }
    const SecureBytes& Data() const { return data_; }

private:
    SecureBytes data_;
    bool keeping_ = true;
};

// TokenSessionKey: a triple-DES session key unwrapped onto the token as a
// session object; it decrypts there (its bytes never leave the token) and
// is destroyed with its handle.
class TokenSessionKey : public TripleDesKey {
public:
    TokenSessionKey(Token& token, CK_OBJECT_HANDLE handle)
        : TripleDesKey({}, false), token_(token), handle_(handle) {}
    ~TokenSessionKey() override {
        (void)token_.Run(
            [&](Token::Session& s) { return s.Check(s.f->C_DestroyObject(s.h, handle_)); });
    }

protected:
    Status Blocks(DWORD mode, Bytes& chain, Bytes& data) override {
        if (data.empty())
            return 0;
        return token_.Run([&](Token::Session& s) -> Status {
            const bool ecb = mode == CRYPT_MODE_ECB;
            CK_MECHANISM m{ecb ? CKM_DES3_ECB : CKM_DES3_CBC, ecb ? nullptr : chain.data(),
                           ecb ? 0 : chain.size()};
            const Bytes last(data.end() - 8, data.end());
            if (Status e = s.Check(s.f->C_DecryptInit(s.h, &m, handle_)))
                return e;
            SecureBytes plain(data.size(), 0);
            CK_ULONG length = plain.size();
            if (Status e =
                    s.Check(s.f->C_Decrypt(s.h, data.data(), data.size(), plain.data(), &length)))
                return e;
            if (length != data.size())
                return Err(NTE_BAD_DATA);
            std::copy(plain.begin(), plain.end(), data.begin());
            if (!ecb)
                chain = last;
            return 0;
        });
    }

private:
    Token& token_;
    CK_OBJECT_HANDLE handle_;
};

class TokenProvider : public Provider {
public:
    TokenProvider(const pkcs11::Module& module, CK_SLOT_ID slot, std::u16string label,
                  std::u16string serial)
        : token_(module, slot, label), serial_(std::move(serial)) {
        const std::u16string shown = label.empty() ? serial_ : label;
        longName_ = kNamePrefix + shown + u" (" + serial_ + u")";
        name_ = kNamePrefix + shown;
    }
    const std::u16string& Name() const override { return shortListed_ ? name_ : longName_; }
    const std::u16string& LongName() const override { return longName_; }
    DWORD Type() const override { return PROV_RSA_FULL; }
    Status Acquire(const std::u16string& container, DWORD flags,
                   std::unique_ptr<Context>& context) override;

    Token& token() { return token_; }
    void ListShort(bool shortName) { shortListed_ = shortName; }

    // Containers: the labels of the token's key pairs and the reservations.
    Status Containers(std::vector<std::u16string>& names);
    // FindPair: the pair of keySpec in the container (public objects only).
    Status FindPair(Token::Session& s, const std::u16string& container, DWORD keySpec,
                    CK_OBJECT_HANDLE& publicKey, Bytes& id);

private:
    Status DeleteContainer(const std::u16string& container);

    Token token_;
    std::u16string serial_, name_, longName_;
    bool shortListed_ = true;
};

const AlgInfo kHashAlgs[] = {
    {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
};

class TokenContext : public Context {
public:
    TokenContext(TokenProvider& provider, std::u16string container)
        : provider_(provider), container_(std::move(container)),
          params_(provider.LongName(), container_, {}) {}

    Status GetParam(DWORD param, DWORD flags, Bytes& out) override {
        if (param == PP_NAME) { // the name the provider is listed under now
            out = AnsiZ(provider_.Name());
            return 0;
        }
        if (param == PP_ENUMALGS_EX) { // what the token offers, read at each first item
            if ((flags & CRYPT_FIRST) != 0 || !algsRead_) {
                if (Status s = ReadAlgorithms())
                    return s;
                algsRead_ = true;
                nextAlg_ = 0;
            }
            if (nextAlg_ >= algs_.size())
                return ERROR_NO_MORE_ITEMS;
            out = EnumAlgsEntry(algs_[nextAlg_]);
            return 0;
        }
        return params_.Get(
            [this](std::vector<std::u16string>& names) { return provider_.Containers(names); },
            param, flags, out);
    }
    void Consume(DWORD param) override {
        if (param == PP_ENUMALGS_EX)
            ++nextAlg_;
        else
            params_.Consume(param);
    }

    Status SetParam(DWORD param, std::span<const BYTE> value) override {
        if (param != PP_SIGNATURE_PIN && param != PP_KEYEXCHANGE_PIN)
            return Err(NTE_BAD_TYPE);
        SecureBytes& pin = param == PP_SIGNATURE_PIN ? signaturePin_ : exchangePin_;
        pin.Wipe();
        pin.assign(value.begin(), value.end());
        return 0;
    }

    // PinFor: the PIN the program set for a key of keySpec (the other kind's
    // when only that one was set), or null: the user is asked.
    const SecureBytes* PinFor(DWORD keySpec) const {
        const SecureBytes& own = keySpec == AT_SIGNATURE ? signaturePin_ : exchangePin_;
        const SecureBytes& other = keySpec == AT_SIGNATURE ? exchangePin_ : signaturePin_;
        if (!own.empty())
            return &own;
        return other.empty() ? nullptr : &other;
    }

    Status GenKey(ALG_ID alg, DWORD flags, std::shared_ptr<Key>& key) override;
    Status GetUserKey(DWORD keySpec, std::shared_ptr<Key>& key) override;
    Status ImportKey(std::span<const BYTE> blob, Key* wrap, DWORD flags,
                     std::shared_ptr<Key>& key) override;
    Status CreateHash(ALG_ID alg, std::shared_ptr<Hash>& hash) override;
    Status SignatureSize(DWORD keySpec, DWORD& size) override;
    Status SignHash(Hash& hash, DWORD keySpec, Bytes& signature) override;

    // PrivateUse: runs op on the pair's private key after the logins it needs
    // (the user's, and the operation's own for CKA_ALWAYS_AUTHENTICATE keys,
    // made by init before op is called).
    using PrivateOp = std::function<Status(Token::Session&, CK_OBJECT_HANDLE)>;
    Status PrivateUse(const KeyRef& ref, const PrivateOp& init, const PrivateOp& op);

private:
    Status ReadAlgorithms();
    // Install: a private key (with its numbers) onto the token as the
    // container's pair of keySpec, replacing the one there.
    Status Install(EVP_PKEY* pkey, DWORD keySpec, std::shared_ptr<Key>& key);
    Status Replace(Token::Session& s, DWORD keySpec, const Bytes& keep);
    Status MakeKey(DWORD keySpec, std::shared_ptr<Key>& key);
    Status Made(DWORD keySpec, std::shared_ptr<Key>& key);
    Status ImportSessionKey(const BlobHeader& h, DWORD wrapAlg, std::span<const BYTE> wrapped,
                            Key* wrap, std::shared_ptr<Key>& key);

    TokenProvider& provider_;
    std::u16string container_;
    ContextParams params_;
    std::vector<AlgInfo> algs_;
    bool algsRead_ = false;
    size_t nextAlg_ = 0;
    SecureBytes signaturePin_, exchangePin_;
};

Status TokenProvider::FindPair(Token::Session& s, const std::u16string& container, DWORD keySpec,
                               CK_OBJECT_HANDLE& publicKey, Bytes& id) {
    const CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    const CK_KEY_TYPE type = CKK_RSA;
    const std::string label = Utf8(container);
    std::vector<CK_OBJECT_HANDLE> found;
    if (Status st = pkcs11::Find(
            s,
            {Attribute(CKA_CLASS, cls), Attribute(CKA_KEY_TYPE, type), Attribute(CKA_LABEL, label)},
            found))
        return st;
    for (CK_OBJECT_HANDLE h : found) {
        const bool exchange = pkcs11::Flag(s, h, CKA_ENCRYPT) || pkcs11::Flag(s, h, CKA_WRAP);
        if (exchange != (keySpec == AT_KEYEXCHANGE))
            continue;
        publicKey = h;
        return pkcs11::Value(s, h, CKA_ID, id);
    }
    return Err(NTE_NO_KEY);
}

Status TokenProvider::Containers(std::vector<std::u16string>& names) {
    names.clear();
    Status st = token_.Run([&](Token::Session& s) -> Status {
        const CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        std::vector<CK_OBJECT_HANDLE> found;
        if (Status e = pkcs11::Find(s, {Attribute(CKA_CLASS, cls)}, found))
            return e;
        for (CK_OBJECT_HANDLE h : found) {
            Bytes label;
            if (Status e = pkcs11::Value(s, h, CKA_LABEL, label))
                return e;
            std::u16string name = Trimmed(label.data(), label.size());
            if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
        }
        return 0;
    });
    if (st != 0)
        return st;
    for (const std::u16string& r : token_.reserved)
        if (std::find(names.begin(), names.end(), r) == names.end())
            names.push_back(r);
    return 0;
}

Status TokenProvider::DeleteContainer(const std::u16string& container) {
    const std::string label = Utf8(container);
    bool any = false;
    Status st = token_.Run([&](Token::Session& s) -> Status {
        auto destroy = [&](CK_OBJECT_CLASS cls) -> Status {
            std::vector<CK_OBJECT_HANDLE> found;
            if (Status e = pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_LABEL, label)},
                                        found))
                return e;
            for (CK_OBJECT_HANDLE h : found) {
                if (Status e = s.Check(s.f->C_DestroyObject(s.h, h)))
                    return e;
                any = true;
            }
            return 0;
        };
        std::vector<CK_OBJECT_HANDLE> publicKeys;
        const CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
        if (Status e = pkcs11::Find(
                s, {Attribute(CKA_CLASS, publicClass), Attribute(CKA_LABEL, label)}, publicKeys))
            return e;
        if (publicKeys.empty())
            return destroy(CKO_CERTIFICATE); // nothing private to find
        // Private keys are private objects: only a user sees them to destroy them.
        if (Status e = token_.Login(s, nullptr))
            return e;
        for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE})
            if (Status e = destroy(cls))
                return e;
        return 0;
    });
    if (st != 0)
        return st;
    auto& reserved = token_.reserved;
    const auto r = std::find(reserved.begin(), reserved.end(), container);
    if (r != reserved.end()) {
        reserved.erase(r);
        any = true;
    }
    if (!any)
        return Err(NTE_BAD_KEYSET);
    UnregisterFromPersonalStore(longName_, container);
    return 0;
}

Status TokenProvider::Acquire(const std::u16string& container, DWORD flags,
                              std::unique_ptr<Context>& context) {
    if ((flags & ~(CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT)) != 0)
        return Err(NTE_BAD_FLAGS);
    if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
        // A verify context still needs the token, to say what it offers.
        if (Status s = token_.Run([](Token::Session&) { return Status(); }))
            return s;
        context = std::make_unique<TokenContext>(*this, u"");
        return 0;
    }
    std::u16string name = container;
    if ((flags & CRYPT_DELETEKEYSET) != 0)
        return name.empty() ? Err(NTE_BAD_KEYSET_PARAM) : DeleteContainer(name);
    std::vector<std::u16string> names;
    if (Status s = Containers(names))
        return s;
    if (name.empty()) { // the default container: the first there is
        if ((flags & CRYPT_NEWKEYSET) != 0 || names.empty())
            return Err((flags & CRYPT_NEWKEYSET) != 0 ? NTE_BAD_KEYSET_PARAM : NTE_BAD_KEYSET);
        name = names.front();
    }
    if (Utf8(name).size() > 255)
        return Err(NTE_BAD_KEYSET_PARAM);
    const bool exists = std::find(names.begin(), names.end(), name) != names.end();
    if ((flags & CRYPT_NEWKEYSET) != 0) {
        if (exists)
            return Err(NTE_EXISTS);
        token_.reserved.push_back(name);
    } else if (!exists) {
        return Err(NTE_BAD_KEYSET);
    }
    context = std::make_unique<TokenContext>(*this, name);
    return 0;
}

// --- context --------------------------------------------------------------------

Status TokenContext::ReadAlgorithms() {
    return provider_.token().Run([&](Token::Session& s) -> Status {
        Token& t = provider_.token();
        algs_.clear();
        const bool rawSign = t.Offers(s, CKM_RSA_PKCS);
        if (rawSign || t.Offers(s, CKM_SHA1_RSA_PKCS))
            algs_.push_back(kHashAlgs[0]);
        if (rawSign || t.Offers(s, CKM_MD5_RSA_PKCS))
            algs_.push_back(kHashAlgs[1]);
        CK_MECHANISM_INFO info{};
        if (t.Offers(s, CKM_RSA_PKCS_KEY_PAIR_GEN, &info)) {
            const DWORD min = static_cast<DWORD>(info.ulMinKeySize);
            const DWORD max = static_cast<DWORD>(info.ulMaxKeySize);
            const DWORD def = std::clamp<DWORD>(1024, min, std::max(min, max));
            algs_.push_back({CALG_RSA_SIGN, def, min, max, "RSA_SIGN", "RSA Signature"});
            algs_.push_back({CALG_RSA_KEYX, def, min, max, "RSA_KEYX", "RSA Key Exchange"});
        }
        return 0;
    });
}

Status TokenContext::MakeKey(DWORD keySpec, std::shared_ptr<Key>& key) {
    KeyRef ref{&provider_, container_, keySpec, {}};
    Pkey publicKey;
    if (Status st = provider_.token().Run([&](Token::Session& s) -> Status {
            CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
            if (Status e = provider_.FindPair(s, container_, keySpec, h, ref.id))
                return e;
            return PublicKeyOf(s, h, publicKey);
        }))
        return st;
    key = std::make_shared<TokenKey>(std::move(ref), std::move(publicKey), *this);
    return 0;
}

// Made: the container holds a pair now, so it is no longer only reserved.
Status TokenContext::Made(DWORD keySpec, std::shared_ptr<Key>& key) {
    auto& reserved = provider_.token().reserved;
    reserved.erase(std::remove(reserved.begin(), reserved.end(), container_), reserved.end());
    return MakeKey(keySpec, key);
}

Status TokenContext::GetUserKey(DWORD keySpec, std::shared_ptr<Key>& key) {
    if ((keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) || container_.empty())
        return Err(NTE_NO_KEY);
    return MakeKey(keySpec, key);
}

// Replace: destroys the container's other pairs of keySpec (and their
// certificates), keeping the one whose CKA_ID is keep.
Status TokenContext::Replace(Token::Session& s, DWORD keySpec, const Bytes& keep) {
    for (;;) {
        CK_OBJECT_HANDLE old = CK_INVALID_HANDLE;
        Bytes id;
        Status st = Err(NTE_NO_KEY);
        // FindPair gives the first match; step over the kept one by looking
        // at every match here.
        const CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        const std::string label = Utf8(container_);
        std::vector<CK_OBJECT_HANDLE> found;
        if (Status e =
                pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_LABEL, label)}, found))
            return e;
        for (CK_OBJECT_HANDLE h : found) {
            const bool exchange = pkcs11::Flag(s, h, CKA_ENCRYPT) || pkcs11::Flag(s, h, CKA_WRAP);
            if (exchange != (keySpec == AT_KEYEXCHANGE))
                continue;
            Bytes hid;
            if (Status e = pkcs11::Value(s, h, CKA_ID, hid))
                return e;
            if (hid != keep) {
                old = h;
                id = hid;
                st = 0;
                break;
            }
        }
        if (st != 0)
            return 0; // nothing else of that kind
        for (CK_OBJECT_CLASS c : {CKO_PRIVATE_KEY, CKO_CERTIFICATE}) {
            std::vector<CK_OBJECT_HANDLE> objects;
            if (Status e =
                    pkcs11::Find(s, {Attribute(CKA_CLASS, c), Attribute(CKA_ID, id)}, objects))
                return e;
            for (CK_OBJECT_HANDLE h : objects)
                if (Status e = s.Check(s.f->C_DestroyObject(s.h, h)))
                    return e;
        }
        if (Status e = s.Check(s.f->C_DestroyObject(s.h, old)))
            return e;
    }
}

Status TokenContext::GenKey(ALG_ID alg, DWORD flags, std::shared_ptr<Key>& key) {
    const DWORD keySpec = RsaKeySpecOf(alg);
    if (keySpec == 0)
        return Err(NTE_BAD_ALGID);
    // CRYPT_EXPORTABLE is not honoured, as by the other tokens: a token's
    // private keys never leave it, and exports say so.
    const DWORD bits = (flags >> 16) == 0 ? 1024 : flags >> 16;
    if (container_.empty())
        return Err(NTE_BAD_KEYSET);
    Bytes id(kIdLength);
    if (Status s = Random(id.data(), id.size()))
        return s;
    Token& t = provider_.token();
    Status st = t.Run([&](Token::Session& s) -> Status {
        CK_MECHANISM_INFO info{};
        if (!t.Offers(s, CKM_RSA_PKCS_KEY_PAIR_GEN, &info))
            return Err(NTE_BAD_ALGID);
        const bool standard = bits == 1024 || bits == 2048;
        const bool within =
            bits >= info.ulMinKeySize && (info.ulMaxKeySize == 0 || bits <= info.ulMaxKeySize);
        if (!within || (!standard && bits % 8 != 0))
            return Err(NTE_BAD_FLAGS);
        if (Status e = t.Login(s, PinFor(keySpec)))
            return e;
        const CK_ULONG modulusBits = bits;
        const Bytes exponent = {0x01, 0x00, 0x01};
        const std::string label = Utf8(container_);
        const CK_BBOOL exchange = keySpec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
        Attributes pub = {Attribute(CKA_TOKEN, kTrue),
                          Attribute(CKA_PRIVATE, kFalse),
                          Attribute(CKA_MODULUS_BITS, modulusBits),
                          Attribute(CKA_PUBLIC_EXPONENT, exponent),
                          Attribute(CKA_ID, id),
                          Attribute(CKA_LABEL, label),
                          Attribute(CKA_VERIFY, kTrue),
                          Attribute(CKA_ENCRYPT, exchange),
                          Attribute(CKA_WRAP, exchange)};
        Attributes priv = {Attribute(CKA_TOKEN, kTrue),     Attribute(CKA_PRIVATE, kTrue),
                           Attribute(CKA_SENSITIVE, kTrue), Attribute(CKA_EXTRACTABLE, kFalse),
                           Attribute(CKA_ID, id),           Attribute(CKA_LABEL, label),
                           Attribute(CKA_SIGN, kTrue),      Attribute(CKA_DECRYPT, exchange),
                           Attribute(CKA_UNWRAP, exchange)};
        CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE hPub = CK_INVALID_HANDLE, hPriv = CK_INVALID_HANDLE;
        if (Status e = s.Check(s.f->C_GenerateKeyPair(s.h, &mechanism, pub.data(), pub.size(),
                                                      priv.data(), priv.size(), &hPub, &hPriv)))
            return e;
        return Replace(s, keySpec, id);
    });
    if (st != 0)
        return st;
    return Made(keySpec, key);
}

Status TokenContext::Install(EVP_PKEY* pkey, DWORD keySpec, std::shared_ptr<Key>& key) {
    if (container_.empty())
        return Err(NTE_BAD_KEYSET);
    RsaParts parts;
    if (Status s = RsaToParts(pkey, true, parts))
        return s;
    Bytes id(kIdLength);
    if (Status s = Random(id.data(), id.size()))
        return s;
    const Bytes modulus = BigEndian(parts.modulus);
    Bytes exponent;
    for (DWORD e = parts.publicExponent; e != 0; e >>= 8)
        exponent.insert(exponent.begin(), static_cast<BYTE>(e));
    struct Secret {
        SecureBytes d, p, q, dp, dq, qi;
    } secret;
    auto be = [](const SecureBytes& le) {
        Bytes b = BigEndian(le);
        SecureBytes out(b.begin(), b.end());
        OPENSSL_cleanse(b.data(), b.size());
        return out;
    };
    secret.d = be(parts.privateExponent);
    secret.p = be(parts.prime1);
    secret.q = be(parts.prime2);
    secret.dp = be(parts.exponent1);
    secret.dq = be(parts.exponent2);
    secret.qi = be(parts.coefficient);
    Token& t = provider_.token();
    Status st = t.Run([&](Token::Session& s) -> Status {
        if (Status e = t.Login(s, PinFor(keySpec)))
            return e;
        const CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY, publicClass = CKO_PUBLIC_KEY;
        const CK_KEY_TYPE type = CKK_RSA;
        const std::string label = Utf8(container_);
        const CK_BBOOL exchange = keySpec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
        auto secretAttribute = [](CK_ATTRIBUTE_TYPE a, const SecureBytes& v) {
            return CK_ATTRIBUTE{a, const_cast<BYTE*>(v.data()), v.size()};
        };
        Attributes priv = {Attribute(CKA_CLASS, privateClass),
                           Attribute(CKA_KEY_TYPE, type),
                           Attribute(CKA_TOKEN, kTrue),
                           Attribute(CKA_PRIVATE, kTrue),
                           Attribute(CKA_SENSITIVE, kTrue),
                           Attribute(CKA_EXTRACTABLE, kFalse),
                           Attribute(CKA_ID, id),
                           Attribute(CKA_LABEL, label),
                           Attribute(CKA_SIGN, kTrue),
                           Attribute(CKA_DECRYPT, exchange),
                           Attribute(CKA_UNWRAP, exchange),
                           Attribute(CKA_MODULUS, modulus),
                           Attribute(CKA_PUBLIC_EXPONENT, exponent),
                           secretAttribute(CKA_PRIVATE_EXPONENT, secret.d),
                           secretAttribute(CKA_PRIME_1, secret.p),
                           secretAttribute(CKA_PRIME_2, secret.q),
                           secretAttribute(CKA_EXPONENT_1, secret.dp),
                           secretAttribute(CKA_EXPONENT_2, secret.dq),
                           secretAttribute(CKA_COEFFICIENT, secret.qi)};
        Attributes pub = {Attribute(CKA_CLASS, publicClass),
                          Attribute(CKA_KEY_TYPE, type),
                          Attribute(CKA_TOKEN, kTrue),
                          Attribute(CKA_PRIVATE, kFalse),
                          Attribute(CKA_ID, id),
                          Attribute(CKA_LABEL, label),
                          Attribute(CKA_VERIFY, kTrue),
                          Attribute(CKA_ENCRYPT, exchange),
                          Attribute(CKA_WRAP, exchange),
                          Attribute(CKA_MODULUS, modulus),
                          Attribute(CKA_PUBLIC_EXPONENT, exponent)};
        CK_OBJECT_HANDLE hPriv = CK_INVALID_HANDLE, hPub = CK_INVALID_HANDLE;
        if (Status e = s.Check(s.f->C_CreateObject(s.h, priv.data(), priv.size(), &hPriv)))
            return e;
        if (Status e = s.Check(s.f->C_CreateObject(s.h, pub.data(), pub.size(), &hPub))) {
            (void)s.f->C_DestroyObject(s.h, hPriv); // no half pair is left behind
            return e;
        }
        return Replace(s, keySpec, id);
    });
    if (st != 0)
        return st;
    return Made(keySpec, key);
}

Status TokenContext::ImportKey(std::span<const BYTE> blob, Key* wrap, DWORD /*flags*/,
                               std::shared_ptr<Key>& key) {
    BlobReader r(blob);
    BlobHeader h;
    DWORD magic = 0;
    if (!ReadHeader(r, h) || !r.U32(magic))
        return Err(NTE_BAD_DATA);
    if (h.type == SIMPLEBLOB)
        return ImportSessionKey(h, magic, r.Rest(), wrap, key);
    if (h.type == PRIVATEKEYBLOB && h.alg == CALG_RSA_KEYX && magic == CALG_RSA_KEYX) {
        EnvelopeFields fields;
        if (Status s = ReadEnvelopeFields(r, fields))
            return s;
        if (container_.empty())
            return Err(NTE_BAD_KEYSET);
        std::shared_ptr<Key> exchange;
        if (Status s = GetUserKey(AT_KEYEXCHANGE, exchange))
            return s;
        const KeyRef& ref = static_cast<TokenKey&>(*exchange).Ref();
        Pkey pkey;
        // The session key is opened on the token, by the container's exchange key.
        if (Status s = OpenEnvelope(
                fields,
                [&](std::span<const BYTE> cipher, SecureBytes& sessionKey) {
                    return PrivateUse(
                        ref,
                        [](Token::Session& ss, CK_OBJECT_HANDLE k) {
                            CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
                            return ss.Check(ss.f->C_DecryptInit(ss.h, &m, k));
                        },
                        [&](Token::Session& ss, CK_OBJECT_HANDLE) {
                            sessionKey.assign(cipher.size(), 0);
                            CK_ULONG length = sessionKey.size();
                            Bytes in(cipher.begin(), cipher.end());
                            Status e = ss.Check(ss.f->C_Decrypt(ss.h, in.data(), in.size(),
                                                                sessionKey.data(), &length));
                            sessionKey.resize(e == 0 ? length : 0);
                            return e;
                        });
                },
                pkey))
            return s;
        return Install(pkey.get(), AT_KEYEXCHANGE, key);
    }
    Pkey pkey;
    bool isPrivate = false;
    if (Status s = RsaFromBlob(blob, h, pkey, isPrivate))
        return s;
    if (!isPrivate) { // a public key to verify with needs no token
        key = std::make_shared<RsaKey>(std::move(pkey), h.alg, false, false);
        return 0;
    }
    return Install(pkey.get(), h.alg == CALG_RSA_KEYX ? AT_KEYEXCHANGE : AT_SIGNATURE, key);
}

// ImportSessionKey: a SIMPLEBLOB's triple-DES key, unwrapped on the token by
// the container's exchange key when the token can (else NTE_NOT_SUPPORTED:
// the key is never opened in software).
Status TokenContext::ImportSessionKey(const BlobHeader& h, DWORD wrapAlg,
                                      std::span<const BYTE> wrapped, Key* wrap,
                                      std::shared_ptr<Key>& key) {
    if (h.alg != CALG_3DES)
        return Err(NTE_BAD_ALGID);
    auto* exchange = dynamic_cast<TokenKey*>(wrap);
    if (exchange == nullptr || exchange->Ref().provider != &provider_ ||
        exchange->Ref().keySpec != AT_KEYEXCHANGE)
        return Err(NTE_BAD_KEY);
    if (wrapAlg != CALG_RSA_KEYX)
        return Err(NTE_BAD_ALGID);
    Token& t = provider_.token();
    if (Status st = t.Run([&](Token::Session& s) -> Status {
            CK_MECHANISM_INFO info{};
            return t.Offers(s, CKM_RSA_PKCS, &info) && (info.flags & CKF_UNWRAP) != 0 &&
                           t.Offers(s, CKM_DES3_CBC) && t.Offers(s, CKM_DES3_ECB)
                       ? Status()
                       : pkcs11::kNotSupported;
        }))
        return st;
    const Bytes cipher(wrapped.rbegin(), wrapped.rend()); // the blob holds it reversed
    CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
    if (Status st = PrivateUse(
            exchange->Ref(), [](Token::Session&, CK_OBJECT_HANDLE) { return Status(); },
            [&](Token::Session& s, CK_OBJECT_HANDLE k) {
                const CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
                const CK_KEY_TYPE type = CKK_DES3;
                Attributes tmpl = {
                    Attribute(CKA_CLASS, cls),       Attribute(CKA_KEY_TYPE, type),
                    Attribute(CKA_TOKEN, kFalse),    Attribute(CKA_PRIVATE, kTrue),
                    Attribute(CKA_SENSITIVE, kTrue), Attribute(CKA_EXTRACTABLE, kFalse),
                    Attribute(CKA_DECRYPT, kTrue)};
                CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
                return s.Check(s.f->C_UnwrapKey(s.h, &m, k, const_cast<BYTE*>(cipher.data()),
                                                cipher.size(), tmpl.data(), tmpl.size(), &made));
            }))
        return st;
    key = std::make_shared<TokenSessionKey>(t, made);
    return 0;
}

Status TokenContext::CreateHash(ALG_ID alg, std::shared_ptr<Hash>& hash) {
    if (alg != CALG_SHA1 && alg != CALG_MD5)
        return Err(NTE_BAD_ALGID);
    Token& t = provider_.token();
    bool offered = false;
    if (Status st = t.Run([&](Token::Session& s) -> Status {
            offered = t.Offers(s, CKM_RSA_PKCS) ||
                      t.Offers(s, alg == CALG_SHA1 ? CKM_SHA1_RSA_PKCS : CKM_MD5_RSA_PKCS);
            return 0;
        }))
        return st;
    if (!offered)
        return Err(NTE_BAD_ALGID);
    auto made = std::make_shared<TokenHash>();
    if (Status s = made->Init(alg))
        return s;
    hash = made;
    return 0;
}

Status TokenContext::SignatureSize(DWORD keySpec, DWORD& size) {
    std::shared_ptr<Key> pair;
    if (Status s = GetUserKey(keySpec, pair))
        return s;
    size = (pair->BitLength() + 7) / 8;
    return 0;
}

Status TokenContext::PrivateUse(const KeyRef& ref, const PrivateOp& init, const PrivateOp& op) {
    Token& t = ref.provider->token();
    const SecureBytes* pin = PinFor(ref.keySpec);
    return t.Run([&](Token::Session& s) -> Status {
        // A PIN the user gives for the login also serves this operation's own
        // login (a key that wants the PIN for each use): one question for one
        // signature.
        SecureBytes entered;
        if (Status e = t.Login(s, pin, &entered))
            return e;
        const CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        std::vector<CK_OBJECT_HANDLE> found;
        if (Status e =
                pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_ID, ref.id)}, found))
            return e;
        if (found.empty())
            return Err(NTE_NO_KEY);
        if (Status e = init(s, found.front()))
            return e;
        if (pkcs11::Flag(s, found.front(), CKA_ALWAYS_AUTHENTICATE))
            if (Status e = t.LoginForOperation(s, pin != nullptr    ? pin
                                                  : entered.empty() ? nullptr
                                                                    : &entered))
                return e;
        return op(s, found.front());
    });
}

Status TokenContext::SignHash(Hash& hash, DWORD keySpec, Bytes& signature) {
    std::shared_ptr<Key> pair;
    if (Status s = GetUserKey(keySpec, pair))
        return s;
    auto* kept = dynamic_cast<TokenHash*>(&hash);
    if (kept == nullptr)
        return Err(NTE_BAD_HASH);
    Bytes digest;
    if (Status s = hash.Value(digest))
        return s;
    const ALG_ID alg = hash.AlgId();
    Token& t = provider_.token();
    // Which mechanism: the token's own hash-and-sign when it has the data,
    // else PKCS#1 v1.5 over the DigestInfo made here.
    CK_MECHANISM_TYPE mechanism = CKM_RSA_PKCS;
    Bytes input;
    if (Status st = t.Run([&](Token::Session& s) -> Status {
            const CK_MECHANISM_TYPE combined =
                alg == CALG_SHA1 ? CKM_SHA1_RSA_PKCS : CKM_MD5_RSA_PKCS;
            if (kept->Kept() && t.Offers(s, combined)) {
                mechanism = combined;
                return 0;
            }
            return t.Offers(s, CKM_RSA_PKCS) ? Status() : Err(NTE_BAD_ALGID);
        }))
        return st;
    if (mechanism == CKM_RSA_PKCS) {
        static const Bytes kSha1Info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                        0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
        static const Bytes kMd5Info = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                       0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
        input = alg == CALG_SHA1 ? kSha1Info : kMd5Info;
        input.insert(input.end(), digest.begin(), digest.end());
    } else {
        input.assign(kept->Data().begin(), kept->Data().end());
    }
    const KeyRef& ref = static_cast<TokenKey&>(*pair).Ref();
    Bytes out;
    Status st = PrivateUse(
        ref,
        [&](Token::Session& s, CK_OBJECT_HANDLE k) {
            CK_MECHANISM m{mechanism, nullptr, 0};
            return s.Check(s.f->C_SignInit(s.h, &m, k));
        },
        [&](Token::Session& s, CK_OBJECT_HANDLE) {
            CK_ULONG length = (pair->BitLength() + 7) / 8;
            out.assign(length, 0);
            Status e = s.Check(s.f->C_Sign(s.h, input.data(), input.size(), out.data(), &length));
            out.resize(e == 0 ? length : 0);
            return e;
        });
    OPENSSL_cleanse(input.data(), input.size());
    if (st != 0)
        return st;
    signature.assign(out.rbegin(), out.rend()); // least significant byte first
    return 0;
}

// --- key ----------------------------------------------------------------------

// CertificateAttributes: what a certificate object carries beside its DER:
// subject, issuer and the serial number's DER INTEGER.
Status CertificateAttributes(std::span<const BYTE> der, Bytes& subject, Bytes& issuer,
                             Bytes& serial) {
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    if (cert == nullptr)
        return Err(NTE_BAD_DATA);
    const CERT_INFO* info = cert->pCertInfo;
    subject.assign(info->Subject.pbData, info->Subject.pbData + info->Subject.cbData);
    issuer.assign(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData);
    const CRYPT_INTEGER_BLOB& n = info->SerialNumber; // least significant byte first
    Bytes content(std::reverse_iterator(n.pbData + n.cbData), std::reverse_iterator(n.pbData));
    CertFreeCertificateContext(cert);
    serial = {0x02};
    const size_t length = content.size();
    if (length < 0x80) {
        serial.push_back(static_cast<BYTE>(length));
    } else {
        serial.push_back(length < 0x100 ? 0x81 : 0x82);
        if (length >= 0x100)
            serial.push_back(static_cast<BYTE>(length >> 8));
        serial.push_back(static_cast<BYTE>(length));
    }
    serial.insert(serial.end(), content.begin(), content.end());
    return 0;
}

Status TokenKey::GetParam(DWORD param, Bytes& out) {
    switch (param) {
    case KP_ALGID:
        out = DwordBytes(AlgId());
        return 0;
    case KP_KEYLEN:
    case KP_BLOCKLEN:
        out = DwordBytes(BitLength());
        return 0;
    case KP_PERMISSIONS:
        out = DwordBytes(CRYPT_READ | CRYPT_WRITE);
        return 0;
    case KP_CERTIFICATE:
        return ref_.provider->token().Run([&](Token::Session& s) -> Status {
            const CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
            std::vector<CK_OBJECT_HANDLE> found;
            if (Status e =
                    pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_ID, ref_.id)}, found))
                return e;
            if (found.empty())
                return Err(NTE_NOT_FOUND);
            return pkcs11::Value(s, found.front(), CKA_VALUE, out);
        });
    default:
        return Err(NTE_BAD_TYPE);
    }
}

Status TokenKey::SetParam(DWORD param, std::span<const BYTE> data) {
    if (param != KP_CERTIFICATE)
        return Err(NTE_BAD_TYPE);
    if (Status s = WholeCertificate(data))
        return s;
    Bytes subject, issuer, serial;
    if (Status s = CertificateAttributes(data, subject, issuer, serial))
        return s;
    Token& t = ref_.provider->token();
    const SecureBytes* pin = context_.PinFor(ref_.keySpec);
    if (Status st = t.Run([&](Token::Session& s) -> Status {
            // Writing to the token is a user's act, as making the key was.
            if (Status e = t.Login(s, pin))
                return e;
            const CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
            const CK_CERTIFICATE_TYPE type = CKC_X_509;
            const std::string label = Utf8(ref_.container);
            const Bytes value(data.begin(), data.end());
            std::vector<CK_OBJECT_HANDLE> older;
            if (Status e =
                    pkcs11::Find(s, {Attribute(CKA_CLASS, cls), Attribute(CKA_ID, ref_.id)}, older))
                return e;
            Attributes cert = {Attribute(CKA_CLASS, cls),
                               Attribute(CKA_CERTIFICATE_TYPE, type),
                               Attribute(CKA_TOKEN, kTrue),
                               Attribute(CKA_PRIVATE, kFalse),
                               Attribute(CKA_ID, ref_.id),
                               Attribute(CKA_LABEL, label),
                               Attribute(CKA_SUBJECT, subject),
                               Attribute(CKA_ISSUER, issuer),
                               Attribute(CKA_SERIAL_NUMBER, serial),
                               Attribute(CKA_VALUE, value)};
            CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
            if (Status e = s.Check(s.f->C_CreateObject(s.h, cert.data(), cert.size(), &made)))
                return e;
            for (CK_OBJECT_HANDLE h : older) // the new one is there before the old goes
                if (Status e = s.Check(s.f->C_DestroyObject(s.h, h)))
                    return e;
            return 0;
        }))
        return st;
    return RegisterInPersonalStore(ref_.provider->LongName(), ref_.container, ref_.keySpec, data);
}

Status TokenKey::Export(DWORD blobType, Key* /*wrap*/, Bytes& out) {
    if (blobType == PRIVATEKEYBLOB)
        return Err(NTE_BAD_KEY_STATE); // a token's private key never leaves it
    if (blobType != PUBLICKEYBLOB)
        return Err(NTE_BAD_TYPE);
    RsaParts parts;
    if (Status s = RsaToParts(public_.get(), false, parts))
        return s;
    out = BuildRsaBlob(AlgId(), parts, false);
    return 0;
}

Status TokenKey::Decrypt(bool /*final*/, Bytes& data) {
    if (ref_.keySpec != AT_KEYEXCHANGE)
        return Err(NTE_BAD_KEY);
    Bytes cipher(data.rbegin(), data.rend());
    SecureBytes plain;
    Status st = context_.PrivateUse(
        ref_,
        [](Token::Session& s, CK_OBJECT_HANDLE k) {
            CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
            return s.Check(s.f->C_DecryptInit(s.h, &m, k));
        },
        [&](Token::Session& s, CK_OBJECT_HANDLE) {
            plain.assign(cipher.size(), 0);
            CK_ULONG length = plain.size();
            Status e =
                s.Check(s.f->C_Decrypt(s.h, cipher.data(), cipher.size(), plain.data(), &length));
            plain.resize(e == 0 ? length : 0);
            return e;
        });
    if (st != 0)
        return st;
    data.assign(plain.begin(), plain.end());
    return 0;
}

Status TokenKey::VerifyHash(Hash& hash, std::span<const BYTE> signatureLe) {
    Bytes digest;
    if (Status s = hash.Value(digest))
        return s;
    const Bytes signature(signatureLe.rbegin(), signatureLe.rend());
    return RsaVerifyDigest(public_.get(), hash.AlgId(), digest, signature);
}

// --- the table ------------------------------------------------------------------

struct Table {
    std::mutex mutex;
    // Every token seen in this process, by module, serial and label; never removed.
    std::map<std::string, std::unique_ptr<TokenProvider>> known;
    std::vector<Provider*> present;
    bool scanned = false;
};

Table& TheTable() {
    static Table table;
    return table;
}

void Scan(Table& table) {
    std::vector<TokenProvider*> present;
    std::vector<std::u16string> labels;
    const auto& modules = pkcs11::Modules();
    for (size_t m = 0; m < modules.size(); ++m) {
        CK_FUNCTION_LIST* f = modules[m].functions;
        CK_ULONG count = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count > 1024)
            continue;
        std::vector<CK_SLOT_ID> slots(count);
        if (f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
            continue;
        slots.resize(count);
        std::sort(slots.begin(), slots.end());
        for (CK_SLOT_ID slot : slots) {
            CK_TOKEN_INFO info{};
            if (f->C_GetTokenInfo(slot, &info) != CKR_OK ||
                (info.flags & CKF_TOKEN_INITIALIZED) == 0)
                continue;
            const std::u16string label = Trimmed(info.label, sizeof info.label);
            const std::u16string serial = Trimmed(info.serialNumber, sizeof info.serialNumber);
            const std::string key = std::to_string(m) + "\n" + Utf8(serial) + "\n" + Utf8(label);
            auto& entry = table.known[key];
            if (!entry)
                entry = std::make_unique<TokenProvider>(modules[m], slot, label, serial);
            entry->token().Seen(slot);
            present.push_back(entry.get());
            labels.push_back(label.empty() ? serial : label);
        }
    }
    for (auto& [key, provider] : table.known)
        if (std::find(present.begin(), present.end(), provider.get()) == present.end())
            provider->token().Gone();
    table.present.clear();
    for (size_t i = 0; i < present.size(); ++i) {
        const auto same = std::count(labels.begin(), labels.end(), labels[i]);
        present[i]->ListShort(same == 1);
        table.present.push_back(present[i]);
    }
    table.scanned = true;
}

} // namespace

std::vector<Provider*> Pkcs11Providers(ProviderScan scan) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.mutex);
    if (scan == ProviderScan::Refresh)
        Scan(table);
    return table.present;
}

} // namespace orvane::platform::csp
