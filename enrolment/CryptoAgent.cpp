#include "enrolment/CryptoAgent.h"

#include "certificates/AgentAnswers.h"
#include "certificates/CertificateQueries.h"
#include "certificates/CspQueries.h"
#include "enrolment/CertificateImport.h"
#include "enrolment/CertificateRequisition.h"
#include "methods/AgentGuards.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"
#include "certificates/VendorCsp.h"

#include <wincrypt.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#define TRACE_MODULE "CryptoAgent"

namespace {

using orvane::CheckOut;
using orvane::RunGuarded;

// The step an operation that ran out of memory names in its trace line.
constexpr const WCHAR* kOutOfMemoryStep = TEXT("New memory");

// The longest subject name a request is made for. Its request, in Base64,
// stays far below the 1 MiB a browser takes from a host (65,536 characters
// of three UTF-8 bytes each are 262,144 Base64 characters); real names are a
// few hundred characters at most.
constexpr size_t kMaxSubjectChars = 65536;

// The operating system's base RSA software CSP: the permission test always
// runs there, whatever CSP the page chose.
constexpr const WCHAR* kBaseProvider = TEXT("Microsoft Base Cryptographic Provider v1.0");

bool IsNullOrEmpty(const WCHAR* pwsz) {
    return pwsz == nullptr || pwsz[0] == 0;
}

// RequireText: whether the page gave a non-empty text. A missing one is
// traced under pwszStep with its reason (the call then fails with
// E_INVALIDARG); a given one is traced as pwszOkStep, when there is one.
bool RequireText(const WCHAR* pwszOp, const WCHAR* pwszText, const WCHAR* pwszStep,
                 const WCHAR* pwszReason, const WCHAR* pwszOkStep) {
    if (IsNullOrEmpty(pwszText)) {
        TRACE_FAILED_W(pwszOp, pwszStep, E_INVALIDARG, pwszReason);
        return false;
    }
    if (pwszOkStep != nullptr)
        TRACE_OK_W(pwszOp, pwszOkStep);
    return true;
}

// Removes U+0020 from both ends; tabs and other blanks are kept.
WString TrimSpaces(const WCHAR* pwsz) {
    // One copy of the text, not two: certificates and envelopes are long.
    size_t cch = 0;
    while (pwsz[cch] != 0)
        ++cch;
    size_t nFirst = 0;
    while (nFirst < cch && pwsz[nFirst] == WCHAR(' '))
        ++nFirst;
    while (cch > nFirst && pwsz[cch - 1] == WCHAR(' '))
        --cch;
    return WString(pwsz + nFirst, cch - nFirst);
}

bool Contains(const WString& wstr, const WCHAR* pwszPart) {
    return wstr.find(pwszPart) != WString::npos;
}

// Hands the text out as a new BSTR.
HRESULT HandOutBstr(const WCHAR* pwsz, size_t cch, BSTR* pbstr) {
    BSTR bstr = SysAllocStringLen(pwsz, UINT(cch));
    if (bstr == nullptr)
        return E_OUTOFMEMORY;
    *pbstr = bstr;
    return VURO_OK;
}

HRESULT HandOutBstr(const WString& wstr, BSTR* pbstr) {
    return HandOutBstr(wstr.c_str(), wstr.size(), pbstr);
}

// Widens the builder's ANSI request text with the ANSI code page.
HRESULT WidenAnsi(const char* psz, WString* pwstr) {
    const int cch = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    if (cch <= 0)
        return FailureFromLastError();
    WString wstr(size_t(cch), WCHAR(0));
    if (MultiByteToWideChar(CP_ACP, 0, psz, -1, wstr.data(), cch) != cch)
        return FailureFromLastError();
    wstr.resize(size_t(cch) - 1); // the terminator was counted
    *pwstr = std::move(wstr);
    return VURO_OK;
}

} // namespace

CCryptoAgent::CCryptoAgent(HMODULE hTextModule) noexcept : m_hTextModule(hTextModule) {}

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

