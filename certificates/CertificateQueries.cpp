// The typed readers of CertificateRecord.h and the described queries of
// CertificateQueries.h over them. Every reader's trace lines carry the name of
// the described routine whose contract it carries ("GetCertSubject", ...), so
// a trace reads the same whichever way a field was asked for.
#include "certificates/CertificateQueries.h"

#include "certificates/CspQueries.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#define TRACE_MODULE "CertificateChainOperate"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Characters of the first try at a name text. Most names fit, and then the
// platform decodes the name once instead of once for its size and again for
// its text.
constexpr DWORD kNameFirstTry = 256;

bool HasInfo(PCCERT_CONTEXT pCert) {
    return pCert != nullptr && pCert->pCertInfo != nullptr;
}

// Runs a routine's body; memory running out inside becomes E_OUTOFMEMORY
// instead of an exception leaving the routine.
template <class Body> HRESULT Guarded(const char* pszOperation, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        TRACE_FAILED(pszOperation, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
        return E_OUTOFMEMORY;
    }
}

HRESULT RefuseParameter(const char* pszOperation, HRESULT hResult, const char* pszReason) {
    TRACE_FAILED(pszOperation, "Check parameter", hResult, pszReason);
    return hResult;
}

// ReadConvertedText: a text from one of the platform's name converters, which
// write at most cch characters including the terminator and return how many
// they wrote, or, given no buffer, how many they need. A result that fills the
// first try may have been cut short: then the size is asked for and the text
// read again.
template <class Convert>
HRESULT ReadConvertedText(const char* pszOperation, Convert convert, WString* pwstrText) {
    WString wstrText(kNameFirstTry, WCHAR(0));
    DWORD cchWritten = convert(wstrText.data(), kNameFirstTry);
    if (cchWritten >= kNameFirstTry) {
        const DWORD cchNeeded = convert(nullptr, 0);
        if (cchNeeded == 0)
            return FAIL_LAST_ERROR(pszOperation, "size", "0 == dwSize");
        wstrText.assign(cchNeeded, WCHAR(0));
        cchWritten = convert(wstrText.data(), cchNeeded);
    }
    if (cchWritten == 0 || cchWritten > wstrText.size())
        return FAIL_LAST_ERROR(pszOperation, "text", "0 == dwSize");
    wstrText.resize(cchWritten - 1); // the terminator was counted
    *pwstrText = std::move(wstrText);
    return VURO_OK;
}

HRESULT ReadNameText(const char* pszOperation, CERT_NAME_BLOB* pName, DWORD dwStrType,
                     WString* pwstrName) {
    // Most specific relative name first, values never quoted.
    const DWORD dwFlags = dwStrType | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
    return ReadConvertedText(
        pszOperation,
        [&](WCHAR* pwsz, DWORD cch) {
            return CertNameToStrW(kEncoding, pName, dwFlags, pwsz, cch);
        },
        pwstrName);
}

HRESULT ReadValidity(const char* pszOperation, PCCERT_CONTEXT pCert, bool fEnd,
                     SYSTEMTIME* pstTime) {
    if (!HasInfo(pCert) || pstTime == nullptr)
        return RefuseParameter(pszOperation, E_INVALIDARG, "pstCertContext == NULL");
    const FILETIME& ft = fEnd ? pCert->pCertInfo->NotAfter : pCert->pCertInfo->NotBefore;
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st))
        return FAIL_LAST_ERROR(pszOperation, "FileTimeToSystemTime", "bResult == FALSE");
    *pstTime = st;
    return VURO_OK;
}

const CERT_EXTENSION* FindExtension(PCCERT_CONTEXT pCert, LPCSTR pszObjId) {
    const CERT_INFO* pInfo = pCert->pCertInfo;
    return CertFindExtension(pszObjId, pInfo->cExtension, pInfo->rgExtension);
}

