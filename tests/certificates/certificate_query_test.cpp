// Certificate queries and store listing over the platform's CryptoAPI: the CSP
// list, the record of one certificate, the "||"-joined list of a store, each
// query kind on known certificates, and the local-time texts. The run's local
// zone is Asia/Shanghai (UTC+8, no daylight saving), set through TZ.
#include "certificates/CertificateQueries.h"
#include "certificates/CspQueries.h"
#include "foundation/Handles.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

constexpr WCHAR kEnhancedProvider[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
constexpr WCHAR kQueryContainer[] = TEXT("orvane-query-test");
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The texts of the test certificates (see TestCertificates.cpp).
const char kCaSubject[] = "CN=Orvane Test CA, O=Orvane Test, C=CN";
const char kRsaSubject[] =
    "E=alice@example.com, CN=Alice RSA, OU=Enrolment, O=Orvane, L=Haidian, S=Beijing, C=CN";
// Validity of the CA and of the RSA certificate: 2026-12-07 21:50:14 UTC to
// 2046-12-02 21:50:14 UTC; in UTC+8 both fall on the next day.
const char kLocalFrom[] = "2026-12-08 05:50:14";
const char kLocalTo[] = "2046-12-03 05:50:14";

UniqueCertContext Create(const TestCertificate& c) {
    return UniqueCertContext(CertCreateCertificateContext(kEncoding, c.data, c.size));
}

// Links the certificate to a key container of the enhanced RSA provider.
bool LinkKey(PCCERT_CONTEXT p, const WCHAR* pwszProvider = kEnhancedProvider) {
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(kQueryContainer);
    info.pwszProvName = const_cast<LPWSTR>(pwszProvider);
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    return CertSetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
}

std::string Record(const char* pszSubject, const char* pszSerial, const char* pszFrom,
                   const char* pszTo) {
    return std::string(pszSubject) + ";" + pszSerial + ";" + pszFrom + ";" + pszTo + ";" +
           U8(kEnhancedProvider);
}

const std::string kCaRecord = Record(kCaSubject, "01", kLocalFrom, kLocalTo);
const std::string kRsaRecord = Record(kRsaSubject, "00f1e2d3c4b5a69788", kLocalFrom, kLocalTo);

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos;
         start = at + separator.size())
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// The local zone is the fixed one the expected texts assume. On POSIX TZ
// decides; Wine takes its zone from the same TZ. Real Windows ignores TZ, so
// there the zone-dependent texts cannot be known in advance.
bool LocalZoneIsFixed() {
    const char* pszTz = std::getenv("TZ");
    return pszTz != nullptr && std::strcmp(pszTz, "Asia/Shanghai") == 0;
}

#define REQUIRE_FIXED_ZONE()                                                                       \
    do {                                                                                           \
        if (!LocalZoneIsFixed())                                                                   \
            GTEST_SKIP() << "local zone is not Asia/Shanghai";                                     \
    } while (0)

// ---- CSP list ----------------------------------------------------------------

TEST(GetAllCSPName, JoinsTheInstalledProvidersInEnumerationOrder) {
    EXPECT_EQ(GetAllCSPName(nullptr), E_POINTER);
    WString wstrNames;
    ASSERT_EQ(GetAllCSPName(&wstrNames), VURO_OK);
    const std::string names = U8(wstrNames);

    // The same providers, in the same order, as the platform enumerates them.
    std::vector<std::string> expected;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, cb = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &cb))
            break;
        std::vector<WCHAR> name(cb / sizeof(WCHAR) + 1);
        ASSERT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &cb));
        expected.push_back(U8(name.data()));
    }
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Split(names, "||"), expected);
    EXPECT_NE(names.find("Microsoft Enhanced Cryptographic Provider v1.0"), std::string::npos);
    EXPECT_NE(names.substr(0, 2), "||");
    EXPECT_NE(names.substr(names.size() - 2), "||");
}

