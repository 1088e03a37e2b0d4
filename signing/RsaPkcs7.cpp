#include "signing/RsaPkcs7.h"

#include "foundation/Encodings.h"
#include "foundation/Handles.h"
#include "foundation/Trace.h"
#include "signing/SigningCredential.h"

#define TRACE_MODULE "RsaPkcs7"

HRESULT GetAlgorithmIdentifiers(LPCSTR* ppszEncryptionAlgOID, LPCSTR* ppszDigestAlgOID) {
    const orvane::keys::SignedDataOids& oids =
        orvane::keys::FamilyFor(KeyAlgorithm::Rsa).SignedData();
    if (ppszEncryptionAlgOID != nullptr)
        *ppszEncryptionAlgOID = oids.pszDigestCipher;
    if (ppszDigestAlgOID != nullptr)
        *ppszDigestAlgOID = oids.pszDigest;
    return VURO_OK;
}

HRESULT CalculateHashandSign(PCCERT_CONTEXT pCertContext, const BYTE* pbContent, DWORD cbContent,
                             std::vector<BYTE>& signature) {
    MessageContent content;
    content.pbContent = pbContent;
    content.cbContent = cbContent;
    return CalculateSignature(StoreCertificateCredential(pCertContext), content, nullptr,
                              signature);
}

HRESULT CalculateFileHashandSign(PCCERT_CONTEXT pCertContext, HANDLE hFile, ULONGLONG cbMaxSize,
                                 std::vector<BYTE>& signature, SigningFileContent* pContent) {
    if (hFile == nullptr || hFile == INVALID_HANDLE_VALUE)
        return TRACE_FAIL("CalculateFileHashandSign", "Check parameter", E_INVALIDARG,
                          "hFile == INVALID_HANDLE_VALUE");
    MessageContent content;
    content.hFile = hFile;
    content.cbMaxSize = cbMaxSize;
    return CalculateSignature(StoreCertificateCredential(pCertContext), content, pContent,
                              signature);
}

HRESULT EncapsulatePKCS7(const PKCS7_ENCAPSULATE_PARAMS& params, const BYTE* pbContent,
                         SigningFileContent* pFileContent) {
    TraceHelper trace(TEXT("EncapsulatePKCS7"));
    return EncapsulateSignedData("EncapsulatePKCS7", orvane::keys::FamilyFor(KeyAlgorithm::Rsa),
                                 params, pbContent, pFileContent);
}

HRESULT SignBinaryData(BSTR* pbstrSignature, const BYTE* pbContent, PCCERT_CONTEXT pCertContext,
                       DWORD cbContent, BOOL bIncludeContent) {
    return SignDataWith(StoreCertificateCredential(pCertContext), pbContent, cbContent,
                        bIncludeContent, pbstrSignature);
}

HRESULT SignOpenFile(BSTR* pbstrSignature, HANDLE hFile, PCCERT_CONTEXT pCertContext,
                     BOOL bIncludeContent, ULONGLONG cbMaxSize) {
    return SignOpenFileWith(StoreCertificateCredential(pCertContext), hFile, bIncludeContent,
                            cbMaxSize, pbstrSignature);
}

HRESULT SignFile(BSTR* pbstrSignature, LPCWSTR pwszFilePath, PCCERT_CONTEXT pCertContext,
                 BOOL bIncludeContent) {
    const char* const op = "SignFile";
    if (TRACE_IF(pbstrSignature == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    UniqueFile file;
    if (HRESULT hResult = OpenFileForSigning(op, pwszFilePath, &file); FAILED(hResult))
        return hResult;
    return SignOpenFile(pbstrSignature, file.get(), pCertContext, bIncludeContent,
                        kNoSigningSizeLimit);
}
