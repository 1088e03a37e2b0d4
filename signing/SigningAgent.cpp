#include "signing/SigningAgent.h"

#include "certificates/AgentAnswers.h"
#include "certificates/CertificateRecord.h"
#include "certificates/CspQueries.h"
#include "methods/AgentGuards.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"
#include "selection/CertificateFilter.h"
#include "signing/FilePathCheck.h"
#include "signing/SignedData.h"
#include "signing/SigningCredential.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#define TRACE_MODULE "CryptoAgent"

namespace orvane::signing {
namespace {

// SelectedSigner: the selection as a signer: a store certificate (RSA) or a
// container certificate (SM2), whichever is set. The one place the agent
// tells the two apart; everything after it is the signer's.
class SelectedSigner {
public:
    SelectedSigner(PCCERT_CONTEXT pStore, PCUNREGISTERED_CERT_CONTEXT pContainer)
        : m_store(pStore), m_container(pContainer) {}
    const SigningCredential& Get() const {
        if (m_store.Valid())
            return m_store;
        return m_container;
    }

private:
    StoreCertificateCredential m_store;
    ContainerCredential m_container;
};

using orvane::CheckOut;
using orvane::RunGuarded;

// The step an operation that ran out of memory names in its trace line.
constexpr const WCHAR* kOutOfMemoryStep = TEXT("New buffer");

// What VURO_SignFile appends to the source's path.
constexpr WCHAR kSignatureSuffix[] = TEXT(".p7s");
constexpr size_t kSignatureSuffixChars = 4;

constexpr WCHAR kEmptyText[] = TEXT("");

bool IsNullOrEmpty(const WCHAR* pwsz) {
    return pwsz == nullptr || pwsz[0] == 0;
}

// NewText: the text as a new BSTR in *pbstr.
HRESULT NewText(const WCHAR* pwszOp, const WCHAR* pwsz, size_t cch, UniqueBstr* pbstr,
                const WCHAR* pwszReason) {
    BSTR bstr = SysAllocStringLen(pwsz, UINT(cch));
    if (bstr == nullptr)
        return TRACE_FAIL_W(pwszOp, TEXT("New buffer"), E_OUTOFMEMORY, pwszReason);
    pbstr->reset(bstr);
    return VURO_OK;
}

// HandOutOrEmpty: a signing call's answer: its text after success, an empty
// text after a failure (null only when not even that can be allocated).
void HandOutOrEmpty(HRESULT hResult, UniqueBstr& bstrResult, BSTR* pbstrOut) {
    if (SUCCEEDED(hResult))
        *pbstrOut = bstrResult.release();
    else
        *pbstrOut = SysAllocString(kEmptyText);
}

// CheckHashAlgorithm: whether the page named the hash the signer's family
// takes, in any letter case; a family whose providers choose their own hash
// takes any name and traces nothing.
HRESULT CheckHashAlgorithm(const WCHAR* pwszOp, const orvane::keys::KeyFamily& family,
                           const WCHAR* bstrHashAlg) {
    const WCHAR* const pwszWanted = family.PageHashName();
    if (pwszWanted == nullptr)
        return VURO_OK;
    if (IsNullOrEmpty(bstrHashAlg) || lstrcmpiW(bstrHashAlg, pwszWanted) != 0)
        return TRACE_FAIL_W(pwszOp, TEXT("check hashalg"), E_INVALIDARG,
                            TEXT("bstrHashAlg == NULL || wcslen(bstrHashAlg) == 0 || "
                                 "_wcsicmp(bstrHashAlg, L\"SHA-1\") != 0"));
    TRACE_OK_W(pwszOp, TEXT("check hashalg"));
    return VURO_OK;
}

// SameEncoding: whether two certificates are the same bytes.
bool SameEncoding(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// FormatValidToDate: "%4d-%02d-%02d %02d:%02d:%02d" of st, as pages have
// always read it (the year padded with blanks, not zeros).
WString FormatValidToDate(const SYSTEMTIME& st) {
    char sz[64] = {};
    const int n =
        std::snprintf(sz, sizeof sz, "%4d-%02d-%02d %02d:%02d:%02d", int(st.wYear), int(st.wMonth),
                      int(st.wDay), int(st.wHour), int(st.wMinute), int(st.wSecond));
    WString wstr;
    for (int i = 0; i < n && i < int(sizeof sz); ++i)
        wstr.push_back(WCHAR(sz[i]));
    return wstr;
}

} // namespace

CCryptoAgent::CCryptoAgent(HMODULE hModule, const SELECTION_UI* pUi) noexcept
    : m_hModule(hModule), m_pUi(pUi != nullptr ? pUi : &kSystemSelectionUi) {}

PCCERT_CONTEXT CCryptoAgent::SelectedCertificate() const noexcept {
    if (m_pCertContext)
        return m_pCertContext.get();
    if (m_pUnregsitedSignCertCtx)
        return m_pUnregsitedSignCertCtx->pCertContext;
    return nullptr;
}

// ---- VURO_SelectUserCert ---------------------------------------------------------------

HRESULT CCryptoAgent::VURO_SelectUserCert(const WCHAR* bstrDN, const WCHAR* bstrIssuerDN,
                                          const WCHAR* bstrSN, const WCHAR* bstrCSP,
                                          VARIANT_BOOL bAlwaysShow, BSTR* pbstrCSPName) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SelectUserCert");
    TraceHelper trace(kOp);
    // Whatever happens below, the old selection is gone: a page that failed to
    // select must not sign with what an earlier call chose.
    m_pCertContext.reset();
    m_pUnregsitedSignCertCtx.reset();
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbstrCSPName, TEXT("NULL == pbstrCSPName")))
            return E_POINTER;
        *pbstrCSPName = nullptr;
        const HRESULT hResult =
            Select(bstrDN, bstrIssuerDN, bstrSN, bstrCSP, bAlwaysShow, pbstrCSPName);
        if (FAILED(hResult)) {
            m_pCertContext.reset();
            m_pUnregsitedSignCertCtx.reset();
        }
        return hResult;
    }));
}

