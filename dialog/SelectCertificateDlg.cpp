#include "dialog/SelectCertificateDlg.h"

#include "certificates/CertificateQueries.h"
#include "foundation/Encodings.h"
#include "dialog/DialogResources.h"
#include "foundation/Trace.h"
#include "selection/CertificateFilter.h"

#include <algorithm>
#include <memory>
#include <new>

#define TRACE_MODULE "SelectCertificateDlg"

using namespace orvane::dialog;

namespace {

// LoadResourceText: string uId of hModule, cut at cchMax characters. False
// (last error set by the loader) when the module has no such string.
bool LoadResourceText(HMODULE hModule, UINT uId, size_t cchMax, WString& strText) {
    std::vector<WCHAR> buffer(cchMax + 1, 0);
    const int nRetCode = LoadStringW(hModule, uId, buffer.data(), static_cast<int>(buffer.size()));
    if (nRetCode == 0)
        return false;
    strText.assign(buffer.data(), static_cast<size_t>(nRetCode));
    return true;
}

// BuildItem: the row of one certificate.
HRESULT BuildItem(HMODULE hModule, PCCERT_CONTEXT pCert, CERTIFICATE_DISPLAY_ITEM& item) {
    const WCHAR* op = TEXT("CSelectCertificateDlg::LoadCertificates");
    item.pCertContext = pCert;
    item.bHardwareKey = HasHardwareKey(pCert);

    WString subject;
    HRESULT hResult = GetCertSubject(CERT_X500_NAME_STR, pCert, &subject);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("QueryCertContextInfo (Subject)"), hResult))
        return hResult;
    item.strName = FindNameAttribute(subject.c_str(), TEXT("CN"), kMaxItemName);

    WString issuer;
    hResult = GetCertIssuer(pCert, &issuer);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("QueryCertContextInfo (Issuer)"), hResult))
        return hResult;
    WString strPattern;
    if (!LoadResourceText(hModule, IDS_ISSUER, kMaxItemLine, strPattern))
        return FAIL_LAST_ERROR_W(op, TEXT("LoadString (Issuer)"), TEXT("nRetCode == 0"));
    WString strIssuerName = FindNameAttribute(issuer.c_str(), TEXT("O"), kMaxIssuerValue);
    if (strIssuerName.empty())
        strIssuerName = FindNameAttribute(issuer.c_str(), TEXT("CN"), kMaxIssuerValue);
    item.strIssuer = FormatResourceText(strPattern.c_str(), {strIssuerName.c_str()}, kMaxItemLine);

    std::vector<BYTE> serial;
    hResult = GetCertSerialNumber(pCert, &serial);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("QueryCertContextInfo (Serial number"), hResult))
        return hResult;
    WString serialText;
    hResult = ConvertBinaryDataToString(DWORD(serial.size()), &serialText, serial.data());
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("FormatStringFromData (Serial number"), hResult))
        return hResult;
    if (!LoadResourceText(hModule, IDS_SERIAL_NUMBER, kMaxItemLine, strPattern))
        return FAIL_LAST_ERROR_W(op, TEXT("LoadString (Serial number)"), TEXT("nRetCode == 0"));
    item.strSerialNumber =
        FormatResourceText(strPattern.c_str(), {serialText.c_str()}, kMaxItemLine);

    SYSTEMTIME stFrom{};
    SYSTEMTIME stTo{};
    hResult = GetCertFromDate(pCert, &stFrom);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("QueryCertContextInfo (From-date"), hResult))
        return hResult;
    hResult = GetCertToDate(pCert, &stTo);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("QueryCertContextInfo (To-date"), hResult))
        return hResult;
    if (!LoadResourceText(hModule, IDS_VALID_DATE, kMaxItemLine, strPattern))
        return FAIL_LAST_ERROR_W(op, TEXT("LoadString (Valid date)"), TEXT("nRetCode == 0"));
    item.strValidDate = FormatResourceText(strPattern.c_str(),
                                           {int(stFrom.wYear), int(stFrom.wMonth), int(stFrom.wDay),
                                            int(stTo.wYear), int(stTo.wMonth), int(stTo.wDay)},
                                           kMaxItemLine);
    return VURO_OK;
}