TEST(GetAllCSPName, StandInListsItsFiveProviders) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine installs its own provider set";
    WString wstrNames;
    ASSERT_EQ(GetAllCSPName(&wstrNames), VURO_OK);
    const auto names = Split(U8(wstrNames), "||");
    ASSERT_EQ(names.size(), 5u);
    for (const char* pszName :
         {"Microsoft Base Cryptographic Provider v1.0",
          "Microsoft Enhanced Cryptographic Provider v1.0",
          "Microsoft Enhanced RSA and AES Cryptographic Provider", "Orvane Soft SM2 Token CSP v1.0",
          "Orvane Soft RSA Token CSP v1.0"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), pszName), names.end()) << pszName;
    }
}

// ---- one certificate's record -------------------------------------------------

TEST(GetCertificateInfo, RecordHasFiveFieldsInLocalTime) {
    REQUIRE_FIXED_ZONE();
    UniqueCertContext rsa = Create(kRsaCertificate);
    ASSERT_TRUE(rsa && LinkKey(rsa.get()));
    WString wstrInfo;
    ASSERT_EQ(GetCertificateInfo(&wstrInfo, rsa.get()), VURO_OK);
    // The serial's INTEGER carries a leading zero (top bit set), kept as a byte.
    EXPECT_EQ(U8(wstrInfo), kRsaRecord);
}

TEST(GetCertificateInfo, Failures) {
    WString wstrInfo = TEXT("untouched");
    // No certificate at all, or nowhere to put the record.
    EXPECT_EQ(GetCertificateInfo(&wstrInfo, nullptr), E_INVALIDARG);
    UniqueCertContext rsa = Create(kRsaCertificate);
    ASSERT_TRUE(rsa && LinkKey(rsa.get()));
    EXPECT_EQ(GetCertificateInfo(nullptr, rsa.get()), E_POINTER);

    // No key-provider property: the code that makes a listing skip it.
    UniqueCertContext bare = Create(kExpiredCertificate);
    ASSERT_TRUE(bare);
    EXPECT_EQ(GetCertificateInfo(&wstrInfo, bare.get()), CRYPT_E_NOT_FOUND);

    // A property that names no CSP counts as no private-key association.
    UniqueCertContext noName = Create(kEcCertificate);
    ASSERT_TRUE(noName);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(kQueryContainer);
    info.dwProvType = PROV_RSA_FULL;
    ASSERT_TRUE(
        CertSetCertificateContextProperty(noName.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    EXPECT_EQ(GetCertificateInfo(&wstrInfo, noName.get()), CRYPT_E_NOT_FOUND);

    // Out-parameter untouched by every failure.
    EXPECT_EQ(wstrInfo, TEXT("untouched"));
}

TEST(GetCertificateContextProperty, HandsOutTheKeyLink) {
    UniqueCertContext rsa = Create(kRsaCertificate);
    ASSERT_TRUE(rsa && LinkKey(rsa.get()));
    Bytes data;
    ASSERT_EQ(GetCertificateContextProperty(rsa.get(), &data), VURO_OK);
    ASSERT_GE(data.size(), sizeof(CRYPT_KEY_PROV_INFO));
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(data.data());
    EXPECT_EQ(U8(info->pwszProvName), U8(kEnhancedProvider));
    EXPECT_EQ(U8(info->pwszContainerName), U8(kQueryContainer));
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));

    UniqueCertContext bare = Create(kExpiredCertificate);
    Bytes untouched = {1};
    EXPECT_EQ(GetCertificateContextProperty(bare.get(), &untouched), CRYPT_E_NOT_FOUND);
    EXPECT_EQ(GetCertificateContextProperty(nullptr, &untouched), E_INVALIDARG);
    EXPECT_EQ(GetCertificateContextProperty(rsa.get(), nullptr), E_POINTER);
    EXPECT_EQ(untouched, Bytes({1}));
}

// ---- store listing ------------------------------------------------------------

// Removes the test certificates from the store, so each run starts clean.
void RemoveTestCertificates(HCERTSTORE hStore) {
    std::vector<PCCERT_CONTEXT> doomed;
    for (PCCERT_CONTEXT p = nullptr; (p = CertEnumCertificatesInStore(hStore, p)) != nullptr;) {
        for (const TestCertificate* c : {&kCaCertificate, &kExpiredCertificate, &kRsaCertificate}) {
            if (p->cbCertEncoded == c->size && std::memcmp(p->pbCertEncoded, c->data, c->size) == 0)
                doomed.push_back(CertDuplicateCertificateContext(p));
        }
    }
    for (PCCERT_CONTEXT p : doomed)
        CertDeleteCertificateFromStore(p);
}

