// A key pair in a container of a software RSA provider (or a token), with the
// certificate the test made for it; the container is deleted with the signer.
// Shared by the POSIX and the Wine runs of the signed-message tests.
#pragma once

#include "foundation/Handles.h"
#include "tests/support/TestSupport.h"

#include <vector>

namespace orvane::tests {

inline constexpr WCHAR kAesProvider[] =
    TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");

inline DWORD ProviderType(const WCHAR* provider) {
    return WString(provider) == kAesProvider ? PROV_RSA_AES : PROV_RSA_FULL;
}

struct CspSigner {
    WString provider, container;
    DWORD keySpec = 0;
    UniqueCertContext cert;

    CspSigner() = default;
    CspSigner(const CspSigner&) = delete;
    CspSigner& operator=(const CspSigner&) = delete;
    ~CspSigner() {
        HCRYPTPROV none = 0;
        CryptAcquireContextW(&none, container.c_str(), provider.c_str(),
                             ProviderType(provider.c_str()), CRYPT_DELETEKEYSET);
    }

    // The provider's own SHA-1 signature of content, as it hands it out
    // (least significant byte first); empty when the provider refuses.
    std::vector<BYTE> CspSignature(const std::vector<BYTE>& content) const {
        std::vector<BYTE> sig;
        UniqueProvider prov;
        UniqueHash hash;
        DWORD cb = 0;
        if (!CryptAcquireContextW(prov.put(), container.c_str(), provider.c_str(),
                                  ProviderType(provider.c_str()), 0) ||
            !CryptCreateHash(prov.get(), CALG_SHA1, 0, 0, hash.put()) ||
            !CryptHashData(hash.get(), content.data(), DWORD(content.size()), 0) ||
            !CryptSignHashW(hash.get(), keySpec, nullptr, 0, nullptr, &cb))
            return sig;
        sig.resize(cb);
        if (!CryptSignHashW(hash.get(), keySpec, nullptr, 0, sig.data(), &cb))
            sig.clear();
        return sig;
    }
};

} // namespace orvane::tests
