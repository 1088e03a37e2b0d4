// Names as text: CertNameToStrW and CertGetNameStringW, over names read with
// the bounded DER reader. Attribute abbreviations, quoting and separators
// follow Windows.
#include "crypt32/cert_internal.h"
#include "der/Der.h"
#include "internal/util.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace orvane::crypt32 {
namespace {

using der::Bytes;
using der::DerReader;

// The abbreviations Windows writes for X.500 names.
struct Abbreviation {
    const char* oid;
    const char16_t* key;
};
constexpr Abbreviation kAbbreviations[] = {
    {"2.5.4.3", u"CN"},
    {"2.5.4.4", u"SN"},
    {"2.5.4.5", u"SERIALNUMBER"},
    {"2.5.4.6", u"C"},
    {"2.5.4.7", u"L"},
    {"2.5.4.8", u"S"},
    {"2.5.4.9", u"STREET"},
    {"2.5.4.10", u"O"},
    {"2.5.4.11", u"OU"},
    {"2.5.4.12", u"T"},
    {"2.5.4.13", u"Description"},
    {"2.5.4.17", u"PostalCode"},
    {"2.5.4.18", u"POBox"},
    {"2.5.4.20", u"Phone"},
    {"2.5.4.42", u"G"},
    {"2.5.4.43", u"I"},
    {"1.2.840.113549.1.9.1", u"E"},
    {"0.9.2342.19200300.100.1.25", u"DC"},
};

std::u16string Ascii(const std::string& s) {
    return {s.begin(), s.end()};
}

void AppendCodePoint(std::u16string& out, uint32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(char16_t(0xD800 + (cp >> 10)));
        out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(char16_t(cp));
    }
}

