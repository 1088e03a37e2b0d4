// Records of container certificates and the choice of providers to search,
// on both targets. Reading real containers needs a vendor provider, which
// only the POSIX stand-in has: see unregistered_posix_test.cpp.
#include "selection/UnregisteredCert.h"

#include "tests/support/CertificateBuilder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

UniqueCertContext MakeCertificate(BYTE serial) {
    orvane::test::CertificateFields fields;
    fields.serial = {serial};
    const orvane::test::Bytes der = orvane::test::BuildCertificate(fields);
    return UniqueCertContext(
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size())));
}

TEST(UnregisteredRecord, NamesMustFitWhole) {
    UniqueCertContext cert = MakeCertificate(0x42);
    ASSERT_TRUE(cert);
    const WString fits(259, TEXT('c')), tooLong(260, TEXT('c'));
    struct Case {
        const char* what;
        const WCHAR* container;
        const WCHAR* csp;
        PCCERT_CONTEXT cert;
        HRESULT result;
    } const cases[] = {
        {"ordinary", TEXT("box"), TEXT("Token CSP"), cert.get(), VURO_OK},
        {"259 characters", fits.c_str(), fits.c_str(), cert.get(), VURO_OK},
        // A cut name would lead to another container: refused.
        {"260-character container", tooLong.c_str(), TEXT("Token CSP"), cert.get(), E_INVALIDARG},
        {"260-character provider", TEXT("box"), tooLong.c_str(), cert.get(), E_INVALIDARG},
        {"empty container", TEXT(""), TEXT("Token CSP"), cert.get(), E_INVALIDARG},
        {"null provider", TEXT("box"), nullptr, cert.get(), E_INVALIDARG},
        {"no certificate", TEXT("box"), TEXT("Token CSP"), nullptr, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        UniqueUnregisteredCertContext record;
        ASSERT_EQ(CertCreateUnregisteredCertContext(c.container, c.csp, c.cert, AT_SIGNATURE,
                                                    record.put()),
                  c.result)
            << c.what;
        if (FAILED(c.result)) {
            EXPECT_FALSE(record) << c.what;
            continue;
        }
        EXPECT_EQ(WString(record.get()->wszContainerName), WString(c.container)) << c.what;
        EXPECT_EQ(WString(record.get()->wszCSPName), WString(c.csp)) << c.what;
        EXPECT_EQ(record.get()->dwKeySpec, DWORD(AT_SIGNATURE)) << c.what;
    }
    EXPECT_EQ(
        CertCreateUnregisteredCertContext(TEXT("box"), TEXT("Token CSP"), cert.get(), 1, nullptr),
        E_POINTER);
}

TEST(UnregisteredRecord, DuplicateOwnsItsOwnReference) {
    UniqueUnregisteredCertContext original;
    {
        UniqueCertContext cert = MakeCertificate(0x43);
        ASSERT_TRUE(cert);
        ASSERT_EQ(CertCreateUnregisteredCertContext(TEXT("box"), TEXT("Token CSP"), cert.get(),
                                                    AT_KEYEXCHANGE, original.put()),
                  VURO_OK);
    } // the record keeps the certificate alive without the caller's reference
    UniqueUnregisteredCertContext copy;
    ASSERT_EQ(CertDuplicateUnregisteredCertContext(original.get(), copy.put()), VURO_OK);
    ASSERT_NE(copy.get(), original.get());
    original.reset();
    EXPECT_EQ(WString(copy.get()->wszContainerName), W("box"));
    EXPECT_EQ(WString(copy.get()->wszCSPName), W("Token CSP"));
    EXPECT_EQ(copy.get()->dwKeySpec, DWORD(AT_KEYEXCHANGE));
    ASSERT_NE(copy.get()->pCertContext, nullptr);
    EXPECT_EQ(copy.get()->pCertContext->pCertInfo->SerialNumber.pbData[0], 0x43);

    // A record without its certificate or names is refused, and nothing is
    // handed out.
    UNREGISTERED_CERT_CONTEXT hollow{};
    PCUNREGISTERED_CERT_CONTEXT untouched = copy.get();
    EXPECT_EQ(CertDuplicateUnregisteredCertContext(&hollow, &untouched), E_INVALIDARG);
    EXPECT_EQ(untouched, copy.get());
    EXPECT_EQ(CertDuplicateUnregisteredCertContext(nullptr, &untouched), E_INVALIDARG);
    CertFreeUnregisteredCertContext(nullptr); // allowed
}

TEST(UnregisteredRecord, RemoveAllEmptiesTheList) {
    UnregisteredCertList list;
    for (BYTE serial : {0x01, 0x02}) {
        UniqueCertContext cert = MakeCertificate(serial);
        UniqueUnregisteredCertContext record;
        ASSERT_EQ(CertCreateUnregisteredCertContext(TEXT("box"), TEXT("Token CSP"), cert.get(),
                                                    AT_SIGNATURE, record.put()),
                  VURO_OK);
        list.push_back(std::move(record));
    }
    RemoveAllUnregisteredCertificates(list);
    EXPECT_TRUE(list.empty());
}

TEST(UnregisteredContainer, NamesThatCannotFitAreRefusedBeforeTheProviderIsAsked) {
    const WString tooLong(260, TEXT('c'));
    UniqueUnregisteredCertContext record;
    // E_INVALIDARG, not the provider's answer for a container it lacks.
    EXPECT_EQ(GetUnregisteredCertfromContainer(MS_ENHANCED_PROV_W, tooLong.c_str(), AT_SIGNATURE,
                                               record.put()),
              E_INVALIDARG);
    EXPECT_EQ(GetUnregisteredCertfromContainer(TEXT(""), TEXT("box"), AT_SIGNATURE, record.put()),
              E_INVALIDARG);
    EXPECT_EQ(
        GetUnregisteredCertfromContainer(MS_ENHANCED_PROV_W, nullptr, AT_SIGNATURE, record.put()),
        E_INVALIDARG);
    EXPECT_FALSE(record);
    UnregisteredCertList list;
    EXPECT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(TEXT(""), nullptr, list),
              E_INVALIDARG);
}

TEST(UnregisteredContainer, OnlyVendorProvidersAreSearched) {
    struct Case {
        const char* names;
        std::vector<std::string> searched;
    } const cases[] = {
        {"Microsoft Enhanced Cryptographic Provider v1.0||Orvane Soft SM2 Token CSP v1.0",
         {"Orvane Soft SM2 Token CSP v1.0"}},
        // The test is case-sensitive, as the rule it carries.
        {"microsoft-like Token||Vendor MicrosoftSoft", {"microsoft-like Token"}},
        {"A||B||C", {"A", "B", "C"}},
        // Each provider once, as first spelt: lookups ignore the case of A-Z.
        {"Token A||B||token a||TOKEN A||B", {"Token A", "B"}},
        {"||Orvane Soft SM2 Token CSP v1.0", {}}, // a leading separator: none
        {"A||||B", {"A"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        TextList names{W("stale")};
        ASSERT_EQ(VendorCSPNames(W(c.names).c_str(), names), VURO_OK);
        std::vector<std::string> got;
        for (const WString& n : names)
            got.push_back(U8(n));
        EXPECT_EQ(got, c.searched) << c.names;
    }
    // Nothing to search: nothing found, and no failure.
    UnregisteredCertList list;
    EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(TEXT("||A"), nullptr, list), VURO_OK);
    EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(MS_ENHANCED_PROV_W, nullptr, list), VURO_OK);
    EXPECT_TRUE(list.empty());
}

} // namespace