HRESULT CCryptoAgent::Select(const WCHAR* bstrDN, const WCHAR* bstrIssuerDN, const WCHAR* bstrSN,
                             const WCHAR* bstrCSP, VARIANT_BOOL bAlwaysShow, BSTR* pbstrCSPName) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SelectUserCert");
    TraceValueW("DN", bstrDN);
    TraceValueW("IssuerDN", bstrIssuerDN);
    TraceValueW("SN", bstrSN);
    TraceValueW("CSP", bstrCSP);
    TraceValueNumber("AlwaysShow", long(bAlwaysShow));

    // Signing certificates of the RSA family with a key this user can reach.
    // Validity is not checked: an expired certificate is offered too, and the
    // page decides (it can ask VURO_GetCertInfo("ValidToDate")).
    CERTIFICATE_FILTER stFilter{};
    stFilter.pwszSubjectDN = bstrDN;
    stFilter.pwszIssuerDN = bstrIssuerDN;
    stFilter.pwszCSPName = bstrCSP;
    stFilter.pwszSubjectKeyID = nullptr;
    stFilter.pwszSerialNumber = IsNullOrEmpty(bstrSN) ? nullptr : bstrSN;
    stFilter.dwKeyUsage = kSigningKeyUsage;
    stFilter.fPrivateKey = TRUE;
    stFilter.pszSignatureAlg = kRsaSignatureAlgPrefix;
    stFilter.pftTime = nullptr;

    CertificateList vtrCertificateSet;
    HRESULT hResult = FilterCertificatesfromLocalStore(&stFilter, vtrCertificateSet);
    if (FAILED(hResult))
        return TRACE_FAIL_W(kOp, TEXT("FilterCertificatesfromLocalStore"), hResult,
                            TEXT("FAILED(hResult)"));
    TRACE_OK_W(kOp, TEXT("FilterCertificatesfromLocalStore"));

    // SM2 certificates live only in the containers of the providers the page
    // names; without names no container is searched.
    UnregisteredCertList vtrUnregistered;
    if (!IsNullOrEmpty(bstrCSP)) {
        stFilter.pszSignatureAlg = kSm2SignatureAlgPrefix;
        hResult = FilterUnregisteredCertificatesfromCSP(bstrCSP, &stFilter, vtrUnregistered);
        if (FAILED(hResult))
            return TRACE_FAIL_W(kOp, TEXT("FilterUnregisteredCertificatesfromCSP"), hResult,
                                TEXT("FAILED(hResult)"));
        TRACE_OK_W(kOp, TEXT("FilterUnregisteredCertificatesfromCSP"));
        for (const UniqueUnregisteredCertContext& pUnregistered : vtrUnregistered) {
            UniqueCertContext pCopy(CertDuplicateCertificateContext(pUnregistered->pCertContext));
            if (!pCopy)
                return FAIL_LAST_ERROR_W(kOp, TEXT("CertDuplicateCertificateContext"),
                                         TEXT("NULL == pCertContext"));
            vtrCertificateSet.push_back(std::move(pCopy));
        }
    }
    if (vtrCertificateSet.size() == 0)
        return TRACE_FAIL_W(kOp, TEXT("Check certificate set"), VURO_E_NO_AVAILABLE_CERT,
                            TEXT("vtrCertificateSet.size() == 0"));

    std::vector<PCCERT_CONTEXT> vtrCandidates;
    vtrCandidates.reserve(vtrCertificateSet.size());
    for (const UniqueCertContext& pCert : vtrCertificateSet)
        vtrCandidates.push_back(pCert.get());

    SELECT_CERTIFICATE_OPTIONS stOptions{};
    stOptions.dwType = 0;
    stOptions.hResourceModule = m_hModule;
    stOptions.bAlwaysShow = bAlwaysShow != VARIANT_FALSE ? 1 : 0;
    stOptions.dwParentGiven = 1;
    stOptions.hParentWindow = m_pUi->pfnForegroundWindow();
    PCCERT_CONTEXT pChosenRaw = nullptr;
    hResult = m_pUi->pfnSelectCertificate(&stOptions, vtrCandidates, &pChosenRaw);
    if (hResult == HRESULT_FROM_WIN32(SELECT_CERTIFICATE_ERROR_NO_WINDOW)) {
        // The foreground window may belong to another process, which cannot
        // own our dialog: try again under this thread's active window.
        TRACE_FAILED_W(kOp, TEXT("CustomCryptUIDlgSelectCertificate (foreground window)"), hResult,
                       TEXT("FAILED(hResult)"));
        stOptions.hParentWindow = m_pUi->pfnActiveWindow();
        pChosenRaw = nullptr;
        hResult = m_pUi->pfnSelectCertificate(&stOptions, vtrCandidates, &pChosenRaw);
    }
    UniqueCertContext pChosen(pChosenRaw);
    if (FAILED(hResult))
        return TRACE_FAIL_W(kOp, TEXT("CustomCryptUIDlgSelectCertificate"), hResult,
                            TEXT("FAILED(hResult)"));
    if (!pChosen)
        return TRACE_FAIL_W(kOp, TEXT("CustomCryptUIDlgSelectCertificate"), E_UNEXPECTED,
                            TEXT("NULL == pCertContext"));
    TRACE_OK_W(kOp, TEXT("CustomCryptUIDlgSelectCertificate"));

    UniqueBstr bstrCSPName;
    if (CheckCertSignatureAlg(pChosen.get(), kSm2SignatureAlgPrefix) == VURO_OK) {
        const UniqueUnregisteredCertContext* pFound = nullptr;
        for (const UniqueUnregisteredCertContext& pUnregistered : vtrUnregistered)
            if (SameEncoding(pUnregistered->pCertContext, pChosen.get())) {
                pFound = &pUnregistered;
                break;
            }
        // Only container certificates are offered with this prefix.
        if (pFound == nullptr)
            return TRACE_FAIL_W(kOp, TEXT("Find unregistered certificate"), E_UNEXPECTED,
                                TEXT("NULL == pUnregisteredCertContext"));
        PCUNREGISTERED_CERT_CONTEXT pCopyRaw = nullptr;
        hResult = CertDuplicateUnregisteredCertContext(pFound->get(), &pCopyRaw);
        UniqueUnregisteredCertContext pCopy(pCopyRaw);
        if (FAILED(hResult))
            return TRACE_FAIL_W(kOp, TEXT("CertDuplicateUnregisteredCertContext"), hResult,
                                TEXT("FAILED(hResult)"));
        hResult = NewText(kOp, pCopy->wszCSPName, size_t(lstrlenW(pCopy->wszCSPName)), &bstrCSPName,
                          TEXT("!lpwszCSPName"));
        if (FAILED(hResult))
            return hResult;
        m_pUnregsitedSignCertCtx = std::move(pCopy);
        TRACE_OK_W(kOp, TEXT("Select container certificate"));
    } else if (CheckCertSignatureAlg(pChosen.get(), kRsaSignatureAlgPrefix) == VURO_OK) {
        WString wstrProvider;
        hResult = ReadPrivateKeyProviderText(pChosen.get(), PP_NAME, &wstrProvider);
        if (FAILED(hResult))
            return TRACE_FAIL_W(kOp, TEXT("QueryCertContextInfo(QUERYID_PROVIDERNAME)"), hResult,
                                TEXT("FAILED(hResult)"));
        hResult = NewText(kOp, wstrProvider.c_str(), wstrProvider.size(), &bstrCSPName,
                          TEXT("!lpwszCSPName"));
        if (FAILED(hResult))
            return hResult;
        m_pCertContext = std::move(pChosen);
        TRACE_OK_W(kOp, TEXT("Select store certificate"));
    } else {
        return TRACE_FAIL_W(kOp, TEXT("Check certificate signature algorithm"),
                            VURO_E_INVALID_KEY_ALG, TEXT("Check certificate signature algorithm"));
    }
    TraceValueW("CSP name", bstrCSPName.get());
    *pbstrCSPName = bstrCSPName.release();
    return VURO_OK;
}