// Adds the certificates in the order given, each but the expired one linked
// to a key (by default CA, expired and RSA).
void Add(HCERTSTORE hStore, const std::vector<const TestCertificate*>& certs = {
                                &kCaCertificate, &kExpiredCertificate, &kRsaCertificate}) {
    for (const TestCertificate* c : certs) {
        PCCERT_CONTEXT added = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, c->data, c->size,
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &added));
        UniqueCertContext owner(added);
        if (c != &kExpiredCertificate) {
            ASSERT_TRUE(LinkKey(added));
        }
    }
}

// The store's listing, or "<failed>".
std::string List(HCERTSTORE hStore) {
    WString wstrList;
    if (GetAllCertificatesInfoinStore(&wstrList, hStore) != VURO_OK)
        return "<failed>";
    return U8(wstrList);
}

TEST(GetAllCertificatesInfoinStore, MemoryStoreSkipsTheCertificateWithoutKeyLink) {
    REQUIRE_FIXED_ZONE();
    UniqueStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    ASSERT_TRUE(store);
    Add(store.get());
    // The listing follows the store's order. The stand-in keeps the order of
    // addition; Wine's memory store gives the newest certificate first.
    if (RunningUnderWine())
        EXPECT_EQ(List(store.get()), kRsaRecord + "||" + kCaRecord);
    else
        EXPECT_EQ(List(store.get()), kCaRecord + "||" + kRsaRecord);
}

TEST(GetAllCertificatesInfoinStore, RecordsWithoutKeyLinkLeaveNoSeparatorBehind) {
    // The records go straight into the list: a certificate without a key
    // link first, last or alone must leave no stray "||".
    // Only the cases with a record need the fixed zone; the one with
    // nothing to list (an empty text, not a stray separator) runs anywhere.
    const struct {
        std::vector<const TestCertificate*> order;
        std::string expected;
    } cases[] = {
        {{&kExpiredCertificate}, ""},
        {{&kExpiredCertificate, &kRsaCertificate}, kRsaRecord},
        {{&kRsaCertificate, &kExpiredCertificate}, kRsaRecord},
    };
    for (const auto& c : cases) {
        if (!c.expected.empty())
            REQUIRE_FIXED_ZONE();
        UniqueStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        ASSERT_TRUE(store);
        Add(store.get(), c.order);
        EXPECT_EQ(List(store.get()), c.expected);
    }
}

TEST(GetAllCertificatesInfoinStore, UserMyStoreListsOnlyLinkedCertificates) {
    REQUIRE_FIXED_ZONE();
    UniqueStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
    ASSERT_TRUE(store);
    RemoveTestCertificates(store.get());
    Add(store.get());
    const std::string list = List(store.get());
    RemoveTestCertificates(store.get());

    // The store's order is its own, and other runs may have left certificates
    // of their own: look for ours among the records.
    const auto records = Split(list, "||");
    EXPECT_EQ(std::count(records.begin(), records.end(), kCaRecord), 1);
    EXPECT_EQ(std::count(records.begin(), records.end(), kRsaRecord), 1);
    for (const std::string& record : records) {
        EXPECT_FALSE(record.empty()) << "separator at an end or doubled";
        EXPECT_EQ(record.find("CN=Expired Example"), std::string::npos) << record;
    }
}

TEST(GetAllCertificatesInfoinStore, NullStoreIsInvalid) {
    WString wstrList = TEXT("untouched");
    EXPECT_EQ(GetAllCertificatesInfoinStore(&wstrList, nullptr), E_INVALIDARG);
    EXPECT_EQ(wstrList, TEXT("untouched"));
}

// ---- single queries -------------------------------------------------------------

// A text query's result: the code and the whole text (any NUL in it
// included, which no name may have).
struct TextResult {
    HRESULT hResult;
    std::string text;
};