HRESULT CCryptoAgent::VURO_SetCSPInfo(LONG lKeyLength, const WCHAR* bstrCSPName,
                                      VARIANT_BOOL* pbResult) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SetCSPInfo");
    TraceHelper trace(kOp);
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbResult, TEXT("NULL == pbResult")))
            return E_POINTER;
        TraceValueNumber("lKeyLength", long(lKeyLength));
        TraceValueW("bstrCSPName", bstrCSPName);
        if (!RequireText(kOp, bstrCSPName, TEXT("Check parameter"),
                         TEXT("bstrCSPName == NULL || wcslen(bstrCSPName) == 0"),
                         TEXT("Check parameter")))
            return E_INVALIDARG;

        WString wstrCSPName = TrimSpaces(bstrCSPName);
        if (wstrCSPName.size() == 0) {
            TRACE_FAILED_W(kOp, TEXT("CSP name cannot be NULL."), E_INVALIDARG,
                           TEXT("wstrCSPName.size() == 0"));
            return E_INVALIDARG;
        }
        TRACE_OK_W(kOp, TEXT("Trim CSP name"));

        // The operating system's software CSPs only make keys of these sizes;
        // a vendor CSP decides for itself.
        if (IsMicrosoftCSP(wstrCSPName)) {
            if (Contains(wstrCSPName, TEXT("Base"))) {
                if (lKeyLength != 512 && lKeyLength != 1024) {
                    TRACE_FAILED_W(kOp, TEXT("key length doesnot support(base)."),
                                   VURO_E_KEY_LENGTH, TEXT("1"));
                    return VURO_E_KEY_LENGTH;
                }
            } else if (lKeyLength != 512 && lKeyLength != 1024 && lKeyLength != 2048 &&
                       lKeyLength != 4096) {
                TRACE_FAILED_W(kOp, TEXT("key length doesnot support(non-base)."),
                               VURO_E_KEY_LENGTH, TEXT("1"));
                return VURO_E_KEY_LENGTH;
            }
        }
        TRACE_OK_W(kOp, TEXT("Check key length"));

        // Pages that HTML-escape the name send "&amp;" for "&"; only the first
        // one is undone, as pages have always seen it.
        const WString wstrEscaped = TEXT("&amp;");
        if (const size_t nPos = wstrCSPName.find(wstrEscaped); nPos != WString::npos)
            wstrCSPName.replace(nPos, wstrEscaped.size(), 1, WCHAR('&'));

        m_wstrCSPName = std::move(wstrCSPName);
        m_lKeyLength = lKeyLength;
        *pbResult = VARIANT_TRUE;
        TRACE_OK_W(kOp, TEXT("Store CSP name and key length"));
        return VURO_OK;
    }));
}

HRESULT CCryptoAgent::VURO_SetKeyAlgorithm(const WCHAR* bstrKeyAlgorithm, VARIANT_BOOL* pbResult) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_SetKeyAlgorithm");
    TraceHelper trace(kOp);
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbResult, TEXT("NULL == pbResult")))
            return E_POINTER;
        TraceValueW("bstrKeyAlgorithm", bstrKeyAlgorithm);
        if (!RequireText(kOp, bstrKeyAlgorithm, TEXT("Check parameter"),
                         TEXT("bstrKeyAlgorithm == NULL || wcslen(bstrKeyAlgorithm) == 0"),
                         TEXT("Check parameter")))
            return E_INVALIDARG;

        WString wstrKeyAlgorithm = TrimSpaces(bstrKeyAlgorithm);
        const ::KeyAlgorithm eKeyAlgorithm = ParseKeyAlgorithm(wstrKeyAlgorithm);
        if (eKeyAlgorithm == ::KeyAlgorithm::Unset) {
            TRACE_FAILED_W(kOp, TEXT("key algorithm does not support."), VURO_E_INVALID_KEY_ALG,
                           TEXT("1"));
            return VURO_E_INVALID_KEY_ALG;
        }
        TRACE_OK_W(kOp, TEXT("Check key algorithm"));

        m_wstrKeyAlgorithm = std::move(wstrKeyAlgorithm);
        m_eKeyAlgorithm = eKeyAlgorithm;
        *pbResult = VARIANT_TRUE;
        return VURO_OK;
    }));
}