// ---- signing texts ----------------------------------------------------------------------

HRESULT CCryptoAgent::VURO_SignData(const WCHAR* bstrSourceMsg, const WCHAR* bstrHashAlg,
                                    BSTR* pbstrSignature) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SignData");
    TraceHelper trace(kOp);
    return Finish(SignText(kOp, bstrSourceMsg, bstrHashAlg, TRUE, pbstrSignature));
}

HRESULT CCryptoAgent::VURO_SignDataDetached(const WCHAR* bstrSourceMsg, const WCHAR* bstrHashAlg,
                                            BSTR* pbstrSignature) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SignDataDetached");
    TraceHelper trace(kOp);
    return Finish(SignText(kOp, bstrSourceMsg, bstrHashAlg, FALSE, pbstrSignature));
}

HRESULT CCryptoAgent::SignText(const WCHAR* pwszOp, const WCHAR* bstrSourceMsg,
                               const WCHAR* bstrHashAlg, BOOL bIncludeContent,
                               BSTR* pbstrSignature) {
    if (!CheckOut(pwszOp, pbstrSignature, TEXT("NULL == pbstrSignature")))
        return E_POINTER;
    UniqueBstr bstrSignature;
    const HRESULT hResult = RunGuarded(pwszOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (IsNullOrEmpty(bstrSourceMsg))
            return TRACE_FAIL_W(pwszOp, TEXT("Check parameter"), E_INVALIDARG,
                                TEXT("bstrSourceMsg == NULL || wcslen(bstrSourceMsg) == 0"));
        if (!HasSelection())
            return TRACE_FAIL_W(pwszOp, TEXT("Check certificate"), VURO_E_CERT_NOT_READY,
                                TEXT("m_pCertContext == NULL && NULL == m_pUnregsitedSignCertCtx"));
        TraceValueW("HashAlg", bstrHashAlg);

        // What is signed is the text's UTF-8 bytes, without a terminator.
        std::string strUtf8;
        HRESULT hr = UTF16ToUTF8(bstrSourceMsg, &strUtf8);
        if (TRACE_IF_W(FAILED(hr), pwszOp, TEXT("UTF16ToUTF8"), hr))
            return hr;
        const DWORD cbUtf8 = DWORD(strUtf8.size());
        TraceValueNumber("Source bytes", long(cbUtf8));
        const BYTE* pbContent = reinterpret_cast<const BYTE*>(strUtf8.c_str());

        const SelectedSigner selected(m_pCertContext.get(), m_pUnregsitedSignCertCtx.get());
        const SigningCredential& signer = selected.Get();
        hr = CheckHashAlgorithm(pwszOp, signer.Family(), bstrHashAlg);
        if (FAILED(hr))
            return hr;
        hr = SignDataWith(signer, pbContent, cbUtf8, bIncludeContent, bstrSignature.put());
        if (TRACE_IF_W(FAILED(hr), pwszOp, signer.Steps().pwszSignData, hr))
            return hr;
        TRACE_OK_W(pwszOp, signer.Steps().pwszSignData);
        return VURO_OK;
    });
    HandOutOrEmpty(hResult, bstrSignature, pbstrSignature);
    return hResult;
}

