#include "tests/tools/TestRequests.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <cctype>
#include <stdexcept>

namespace orvane::tools::testca::testing {
namespace {

constexpr const char* kSm2Id = "1234567812345678";

Bytes OidDer(const char* dotted) {
    orvane::tests::OsslPtr<ASN1_OBJECT, ASN1_OBJECT_free> oid(OBJ_txt2obj(dotted, 1));
    const int n = oid ? i2d_ASN1_OBJECT(oid.get(), nullptr) : -1;
    if (n <= 0)
        throw std::runtime_error("bad OID");
    Bytes der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_ASN1_OBJECT(oid.get(), &p);
    return der;
}

template <class T, class F> Bytes Encode(T* object, F encoder) {
    const int n = encoder(object, nullptr);
    if (n <= 0)
        throw std::runtime_error("encoding failed");
    Bytes der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    encoder(object, &p);
    return der;
}

Bytes Be32(const BIGNUM* value) {
    Bytes out(32);
    if (BN_bn2binpad(value, out.data(), 32) != 32)
        throw std::runtime_error("value too large");
    return out;
}

// As the request builder writes an SM2 signature half: the 32 bytes, with
// 00 in front only when the top bit is set (a leading zero byte is kept).
Bytes BuilderInteger(const Bytes& half) {
    Bytes content;
    if (half[0] & 0x80)
        content.push_back(0);
    content.insert(content.end(), half.begin(), half.end());
    return Tlv(0x02, content);
}

Bytes Sign(const RequestShape& shape, const Bytes& info) {
    const bool sm2 = EVP_PKEY_is_a(shape.signingKey, "SM2");
    for (int attempt = 0; attempt < 4096; ++attempt) {
        orvane::tests::OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free> pctx(
            EVP_PKEY_CTX_new_from_pkey(nullptr, shape.signingKey, nullptr));
        orvane::tests::OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free> md(EVP_MD_CTX_new());
        if (sm2) {
            EVP_PKEY_CTX_set1_id(pctx.get(), kSm2Id, 16);
            EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
        }
        const EVP_MD* digest = sm2 ? EVP_sm3() : EVP_sha1();
        size_t n = 0;
        if (EVP_DigestSignInit(md.get(), nullptr, digest, nullptr, shape.signingKey) != 1 ||
            EVP_DigestSign(md.get(), nullptr, &n, info.data(), info.size()) != 1)
            throw std::runtime_error("signing failed");
        Bytes sig(n);
        if (EVP_DigestSign(md.get(), sig.data(), &n, info.data(), info.size()) != 1)
            throw std::runtime_error("signing failed");
        sig.resize(n);
        md.reset(); // before the key context it borrows
        if (!sm2)
            return sig;
        const unsigned char* p = sig.data();
        orvane::tests::OsslPtr<ECDSA_SIG, ECDSA_SIG_free> parsed(
            d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size())));
        const Bytes r = Be32(ECDSA_SIG_get0_r(parsed.get()));
        const Bytes s = Be32(ECDSA_SIG_get0_s(parsed.get()));
        if (shape.sm2LeadingZeroR && r[0] != 0)
            continue;
        return Tlv(0x30, Concat({BuilderInteger(r), BuilderInteger(s)}));
    }
    throw std::runtime_error("no signature with a leading zero byte");
}

} // namespace

Pkey RsaKey(int bits) {
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
}

Pkey Sm2Key() {
    return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
}

