#include "signing/RsaPkcs7.h"

#include "certificates/Names.h"
#include "certificates/Signatures.h"
#include "certificates/CspQueries.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <memory>
#include <new>

#define TRACE_MODULE "RsaPkcs7"

namespace der = orvane::der;

namespace {

// The CSP handle behind a certificate's private key. The handle is released
// only when the system says the caller owns it: a handle the certificate
// caches for itself stays with the certificate.
struct CertificateKey {
    UniqueProvider owned;
    HCRYPTPROV hProv = 0;
    DWORD dwKeySpec = 0;
};

HRESULT AcquireCertificateKey(const char* op, PCCERT_CONTEXT pCertContext, CertificateKey& key) {
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKey = 0;
    DWORD dwKeySpec = 0;
    BOOL bCallerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hKey, &dwKeySpec,
                                           &bCallerFree))
        return FAIL_LAST_ERROR(op, "CryptAcquireCertificatePrivateKey", "bRetCode == FALSE");
    key.hProv = HCRYPTPROV(hKey);
    if (bCallerFree)
        key.owned.reset(key.hProv);
    key.dwKeySpec = dwKeySpec;
    if (TraceIsEnabled(TRACE_FLAG_INFO)) {
        std::vector<BYTE> name;
        std::string strName;
        if (SUCCEEDED(GetProviderInfo(key.hProv, PP_NAME, &name)) &&
            ProviderParamText(name, &strName))
            TraceValueA("CSP", strName.c_str());
    }
    return VURO_OK;
}

// HashAndSign: SHA-1 in the certificate's CSP over what hashContent feeds
// the hash, signed with the certificate's key; the signature turned most
// significant byte first.
template <class HashContent>
HRESULT HashAndSign(const char* op, PCCERT_CONTEXT pCertContext, HashContent hashContent,
                    BYTE** ppbSignature, DWORD* pcbSignature) {
    CertificateKey key;
    if (HRESULT hResult = AcquireCertificateKey(op, pCertContext, key); FAILED(hResult))
        return hResult;
    UniqueHash hash;
    if (!CryptCreateHash(key.hProv, CALG_SHA1, 0, 0, hash.put()))
        return FAIL_LAST_ERROR(op, "CryptCreateHash", "bRetCode == FALSE");
    if (HRESULT hResult = hashContent(hash.get()); FAILED(hResult))
        return hResult;
    // The CSP gives the number least significant byte first; it comes back
    // turned for DER.
    std::vector<BYTE> signature;
    orvane::signatures::FailedStep failed;
    if (HRESULT hResult = orvane::signatures::SignProviderHash(
            hash.get(), key.dwKeySpec, orvane::signatures::SignatureLayout::kRsa, signature,
            failed);
        FAILED(hResult))
        return TRACE_FAIL(op, failed.pszStep, hResult, failed.pszReason);
    std::unique_ptr<BYTE[]> pbSignature(new (std::nothrow) BYTE[signature.size()]);
    if (!pbSignature)
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "NULL == pbSignature");
    std::copy(signature.begin(), signature.end(), pbSignature.get());
    const DWORD cbSignature = DWORD(signature.size());
    *ppbSignature = pbSignature.release();
    *pcbSignature = cbSignature;
    return VURO_OK;
}

// The SignerInfo of the layout at the top of RsaPkcs7.h. The serial number is
// written as the system's encoder writes an integer blob (no redundant sign
// octets), which for a DER certificate is its own serial's encoding.
HRESULT EncodeRsaSignerInfo(const PKCS7_ENCAPSULATE_PARAMS& params, std::vector<BYTE>& out) {
    const CERT_INFO* pInfo = params.pCertContext->pCertInfo;
    der::DerWriter w;
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& si) {
        der::WriteInt32(si, 1);
        si.Constructed(der::tag::kSequence, [&](der::DerWriter& ias) {
            ias.Raw({pInfo->Issuer.pbData, pInfo->Issuer.cbData});
            der::WriteLittleEndianInteger(ias,
                                          {pInfo->SerialNumber.pbData, pInfo->SerialNumber.cbData});
        });
        // A failure fails the writer too, which is checked once it is done.
        static_cast<void>(
            orvane::names::WriteSpecialAttribute(si, params.pszDigestAlgOID, nullptr, 0));
        static_cast<void>(
            orvane::names::WriteSpecialAttribute(si, params.pszSignatureAlgOID, nullptr, 0));
        si.Element(der::tag::kOctetString, {params.pbSignature, params.cbSignature});
    });
    if (w.Error() != 0)
        return HRESULT(w.Error());
    out = w.Take();
    return VURO_OK;
}

} // namespace

