// The signing agent: the one object behind every signing method a page can
// call, in npSarvik (one agent per scriptable object) and in the signing
// native-messaging host. It keeps one selected signing certificate between
// calls, chooses it with the certificate filter and the selection dialog,
// signs texts and files as PKCS #7 signed data (RSA with SHA-1 for
// certificates of the personal store, SM2 with SM3 for certificates kept in
// vendor CSP containers), answers questions about the selection and remembers
// the result of its last call for VURO_GetLastErrorDesc.
//
// The enrolment agent (enrolment/CryptoAgent.h) is also called CCryptoAgent,
// in the global namespace; this one lives in orvane::signing, so both can be
// linked into one program (tests do) without their names or vtables meeting.
//
// Conventions of every operation: the result is 0 or a negative result code.
// Text arguments are NUL-terminated wide texts (a BSTR will do) and may be
// null. Text results are new BSTRs the caller frees with SysFreeString; a null
// out pointer gives E_POINTER. Out parameters are written only where the
// operation's comment says so.
#pragma once
#include "methods/AgentResult.h"
#include "dialog/CertificateDialogs.h"
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "selection/UnregisteredCert.h"

#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <vector>

namespace orvane::signing {

// The largest file VURO_SignFile signs with its content attached: 30 MiB; a
// file of exactly this size is accepted.
inline constexpr ULONGLONG MAX_SIGN_FILE_SIZE = 31457280;

// The only hash algorithm RSA signing takes, compared ignoring case (the RSA
// key family's PageHashName).
inline constexpr WCHAR kSigningHashAlgorithm[] = TEXT("SHA-1");

// The key-usage bit a signing certificate must carry (digitalSignature).
inline constexpr DWORD kSigningKeyUsage = 0x80;

// ISigningAgent: the nine signing operations in their fixed slot order. The
// scriptable object and the host call through it; the order of the
// declarations below is part of the interface. It has no virtual destructor:
// nothing is ever deleted through it.
class ISigningAgent {
public:
    // VURO_SelectUserCert: forgets the current selection, then offers the
    // certificates that fit the filters and lets the user choose (a sole
    // candidate is taken without a dialog unless bAlwaysShow is set). The
    // candidates are the personal store's RSA-family certificates with a
    // reachable private key and the digitalSignature usage whose subject
    // contains one of the "#"-separated alternatives of bstrDN, whose issuer
    // contains one of bstrIssuerDN's, whose serial is bstrSN (hexadecimal,
    // most significant byte first; empty: any) and whose key's provider is
    // one of bstrCSP's "||"-separated names (empty: any); when bstrCSP names
    // providers, then also the SM2-family certificates kept in those vendor
    // providers' containers. Validity dates are not checked. On success the
    // chosen certificate is selected and *pbstrCSPName holds the name of the
    // CSP with its key; on failure nothing is selected and *pbstrCSPName is
    // null. VURO_E_NO_AVAILABLE_CERT without candidates,
    // VURO_E_USER_CANCELED when the user cancels, 0x8007057E when no dialog
    // window can be made, VURO_E_INVALID_KEY_ALG for a certificate of neither
    // family, or the failing step's code.
    [[nodiscard]] virtual HRESULT
    VURO_SelectUserCert(const WCHAR* bstrDN, const WCHAR* bstrIssuerDN, const WCHAR* bstrSN,
                        const WCHAR* bstrCSP, VARIANT_BOOL bAlwaysShow, BSTR* pbstrCSPName) = 0;

    // VURO_SignData, VURO_SignDataDetached: the UTF-8 bytes of bstrSourceMsg
    // signed with the selected certificate, as one line of Base64 PKCS #7
    // with (SignData) or without (SignDataDetached) the bytes inside. An RSA
    // selection takes bstrHashAlg "SHA-1" (any case) only; an SM2 selection
    // ignores it. *pbstrSignature holds the text, or an empty text on failure.
    // E_INVALIDARG for an empty message or another hash algorithm,
    // VURO_E_CERT_NOT_READY before a selection, or the signer's code.
    [[nodiscard]] virtual HRESULT VURO_SignData(const WCHAR* bstrSourceMsg,
                                                const WCHAR* bstrHashAlg, BSTR* pbstrSignature) = 0;
    [[nodiscard]] virtual HRESULT VURO_SignDataDetached(const WCHAR* bstrSourceMsg,
                                                        const WCHAR* bstrHashAlg,
                                                        BSTR* pbstrSignature) = 0;