// ---- signing files -----------------------------------------------------------------------

namespace {

// CheckSource: the checks both file operations make on the source: a name,
// a selection, a file that exists and passes the path checks.
HRESULT CheckSource(const WCHAR* pwszOp, const WCHAR* bstrSrcFileName, bool bHasSelection) {
    if (IsNullOrEmpty(bstrSrcFileName))
        return TRACE_FAIL_W(pwszOp, TEXT("Check parameter"), E_INVALIDARG,
                            TEXT("bstrSrcFileName == NULL || wcslen(bstrSrcFileName) == 0"));
    if (!bHasSelection)
        return TRACE_FAIL_W(pwszOp, TEXT("Check certificate"), VURO_E_CERT_NOT_READY,
                            TEXT("m_pCertContext == NULL && NULL == m_pUnregsitedSignCertCtx"));
    TraceValueW("SrcFileName", bstrSrcFileName);
    return VURO_OK;
}

// The ending WriteFileSimple gives its temporary file's name: ".XXXXXXXX.tmp".
constexpr size_t kTemporarySuffixChars = 13;

HRESULT CheckSourcePath(const WCHAR* pwszOp, const WCHAR* bstrSrcFileName) {
    if (!PathFileExistsW(bstrSrcFileName))
        return FAIL_LAST_ERROR_W(pwszOp, TEXT("PathFileExists"), TEXT("bRetCode == FALSE"));
    const HRESULT hResult = IsMaliciousFilePathName(bstrSrcFileName, FILE_PATH_SOURCE);
    if (FAILED(hResult))
        return TRACE_FAIL_W(pwszOp, TEXT("IsMaliciousFilePathName (Source)"), hResult,
                            TEXT("FAILED(hResult)"));
    TRACE_OK_W(pwszOp, TEXT("IsMaliciousFilePathName (Source)"));
    return VURO_OK;
}

// OpenSource: the source opened once, shared with readers only (so on Windows
// nobody writes to it while it is signed). Everything after the path checks
// goes through this one handle: the size limit, the hash and the content are
// of the same file even when its name is given to another meanwhile, and
// what replaced the checked file before the opening must be a file too.
HRESULT OpenSource(const WCHAR* pwszOp, const WCHAR* bstrSrcFileName, UniqueFile* pSource) {
    UniqueFile hSource;
    if (const HRESULT hResult = OpenFileForSigning("OpenSource", bstrSrcFileName, &hSource);
        FAILED(hResult))
        return hResult;
    if (GetFileType(hSource.get()) != FILE_TYPE_DISK)
        return TRACE_FAIL_W(pwszOp, TEXT("GetFileType"), VURO_E_MALICIOUS_PATH,
                            TEXT("not a regular file"));
    *pSource = std::move(hSource);
    return VURO_OK;
}

} // namespace

