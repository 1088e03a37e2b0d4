// The provider table: every CSP the stand-in offers implements the interfaces
// below, shaped like a CSP's service provider interface (acquire, generate,
// export, import, hash, sign, decrypt, parameters). advapi32's entry points
// (crypt_api.cpp) check handles and buffers and then call exactly one of these.
//
// Every operation returns a Status: 0 on success, else the Win32 / NTE_* error
// number that the entry point leaves as the thread's last error.
#pragma once
#include <wincrypt.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvane::platform::csp {

// A result a caller may not drop: every failure must reach the last error or
// be decided on. It reads and converts as the DWORD it carries.
class [[nodiscard]] Status {
public:
    constexpr Status(DWORD code = ERROR_SUCCESS) : code_(code) {}
    constexpr operator DWORD() const { return code_; }

private:
    DWORD code_;
};
using Bytes = std::vector<BYTE>;

// Status of a HRESULT-shaped NTE_* constant.
constexpr Status Err(HRESULT hr) {
    return static_cast<Status>(hr);
}

class Hash;

class Key {
public:
    virtual ~Key() = default;
    virtual ALG_ID AlgId() const = 0;
    virtual DWORD BitLength() const = 0;
    // GetParam: KP_* values into out (KP_ALGID, KP_KEYLEN, KP_MODE, ...).
    virtual Status GetParam(DWORD param, Bytes& out) = 0;
    // SetParam: data holds the parameter's value (its size is the parameter's:
    // a DWORD for KP_MODE, the certificate's extent for KP_CERTIFICATE). The
    // size is the bound: nothing outside data is read.
    virtual Status SetParam(DWORD param, std::span<const BYTE> data) = 0;
    // Export: the blob of blobType; wrap is the key a SIMPLEBLOB is encrypted under.
    virtual Status Export(DWORD blobType, Key* wrap, Bytes& out) = 0;
    // Decrypt: in place; final removes the padding of block ciphers.
    virtual Status Decrypt(bool final, Bytes& data) = 0;
    // VerifyHash: checks a signature (least significant byte first) over the
    // hash with this public key; NTE_BAD_SIGNATURE when it does not match.
    virtual Status VerifyHash(Hash& /*hash*/, std::span<const BYTE> /*signatureLe*/) {
        return Err(NTE_BAD_KEY);
    }
};

class Hash {
public:
    virtual ~Hash() = default;
    virtual ALG_ID AlgId() const = 0;
    virtual DWORD Size() const = 0;
    virtual Status Update(std::span<const BYTE> data) = 0;
    // Value: the digest; the hash is finished afterwards (Update fails).
    virtual Status Value(Bytes& out) = 0;
};

// Context: one acquired provider handle, on a container or (verify context) none.
class Context {
public:
    virtual ~Context() = default;
    // GetParam: PP_* values; flags carry CRYPT_FIRST for enumerations, which
    // answer the current item again until Consume moves past it (so that a
    // caller asking for the size first does not lose an item).
    virtual Status GetParam(DWORD param, DWORD flags, Bytes& out) = 0;
    virtual void Consume(DWORD /*param*/) {}
    // SetParam: PP_* values a provider takes (a token's PINs); value holds the
    // parameter without its terminating zero.
    virtual Status SetParam(DWORD /*param*/, std::span<const BYTE> /*value*/) {
        return Err(NTE_BAD_TYPE);
    }
    virtual Status GenKey(ALG_ID alg, DWORD flags, std::shared_ptr<Key>& key) = 0;
    virtual Status GetUserKey(DWORD keySpec, std::shared_ptr<Key>& key) = 0;
    virtual Status ImportKey(std::span<const BYTE> blob, Key* wrap, DWORD flags,
                             std::shared_ptr<Key>& key) = 0;
    virtual Status CreateHash(ALG_ID alg, std::shared_ptr<Hash>& hash) = 0;
    // SignatureSize: the length of a signature by the key pair of keySpec.
    virtual Status SignatureSize(DWORD keySpec, DWORD& size) = 0;
    // SignHash: signs the hash with the container's key pair of keySpec.
    virtual Status SignHash(Hash& hash, DWORD keySpec, Bytes& signature) = 0;
};

class Provider {
public:
    virtual ~Provider() = default;
    virtual const std::u16string& Name() const = 0;
    // LongName: another name the provider answers to when acquired (a token
    // listed by its label is also acquired by its label and serial).
    virtual const std::u16string& LongName() const { return Name(); }
    virtual DWORD Type() const = 0;
    // Acquire: container is empty for the default container; flags are those
    // of CryptAcquireContextW. CRYPT_DELETEKEYSET (and the SM2 token's delete
    // flags) succeed with no context.
    virtual Status Acquire(const std::u16string& container, DWORD flags,
                           std::unique_ptr<Context>& context) = 0;
};

// ProviderScan: whether listing the providers looks for tokens again.
enum class ProviderScan {
    Known,   // the built-in providers and the tokens present at the last look
    Refresh, // the slots of every PKCS#11 module are read again
};

// Providers: the table, in the order CryptEnumProvidersW lists it: the
// built-in providers, then the PKCS#11 tokens present. A provider object
// lives for the process (a token that went away keeps its own, whose
// operations then fail), so pointers to it stay valid.
std::vector<Provider*> Providers(ProviderScan scan);

// The providers themselves (soft_rsa.cpp, token_sm2.cpp, token_rsa.cpp,
// pkcs11/token_provider.cpp).
std::vector<Provider*> SoftRsaProviders();
std::vector<Provider*> TokenProviders();
std::vector<Provider*> Pkcs11Providers(ProviderScan scan);

} // namespace orvane::platform::csp
