#include "signing/Sm2Pkcs7.h"

#include "certificates/Names.h"
#include "certificates/Signatures.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#define TRACE_MODULE "Sm2Pkcs7"

namespace der = orvane::der;

namespace {

bool ValidContext(PCUNREGISTERED_CERT_CONTEXT pContext) {
    return pContext != nullptr && pContext->pCertContext != nullptr &&
           pContext->wszCSPName[0] != 0 && pContext->wszContainerName[0] != 0;
}

// Sm2HashAndSign: SM3 in the context's container over what hashContent
// feeds the hash, signed with the context's key pair; r and s turned most
// significant byte first.
template <class HashContent>
HRESULT Sm2HashAndSign(const char* op, PCUNREGISTERED_CERT_CONTEXT pContext,
                       HashContent hashContent, bool bTraceHashValue, BYTE** ppbSignature,
                       DWORD* pcbSignature) {
    // A container that cannot be opened fails here, with the provider's
    // reason, rather than as a bad handle one step later.
    UniqueProvider prov;
    if (!CryptAcquireContextW(prov.put(), pContext->wszContainerName, pContext->wszCSPName,
                              PROV_RSA_FULL, 0))
        return FAIL_LAST_ERROR(op, "CryptAcquireContext", "bRetCode == FALSE");
    UniqueHash hash;
    if (!CryptCreateHash(prov.get(), kSm3AlgId, 0, 0, hash.put()))
        return FAIL_LAST_ERROR(op, "CryptCreateHash", "bRetCode == FALSE");
    if (HRESULT hResult = hashContent(hash.get()); FAILED(hResult))
        return hResult;
    if (bTraceHashValue) {
        DWORD cbValue = 0;
        if (!CryptGetHashParam(hash.get(), HP_HASHVAL, nullptr, &cbValue, 0))
            return FAIL_LAST_ERROR(op, "CryptGetHashParam", "bRetCode == FALSE");
        std::unique_ptr<BYTE[]> pbValue(new (std::nothrow) BYTE[cbValue == 0 ? 1 : cbValue]());
        if (!pbValue)
            return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "NULL == pbHashValue");
        if (!CryptGetHashParam(hash.get(), HP_HASHVAL, pbValue.get(), &cbValue, 0))
            return FAIL_LAST_ERROR(op, "CryptGetHashParam", "bRetCode == FALSE");
        if (TraceIsEnabled(TRACE_FLAG_INFO)) {
            static constexpr char kHex[] = "0123456789abcdef";
            std::string strHex;
            for (DWORD i = 0; i < cbValue; ++i) {
                strHex += kHex[pbValue[i] >> 4];
                strHex += kHex[pbValue[i] & 0xF];
            }
            TraceValueA("FormatStringFromData", strHex.c_str());
        }
    }
    // r then s, each turned most significant byte first.
    std::vector<BYTE> signature;
    orvane::signatures::FailedStep failed;
    if (HRESULT hResult = orvane::signatures::SignProviderHash(
            hash.get(), pContext->dwKeySpec, orvane::signatures::SignatureLayout::kSm2Halves,
            signature, failed);
        FAILED(hResult))
        return TRACE_FAIL(op, failed.pszStep, hResult, failed.pszReason);
    if (signature.size() != kSm2RawSignatureSize)
        return TRACE_FAIL(op, "Check SM2 raw signature size",
                          HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "dwSignatureLen != 64");
    std::unique_ptr<BYTE[]> pbSignature(new (std::nothrow) BYTE[kSm2RawSignatureSize]);
    if (!pbSignature)
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "NULL == pbSignature");
    std::copy(signature.begin(), signature.end(), pbSignature.get());
    const DWORD cbSignature = kSm2RawSignatureSize;
    *ppbSignature = pbSignature.release();
    *pcbSignature = cbSignature;
    return VURO_OK;
}

} // namespace