HRESULT GetAlgorithmIdentifiers(LPCSTR* ppszEncryptionAlgOID, LPCSTR* ppszDigestAlgOID) {
    if (ppszEncryptionAlgOID != nullptr)
        *ppszEncryptionAlgOID = kRsaPkcs7EncryptionOID;
    if (ppszDigestAlgOID != nullptr)
        *ppszDigestAlgOID = kRsaPkcs7DigestOID;
    return VURO_OK;
}

HRESULT CalculateHashandSign(PCCERT_CONTEXT pCertContext, const BYTE* pbContent, DWORD cbContent,
                             BYTE** ppbSignature, DWORD* pcbSignature) {
    TraceHelper trace(TEXT("CalculateHashandSign"));
    const char* const op = "CalculateHashandSign";
    if (ppbSignature == nullptr || pcbSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == ppbSignature");
    if (pCertContext == nullptr || (pbContent == nullptr && cbContent != 0))
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == pCertContext");
    static const BYTE kNothing = 0;
    return HashAndSign(
        op, pCertContext,
        [&](HCRYPTHASH hHash) -> HRESULT {
            if (!CryptHashData(hHash, cbContent != 0 ? pbContent : &kNothing, cbContent, 0))
                return FAIL_LAST_ERROR(op, "CryptHashData-CSP Once Hash", "bRetCode == FALSE");
            return VURO_OK;
        },
        ppbSignature, pcbSignature);
}

HRESULT CalculateFileHashandSign(PCCERT_CONTEXT pCertContext, HANDLE hFile, ULONGLONG cbMaxSize,
                                 BYTE** ppbSignature, DWORD* pcbSignature,
                                 SigningFileContent* pContent) {
    TraceHelper trace(TEXT("CalculateFileHashandSign"));
    const char* const op = "CalculateFileHashandSign";
    if (ppbSignature == nullptr || pcbSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == ppbSignature");
    if (pCertContext == nullptr || hFile == nullptr || hFile == INVALID_HANDLE_VALUE)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == pCertContext");
    return HashAndSign(
        op, pCertContext,
        [&](HCRYPTHASH hHash) { return HashFileForSigning(op, hHash, hFile, cbMaxSize, pContent); },
        ppbSignature, pcbSignature);
}

HRESULT EncapsulatePKCS7(const PKCS7_ENCAPSULATE_PARAMS& params, const BYTE* pbContent,
                         SigningFileContent* pFileContent) {
    TraceHelper trace(TEXT("EncapsulatePKCS7"));
    const char* const op = "EncapsulatePKCS7";
    if (HRESULT hCheck = CheckEncapsulateParams(op, params, pbContent, pFileContent);
        FAILED(hCheck))
        return hCheck;
    try {
        std::vector<BYTE> signerInfo;
        if (HRESULT hResult = EncodeRsaSignerInfo(params, signerInfo); FAILED(hResult))
            return TRACE_FAIL(op, "Encode PKCS7_SIGNER_INFO", hResult, "FAILED(hResult)");
        SIGNED_DATA_PARTS parts{};
        parts.pszSignedDataOID = kPkcs7SignedDataOID;
        parts.pszDataOID = kPkcs7DataOID;
        parts.pszDigestAlgOID = params.pszDigestAlgOID;
        parts.certificate = {params.pCertContext->pbCertEncoded,
                             params.pCertContext->cbCertEncoded};
        parts.signerInfo = signerInfo;
        parts.bIncludeContent = params.bIncludeContent != FALSE;
        if (parts.bIncludeContent && params.bContentIsFile)
            parts.pFileContent = pFileContent;
        else if (parts.bIncludeContent)
            parts.memoryContent = {pbContent, params.cbContent};
        if (HRESULT hResult = WriteSignedDataBase64(parts, params.dwBase64Flags, params.pbstrBase64,
                                                    params.pcchBase64);
            FAILED(hResult))
            return TRACE_FAIL(op, "WriteSignedDataBase64", hResult, "FAILED(hResult)");
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    TRACE_OK(op, "Base64EncodeEx");
    return VURO_OK;
}

namespace {

// Sign: the signature from calculate, then the message around it.
template <class CalculateSignature>
HRESULT Sign(const char* op, BSTR* pbstrSignature, PCCERT_CONTEXT pCertContext,
             CalculateSignature calculate, PKCS7_ENCAPSULATE_PARAMS params, const BYTE* pbContent,
             SigningFileContent* pFileContent) {
    LPCSTR pszEncryptionAlg = nullptr, pszDigestAlg = nullptr;
    GetAlgorithmIdentifiers(&pszEncryptionAlg, &pszDigestAlg);
    BYTE* pbRaw = nullptr;
    DWORD cbSignature = 0;
    HRESULT hResult = calculate(&pbRaw, &cbSignature);
    std::unique_ptr<BYTE[]> pbSignature(pbRaw);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "CalculateHashandSign", hResult, "FAILED(hResult)");
    BSTR bstrRaw = nullptr;
    DWORD cchText = 0;
    params.pCertContext = pCertContext;
    params.pszDigestAlgOID = pszDigestAlg;
    params.pszSignatureAlgOID = pszEncryptionAlg;
    params.pbSignature = pbSignature.get();
    params.cbSignature = cbSignature;
    params.pbstrBase64 = &bstrRaw;
    params.pcchBase64 = &cchText;
    hResult = EncapsulatePKCS7(params, pbContent, pFileContent);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "EncapsulatePKCS7", hResult, "FAILED(hResult)");
    *pbstrSignature = bstrRaw;
    return VURO_OK;
}

} // namespace

HRESULT SignBinaryData(BSTR* pbstrSignature, const BYTE* pbContent, PCCERT_CONTEXT pCertContext,
                       DWORD cbContent, BOOL bIncludeContent) {
    TraceHelper trace(TEXT("SignBinaryData"));
    const char* const op = "SignBinaryData";
    if (pbstrSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == pbstrSignature");
    PKCS7_ENCAPSULATE_PARAMS params{};
    params.cbContent = cbContent;
    params.bContentIsFile = FALSE;
    params.bIncludeContent = bIncludeContent;
    params.dwBase64Flags = BASE64_FLAG_NOCRLF;
    return Sign(
        op, pbstrSignature, pCertContext,
        [&](BYTE** pp, DWORD* pcb) {
            return CalculateHashandSign(pCertContext, pbContent, cbContent, pp, pcb);
        },
        params, pbContent, nullptr);
}

HRESULT SignOpenFile(BSTR* pbstrSignature, HANDLE hFile, PCCERT_CONTEXT pCertContext,
                     BOOL bIncludeContent, ULONGLONG cbMaxSize) {
    TraceHelper trace(TEXT("SignFile"));
    const char* const op = "SignFile";
    if (pbstrSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == pbstrSignature");
    // The bytes hashed are the bytes the message carries: the file is read once.
    SigningFileContent content;
    PKCS7_ENCAPSULATE_PARAMS params{};
    params.bContentIsFile = TRUE;
    params.bIncludeContent = bIncludeContent;
    params.dwBase64Flags = 0;
    return Sign(
        op, pbstrSignature, pCertContext,
        [&](BYTE** pp, DWORD* pcb) {
            return CalculateFileHashandSign(pCertContext, hFile, cbMaxSize, pp, pcb,
                                            bIncludeContent ? &content : nullptr);
        },
        params, nullptr, &content);
}

HRESULT SignFile(BSTR* pbstrSignature, LPCWSTR pwszFilePath, PCCERT_CONTEXT pCertContext,
                 BOOL bIncludeContent) {
    const char* const op = "SignFile";
    if (pbstrSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == pbstrSignature");
    UniqueFile file;
    if (HRESULT hResult = OpenFileForSigning(op, pwszFilePath, &file); FAILED(hResult))
        return hResult;
    return SignOpenFile(pbstrSignature, file.get(), pCertContext, bIncludeContent,
                        kNoSigningSizeLimit);
}