HRESULT CCryptoAgent::VURO_SignFile(const WCHAR* bstrSrcFileName, const WCHAR* bstrHashAlg,
                                    BSTR* pbstrDestination) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SignFile");
    TraceHelper trace(kOp);
    if (!CheckOut(kOp, pbstrDestination, TEXT("NULL == pbstrDestination")))
        return Finish(E_POINTER);
    UniqueBstr bstrDestination;
    const HRESULT hResult = RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        return SignFileTo(bstrSrcFileName, bstrHashAlg, bstrDestination.put());
    });
    HandOutOrEmpty(hResult, bstrDestination, pbstrDestination);
    return Finish(hResult);
}

HRESULT CCryptoAgent::SignFileTo(const WCHAR* bstrSrcFileName, const WCHAR* bstrHashAlg,
                                 BSTR* pbstrDestination) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SignFile");
    HRESULT hResult = CheckSource(kOp, bstrSrcFileName, HasSelection());
    if (FAILED(hResult))
        return hResult;

    // The destination is the source's path and ".p7s"; one that would not fit
    // a path buffer, with the ending of the temporary name it is first
    // written under, is refused rather than cut short into another name.
    const size_t cchSource = size_t(lstrlenW(bstrSrcFileName));
    if (cchSource + kSignatureSuffixChars + kTemporarySuffixChars > size_t(MAX_PATH - 1))
        return TRACE_FAIL_W(kOp, TEXT("Make destination path"),
                            HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE),
                            TEXT("wcslen(bstrSrcFileName) + wcslen(L\".p7s.XXXXXXXX.tmp\") >= "
                                 "MAX_PATH"));
    const WString wstrDestination = WString(bstrSrcFileName) + kSignatureSuffix;

    hResult = CheckSourcePath(kOp, bstrSrcFileName);
    if (FAILED(hResult))
        return hResult;
    hResult = IsMaliciousFilePathName(wstrDestination.c_str(), FILE_PATH_DESTINATION);
    if (FAILED(hResult))
        return TRACE_FAIL_W(kOp, TEXT("IsMaliciousFilePathName (Destination)"), hResult,
                            TEXT("FAILED(hResult)"));
    TRACE_OK_W(kOp, TEXT("IsMaliciousFilePathName (Destination)"));

    // Held open until the message is written.
    UniqueFile hSource;
    hResult = OpenSource(kOp, bstrSrcFileName, &hSource);
    if (FAILED(hResult))
        return hResult;
    LARGE_INTEGER largeFileSize{};
    if (!GetFileSizeEx(hSource.get(), &largeFileSize))
        return FAIL_LAST_ERROR_W(kOp, TEXT("GetFileSizeEx"), TEXT("bRetCode == FALSE"));
    if (ULONGLONG(largeFileSize.QuadPart) > MAX_SIGN_FILE_SIZE)
        return TRACE_FAIL_W(kOp, TEXT("Check file size"), VURO_E_FILE_SIZE_LIMIT,
                            TEXT("largeFileSize.QuadPart > MAX_SIGN_FILE_SIZE"));
    TraceValueNumber("File size", long(largeFileSize.QuadPart));

    UniqueBstr bstrSignature;
    const SelectedSigner selected(m_pCertContext.get(), m_pUnregsitedSignCertCtx.get());
    const SigningCredential& signer = selected.Get();
    hResult = CheckHashAlgorithm(kOp, signer.Family(), bstrHashAlg);
    if (FAILED(hResult))
        return hResult;
    // The limit again, on the same handle: the file may grow while it is read.
    hResult =
        SignOpenFileWith(signer, hSource.get(), TRUE, MAX_SIGN_FILE_SIZE, bstrSignature.put());
    if (TRACE_IF_W(FAILED(hResult), kOp, signer.Steps().pwszSignFile, hResult))
        return hResult;
    TRACE_OK_W(kOp, TEXT("Sign file"));

    // The file holds the message's DER: the Base64 text decoded.
    std::string strBase64;
    hResult = UTF16ToUTF8(bstrSignature.get(), &strBase64);
    if (TRACE_IF_W(FAILED(hResult), kOp, TEXT("UTF16ToUTF8"), hResult))
        return hResult;
    bstrSignature.reset();
    std::vector<BYTE> der;
    hResult = Base64DecodeEx(int(strBase64.size()), &der, strBase64.c_str());
    if (TRACE_IF_W(FAILED(hResult), kOp, TEXT("Base64DecodeEx"), hResult))
        return hResult;
    std::string().swap(strBase64); // the text is not needed while the file is written

    hResult = WriteFileSimple(wstrDestination.c_str(), der.data(), DWORD(der.size()));
    if (FAILED(hResult))
        return TRACE_FAIL_W(kOp, TEXT("WriteFileSimple"), hResult,
                            TEXT("WriteFileSimple (Kernel) FAILED."));
    TRACE_OK_W(kOp, TEXT("WriteFileSimple"));
    TraceValueW("Destination", wstrDestination.c_str());
    UniqueBstr bstrDestination;
    hResult = NewText(kOp, wstrDestination.c_str(), wstrDestination.size(), &bstrDestination,
                      TEXT("NULL == bstrDestination"));
    if (FAILED(hResult))
        return hResult;
    *pbstrDestination = bstrDestination.release();
    return VURO_OK;
}

