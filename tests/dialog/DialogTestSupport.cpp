#include "tests/dialog/DialogTestSupport.h"

#include "der/Der.h"
#include "foundation/Encodings.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace dialog_test {

namespace der = orvane::der;

namespace {

// SubjectPublicKeyInfo of the RSA test certificate, as encoded there:
//   Certificate ::= SEQUENCE { tbsCertificate TBSCertificate, ... }
//   TBSCertificate ::= SEQUENCE { [0] version, serialNumber, signature,
//       issuer, validity, subject, subjectPublicKeyInfo, ... }
std::vector<BYTE> PublicKeyInfo() {
    der::DerReader outer(der::Bytes(kRsaCertificate.data, kRsaCertificate.size));
    der::Bytes certificate, tbs, skip, spki;
    if (outer.Read(der::tag::kSequence, certificate) != 0)
        return {};
    der::DerReader c(certificate);
    if (c.Read(der::tag::kSequence, tbs) != 0)
        return {};
    der::DerReader t(tbs);
    BYTE first = 0;
    for (int i = 0; i < 6; ++i) // version, serial, signature, issuer, validity, subject
        if (t.ReadAny(first, skip) != 0)
            return {};
    if (t.ReadAny(first, skip, &spki) != 0)
        return {};
    return std::vector<BYTE>(spki.begin(), spki.end());
}

void WriteName(der::DerWriter& w, const std::vector<Attribute>& name) {
    // Name ::= SEQUENCE OF RelativeDistinguishedName
    // RelativeDistinguishedName ::= SET OF AttributeTypeAndValue
    // AttributeTypeAndValue ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY }
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& seq) {
        for (const Attribute& a : name)
            seq.Constructed(der::tag::kSet, [&](der::DerWriter& set) {
                set.Constructed(der::tag::kSequence, [&](der::DerWriter& atv) {
                    der::WriteOid(atv, a.first);
                    const BYTE kind = std::string(a.first) == kC ? der::tag::kPrintableString
                                                                 : der::tag::kUtf8String;
                    atv.Element(kind, der::Bytes(reinterpret_cast<const BYTE*>(a.second.data()),
                                                 a.second.size()));
                });
            });
    });
}

void WriteAlgorithm(der::DerWriter& w) {
    // sha256WithRSAEncryption, NULL parameters
    w.Constructed(der::tag::kSequence, [](der::DerWriter& alg) {
        der::WriteOid(alg, "1.2.840.113549.1.1.11");
        alg.Element(der::tag::kNull, der::Bytes());
    });
}

der::Bytes Ascii(const char* psz) {
    return der::Bytes(reinterpret_cast<const BYTE*>(psz), std::string(psz).size());
}

} // namespace

UniqueCertContext MakeCertificate(const CertificateSpec& spec) {
    static const std::vector<BYTE> spki = PublicKeyInfo();
    der::DerWriter w;
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& cert) {
        cert.Constructed(der::tag::kSequence, [&](der::DerWriter& tbs) {
            tbs.Constructed(der::tag::ContextConstructed(0),
                            [](der::DerWriter& v) { der::WriteInt32(v, 2); });
            tbs.Element(der::tag::kInteger, der::Bytes(spec.serialBigEndian));
            WriteAlgorithm(tbs);
            WriteName(tbs, spec.issuer);
            tbs.Constructed(der::tag::kSequence, [&](der::DerWriter& validity) {
                validity.Element(0x17, Ascii(spec.notBefore)); // UTCTime
                validity.Element(0x17, Ascii(spec.notAfter));
            });
            WriteName(tbs, spec.subject);
            tbs.Raw(der::Bytes(spki));
        });
        WriteAlgorithm(cert);
        const BYTE signature[] = {0x00, 0x5a, 0x5a, 0x5a, 0x5a};
        cert.Element(der::tag::kBitString, der::Bytes(signature));
    });
    EXPECT_EQ(w.Error(), 0u);
    const std::vector<BYTE>& encoded = w.Encoding();
    UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                        encoded.data(), DWORD(encoded.size())));
    EXPECT_TRUE(cert) << "CertCreateCertificateContext: " << GetLastError();
    return cert;
}

UniqueCertContext MakeNamedCertificate(const std::string& name, unsigned index) {
    CertificateSpec spec;
    spec.subject = {{kO, "Orvane Demo"}, {kCN, name}};
    spec.issuer = {{kO, "Orvane Demo Authority"}, {kCN, "Orvane Demo CA"}};
    const unsigned serial = 0x1000 + index;
    spec.serialBigEndian = {BYTE(serial >> 16), BYTE(serial >> 8), BYTE(serial)};
    return MakeCertificate(spec);
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a != nullptr && b != nullptr && a->cbCertEncoded == b->cbCertEncoded &&
           std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

UniqueStore MemoryStore(const std::vector<PCCERT_CONTEXT>& certs) {
    UniqueStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                    0, 0, nullptr));
    EXPECT_TRUE(store);
    for (PCCERT_CONTEXT c : certs)
        EXPECT_TRUE(
            CertAddCertificateContextToStore(store.get(), c, CERT_STORE_ADD_ALWAYS, nullptr));
    return store;
}

bool LinkToNewContainer(PCCERT_CONTEXT pCert, const WCHAR* pwszProvider, DWORD dwProvType) {
    WString wstrGuid;
    if (FAILED(CreateGUIDStr(&wstrGuid)))
        return false;
    WString container = TEXT("orvane-dialog-test-");
    container += wstrGuid;
    UniqueProvider prov;
    if (!CryptAcquireContextW(prov.put(), container.c_str(), pwszProvider, dwProvType,
                              CRYPT_NEWKEYSET))
        return false;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = const_cast<LPWSTR>(pwszProvider);
    info.dwProvType = dwProvType;
    info.dwKeySpec = AT_SIGNATURE;
    return CertSetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
}

} // namespace dialog_test
