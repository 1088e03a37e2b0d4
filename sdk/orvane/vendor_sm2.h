// The numbers of the SM2 vendor CSP interface, beyond the ordinary CryptoAPI
// values: the stand-in's SM2 token honours them and the system code passes
// them, so both take them from here and cannot drift apart. Unlike the rest
// of this folder the header is not the SDK's and holds nothing of the
// stand-in: the system code includes it by its path from the repository root
// on both targets (over the real <wincrypt.h> on Windows), the stand-in as
// <orvane/vendor_sm2.h>.
#pragma once
#include <wincrypt.h>

// Algorithm identifiers: the SM2 key pairs, passed to CryptGenKey where RSA
// providers take AT_KEYEXCHANGE and AT_SIGNATURE, and named in the
// enveloped-key blobs; SM3, the tokens' hash for CryptCreateHash.
#define ORVANE_CALG_SM2_KEYX ((ALG_ID)0xBE00)
#define ORVANE_CALG_SM2_SIGN ((ALG_ID)0x3E00)
#define ORVANE_CALG_SM3 ((ALG_ID)0x800F)

// CryptAcquireContextW flags: open an existing container, and delete one (in
// place of CRYPT_DELETEKEYSET).
#define ORVANE_SM2_ACCESS_EXISTING ((DWORD)0xF0000000u)
#define ORVANE_SM2_DELETE_CONTAINER ((DWORD)0xFFFF0002u)