HRESULT SM2CalculateHashandSignbyUnregisteredCert(PCUNREGISTERED_CERT_CONTEXT pContext,
                                                  const BYTE* pbContent, DWORD cbContent,
                                                  BYTE** ppbSignature, DWORD* pcbSignature) {
    TraceHelper trace(TEXT("SM2CalculateHashandSignbyUnregisteredCert"));
    const char* const op = "SM2CalculateHashandSignbyUnregisteredCert";
    if (ppbSignature == nullptr || pcbSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == ppbSignature");
    if (!ValidContext(pContext) || (pbContent == nullptr && cbContent != 0))
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == pContext");
    static const BYTE kNothing = 0;
    return Sm2HashAndSign(
        op, pContext,
        [&](HCRYPTHASH hHash) -> HRESULT {
            if (!CryptHashData(hHash, cbContent != 0 ? pbContent : &kNothing, cbContent, 0))
                return FAIL_LAST_ERROR(op, "CryptHashData-CSP Once Hash", "bRetCode == FALSE");
            return VURO_OK;
        },
        true, ppbSignature, pcbSignature);
}

HRESULT SM2CalculateFileHashandSignbyUnregisteredCert(PCUNREGISTERED_CERT_CONTEXT pContext,
                                                      HANDLE hFile, ULONGLONG cbMaxSize,
                                                      BYTE** ppbSignature, DWORD* pcbSignature,
                                                      SigningFileContent* pContent) {
    TraceHelper trace(TEXT("SM2CalculateFileHashandSignbyUnregisteredCert"));
    const char* const op = "SM2CalculateFileHashandSignbyUnregisteredCert";
    if (ppbSignature == nullptr || pcbSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == ppbSignature");
    if (!ValidContext(pContext) || hFile == nullptr || hFile == INVALID_HANDLE_VALUE)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == pContext");
    return Sm2HashAndSign(
        op, pContext,
        [&](HCRYPTHASH hHash) { return HashFileForSigning(op, hHash, hFile, cbMaxSize, pContent); },
        false, ppbSignature, pcbSignature);
}

HRESULT SM2EncodeRawSignature(DWORD* pcbEncoded, const BYTE* pbRawSignature, DWORD cbRawSignature,
                              BYTE** ppbEncoded) {
    const char* const op = "SM2EncodeRawSignature";
    if (pcbEncoded == nullptr || ppbEncoded == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == ppbEncoded");
    if (pbRawSignature == nullptr || cbRawSignature != kSm2RawSignatureSize)
        return TRACE_FAIL(op, "Check SM2 raw signature size",
                          HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "dwSignatureLen != 64");
    // encryptedDigest OCTET STRING { SEQUENCE { r INTEGER, s INTEGER } }, the
    // integers minimal: a sign octet before a top bit, no leading zeros.
    const HRESULT hResult =
        der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](der::DerWriter& w) -> HRESULT {
            HRESULT hr = VURO_OK;
            w.Constructed(der::tag::kOctetString, [&](der::DerWriter& octets) {
                hr =
                    orvane::signatures::WriteSm2Signature(octets, {pbRawSignature, cbRawSignature});
            });
            return hr;
        });
    if (FAILED(hResult))
        return TRACE_FAIL(op, "WriteSm2Signature", hResult, "FAILED(hResult)");
    return VURO_OK;
}

HRESULT SM2EncodeOID(LPCSTR pszOID, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    const char* const op = "SM2EncodeOID";
    if (ppbEncoded == nullptr || pcbEncoded == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == ppbEncoded");
    if (pszOID == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == pszOID");
    // AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER, parameters NULL }
    const HRESULT hResult = der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](der::DerWriter& w) {
        return orvane::names::WriteSpecialAttribute(w, pszOID, nullptr, 0);
    });
    if (FAILED(hResult))
        return TRACE_FAIL(op, "WriteSpecialAttribute", hResult, "FAILED(hResult)");
    return VURO_OK;
}

HRESULT SM2EncodeSignerInfo(const SM2_SIGNER_INFO* pInfo, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    const char* const op = "SM2EncodeSignerInfo";
    if (ppbEncoded == nullptr || pcbEncoded == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == ppbEncoded");
    if (pInfo == nullptr || pInfo->pbIssuer == nullptr || pInfo->cbIssuer == 0 ||
        pInfo->pbSerialNumber == nullptr || pInfo->cbSerialNumber == 0 ||
        pInfo->pszDigestAlgOID == nullptr || pInfo->pszSignatureAlgOID == nullptr ||
        pInfo->pbEncryptedDigest == nullptr || pInfo->cbEncryptedDigest == 0)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "a field of the record is missing");
    const HRESULT hResult =
        der::HandOutEncoding(ppbEncoded, pcbEncoded, [&](der::DerWriter& w) -> HRESULT {
            std::vector<BYTE> serial(pInfo->pbSerialNumber,
                                     pInfo->pbSerialNumber + pInfo->cbSerialNumber);
            SwapByteOrder(serial.data(), DWORD(serial.size()));
            w.Constructed(der::tag::kSequence, [&](der::DerWriter& si) {
                der::WriteInt32(si, LONG(pInfo->dwVersion));
                // issuerAndSerialNumber SEQUENCE { issuer Name, serialNumber INTEGER }:
                // the serial's octets exactly as the certificate carries them, so
                // that verifiers match the two byte for byte.
                si.Constructed(der::tag::kSequence, [&](der::DerWriter& ias) {
                    ias.Raw({pInfo->pbIssuer, pInfo->cbIssuer});
                    ias.Element(der::tag::kInteger, serial);
                });
                // A failure fails the writer too, which is checked once it is done.
                static_cast<void>(
                    orvane::names::WriteSpecialAttribute(si, pInfo->pszDigestAlgOID, nullptr, 0));
                static_cast<void>(orvane::names::WriteSpecialAttribute(
                    si, pInfo->pszSignatureAlgOID, nullptr, 0));
                si.Raw({pInfo->pbEncryptedDigest, pInfo->cbEncryptedDigest});
            });
            return VURO_OK;
        });
    if (FAILED(hResult))
        return TRACE_FAIL(op, "DerWriter", hResult, "FAILED(hResult)");
    return VURO_OK;
}

HRESULT SM2EncapsulatePKCS7(const PKCS7_ENCAPSULATE_PARAMS& params, const BYTE* pbContent,
                            SigningFileContent* pFileContent) {
    TraceHelper trace(TEXT("SM2EncapsulatePKCS7"));
    const char* const op = "SM2EncapsulatePKCS7";
    if (HRESULT hCheck = CheckEncapsulateParams(op, params, pbContent, pFileContent);
        FAILED(hCheck))
        return hCheck;
    const CERT_INFO* pCertInfo = params.pCertContext->pCertInfo;
    SM2_SIGNER_INFO info{};
    info.dwVersion = 1;
    info.cbIssuer = pCertInfo->Issuer.cbData;
    info.pbIssuer = pCertInfo->Issuer.pbData;
    info.cbSerialNumber = pCertInfo->SerialNumber.cbData;
    info.pbSerialNumber = pCertInfo->SerialNumber.pbData;
    info.pszDigestAlgOID = params.pszDigestAlgOID;
    info.pszSignatureAlgOID = params.pszSignatureAlgOID;
    info.cbEncryptedDigest = params.cbSignature;
    info.pbEncryptedDigest = params.pbSignature;
    BYTE* pbRaw = nullptr;
    DWORD cbSignerInfo = 0;
    HRESULT hResult = SM2EncodeSignerInfo(&info, &pbRaw, &cbSignerInfo);
    std::unique_ptr<BYTE[]> pbSignerInfo(pbRaw);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "SM2EncodeSignerInfo", hResult, "FAILED(hResult)");
    try {
        SIGNED_DATA_PARTS parts{};
        parts.pszSignedDataOID = kSm2SignedDataOID;
        parts.pszDataOID = kSm2DataOID;
        parts.pszDigestAlgOID = params.pszDigestAlgOID;
        parts.certificate = {params.pCertContext->pbCertEncoded,
                             params.pCertContext->cbCertEncoded};
        parts.signerInfo = {pbSignerInfo.get(), cbSignerInfo};
        parts.bIncludeContent = params.bIncludeContent != FALSE;
        if (parts.bIncludeContent && params.bContentIsFile)
            parts.pFileContent = pFileContent;
        else if (parts.bIncludeContent)
            parts.memoryContent = {pbContent, params.cbContent};
        hResult = WriteSignedDataBase64(parts, params.dwBase64Flags, params.pbstrBase64,
                                        params.pcchBase64);
    } catch (const std::bad_alloc&) {
        hResult = E_OUTOFMEMORY;
    }
    if (FAILED(hResult))
        return TRACE_FAIL(op, "ASN1Encode(All data SEQUENCE)", hResult, "FAILED(hResult)");
    TRACE_OK(op, "Base64EncodeEx");
    return VURO_OK;
}

