// The key link CryptAcquireCertificatePrivateKey follows (see key_link.cpp).
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <vector>

namespace orvane::crypt32 {

// KeyProvInfoForAcquire: the certificate's key-provider property as one block
// (a CRYPT_KEY_PROV_INFO and what it points to). Without one, unless
// acquireFlags holds CRYPT_ACQUIRE_NO_HEALING, the link of a certificate with
// the same public key in the current user's "MY" store, which is then set on
// the certificate. False when there is neither.
bool KeyProvInfoForAcquire(PCCERT_CONTEXT cert, DWORD acquireFlags, std::vector<BYTE>& block);

} // namespace orvane::crypt32
