// The enrolment agent: the one object behind every enrolment method a page can
// call, in Tandry (one agent for the whole run) and in npPellin (one agent per
// scriptable object). It checks and normalises the page's arguments, keeps the
// page's choices between calls (CSP, key length, key algorithm, container),
// hands the work to the certificate queries, the request builder and the
// importers, and remembers the result of its last call for
// VURO_GetLastErrorDesc.
//
// Conventions of every operation: the result is 0 or a negative result code.
// Text arguments are NUL-terminated wide texts (a BSTR will do) and may be
// null. Text results are new BSTRs the caller frees with SysFreeString; yes/no
// results are VARIANT_BOOLs, VARIANT_TRUE (-1) or VARIANT_FALSE (0). Out
// parameters are written only where the operation's comment says so.
#pragma once
#include "methods/AgentResult.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "certificates/VendorCsp.h"

#include <windows.h>
#include <oleauto.h>

// ICryptoAgent: the eleven enrolment operations in their fixed slot order. The
// host's handlers and the plug-in's scriptable object call through it; the
// order of the declarations below is part of the interface.
class ICryptoAgent {
public:
    // VURO_GetCSPInfo: the installed CSP names joined by "||" in *pbstrCSPInfo.
    // On failure *pbstrCSPInfo is untouched and the enumeration's code returned.
    [[nodiscard]] virtual HRESULT VURO_GetCSPInfo(BSTR* pbstrCSPInfo) = 0;

    // VURO_GetVersion: does nothing; returns 0, leaves *pbstrVersion and the
    // last result alone (the host and the plug-in answer the version
    // themselves).
    [[nodiscard]] virtual HRESULT VURO_GetVersion(BSTR* pbstrVersion) = 0;

    // VURO_SetCSPInfo: chooses the CSP (trimmed; the first "&amp;" becomes
    // "&") and the key length. Providers named "Microsoft" allow 512 or 1024
    // bits ("Base") or 512, 1024, 2048, 4096 (the others); any other provider
    // takes any length. *pbResult = VARIANT_TRUE on success.
    // E_INVALIDARG for a null, empty or all-blank name; VURO_E_KEY_LENGTH.
    [[nodiscard]] virtual HRESULT VURO_SetCSPInfo(LONG lKeyLength, const WCHAR* bstrCSPName,
                                                  VARIANT_BOOL* pbResult) = 0;

    // VURO_SetKeyAlgorithm: chooses "RSA" or "SM2" (trimmed, any case; kept as
    // spelt). *pbResult = VARIANT_TRUE on success. E_INVALIDARG for null or
    // empty, VURO_E_INVALID_KEY_ALG for anything else.
    [[nodiscard]] virtual HRESULT VURO_SetKeyAlgorithm(const WCHAR* bstrKeyAlgorithm,
                                                       VARIANT_BOOL* pbResult) = 0;

    // VURO_ImportEncryptCert: installs the enveloped encryption key and its
    // certificate into bstrContainerName of the chosen CSP. The trimmed
    // container name becomes the agent's container at once, whatever the
    // outcome. *pbResult = VARIANT_TRUE on success. E_INVALIDARG when a text
    // is null or empty; the importer's code otherwise.
    [[nodiscard]] virtual HRESULT VURO_ImportEncryptCert(const WCHAR* bstrEncryptedPrivateKey,
                                                         const WCHAR* bstrP7Cert,
                                                         const WCHAR* bstrContainerName,
                                                         LONG lFlags, VARIANT_BOOL* pbResult) = 0;

    // VURO_GetContainer: the container of the last successful request or
    // encryption import (empty before any) in *pbstrContainer. Returns 0, or
    // E_POINTER / E_OUTOFMEMORY.
    [[nodiscard]] virtual HRESULT VURO_GetContainer(BSTR* pbstrContainer) = 0;

    // VURO_ImportSignCert: binds the Base64 signing certificate to the key of
    // the container in the chosen CSP; lCertType 1 means the key exchange key,
    // every other value the signature key. The stored container is not
    // changed. *pbResult = VARIANT_TRUE on success.
    [[nodiscard]] virtual HRESULT VURO_ImportSignCert(LONG lCertType, const WCHAR* bstrSignCert,
                                                      const WCHAR* bstrContainerName,
                                                      VARIANT_BOOL* pbResult) = 0;

    // VURO_PKCS10CertRequisition: generates the key pair(s) of a type 1 (one
    // certificate) or type 2 (signing plus encryption) request in the chosen
    // CSP and hands out the Base64 request. *pbstrRequest is always set when
    // the pointer is not null: to the request, or to an empty text on failure.
    // The new container becomes the agent's container. E_INVALIDARG,
    // VURO_E_INVALID_KEY_ALG (no algorithm chosen) or the builder's code.
    [[nodiscard]] virtual HRESULT VURO_PKCS10CertRequisition(const WCHAR* bstrSubjectDN,
                                                             LONG lCertType, LONG lGenKeyFlags,
                                                             BSTR* pbstrRequest) = 0;