namespace {

// Sm2Sign: r and s from calculate, their DER form, and the message around it.
template <class CalculateSignature>
HRESULT Sm2Sign(const char* op, BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext,
                CalculateSignature calculate, PKCS7_ENCAPSULATE_PARAMS params,
                const BYTE* pbContent, SigningFileContent* pFileContent) {
    BYTE* pbRaw = nullptr;
    DWORD cbRaw = 0;
    HRESULT hResult = calculate(&pbRaw, &cbRaw);
    std::unique_ptr<BYTE[]> pbRawSignature(pbRaw);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "SM2CalculateHashandSignbyUnregisteredCert", hResult,
                          "FAILED(hResult)");
    BYTE* pbDer = nullptr;
    DWORD cbDer = 0;
    hResult = SM2EncodeRawSignature(&cbDer, pbRawSignature.get(), cbRaw, &pbDer);
    std::unique_ptr<BYTE[]> pbDerSignature(pbDer);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "SM2EncodeRawSignature", hResult, "FAILED(hResult)");
    BSTR bstrRaw = nullptr;
    DWORD cchText = 0;
    params.pCertContext = pContext->pCertContext;
    params.pszDigestAlgOID = kSm3OID;
    params.pszSignatureAlgOID = kSm2SignatureOID;
    params.pbSignature = pbDerSignature.get();
    params.cbSignature = cbDer;
    params.pbstrBase64 = &bstrRaw;
    params.pcchBase64 = &cchText;
    params.dwBase64Flags = BASE64_FLAG_NOCRLF;
    hResult = SM2EncapsulatePKCS7(params, pbContent, pFileContent);
    if (FAILED(hResult))
        return TRACE_FAIL(op, "SM2EncapsulatePKCS7", hResult, "FAILED(hResult)");
    *pbstrSignature = bstrRaw;
    return VURO_OK;
}

} // namespace

