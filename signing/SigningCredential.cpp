#include "signing/SigningCredential.h"

#include "certificates/CspQueries.h"
#include "certificates/Names.h"
#include "certificates/Signatures.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <new>
#include <string>

#define TRACE_MODULE "SigningCredential"

// A step's name, in the wide form its outer trace takes and the narrow form
// of its step lines.
#define STEP(name) TEXT(name), name

namespace der = orvane::der;
namespace keys = orvane::keys;

// ---- the credentials ---------------------------------------------------------------------

const keys::KeyFamily& StoreCertificateCredential::Family() const {
    return keys::FamilyFor(KeyAlgorithm::Rsa);
}

const SignerSteps& StoreCertificateCredential::Steps() const {
    static constexpr SignerSteps kSteps{STEP("SignBinaryData"), STEP("SignFile"),
                                        STEP("CalculateHashandSign"),
                                        STEP("CalculateFileHashandSign"), STEP("EncapsulatePKCS7")};
    return kSteps;
}

HRESULT StoreCertificateCredential::OpenKey(const char* op, SignerKey& key) const {
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKey = 0;
    DWORD dwKeySpec = 0;
    BOOL bCallerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(m_pCertContext, 0, nullptr, &hKey, &dwKeySpec,
                                           &bCallerFree))
        return FAIL_LAST_ERROR(op, "CryptAcquireCertificatePrivateKey", "bRetCode == FALSE");
    // A handle the certificate caches for itself stays with the certificate.
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

const keys::KeyFamily& ContainerCredential::Family() const {
    return keys::FamilyFor(KeyAlgorithm::Sm2);
}

const SignerSteps& ContainerCredential::Steps() const {
    static constexpr SignerSteps kSteps{
        STEP("SM2SignData"), STEP("SM2SignFile"), STEP("SM2CalculateHashandSignbyUnregisteredCert"),
        STEP("SM2CalculateFileHashandSignbyUnregisteredCert"), STEP("SM2EncapsulatePKCS7")};
    return kSteps;
}

bool ContainerCredential::Valid() const {
    return m_pContext != nullptr && m_pContext->pCertContext != nullptr &&
           m_pContext->wszCSPName[0] != 0 && m_pContext->wszContainerName[0] != 0;
}

HRESULT ContainerCredential::OpenKey(const char* op, SignerKey& key) const {
    // A container that cannot be opened fails here, with the provider's
    // reason, rather than as a bad handle one step later.
    if (!CryptAcquireContextW(key.owned.put(), m_pContext->wszContainerName, m_pContext->wszCSPName,
                              PROV_RSA_FULL, 0))
        return FAIL_LAST_ERROR(op, "CryptAcquireContext", "bRetCode == FALSE");
    key.hProv = key.owned.get();
    key.dwKeySpec = m_pContext->dwKeySpec;
    return VURO_OK;
}

// ---- one path for every family -----------------------------------------------------------

namespace {

HRESULT TraceHashValue(const char* op, HCRYPTHASH hHash) {
    DWORD cbValue = 0;
    if (!CryptGetHashParam(hHash, HP_HASHVAL, nullptr, &cbValue, 0))
        return FAIL_LAST_ERROR(op, "CryptGetHashParam", "bRetCode == FALSE");
    std::vector<BYTE> value(cbValue == 0 ? 1 : cbValue);
    if (!CryptGetHashParam(hHash, HP_HASHVAL, value.data(), &cbValue, 0))
        return FAIL_LAST_ERROR(op, "CryptGetHashParam", "bRetCode == FALSE");
    if (TraceIsEnabled(TRACE_FLAG_INFO)) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string strHex;
        for (DWORD i = 0; i < cbValue; ++i) {
            strHex += kHex[value[i] >> 4];
            strHex += kHex[value[i] & 0xF];
        }
        TraceValueA("FormatStringFromData", strHex.c_str());
    }
    return VURO_OK;
}