Bytes Tlv(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes SubjectNameDer() {
    orvane::tests::OsslPtr<X509_NAME, X509_NAME_free> name(X509_NAME_new());
    const auto add = [&](const char* field, int type, const char* value) {
        X509_NAME_add_entry_by_txt(name.get(), field, type,
                                   reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    };
    add("C", MBSTRING_ASC, "CN");
    add("O", MBSTRING_UTF8, "Orvane Test Organisation");
    add("CN", MBSTRING_UTF8, "\xE5\xBC\xA0\xE4\xB8\x89 0042"); // 张三 0042
    return Encode(name.get(), i2d_X509_NAME);
}

// TemporaryKeyBytes: the key inside the temporary key attribute: the
// RSAPublicKey DER, or the 136-byte SM2 form.
static Bytes TemporaryKeyBytes(EVP_PKEY* key) {
    if (!EVP_PKEY_is_a(key, "SM2"))
        return Encode(key, i2d_PublicKey); // RSAPublicKey
    uint8_t point[65];
    size_t n = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &n);
    if (n != 65 || point[0] != 0x04)
        throw std::runtime_error("no SM2 point");
    Bytes blob = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    // Each 64-byte field: the coordinate, then bytes the provider left as they were.
    uint8_t filler[32];
    for (int half = 0; half < 2; ++half) {
        blob.insert(blob.end(), point + 1 + 32 * half, point + 33 + 32 * half);
        RAND_bytes(filler, sizeof filler);
        blob.insert(blob.end(), filler, filler + sizeof filler);
    }
    return blob;
}

Bytes RequestDer(const RequestShape& shape) {
    const bool sm2 = EVP_PKEY_is_a(shape.signingKey, "SM2");
    Bytes info =
        Concat({Bytes{0x02, 0x01, 0x00}, SubjectNameDer(), Encode(shape.signingKey, i2d_PUBKEY)});
    if (shape.temporaryKey != nullptr) {
        // Attributes in the builder's form: SEQUENCE { OID, value }, no SET.
        const Bytes challenge = Tlv(0x30, Concat({OidDer("1.2.840.113549.1.9.7"),
                                                  Tlv(0x13, Bytes{'4', '8', '2', '9', '1', '5'})}));
        const Bytes inner = Tlv(0x30, Concat({Bytes{0x02, 0x01, 0x01},
                                              Tlv(0x04, TemporaryKeyBytes(shape.temporaryKey))}));
        const Bytes temporary =
            Tlv(0x30, Concat({OidDer("1.2.840.113549.1.9.63"), Tlv(0x04, inner)}));
        info = Concat({info, Tlv(0xA0, Concat({challenge, temporary}))});
    }
    info = Tlv(0x30, info);
    std::string oid = shape.signatureOid;
    if (oid.empty())
        oid = sm2 ? "1.2.156.10197.1.501" : "1.2.840.113549.1.1.5";
    Bytes signature = Sign(shape, info);
    if (shape.corruptSignature)
        signature[signature.size() / 2] ^= 0x01;
    const Bytes algorithm = Tlv(0x30, Concat({OidDer(oid.c_str()), Bytes{0x05, 0x00}}));
    return Tlv(0x30, Concat({info, algorithm, Tlv(0x03, Concat({Bytes{0x00}, signature}))}));
}

std::string Base64Lines(const Bytes& der, const char* separator, size_t width) {
    std::string flat(4 * ((der.size() + 2) / 3) + 1, '\0');
    flat.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()),
                                                    der.data(), static_cast<int>(der.size()))));
    std::string out;
    for (size_t i = 0; i < flat.size(); i += width) {
        if (i != 0)
            out += separator;
        out.append(flat, i, width);
    }
    return out;
}

bool Base64Decode(const std::string& text, Bytes& out) {
    if (text.empty() || text.size() % 4 != 0)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool pad = c == '=' && i + 2 >= text.size();
        if (!std::isalnum(c) && c != '+' && c != '/' && !pad)
            return false;
    }
    out.assign(text.size() / 4 * 3, 0);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        return false;
    size_t padding = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        ++padding;
    out.resize(static_cast<size_t>(n) - padding);
    return true;
}

Cert CertificateFromBase64(const std::string& text) {
    Bytes der;
    if (!Base64Decode(text, der))
        return nullptr;
    const unsigned char* p = der.data();
    Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    return p == der.data() + der.size() ? std::move(cert) : nullptr;
}

} // namespace orvane::tools::testca::testing
