// The stand-in reads certificates with its own DER reader; OpenSSL reads the
// same bytes here, and every field of CERT_INFO must agree with it.
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tests/support/OpensslCertificates.h"
#include "tests/support/TestCertificates.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

std::string Oid(const ASN1_OBJECT* obj) {
    char buf[128];
    OBJ_obj2txt(buf, sizeof buf, obj, 1);
    return buf;
}

Bytes Der(int (*encode)(const X509_NAME*, unsigned char**), const X509_NAME* name) {
    unsigned char* p = nullptr;
    const int n = encode(name, &p);
    Bytes out(p, p + (n > 0 ? n : 0));
    OPENSSL_free(p);
    return out;
}

long long Seconds(const FILETIME& ft) {
    const unsigned long long ticks = (unsigned long long)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    return (long long)(ticks / 10000000ULL) - 11644473600LL;
}

long long Seconds(const ASN1_TIME* t) {
    struct tm tm {};
    ASN1_TIME_to_tm(t, &tm);
    return (long long)timegm(&tm);
}

Bytes Blob(const CRYPT_DATA_BLOB& b) {
    return Bytes(b.pbData, b.pbData + b.cbData);
}

TEST(CertificateParse, EveryFieldAgreesWithOpenSsl) {
    for (const TestCertificate* t : {&kCaCertificate, &kRsaCertificate, &kEcCertificate,
                                     &kOddNameCertificate, &kExpiredCertificate}) {
        PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, t->data, t->size);
        ASSERT_NE(c, nullptr);
        const unsigned char* p = t->data;
        X509* x = d2i_X509(nullptr, &p, long(t->size));
        ASSERT_NE(x, nullptr);
        const CERT_INFO& info = *c->pCertInfo;

        EXPECT_EQ(long(info.dwVersion), X509_get_version(x));
        // The serial's content octets, least significant first.
        const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
        unsigned char* serialDer = nullptr;
        const int serialLen = i2d_ASN1_INTEGER(serial, &serialDer);
        Bytes content(serialDer + 2, serialDer + serialLen); // short form in these certificates
        OPENSSL_free(serialDer);
        EXPECT_EQ(Blob(info.SerialNumber), Bytes(content.rbegin(), content.rend()));

        EXPECT_EQ(Blob(info.Issuer), Der(i2d_X509_NAME, X509_get_issuer_name(x)));
        EXPECT_EQ(Blob(info.Subject), Der(i2d_X509_NAME, X509_get_subject_name(x)));
        EXPECT_EQ(Seconds(info.NotBefore), Seconds(X509_get0_notBefore(x)));
        EXPECT_EQ(Seconds(info.NotAfter), Seconds(X509_get0_notAfter(x)));

        const X509_ALGOR* sigAlg = X509_get0_tbs_sigalg(x);
        const ASN1_OBJECT* sigOid = nullptr;
        X509_ALGOR_get0(&sigOid, nullptr, nullptr, sigAlg);
        EXPECT_EQ(std::string(info.SignatureAlgorithm.pszObjId), Oid(sigOid));

        const unsigned char* key = nullptr;
        int keyLen = 0;
        X509_ALGOR* keyAlg = nullptr;
        ASSERT_EQ(X509_PUBKEY_get0_param(nullptr, &key, &keyLen, &keyAlg, X509_get_X509_PUBKEY(x)),
                  1);
        const ASN1_OBJECT* keyOid = nullptr;
        X509_ALGOR_get0(&keyOid, nullptr, nullptr, keyAlg);
        EXPECT_EQ(std::string(info.SubjectPublicKeyInfo.Algorithm.pszObjId), Oid(keyOid));
        EXPECT_EQ(Bytes(info.SubjectPublicKeyInfo.PublicKey.pbData,
                        info.SubjectPublicKeyInfo.PublicKey.pbData +
                            info.SubjectPublicKeyInfo.PublicKey.cbData),
                  Bytes(key, key + keyLen));

        ASSERT_EQ(int(info.cExtension), X509_get_ext_count(x));
        for (int i = 0; i < X509_get_ext_count(x); ++i) {
            X509_EXTENSION* ext = X509_get_ext(x, i);
            const CERT_EXTENSION& e = info.rgExtension[i];
            EXPECT_EQ(std::string(e.pszObjId), Oid(X509_EXTENSION_get_object(ext)));
            EXPECT_EQ(e.fCritical != FALSE, X509_EXTENSION_get_critical(ext) > 0);
            const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
            EXPECT_EQ(Blob(e.Value),
                      Bytes(ASN1_STRING_get0_data(value),
                            ASN1_STRING_get0_data(value) + ASN1_STRING_length(value)));
        }
        X509_free(x);
        CertFreeCertificateContext(c);
    }
}

// CertificateWithValidity: a self-signed certificate whose notBefore is the
// given time element, written as given (OpenSSL signs it without checking).
Bytes CertificateWithValidity(int type, const char* text) {
    const orvane::checks::Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    orvane::checks::CertificateDescription desc;
    desc.key = key.get();
    desc.subject = {{"CN", "Times"}};
    desc.serial = {7};
    desc.notAfter = 0;
    desc.adjust = [&](X509* x) {
        ASN1_TIME* t = ASN1_TIME_new();
        ASN1_STRING_set(t, text, -1);
        t->type = type;
        X509_set1_notBefore(x, t);
        ASN1_TIME_free(t);
    };
    return orvane::checks::MakeCertificate(desc);
}

// The DER forms of a time are read directly; every other form the way
// OpenSSL reads it; a time that is no time is refused.
TEST(CertificateParse, ValidityInEveryFormAgreesWithOpenSsl) {
    const struct {
        const char* what;
        int type;
        const char* text;
        bool valid;
    } cases[] = {
        {"UTCTime, last year of 19xx reading", V_ASN1_UTCTIME, "500101000000Z", true},
        {"UTCTime, last year of 20xx reading", V_ASN1_UTCTIME, "491231235959Z", true},
        {"GeneralizedTime", V_ASN1_GENERALIZEDTIME, "20500101000000Z", true},
        {"leap day", V_ASN1_GENERALIZEDTIME, "20240229120000Z", true},
        {"first year of file times", V_ASN1_GENERALIZEDTIME, "16010101000000Z", true},
        {"UTCTime without seconds", V_ASN1_UTCTIME, "0001010000Z", true},
        {"UTCTime with an offset", V_ASN1_UTCTIME, "000101000000+0800", true},
        // Invalid: no such month, no such day.
        {"month 13", V_ASN1_GENERALIZEDTIME, "20231301000000Z", false},
        {"29 February of a common year", V_ASN1_GENERALIZEDTIME, "20230229000000Z", false},
    };
    for (const auto& t : cases) {
        const Bytes der = CertificateWithValidity(t.type, t.text);
        ASSERT_FALSE(der.empty()) << t.what;
        PCCERT_CONTEXT c =
            CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
        EXPECT_EQ(c != nullptr, t.valid) << t.what;
        if (c == nullptr)
            continue;
        const unsigned char* p = der.data();
        X509* x = d2i_X509(nullptr, &p, long(der.size()));
        ASSERT_NE(x, nullptr) << t.what;
        EXPECT_EQ(Seconds(c->pCertInfo->NotBefore), Seconds(X509_get0_notBefore(x))) << t.what;
        X509_free(x);
        CertFreeCertificateContext(c);
    }
}

} // namespace