bool IsSpace(WCHAR c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::array<RowTextLine, 4> RowTextLines(const CERTIFICATE_DISPLAY_ITEM& item, UINT uDpi,
                                        bool bModernSystem) {
    using orvane::dialog::RowLine;
    using orvane::dialog::TextOrigin;
    const orvane::dialog::FontSpec name = orvane::dialog::NameFont(uDpi, bModernSystem);
    const orvane::dialog::FontSpec detail = orvane::dialog::DetailFont(uDpi, bModernSystem);
    return {{{&item.strName, name, TextOrigin(RowLine::Name, uDpi)},
             {&item.strIssuer, detail, TextOrigin(RowLine::Issuer, uDpi)},
             {&item.strSerialNumber, detail, TextOrigin(RowLine::Serial, uDpi)},
             {&item.strValidDate, detail, TextOrigin(RowLine::Validity, uDpi)}}};
}

WString FindNameAttribute(const WString& strName, const WCHAR* pwszKey, size_t cchMax) {
    const WString key = WString(pwszKey) + TEXT("=");
    size_t pos = 0;
    while ((pos = strName.find(key, pos)) != WString::npos) {
        // An attribute name starts the text or follows a separator (", " between
        // relative names, " + " inside a multi-valued one).
        size_t before = pos;
        while (before > 0 && IsSpace(strName[before - 1]))
            --before;
        if (before == 0 || strName[before - 1] == ',' || strName[before - 1] == '+' ||
            strName[before - 1] == ';') {
            const size_t start = pos + key.size();
            if (start < strName.size() && strName[start] == '"') {
                // A quoted value (some platforms quote despite being asked
                // not to): up to the closing quote, "" standing for one.
                WString value;
                for (size_t i = start + 1; i < strName.size(); ++i) {
                    if (strName[i] == '"') {
                        if (i + 1 < strName.size() && strName[i + 1] == '"') {
                            value.push_back('"');
                            ++i;
                            continue;
                        }
                        break;
                    }
                    value.push_back(strName[i]);
                }
                return value.substr(0, cchMax);
            }
            size_t end = strName.find(',', start);
            if (end == WString::npos)
                end = strName.size();
            return strName.substr(start, std::min(end - start, cchMax));
        }
        pos += key.size();
    }
    return WString();
}

WString FormatResourceText(const WCHAR* pwszPattern, std::initializer_list<FormatArgument> args,
                           size_t cchMax) {
    WString out;
    if (pwszPattern == nullptr)
        return out;
    auto next = args.begin();
    for (const WCHAR* p = pwszPattern; *p != 0 && out.size() < cchMax; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        const WCHAR* spec = p + 1;
        if (*spec == '%') {
            out.push_back('%');
            p = spec;
            continue;
        }
        bool bZeroPad = false;
        size_t width = 0;
        if (*spec == '0') {
            bZeroPad = true;
            ++spec;
        }
        while (*spec >= '0' && *spec <= '9' && width < 64)
            width = width * 10 + size_t(*spec++ - '0');
        if (spec[0] == 'w' && spec[1] == 's') {
            if (next != args.end() && next->pwszText != nullptr)
                out.append(next->pwszText);
            if (next != args.end())
                ++next;
            p = spec + 1;
        } else if (*spec == 's') {
            if (next != args.end() && next->pwszText != nullptr)
                out.append(next->pwszText);
            if (next != args.end())
                ++next;
            p = spec;
        } else if (*spec == 'd') {
            if (next != args.end()) {
                const long lValue = next->lNumber;
                ++next;
                unsigned long ulValue = lValue < 0 ? 0ul - static_cast<unsigned long>(lValue)
                                                   : static_cast<unsigned long>(lValue);
                WString digits;
                do {
                    digits.insert(digits.begin(), WCHAR('0' + ulValue % 10));
                    ulValue /= 10;
                } while (ulValue != 0);
                const size_t cchSign = lValue < 0 ? 1 : 0;
                const size_t cchPad =
                    width > digits.size() + cchSign ? width - digits.size() - cchSign : 0;
                if (!bZeroPad)
                    out.append(cchPad, WCHAR(' '));
                if (lValue < 0)
                    out.push_back('-');
                if (bZeroPad)
                    out.append(cchPad, WCHAR('0'));
                out.append(digits);
            }
            p = spec;
        } else {
            // Not a conversion we know: keep it as written.
            out.push_back('%');
        }
    }
    if (out.size() > cchMax)
        out.resize(cchMax);
    return out;
}

bool HasHardwareKey(PCCERT_CONTEXT pCertContext) {
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKey = 0;
    DWORD dwKeySpec = 0;
    BOOL bCallerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hKey, &dwKeySpec,
                                           &bCallerFree))
        return false;
    UniqueProvider owned(bCallerFree ? static_cast<HCRYPTPROV>(hKey) : 0);
    DWORD dwImpType = 0;
    DWORD cbImpType = sizeof(dwImpType);
    // A provider that cannot say what it is counts as software.
    if (!CryptGetProvParam(static_cast<HCRYPTPROV>(hKey), PP_IMPTYPE,
                           reinterpret_cast<BYTE*>(&dwImpType), &cbImpType, 0))
        return false;
    return (dwImpType & (CRYPT_IMPL_HARDWARE | CRYPT_IMPL_REMOVABLE)) != 0;
}

void SortCertificateItems(std::vector<CERTIFICATE_DISPLAY_ITEM>& items) {
    std::stable_sort(items.begin(), items.end(),
                     [](const CERTIFICATE_DISPLAY_ITEM& a, const CERTIFICATE_DISPLAY_ITEM& b) {
                         if (a.bHardwareKey != b.bHardwareKey)
                             return a.bHardwareKey;
                         return lstrcmpiW(a.strName.c_str(), b.strName.c_str()) < 0;
                     });
}

