// The provider table: the software RSA providers first, then the built-in
// tokens, then the PKCS#11 tokens present.
#include "provider.h"

namespace orvane::platform::csp {

std::vector<Provider*> Providers(ProviderScan scan) {
    static const std::vector<Provider*> builtIn = [] {
        std::vector<Provider*> all = SoftRsaProviders();
        for (Provider* p : TokenProviders())
            all.push_back(p);
        return all;
    }();
    std::vector<Provider*> all = builtIn;
    for (Provider* p : Pkcs11Providers(scan))
        all.push_back(p);
    return all;
}

} // namespace orvane::platform::csp