HRESULT CCryptoAgent::VURO_SignFileDetached(const WCHAR* bstrSrcFileName, const WCHAR* bstrHashAlg,
                                            BSTR* pbstrSignature) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SignFileDetached");
    TraceHelper trace(kOp);
    if (!CheckOut(kOp, pbstrSignature, TEXT("NULL == pbstrSignature")))
        return Finish(E_POINTER);
    UniqueBstr bstrSignature;
    const HRESULT hResult = RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        return SignFileDetachedTo(bstrSrcFileName, bstrHashAlg, bstrSignature.put());
    });
    HandOutOrEmpty(hResult, bstrSignature, pbstrSignature);
    return Finish(hResult);
}

HRESULT CCryptoAgent::SignFileDetachedTo(const WCHAR* bstrSrcFileName, const WCHAR* bstrHashAlg,
                                         BSTR* pbstrSignature) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SignFileDetached");
    HRESULT hResult = CheckSource(kOp, bstrSrcFileName, HasSelection());
    if (FAILED(hResult))
        return hResult;
    hResult = CheckSourcePath(kOp, bstrSrcFileName);
    if (FAILED(hResult))
        return hResult;
    UniqueFile hSource;
    hResult = OpenSource(kOp, bstrSrcFileName, &hSource);
    if (FAILED(hResult))
        return hResult;
    // No size limit: a detached message never holds the file.
    const SelectedSigner selected(m_pCertContext.get(), m_pUnregsitedSignCertCtx.get());
    const SigningCredential& signer = selected.Get();
    hResult = CheckHashAlgorithm(kOp, signer.Family(), bstrHashAlg);
    if (FAILED(hResult))
        return hResult;
    hResult = SignOpenFileWith(signer, hSource.get(), FALSE, kNoSigningSizeLimit, pbstrSignature);
    if (TRACE_IF_W(FAILED(hResult), kOp, signer.Steps().pwszSignFile, hResult))
        return hResult;
    TRACE_OK_W(kOp, TEXT("Sign file"));
    return VURO_OK;
}