HRESULT LoadCertificates(HMODULE hResourceModule, HCERTSTORE hCertStore,
                         std::vector<UniqueCertContext>& certificates,
                         std::vector<CERTIFICATE_DISPLAY_ITEM>& items) {
    TraceHelper trace(TEXT("CSelectCertificateDlg::LoadCertificates"));
    const WCHAR* op = TEXT("CSelectCertificateDlg::LoadCertificates");
    std::vector<UniqueCertContext> vtrCertificates;
    std::vector<CERTIFICATE_DISPLAY_ITEM> vtrItems;
    try {
        HRESULT hResult = ExtractCertificatesFromStore(hCertStore, vtrCertificates);
        if (TRACE_IF_W(FAILED(hResult), op, TEXT("ExtractCertificatesFromStore"), hResult))
            return hResult;
        vtrItems.reserve(vtrCertificates.size());
        for (const UniqueCertContext& cert : vtrCertificates) {
            CERTIFICATE_DISPLAY_ITEM item;
            hResult = BuildItem(hResourceModule, cert.get(), item);
            if (FAILED(hResult))
                return hResult;
            vtrItems.push_back(std::move(item));
        }
        if (vtrItems.size() > 1)
            SortCertificateItems(vtrItems);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL_W(op, TEXT("New memory"), E_OUTOFMEMORY, TEXT("std::bad_alloc"));
    }
    TRACE_OK_W(op, TEXT("LoadCertificates"));
    certificates = std::move(vtrCertificates);
    items = std::move(vtrItems);
    return VURO_OK;
}

HRESULT CSelectCertificateDlgModel::Initialize(const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams,
                                               bool bModernSystem) {
    const WCHAR* op = TEXT("CSelectCertificateDlg::OnInitDialog");
    HRESULT hResult = VURO_OK;
    if (pParams == nullptr) {
        hResult = TRACE_FAIL_W(op, TEXT("Check lParam passed to InitalDialog"), E_INVALIDARG,
                               TEXT("lParam == NULL"));
        OnInitFailed(hResult);
        return hResult;
    }
    if (pParams->hResourceModule != nullptr)
        m_hResourceModule = pParams->hResourceModule;
    m_strDisplayText.clear();
    if (pParams->pwszDisplayText != nullptr) {
        // A longer heading is cut: it never reaches past the 128-unit buffer
        // it has always had.
        size_t cch = 0;
        while (cch < kMaxDisplayText && pParams->pwszDisplayText[cch] != 0)
            ++cch;
        m_strDisplayText.assign(pParams->pwszDisplayText, cch);
    }
    if (m_strDisplayText.empty() &&
        !LoadResourceText(m_hResourceModule, IDS_DISPLAY_TEXT, kMaxDisplayText, m_strDisplayText)) {
        hResult = FAIL_LAST_ERROR_W(op, TEXT("LoadString"), TEXT("nRetCode == 0"));
        OnInitFailed(hResult);
        return hResult;
    }
    m_bModernSystem = bModernSystem;
    hResult =
        LoadCertificates(m_hResourceModule, pParams->hCertStore, m_vtrCertificates, m_vtrItems);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("LoadCertificates"), hResult, TEXT("FAILED(hResult)"));
        OnInitFailed(hResult);
        return hResult;
    }
    TRACE_OK_W(op, TEXT("LoadCertificates"));
    return VURO_OK;
}

bool CSelectCertificateDlgModel::OnOK(int nRow) {
    const WCHAR* op = TEXT("CSelectCertificateDlg::OnOK");
    if (nRow < 0 || static_cast<size_t>(nRow) >= m_vtrItems.size())
        return false;
    m_pstCertificate.reset(CertDuplicateCertificateContext(m_vtrItems[size_t(nRow)].pCertContext));
    if (!m_pstCertificate) {
        m_dwErrorCode = static_cast<DWORD>(FAIL_LAST_ERROR_W(
            op, TEXT("CertDuplicateCertificateContext"), TEXT("m_pstCertificate == NULL")));
        return true;
    }
    m_dwErrorCode = 0;
    return true;
}

void CSelectCertificateDlgModel::OnCancel() {
    // A window closed because its initialisation failed reports that failure,
    // not a choice the user never made.
    if (m_dwErrorCode == 0)
        m_dwErrorCode = SELECT_CERTIFICATE_ERROR_CANCELED;
}

void CSelectCertificateDlgModel::OnInitFailed(HRESULT hResult) {
    m_dwErrorCode = static_cast<DWORD>(hResult);
}

void CSelectCertificateDlgModel::OnDestroy() {
    m_vtrItems.clear();
    m_vtrCertificates.clear();
}
