// The records of the test certificates against what OpenSSL reads in the same
// bytes: names, serial number, validity, key usage, subject key identifier and
// signature algorithm. POSIX only; OpenSSL is the independent reader.
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "certificates/CertificateRecord.h"
#include "foundation/Handles.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

X509Ptr Parse(const TestCertificate& c) {
    const unsigned char* p = c.data;
    return X509Ptr(d2i_X509(nullptr, &p, long(c.size)), &X509_free);
}

// NameText: the name as the platform writes it with the reverse and no-quoting
// flags, built from OpenSSL's entries: most specific first, "short=value"
// joined by ", ", the platform's short names for the attributes the test
// certificates use. Empty for an attribute outside that set.
std::string NameText(const X509_NAME* name) {
    struct Short {
        int nid;
        const char* text;
    };
    static const Short kShort[] = {
        {NID_countryName, "C"},        {NID_stateOrProvinceName, "S"},     {NID_localityName, "L"},
        {NID_organizationName, "O"},   {NID_organizationalUnitName, "OU"}, {NID_commonName, "CN"},
        {NID_pkcs9_emailAddress, "E"},
    };
    std::string text;
    for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
        const char* pszShort = nullptr;
        for (const Short& s : kShort)
            if (s.nid == nid)
                pszShort = s.text;
        if (pszShort == nullptr)
            return {};
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        if (n < 0)
            return {};
        if (!text.empty())
            text += ", ";
        text += std::string(pszShort) + "=" + std::string(reinterpret_cast<char*>(utf8), size_t(n));
        OPENSSL_free(utf8);
    }
    return text;
}

// SerialContents: the serial INTEGER's content octets, most significant first,
// a leading zero included.
Bytes SerialContents(const X509* x) {
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &der);
    Bytes out;
    if (n > 2 && der[1] < 0x80)
        out.assign(der + 2, der + n);
    OPENSSL_free(der);
    return out;
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char sz[3];
    for (BYTE b : bytes) {
        std::snprintf(sz, sizeof sz, "%02x", b);
        out += sz;
    }
    return out;
}

void ExpectSameTime(const SYSTEMTIME& st, const ASN1_TIME* t) {
    std::tm tm{};
    ASSERT_EQ(ASN1_TIME_to_tm(t, &tm), 1);
    EXPECT_EQ(st.wYear, tm.tm_year + 1900);
    EXPECT_EQ(st.wMonth, tm.tm_mon + 1);
    EXPECT_EQ(st.wDay, tm.tm_mday);
    EXPECT_EQ(st.wHour, tm.tm_hour);
    EXPECT_EQ(st.wMinute, tm.tm_min);
    EXPECT_EQ(st.wSecond, tm.tm_sec);
    EXPECT_EQ(st.wMilliseconds, 0);
}

TEST(CertificateRecordOpenssl, EveryFieldAsOpensslReadsIt) {
    struct Case {
        const char* what;
        const TestCertificate* cert;
        bool plainNames; // names the platform writes without quoting rules
    };
    const Case cases[] = {
        {"CA", &kCaCertificate, true},
        {"RSA end entity", &kRsaCertificate, true},
        {"EC, no common name", &kEcCertificate, true},
        {"expired, no extensions", &kExpiredCertificate, true},
        {"odd name", &kOddNameCertificate, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        X509Ptr x = Parse(*c.cert);
        ASSERT_TRUE(x);
        UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                            c.cert->data, c.cert->size));
        ASSERT_TRUE(cert);
        CertificateRecord r;
        ASSERT_EQ(ReadCertificateRecord(cert.get(), CertificateFields::All, &r), VURO_OK);

        if (c.plainNames) {
            const std::string subject = NameText(X509_get_subject_name(x.get()));
            ASSERT_FALSE(subject.empty());
            EXPECT_EQ(U8(r.wstrSubject), subject);
            EXPECT_EQ(U8(r.wstrIssuer), NameText(X509_get_issuer_name(x.get())));
        }

        const Bytes serial = SerialContents(x.get());
        ASSERT_FALSE(serial.empty());
        EXPECT_EQ(r.serial, Bytes(serial.rbegin(), serial.rend()));
        EXPECT_EQ(U8(r.wstrSerialHex), Hex(serial));

        ExpectSameTime(r.stNotBefore, X509_get0_notBefore(x.get()));
        ExpectSameTime(r.stNotAfter, X509_get0_notAfter(x.get()));

        const bool hasUsage = (X509_get_extension_flags(x.get()) & EXFLAG_KUSAGE) != 0;
        EXPECT_EQ(r.fHasKeyUsage, hasUsage);
        if (hasUsage) {
            EXPECT_EQ(r.byKeyUsage, BYTE(X509_get_key_usage(x.get()) & 0xFF));
        }

        const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(x.get());
        EXPECT_EQ(r.fHasSubjectKeyId, keyId != nullptr);
        if (keyId != nullptr) {
            EXPECT_EQ(r.subjectKeyId,
                      Bytes(ASN1_STRING_get0_data(keyId),
                            ASN1_STRING_get0_data(keyId) + ASN1_STRING_length(keyId)));
        }

        const ASN1_OBJECT* algorithm = nullptr;
        X509_ALGOR_get0(&algorithm, nullptr, nullptr, X509_get0_tbs_sigalg(x.get()));
        char szOid[128] = {};
        ASSERT_GT(OBJ_obj2txt(szOid, sizeof szOid, algorithm, 1), 0);
        EXPECT_EQ(r.strSignatureAlgorithm, szOid);

        EXPECT_FALSE(r.fHasKeyProvider);
    }
}

} // namespace