TextResult QueryText(PCCERT_CONTEXT p, DWORD dwKind) {
    CertificateField field;
    TextResult r{QueryCertContextInfo(&field, p, dwKind), {}};
    r.text = U8(field.wstrText);
    return r;
}

Bytes QueryBytes(PCCERT_CONTEXT p, DWORD dwKind) {
    CertificateField field;
    EXPECT_EQ(QueryCertContextInfo(&field, p, dwKind), VURO_OK);
    return field.bytes;
}

TEST(QueryCertContextInfo, NameTexts) {
    UniqueCertContext rsa = Create(kRsaCertificate);
    ASSERT_TRUE(rsa);
    struct Case {
        DWORD kind;
        const char* expected;
    };
    const Case cases[] = {
        {QUERYID_SUBJECT_FULL, kRsaSubject},
        {QUERYID_SUBJECT_SIMPLE,
         "alice@example.com, Alice RSA, Enrolment, Orvane, Haidian, Beijing, CN"},
        {QUERYID_ISSUER, kCaSubject},
        {QUERYID_CN, "Alice RSA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const TextResult r = QueryText(rsa.get(), c.kind);
        ASSERT_EQ(r.hResult, VURO_OK);
        EXPECT_EQ(r.text, c.expected);
    }
}

TEST(QueryCertContextInfo, CommonNameFallsBackWithoutCN) {
    // No common name: the simple display name is the first of the name's
    // other attributes the platform picks (the organisational unit).
    UniqueCertContext ec = Create(kEcCertificate);
    ASSERT_TRUE(ec);
    const TextResult r = QueryText(ec.get(), QUERYID_CN);
    ASSERT_EQ(r.hResult, VURO_OK);
    EXPECT_EQ(r.text, "Tokens");
}

TEST(QueryCertContextInfo, SerialIsLeastSignificantFirst) {
    struct Case {
        const TestCertificate* cert;
        Bytes expected;
    };
    const Case cases[] = {
        {&kCaCertificate, {0x01}},
        {&kEcCertificate, {0x02, 0x01}},
        // F1E2D3C4B5A69788 with the INTEGER's leading zero as the last byte.
        {&kRsaCertificate, {0x88, 0x97, 0xA6, 0xB5, 0xC4, 0xD3, 0xE2, 0xF1, 0x00}},
    };
    for (const Case& c : cases) {
        UniqueCertContext cert = Create(*c.cert);
        ASSERT_TRUE(cert);
        EXPECT_EQ(QueryBytes(cert.get(), QUERYID_SERIALNUMBER), c.expected);
    }
}

TEST(QueryCertContextInfo, ValidityIsUtcCalendarTime) {
    UniqueCertContext expired = Create(kExpiredCertificate);
    ASSERT_TRUE(expired);
    struct Case {
        DWORD kind;
        WORD year;
        WORD dayOfWeek;
    };
    // 2020-01-01 was a Wednesday, 2021-01-01 a Friday.
    const Case cases[] = {{QUERYID_FROMDATE, 2020, 3}, {QUERYID_TODATE, 2021, 5}};
    for (const Case& c : cases) {
        CertificateField field;
        ASSERT_EQ(QueryCertContextInfo(&field, expired.get(), c.kind), VURO_OK);
        const SYSTEMTIME& st = field.stTime;
        EXPECT_EQ(st.wYear, c.year);
        EXPECT_EQ(st.wMonth, 1);
        EXPECT_EQ(st.wDay, 1);
        EXPECT_EQ(st.wDayOfWeek, c.dayOfWeek);
        EXPECT_EQ(st.wHour + st.wMinute + st.wSecond + st.wMilliseconds, 0);
    }
    // The field must be given.
    EXPECT_EQ(QueryCertContextInfo(nullptr, expired.get(), QUERYID_TODATE), E_POINTER);
}

TEST(QueryCertContextInfo, Extensions) {
    UniqueCertContext rsa = Create(kRsaCertificate);
    UniqueCertContext ca = Create(kCaCertificate);
    ASSERT_TRUE(rsa && ca);
    EXPECT_EQ(QueryBytes(rsa.get(), QUERYID_SUBJECTKEYID),
              Bytes({0xB0, 0x63, 0x1A, 0x65, 0x94, 0x5A, 0xE1, 0x32, 0x79, 0xAD,
                     0x52, 0x5E, 0x0C, 0x95, 0x58, 0x0E, 0x91, 0x3D, 0xD6, 0xA3}));

    struct Case {
        PCCERT_CONTEXT cert;
        uintptr_t usage;
    };
    const Case cases[] = {
        {rsa.get(), 0xA0}, // digitalSignature | keyEncipherment
        {ca.get(), 0x06},  // keyCertSign | cRLSign
    };
    for (const Case& c : cases) {
        CertificateField field;
        ASSERT_EQ(QueryCertContextInfo(&field, c.cert, QUERYID_KEYUSAGE), VURO_OK);
        EXPECT_EQ(field.byKeyUsage, c.usage);
    }
}

TEST(QueryCertContextInfo, Failures) {
    UniqueCertContext expired = Create(kExpiredCertificate);
    UniqueCertContext ec = Create(kEcCertificate);
    ASSERT_TRUE(expired && ec);
    struct Case {
        const char* what;
        PCCERT_CONTEXT cert;
        DWORD kind;
        HRESULT expected;
    };
    const Case cases[] = {
        // Kinds just outside the table.
        {"kind 0", ec.get(), 0, VURO_E_QUERY_TYPE_NOT_SUPPORTED},
        {"kind 12", ec.get(), 12, VURO_E_QUERY_TYPE_NOT_SUPPORTED},
        // The EC certificate has a key identifier but no key usage.
        {"no key usage", ec.get(), QUERYID_KEYUSAGE, VURO_E_NO_KEY_USAGE},
        // The expired certificate has no extensions at all.
        {"no key id", expired.get(), QUERYID_SUBJECTKEYID, VURO_E_NO_SUBJECT_KEY_ID},
        // No key link: the private key cannot be found.
        {"no key link, provider", expired.get(), QUERYID_PROVIDERNAME, CRYPT_E_NO_KEY_PROPERTY},
        {"no key link, container", expired.get(), QUERYID_CONTAINERNAME, CRYPT_E_NO_KEY_PROPERTY},
        {"no certificate", nullptr, QUERYID_SUBJECT_FULL, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CertificateField field;
        field.wstrText = TEXT("untouched");
        field.byKeyUsage = 7;
        EXPECT_EQ(QueryCertContextInfo(&field, c.cert, c.kind), c.expected);
        EXPECT_EQ(field.wstrText, TEXT("untouched"));
        EXPECT_EQ(field.byKeyUsage, 7);
    }
}

// A key container of the enhanced provider with a signature key, made fresh.
class KeyContainer : public ::testing::Test {
protected:
    void SetUp() override {
        HCRYPTPROV hDeleted = 0;
        CryptAcquireContextW(&hDeleted, kQueryContainer, kEnhancedProvider, PROV_RSA_FULL,
                             CRYPT_DELETEKEYSET);
        UniqueProvider prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), kQueryContainer, kEnhancedProvider,
                                         PROV_RSA_FULL, CRYPT_NEWKEYSET));
        UniqueKey key;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024u << 16, key.put()));
    }
    void TearDown() override {
        HCRYPTPROV h = 0;
        CryptAcquireContextW(&h, kQueryContainer, kEnhancedProvider, PROV_RSA_FULL,
                             CRYPT_DELETEKEYSET);
    }
};

