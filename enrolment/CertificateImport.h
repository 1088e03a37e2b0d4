// Installing what the issuer answered: the signing certificate bound to the
// request's key pair, and the enveloped encryption key pair with its
// certificate. Texts are the trimmed page texts; commas inside Base64 texts
// are ignored (the routines remove them from the strings they are given).
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "certificates/VendorCsp.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

// ImportSignCert: binds the Base64 certificate to the key of dwKeySpec in the
// container: "Microsoft" providers get it in the user's "MY" store with a key
// provider link (AddCertificateToSystemStore), every other provider keeps it
// with the key (KP_CERTIFICATE). KeyAlgorithm::Rsa opens the container as an
// RSA one; every other value, Unset included, with the SM2 providers' access
// flags. While information tracing is on, a copy of the certificate is left
// in the temporary folder for whoever reads the trace (its path is traced).
[[nodiscard]] HRESULT ImportSignCert(KeyAlgorithm eKeyAlgorithm, WString& wstrCert, DWORD dwKeySpec,
                                     const WString& wstrCSPName, const WString& wstrContainer);

// ImportEncryptCertEx: installs the enveloped encryption key pair as the key
// exchange key of the request's container and binds its certificate; chooses
// the envelope format from the key algorithm, provider and key length.
// dwFlags goes unchanged to CryptImportKey (1: the key may be exported).
// E_INVALIDARG when a text is empty or no key algorithm was chosen (Unset).
[[nodiscard]] HRESULT ImportEncryptCertEx(const WString& wstrCSPName, const WString& wstrContainer,
                                          KeyAlgorithm eKeyAlgorithm,
                                          WString& wstrEncryptedPrivateKey, WString& wstrCert,
                                          int nKeyLength, DWORD dwFlags);

// EraseCommaInWstr: removes every comma from wstrText in place; the other
// characters keep their order.
void EraseCommaInWstr(WString& wstrText);

// DecodeBase64Key: the bytes of a Base64 wide text (converted to UTF-8, then
// decoded; characters outside the alphabet are skipped) in `key`. Returns 0,
// or the code of the converter or the decoder (E_FAIL for an empty text), or
// VURO_E_BASE64_DECODE when no byte comes out; `key` is left alone then.
[[nodiscard]] HRESULT DecodeBase64Key(const WString& wstrText, std::vector<BYTE>& key);
