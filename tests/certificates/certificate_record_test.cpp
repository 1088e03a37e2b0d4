// Typed certificate records on both targets: what a missing extension or key
// link looks like, which fields a read fills and which it leaves alone, names
// longer than the first buffer the readers try, and a malformed extension
// failing a read without touching the caller's record.
#include "certificates/CertificateQueries.h"
#include "certificates/CertificateRecord.h"
#include "der/Der.h"
#include "foundation/Handles.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

UniqueCertContext Create(const Bytes& der) {
    return UniqueCertContext(
        CertCreateCertificateContext(kEncoding, der.data(), DWORD(der.size())));
}

Bytes DerOf(const TestCertificate& c) {
    return Bytes(c.data, c.data + c.size);
}

// A record whose every field holds a value no certificate gives, to see which
// fields a read touched.
CertificateRecord Stale() {
    CertificateRecord r;
    r.wstrSubject = W("stale subject");
    r.wstrIssuer = W("stale issuer");
    r.serial = {0xEE};
    r.wstrSerialHex = W("ee");
    r.stNotBefore.wYear = 1999;
    r.stNotAfter.wYear = 1999;
    r.fHasKeyProvider = true;
    r.keyProvider.wstrProviderName = W("stale provider");
    r.fHasKeyUsage = true;
    r.byKeyUsage = 0x55;
    r.strSignatureAlgorithm = "1.2.3";
    r.fHasSubjectKeyId = true;
    r.subjectKeyId = {0xEE, 0xEE};
    return r;
}

