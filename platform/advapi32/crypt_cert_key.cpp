// CryptAcquireCertificatePrivateKey (crypt32's, kept beside the provider entry
// points it is made of): follows a certificate's link to its key container.
#include <windows.h>
#include <wincrypt.h>

#include "crypt32/key_link.h"

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <vector>

namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The handles CRYPT_ACQUIRE_CACHE_FLAG shares: one per container, provider,
// type and key spec (exchange or signature), kept until the process ends.
using CacheKey = std::tuple<std::u16string, std::u16string, DWORD, DWORD>;
std::mutex& CacheLock() {
    static std::mutex lock;
    return lock;
}
std::map<CacheKey, HCRYPTPROV>& Cache() {
    static auto* cache = new std::map<CacheKey, HCRYPTPROV>; // never destroyed: see above
    return *cache;
}

// SameKey: the container's public key is the certificate's.
bool SameKey(HCRYPTPROV prov, DWORD keySpec, const CERT_PUBLIC_KEY_INFO& want, DWORD& error) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(prov, keySpec, X509_ASN_ENCODING, nullptr, &size)) {
        error = GetLastError();
        return false;
    }
    std::vector<BYTE> block(size);
    auto* have = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(block.data());
    if (!CryptExportPublicKeyInfo(prov, keySpec, X509_ASN_ENCODING, have, &size)) {
        error = GetLastError();
        return false;
    }
    error = static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    return std::strcmp(have->Algorithm.pszObjId, want.Algorithm.pszObjId) == 0 &&
           have->PublicKey.cbData == want.PublicKey.cbData &&
           std::memcmp(have->PublicKey.pbData, want.PublicKey.pbData, want.PublicKey.cbData) == 0;
}

} // namespace

extern "C" BOOL WINAPI CryptAcquireCertificatePrivateKey(
    const struct _CERT_CONTEXT* pCert, DWORD dwFlags, void* /*pvParameters*/,
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
    BOOL* pfCallerFreeProvOrNCryptKey) {
    try {
        if (pCert == nullptr || phCryptProvOrNCryptKey == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        std::vector<BYTE> block;
        if (!orvane::crypt32::KeyProvInfoForAcquire(pCert, dwFlags, block))
            return Fail(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
        const std::u16string container =
            info->pwszContainerName != nullptr ? info->pwszContainerName : u"";
        const std::u16string provider = info->pwszProvName != nullptr ? info->pwszProvName : u"";
        const DWORD acquireFlags = (info->dwFlags & CRYPT_MACHINE_KEYSET) |
                                   ((dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) ? CRYPT_SILENT : 0);
        const CacheKey key{container, provider, info->dwProvType, info->dwKeySpec};
        const bool cache = (dwFlags & CRYPT_ACQUIRE_CACHE_FLAG) != 0;

        HCRYPTPROV prov = 0;
        if (cache) {
            std::lock_guard<std::mutex> hold(CacheLock());
            if (auto it = Cache().find(key); it != Cache().end())
                prov = it->second;
        }
        bool fresh = false;
        if (prov == 0) {
            if (!CryptAcquireContextW(&prov, container.c_str(),
                                      provider.empty() ? nullptr : provider.c_str(),
                                      info->dwProvType, acquireFlags))
                return FALSE; // the provider's error stands
            fresh = true;
        }
        // Only the compare flag looks at the key pair itself; without it a
        // missing pair shows when the handle is used.
        DWORD error = 0;
        bool ok = true;
        if ((dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) != 0)
            ok = SameKey(prov, info->dwKeySpec, pCert->pCertInfo->SubjectPublicKeyInfo, error);
        if (!ok) {
            if (fresh)
                CryptReleaseContext(prov, 0);
            return Fail(error);
        }
        if (cache && fresh) {
            std::lock_guard<std::mutex> hold(CacheLock());
            auto [it, inserted] = Cache().emplace(key, prov);
            if (!inserted) { // another thread was first: use its handle
                CryptReleaseContext(prov, 0);
                prov = it->second;
            }
        }
        *phCryptProvOrNCryptKey = prov;
        if (pdwKeySpec != nullptr)
            *pdwKeySpec = info->dwKeySpec;
        if (pfCallerFreeProvOrNCryptKey != nullptr)
            *pfCallerFreeProvOrNCryptKey = cache ? FALSE : TRUE;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (const std::bad_alloc&) {
        return Fail(static_cast<DWORD>(NTE_NO_MEMORY));
    }
}