// DecodeExtension: the extension pszObjId decoded as pszStructType in one
// platform allocation; hrMissing when the certificate lacks it.
HRESULT DecodeExtension(const char* pszOperation, PCCERT_CONTEXT pCert, LPCSTR pszObjId,
                        LPCSTR pszStructType, HRESULT hrMissing, UniqueLocal* pDecoded) {
    const CERT_EXTENSION* pExtension = FindExtension(pCert, pszObjId);
    if (pExtension == nullptr)
        return TRACE_FAIL(pszOperation, "CertFindExtension", hrMissing, "NULL == pExtension");
    UniqueLocal decoded;
    DWORD cbDecoded = 0;
    if (!CryptDecodeObjectEx(kEncoding, pszStructType, pExtension->Value.pbData,
                             pExtension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             decoded.put(), &cbDecoded))
        return FAIL_LAST_ERROR(pszOperation, "CryptDecodeObjectEx", "bResult == FALSE");
    *pDecoded = std::move(decoded);
    return VURO_OK;
}

// ReadKeyProviderBytes: the key-provider property (CRYPT_KEY_PROV_INFO with the
// texts it points at inside the same buffer). A missing property gives the
// platform's CRYPT_E_NOT_FOUND, traced unless fQuietWhenMissing.
HRESULT ReadKeyProviderBytes(PCCERT_CONTEXT pCert, bool fQuietWhenMissing,
                             std::vector<BYTE>* pData) {
    const char* const op = "GetCertificateContextProperty";
    DWORD cbData = 0;
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cbData)) {
        const HRESULT hResult = FailureFromLastError();
        if (fQuietWhenMissing && hResult == CRYPT_E_NOT_FOUND)
            return hResult;
        return TRACE_FAIL(op, "CertGetCertificateContextProperty(size)", hResult,
                          "bResult == FALSE");
    }
    // The allocator aligns for any object, so the record at its start can be
    // read in place.
    std::vector<BYTE> data;
    try {
        data.resize(cbData);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, data.data(), &cbData))
        return FAIL_LAST_ERROR(op, "CertGetCertificateContextProperty", "bResult == FALSE");
    data.resize(cbData);
    *pData = std::move(data);
    return VURO_OK;
}

// KeyProviderFrom: the link the property's bytes describe; CRYPT_E_NOT_FOUND
// when they name no CSP.
HRESULT KeyProviderFrom(const std::vector<BYTE>& data, CertificateKeyProvider* pProvider) {
    if (data.size() < sizeof(CRYPT_KEY_PROV_INFO))
        return CRYPT_E_NOT_FOUND;
    const auto* pInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(data.data());
    if (pInfo->pwszProvName == nullptr)
        return CRYPT_E_NOT_FOUND;
    CertificateKeyProvider provider;
    provider.wstrProviderName = pInfo->pwszProvName;
    if (pInfo->pwszContainerName != nullptr)
        provider.wstrContainerName = pInfo->pwszContainerName;
    provider.dwProvType = pInfo->dwProvType;
    provider.dwKeySpec = pInfo->dwKeySpec;
    *pProvider = std::move(provider);
    return VURO_OK;
}

// ReadSerialHex: the serial as lower-case hexadecimal, most significant first.
HRESULT ReadSerialHex(const std::vector<BYTE>& serial, WString* pwstrHex) {
    const HRESULT hResult =
        ConvertBinaryDataToString(DWORD(serial.size()), pwstrHex, serial.data());
    if (TRACE_IF(FAILED(hResult), "GetCertificateInfo", "FormatStringFromData", hResult))
        return hResult;
    return VURO_OK;
}

// FormatTimeText: "%04d-%02d-%02d %02d:%02d:%02d" of the calendar time.
HRESULT FormatTimeText(const SYSTEMTIME& st, WString* pwstrText) {
    char szTime[64] = {};
    const int nLength =
        std::snprintf(szTime, sizeof szTime, "%04d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth,
                      st.wDay, st.wHour, st.wMinute, st.wSecond);
    if (nLength <= 0 || static_cast<size_t>(nLength) >= sizeof szTime)
        return E_FAIL;
    // ASCII digits and separators: each byte is one UTF-16 unit.
    *pwstrText = WString(szTime, szTime + nLength);
    return VURO_OK;
}