// ---- questions about the selection ---------------------------------------------------------

HRESULT CCryptoAgent::VURO_GetCertInfo(const WCHAR* bstrInfoName, BSTR* pbstrInfo) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_GetCertInfo");
    TraceHelper trace(kOp);
    if (!CheckOut(kOp, pbstrInfo, TEXT("NULL == pbstrInfo")))
        return Finish(E_POINTER);
    UniqueBstr bstrInfo;
    const HRESULT hResult = RunGuarded(
        kOp, kOutOfMemoryStep, [&]() -> HRESULT { return CertInfo(bstrInfoName, bstrInfo.put()); });
    HandOutOrEmpty(hResult, bstrInfo, pbstrInfo);
    return Finish(hResult);
}

HRESULT CCryptoAgent::CertInfo(const WCHAR* bstrInfoName, BSTR* pbstrInfo) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_GetCertInfo");
    if (!HasSelection())
        return TRACE_FAIL_W(kOp, TEXT("Check certificate"), VURO_E_CERT_NOT_READY,
                            TEXT("NULL == m_pCertContext && NULL == m_pUnregsitedSignCertCtx"));
    TraceValueW("InfoName", bstrInfoName);

    WString wstrInfo;
    if (bstrInfoName != nullptr && lstrcmpiW(bstrInfoName, TEXT("ValidToDate")) == 0) {
        SYSTEMTIME stUtc{};
        HRESULT hResult = ReadCertificateNotAfter(SelectedCertificate(), &stUtc);
        if (FAILED(hResult))
            return TRACE_FAIL_W(kOp, TEXT("QueryCertContextInfo(QUERYID_TODATE)"), hResult,
                                TEXT("FAILED(hResult)"));
        // The zone's rule for that date, summer time included, not today's offset.
        SYSTEMTIME stLocal{};
        const BOOL bRetCode = SystemTimeToTzSpecificLocalTime(nullptr, &stUtc, &stLocal);
        if (0 == bRetCode)
            return FAIL_LAST_ERROR_W(kOp, TEXT("SystemTimeToTzSpecificLocalTime"),
                                     TEXT("0 == bRetCode"));
        wstrInfo = FormatValidToDate(stLocal);
    } else if (bstrInfoName != nullptr && lstrcmpiW(bstrInfoName, TEXT("CertType")) == 0) {
        const SelectedSigner selected(m_pCertContext.get(), m_pUnregsitedSignCertCtx.get());
        wstrInfo = KeyAlgorithmName(selected.Get().Family().Algorithm());
    } else {
        return TRACE_FAIL_W(kOp, TEXT("Check parameter"), E_INVALIDARG, TEXT("check parameter."));
    }
    UniqueBstr bstrInfo;
    const HRESULT hResult =
        NewText(kOp, wstrInfo.c_str(), wstrInfo.size(), &bstrInfo, TEXT("NULL == bstrInfo"));
    if (FAILED(hResult))
        return hResult;
    TraceValueW("Info", bstrInfo.get());
    *pbstrInfo = bstrInfo.release();
    return VURO_OK;
}

HRESULT CCryptoAgent::VURO_GetCSPInfo(BSTR* pbstrCSPInfo) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_GetCSPInfo");
    TraceHelper trace(kOp);
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbstrCSPInfo, TEXT("NULL == pbstrCSPInfo")))
            return E_POINTER;
        return orvane::answers::HandOutProviderNames(kOp, pbstrCSPInfo);
    }));
}

HRESULT CCryptoAgent::VURO_GetVersion(BSTR*) {
    TraceHelper trace(TEXT("CCryptoAgent::VURO_GetVersion"));
    return VURO_OK;
}

HRESULT CCryptoAgent::VURO_GetLastErrorDesc(BSTR* pbstrDesc) {
    TraceHelper trace(TEXT("CCryptoAgent::VURO_GetLastErrorDesc"));
    return m_lastResult.Describe(m_hModule, pbstrDesc);
}

// ---- WriteFileSimple -------------------------------------------------------------------

