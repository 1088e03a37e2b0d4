// Key side of the certification request: key pairs in the provider the page
// chose, and the whole request for the four variants (RSA or SM2; type 1 one
// key pair, type 2 a signing pair plus a temporary key-exchange pair that the
// issuer envelopes the encryption key to). Buffers handed out are new[] arrays
// the caller frees with delete[]; out parameters are set only on success.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "certificates/VendorCsp.h"

#include <windows.h>
#include <wincrypt.h>

// CreatePublicKey: generates a key pair of dwKeySpec (1 key exchange, 2
// signature; SM2 providers get kAlgSM2KeyExchange / kAlgSM2Signature instead)
// with dwKeyLength bits
// in pwszContainer, or in a new container named by a fresh GUID text when
// pwszContainer is null or empty. *phProv is reused when it is already open
// (and stays the caller's), else the provider is acquired (with CRYPT_NEWKEYSET
// when bNewContainer) and handed to the caller on success; a handle acquired
// here is released again on failure and *phProv left 0.
// The public key comes back as the key bits of the exported public-key info
// (RSA) or the provider's 140-byte public-key blob (SM2), in *ppbPublicKey /
// *pcbPublicKey. With bNewContainer the container name is handed back as a
// new[] copy in *ppwszNewContainer (may be null when not wanted). A failure
// after a new container was made deletes that container again.
HRESULT CreatePublicKey(const WCHAR* pwszContainer, WCHAR** ppwszNewContainer, BYTE** ppbPublicKey,
                        DWORD dwKeyLength, const WCHAR* pwszProvider, BOOL bRSA, DWORD dwKeySpec,
                        BOOL bNewContainer, HCRYPTPROV* phProv, DWORD* pcbPublicKey,
                        DWORD dwGenFlags);

// PKCS10CertRequisition: generates the key pair(s) of a type 1 or type 2
// request in pwszProvider and returns the Base64 PKCS #10 request (lines of 64
// characters joined by CR LF, NUL-terminated, new[] char array) and the name
// of the container that now holds the keys (new[] WCHAR array). dwKeySpec is 1
// for type 1 and 2 for type 2. The container stays in the provider once its
// keys exist, also when encoding fails afterwards.
HRESULT PKCS10CertRequisition(char** ppszRequest, WCHAR** ppwszContainer, const WCHAR* pwszProvider,
                              const WCHAR* pwszSubjectDN, DWORD dwCertType, DWORD dwKeySpec,
                              BOOL bRSA, DWORD dwKeyLength, DWORD dwGenFlags);