HRESULT SM2SignData(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext,
                    const BYTE* pbContent, DWORD cbContent, BOOL bIncludeContent) {
    TraceHelper trace(TEXT("SM2SignData"));
    const char* const op = "SM2SignData";
    if (pbstrSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == pbstrSignature");
    if (!ValidContext(pContext))
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == pContext");
    PKCS7_ENCAPSULATE_PARAMS params{};
    params.cbContent = cbContent;
    params.bContentIsFile = FALSE;
    params.bIncludeContent = bIncludeContent;
    return Sm2Sign(
        op, pbstrSignature, pContext,
        [&](BYTE** pp, DWORD* pcb) {
            return SM2CalculateHashandSignbyUnregisteredCert(pContext, pbContent, cbContent, pp,
                                                             pcb);
        },
        params, pbContent, nullptr);
}

HRESULT SM2SignOpenFile(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext, HANDLE hFile,
                        BOOL bIncludeContent, ULONGLONG cbMaxSize) {
    TraceHelper trace(TEXT("SM2SignFile"));
    const char* const op = "SM2SignFile";
    if (pbstrSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == pbstrSignature");
    if (!ValidContext(pContext))
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == pContext");
    // Read once: the message carries the bytes that were hashed.
    SigningFileContent content;
    PKCS7_ENCAPSULATE_PARAMS params{};
    params.bContentIsFile = TRUE;
    params.bIncludeContent = bIncludeContent;
    return Sm2Sign(
        op, pbstrSignature, pContext,
        [&](BYTE** pp, DWORD* pcb) {
            return SM2CalculateFileHashandSignbyUnregisteredCert(
                pContext, hFile, cbMaxSize, pp, pcb, bIncludeContent ? &content : nullptr);
        },
        params, nullptr, &content);
}

HRESULT SM2SignFile(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext,
                    LPCWSTR pwszFilePath, BOOL bIncludeContent) {
    const char* const op = "SM2SignFile";
    if (pbstrSignature == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == pbstrSignature");
    UniqueFile file;
    if (HRESULT hResult = OpenFileForSigning(op, pwszFilePath, &file); FAILED(hResult))
        return hResult;
    return SM2SignOpenFile(pbstrSignature, pContext, file.get(), bIncludeContent,
                           kNoSigningSizeLimit);
}
