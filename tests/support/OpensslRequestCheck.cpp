#include "tests/support/OpensslRequestCheck.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

namespace orvane::checks {
namespace {
constexpr unsigned char kDefaultId[] = "1234567812345678";
} // namespace

Bytes Base64Decode(const std::string& text) {
    std::string compact;
    for (char c : text)
        if (c != '\r' && c != '\n')
            compact += c;
    Bytes out(compact.size());
    const int n = EVP_DecodeBlock(
        out.data(), reinterpret_cast<const unsigned char*>(compact.data()), int(compact.size()));
    if (n < 0)
        return {};
    size_t len = size_t(n);
    for (size_t i = compact.size(); i > 0 && compact[i - 1] == '='; --i)
        --len;
    out.resize(len);
    return out;
}

bool ReadElement(const Bytes& der, size_t at, size_t limit, Element& e) {
    if (at >= limit)
        return false;
    const unsigned char* p = der.data() + at;
    long len = 0;
    int tag = 0, cls = 0;
    const int ret = ASN1_get_object(&p, &len, &tag, &cls, long(limit - at));
    if (ret & 0x80)
        return false;
    e.headerStart = at;
    e.contentStart = size_t(p - der.data());
    e.contentLength = size_t(len);
    e.tag = der[at];
    return e.End() <= limit;
}

std::vector<Element> Children(const Bytes& der, const Element& parent) {
    std::vector<Element> out;
    for (size_t at = parent.contentStart; at < parent.End();) {
        Element e;
        if (!ReadElement(der, at, parent.End(), e))
            return {};
        out.push_back(e);
        at = e.End();
    }
    return out;
}

Bytes Content(const Bytes& der, const Element& e) {
    return Bytes(der.begin() + long(e.contentStart), der.begin() + long(e.End()));
}
Bytes Whole(const Bytes& der, const Element& e) {
    return Bytes(der.begin() + long(e.headerStart), der.begin() + long(e.End()));
}

std::string OidText(const Bytes& whole) {
    const unsigned char* p = whole.data();
    ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, long(whole.size()));
    if (obj == nullptr)
        return "";
    char buf[128];
    OBJ_obj2txt(buf, sizeof buf, obj, 1);
    ASN1_OBJECT_free(obj);
    return buf;
}

::testing::AssertionResult ParseRequest(const Bytes& der, ParsedRequest& out) {
    Element outer;
    if (!ReadElement(der, 0, der.size(), outer) || outer.tag != 0x30 || outer.End() != der.size())
        return ::testing::AssertionFailure() << "outer SEQUENCE";
    auto parts = Children(der, outer);
    if (parts.size() != 3 || parts[0].tag != 0x30 || parts[1].tag != 0x30 || parts[2].tag != 0x03)
        return ::testing::AssertionFailure() << "three parts expected";
    out.der = der;
    out.info = Whole(der, parts[0]);
    out.infoParts = Children(der, parts[0]);
    out.algorithmWhole = Whole(der, parts[1]);
    auto alg = Children(der, parts[1]);
    if (alg.size() != 2 || alg[0].tag != 0x06 || alg[1].tag != 0x05 || alg[1].contentLength != 0)
        return ::testing::AssertionFailure() << "signature algorithm { OID, NULL }";
    out.signatureAlg = OidText(Whole(der, alg[0]));
    Bytes bits = Content(der, parts[2]);
    if (bits.empty() || bits[0] != 0)
        return ::testing::AssertionFailure() << "BIT STRING with no unused bits";
    out.signature.assign(bits.begin() + 1, bits.end());
    if (out.infoParts.size() < 3)
        return ::testing::AssertionFailure() << "request information too short";
    Bytes spki = Whole(der, out.infoParts[2]);
    const unsigned char* p = spki.data();
    out.key.reset(d2i_PUBKEY(nullptr, &p, long(spki.size())));
    if (!out.key)
        return ::testing::AssertionFailure() << "d2i_PUBKEY refused the SubjectPublicKeyInfo";
    return ::testing::AssertionSuccess();
}

bool VerifySignature(EVP_PKEY* key, bool bSM2, const Bytes& data, const Bytes& signature) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok;
    if (bSM2) {
        pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
        EVP_PKEY_CTX_set1_id(pctx, kDefaultId, 16);
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
        ok = EVP_DigestVerifyInit_ex(md, nullptr, "SM3", nullptr, nullptr, key, nullptr) == 1;
    } else {
        ok = EVP_DigestVerifyInit_ex(md, nullptr, "SHA1", nullptr, nullptr, key, nullptr) == 1;
    }
    ok = ok &&
         EVP_DigestVerify(md, signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

bool VerifyRequestSignature(const ParsedRequest& req, bool bSM2) {
    return VerifySignature(req.key.get(), bSM2, req.info, req.signature);
}

} // namespace orvane::checks

namespace orvane::checks {

::testing::AssertionResult VerifyRequestText(const std::string& text, bool bSM2) {
    ParsedRequest req;
    if (auto parsed = ParseRequest(Base64Decode(text), req); !parsed)
        return parsed;
    if (!VerifyRequestSignature(req, bSM2))
        return ::testing::AssertionFailure() << "the request's signature does not verify";
    return ::testing::AssertionSuccess();
}

} // namespace orvane::checks
