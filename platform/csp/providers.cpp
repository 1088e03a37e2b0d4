// The provider table: the software RSA providers first, then the tokens.
#include "provider.h"

namespace orvane::platform::csp {

const std::vector<Provider*>& Providers() {
    static const std::vector<Provider*> table = [] {
        std::vector<Provider*> all = SoftRsaProviders();
        for (Provider* p : TokenProviders())
            all.push_back(p);
        return all;
    }();
    return table;
}

} // namespace orvane::platform::csp