bool ValidCodePoint(uint32_t cp) {
    return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

// Utf8: well-formed UTF-8 (shortest forms, no surrogates) as UTF-16.
bool Utf8(Bytes d, std::u16string& out) {
    for (size_t i = 0; i < d.size();) {
        const BYTE b = d[i];
        // Continuation octets that follow the lead octet.
        const size_t n = b < 0x80             ? 0
                         : (b & 0xE0) == 0xC0 ? 1
                         : (b & 0xF0) == 0xE0 ? 2
                         : (b & 0xF8) == 0xF0 ? 3
                                              : 4;
        if (n == 4 || n >= d.size() - i)
            return false;
        uint32_t cp = n == 0 ? b : b & (0x3F >> n);
        for (size_t k = 1; k <= n; ++k) {
            if ((d[i + k] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (d[i + k] & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || !ValidCodePoint(cp))
            return false;
        AppendCodePoint(out, cp);
        i += n + 1;
    }
    return true;
}

// Attribute: one AttributeTypeAndValue of a name, and its RDN's number.
struct Attribute {
    std::string oid;
    std::u16string value;
    size_t rdn = 0;
};

// ValueText: the attribute value as text; values of no string type as '#'
// and the hex of their DER. False for a string that is not well formed.
bool ValueText(BYTE tag, Bytes d, Bytes element, std::u16string& out) {
    out.clear();
    switch (tag) {
    case der::tag::kUtf8String:
        return Utf8(d, out);
    case der::tag::kBmpString:
        if (d.size() % 2 != 0)
            return false;
        for (size_t i = 0; i < d.size(); i += 2)
            out.push_back(char16_t(d[i] << 8 | d[i + 1]));
        return true;
    case 0x1C: // UniversalString
        if (d.size() % 4 != 0)
            return false;
        for (size_t i = 0; i < d.size(); i += 4) {
            const uint32_t cp = uint32_t(d[i]) << 24 | uint32_t(d[i + 1]) << 16 |
                                uint32_t(d[i + 2]) << 8 | d[i + 3];
            AppendCodePoint(out, ValidCodePoint(cp) ? cp : 0xFFFD);
        }
        return true;
    case der::tag::kPrintableString:
    case der::tag::kIa5String:
    case der::tag::kT61String:
    case der::tag::kNumericString:
    case der::tag::kVisibleString:
    case der::tag::kVideotexString:
    case der::tag::kGraphicString:
    case der::tag::kGeneralString:
        for (BYTE c : d)
            out.push_back(char16_t(c));
        return true;
    default: {
        static const char16_t digits[] = u"0123456789ABCDEF";
        out.push_back(u'#');
        for (BYTE b : element) {
            out.push_back(digits[b >> 4]);
            out.push_back(digits[b & 15]);
        }
        return true;
    }
    }
}

// DecodeName: the attributes of an encoded name, in their encoded order.
//   Name ::= SEQUENCE OF RelativeDistinguishedName
//   RelativeDistinguishedName ::= SET SIZE (1..MAX) OF AttributeTypeAndValue
//   AttributeTypeAndValue ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY }
// Bytes after the name are ignored. False when it is not a name.
bool DecodeName(const CERT_NAME_BLOB* blob, std::vector<Attribute>& out) {
    out.clear();
    if (blob == nullptr || blob->cbData == 0 || blob->pbData == nullptr)
        return false;
    Bytes rdns;
    if (DerReader(Bytes(blob->pbData, blob->cbData)).Read(der::tag::kSequence, rdns) != 0)
        return false;
    DerReader names(rdns);
    for (size_t rdn = 0; !names.AtEnd(); ++rdn) {
        Bytes set;
        if (names.Read(der::tag::kSet, set) != 0)
            return false;
        DerReader attributes(set);
        if (attributes.AtEnd())
            return false;
        while (!attributes.AtEnd()) {
            Bytes atv, oid, value, element;
            BYTE tag = 0;
            if (attributes.Read(der::tag::kSequence, atv) != 0)
                return false;
            DerReader fields(atv);
            Attribute a;
            a.rdn = rdn;
            if (fields.Read(der::tag::kOid, oid) != 0 || der::ParseOid(oid, a.oid) != 0 ||
                fields.ReadAny(tag, value, &element) != 0 || fields.ExpectEnd() != 0 ||
                !ValueText(tag, value, element, a.value))
                return false;
            out.push_back(std::move(a));
        }
    }
    return true;
}

// Quote: a value with a separator or special character, or with a space at
// either end, goes in double quotes, each quote inside doubled.
std::u16string Quote(const std::u16string& v) {
    bool needs = !v.empty() && (v.front() == u' ' || v.back() == u' ');
    for (char16_t c : v)
        if (std::u16string_view(u",+=\"\n<>#;").find(c) != std::u16string_view::npos)
            needs = true;
    if (!needs)
        return v;
    std::u16string out = u"\"";
    for (char16_t c : v) {
        out.push_back(c);
        if (c == u'"')
            out.push_back(u'"');
    }
    out.push_back(u'"');
    return out;
}

std::u16string NameText(const std::vector<Attribute>& name, DWORD strType) {
    const DWORD format = strType & 0xFFFF;
    std::u16string rdnSep = u", ";
    if (strType & CERT_NAME_STR_SEMICOLON_FLAG)
        rdnSep = u"; ";
    else if (strType & CERT_NAME_STR_CRLF_FLAG)
        rdnSep = u"\r\n";
    const std::u16string plusSep = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";

    // Group the attributes by RDN, in their encoded order.
    std::vector<std::vector<std::u16string>> rdns;
    for (size_t i = 0; i < name.size(); ++i) {
        const Attribute& a = name[i];
        if (i == 0 || a.rdn != name[i - 1].rdn)
            rdns.emplace_back();
        std::u16string value = (strType & CERT_NAME_STR_NO_QUOTING_FLAG) ? a.value : Quote(a.value);
        std::u16string text;
        if (format == CERT_X500_NAME_STR) {
            std::u16string key = u"OID." + Ascii(a.oid);
            for (const Abbreviation& ab : kAbbreviations)
                if (a.oid == ab.oid)
                    key = ab.key;
            text = key + u"=" + value;
        } else if (format == CERT_OID_NAME_STR) {
            text = Ascii(a.oid) + u"=" + value;
        } else {
            text = std::move(value);
        }
        rdns.back().push_back(std::move(text));
    }
    if (strType & CERT_NAME_STR_REVERSE_FLAG)
        std::reverse(rdns.begin(), rdns.end());
    std::u16string out;
    for (size_t r = 0; r < rdns.size(); ++r) {
        if (r != 0)
            out += rdnSep;
        for (size_t a = 0; a < rdns[r].size(); ++a) {
            if (a != 0)
                out += plusSep;
            out += rdns[r][a];
        }
    }
    return out;
}

// FirstAttribute: the first value of that attribute in the name, if any.
bool FirstAttribute(const std::vector<Attribute>& name, const char* oid, std::u16string& out) {
    for (const Attribute& a : name) {
        if (a.oid == oid) {
            out = a.value;
            return true;
        }
    }
    return false;
}

// LastText: callers ask for the size first and then for the text, with the
// same name; the text made for the size is kept for that second call, so
// each name is decoded once.
struct LastText {
    std::vector<BYTE> name;
    DWORD strType = 0;
    std::u16string text;
    bool valid = false;
};
thread_local LastText t_last;

std::u16string TextOf(const CERT_NAME_BLOB* blob, DWORD strType, bool sizeOnly) {
    const bool same = t_last.valid && blob != nullptr && blob->pbData != nullptr &&
                      t_last.strType == strType && t_last.name.size() == blob->cbData &&
                      std::memcmp(t_last.name.data(), blob->pbData, blob->cbData) == 0;
    if (same && !sizeOnly) {
        t_last.valid = false;
        return std::move(t_last.text);
    }
    if (same)
        return t_last.text;
    std::vector<Attribute> name;
    std::u16string text = DecodeName(blob, name) ? NameText(name, strType) : std::u16string();
    if (sizeOnly && blob != nullptr && blob->pbData != nullptr) {
        t_last.name.assign(blob->pbData, blob->pbData + blob->cbData);
        t_last.strType = strType;
        t_last.text = text;
        t_last.valid = true;
    }
    return text;
}

// CopyText: the size-then-data rule for text, counted in characters with the terminator.
DWORD CopyText(const std::u16string& text, LPWSTR out, DWORD cch) {
    if (out == nullptr || cch == 0)
        return DWORD(text.size() + 1);
    const size_t n = std::min<size_t>(text.size(), cch - 1);
    std::memcpy(out, text.data(), n * sizeof(WCHAR));
    out[n] = 0;
    return DWORD(n + 1);
}

} // namespace
} // namespace orvane::crypt32

using namespace orvane::crypt32;

extern "C" {

DWORD WINAPI CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType,
                            LPWSTR psz, DWORD csz) {
    (void)dwCertEncodingType;
    try {
        return CopyText(TextOf(pName, dwStrType, psz == nullptr || csz == 0), psz, csz);
    } catch (const std::bad_alloc&) {
        t_last.valid = false;
        return CopyText({}, psz, csz);
    }
}

DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString) {
    if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr)
        return CopyText({}, pszNameString, cchNameString);
    try {
        const CERT_NAME_BLOB* blob = (dwFlags & CERT_NAME_ISSUER_FLAG)
                                         ? &pCertContext->pCertInfo->Issuer
                                         : &pCertContext->pCertInfo->Subject;
        std::vector<Attribute> name;
        std::u16string text;
        if (DecodeName(blob, name)) {
            switch (dwType) {
            case CERT_NAME_SIMPLE_DISPLAY_TYPE:
            case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
                if (dwType == CERT_NAME_FRIENDLY_DISPLAY_TYPE) {
                    DWORD cb = 0;
                    if (CertGetCertificateContextProperty(pCertContext, CERT_FRIENDLY_NAME_PROP_ID,
                                                          nullptr, &cb) &&
                        cb >= sizeof(WCHAR)) {
                        std::u16string friendly(cb / sizeof(WCHAR), u'\0');
                        CertGetCertificateContextProperty(pCertContext, CERT_FRIENDLY_NAME_PROP_ID,
                                                          friendly.data(), &cb);
                        friendly.resize(std::char_traits<char16_t>::length(friendly.c_str()));
                        text = friendly;
                        break;
                    }
                }
                // The first of common name, unit, organisation, e-mail that the name has.
                const char* order[] = {szOID_COMMON_NAME, szOID_ORGANIZATIONAL_UNIT_NAME,
                                       szOID_ORGANIZATION_NAME, szOID_RSA_emailAddr};
                for (const char* oid : order)
                    if (FirstAttribute(name, oid, text))
                        break;
                break;
            }
            case CERT_NAME_EMAIL_TYPE:
                FirstAttribute(name, szOID_RSA_emailAddr, text);
                break;
            case CERT_NAME_ATTR_TYPE:
                if (pvTypePara != nullptr)
                    FirstAttribute(name, static_cast<const char*>(pvTypePara), text);
                break;
            case CERT_NAME_RDN_TYPE:
                text = NameText(name, pvTypePara != nullptr ? *static_cast<const DWORD*>(pvTypePara)
                                                            : DWORD(CERT_SIMPLE_NAME_STR));
                break;
            default:
                break;
            }
        }
        return CopyText(text, pszNameString, cchNameString);
    } catch (const std::bad_alloc&) {
        return CopyText({}, pszNameString, cchNameString);
    }
}

} // extern "C"
