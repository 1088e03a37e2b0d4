// Providers by name and by kind: what the system passes to the vendor CSPs of
// SM2 tokens beyond the ordinary CryptoAPI values, the rules that tell the
// operating system's software providers from vendor ones, and the key
// algorithm a page chooses. Every use of these values and rules goes through
// this header.
#pragma once
#include "foundation/Types.h"
#include "sdk/orvane/vendor_sm2.h"

#include <wincrypt.h>

#include <string_view>

// ---- SM2 vendor interface ------------------------------------------------------------

// Algorithm identifiers of SM2 providers: passed to CryptGenKey where RSA
// providers take the key specs AT_KEYEXCHANGE (1) and AT_SIGNATURE (2), and in
// the enveloped-key blobs; SM3 is their hash for CryptCreateHash. The values
// are the ones the stand-in's SM2 token honours (sdk/orvane/vendor_sm2.h).
inline constexpr ALG_ID kAlgSM2KeyExchange = ORVANE_CALG_SM2_KEYX;
inline constexpr ALG_ID kAlgSM2Signature = ORVANE_CALG_SM2_SIGN;
inline constexpr ALG_ID kAlgSM3 = ORVANE_CALG_SM3;

// CryptAcquireContextW flags of SM2 providers: open an existing container, and
// delete one (in place of CRYPT_DELETEKEYSET).
inline constexpr DWORD kSM2AccessFlags = ORVANE_SM2_ACCESS_EXISTING;
inline constexpr DWORD kSM2DeleteFlags = ORVANE_SM2_DELETE_CONTAINER;

// ---- provider-name rules ---------------------------------------------------------------

// A provider whose name contains this text (case-sensitive, anywhere) is one of
// the operating system's software providers; every other provider is a vendor
// CSP. Key lengths, certificate installation and key formats depend on it.
inline constexpr WCHAR kMicrosoftProviderMark[] = TEXT("Microsoft");

// The one software provider of type PROV_RSA_AES (24); the others are
// PROV_RSA_FULL (1), and so are the vendor CSPs.
inline constexpr WCHAR kAesProviderName[] =
    TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");

// The beginning of kAesProviderName that the encryption-key import matches
// (see ProviderTypeForEnvelopeImport).
inline constexpr WCHAR kAesProviderPrefix[] = TEXT("Microsoft Enhanced RSA and AES");

namespace vendor_csp_detail {
inline bool Contains(std::basic_string_view<WCHAR> text, const WCHAR* pwszPart) {
    return text.find(pwszPart) != std::basic_string_view<WCHAR>::npos;
}
inline std::basic_string_view<WCHAR> View(const WCHAR* pwsz) {
    return pwsz != nullptr ? std::basic_string_view<WCHAR>(pwsz) : std::basic_string_view<WCHAR>();
}
} // namespace vendor_csp_detail

// IsMicrosoftCSP: whether the provider name contains "Microsoft" (a null name
// does not).
inline bool IsMicrosoftCSP(std::basic_string_view<WCHAR> wsvName) {
    return vendor_csp_detail::Contains(wsvName, kMicrosoftProviderMark);
}
inline bool IsMicrosoftCSP(const WCHAR* pwszName) {
    return IsMicrosoftCSP(vendor_csp_detail::View(pwszName));
}

// ProviderTypeForName: PROV_RSA_AES (24) when the name contains the whole name
// of the AES provider, PROV_RSA_FULL (1) for every other name, a null one
// included. Key generation, the signing-certificate import and the store's
// key link use it.
inline DWORD ProviderTypeForName(std::basic_string_view<WCHAR> wsvName) {
    return vendor_csp_detail::Contains(wsvName, kAesProviderName) ? PROV_RSA_AES : PROV_RSA_FULL;
}
inline DWORD ProviderTypeForName(const WCHAR* pwszName) {
    return ProviderTypeForName(vendor_csp_detail::View(pwszName));
}

// ProviderTypeForEnvelopeImport: the second rule, used only where the
// encryption key's envelope is opened with the request's temporary key. It
// matches the shorter kAesProviderPrefix, so a name that merely starts like
// the AES provider's also opens as type 24 there. Issuers' pages have always
// met this rule at that step; it stays apart from ProviderTypeForName on
// purpose, and the two agree on every provider installed by the system.
inline DWORD ProviderTypeForEnvelopeImport(std::basic_string_view<WCHAR> wsvName) {
    return vendor_csp_detail::Contains(wsvName, kAesProviderPrefix) ? PROV_RSA_AES : PROV_RSA_FULL;
}

// ---- key algorithm ---------------------------------------------------------------------

// KeyAlgorithm: the kind of key pair a page asks for; Unset until a page has
// chosen one. (No enumerator is called RSA or None: OpenSSL and X11 headers
// take those names.)
enum class KeyAlgorithm { Unset, Rsa, Sm2 };

// ParseKeyAlgorithm: Rsa for "RSA" and Sm2 for "SM2", compared folding ASCII
// letters only (so the answer does not depend on the user's locale); Unset for
// every other text. The caller trims it first.
inline KeyAlgorithm ParseKeyAlgorithm(std::basic_string_view<WCHAR> wsvText) {
    auto equalsNoCase = [wsvText](const char* pszAscii) {
        size_t i = 0;
        for (; pszAscii[i] != 0; ++i) {
            if (i >= wsvText.size())
                return false;
            WCHAR wch = wsvText[i];
            if (wch >= WCHAR('a') && wch <= WCHAR('z'))
                wch = WCHAR(wch - WCHAR('a') + WCHAR('A'));
            if (wch != WCHAR(pszAscii[i]))
                return false;
        }
        return i == wsvText.size();
    };
    if (equalsNoCase("RSA"))
        return KeyAlgorithm::Rsa;
    if (equalsNoCase("SM2"))
        return KeyAlgorithm::Sm2;
    return KeyAlgorithm::Unset;
}

// KeyAlgorithmName: "RSA", "SM2", or an empty text for Unset (for traces).
inline const WCHAR* KeyAlgorithmName(KeyAlgorithm eAlgorithm) {
    switch (eAlgorithm) {
    case KeyAlgorithm::Rsa:
        return TEXT("RSA");
    case KeyAlgorithm::Sm2:
        return TEXT("SM2");
    case KeyAlgorithm::Unset:
        break;
    }
    return TEXT("");
}