namespace {

// CreateTemporaryBeside: a new file, opened for writing and not shared, named
// pwszFilePath and ".XXXXXXXX.tmp" (eight random hexadecimal digits); created
// new, so never through a link. A name already taken is drawn again, a few
// times.
HRESULT CreateTemporaryBeside(const WCHAR* pwszOp, LPCWSTR pwszFilePath, WString* pstrTemporary,
                              UniqueFile* pFile) {
    constexpr int kAttempts = 8;
    for (int i = 0; i < kAttempts; ++i) {
        // "{XXXXXXXX-...}": the first group's eight digits.
        WString wstrGuid;
        const HRESULT hResult = CreateGUIDStr(&wstrGuid);
        if (TRACE_IF_W(FAILED(hResult), pwszOp, TEXT("CreateGUIDStr"), hResult))
            return hResult;
        WString strTemporary(pwszFilePath);
        strTemporary += TEXT('.');
        strTemporary.append(wstrGuid, 1, 8);
        strTemporary += TEXT(".tmp");
        UniqueFile hFile =
            UniqueFile::FromCreate(CreateFileW(strTemporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (hFile) {
            *pstrTemporary = std::move(strTemporary);
            *pFile = std::move(hFile);
            return VURO_OK;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    DWORD dwError = GetLastError();
    if (dwError == ERROR_FILE_EXISTS)
        dwError = ERROR_ALREADY_EXISTS; // as the path check says it
    SetLastError(dwError);
    return FAIL_LAST_ERROR_W(pwszOp, TEXT("CreateFile"), TEXT("INVALID_HANDLE_VALUE == hFile"));
}

// WriteAndFlush: all cbData bytes at pbData written to hFile and on the disk.
HRESULT WriteAndFlush(const WCHAR* pwszOp, HANDLE hFile, const BYTE* pbData, DWORD cbData) {
    DWORD cbDone = 0;
    while (cbDone < cbData) {
        DWORD cbWritten = 0;
        if (!WriteFile(hFile, pbData + cbDone, cbData - cbDone, &cbWritten, nullptr))
            return FAIL_LAST_ERROR_W(pwszOp, TEXT("WriteFile"), TEXT("bRetCode == FALSE"));
        if (cbWritten == 0)
            return TRACE_FAIL_W(pwszOp, TEXT("WriteFile"), HRESULT_FROM_WIN32(ERROR_WRITE_FAULT),
                                TEXT("0 == dwWritten"));
        cbDone += cbWritten;
    }
    if (!FlushFileBuffers(hFile))
        return FAIL_LAST_ERROR_W(pwszOp, TEXT("FlushFileBuffers"), TEXT("bRetCode == FALSE"));
    return VURO_OK;
}

} // namespace

HRESULT WriteFileSimple(LPCWSTR pwszFilePath, const BYTE* pbData, DWORD cbData) {
    constexpr const WCHAR* kOp = TEXT("WriteFileSimple");
    TraceHelper trace(kOp);
    if (IsNullOrEmpty(pwszFilePath) || (pbData == nullptr && cbData != 0))
        return TRACE_FAIL_W(kOp, TEXT("Check parameter"), E_INVALIDARG,
                            TEXT("NULL == pwszFilePath || (NULL == pbData && cbData != 0)"));
    if (size_t(lstrlenW(pwszFilePath)) + kTemporarySuffixChars > size_t(MAX_PATH - 1))
        return TRACE_FAIL_W(kOp, TEXT("Make temporary path"),
                            HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE),
                            TEXT("wcslen(pwszFilePath) + wcslen(L\".XXXXXXXX.tmp\") >= MAX_PATH"));
    // Written whole under a temporary name beside it, then renamed: a writer
    // that dies on the way leaves that temporary file, never part of a
    // signature under the final name. The rename never replaces: whatever
    // took the name after the path checks (a file, or a link to somewhere
    // else) is left alone.
    WString strTemporary;
    UniqueFile hFile;
    HRESULT hResult = CreateTemporaryBeside(kOp, pwszFilePath, &strTemporary, &hFile);
    if (FAILED(hResult))
        return hResult;
    hResult = WriteAndFlush(kOp, hFile.get(), pbData, cbData);
    if (SUCCEEDED(hResult) && !CloseHandle(hFile.release()))
        hResult = FAIL_LAST_ERROR_W(kOp, TEXT("CloseHandle"), TEXT("bRetCode == FALSE"));
    if (SUCCEEDED(hResult) &&
        !MoveFileExW(strTemporary.c_str(), pwszFilePath, MOVEFILE_WRITE_THROUGH))
        hResult = FAIL_LAST_ERROR_W(kOp, TEXT("MoveFileEx"), TEXT("bRetCode == FALSE"));
    if (FAILED(hResult)) {
        hFile.reset();
        if (!DeleteFileW(strTemporary.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            TRACE_FAILED_W(kOp, TEXT("DeleteFile"), HResultFromLastError(),
                           TEXT("bRetCode == FALSE"));
        return hResult;
    }
    TRACE_OK_W(kOp, TEXT("MoveFileEx"));
    return VURO_OK;
}

} // namespace orvane::signing