// ReadField: reads one field of CertificateFields into the record.
HRESULT ReadField(PCCERT_CONTEXT pCert, CertificateFields fField, CertificateRecord& record) {
    switch (fField) {
    case CertificateFields::Subject:
        return ReadCertificateSubject(pCert, CERT_X500_NAME_STR, &record.wstrSubject);
    case CertificateFields::Issuer:
        return ReadCertificateIssuer(pCert, &record.wstrIssuer);
    case CertificateFields::Serial: {
        HRESULT hResult = ReadCertificateSerial(pCert, &record.serial);
        return SUCCEEDED(hResult) ? ReadSerialHex(record.serial, &record.wstrSerialHex) : hResult;
    }
    case CertificateFields::NotBefore:
        return ReadCertificateNotBefore(pCert, &record.stNotBefore);
    case CertificateFields::NotAfter:
        return ReadCertificateNotAfter(pCert, &record.stNotAfter);
    case CertificateFields::KeyProvider: {
        std::vector<BYTE> data;
        HRESULT hResult = ReadKeyProviderBytes(pCert, true, &data);
        if (SUCCEEDED(hResult))
            hResult = KeyProviderFrom(data, &record.keyProvider);
        record.fHasKeyProvider = SUCCEEDED(hResult);
        if (hResult == CRYPT_E_NOT_FOUND) {
            record.keyProvider = CertificateKeyProvider();
            return VURO_OK;
        }
        return hResult;
    }
    case CertificateFields::KeyUsage:
        record.fHasKeyUsage = FindExtension(pCert, szOID_KEY_USAGE) != nullptr;
        record.byKeyUsage = 0;
        return record.fHasKeyUsage ? ReadCertificateKeyUsage(pCert, &record.byKeyUsage) : VURO_OK;
    case CertificateFields::SignatureAlgorithm: {
        const char* pszObjId = pCert->pCertInfo->SignatureAlgorithm.pszObjId;
        record.strSignatureAlgorithm = pszObjId != nullptr ? pszObjId : "";
        return VURO_OK;
    }
    case CertificateFields::SubjectKeyId:
        record.fHasSubjectKeyId = FindExtension(pCert, szOID_SUBJECT_KEY_IDENTIFIER) != nullptr;
        record.subjectKeyId.clear();
        return record.fHasSubjectKeyId ? ReadCertificateSubjectKeyId(pCert, &record.subjectKeyId)
                                       : VURO_OK;
    default:
        return E_INVALIDARG;
    }
}

// LocalBias: what FileTimeToLocalFileTime adds to a time now. The system
// applies the bias in force now to every time, so a listing asks once, not
// twice per certificate.
struct LocalBias {
    bool fKnown = false;
    int64_t nTicks = 0;

    static LocalBias Now() {
        LocalBias bias;
        // Any time will do: 2000-01-01 00:00 UTC.
        const uint64_t ullBase = 125911584000000000ull;
        FILETIME ftUtc{DWORD(ullBase), DWORD(ullBase >> 32)};
        FILETIME ftLocal{};
        if (FileTimeToLocalFileTime(&ftUtc, &ftLocal)) {
            const uint64_t ullLocal =
                uint64_t(ftLocal.dwHighDateTime) << 32 | ftLocal.dwLowDateTime;
            bias.nTicks = int64_t(ullLocal) - int64_t(ullBase);
            bias.fKnown = true;
        }
        return bias;
    }

    // ToLocal: stUtc in local time; false (st unchanged) when it cannot be.
    bool ToLocal(SYSTEMTIME& st) const {
        FILETIME ft{};
        if (!fKnown || !SystemTimeToFileTime(&st, &ft))
            return false;
        const int64_t nUtc = int64_t(uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime);
        if (nUtc + nTicks < 0)
            return false;
        const uint64_t ullLocal = uint64_t(nUtc + nTicks);
        const FILETIME ftLocal{DWORD(ullLocal), DWORD(ullLocal >> 32)};
        SYSTEMTIME stLocal{};
        if (!FileTimeToSystemTime(&ftLocal, &stLocal))
            return false;
        st = stLocal;
        return true;
    }
};

// AppendNumber: nValue in decimal, at least nWidth digits with leading zeros.
void AppendNumber(WString& wstrText, unsigned nValue, int nWidth) {
    WCHAR digits[10];
    int n = 0;
    do {
        digits[n++] = WCHAR('0' + nValue % 10);
        nValue /= 10;
    } while (nValue != 0 && n < 10);
    for (int i = n; i < nWidth; ++i)
        wstrText += WCHAR('0');
    while (n > 0)
        wstrText += digits[--n];
}