    // VURO_SignFile: signs the file bstrSrcFileName (at most
    // MAX_SIGN_FILE_SIZE bytes, checked and read through one handle; a file
    // that grows past it while read is refused too) with its content
    // attached and writes the message's DER to a new file, the source's path
    // with ".p7s" appended, whose path *pbstrDestination then holds (an empty
    // text on failure). The destination must not exist and is never replaced
    // or followed if it is a link, also when it appears while the file is
    // signed (HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)); a destination path
    // that, with the ending of its temporary name (WriteFileSimple), would
    // not fit in MAX_PATH - 1 characters is refused
    // (HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)); the destination holds
    // a whole message or does not exist. Also E_INVALIDARG, VURO_E_CERT_NOT_READY, the
    // path checks' codes (VURO_E_MALICIOUS_PATH, VURO_E_EMPTY_FILE),
    // VURO_E_FILE_SIZE_LIMIT, the signer's code or a file error.
    [[nodiscard]] virtual HRESULT VURO_SignFile(const WCHAR* bstrSrcFileName,
                                                const WCHAR* bstrHashAlg,
                                                BSTR* pbstrDestination) = 0;

    // VURO_SignFileDetached: the detached signature of the file
    // bstrSrcFileName (no size limit, nothing written) in *pbstrSignature:
    // Base64 in lines of 76 characters joined by CR LF for RSA, one line for
    // SM2; an empty text on failure. Codes as VURO_SignFile's.
    [[nodiscard]] virtual HRESULT VURO_SignFileDetached(const WCHAR* bstrSrcFileName,
                                                        const WCHAR* bstrHashAlg,
                                                        BSTR* pbstrSignature) = 0;

    // VURO_GetCertInfo: one item of the selected certificate, named ignoring
    // case: "ValidToDate" (the end of validity in local time,
    // "YYYY-MM-DD hh:mm:ss", the year padded with blanks to four places) or
    // "CertType" ("SM2" for a certificate from a CSP container, else "RSA").
    // *pbstrInfo holds the item, or an empty text on failure. E_INVALIDARG
    // for any other name, VURO_E_CERT_NOT_READY before a selection.
    [[nodiscard]] virtual HRESULT VURO_GetCertInfo(const WCHAR* bstrInfoName, BSTR* pbstrInfo) = 0;

    // VURO_GetCSPInfo: the installed CSP names joined by "||" in
    // *pbstrCSPInfo; untouched on failure.
    [[nodiscard]] virtual HRESULT VURO_GetCSPInfo(BSTR* pbstrCSPInfo) = 0;

    // VURO_GetVersion: does nothing; returns 0 and leaves *pbstrVersion and
    // the last result alone (the plug-in and the host answer the version).
    [[nodiscard]] virtual HRESULT VURO_GetVersion(BSTR* pbstrVersion) = 0;

    // VURO_GetLastErrorDesc: the description of the last result (its text and
    // "\n(0x%08x)") in *pbstrDesc. Does not change the last result.
    [[nodiscard]] virtual HRESULT VURO_GetLastErrorDesc(BSTR* pbstrDesc) = 0;

protected:
    ISigningAgent() = default;
    ~ISigningAgent() = default;
    ISigningAgent(const ISigningAgent&) = default;
    ISigningAgent& operator=(const ISigningAgent&) = default;
};

// SELECTION_UI: how the agent asks the user and which window owns the
// dialog; tests put in their own to see the dialog's options and answers.
struct SELECTION_UI {
    // The selection dialog's entry point (CustomCryptUIDlgSelectCertificate).
    HRESULT(*pfnSelectCertificate)
    (const SELECT_CERTIFICATE_OPTIONS* pOptions, const std::vector<PCCERT_CONTEXT>& candidates,
     PCCERT_CONTEXT* ppSelected);
    // The window the user works in (the dialog's first owner), and the
    // thread's active window (its owner when the first could not be used).
    HWND (*pfnForegroundWindow)();
    HWND (*pfnActiveWindow)();
};

// The real dialog with the desktop's windows (AgentWindows_*.cpp).
extern const SELECTION_UI kSystemSelectionUi;

// CCryptoAgent: the signing agent itself. Not copyable; one per scriptable
// object or host run, called on one thread.
class CCryptoAgent final : public ISigningAgent {
public:
    // hModule is the module whose string table holds the error texts and
    // whose resources the dialog shows (the plug-in passes its own handle);
    // null means the program's own module. pUi (null: kSystemSelectionUi)
    // must outlive the agent.
    explicit CCryptoAgent(HMODULE hModule = nullptr, const SELECTION_UI* pUi = nullptr) noexcept;
    ~CCryptoAgent() = default;
    CCryptoAgent(const CCryptoAgent&) = delete;
    CCryptoAgent& operator=(const CCryptoAgent&) = delete;