TEST(CertificateRecord, MissingExtensionsAndKeyLinkAreFlagsNotFailures) {
    struct Case {
        const char* what;
        const TestCertificate* cert;
        bool hasUsage;
        BYTE usage;
        bool hasKeyId;
    };
    const Case cases[] = {
        {"CA: keyCertSign, cRLSign", &kCaCertificate, true, 0x06, true},
        {"end entity: digitalSignature, keyEncipherment", &kRsaCertificate, true, 0xA0, true},
        {"key identifier without key usage", &kEcCertificate, false, 0, true},
        {"no extensions at all", &kExpiredCertificate, false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UniqueCertContext cert = Create(DerOf(*c.cert));
        ASSERT_TRUE(cert);
        CertificateRecord r = Stale();
        ASSERT_EQ(ReadCertificateRecord(cert.get(),
                                        CertificateFields::KeyUsage |
                                            CertificateFields::SubjectKeyId |
                                            CertificateFields::KeyProvider,
                                        &r),
                  VURO_OK);
        EXPECT_EQ(r.fHasKeyUsage, c.hasUsage);
        EXPECT_EQ(r.byKeyUsage, c.usage);
        EXPECT_EQ(r.fHasSubjectKeyId, c.hasKeyId);
        EXPECT_EQ(r.subjectKeyId.empty(), !c.hasKeyId);
        // A certificate made from bytes has no key link.
        EXPECT_FALSE(r.fHasKeyProvider);
        EXPECT_TRUE(r.keyProvider.wstrProviderName.empty());

        // Asked for one at a time, an absent field is the reader's failure.
        BYTE byUsage = 0;
        EXPECT_EQ(ReadCertificateKeyUsage(cert.get(), &byUsage),
                  c.hasUsage ? VURO_OK : VURO_E_NO_KEY_USAGE);
        std::vector<BYTE> keyId;
        EXPECT_EQ(ReadCertificateSubjectKeyId(cert.get(), &keyId),
                  c.hasKeyId ? VURO_OK : VURO_E_NO_SUBJECT_KEY_ID);
        EXPECT_EQ(keyId, r.subjectKeyId);
        CertificateKeyProvider provider;
        EXPECT_EQ(ReadCertificateKeyProvider(cert.get(), &provider), CRYPT_E_NOT_FOUND);
    }
}

TEST(CertificateRecord, KeyLinkComesFromTheKeyProviderProperty) {
    UniqueCertContext cert = Create(DerOf(kEcCertificate));
    ASSERT_TRUE(cert);
    WString wstrContainer = W("record-container");
    WString wstrProvider = W("Orvane Soft SM2 Token CSP v1.0");
    struct Case {
        const char* what;
        WCHAR* pwszContainer;
        WCHAR* pwszProvider;
        DWORD dwProvType, dwKeySpec;
        bool linked;
    };
    const Case cases[] = {
        {"container and provider", wstrContainer.data(), wstrProvider.data(), PROV_RSA_AES,
         AT_SIGNATURE, true},
        {"no container name", nullptr, wstrProvider.data(), PROV_RSA_FULL, AT_KEYEXCHANGE, true},
        // A property that names no CSP is no key link, as the list sees it.
        {"no provider name", wstrContainer.data(), nullptr, PROV_RSA_FULL, AT_SIGNATURE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = c.pwszContainer;
        info.pwszProvName = c.pwszProvider;
        info.dwProvType = c.dwProvType;
        info.dwKeySpec = c.dwKeySpec;
        ASSERT_TRUE(
            CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        CertificateRecord r = Stale();
        ASSERT_EQ(ReadCertificateRecord(cert.get(), CertificateFields::KeyProvider, &r), VURO_OK);
        EXPECT_EQ(r.fHasKeyProvider, c.linked);
        CertificateKeyProvider provider;
        EXPECT_EQ(ReadCertificateKeyProvider(cert.get(), &provider),
                  c.linked ? VURO_OK : CRYPT_E_NOT_FOUND);
        if (!c.linked) {
            EXPECT_TRUE(r.keyProvider.wstrProviderName.empty());
            continue;
        }
        for (const CertificateKeyProvider* p : {&r.keyProvider, &provider}) {
            EXPECT_EQ(U8(p->wstrProviderName), U8(c.pwszProvider));
            EXPECT_EQ(U8(p->wstrContainerName), U8(c.pwszContainer));
            EXPECT_EQ(p->dwProvType, c.dwProvType);
            EXPECT_EQ(p->dwKeySpec, c.dwKeySpec);
        }
    }
}

TEST(CertificateRecord, ReadsOnlyTheFieldsAskedFor) {
    UniqueCertContext rsa = Create(DerOf(kRsaCertificate));
    ASSERT_TRUE(rsa);
    const CertificateRecord stale = Stale();
    CertificateRecord r = stale;
    ASSERT_EQ(ReadCertificateRecord(rsa.get(), CertificateFields::Serial, &r), VURO_OK);
    EXPECT_EQ(r.serial, Bytes({0x88, 0x97, 0xA6, 0xB5, 0xC4, 0xD3, 0xE2, 0xF1, 0x00}));
    EXPECT_EQ(U8(r.wstrSerialHex), "00f1e2d3c4b5a69788");
    // Everything else is as it was.
    EXPECT_EQ(r.wstrSubject, stale.wstrSubject);
    EXPECT_EQ(r.wstrIssuer, stale.wstrIssuer);
    EXPECT_EQ(r.stNotBefore.wYear, 1999);
    EXPECT_EQ(r.stNotAfter.wYear, 1999);
    EXPECT_TRUE(r.fHasKeyProvider);
    EXPECT_EQ(r.byKeyUsage, 0x55);
    EXPECT_EQ(r.strSignatureAlgorithm, "1.2.3");
    EXPECT_EQ(r.subjectKeyId, stale.subjectKeyId);

    ASSERT_EQ(ReadCertificateRecord(rsa.get(),
                                    CertificateFields::Issuer | CertificateFields::NotAfter, &r),
              VURO_OK);
    EXPECT_EQ(U8(r.wstrIssuer), "CN=Orvane Test CA, O=Orvane Test, C=CN");
    // 2046-12-02 21:50:14 UTC; the start stays untouched.
    EXPECT_EQ(r.stNotAfter.wYear, 2046);
    EXPECT_EQ(r.stNotAfter.wMonth, 12);
    EXPECT_EQ(r.stNotAfter.wDay, 2);
    EXPECT_EQ(r.stNotAfter.wHour, 21);
    EXPECT_EQ(r.stNotBefore.wYear, 1999);
    EXPECT_EQ(r.wstrSubject, stale.wstrSubject);
}

TEST(CertificateRecord, RecordTextMatchesTheDescribedQuery) {
    // FormatCertificateInfo is what GetCertificateInfo hands out, also for a
    // record read with everything.
    UniqueCertContext rsa = Create(DerOf(kRsaCertificate));
    ASSERT_TRUE(rsa);
    WString wstrProvider = W("Microsoft Enhanced Cryptographic Provider v1.0");
    WString wstrContainer = W("record-text");
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = wstrContainer.data();
    info.pwszProvName = wstrProvider.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(rsa.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertificateRecord r;
    ASSERT_EQ(ReadCertificateRecord(rsa.get(), CertificateFields::All, &r), VURO_OK);
    WString wstrText = W("kept:");
    ASSERT_EQ(FormatCertificateInfo(r, &wstrText), VURO_OK);
    WString wstrInfo;
    ASSERT_EQ(GetCertificateInfo(&wstrInfo, rsa.get()), VURO_OK);
    EXPECT_EQ(U8(wstrText), "kept:" + U8(wstrInfo));

    // Without a key link there is no record text, and nothing is appended.
    r.fHasKeyProvider = false;
    EXPECT_EQ(FormatCertificateInfo(r, &wstrText), CRYPT_E_NOT_FOUND);
    EXPECT_EQ(U8(wstrText), "kept:" + U8(wstrInfo));
}

// MalformedKeyUsage: the end-entity certificate with its key-usage value's BIT
// STRING tag changed to OCTET STRING (the signature no longer matches, which
// no reader here checks).
Bytes MalformedKeyUsage() {
    Bytes der = DerOf(kRsaCertificate);
    const Bytes oid = {0x06, 0x03, 0x55, 0x1D, 0x0F};
    auto at = std::search(der.begin(), der.end(), oid.begin(), oid.end());
    const Bytes value = {0x04, 0x04, 0x03, 0x02};
    at = std::search(at, der.end(), value.begin(), value.end());
    if (at != der.end())
        at[2] = 0x04;
    return der;
}

TEST(CertificateRecord, AFailedReadLeavesTheRecordAlone) {
    UniqueCertContext bad = Create(MalformedKeyUsage());
    ASSERT_TRUE(bad);
    BYTE byUsage = 0;
    const HRESULT hrUsage = ReadCertificateKeyUsage(bad.get(), &byUsage);
    ASSERT_TRUE(FAILED(hrUsage));
    EXPECT_NE(hrUsage, VURO_E_NO_KEY_USAGE) << "the extension is there, only malformed";

    CertificateRecord r = Stale();
    CertificateFields fFailed = CertificateFields::NoField;
    EXPECT_EQ(ReadCertificateRecord(bad.get(), CertificateFields::All, &r, &fFailed), hrUsage);
    EXPECT_EQ(fFailed, CertificateFields::KeyUsage);
    // The fields read before the failing one were not handed out either.
    EXPECT_EQ(U8(r.wstrSubject), "stale subject");
    EXPECT_EQ(r.serial, Bytes({0xEE}));
    EXPECT_EQ(r.byKeyUsage, 0x55);

    // The other fields of that certificate still read.
    ASSERT_EQ(ReadCertificateRecord(
                  bad.get(), CertificateFields::Subject | CertificateFields::SubjectKeyId, &r),
              VURO_OK);
    EXPECT_EQ(r.wstrSubject.substr(0, 20), W("E=alice@example.com,"));
    EXPECT_TRUE(r.fHasSubjectKeyId);

    EXPECT_EQ(ReadCertificateRecord(nullptr, CertificateFields::All, &r), E_INVALIDARG);
    EXPECT_EQ(ReadCertificateRecord(bad.get(), CertificateFields::All, nullptr), E_INVALIDARG);
}

// Name: the DER of a name with one common name.
Bytes CommonNameDer(const std::string& value) {
    orvane::der::DerWriter w;
    w.Constructed(0x30, [&](orvane::der::DerWriter& name) {
        name.Constructed(0x31, [&](orvane::der::DerWriter& rdn) {
            rdn.Constructed(0x30, [&](orvane::der::DerWriter& atv) {
                orvane::der::WriteOid(atv, "2.5.4.3");
                atv.Element(0x0C, orvane::der::Bytes(reinterpret_cast<const BYTE*>(value.data()),
                                                     value.size()));
            });
        });
    });
    return w.Take();
}

TEST(CertificateNames, LongerThanTheFirstBuffer) {
    // The readers try 256 characters first: a text that fills them may have
    // been cut, so it is read again at its full size. Lengths around the edge.
    for (size_t cchValue : {size_t(1), size_t(251), size_t(252), size_t(253), size_t(900)}) {
        SCOPED_TRACE(cchValue);
        const std::string value(cchValue, 'n');
        Bytes name = CommonNameDer(value);
        CERT_INFO info{};
        info.Subject = {DWORD(name.size()), name.data()};
        info.Issuer = info.Subject;
        CERT_CONTEXT context{};
        context.dwCertEncodingType = kEncoding;
        context.pCertInfo = &info;

        WString wstrSubject, wstrIssuer, wstrName;
        ASSERT_EQ(ReadCertificateSubject(&context, CERT_X500_NAME_STR, &wstrSubject), VURO_OK);
        EXPECT_EQ(U8(wstrSubject), "CN=" + value);
        ASSERT_EQ(ReadCertificateIssuer(&context, &wstrIssuer), VURO_OK);
        EXPECT_EQ(wstrIssuer, wstrSubject);
        ASSERT_EQ(ReadCertificateDisplayName(&context, &wstrName), VURO_OK);
        EXPECT_EQ(U8(wstrName), value);

        // The described query gives the whole name, no more: the text and
        // nothing after it.
        WString wstrDescribed;
        ASSERT_EQ(GetCertSubject(CERT_X500_NAME_STR, &context, &wstrDescribed), VURO_OK);
        EXPECT_EQ(wstrDescribed.size(), cchValue + 3);
        EXPECT_EQ(wstrDescribed, wstrSubject);
    }
}

} // namespace