TEST_F(KeyContainer, ProviderAndContainerNamesComeFromTheKey) {
    UniqueCertContext rsa = Create(kRsaCertificate);
    ASSERT_TRUE(rsa && LinkKey(rsa.get()));
    struct Case {
        DWORD kind;
        std::string expected;
    };
    const Case cases[] = {
        {QUERYID_PROVIDERNAME, U8(kEnhancedProvider)},
        {QUERYID_CONTAINERNAME, U8(kQueryContainer)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const TextResult r = QueryText(rsa.get(), c.kind);
        ASSERT_EQ(r.hResult, VURO_OK);
        EXPECT_EQ(r.text, c.expected);
    }
}

TEST_F(KeyContainer, GetProviderInfoReadsOneParameter) {
    UniqueProvider prov;
    ASSERT_TRUE(
        CryptAcquireContextW(prov.put(), kQueryContainer, kEnhancedProvider, PROV_RSA_FULL, 0));
    Bytes value;
    ASSERT_EQ(GetProviderInfo(prov.get(), PP_CONTAINER, &value), VURO_OK);
    // As many bytes as the provider wrote: the text and its terminator.
    EXPECT_EQ(value.size(), sizeof "orvane-query-test");
    std::string text;
    ASSERT_TRUE(ProviderParamText(value, &text));
    EXPECT_EQ(text, "orvane-query-test");
    EXPECT_EQ(GetProviderInfo(prov.get(), PP_CONTAINER, nullptr), E_POINTER);
}

// ---- times ---------------------------------------------------------------------

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    return st;
}

