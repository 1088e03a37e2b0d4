// The filter against an independent reading: about fifty certificates made
// and signed by OpenSSL (RSA with SHA-1 and SHA-256, SM2 with SM3), with
// varied names, serial numbers, key usages and validity periods. For each
// filter the expected survivors come from OpenSSL's own parse of every
// certificate (X509_NAME_print_ex, X509_get_serialNumber,
// X509_get_key_usage, the signature algorithm and validity it decodes), never
// from the getters the filter itself uses.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include "tests/support/OpensslCertificates.h"
#include "tests/support/OsslPtr.h"

#include "selection/CertificateFilter.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using orvane::tests::OsslPtr;
using PkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using BioPtr = OsslPtr<BIO, BIO_free_all>;

// What OpenSSL reads from one certificate.
struct Reading {
    std::string subject, issuer; // most specific part first, ", " between parts
    std::string serialHex;       // the INTEGER's content octets, leading 00 included
    bool hasKeyUsage = false;
    unsigned keyUsageFirstByte = 0;
    std::string signatureOid;
    time_t notBefore = 0, notAfter = 0;
};

// A small deterministic generator: a failure reproduces.
struct Lcg {
    uint32_t state = 20240611;
    uint32_t Next() { return state = state * 1664525u + 1013904223u; }
    uint32_t Below(uint32_t n) { return (Next() >> 8) % n; }
};

std::string NameText(const X509_NAME* name) {
    // The form the filter matches: most specific part first, ", " between
    // parts, short names, values as UTF-8 without quoting or escapes.
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), name, 0,
                       XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN |
                           ASN1_STRFLGS_UTF8_CONVERT);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, size_t(len));
}

// The algorithm identifier of an AlgorithmIdentifier, as OpenSSL decoded it.
const ASN1_OBJECT* AlgorithmObject(const X509_ALGOR* alg) {
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    return obj;
}

time_t ToTime(const ASN1_TIME* t) {
    struct tm tm {};
    ASN1_TIME_to_tm(t, &tm);
    return timegm(&tm);
}

Reading Read(X509* x) {
    Reading r;
    r.subject = NameText(X509_get_subject_name(x));
    r.issuer = NameText(X509_get_issuer_name(x));
    unsigned char* der = nullptr;
    const int len = i2d_ASN1_INTEGER(X509_get_serialNumber(x), &der);
    static const char kHex[] = "0123456789ABCDEF";
    // Skip the tag and the (short) length: the content octets remain.
    for (int i = 2; i < len; ++i) {
        r.serialHex += kHex[der[i] >> 4];
        r.serialHex += kHex[der[i] & 15];
    }
    OPENSSL_free(der);
    r.hasKeyUsage = (X509_get_extension_flags(x) & EXFLAG_KUSAGE) != 0;
    r.keyUsageFirstByte = r.hasKeyUsage ? (X509_get_key_usage(x) & 0xFF) : 0;
    char oid[128] = {};
    OBJ_obj2txt(oid, sizeof oid, AlgorithmObject(X509_get0_tbs_sigalg(x)), 1);
    r.signatureOid = oid;
    r.notBefore = ToTime(X509_get0_notBefore(x));
    r.notAfter = ToTime(X509_get0_notAfter(x));
    return r;
}

std::string Fold(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// The filter's rules written over OpenSSL's reading, for the fields set in
// the tests below (names, serial, key usage, algorithm, time).
struct Expectation {
    std::vector<std::string> subjects, issuers; // alternatives; empty: none
    std::string serial;
    unsigned keyUsage = 0;
    std::string prefix;
    bool hasTime = false;
    time_t at = 0;

    using Texts = std::vector<std::string>;
    Expectation& Subjects(Texts v) { return subjects = std::move(v), *this; }
    Expectation& Issuers(Texts v) { return issuers = std::move(v), *this; }
    Expectation& Serial(std::string v) { return serial = std::move(v), *this; }
    Expectation& Usage(unsigned v) { return keyUsage = v, *this; }
    Expectation& Prefix(std::string v) { return prefix = std::move(v), *this; }
    Expectation& At(time_t v) { return hasTime = true, at = v, *this; }

    bool Admits(const Reading& r) const {
        const auto anyIn = [](const std::vector<std::string>& alts, const std::string& text) {
            if (alts.empty())
                return true;
            for (const std::string& a : alts)
                if (a.empty() || Fold(text).find(Fold(a)) != std::string::npos)
                    return true;
            return false;
        };
        return anyIn(subjects, r.subject) && anyIn(issuers, r.issuer) &&
               (keyUsage == 0 || (r.hasKeyUsage && (r.keyUsageFirstByte & keyUsage) != 0)) &&
               (serial.empty() || Fold(serial) == Fold(r.serialHex)) &&
               (!hasTime || (r.notBefore <= at && at <= r.notAfter)) &&
               r.signatureOid.compare(0, prefix.size(), prefix) == 0;
    }
};

std::string Join(const std::vector<std::string>& alts) {
    std::string out;
    for (size_t i = 0; i < alts.size(); ++i)
        out += (i ? "#" : "") + alts[i];
    return out;
}

time_t Utc(int year, int month, int day) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    return timegm(&tm);
}