HRESULT CCryptoAgent::VURO_ImportEncryptCert(const WCHAR* bstrEncryptedPrivateKey,
                                             const WCHAR* bstrP7Cert,
                                             const WCHAR* bstrContainerName, LONG lFlags,
                                             VARIANT_BOOL* pbResult) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_ImportEncryptCert");
    TraceHelper trace(kOp);
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbResult, TEXT("NULL == pbResult")))
            return E_POINTER;
        TraceValueW("bstrContainerName", bstrContainerName);
        TraceValueNumber("lFlags", long(lFlags));
        if (IsNullOrEmpty(bstrEncryptedPrivateKey) || IsNullOrEmpty(bstrP7Cert) ||
            IsNullOrEmpty(bstrContainerName)) {
            TRACE_FAILED_W(kOp, TEXT("Check parameter"), E_INVALIDARG,
                           TEXT("bstrEncryptedPrivateKey == NULL || bstrP7Cert == NULL || "
                                "bstrContainerName == NULL || 0 == wcslen(bstrEncryptedPrivateKey) "
                                "|| 0 == wcslen(bstrP7Cert) || 0 == wcslen(bstrContainerName)"));
            return E_INVALIDARG;
        }
        TRACE_OK_W(kOp, TEXT("Check parameter"));

        WString wstrEncryptedPrivateKey = TrimSpaces(bstrEncryptedPrivateKey);
        WString wstrCert = TrimSpaces(bstrP7Cert);
        // The page names the container it installs into; it is the agent's
        // container from now on, whether or not the import succeeds.
        m_wstrContainerName = TrimSpaces(bstrContainerName);

        const HRESULT hResult = ImportEncryptCertEx(m_wstrCSPName, m_wstrContainerName,
                                                    m_eKeyAlgorithm, wstrEncryptedPrivateKey,
                                                    wstrCert, int(m_lKeyLength), DWORD(lFlags));
        if (FAILED(hResult)) {
            TRACE_FAILED_W(kOp, TEXT("ImportEncryptCertEx"), hResult, TEXT("FAILED(hResult)"));
            return hResult;
        }
        TRACE_OK_W(kOp, TEXT("ImportEncryptCertEx"));
        *pbResult = VARIANT_TRUE;
        return VURO_OK;
    }));
}

HRESULT CCryptoAgent::VURO_GetContainer(BSTR* pbstrContainer) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_GetContainer");
    TraceHelper trace(kOp);
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbstrContainer, TEXT("NULL == pbstrContainer")))
            return E_POINTER;
        TraceValueW("Container", m_wstrContainerName.c_str());
        return HandOutBstr(m_wstrContainerName, pbstrContainer);
    }));
}

HRESULT CCryptoAgent::VURO_ImportSignCert(LONG lCertType, const WCHAR* bstrSignCert,
                                          const WCHAR* bstrContainerName, VARIANT_BOOL* pbResult) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_ImportSignCert");
    TraceHelper trace(kOp);
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbResult, TEXT("NULL == pbResult")))
            return E_POINTER;
        TraceValueNumber("lCertType", long(lCertType));
        TraceValueW("bstrContainerName", bstrContainerName);
        if (!RequireText(kOp, bstrSignCert, TEXT("bstrSignCert Invalid parameter."),
                         TEXT("bstrSignCert == NULL || 0 == wcslen(bstrSignCert)"),
                         TEXT("Check parameter(bstrSignCert)")) ||
            !RequireText(kOp, bstrContainerName, TEXT("bstrContainerName Invalid parameter."),
                         TEXT("bstrContainerName == NULL || 0 == wcslen(bstrContainerName)"),
                         TEXT("Check parameter(bstrContainerName)")))
            return E_INVALIDARG;

        WString wstrCert = TrimSpaces(bstrSignCert);
        const WString wstrContainer = TrimSpaces(bstrContainerName);
        // A name of spaces alone would open the user's default container and
        // bind the certificate to an unrelated key.
        if (wstrContainer.empty()) {
            TRACE_FAILED_W(kOp, TEXT("bstrContainerName Invalid parameter."), E_INVALIDARG,
                           TEXT("wstrContainerName.size() == 0"));
            return E_INVALIDARG;
        }
        // A single certificate sits on the key exchange key; every other type
        // is the signing half of a pair.
        const DWORD dwKeySpec = lCertType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;

        const HRESULT hResult =
            ImportSignCert(m_eKeyAlgorithm, wstrCert, dwKeySpec, m_wstrCSPName, wstrContainer);
        if (FAILED(hResult)) {
            TRACE_FAILED_W(kOp, TEXT("ImportSignCert"), hResult, TEXT("FAILED(hResult)"));
            return hResult;
        }
        TRACE_OK_W(kOp, TEXT("ImportSignCert"));
        *pbResult = VARIANT_TRUE;
        return VURO_OK;
    }));
}