    [[nodiscard]] HRESULT VURO_SelectUserCert(const WCHAR* bstrDN, const WCHAR* bstrIssuerDN,
                                              const WCHAR* bstrSN, const WCHAR* bstrCSP,
                                              VARIANT_BOOL bAlwaysShow,
                                              BSTR* pbstrCSPName) override;
    [[nodiscard]] HRESULT VURO_SignData(const WCHAR* bstrSourceMsg, const WCHAR* bstrHashAlg,
                                        BSTR* pbstrSignature) override;
    [[nodiscard]] HRESULT VURO_SignDataDetached(const WCHAR* bstrSourceMsg,
                                                const WCHAR* bstrHashAlg,
                                                BSTR* pbstrSignature) override;
    [[nodiscard]] HRESULT VURO_SignFile(const WCHAR* bstrSrcFileName, const WCHAR* bstrHashAlg,
                                        BSTR* pbstrDestination) override;
    [[nodiscard]] HRESULT VURO_SignFileDetached(const WCHAR* bstrSrcFileName,
                                                const WCHAR* bstrHashAlg,
                                                BSTR* pbstrSignature) override;
    [[nodiscard]] HRESULT VURO_GetCertInfo(const WCHAR* bstrInfoName, BSTR* pbstrInfo) override;
    [[nodiscard]] HRESULT VURO_GetCSPInfo(BSTR* pbstrCSPInfo) override;
    [[nodiscard]] HRESULT VURO_GetVersion(BSTR* pbstrVersion) override;
    [[nodiscard]] HRESULT VURO_GetLastErrorDesc(BSTR* pbstrDesc) override;

    // The selection and the last result, as the operations above left them
    // (not part of the scripted interface). At most one of the two
    // certificates is set.
    [[nodiscard]] HRESULT LastResult() const noexcept { return m_lastResult.Get(); }
    // SetLastResult: a result an adapter reached outside the operations (a
    // call it refused, a response over the browser's limit), for
    // VURO_GetLastErrorDesc.
    void SetLastResult(HRESULT hResult) noexcept { m_lastResult.Set(hResult); }
    // ForgetSelection: drops the selection, as a failed VURO_SelectUserCert
    // does; an adapter calls it when it refuses a selection call itself.
    void ForgetSelection() noexcept {
        m_pCertContext.reset();
        m_pUnregsitedSignCertCtx.reset();
    }
    PCCERT_CONTEXT SelectedStoreCertificate() const noexcept { return m_pCertContext.get(); }
    PCUNREGISTERED_CERT_CONTEXT SelectedContainerCertificate() const noexcept {
        return m_pUnregsitedSignCertCtx.get();
    }

private:
    // Stores hResult as the last result and returns it.
    [[nodiscard]] HRESULT Finish(HRESULT hResult) noexcept { return m_lastResult.Finish(hResult); }
    bool HasSelection() const noexcept { return m_pCertContext || m_pUnregsitedSignCertCtx; }
    // The certificate of the selection, whichever field holds it.
    PCCERT_CONTEXT SelectedCertificate() const noexcept;
    // The shared bodies of the signing operations.
    [[nodiscard]] HRESULT SignText(const WCHAR* pwszOp, const WCHAR* bstrSourceMsg,
                                   const WCHAR* bstrHashAlg, BOOL bIncludeContent,
                                   BSTR* pbstrSignature);
    [[nodiscard]] HRESULT SignFileTo(const WCHAR* bstrSrcFileName, const WCHAR* bstrHashAlg,
                                     BSTR* pbstrDestination);
    [[nodiscard]] HRESULT SignFileDetachedTo(const WCHAR* bstrSrcFileName, const WCHAR* bstrHashAlg,
                                             BSTR* pbstrSignature);
    [[nodiscard]] HRESULT Select(const WCHAR* bstrDN, const WCHAR* bstrIssuerDN,
                                 const WCHAR* bstrSN, const WCHAR* bstrCSP,
                                 VARIANT_BOOL bAlwaysShow, BSTR* pbstrCSPName);
    [[nodiscard]] HRESULT CertInfo(const WCHAR* bstrInfoName, BSTR* pbstrInfo);

    orvane::LastResult m_lastResult;
    // The selection: a personal-store certificate (RSA family), or a
    // certificate read from a CSP container (SM2 family).
    UniqueCertContext m_pCertContext;
    UniqueUnregisteredCertContext m_pUnregsitedSignCertCtx;

    HMODULE m_hModule;
    const SELECTION_UI* m_pUi;
};

// WriteFileSimple: writes the cbData bytes at pbData to a new file
// pwszFilePath, never through a link and never over an existing entry:
// HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) when the path exists (a file, a
// folder or a link, dangling or not), and nothing is changed then. The bytes
// are written and flushed under a temporary name beside it
// (pwszFilePath + ".XXXXXXXX.tmp", eight random hexadecimal digits, created
// new), which is then renamed without replacing (MoveFileExW without
// MOVEFILE_REPLACE_EXISTING, with MOVEFILE_WRITE_THROUGH); the temporary file
// is removed on every failure. So the final name holds a whole file or
// nothing, even when the process is killed on the way (it may leave its
// temporary file). HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) when the
// temporary name would not fit MAX_PATH. Returns 0, E_INVALIDARG, or the
// system error as a result code.
[[nodiscard]] HRESULT WriteFileSimple(LPCWSTR pwszFilePath, const BYTE* pbData, DWORD cbData);

} // namespace orvane::signing