HRESULT HashAndSign(const char* op, const SigningCredential& signer, const MessageContent& content,
                    SigningFileContent* pKept, std::vector<BYTE>& signature) {
    const keys::KeyFamily& family = signer.Family();
    SignerKey key;
    if (HRESULT hResult = signer.OpenKey(op, key); FAILED(hResult))
        return hResult;
    UniqueHash hash;
    if (!CryptCreateHash(key.hProv, family.HashAlgorithm(), 0, 0, hash.put()))
        return FAIL_LAST_ERROR(op, "CryptCreateHash", "bRetCode == FALSE");
    if (content.hFile != nullptr) {
        if (HRESULT hResult =
                HashFileForSigning(op, hash.get(), content.hFile, content.cbMaxSize, pKept);
            FAILED(hResult))
            return hResult;
    } else {
        // Hashed in one call, as the providers have always been given text.
        static const BYTE kNothing = 0;
        if (!CryptHashData(hash.get(), content.cbContent != 0 ? content.pbContent : &kNothing,
                           content.cbContent, 0))
            return FAIL_LAST_ERROR(op, "CryptHashData-CSP Once Hash", "bRetCode == FALSE");
        if (family.TracesHashValue())
            if (HRESULT hResult = TraceHashValue(op, hash.get()); FAILED(hResult))
                return hResult;
    }
    std::vector<BYTE> value;
    orvane::signatures::FailedStep failed;
    if (HRESULT hResult = orvane::signatures::SignProviderHash(hash.get(), key.dwKeySpec,
                                                               family.Layout(), value, failed);
        FAILED(hResult))
        return TRACE_FAIL(op, failed.pszStep, hResult, failed.pszReason);
    const DWORD cbExpected = family.RawSignatureSize();
    if (TRACE_IF(cbExpected != 0 && value.size() != cbExpected, op, "Check raw signature size",
                 HRESULT_FROM_WIN32(ERROR_INVALID_DATA)))
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    signature = std::move(value);
    return VURO_OK;
}

// SignerInfo ::= SEQUENCE {
//     version                    INTEGER 1,
//     issuerAndSerialNumber      SEQUENCE { issuer Name, serialNumber INTEGER },
//     digestAlgorithm            AlgorithmIdentifier,   -- { OID, NULL }
//     digestEncryptionAlgorithm  AlgorithmIdentifier,   -- { OID, NULL }
//     encryptedDigest            OCTET STRING }         -- the family's signature value
HRESULT EncodeSignerInfo(const keys::KeyFamily& family, const PKCS7_ENCAPSULATE_PARAMS& params,
                         std::vector<BYTE>& out) {
    const CERT_INFO* pInfo = params.pCertContext->pCertInfo;
    if (pInfo->SerialNumber.cbData == 0 || pInfo->SerialNumber.pbData == nullptr ||
        pInfo->Issuer.cbData == 0 || pInfo->Issuer.pbData == nullptr)
        return E_INVALIDARG;
    const keys::SignedDataOids& oids = family.SignedData();
    HRESULT hValue = VURO_OK;
    der::DerWriter w;
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& si) {
        der::WriteInt32(si, 1);
        si.Constructed(der::tag::kSequence, [&](der::DerWriter& ias) {
            ias.Raw({pInfo->Issuer.pbData, pInfo->Issuer.cbData});
            family.WriteSerialNumber(ias, {pInfo->SerialNumber.pbData, pInfo->SerialNumber.cbData});
        });
        // A failure fails the writer too, which is checked once it is done.
        static_cast<void>(orvane::names::WriteSpecialAttribute(si, oids.pszDigest, nullptr, 0));
        static_cast<void>(
            orvane::names::WriteSpecialAttribute(si, oids.pszDigestCipher, nullptr, 0));
        si.Constructed(der::tag::kOctetString, [&](der::DerWriter& octets) {
            hValue = family.WriteSignatureValue(octets, {params.pbSignature, params.cbSignature});
        });
    });
    if (FAILED(hValue))
        return hValue;
    if (w.Error() != 0)
        return HRESULT(w.Error());
    out = w.Take();
    return VURO_OK;
}

} // namespace

