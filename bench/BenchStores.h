// The certificate store the store benchmarks fill and read. Include it after
// any OpenSSL header: wincrypt.h defines names that OpenSSL's PKCS #7 uses.
#pragma once

#include <windows.h>
#include <wincrypt.h>

namespace orvane::bench {

// OpenMy: the current user's personal store ("MY") of the run's hives, or null.
inline HCERTSTORE OpenMy() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                         TEXT("MY"));
}

} // namespace orvane::bench