HRESULT CCryptoAgent::VURO_PKCS10CertRequisition(const WCHAR* bstrSubjectDN, LONG lCertType,
                                                 LONG lGenKeyFlags, BSTR* pbstrRequest) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_PKCS10CertRequisition");
    TraceHelper trace(kOp);
    if (pbstrRequest == nullptr) {
        TRACE_FAILED_W(kOp, TEXT("Check parameter"), E_POINTER, TEXT("NULL == pbstrRequest"));
        return Finish(E_POINTER);
    }
    BSTR bstrRequest = nullptr;
    const HRESULT hResult = RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        TraceValueW("bstrSubjectDN", bstrSubjectDN);
        TraceValueNumber("lCertType", long(lCertType));
        TraceValueNumber("lGenKeyFlags", long(lGenKeyFlags));
        if (!RequireText(kOp, bstrSubjectDN, TEXT("Check parameter"),
                         TEXT("bstrSubjectDN == NULL || 0 == wcslen(bstrSubjectDN)"), nullptr))
            return E_INVALIDARG;
        if (1 != lCertType && 2 != lCertType) {
            TRACE_FAILED_W(kOp, TEXT("Check parameter"), E_INVALIDARG,
                           TEXT("(1 != lCertType && 2 != lCertType)"));
            return E_INVALIDARG;
        }
        // A name this long makes a request no browser takes back from a host:
        // refused before a container or key is made for it.
        if (WString(bstrSubjectDN).size() > kMaxSubjectChars) {
            TRACE_FAILED_W(kOp, TEXT("Check parameter"), VURO_E_DATA_LENGTH_LIMIT,
                           TEXT("wcslen(bstrSubjectDN) > kMaxSubjectChars"));
            return VURO_E_DATA_LENGTH_LIMIT;
        }
        TRACE_OK_W(kOp, TEXT("Check parameter"));

        if (m_eKeyAlgorithm == ::KeyAlgorithm::Unset) {
            TRACE_FAILED_W(kOp, TEXT("Invalid key algorithm."), VURO_E_INVALID_KEY_ALG,
                           TEXT("true"));
            return VURO_E_INVALID_KEY_ALG;
        }
        TRACE_OK_W(kOp, TEXT("Check key algorithm"));

        // One certificate uses the key exchange pair; a pair request's own key
        // is the signing one.
        const DWORD dwKeySpec = lCertType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        std::string strRequest;
        WString wstrContainer;
        HRESULT hrBuild = PKCS10CertRequisition(
            strRequest, wstrContainer, m_wstrCSPName.c_str(), bstrSubjectDN, DWORD(lCertType),
            dwKeySpec, m_eKeyAlgorithm, DWORD(m_lKeyLength), DWORD(lGenKeyFlags));
        if (TRACE_IF_W(FAILED(hrBuild), kOp, TEXT("PKCS10CertRequisition"), hrBuild))
            return hrBuild;
        TRACE_OK_W(kOp, TEXT("PKCS10CertRequisition"));
        // The keys exist from here on: remember where, even if the text
        // cannot be handed out below.
        m_wstrContainerName = std::move(wstrContainer);
        TraceValueW("Container", m_wstrContainerName.c_str());

        WString wstrRequest;
        hrBuild = WidenAnsi(strRequest.c_str(), &wstrRequest);
        if (FAILED(hrBuild)) {
            TRACE_FAILED_W(kOp, TEXT("MultiByteToWideChar"), hrBuild, TEXT("FAILED(hResult)"));
            return hrBuild;
        }
        return HandOutBstr(wstrRequest, &bstrRequest);
    });
    // The page always gets a text: the request, or an empty one.
    if (SUCCEEDED(hResult)) {
        *pbstrRequest = bstrRequest;
        return Finish(hResult);
    }
    *pbstrRequest = SysAllocString(TEXT(""));
    return Finish(hResult);
}

