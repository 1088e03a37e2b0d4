#include "certificates/Signatures.h"

#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"

#include <algorithm>
#include <new>

namespace orvane::signatures {

namespace {

// Hash input goes to the provider in pieces of this size; SM2 providers also
// get a signature buffer of at least this size.
constexpr DWORD kChunk = 16384;

HRESULT Failed(FailedStep& failed, const char* pszStep, const char* pszReason, HRESULT hr) {
    failed.pszStep = pszStep;
    failed.pszReason = pszReason;
    return hr;
}

} // namespace

HRESULT SignProviderHash(HCRYPTHASH hHash, DWORD dwKeySpec, SignatureLayout layout,
                         std::vector<BYTE>& signature, FailedStep& failed) {
    DWORD cbSignature = 0;
    if (!CryptSignHashW(hHash, dwKeySpec, nullptr, 0, nullptr, &cbSignature))
        return Failed(failed, "CryptSignHash", "bRetCode == FALSE", FailureFromLastError());
    if (layout == SignatureLayout::kSm2Halves)
        cbSignature = std::max(cbSignature, kChunk);
    try {
        std::vector<BYTE> value(cbSignature);
        if (!CryptSignHashW(hHash, dwKeySpec, nullptr, 0, value.data(), &cbSignature))
            return Failed(failed, "CryptSignHash", "bRetCode == FALSE", FailureFromLastError());
        value.resize(std::min<size_t>(cbSignature, value.size()));
        // Providers answer least significant byte first: RSA as one number,
        // SM2 as r then s.
        if (layout == SignatureLayout::kRsa) {
            std::reverse(value.begin(), value.end());
        } else if (value.size() >= kSm2RawSignatureSize) {
            std::reverse(value.begin(), value.begin() + kSm2HalfSize);
            std::reverse(value.begin() + kSm2HalfSize, value.begin() + kSm2RawSignatureSize);
        }
        signature = std::move(value);
        return 0;
    } catch (const std::bad_alloc&) {
        return Failed(failed, "New buffer", "!pbSignature", E_OUTOFMEMORY);
    }
}

HRESULT HashAndSignInProvider(HCRYPTPROV hProv, DWORD dwKeySpec, ALG_ID algHash,
                              SignatureLayout layout, der::Bytes data, std::vector<BYTE>& signature,
                              FailedStep& failed) {
    UniqueHash hash;
    if (!CryptCreateHash(hProv, algHash, 0, 0, hash.put()))
        return Failed(failed, "CryptCreateHash", "bRetCode == FALSE", FailureFromLastError());
    for (der::Bytes rest = data; !rest.empty();) {
        const der::Bytes piece = rest.first(std::min<size_t>(kChunk, rest.size()));
        if (!CryptHashData(hash.get(), piece.data(), DWORD(piece.size()), 0))
            return Failed(failed, "CryptHashData", "bRetCode == FALSE", FailureFromLastError());
        rest = rest.subspan(piece.size());
    }
    return SignProviderHash(hash.get(), dwKeySpec, layout, signature, failed);
}

HRESULT WriteSm2Signature(der::DerWriter& w, der::Bytes rs) {
    if (rs.size() != kSm2RawSignatureSize) {
        const HRESULT hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        w.Fail(DWORD(hr));
        return hr;
    }
    // SM2Signature ::= SEQUENCE { r INTEGER, s INTEGER }
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& seq) {
        der::WriteUnsignedInteger(seq, rs.first(kSm2HalfSize));
        der::WriteUnsignedInteger(seq, rs.subspan(kSm2HalfSize));
    });
    return HRESULT(w.Error());
}

} // namespace orvane::signatures
