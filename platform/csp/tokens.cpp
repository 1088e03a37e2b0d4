// The stand-in vendor tokens, listed after the software providers.
#include "provider.h"

namespace orvane::platform::csp {

Provider* Sm2TokenProvider();
Provider* RsaTokenProviderInstance();

std::vector<Provider*> TokenProviders() {
    return {Sm2TokenProvider(), RsaTokenProviderInstance()};
}

} // namespace orvane::platform::csp
