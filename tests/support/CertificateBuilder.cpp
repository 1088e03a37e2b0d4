#include "tests/support/CertificateBuilder.h"

#include "der/Der.h"

#include <algorithm>

namespace orvane::test {
namespace {

using der::DerWriter;

constexpr char kCountryOid[] = "2.5.4.6";

void WriteName(DerWriter& w, const std::vector<NameAttribute>& name) {
    // Name ::= SEQUENCE OF RelativeDistinguishedName
    // RelativeDistinguishedName ::= SET OF AttributeTypeAndValue
    // AttributeTypeAndValue ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY }
    w.Constructed(der::tag::kSequence, [&](DerWriter& seq) {
        for (const NameAttribute& attr : name) {
            seq.Constructed(der::tag::kSet, [&](DerWriter& set) {
                set.Constructed(der::tag::kSequence, [&](DerWriter& atv) {
                    der::WriteOid(atv, attr.first.c_str());
                    const BYTE type = attr.first == kCountryOid ? der::tag::kPrintableString
                                                                : der::tag::kUtf8String;
                    atv.Element(type, {reinterpret_cast<const BYTE*>(attr.second.data()),
                                       attr.second.size()});
                });
            });
        }
    });
}

// Time ::= CHOICE { utcTime UTCTime, generalTime GeneralizedTime }: UTCTime
// for 1950 to 2049, as RFC 5280 demands.
void WriteTime(DerWriter& w, const std::string& yyyymmddhhmmss) {
    const int year = std::stoi(yyyymmddhhmmss.substr(0, 4));
    const bool utc = year >= 1950 && year < 2050;
    const std::string text = (utc ? yyyymmddhhmmss.substr(2) : yyyymmddhhmmss) + "Z";
    w.Element(utc ? 0x17 : 0x18, {reinterpret_cast<const BYTE*>(text.data()), text.size()});
}

void WriteAlgorithm(DerWriter& w, const std::string& oid) {
    // AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER, parameters ANY OPTIONAL }
    w.Constructed(der::tag::kSequence, [&](DerWriter& alg) {
        der::WriteOid(alg, oid.c_str());
        if (oid.rfind("1.2.840.113549", 0) == 0)
            alg.Element(der::tag::kNull, {});
    });
}

void WriteExtension(DerWriter& w, const char* oid, const Bytes& value) {
    // Extension ::= SEQUENCE { extnID OBJECT IDENTIFIER, critical BOOLEAN DEFAULT FALSE,
    //                          extnValue OCTET STRING }
    w.Constructed(der::tag::kSequence, [&](DerWriter& ext) {
        der::WriteOid(ext, oid);
        ext.Element(der::tag::kOctetString, value);
    });
}

// A 512-bit RSA public key: RSAPublicKey ::= SEQUENCE { modulus, publicExponent }.
Bytes FixedRsaPublicKeyInfo() {
    Bytes modulus(65, 0xA5);
    modulus[0] = 0x00; // positive
    modulus[1] = 0xC3;
    modulus.back() = 0x01;
    DerWriter rsa;
    rsa.Constructed(der::tag::kSequence, [&](DerWriter& seq) {
        seq.Element(der::tag::kInteger, modulus);
        seq.Element(der::tag::kInteger, Bytes{0x01, 0x00, 0x01});
    });
    Bytes bits(1 + rsa.Encoding().size(), 0x00); // no unused bits, then the key
    std::copy(rsa.Encoding().begin(), rsa.Encoding().end(), bits.begin() + 1);
    DerWriter spki;
    spki.Constructed(der::tag::kSequence, [&](DerWriter& seq) {
        WriteAlgorithm(seq, "1.2.840.113549.1.1.1");
        seq.Element(der::tag::kBitString, bits);
    });
    return spki.Take();
}

} // namespace

Bytes EncodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info) {
    // SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier,
    //                                     subjectPublicKey BIT STRING }
    DerWriter w;
    w.Constructed(der::tag::kSequence, [&](DerWriter& seq) {
        seq.Constructed(der::tag::kSequence, [&](DerWriter& alg) {
            der::WriteOid(alg, info.Algorithm.pszObjId);
            if (info.Algorithm.Parameters.cbData > 0)
                alg.Raw({info.Algorithm.Parameters.pbData, info.Algorithm.Parameters.cbData});
        });
        Bytes bits(1 + info.PublicKey.cbData, BYTE(info.PublicKey.cUnusedBits));
        std::copy(info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData,
                  bits.begin() + 1);
        seq.Element(der::tag::kBitString, bits);
    });
    return w.Take();
}

Bytes BuildCertificate(const CertificateSpec& spec) {
    // TBSCertificate ::= SEQUENCE {
    //     version [0] EXPLICIT Version DEFAULT v1, serialNumber CertificateSerialNumber,
    //     signature AlgorithmIdentifier, issuer Name, validity Validity, subject Name,
    //     subjectPublicKeyInfo SubjectPublicKeyInfo, ..., extensions [3] EXPLICIT Extensions }
    DerWriter tbs;
    tbs.Constructed(der::tag::kSequence, [&](DerWriter& t) {
        t.Constructed(der::tag::ContextConstructed(0),
                      [](DerWriter& v) { v.Element(der::tag::kInteger, Bytes{0x02}); });
        t.Element(der::tag::kInteger, spec.serial);
        WriteAlgorithm(t, spec.signatureAlgorithm);
        WriteName(t, spec.issuer);
        t.Constructed(der::tag::kSequence, [&](DerWriter& validity) {
            WriteTime(validity, spec.notBefore);
            WriteTime(validity, spec.notAfter);
        });
        WriteName(t, spec.subject);
        t.Raw(spec.publicKeyInfo.empty() ? FixedRsaPublicKeyInfo() : spec.publicKeyInfo);
        if (spec.keyUsage || spec.subjectKeyId) {
            t.Constructed(der::tag::ContextConstructed(3), [&](DerWriter& explicitTag) {
                explicitTag.Constructed(der::tag::kSequence, [&](DerWriter& exts) {
                    if (spec.keyUsage) {
                        DerWriter ku;
                        ku.Element(der::tag::kBitString, *spec.keyUsage);
                        WriteExtension(exts, "2.5.29.15", ku.Encoding());
                    }
                    if (spec.subjectKeyId) {
                        DerWriter ski;
                        ski.Element(der::tag::kOctetString, *spec.subjectKeyId);
                        WriteExtension(exts, "2.5.29.14", ski.Encoding());
                    }
                });
            });
        }
    });
    // Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue BIT STRING }
    DerWriter cert;
    cert.Constructed(der::tag::kSequence, [&](DerWriter& c) {
        c.Raw(tbs.Encoding());
        WriteAlgorithm(c, spec.signatureAlgorithm);
        c.Element(der::tag::kBitString, Bytes{0x00, 0x5A, 0x5A, 0x5A, 0x5A});
    });
    return cert.Take();
}

} // namespace orvane::test
