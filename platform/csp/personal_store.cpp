#include "personal_store.h"

#include <memory>

namespace orvane::platform::csp {
namespace {

// Owner: a store or certificate handle released by the function it is made
// with when it goes out of scope.
template <class T> using Owner = std::unique_ptr<T, void (*)(T*)>;

void CloseStore(HCERTSTORE h) {
    CertCloseStore(h, 0);
}
void FreeCertificate(PCCERT_CONTEXT p) {
    CertFreeCertificateContext(p);
}
Owner<void> StoreOwner(HCERTSTORE h) {
    return {h, &CloseStore};
}
Owner<const CERT_CONTEXT> CertificateOwner(PCCERT_CONTEXT p) {
    return {p, &FreeCertificate};
}

Owner<void> OpenPersonalStore() {
    return StoreOwner(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY"));
}

// LinkedTo: whether the certificate's key-provider link names the provider's
// container.
bool LinkedTo(PCCERT_CONTEXT cert, const std::u16string& provider,
              const std::u16string& container) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) ||
        size < sizeof(CRYPT_KEY_PROV_INFO))
        return false;
    std::vector<BYTE> block(size);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &size))
        return false;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
    return info->pwszProvName != nullptr && info->pwszContainerName != nullptr &&
           std::u16string(info->pwszProvName) == provider &&
           std::u16string(info->pwszContainerName) == container;
}

} // namespace

Status RegisterInPersonalStore(const std::u16string& provider, const std::u16string& container,
                               DWORD keySpec, std::span<const BYTE> encoded) {
    Owner<const CERT_CONTEXT> cert = CertificateOwner(CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded.data(), DWORD(encoded.size())));
    if (!cert)
        return GetLastError();
    std::u16string containerName = container;
    std::u16string providerName = provider;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = containerName.data();
    info.pwszProvName = providerName.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = keySpec;
    if (!CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
        return GetLastError();
    Owner<void> store = OpenPersonalStore();
    if (!store || !CertAddCertificateContextToStore(store.get(), cert.get(),
                                                    CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        return GetLastError();
    return 0;
}

void UnregisterFromPersonalStore(const std::u16string& provider, const std::u16string& container) {
    Owner<void> store = OpenPersonalStore();
    if (!store)
        return;
    std::vector<Owner<const CERT_CONTEXT>> linked;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store.get(), c))
        if (LinkedTo(c, provider, container))
            linked.push_back(CertificateOwner(CertDuplicateCertificateContext(c)));
    for (Owner<const CERT_CONTEXT>& cert : linked)
        if (cert)
            CertDeleteCertificateFromStore(cert.release()); // frees the context too
}

} // namespace orvane::platform::csp
