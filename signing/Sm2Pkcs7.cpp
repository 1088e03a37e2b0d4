#include "signing/Sm2Pkcs7.h"

#include "certificates/Names.h"
#include "certificates/Signatures.h"
#include "foundation/Encodings.h"
#include "foundation/Handles.h"
#include "foundation/Trace.h"
#include "signing/SigningCredential.h"

#define TRACE_MODULE "Sm2Pkcs7"

namespace der = orvane::der;

HRESULT SM2CalculateHashandSignbyUnregisteredCert(PCUNREGISTERED_CERT_CONTEXT pContext,
                                                  const BYTE* pbContent, DWORD cbContent,
                                                  std::vector<BYTE>& signature) {
    MessageContent content;
    content.pbContent = pbContent;
    content.cbContent = cbContent;
    return CalculateSignature(ContainerCredential(pContext), content, nullptr, signature);
}

HRESULT SM2CalculateFileHashandSignbyUnregisteredCert(PCUNREGISTERED_CERT_CONTEXT pContext,
                                                      HANDLE hFile, ULONGLONG cbMaxSize,
                                                      std::vector<BYTE>& signature,
                                                      SigningFileContent* pContent) {
    if (hFile == nullptr || hFile == INVALID_HANDLE_VALUE)
        return TRACE_FAIL("SM2CalculateFileHashandSignbyUnregisteredCert", "Check parameter",
                          E_INVALIDARG, "hFile == INVALID_HANDLE_VALUE");
    MessageContent content;
    content.hFile = hFile;
    content.cbMaxSize = cbMaxSize;
    return CalculateSignature(ContainerCredential(pContext), content, pContent, signature);
}

HRESULT SM2EncodeRawSignature(std::vector<BYTE>& encoded, const BYTE* pbRawSignature,
                              DWORD cbRawSignature) {
    const char* const op = "SM2EncodeRawSignature";
    if (pbRawSignature == nullptr || cbRawSignature != kSm2RawSignatureSize)
        return TRACE_FAIL(op, "Check SM2 raw signature size",
                          HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "dwSignatureLen != 64");
    // encryptedDigest OCTET STRING { SEQUENCE { r INTEGER, s INTEGER } }, the
    // integers minimal: a sign octet before a top bit, no leading zeros.
    const HRESULT hResult = der::EncodeInto(encoded, [&](der::DerWriter& w) -> HRESULT {
        HRESULT hr = VURO_OK;
        w.Constructed(der::tag::kOctetString, [&](der::DerWriter& octets) {
            hr = orvane::signatures::WriteSm2Signature(octets, {pbRawSignature, cbRawSignature});
        });
        return hr;
    });
    if (TRACE_IF(FAILED(hResult), op, "WriteSm2Signature", hResult))
        return hResult;
    return VURO_OK;
}

HRESULT SM2EncodeOID(LPCSTR pszOID, std::vector<BYTE>& encoded) {
    const char* const op = "SM2EncodeOID";
    if (TRACE_IF(pszOID == nullptr, op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    // AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER, parameters NULL }
    const HRESULT hResult = der::EncodeInto(encoded, [&](der::DerWriter& w) {
        return orvane::names::WriteSpecialAttribute(w, pszOID, nullptr, 0);
    });
    if (TRACE_IF(FAILED(hResult), op, "WriteSpecialAttribute", hResult))
        return hResult;
    return VURO_OK;
}

HRESULT SM2EncodeSignerInfo(const SM2_SIGNER_INFO* pInfo, std::vector<BYTE>& encoded) {
    const char* const op = "SM2EncodeSignerInfo";
    if (pInfo == nullptr || pInfo->pbIssuer == nullptr || pInfo->cbIssuer == 0 ||
        pInfo->pbSerialNumber == nullptr || pInfo->cbSerialNumber == 0 ||
        pInfo->pszDigestAlgOID == nullptr || pInfo->pszSignatureAlgOID == nullptr ||
        pInfo->pbEncryptedDigest == nullptr || pInfo->cbEncryptedDigest == 0)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "a field of the record is missing");
    const HRESULT hResult = der::EncodeInto(encoded, [&](der::DerWriter& w) -> HRESULT {
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
            static_cast<void>(
                orvane::names::WriteSpecialAttribute(si, pInfo->pszSignatureAlgOID, nullptr, 0));
            si.Raw({pInfo->pbEncryptedDigest, pInfo->cbEncryptedDigest});
        });
        return VURO_OK;
    });
    if (TRACE_IF(FAILED(hResult), op, "DerWriter", hResult))
        return hResult;
    return VURO_OK;
}

HRESULT SM2EncapsulatePKCS7(const PKCS7_ENCAPSULATE_PARAMS& params, const BYTE* pbContent,
                            SigningFileContent* pFileContent) {
    TraceHelper trace(TEXT("SM2EncapsulatePKCS7"));
    return EncapsulateSignedData("SM2EncapsulatePKCS7", orvane::keys::FamilyFor(KeyAlgorithm::Sm2),
                                 params, pbContent, pFileContent);
}

HRESULT SM2SignData(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext,
                    const BYTE* pbContent, DWORD cbContent, BOOL bIncludeContent) {
    return SignDataWith(ContainerCredential(pContext), pbContent, cbContent, bIncludeContent,
                        pbstrSignature);
}

HRESULT SM2SignOpenFile(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext, HANDLE hFile,
                        BOOL bIncludeContent, ULONGLONG cbMaxSize) {
    return SignOpenFileWith(ContainerCredential(pContext), hFile, bIncludeContent, cbMaxSize,
                            pbstrSignature);
}

HRESULT SM2SignFile(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext,
                    LPCWSTR pwszFilePath, BOOL bIncludeContent) {
    const char* const op = "SM2SignFile";
    if (TRACE_IF(pbstrSignature == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    UniqueFile file;
    if (HRESULT hResult = OpenFileForSigning(op, pwszFilePath, &file); FAILED(hResult))
        return hResult;
    return SM2SignOpenFile(pbstrSignature, pContext, file.get(), bIncludeContent,
                           kNoSigningSizeLimit);
}
