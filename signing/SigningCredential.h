// The signer of a message: a certificate, the key family it signs with and
// where its private key lives. A personal-store certificate reaches its key
// through the certificate (RSA); an unregistered certificate names the vendor
// container that holds it (SM2). Everything after that is one path for every
// family: hash and sign in the provider, the SignerInfo, the message around it.
#pragma once
#include "certificates/KeyFamily.h"
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "selection/UnregisteredCert.h"
#include "signing/SignedData.h"

#include <wincrypt.h>

#include <vector>

// SignerSteps: the names a signer's operations and steps are traced under.
struct SignerSteps {
    const WCHAR* pwszSignData; // a text's bytes
    const char* pszSignData;
    const WCHAR* pwszSignFile; // an open file
    const char* pszSignFile;
    const WCHAR* pwszCalculate; // hashing and signing text in memory
    const char* pszCalculate;
    const WCHAR* pwszCalculateFile; // hashing and signing an open file
    const char* pszCalculateFile;
    const WCHAR* pwszEncapsulate; // the message around the signature
    const char* pszEncapsulate;
};

// SignerKey: the provider handle and key spec to sign with. The handle is
// released only when it is the caller's to release (owned).
struct SignerKey {
    UniqueProvider owned;
    HCRYPTPROV hProv = 0;
    DWORD dwKeySpec = 0;
};

class SigningCredential {
public:
    virtual ~SigningCredential() = default;
    virtual PCCERT_CONTEXT Certificate() const = 0;
    virtual const orvane::keys::KeyFamily& Family() const = 0;
    virtual const SignerSteps& Steps() const = 0;
    // Valid: whether the credential names everything it needs.
    virtual bool Valid() const = 0;
    // OpenKey: the signing key, failures traced under op.
    [[nodiscard]] virtual HRESULT OpenKey(const char* op, SignerKey& key) const = 0;
};

// StoreCertificateCredential: a personal-store certificate whose key the
// system finds through the certificate's key property (RSA).
class StoreCertificateCredential final : public SigningCredential {
public:
    explicit StoreCertificateCredential(PCCERT_CONTEXT pCertContext)
        : m_pCertContext(pCertContext) {}
    PCCERT_CONTEXT Certificate() const override { return m_pCertContext; }
    const orvane::keys::KeyFamily& Family() const override;
    const SignerSteps& Steps() const override;
    bool Valid() const override { return m_pCertContext != nullptr; }
    [[nodiscard]] HRESULT OpenKey(const char* op, SignerKey& key) const override;

private:
    PCCERT_CONTEXT m_pCertContext;
};

// ContainerCredential: an unregistered certificate and the vendor container
// holding its key pair (SM2).
class ContainerCredential final : public SigningCredential {
public:
    explicit ContainerCredential(PCUNREGISTERED_CERT_CONTEXT pContext) : m_pContext(pContext) {}
    PCCERT_CONTEXT Certificate() const override {
        return m_pContext != nullptr ? m_pContext->pCertContext : nullptr;
    }
    const orvane::keys::KeyFamily& Family() const override;
    const SignerSteps& Steps() const override;
    bool Valid() const override;
    [[nodiscard]] HRESULT OpenKey(const char* op, SignerKey& key) const override;

private:
    PCUNREGISTERED_CERT_CONTEXT m_pContext;
};

// MessageContent: what a signature covers, bytes in memory or a file open
// for reading at its start (hFile not null), read once through that handle.
struct MessageContent {
    const BYTE* pbContent = nullptr;
    DWORD cbContent = 0;
    HANDLE hFile = nullptr;
    ULONGLONG cbMaxSize = kNoSigningSizeLimit;
};

// CalculateSignature: the content hashed in the signer's provider with its
// family's hash and signed with its key, most significant byte first; for a
// file, the bytes hashed are kept in *pKept when it is given. Traced under
// the signer's calculate step. Returns 0, E_INVALIDARG, E_OUTOFMEMORY,
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a signature of the wrong size,
// HashFileForSigning's codes or the failing call's error.
[[nodiscard]] HRESULT CalculateSignature(const SigningCredential& signer,
                                         const MessageContent& content, SigningFileContent* pKept,
                                         std::vector<BYTE>& signature);

// EncapsulateSignedData: the message of params in the family's layout, the
// signature (params.pbSignature, as CalculateSignature made it) in the
// family's form. Codes as EncapsulatePKCS7's.
[[nodiscard]] HRESULT EncapsulateSignedData(const char* op, const orvane::keys::KeyFamily& family,
                                            const PKCS7_ENCAPSULATE_PARAMS& params,
                                            const BYTE* pbContent,
                                            SigningFileContent* pFileContent);

// SignMessage: the one signing path: the signature of content and the
// message around it (with the content when bIncludeContent is set) as
// Base64 text in *pbstrSignature, one line for text, the family's form for a
// file. Sets *pbstrSignature only on success.
[[nodiscard]] HRESULT SignMessage(const char* op, const SigningCredential& signer,
                                  const MessageContent& content, BOOL bIncludeContent,
                                  BSTR* pbstrSignature);

// SignDataWith / SignOpenFileWith: the signer's own operations over
// SignMessage, traced under their names (SignBinaryData or SM2SignData,
// SignFile or SM2SignFile): E_POINTER without a place for the text,
// E_INVALIDARG for a credential that names too little or a file handle that
// is none; otherwise SignMessage's codes. The file is read through hFile
// only (at most cbMaxSize bytes, kNoSigningSizeLimit for any size) and stays
// the caller's.
[[nodiscard]] HRESULT SignDataWith(const SigningCredential& signer, const BYTE* pbContent,
                                   DWORD cbContent, BOOL bIncludeContent, BSTR* pbstrSignature);
[[nodiscard]] HRESULT SignOpenFileWith(const SigningCredential& signer, HANDLE hFile,
                                       BOOL bIncludeContent, ULONGLONG cbMaxSize,
                                       BSTR* pbstrSignature);