// AppendLocalTime: "YYYY-MM-DD hh:mm:ss" of stUtc in local time (left in UTC
// when it cannot be converted).
void AppendLocalTime(SYSTEMTIME st, const LocalBias& bias, WString& wstrText) {
    if (!bias.ToLocal(st))
        TRACE_FAILED("GetCertificateInfo", "ConvertUTCtimetoLocalTime", E_FAIL, "kept in UTC");
    AppendNumber(wstrText, st.wYear, 4);
    wstrText += WCHAR('-');
    AppendNumber(wstrText, st.wMonth, 2);
    wstrText += WCHAR('-');
    AppendNumber(wstrText, st.wDay, 2);
    wstrText += WCHAR(' ');
    AppendNumber(wstrText, st.wHour, 2);
    wstrText += WCHAR(':');
    AppendNumber(wstrText, st.wMinute, 2);
    wstrText += WCHAR(':');
    AppendNumber(wstrText, st.wSecond, 2);
}

// AppendRecordText: "subject;serial;from;to;CSP" of a record appended to
// *pwstrText, piece by piece (a listing builds one text of them all).
HRESULT AppendRecordText(const CertificateRecord& record, const LocalBias& bias,
                         WString* pwstrText) {
    if (!record.fHasKeyProvider)
        return CRYPT_E_NOT_FOUND;
    return Guarded("GetCertificateInfo", [&]() -> HRESULT {
        const size_t cchBefore = pwstrText->size();
        try {
            WString& text = *pwstrText;
            text += record.wstrSubject;
            text += kFieldSeparator;
            text += record.wstrSerialHex;
            text += kFieldSeparator;
            AppendLocalTime(record.stNotBefore, bias, text);
            text += kFieldSeparator;
            AppendLocalTime(record.stNotAfter, bias, text);
            text += kFieldSeparator;
            text += record.keyProvider.wstrProviderName;
        } catch (...) {
            pwstrText->resize(cchBefore);
            throw;
        }
        return VURO_OK;
    });
}

// AppendCertificateInfo: the record text of one certificate, for
// GetCertificateInfo and the store listing; each failure is traced with the
// step it failed in.
HRESULT AppendCertificateInfo(PCCERT_CONTEXT pCert, const LocalBias& bias, WString* pwstrText) {
    struct Step {
        CertificateFields fField;
        const char* pszStep;
    };
    static constexpr Step kSteps[] = {
        {CertificateFields::Subject, "QueryCertContextInfo(QUERYID_SUBJECT_FULL)"},
        {CertificateFields::Serial, "QueryCertContextInfo(QUERYID_SERIALNUMBER)"},
        {CertificateFields::NotBefore, "QueryCertContextInfo(QUERYID_FROMDATE)"},
        {CertificateFields::NotAfter, "QueryCertContextInfo(QUERYID_TODATE)"},
        {CertificateFields::KeyProvider,
         "GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)"},
    };
    CertificateFields fWanted = CertificateFields::NoField;
    for (const Step& step : kSteps)
        fWanted = fWanted | step.fField;
    CertificateRecord record;
    CertificateFields fFailed = CertificateFields::NoField;
    HRESULT hResult = ReadCertificateRecord(pCert, fWanted, &record, &fFailed);
    if (FAILED(hResult)) {
        const char* pszStep = "ReadCertificateRecord";
        for (const Step& step : kSteps)
            if (step.fField == fFailed)
                pszStep = step.pszStep;
        return TRACE_FAIL("GetCertificateInfo", pszStep, hResult, "FAILED(hResult)");
    }
    // A property that names no CSP is no private-key association either.
    if (!record.fHasKeyProvider)
        return TRACE_FAIL("GetCertificateInfo", kSteps[4].pszStep, CRYPT_E_NOT_FOUND,
                          "!record.fHasKeyProvider");
    return AppendRecordText(record, bias, pwstrText);
}

} // namespace

// ---- typed readers -------------------------------------------------------------------