FILETIME ToFileTime(time_t t) {
    const uint64_t ticks = (uint64_t(t) + 11644473600ull) * 10000000ull;
    return FILETIME{DWORD(ticks & 0xFFFFFFFF), DWORD(ticks >> 32)};
}

class FilterAgainstOpenSsl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_rsa.reset(EVP_RSA_gen(1024));
        s_sm2.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
        ASSERT_TRUE(s_rsa && s_sm2);
        Lcg rng;
        const char* commonNames[] = {"Alice Liu",    "Bob Smith", "Smith, John", "张三",
                                     "alice cooper", "Zhao Wei",  "BOB"};
        const char* orgs[] = {"Example", "Other Org", "例子公司"};
        const char* issuers[] = {"Orvane Test RSA CA", "Orvane Test SM2 CA", "Another Root"};
        const unsigned usages[] = {0, 0x80, 0x20, 0xA0, 0x40, 0xC0, 0x08};
        struct Period {
            const char* from;
            const char* to;
        } const periods[] = {{"20010101000000Z", "20050101000000Z"},
                             {"20200101000000Z", "20450101000000Z"},
                             {"20600101000000Z", "20700101000000Z"}};
        for (int i = 0; i < 50; ++i) {
            orvane::checks::CertificateDescription desc;
            // Serial: 1 to 12 octets; about half have the top bit set, so
            // their encoding needs a leading 00.
            desc.serial.resize(1 + rng.Below(12));
            for (std::uint8_t& b : desc.serial)
                b = static_cast<std::uint8_t>(rng.Next() >> 16);
            desc.serial[0] = static_cast<std::uint8_t>(
                rng.Below(2) ? (desc.serial[0] | 0x80) : ((desc.serial[0] & 0x7F) | 0x01));

            desc.subject = {{"C", rng.Below(2) ? "CN" : "US"}};
            if (rng.Below(3) != 0)
                desc.subject.push_back({"O", orgs[rng.Below(3)]});
            if (rng.Below(3) == 0)
                desc.subject.push_back({"OU", "Signing Unit"});
            desc.subject.push_back({"CN", commonNames[rng.Below(7)]});
            desc.issuer = {{"C", "CN"}, {"CN", issuers[rng.Below(3)]}};

            const Period& p = periods[rng.Below(3)];
            desc.adjust = [&p](X509* x) {
                ASN1_TIME_set_string_X509(X509_getm_notBefore(x), p.from);
                ASN1_TIME_set_string_X509(X509_getm_notAfter(x), p.to);
            };

            const unsigned usage = usages[rng.Below(7)];
            const char* bits[] = {"digitalSignature", "nonRepudiation", "keyEncipherment",
                                  "dataEncipherment", "keyAgreement"};
            for (int b = 0; b < 5; ++b)
                if (usage & (0x80u >> b))
                    desc.keyUsage += (desc.keyUsage.empty() ? "" : ",") + std::string(bits[b]);

            const unsigned family = rng.Below(3); // RSA/SHA-256, RSA/SHA-1, SM2/SM3
            desc.key = family == 2 ? s_sm2.get() : s_rsa.get();
            desc.md = family == 1 ? EVP_sha1() : EVP_sha256();
            const orvane::checks::X509Ptr x = orvane::checks::MakeX509(desc);
            ASSERT_TRUE(x) << i;
            s_der.push_back(orvane::checks::DerOf(x.get()));
            ASSERT_FALSE(s_der.back().empty()) << i;
            s_readings.push_back(Read(x.get()));
        }
    }
    static void TearDownTestSuite() {
        s_rsa.reset();
        s_sm2.reset();
    }

    void SetUp() override {
        // Through a store, as the callers get them.
        UniqueStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        ASSERT_TRUE(store);
        for (const std::vector<unsigned char>& der : s_der)
            ASSERT_TRUE(CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                                         DWORD(der.size()), CERT_STORE_ADD_ALWAYS,
                                                         nullptr));
        ASSERT_EQ(ExtractCertificatesFromStore(store.get(), m_certs), VURO_OK);
        ASSERT_EQ(m_certs.size(), s_der.size());
    }

    // The indexes of the certificates that pass, by the filter and by OpenSSL.
    void Compare(const char* what, const Expectation& e) {
        const WString subject = W(Join(e.subjects).c_str());
        const WString issuer = W(Join(e.issuers).c_str());
        const WString serial = W(e.serial.c_str());
        const FILETIME at = ToFileTime(e.at);
        CERTIFICATE_FILTER filter{};
        filter.pwszSubjectDN = e.subjects.empty() ? nullptr : subject.c_str();
        filter.pwszIssuerDN = e.issuers.empty() ? nullptr : issuer.c_str();
        filter.pwszSerialNumber = serial.c_str();
        filter.dwKeyUsage = e.keyUsage;
        filter.pszSignatureAlg = e.prefix.empty() ? nullptr : e.prefix.c_str();
        filter.pftTime = e.hasTime ? &at : nullptr;

        CertificateList out;
        ASSERT_EQ(FilterCertificates(&filter, out, m_certs), VURO_OK) << what;
        std::vector<size_t> got, expected;
        for (const UniqueCertContext& c : out)
            for (size_t i = 0; i < m_certs.size(); ++i)
                if (m_certs[i].get() == c.get())
                    got.push_back(i);
        for (size_t i = 0; i < s_readings.size(); ++i)
            if (e.Admits(s_readings[i]))
                expected.push_back(i);
        EXPECT_EQ(got, expected) << what;
        m_nonEmpty += expected.empty() ? 0 : 1;
        m_partial += (!expected.empty() && expected.size() < s_readings.size()) ? 1 : 0;
    }

    static inline PkeyPtr s_rsa, s_sm2;
    static inline std::vector<std::vector<unsigned char>> s_der;
    static inline std::vector<Reading> s_readings;
    CertificateList m_certs;
    int m_nonEmpty = 0, m_partial = 0;
};

