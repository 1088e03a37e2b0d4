// The current user's "MY" store as the system writes to it: certificates are
// added there with the link to their private key, by enrolment (signing and
// encryption certificates of the operating system's software providers) and
// by whatever else installs a certificate beside a key.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

// AddCertificateToSystemStore: adds the encoded certificate to the current
// user's "MY" store, replacing an equal one, and links it to the key of
// dwKeySpec in wstrContainer of wstrProviderName (provider type by
// ProviderTypeForName: 24 for the "Microsoft Enhanced RSA and AES
// Cryptographic Provider", else 1). hProv is the caller's and stays open.
// Returns 0 or the failing call's code; a certificate already added stays when
// the link cannot be set.
[[nodiscard]] HRESULT AddCertificateToSystemStore(const WString& wstrProviderName, HCRYPTPROV hProv,
                                                  const BYTE* pbCert, DWORD cbCert, DWORD dwKeySpec,
                                                  const WString& wstrContainer);
