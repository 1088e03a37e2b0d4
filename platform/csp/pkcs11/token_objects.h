// The objects of the providers over PKCS#11 tokens, shared by the files
// that implement them: token_provider.cpp (the providers, their names and
// the slot scan), token_context.cpp (a context's containers, key generation
// and imports) and token_keys.cpp (what the keys and hashes do: signing,
// decrypting, verifying, certificates). Nothing outside those files uses
// this header; the rest of the stand-in reaches the tokens through
// Pkcs11Providers in provider.h. (Names are described in token_provider.cpp.)
//
// Tokens reached through PKCS#11, each one provider of type PROV_RSA_FULL,
// so that the system's enrolment, selection and signing work on them as on a
// vendor's token CSP.
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
#pragma once
#include "../blob.h"
#include "../container_store.h"
#include "../rsa_keys.h"
#include "internal/util.h"
#include "token.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvane::platform::csp::pkcs11_detail {

using pkcs11::Attribute;
using pkcs11::Attributes;
using pkcs11::kFalse;
using pkcs11::kTrue;
using pkcs11::Token;

constexpr size_t kKeptData = 1 << 20;

inline std::string Utf8(const std::u16string& text) {
    return platform::ToUtf8(text.c_str());
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
                  std::u16string serial);
    const std::u16string& Name() const override { return shortListed_ ? name_ : longName_; }
    const std::u16string& LongName() const override { return longName_; }
    DWORD Type() const override { return PROV_RSA_FULL; }
    Status Acquire(const std::u16string& container, DWORD flags,
                   std::unique_ptr<Context>& context) override;

    Token& token() { return token_; }
    void ListShort(bool shortName) { shortListed_ = shortName; }

    // Containers: the labels of the token's key pairs and the reservations.
    Status Containers(std::vector<std::u16string>& names);
    // FindPair: the pair of keySpec in the container (public objects only),
    // passing over the one whose CKA_ID is except, when given.
    Status FindPair(Token::Session& s, const std::u16string& container, DWORD keySpec,
                    CK_OBJECT_HANDLE& publicKey, Bytes& id, const Bytes* except = nullptr);

private:
    Status DeleteContainer(const std::u16string& container, bool silent);

    Token token_;
    std::u16string serial_, name_, longName_;
    bool shortListed_ = true;
};

class TokenContext : public Context {
public:
    // silent: acquired with CRYPT_SILENT; the user is never asked for a PIN.
    TokenContext(TokenProvider& provider, std::u16string container, bool silent)
        : provider_(provider), container_(std::move(container)),
          params_(provider.LongName(), container_, {}), silent_(silent) {}

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

    // CredentialFor: how a key of keySpec logs in: with the PIN the program
    // set for it (the other kind's when only that one was set), else by
    // asking the user unless the context is silent.
    Token::Credential CredentialFor(DWORD keySpec) const {
        const SecureBytes& own = keySpec == AT_SIGNATURE ? signaturePin_ : exchangePin_;
        const SecureBytes& other = keySpec == AT_SIGNATURE ? exchangePin_ : signaturePin_;
        const SecureBytes* pin = !own.empty() ? &own : other.empty() ? nullptr : &other;
        return {pin, silent_};
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
    // DecryptOnToken: PKCS#1 v1.5 decryption (CKM_RSA_PKCS) by the pair's
    // private key on the token; cipher most significant byte first.
    Status DecryptOnToken(const KeyRef& ref, std::span<const BYTE> cipher, SecureBytes& plain);

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
    bool silent_;
};

} // namespace orvane::platform::csp::pkcs11_detail