TEST(GetTimeString, ZeroPaddedFields) {
    struct Case {
        SYSTEMTIME time;
        const char* expected;
    };
    const Case cases[] = {
        {Time(2024, 1, 5, 8, 3, 9), "2024-01-05 08:03:09"},
        {Time(2046, 12, 31, 23, 59, 59), "2046-12-31 23:59:59"},
        {Time(987, 1, 1, 0, 0, 0), "0987-01-01 00:00:00"},
    };
    for (const Case& c : cases) {
        WString wstrTime;
        ASSERT_EQ(GetTimeString(&c.time, &wstrTime), VURO_OK);
        EXPECT_EQ(U8(wstrTime), c.expected);
    }
    WString wstrTime = TEXT("untouched");
    EXPECT_EQ(GetTimeString(nullptr, &wstrTime), E_INVALIDARG);
    EXPECT_EQ(GetTimeString(&cases[0].time, nullptr), E_POINTER);
    EXPECT_EQ(wstrTime, TEXT("untouched"));
}

TEST(ConvertUTCtimetoLocalTime, ShiftsByTheZoneOffset) {
    REQUIRE_FIXED_ZONE();
    struct Case {
        SYSTEMTIME utc;
        const char* local;
    };
    const Case cases[] = {
        {Time(2024, 1, 5, 0, 3, 9), "2024-01-05 08:03:09"},
        // Over a year's end and onto a leap day.
        {Time(2023, 12, 31, 20, 0, 0), "2024-01-01 04:00:00"},
        {Time(2024, 2, 28, 23, 30, 0), "2024-02-29 07:30:00"},
        // Summer: the zone keeps no daylight saving time.
        {Time(2024, 7, 1, 12, 0, 0), "2024-07-01 20:00:00"},
    };
    for (const Case& c : cases) {
        SYSTEMTIME st = c.utc;
        ASSERT_EQ(ConvertUTCtimetoLocalTime(&st), VURO_OK);
        WString wstrTime;
        ASSERT_EQ(GetTimeString(&st, &wstrTime), VURO_OK);
        EXPECT_EQ(U8(wstrTime), c.local);
    }
}

TEST(ConvertUTCtimetoLocalTime, InvalidCalendarTimeIsLeftAlone) {
    struct Case {
        const char* what;
        SYSTEMTIME time;
    };
    const Case cases[] = {
        {"month 13", Time(2024, 13, 1, 0, 0, 0)},
        {"30 February", Time(2024, 2, 30, 0, 0, 0)},
        {"29 February of a common year", Time(2023, 2, 29, 0, 0, 0)},
        {"hour 24", Time(2024, 1, 1, 24, 0, 0)},
        {"before file times begin", Time(1600, 12, 31, 0, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Wine difference: Wine's SystemTimeToFileTime takes 29 February of a
        // common year as 1 March; Windows and the stand-in refuse it.
        if (RunningUnderWine() && c.time.wMonth == 2 && c.time.wDay == 29)
            continue;
        SYSTEMTIME st = c.time;
        EXPECT_EQ(ConvertUTCtimetoLocalTime(&st), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(std::memcmp(&st, &c.time, sizeof st), 0);
    }
}

} // namespace
