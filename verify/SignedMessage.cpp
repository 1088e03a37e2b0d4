#include "verify/SignedMessage.h"

#include <algorithm>
#include <cstring>

namespace orvane::verify {

namespace {

bool IsSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int Base64Value(std::uint8_t c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::string Hex2(std::uint8_t c) {
    static constexpr char kHex[] = "0123456789abcdef";
    return std::string("0x") + kHex[c >> 4] + kHex[c & 0xF];
}

// Whether the bytes are one whole DER element (a .p7s file), judged from
// its header alone.
bool LooksLikeDer(Bytes input) {
    if (input.size() < 2 || input[0] != tag::kSequence)
        return false;
    Asn1Reader r(input);
    Element e;
    std::string why;
    if (r.Next(e, why))
        return true;
    // A broken element is still DER when it holds bytes Base64 never has.
    return std::any_of(input.begin(), input.end(), [](std::uint8_t c) {
        return Base64Value(c) < 0 && c != '=' && !IsSpace(c);
    });
}

// Base64 of the text between PEM armour lines, or the whole text.
Bytes StripArmour(Bytes text) {
    static constexpr char kBegin[] = "-----BEGIN ";
    static constexpr char kEnd[] = "-----END ";
    size_t at = 0;
    while (at < text.size() && IsSpace(text[at]))
        ++at;
    if (text.size() - at < sizeof kBegin - 1 ||
        std::memcmp(text.data() + at, kBegin, sizeof kBegin - 1) != 0)
        return text;
    const auto line = std::find(text.begin() + long(at), text.end(), std::uint8_t('\n'));
    if (line == text.end())
        return text;
    const size_t from = size_t(line - text.begin()) + 1;
    for (size_t i = from; i + sizeof kEnd - 1 <= text.size(); ++i)
        if (std::memcmp(text.data() + i, kEnd, sizeof kEnd - 1) == 0)
            return text.subspan(from, i - from);
    return text;
}

bool ReadOid(Asn1Reader& r, std::string& oid, std::string& why, const char* what) {
    Element e;
    if (!r.Expect(tag::kOid, e, why, what))
        return false;
    if (!OidText(e.contents, oid)) {
        why = std::string(what) + ": not an object identifier";
        return false;
    }
    return true;
}

// AlgorithmIdentifier: the OID; parameters, when present, are one element.
bool ReadAlgorithm(Asn1Reader& r, std::string& oid, std::string& why, const char* what) {
    Element seq;
    if (!r.Expect(tag::kSequence, seq, why, what))
        return false;
    Asn1Reader in(seq.contents);
    if (!ReadOid(in, oid, why, what))
        return false;
    Element params;
    if (!in.AtEnd() && !in.Next(params, why)) {
        why = std::string(what) + " parameters: " + why;
        return false;
    }
    if (!in.AtEnd()) {
        why = std::string(what) + ": more than an OID and parameters";
        return false;
    }
    return true;
}

bool ReadSmallInteger(Asn1Reader& r, long& value, std::string& why, const char* what) {
    Element e;
    if (!r.Expect(tag::kInteger, e, why, what))
        return false;
    if (e.contents.empty() || e.contents.size() > 2 || (e.contents[0] & 0x80) != 0) {
        why = std::string(what) + ": not a small version number";
        return false;
    }
    value = 0;
    for (std::uint8_t b : e.contents)
        value = (value << 8) | b;
    return true;
}

bool ReadSignedAttributes(Bytes contents, SignerParts& s, std::string& why) {
    Asn1Reader r(contents);
    bool haveDigest = false, haveType = false;
    while (!r.AtEnd()) {
        Element attr;
        if (!r.Expect(tag::kSequence, attr, why, "a signed attribute"))
            return false;
        Asn1Reader a(attr.contents);
        std::string type;
        Element values;
        if (!ReadOid(a, type, why, "a signed attribute's type") ||
            !a.Expect(tag::kSet, values, why, "a signed attribute's values"))
            return false;
        if (!a.AtEnd()) {
            why = "a signed attribute with more than a type and values";
            return false;
        }
        const bool digest = type == kOidMessageDigestAttr, ctype = type == kOidContentTypeAttr;
        if (!digest && !ctype)
            continue;
        if ((digest && haveDigest) || (ctype && haveType)) {
            why = "a signed attribute given twice (" + type + ")";
            return false;
        }
        Asn1Reader v(values.contents);
        Element value;
        if (digest) {
            if (!v.Expect(tag::kOctetString, value, why, "the messageDigest attribute"))
                return false;
            s.messageDigest = value.contents;
            haveDigest = true;
        } else {
            if (!ReadOid(v, s.contentType, why, "the contentType attribute"))
                return false;
            haveType = true;
        }
        if (!v.AtEnd()) {
            why = "a messageDigest or contentType attribute with more than one value";
            return false;
        }
    }
    if (!haveDigest) {
        why = "signed attributes without a messageDigest";
        return false;
    }
    return true;
}

bool ReadSigner(Bytes whole, SignerParts& s, std::string& why) {
    Asn1Reader r(whole);
    if (!ReadSmallInteger(r, s.version, why, "the SignerInfo's version"))
        return false;
    std::uint8_t t = 0;
    if (!r.PeekTag(t)) {
        why = "the SignerInfo ends after its version";
        return false;
    }
    Element sid;
    if (t == tag::kImplicit0) {
        if (!r.Next(sid, why))
            return false;
        s.bySubjectKeyId = true;
        s.subjectKeyId = sid.contents;
    } else {
        if (!r.Expect(tag::kSequence, sid, why, "the signer's issuer and serial number"))
            return false;
        Asn1Reader ias(sid.contents);
        Element name, serial;
        if (!ias.Expect(tag::kSequence, name, why, "the signer's issuer") ||
            !ias.Expect(tag::kInteger, serial, why, "the signer's serial number"))
            return false;
        if (!ias.AtEnd() || serial.contents.empty()) {
            why = "the signer's issuer and serial number are malformed";
            return false;
        }
        s.issuer = name.whole;
        s.serial = serial.whole;
    }
    if (!ReadAlgorithm(r, s.digestOid, why, "the signer's digest algorithm"))
        return false;
    if (r.PeekTag(t) && t == tag::kContext0) {
        Element attrs;
        if (!r.Next(attrs, why))
            return false;
        s.signedAttrs = attrs.whole;
        if (!ReadSignedAttributes(attrs.contents, s, why))
            return false;
    }
    if (!ReadAlgorithm(r, s.signatureOid, why, "the signer's signature algorithm"))
        return false;
    Element sig;
    if (!r.Expect(tag::kOctetString, sig, why, "the signature"))
        return false;
    if (sig.contents.empty()) {
        why = "the signature is empty";
        return false;
    }
    s.signature = sig.contents;
    if (r.PeekTag(t) && t == tag::kContext1) {
        Element unsignedAttrs;
        if (!r.Next(unsignedAttrs, why))
            return false;
    }
    if (!r.AtEnd()) {
        why = "the SignerInfo has bytes after its last field";
        return false;
    }
    return true;
}

} // namespace

bool DecodeMessageText(Bytes input, std::vector<std::uint8_t>& der, std::string& why) {
    der.clear();
    if (input.empty()) {
        why = "the message is empty";
        return false;
    }
    if (LooksLikeDer(input)) {
        der.assign(input.begin(), input.end());
        return true;
    }
    const Bytes text = StripArmour(input);
    der.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t group = 0;
    int inGroup = 0, padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const std::uint8_t c = text[i];
        if (IsSpace(c))
            continue;
        if (c == '=') {
            ++padding;
            if (padding > 2 || inGroup + padding > 4 || inGroup < 2) {
                why = "misplaced Base64 padding at offset " + std::to_string(i);
                return false;
            }
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || padding != 0) {
            why = (v < 0 ? "the byte " + Hex2(c) : std::string("Base64 after its padding")) +
                  " at offset " + std::to_string(i) + " is neither Base64 text nor DER";
            return false;
        }
        group = (group << 6) | std::uint32_t(v);
        if (++inGroup == 4) {
            der.push_back(std::uint8_t(group >> 16));
            der.push_back(std::uint8_t(group >> 8));
            der.push_back(std::uint8_t(group));
            group = 0;
            inGroup = 0;
        }
    }
    if (inGroup == 1) {
        why = "the Base64 text ends in the middle of a byte";
        return false;
    }
    if (padding != 0 && inGroup + padding != 4) {
        why = "the Base64 padding does not complete its group";
        return false;
    }
    if (inGroup == 2) {
        der.push_back(std::uint8_t(group >> 4));
    } else if (inGroup == 3) {
        der.push_back(std::uint8_t(group >> 10));
        der.push_back(std::uint8_t(group >> 2));
    }
    if (der.empty()) {
        why = "the message text holds no Base64";
        return false;
    }
    return true;
}

bool ParseSignedMessage(Bytes der, SignedMessage& m, std::string& why) {
    m = SignedMessage{};
    Asn1Reader top(der);
    Element ci;
    if (!top.Expect(tag::kSequence, ci, why, "the ContentInfo"))
        return false;
    if (!top.AtEnd()) {
        why = std::to_string(top.Remaining()) + " bytes follow the message";
        return false;
    }
    Asn1Reader r(ci.contents);
    std::string type;
    if (!ReadOid(r, type, why, "the content type"))
        return false;
    if (type == kOidPkcs7SignedData) {
        m.family = Family::kPkcs7;
    } else if (type == kOidSm2SignedData) {
        m.family = Family::kSm2;
    } else {
        why = "content type " + type + " is not signed data";
        return false;
    }
    Element explicitSd, sd;
    if (!r.Expect(tag::kContext0, explicitSd, why, "the signed data"))
        return false;
    if (!r.AtEnd()) {
        why = "the ContentInfo has bytes after its content";
        return false;
    }
    Asn1Reader x(explicitSd.contents);
    if (!x.Expect(tag::kSequence, sd, why, "the SignedData"))
        return false;
    if (!x.AtEnd()) {
        why = "the signed data's [0] holds more than a SignedData";
        return false;
    }
    Asn1Reader s(sd.contents);
    if (!ReadSmallInteger(s, m.version, why, "the SignedData's version"))
        return false;
    Element digests;
    if (!s.Expect(tag::kSet, digests, why, "the digest algorithms"))
        return false;
    for (Asn1Reader d(digests.contents); !d.AtEnd();) {
        std::string oid;
        if (!ReadAlgorithm(d, oid, why, "a digest algorithm"))
            return false;
        m.digestOids.push_back(oid);
    }
    Element inner;
    if (!s.Expect(tag::kSequence, inner, why, "the inner content"))
        return false;
    Asn1Reader in(inner.contents);
    if (!ReadOid(in, m.contentTypeOid, why, "the inner content type"))
        return false;
    if (!in.AtEnd()) {
        Element wrapped, octets;
        if (!in.Expect(tag::kContext0, wrapped, why, "the inner content"))
            return false;
        if (!in.AtEnd()) {
            why = "the inner content has bytes after it";
            return false;
        }
        Asn1Reader w(wrapped.contents);
        if (!w.Expect(tag::kOctetString, octets, why, "the attached content"))
            return false;
        if (!w.AtEnd()) {
            why = "the attached content has bytes after it";
            return false;
        }
        m.attached = true;
        m.content = octets.contents;
    }
    std::uint8_t t = 0;
    if (s.PeekTag(t) && t == tag::kContext0) {
        Element certs;
        if (!s.Next(certs, why))
            return false;
        for (Asn1Reader c(certs.contents); !c.AtEnd();) {
            Element cert;
            if (!c.Next(cert, why)) {
                why = "a certificate: " + why;
                return false;
            }
            // Other kinds of certificate choices are not X.509 certificates.
            if (cert.tag == tag::kSequence)
                m.certificates.push_back(cert.whole);
        }
    }
    if (s.PeekTag(t) && t == tag::kContext1) {
        Element crls;
        if (!s.Next(crls, why))
            return false;
    }
    Element signers;
    if (!s.Expect(tag::kSet, signers, why, "the signer infos"))
        return false;
    if (!s.AtEnd()) {
        why = "the SignedData has bytes after its signer infos";
        return false;
    }
    for (Asn1Reader si(signers.contents); !si.AtEnd();) {
        Element one;
        if (!si.Expect(tag::kSequence, one, why, "a SignerInfo"))
            return false;
        SignerParts parts;
        if (!ReadSigner(one.contents, parts, why))
            return false;
        m.signers.push_back(parts);
    }
    if (m.signers.empty()) {
        why = "the message has no signer";
        return false;
    }
    return true;
}

} // namespace orvane::verify