HRESULT ReadCertificateRecord(PCCERT_CONTEXT pCert, CertificateFields fWanted,
                              CertificateRecord* pRecord, CertificateFields* pfFailed) {
    if (!HasInfo(pCert) || pRecord == nullptr)
        return RefuseParameter("ReadCertificateRecord", E_INVALIDARG,
                               "pCert == NULL || pRecord == NULL");
    return Guarded("ReadCertificateRecord", [&]() -> HRESULT {
        // Read into a copy, so that a failure leaves the caller's record as it was.
        CertificateRecord record = *pRecord;
        for (DWORD dwBit = 1; dwBit <= DWORD(CertificateFields::All); dwBit <<= 1) {
            const auto fField = CertificateFields(dwBit);
            if (!HasFields(fWanted, fField))
                continue;
            const HRESULT hResult = ReadField(pCert, fField, record);
            if (FAILED(hResult)) {
                if (pfFailed != nullptr)
                    *pfFailed = fField;
                return hResult;
            }
        }
        *pRecord = std::move(record);
        return VURO_OK;
    });
}

HRESULT ReadCertificateSubject(PCCERT_CONTEXT pCert, DWORD dwStrType, WString* pwstrSubject) {
    if (!HasInfo(pCert) || pwstrSubject == nullptr)
        return RefuseParameter("GetCertSubject", E_INVALIDARG, "pstCertContext == NULL");
    return Guarded("GetCertSubject", [&]() -> HRESULT {
        return ReadNameText("GetCertSubject", &pCert->pCertInfo->Subject, dwStrType, pwstrSubject);
    });
}

HRESULT ReadCertificateIssuer(PCCERT_CONTEXT pCert, WString* pwstrIssuer) {
    if (!HasInfo(pCert) || pwstrIssuer == nullptr)
        return RefuseParameter("GetCertIssuer", E_INVALIDARG, "pstCertContext == NULL");
    return Guarded("GetCertIssuer", [&]() -> HRESULT {
        return ReadNameText("GetCertIssuer", &pCert->pCertInfo->Issuer, CERT_X500_NAME_STR,
                            pwstrIssuer);
    });
}

HRESULT ReadCertificateDisplayName(PCCERT_CONTEXT pCert, WString* pwstrName) {
    if (pCert == nullptr || pwstrName == nullptr)
        return RefuseParameter("GetCertCN", E_INVALIDARG, "pstCertContext == NULL");
    return Guarded("GetCertCN", [&]() -> HRESULT {
        return ReadConvertedText(
            "GetCertCN",
            [&](WCHAR* pwsz, DWORD cch) {
                return CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, pwsz,
                                          cch);
            },
            pwstrName);
    });
}

HRESULT ReadCertificateSerial(PCCERT_CONTEXT pCert, std::vector<BYTE>* pSerial) {
    if (!HasInfo(pCert) || pSerial == nullptr)
        return RefuseParameter("GetCertSerialNumber", E_INVALIDARG, "pstCertContext == NULL");
    return Guarded("GetCertSerialNumber", [&]() -> HRESULT {
        const CRYPT_INTEGER_BLOB& serial = pCert->pCertInfo->SerialNumber;
        pSerial->assign(serial.pbData, serial.pbData + serial.cbData);
        return VURO_OK;
    });
}

HRESULT ReadCertificateNotBefore(PCCERT_CONTEXT pCert, SYSTEMTIME* pstTime) {
    return ReadValidity("GetCertFromDate", pCert, false, pstTime);
}

HRESULT ReadCertificateNotAfter(PCCERT_CONTEXT pCert, SYSTEMTIME* pstTime) {
    return ReadValidity("GetCertToDate", pCert, true, pstTime);
}

HRESULT ReadCertificateKeyUsage(PCCERT_CONTEXT pCert, BYTE* pbyUsage) {
    if (!HasInfo(pCert) || pbyUsage == nullptr)
        return RefuseParameter("GetCertKeyUsage", E_INVALIDARG, "pstCertContext == NULL");
    UniqueLocal decoded;
    const HRESULT hResult = DecodeExtension("GetCertKeyUsage", pCert, szOID_KEY_USAGE,
                                            X509_KEY_USAGE, VURO_E_NO_KEY_USAGE, &decoded);
    if (FAILED(hResult))
        return hResult;
    const auto* pUsage = static_cast<const CRYPT_BIT_BLOB*>(decoded.get());
    // An empty bit string asserts no usage at all.
    *pbyUsage = pUsage->cbData > 0 ? pUsage->pbData[0] : 0;
    return VURO_OK;
}