HRESULT CalculateSignature(const SigningCredential& signer, const MessageContent& content,
                           SigningFileContent* pKept, std::vector<BYTE>& signature) {
    const SignerSteps& steps = signer.Steps();
    const bool bFile = content.hFile != nullptr;
    TraceHelper trace(bFile ? steps.pwszCalculateFile : steps.pwszCalculate);
    const char* const op = bFile ? steps.pszCalculateFile : steps.pszCalculate;
    if (TRACE_IF(!signer.Valid(), op, "Check parameter", E_INVALIDARG) ||
        TRACE_IF(!bFile && content.pbContent == nullptr && content.cbContent != 0, op,
                 "Check parameter", E_INVALIDARG) ||
        TRACE_IF(bFile && content.hFile == INVALID_HANDLE_VALUE, op, "Check parameter",
                 E_INVALIDARG))
        return E_INVALIDARG;
    try {
        return HashAndSign(op, signer, content, bFile ? pKept : nullptr, signature);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
}

HRESULT EncapsulateSignedData(const char* op, const keys::KeyFamily& family,
                              const PKCS7_ENCAPSULATE_PARAMS& params, const BYTE* pbContent,
                              SigningFileContent* pFileContent) {
    if (HRESULT hCheck = CheckEncapsulateParams(op, params, pbContent, pFileContent);
        FAILED(hCheck))
        return hCheck;
    try {
        std::vector<BYTE> signerInfo;
        if (HRESULT hResult = EncodeSignerInfo(family, params, signerInfo);
            TRACE_IF(FAILED(hResult), op, "Encode PKCS7_SIGNER_INFO", hResult))
            return hResult;
        const keys::SignedDataOids& oids = family.SignedData();
        SIGNED_DATA_PARTS parts{};
        parts.pszSignedDataOID = oids.pszSignedData;
        parts.pszDataOID = oids.pszData;
        parts.pszDigestAlgOID = oids.pszDigest;
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
            TRACE_IF(FAILED(hResult), op, "WriteSignedDataBase64", hResult))
            return hResult;
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    TRACE_OK(op, "Base64EncodeEx");
    return VURO_OK;
}

HRESULT SignMessage(const char* op, const SigningCredential& signer, const MessageContent& content,
                    BOOL bIncludeContent, BSTR* pbstrSignature) {
    if (TRACE_IF(pbstrSignature == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    const SignerSteps& steps = signer.Steps();
    const bool bFile = content.hFile != nullptr;
    // The bytes hashed are the bytes the message carries: a file is read once.
    SigningFileContent kept;
    std::vector<BYTE> signature;
    HRESULT hResult =
        CalculateSignature(signer, content, bIncludeContent ? &kept : nullptr, signature);
    if (TRACE_IF(FAILED(hResult), op, bFile ? steps.pszCalculateFile : steps.pszCalculate, hResult))
        return hResult;
    UniqueBstr text;
    DWORD cchText = 0;
    PKCS7_ENCAPSULATE_PARAMS params{};
    params.pCertContext = signer.Certificate();
    params.cbContent = content.cbContent;
    params.pbSignature = signature.data();
    params.cbSignature = DWORD(signature.size());
    params.pbstrBase64 = text.put();
    params.pcchBase64 = &cchText;
    params.bContentIsFile = bFile ? TRUE : FALSE;
    params.bIncludeContent = bIncludeContent;
    params.dwBase64Flags = bFile ? signer.Family().FileBase64Flags() : BASE64_FLAG_NOCRLF;
    {
        TraceHelper trace(steps.pwszEncapsulate);
        hResult = EncapsulateSignedData(steps.pszEncapsulate, signer.Family(), params,
                                        content.pbContent, &kept);
    }
    if (TRACE_IF(FAILED(hResult), op, steps.pszEncapsulate, hResult))
        return hResult;
    *pbstrSignature = text.release();
    return VURO_OK;
}

HRESULT SignDataWith(const SigningCredential& signer, const BYTE* pbContent, DWORD cbContent,
                     BOOL bIncludeContent, BSTR* pbstrSignature) {
    const SignerSteps& steps = signer.Steps();
    TraceHelper trace(steps.pwszSignData);
    const char* const op = steps.pszSignData;
    if (TRACE_IF(pbstrSignature == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    if (TRACE_IF(!signer.Valid(), op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    MessageContent content;
    content.pbContent = pbContent;
    content.cbContent = cbContent;
    return SignMessage(op, signer, content, bIncludeContent, pbstrSignature);
}

HRESULT SignOpenFileWith(const SigningCredential& signer, HANDLE hFile, BOOL bIncludeContent,
                         ULONGLONG cbMaxSize, BSTR* pbstrSignature) {
    const SignerSteps& steps = signer.Steps();
    TraceHelper trace(steps.pwszSignFile);
    const char* const op = steps.pszSignFile;
    if (TRACE_IF(pbstrSignature == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    if (TRACE_IF(!signer.Valid() || hFile == nullptr || hFile == INVALID_HANDLE_VALUE, op,
                 "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    MessageContent content;
    content.hFile = hFile;
    content.cbMaxSize = cbMaxSize;
    return SignMessage(op, signer, content, bIncludeContent, pbstrSignature);
}