TEST_F(FilterAgainstOpenSsl, SurvivorsMatchOpenSslsReading) {
    // Serials of two certificates, one whose encoding carries a leading 00.
    std::string padded, plain;
    for (const Reading& r : s_readings) {
        if (padded.empty() && r.serialHex.rfind("00", 0) == 0)
            padded = r.serialHex;
        if (plain.empty() && r.serialHex.rfind("00", 0) != 0)
            plain = r.serialHex;
    }
    ASSERT_FALSE(padded.empty());
    ASSERT_FALSE(plain.empty());
    const time_t in2003 = Utc(2003, 6, 1), in2030 = Utc(2030, 1, 1), in2065 = Utc(2065, 1, 1);

    using E = Expectation;
    struct Case {
        const char* what;
        Expectation e;
    } const cases[] = {
        {"nothing", E()},
        {"# alone", E().Subjects({"", ""})},
        {"one name, other case", E().Subjects({"cn=alice"})},
        {"alternatives", E().Subjects({"Alice", "BOB"})},
        {"a comma inside a value", E().Subjects({"CN=Smith, John, O="})},
        {"trailing parts", E().Subjects({"O=Example, C=CN"})},
        {"non-ASCII", E().Subjects({"张三"})},
        {"issuer", E().Issuers({"Orvane Test SM2 CA"})},
        {"serial with its 00", E().Serial(padded)},
        {"serial without its 00", E().Serial(padded.substr(2))},
        {"serial in lower case", E().Serial(Fold(plain))},
        {"digital signature", E().Usage(0x80)},
        {"key encipherment", E().Usage(0x20)},
        {"non-repudiation or key agreement", E().Usage(0x48)},
        {"RSA family", E().Prefix("1.2.840.113549")},
        {"SHA-1 with RSA", E().Prefix("1.2.840.113549.1.1.5")},
        {"SM2 family", E().Prefix("1.2.156.10197")},
        {"valid in 2003", E().At(in2003)},
        {"valid in 2030", E().At(in2030)},
        {"valid in 2065", E().At(in2065)},
        {"signing: RSA, digital signature, valid",
         E().Usage(0x80).Prefix("1.2.840.113549").At(in2030)},
        {"names and family",
         E().Subjects({"Example"}).Issuers({"RSA CA", "Another"}).Prefix("1.2.156.10197")},
    };
    for (const Case& c : cases)
        Compare(c.what, c.e);
    // The filters must have told certificates apart, not passed all or none.
    EXPECT_GE(m_partial, 15);
}

} // namespace
