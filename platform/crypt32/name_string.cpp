// Names as text: CertNameToStrW and CertGetNameStringW, over names OpenSSL
// decodes. Attribute abbreviations, quoting and separators follow Windows.

// OpenSSL comes before <wincrypt.h>, whose PKCS7_SIGNER_INFO macro would
// rewrite OpenSSL's type of that name.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "crypt32/cert_internal.h"
#include "internal/util.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace orvane::crypt32 {
namespace {

struct NameFree {
    void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};
using NamePtr = std::unique_ptr<X509_NAME, NameFree>;

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

std::string Oid(const ASN1_OBJECT* obj) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (n <= 0)
        return {};
    if (size_t(n) >= sizeof buf) {
        std::string s(size_t(n) + 1, '\0');
        OBJ_obj2txt(s.data(), n + 1, obj, 1);
        s.resize(size_t(n));
        return s;
    }
    return std::string(buf, size_t(n));
}

std::u16string Ascii(const std::string& s) {
    return {s.begin(), s.end()};
}

void AppendCodePoint(std::u16string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(char16_t(0xD800 + (cp >> 10)));
        out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(char16_t(cp));
    }
}

// ValueText: the attribute value as text; values of no string type as '#'
// and the hex of their DER.
std::u16string ValueText(const ASN1_STRING* v) {
    const BYTE* d = ASN1_STRING_get0_data(v);
    const size_t n = size_t(ASN1_STRING_length(v));
    std::u16string out;
    switch (ASN1_STRING_type(v)) {
    case V_ASN1_UTF8STRING:
        return platform::ToUtf16(reinterpret_cast<const char*>(d), n);
    case V_ASN1_BMPSTRING:
        for (size_t i = 0; i + 1 < n; i += 2)
            out.push_back(char16_t(d[i] << 8 | d[i + 1]));
        return out;
    case V_ASN1_UNIVERSALSTRING:
        for (size_t i = 0; i + 3 < n; i += 4)
            AppendCodePoint(out, uint32_t(d[i]) << 24 | uint32_t(d[i + 1]) << 16 |
                                     uint32_t(d[i + 2]) << 8 | d[i + 3]);
        return out;
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_VIDEOTEXSTRING:
    case V_ASN1_GRAPHICSTRING:
    case V_ASN1_GENERALSTRING:
        for (size_t i = 0; i < n; ++i)
            out.push_back(char16_t(d[i]));
        return out;
    default: {
        ASN1_TYPE* t = ASN1_TYPE_new();
        if (t == nullptr)
            throw std::bad_alloc();
        ASN1_STRING* copy = ASN1_STRING_dup(v);
        if (copy == nullptr) {
            ASN1_TYPE_free(t);
            throw std::bad_alloc();
        }
        ASN1_TYPE_set(t, ASN1_STRING_type(v), copy);
        unsigned char* der = nullptr;
        int len = i2d_ASN1_TYPE(t, &der);
        ASN1_TYPE_free(t);
        static const char16_t digits[] = u"0123456789ABCDEF";
        out.push_back(u'#');
        for (int i = 0; i < len; ++i) {
            out.push_back(digits[der[i] >> 4]);
            out.push_back(digits[der[i] & 15]);
        }
        OPENSSL_free(der);
        return out;
    }
    }
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

NamePtr DecodeName(const CERT_NAME_BLOB* blob) {
    if (blob == nullptr || blob->cbData == 0 || blob->pbData == nullptr ||
        blob->cbData > 0x7fffffff)
        return nullptr;
    const unsigned char* p = blob->pbData;
    NamePtr name(d2i_X509_NAME(nullptr, &p, long(blob->cbData)));
    if (!name)
        ERR_clear_error(); // the reasons are ours, not the next caller's
    return name;
}

std::u16string NameText(const X509_NAME* name, DWORD strType) {
    const DWORD format = strType & 0xFFFF;
    std::u16string rdnSep = u", ";
    if (strType & CERT_NAME_STR_SEMICOLON_FLAG)
        rdnSep = u"; ";
    else if (strType & CERT_NAME_STR_CRLF_FLAG)
        rdnSep = u"\r\n";
    const std::u16string plusSep = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";

    // Group the attributes by RDN, in their encoded order.
    std::vector<std::vector<std::u16string>> rdns;
    int lastSet = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        const int set = X509_NAME_ENTRY_set(e);
        if (rdns.empty() || set != lastSet)
            rdns.emplace_back();
        lastSet = set;
        std::u16string value = ValueText(X509_NAME_ENTRY_get_data(e));
        if (!(strType & CERT_NAME_STR_NO_QUOTING_FLAG))
            value = Quote(value);
        const std::string oid = Oid(X509_NAME_ENTRY_get_object(e));
        std::u16string text;
        if (format == CERT_X500_NAME_STR) {
            std::u16string key = u"OID." + Ascii(oid);
            for (const Abbreviation& a : kAbbreviations)
                if (oid == a.oid)
                    key = a.key;
            text = key + u"=" + value;
        } else if (format == CERT_OID_NAME_STR) {
            text = Ascii(oid) + u"=" + value;
        } else {
            text = value;
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
bool FirstAttribute(const X509_NAME* name, const char* oid, std::u16string& out) {
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        if (Oid(X509_NAME_ENTRY_get_object(e)) == oid) {
            out = ValueText(X509_NAME_ENTRY_get_data(e));
            return true;
        }
    }
    return false;
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
        NamePtr name = DecodeName(pName);
        std::u16string text = name ? NameText(name.get(), dwStrType) : std::u16string();
        return CopyText(text, psz, csz);
    } catch (const std::bad_alloc&) {
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
        NamePtr name = DecodeName(blob);
        std::u16string text;
        if (name) {
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
                    if (FirstAttribute(name.get(), oid, text))
                        break;
                break;
            }
            case CERT_NAME_EMAIL_TYPE:
                FirstAttribute(name.get(), szOID_RSA_emailAddr, text);
                break;
            case CERT_NAME_ATTR_TYPE:
                if (pvTypePara != nullptr)
                    FirstAttribute(name.get(), static_cast<const char*>(pvTypePara), text);
                break;
            case CERT_NAME_RDN_TYPE:
                text = NameText(name.get(), pvTypePara != nullptr
                                                ? *static_cast<const DWORD*>(pvTypePara)
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
