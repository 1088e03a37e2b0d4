// Key side of the certification request: key pairs in the provider the page
// chose, and the whole request for the four variants (RSA or SM2; type 1 one
// key pair, type 2 a signing pair plus a temporary key-exchange pair that the
// issuer envelopes the encryption key to). Results are owning values, set
// only on success; what differs between RSA and SM2 is the key family's
// (certificates/KeyFamily.h), chosen once from the page's key algorithm.
#pragma once
#include "certificates/KeyFamily.h"
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "certificates/VendorCsp.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

// CreatePublicKey: generates a key pair of dwKeySpec (1 key exchange, 2
// signature; the family names the algorithm its providers want) with
// dwKeyLength bits in pwszContainer, or in a new container named by a fresh
// GUID text when pwszContainer is null or empty. `provider` is reused when it
// is already open, else the provider is acquired (with CRYPT_NEWKEYSET when
// bNewContainer) into it; a handle acquired here is released again on
// failure. The public key comes back as the family exported it (RSA: the key
// bits of the public-key info; SM2: the provider's 140-byte blob) in
// `publicKey`. With bNewContainer the container name is handed back in
// *pwstrNewContainer (may be null when not wanted). A failure after a new
// container was made deletes that container again.
[[nodiscard]] HRESULT CreatePublicKey(const WCHAR* pwszContainer, WString* pwstrNewContainer,
                                      std::vector<BYTE>& publicKey, DWORD dwKeyLength,
                                      const WCHAR* pwszProvider,
                                      const orvane::keys::KeyFamily& family, DWORD dwKeySpec,
                                      BOOL bNewContainer, UniqueProvider& provider,
                                      DWORD dwGenFlags);

// PKCS10CertRequisition: generates the key pair(s) of a type 1 or type 2
// request in pwszProvider and returns the Base64 PKCS #10 request (lines of 64
// characters joined by CR LF) and the name of the container that now holds
// the keys. dwKeySpec is 1 for type 1 and 2 for type 2; eAlgorithm chooses the
// family (Unset counts as RSA). The container stays in the provider once its
// keys exist, also when encoding fails afterwards.
[[nodiscard]] HRESULT PKCS10CertRequisition(std::string& request, WString& container,
                                            const WCHAR* pwszProvider, const WCHAR* pwszSubjectDN,
                                            DWORD dwCertType, DWORD dwKeySpec,
                                            KeyAlgorithm eAlgorithm, DWORD dwKeyLength,
                                            DWORD dwGenFlags);
