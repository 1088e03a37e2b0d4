// Signatures made inside a provider, and the signature values that requests
// and signed messages carry. The key never leaves its provider: the data is
// hashed there and the hash signed with the container's signature or exchange
// pair (AT_SIGNATURE or AT_KEYEXCHANGE).
//
// The helpers trace nothing themselves: a failure names its step in
// FailedStep, and the operation that called the helper traces it as its own
// step, under its own module and name.
#pragma once
#include "der/Der.h"
#include "foundation/Types.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

namespace orvane::signatures {

// The halves of an SM2 signature, r then s, each 32 bytes.
inline constexpr DWORD kSm2HalfSize = 32;
inline constexpr DWORD kSm2RawSignatureSize = 2 * kSm2HalfSize;

// SignatureLayout: how a provider hands out a signature, least significant
// byte first either way.
enum class SignatureLayout {
    kRsa, // one number of the key's length, into a buffer of the size asked for
    // r then s; SM2 providers write into a buffer of at least 16384 bytes,
    // whatever size they answered when asked.
    kSm2Halves,
};

// FailedStep: the step that failed and the condition, for the caller's trace.
struct FailedStep {
    const char* pszStep = "";
    const char* pszReason = "";
};

// SignProviderHash: signs the hash in hHash with the key of dwKeySpec and
// hands out the signature most significant byte first: RSA as one number, SM2
// as r then s (a signature shorter than 64 bytes is handed out as the
// provider wrote it). Returns 0, the failed call's last error as a result
// code, or E_OUTOFMEMORY; `signature` is set only on success.
[[nodiscard]] HRESULT SignProviderHash(HCRYPTHASH hHash, DWORD dwKeySpec, SignatureLayout layout,
                                       std::vector<BYTE>& signature, FailedStep& failed);

// HashAndSignInProvider: hashes `data` in hProv with algHash, fed in pieces of
// 16384 bytes, then SignProviderHash. Codes as there.
[[nodiscard]] HRESULT HashAndSignInProvider(HCRYPTPROV hProv, DWORD dwKeySpec, ALG_ID algHash,
                                            SignatureLayout layout, der::Bytes data,
                                            std::vector<BYTE>& signature, FailedStep& failed);

// WriteSm2Signature: r || s (64 bytes, each half most significant byte first)
// as
//   SM2Signature ::= SEQUENCE { r INTEGER, s INTEGER }
// with minimal DER INTEGERs: a zero octet in front where the top bit is set,
// redundant leading zeros dropped. (Keeping every half at 32 or 33 octets
// would give a non-minimal INTEGER about once in 256 signatures, which DER
// verifiers refuse.) Any other size is HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
// and `w` fails with it.
[[nodiscard]] HRESULT WriteSm2Signature(der::DerWriter& w, der::Bytes rs);

} // namespace orvane::signatures