    // VURO_GetAllCertInfo: the records of the current user's "My" certificates
    // that have a private key, joined by "||", in *pbstrCertInfo.
    [[nodiscard]] virtual HRESULT VURO_GetAllCertInfo(BSTR* pbstrCertInfo) = 0;

    // VURO_HavePermissiontoGenerateKeyPair: whether the current user can make
    // and use a key container in the system's base RSA software CSP, by making
    // a throw-away 1024-bit key pair there and deleting its container again.
    // *pbResult is set to VARIANT_FALSE first and to VARIANT_TRUE on success.
    // E_ACCESSDENIED when that CSP is not installed.
    [[nodiscard]] virtual HRESULT VURO_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbResult) = 0;

    // VURO_GetLastErrorDesc: the description of the last result (its text and
    // "\n(0x%08x)") in *pbstrDesc. Does not change the last result.
    [[nodiscard]] virtual HRESULT VURO_GetLastErrorDesc(BSTR* pbstrDesc) = 0;

    // Declared after the operations so that their slots stay first.
    virtual ~ICryptoAgent() = default;
};

// CCryptoAgent: the agent itself. Not copyable; one per host run or per
// scriptable object, called on one thread.
class CCryptoAgent final : public ICryptoAgent {
public:
    // hTextModule is the module whose string table holds the error texts (the
    // plug-in passes its own handle); null means the program's own module.
    explicit CCryptoAgent(HMODULE hTextModule = nullptr) noexcept;
    ~CCryptoAgent() override = default;
    CCryptoAgent(const CCryptoAgent&) = delete;
    CCryptoAgent& operator=(const CCryptoAgent&) = delete;

    [[nodiscard]] HRESULT VURO_GetCSPInfo(BSTR* pbstrCSPInfo) override;
    [[nodiscard]] HRESULT VURO_GetVersion(BSTR* pbstrVersion) override;
    [[nodiscard]] HRESULT VURO_SetCSPInfo(LONG lKeyLength, const WCHAR* bstrCSPName,
                                          VARIANT_BOOL* pbResult) override;
    [[nodiscard]] HRESULT VURO_SetKeyAlgorithm(const WCHAR* bstrKeyAlgorithm,
                                               VARIANT_BOOL* pbResult) override;
    [[nodiscard]] HRESULT VURO_ImportEncryptCert(const WCHAR* bstrEncryptedPrivateKey,
                                                 const WCHAR* bstrP7Cert,
                                                 const WCHAR* bstrContainerName, LONG lFlags,
                                                 VARIANT_BOOL* pbResult) override;
    [[nodiscard]] HRESULT VURO_GetContainer(BSTR* pbstrContainer) override;
    [[nodiscard]] HRESULT VURO_ImportSignCert(LONG lCertType, const WCHAR* bstrSignCert,
                                              const WCHAR* bstrContainerName,
                                              VARIANT_BOOL* pbResult) override;
    [[nodiscard]] HRESULT VURO_PKCS10CertRequisition(const WCHAR* bstrSubjectDN, LONG lCertType,
                                                     LONG lGenKeyFlags,
                                                     BSTR* pbstrRequest) override;
    [[nodiscard]] HRESULT VURO_GetAllCertInfo(BSTR* pbstrCertInfo) override;
    [[nodiscard]] HRESULT VURO_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbResult) override;
    [[nodiscard]] HRESULT VURO_GetLastErrorDesc(BSTR* pbstrDesc) override;

    // The stored choices and the last result, as the operations above left
    // them (not part of the scripted interface).
    [[nodiscard]] HRESULT LastResult() const noexcept { return m_lastResult.Get(); }
    // SetLastResult: a result reached outside the operations (a request the
    // host refused), described by the next VURO_GetLastErrorDesc.
    void SetLastResult(HRESULT hResult) noexcept { m_lastResult.Set(hResult); }
    const WString& KeyAlgorithm() const noexcept { return m_wstrKeyAlgorithm; }
    ::KeyAlgorithm KeyAlgorithmKind() const noexcept { return m_eKeyAlgorithm; }
    const WString& CSPName() const noexcept { return m_wstrCSPName; }
    LONG KeyLength() const noexcept { return m_lKeyLength; }
    const WString& ContainerName() const noexcept { return m_wstrContainerName; }

private:
    // Stores hResult as the last result and returns it.
    [[nodiscard]] HRESULT Finish(HRESULT hResult) noexcept { return m_lastResult.Finish(hResult); }

    // The page's choices, in this order.
    orvane::LastResult m_lastResult;
    WString m_wstrKeyAlgorithm; // as the page spelt it
    // What m_wstrKeyAlgorithm says, parsed once when it is set; every use
    // decides by this.
    ::KeyAlgorithm m_eKeyAlgorithm = ::KeyAlgorithm::Unset;
    WString m_wstrCSPName;
    LONG m_lKeyLength = 0; // no length is chosen before the first VURO_SetCSPInfo
    WString m_wstrContainerName;

    HMODULE m_hTextModule;
};