HRESULT ReadCertificateSubjectKeyId(PCCERT_CONTEXT pCert, std::vector<BYTE>* pKeyId) {
    if (!HasInfo(pCert) || pKeyId == nullptr)
        return RefuseParameter("GetCertSubjectKeyID", E_INVALIDARG, "pstCertContext == NULL");
    return Guarded("GetCertSubjectKeyID", [&]() -> HRESULT {
        UniqueLocal decoded;
        const HRESULT hResult =
            DecodeExtension("GetCertSubjectKeyID", pCert, szOID_SUBJECT_KEY_IDENTIFIER,
                            X509_OCTET_STRING, VURO_E_NO_SUBJECT_KEY_ID, &decoded);
        if (FAILED(hResult))
            return hResult;
        const auto* pKeyIdBlob = static_cast<const CRYPT_DATA_BLOB*>(decoded.get());
        pKeyId->assign(pKeyIdBlob->pbData, pKeyIdBlob->pbData + pKeyIdBlob->cbData);
        return VURO_OK;
    });
}

HRESULT ReadCertificateKeyProvider(PCCERT_CONTEXT pCert, CertificateKeyProvider* pProvider) {
    if (pCert == nullptr || pProvider == nullptr)
        return RefuseParameter("GetCertificateContextProperty", E_INVALIDARG,
                               "pstCertContext == NULL");
    return Guarded("GetCertificateContextProperty", [&]() -> HRESULT {
        std::vector<BYTE> data;
        HRESULT hResult = ReadKeyProviderBytes(pCert, false, &data);
        if (FAILED(hResult))
            return hResult;
        hResult = KeyProviderFrom(data, pProvider);
        if (TRACE_IF(FAILED(hResult), "GetCertificateContextProperty", "CRYPT_KEY_PROV_INFO",
                     hResult))
            return hResult;
        return VURO_OK;
    });
}

HRESULT ReadPrivateKeyProviderText(PCCERT_CONTEXT pCert, DWORD dwParam, WString* pwstrText) {
    const char* const op = dwParam == PP_NAME ? "GetCertProviderName" : "GetCertContainerName";
    if (pCert == nullptr || pwstrText == nullptr)
        return RefuseParameter(op, E_INVALIDARG, "pstCertContext == NULL");
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKey = 0;
    DWORD dwKeySpec = 0;
    BOOL fCallerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(pCert, 0, nullptr, &hKey, &dwKeySpec, &fCallerFree))
        return FAIL_LAST_ERROR(op, "CryptAcquireCertificatePrivateKey",
                               "CryptAcquireCertificatePrivateKey FAILED.");
    // Released on every path when the handle is ours to free.
    UniqueProvider provider(fCallerFree ? static_cast<HCRYPTPROV>(hKey) : 0);

    std::vector<BYTE> value;
    HRESULT hResult = GetProviderInfo(static_cast<HCRYPTPROV>(hKey), dwParam, &value);
    if (TRACE_IF(FAILED(hResult), op, "GetProviderInfo", hResult))
        return hResult;
    // The value is a narrow text that ends at its terminator or its size.
    std::string strValue;
    if (TRACE_IF(!ProviderParamText(value, &strValue), op, "New memory", E_OUTOFMEMORY))
        return E_OUTOFMEMORY;
    hResult = UTF8ToUTF16(strValue.c_str(), pwstrText);
    if (TRACE_IF(FAILED(hResult), op, "UTF8ToUTF16", hResult))
        return hResult;
    return VURO_OK;
}

// ---- the page's texts ------------------------------------------------------------------

HRESULT FormatLocalTime(const SYSTEMTIME& stUtc, WString* pwstrText) {
    if (pwstrText == nullptr)
        return E_POINTER;
    SYSTEMTIME st = stUtc;
    if (FAILED(ConvertUTCtimetoLocalTime(&st)))
        TRACE_FAILED("GetCertificateInfo", "ConvertUTCtimetoLocalTime", E_FAIL, "kept in UTC");
    return Guarded("GetTimeString", [&]() -> HRESULT {
        const HRESULT hResult = FormatTimeText(st, pwstrText);
        if (TRACE_IF(FAILED(hResult), "GetCertificateInfo", "GetTimeString", hResult))
            return hResult;
        return VURO_OK;
    });
}