HRESULT CCryptoAgent::VURO_GetAllCertInfo(BSTR* pbstrCertInfo) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_GetAllCertInfo");
    TraceHelper trace(kOp);
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbstrCertInfo, TEXT("NULL == pbstrCertInfo")))
            return E_POINTER;
        UniqueStore hCertStore(
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, TEXT("My")));
        if (!hCertStore) {
            return FAIL_LAST_ERROR_W(kOp, TEXT("CertOpenStore"), TEXT("hCertStore == NULL"));
        }
        TRACE_OK_W(kOp, TEXT("CertOpenStore"));

        WString wstrInfo;
        const HRESULT hResult = GetAllCertificatesInfoinStore(&wstrInfo, hCertStore.get());
        if (TRACE_IF_W(FAILED(hResult), kOp, TEXT("GetAllCertificatesInfoinStore"), hResult))
            return hResult;
        TRACE_OK_W(kOp, TEXT("GetAllCertificatesInfoinStore"));
        return HandOutBstr(wstrInfo.c_str(), size_t(lstrlenW(wstrInfo.c_str())), pbstrCertInfo);
    }));
}

HRESULT CCryptoAgent::VURO_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbResult) {
    constexpr const WCHAR* kOp = TEXT("CCryptoAgent::VURO_HavePermissiontoGenerateKeyPair");
    TraceHelper trace(kOp);
    return Finish(RunGuarded(kOp, kOutOfMemoryStep, [&]() -> HRESULT {
        if (!CheckOut(kOp, pbResult, TEXT("NULL == pbResult")))
            return E_POINTER;
        *pbResult = VARIANT_FALSE;

        WString wstrNames;
        HRESULT hResult = GetAllCSPName(&wstrNames);
        if (TRACE_IF_W(FAILED(hResult), kOp, TEXT("GetAllCSPName"), hResult))
            return hResult;
        if (!Contains(wstrNames, kBaseProvider)) {
            TRACE_FAILED_W(kOp, TEXT("Find Microsoft Base Cryptographic Provider v1.0"),
                           E_ACCESSDENIED, TEXT("NULL == wcsstr(wstrCSPNames, kBaseProvider)"));
            return E_ACCESSDENIED;
        }
        TRACE_OK_W(kOp, TEXT("Find Microsoft Base Cryptographic Provider v1.0"));

        WString wstrContainer;
        hResult = CreateGUIDStr(&wstrContainer);
        if (TRACE_IF_W(FAILED(hResult), kOp, TEXT("CreateGUIDStr"), hResult))
            return hResult;

        {
            // The provider handle is ours on every path; released before the
            // container goes.
            UniqueProvider provider;
            std::vector<BYTE> publicKey;
            hResult = CreatePublicKey(wstrContainer.c_str(), nullptr, publicKey, 1024,
                                      kBaseProvider, orvane::keys::FamilyFor(::KeyAlgorithm::Rsa),
                                      AT_KEYEXCHANGE, TRUE, provider, 0);
        }
        if (TRACE_IF_W(FAILED(hResult), kOp, TEXT("CreatePublicKey"), hResult))
            return hResult;
        TRACE_OK_W(kOp, TEXT("CreatePublicKey"));
        *pbResult = VARIANT_TRUE;

        // The key pair only proved the point: take its container away again.
        HCRYPTPROV hDelete = 0;
        if (!CryptAcquireContextW(&hDelete, wstrContainer.c_str(), kBaseProvider, PROV_RSA_FULL,
                                  CRYPT_DELETEKEYSET)) {
            // The answer stands; a container left behind is worth a warning.
            TRACE_FAILED_W(kOp, TEXT("Delete container"), FailureFromLastError(),
                           TEXT("FALSE == CryptAcquireContextW"));
        } else {
            TRACE_OK_W(kOp, TEXT("Delete container"));
        }
        return VURO_OK;
    }));
}

HRESULT CCryptoAgent::VURO_GetLastErrorDesc(BSTR* pbstrDesc) {
    TraceHelper trace(TEXT("CCryptoAgent::VURO_GetLastErrorDesc"));
    return m_lastResult.Describe(m_hTextModule, pbstrDesc);
}
