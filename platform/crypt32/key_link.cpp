// The key link of a certificate that lacks its own: Windows remembers which
// container holds the private key of a public key (the key identifier's
// provider information, written when a certificate in a store is linked to
// its key) and restores a certificate's key-provider property from it, so a
// fresh context of a certificate already linked in the personal store reaches
// the key too. The stand-in keeps no separate key identifier table: the
// links it knows are those of the current user's "MY" store, found here by
// the public key.
#include "crypt32/key_link.h"

#include <cstring>

namespace orvane::crypt32 {
namespace {

bool SamePublicKey(const CERT_PUBLIC_KEY_INFO& a, const CERT_PUBLIC_KEY_INFO& b) {
    return a.Algorithm.pszObjId != nullptr && b.Algorithm.pszObjId != nullptr &&
           std::strcmp(a.Algorithm.pszObjId, b.Algorithm.pszObjId) == 0 &&
           a.PublicKey.cbData == b.PublicKey.cbData &&
           std::memcmp(a.PublicKey.pbData, b.PublicKey.pbData, a.PublicKey.cbData) == 0;
}

bool ReadProperty(PCCERT_CONTEXT cert, std::vector<BYTE>& block) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        return false;
    block.assign(size, 0);
    return CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, block.data(),
                                             &size) != FALSE;
}

// The key-provider block of a certificate in the user's "MY" store with the
// same public key; false when there is none.
bool FindInPersonalStore(PCCERT_CONTEXT cert, std::vector<BYTE>& block) {
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
    if (store == nullptr)
        return false;
    bool found = false;
    PCCERT_CONTEXT other = nullptr;
    while (!found && (other = CertEnumCertificatesInStore(store, other)) != nullptr) {
        if (SamePublicKey(other->pCertInfo->SubjectPublicKeyInfo,
                          cert->pCertInfo->SubjectPublicKeyInfo))
            found = ReadProperty(other, block);
    }
    if (other != nullptr)
        CertFreeCertificateContext(other);
    CertCloseStore(store, 0);
    return found;
}

} // namespace

bool KeyProvInfoForAcquire(PCCERT_CONTEXT cert, DWORD acquireFlags, std::vector<BYTE>& block) {
    if (ReadProperty(cert, block))
        return true;
    if ((acquireFlags & CRYPT_ACQUIRE_NO_HEALING) != 0 || !FindInPersonalStore(cert, block))
        return false;
    // Restored on the context, as Windows does; a context of no store keeps it
    // in memory only.
    CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID,
                                      CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG, block.data());
    return true;
}

} // namespace orvane::crypt32