HRESULT FormatCertificateInfo(const CertificateRecord& record, WString* pwstrText) {
    if (pwstrText == nullptr)
        return E_POINTER;
    return AppendRecordText(record, LocalBias::Now(), pwstrText);
}

// ---- the described routines ------------------------------------------------------------

HRESULT GetAllCertificatesInfoinStore(WString* pwstrInfo, HCERTSTORE hCertStore) {
    const char* const op = "GetAllCertificatesInfoinStore";
    if (TRACE_IF(hCertStore == nullptr, op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    if (TRACE_IF(pwstrInfo == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    return Guarded(op, [&]() -> HRESULT {
        WString wstrList;
        const LocalBias bias = LocalBias::Now();
        // Holds the enumeration's current context, so that leaving early ends it.
        UniqueCertContext current;
        for (;;) {
            PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(hCertStore, current.release());
            if (pCert == nullptr)
                break;
            current.reset(pCert);
            // Each record goes straight into the list; one without a private
            // key behind it is taken out again.
            const size_t cchBefore = wstrList.size();
            if (cchBefore != 0)
                wstrList += kListSeparator;
            const HRESULT hResult = AppendCertificateInfo(pCert, bias, &wstrList);
            if (hResult == CRYPT_E_NOT_FOUND) {
                wstrList.resize(cchBefore);
                continue;
            }
            if (TRACE_IF(FAILED(hResult), op, "GetCertificateInfo", hResult))
                return hResult;
        }
        *pwstrInfo = std::move(wstrList);
        TRACE_OK(op, "CertEnumCertificatesInStore");
        return VURO_OK;
    });
}

HRESULT GetCertificateInfo(WString* pwstrInfo, PCCERT_CONTEXT pstCertContext) {
    const char* const op = "GetCertificateInfo";
    if (TRACE_IF(pstCertContext == nullptr, op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    if (TRACE_IF(pwstrInfo == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    return Guarded(op, [&]() -> HRESULT {
        WString wstrInfo;
        const HRESULT hResult = AppendCertificateInfo(pstCertContext, LocalBias::Now(), &wstrInfo);
        if (FAILED(hResult))
            return hResult;
        *pwstrInfo = std::move(wstrInfo);
        TRACE_OK(op, "GetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)");
        return VURO_OK;
    });
}

HRESULT GetCertificateContextProperty(PCCERT_CONTEXT pstCertContext, std::vector<BYTE>* pData) {
    const char* const op = "GetCertificateContextProperty";
    if (TRACE_IF(pstCertContext == nullptr, op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    if (TRACE_IF(pData == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    return ReadKeyProviderBytes(pstCertContext, false, pData);
}

HRESULT QueryCertContextInfo(CertificateField* pField, PCCERT_CONTEXT pstCertContext,
                             DWORD dwQueryId) {
    const char* const op = "QueryCertContextInfo";
    if (TRACE_IF(pField == nullptr, op, "Check parameter", E_POINTER))
        return E_POINTER;
    if (TRACE_IF(pstCertContext == nullptr, op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    CertificateField field;
    HRESULT hResult = VURO_OK;
    switch (dwQueryId) {
    case QUERYID_SUBJECT_FULL:
        hResult = GetCertSubject(CERT_X500_NAME_STR, pstCertContext, &field.wstrText);
        break;
    case QUERYID_SUBJECT_SIMPLE:
        hResult = GetCertSubject(CERT_SIMPLE_NAME_STR, pstCertContext, &field.wstrText);
        break;
    case QUERYID_ISSUER:
        hResult = GetCertIssuer(pstCertContext, &field.wstrText);
        break;
    case QUERYID_CN:
        hResult = GetCertCN(pstCertContext, &field.wstrText);
        break;
    case QUERYID_PROVIDERNAME:
        hResult = GetCertProviderName(pstCertContext, &field.wstrText);
        break;
    case QUERYID_CONTAINERNAME:
        hResult = GetCertContainerName(pstCertContext, &field.wstrText);
        break;
    case QUERYID_SERIALNUMBER:
        hResult = GetCertSerialNumber(pstCertContext, &field.bytes);
        break;
    case QUERYID_SUBJECTKEYID:
        hResult = GetCertSubjectKeyID(pstCertContext, &field.bytes);
        break;
    case QUERYID_TODATE:
        hResult = GetCertToDate(pstCertContext, &field.stTime);
        break;
    case QUERYID_FROMDATE:
        hResult = GetCertFromDate(pstCertContext, &field.stTime);
        break;
    case QUERYID_KEYUSAGE:
        hResult = GetCertKeyUsage(pstCertContext, &field.byKeyUsage);
        break;
    default:
        return TRACE_FAIL(op, "Check parameter", VURO_E_QUERY_TYPE_NOT_SUPPORTED,
                          "Query type is not supported.");
    }
    if (FAILED(hResult))
        return hResult;
    *pField = std::move(field);
    return VURO_OK;
}

HRESULT GetCertSubject(DWORD dwStrType, PCCERT_CONTEXT pstCertContext, WString* pwstrSubject) {
    return ReadCertificateSubject(pstCertContext, dwStrType, pwstrSubject);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pstCertContext, WString* pwstrIssuer) {
    return ReadCertificateIssuer(pstCertContext, pwstrIssuer);
}

HRESULT GetCertCN(PCCERT_CONTEXT pstCertContext, WString* pwstrCN) {
    return ReadCertificateDisplayName(pstCertContext, pwstrCN);
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pstCertContext, std::vector<BYTE>* pSerial) {
    return ReadCertificateSerial(pstCertContext, pSerial);
}

HRESULT GetCertToDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME* pstSysTime) {
    return ReadCertificateNotAfter(pstCertContext, pstSysTime);
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME* pstSysTime) {
    return ReadCertificateNotBefore(pstCertContext, pstSysTime);
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pstCertContext, std::vector<BYTE>* pKeyId) {
    return ReadCertificateSubjectKeyId(pstCertContext, pKeyId);
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pstCertContext, BYTE* pbyUsage) {
    return ReadCertificateKeyUsage(pstCertContext, pbyUsage);
}

// GetCertProviderName, GetCertContainerName: the acquired key's provider says
// where it lives, not the property, which may be stale.
HRESULT GetCertProviderName(PCCERT_CONTEXT pstCertContext, WString* pwstrName) {
    return ReadPrivateKeyProviderText(pstCertContext, PP_NAME, pwstrName);
}

HRESULT GetCertContainerName(PCCERT_CONTEXT pstCertContext, WString* pwstrName) {
    return ReadPrivateKeyProviderText(pstCertContext, PP_CONTAINER, pwstrName);
}

HRESULT GetTimeString(const SYSTEMTIME* pstSysTime, WString* pwstrTime) {
    if (TRACE_IF(pstSysTime == nullptr, "GetTimeString", "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    if (TRACE_IF(pwstrTime == nullptr, "GetTimeString", "Check parameter", E_POINTER))
        return E_POINTER;
    return Guarded("GetTimeString", [&]() -> HRESULT {
        WString wstrTime;
        const HRESULT hResult = FormatTimeText(*pstSysTime, &wstrTime);
        if (FAILED(hResult))
            return hResult;
        *pwstrTime = std::move(wstrTime);
        return VURO_OK;
    });
}

HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstSysTime) {
    if (pstSysTime == nullptr)
        return RefuseParameter("ConvertUTCtimetoLocalTime", E_POINTER, "pstSysTime == NULL");
    FILETIME ftUtc{};
    FILETIME ftLocal{};
    SYSTEMTIME stLocal{};
    if (!SystemTimeToFileTime(pstSysTime, &ftUtc) || !FileTimeToLocalFileTime(&ftUtc, &ftLocal) ||
        !FileTimeToSystemTime(&ftLocal, &stLocal))
        return FAIL_LAST_ERROR("ConvertUTCtimetoLocalTime", "FileTimeToLocalFileTime",
                               "bResult == FALSE");
    *pstSysTime = stLocal;
    return VURO_OK;
}
