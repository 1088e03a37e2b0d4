// A token's certificates in the current user's "MY" store, as vendors' token
// middleware registers them on Windows: each with the key-provider link (the
// provider, the container, PROV_RSA_FULL, the key pair), so that programs find
// the key through the store certificate.
#pragma once
#include "provider.h"

namespace orvane::platform::csp {

// RegisterInPersonalStore: the certificate of the container's key pair keySpec
// into "MY", linked to the key; an entry for the same certificate is replaced.
Status RegisterInPersonalStore(const std::u16string& provider, const std::u16string& container,
                               DWORD keySpec, std::span<const BYTE> encoded);

// UnregisterFromPersonalStore: removes the "MY" entries linked to the
// provider's container. A store that cannot be opened or changed leaves them
// (the container is gone all the same; their link then leads nowhere).
void UnregisterFromPersonalStore(const std::u16string& provider, const std::u16string& container);

} // namespace orvane::platform::csp
