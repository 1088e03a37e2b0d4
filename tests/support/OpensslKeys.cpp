#include "tests/support/OpensslKeys.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/encoder.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace orvane::checks {
namespace {

// PublicKeyFrom: the public key of that type the builder's parameters give;
// null when OpenSSL refuses them. Frees the builder.
Pkey PublicKeyFrom(const char* type, OSSL_PARAM_BLD* bld) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
        key = nullptr;
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return Pkey(key);
}

} // namespace

Pkey Sm2PublicFromBlob(const Bytes& blob) {
    if (blob.size() != 140)
        return nullptr;
    std::uint8_t point[65] = {0x04};
    for (int i = 0; i < 32; ++i) {
        point[1 + i] = blob[12 + 31 - i];
        point[33 + i] = blob[76 + 31 - i];
    }
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point);
    return PublicKeyFrom("SM2", bld);
}

Pkey RsaPublicFromBlob(const Bytes& blob) {
    if (blob.size() < 20)
        return nullptr;
    const std::uint32_t bits =
        blob[12] | (blob[13] << 8) | (blob[14] << 16) | (std::uint32_t(blob[15]) << 24);
    const std::uint32_t e =
        blob[16] | (blob[17] << 8) | (blob[18] << 16) | (std::uint32_t(blob[19]) << 24);
    if (blob.size() != 20 + bits / 8)
        return nullptr;
    BIGNUM* n = BN_lebin2bn(blob.data() + 20, int(bits / 8), nullptr);
    BIGNUM* eb = BN_new();
    BN_set_word(eb, e);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, eb);
    Pkey key = PublicKeyFrom("RSA", bld);
    BN_free(n);
    BN_free(eb);
    return key;
}

Pkey GenerateRsa(unsigned bits) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), int(bits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &key) != 1)
        return nullptr;
    return Pkey(key);
}

Bytes RsaEncrypt(EVP_PKEY* key, const Bytes& plain) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    size_t len = 0;
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()) != 1)
        return {};
    Bytes out(len);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, plain.data(), plain.size()) != 1)
        return {};
    out.resize(len);
    return out;
}

Bytes TripleDesEcb(const Bytes& key, const Bytes& plain) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(plain.size() + 8);
    int len = 0, tail = 0;
    const bool ok =
        EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) == 1 &&
        EVP_EncryptUpdate(ctx, out.data(), &len, plain.data(), static_cast<int>(plain.size())) ==
            1 &&
        EVP_EncryptFinal_ex(ctx, out.data() + len, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        return {};
    out.resize(static_cast<size_t>(len + tail));
    return out;
}

Pkey GenerateSm2() {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_generate(ctx.get(), &key) != 1)
        return nullptr;
    return Pkey(key);
}

Bytes Sm2Point(EVP_PKEY* key) {
    Bytes point(65);
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &len);
    point.resize(len);
    return point;
}

Bytes Sm2EncryptC1C3C2(EVP_PKEY* key, const Bytes& plain) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    size_t len = 0;
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()) != 1)
        return {};
    Bytes der(len);
    if (EVP_PKEY_encrypt(ctx.get(), der.data(), &len, plain.data(), plain.size()) != 1)
        return {};
    // SM2Ciphertext ::= SEQUENCE { x INTEGER, y INTEGER, hash OCTET STRING,
    //                              ciphertext OCTET STRING }
    const unsigned char* p = der.data();
    ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, long(len));
    if (seq == nullptr || sk_ASN1_TYPE_num(seq) != 4) {
        sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
        return {};
    }
    Bytes out;
    for (int i = 0; i < 2; ++i) {
        BIGNUM* bn = ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr);
        Bytes coordinate(32);
        BN_bn2binpad(bn, coordinate.data(), 32);
        BN_free(bn);
        out.insert(out.end(), coordinate.begin(), coordinate.end());
    }
    for (int i = 2; i < 4; ++i) {
        const ASN1_OCTET_STRING* s = sk_ASN1_TYPE_value(seq, i)->value.octet_string;
        out.insert(out.end(), s->data, s->data + s->length);
    }
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}

Pkey PublicKeyFromSpki(const Bytes& der) {
    const unsigned char* p = der.data();
    return Pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
}

Bytes Encode(EVP_PKEY* key, const char* type, const char* structure) {
    OSSL_ENCODER_CTX* ctx =
        OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_KEYPAIR, type, structure, nullptr);
    unsigned char* data = nullptr;
    size_t len = 0;
    Bytes out;
    if (ctx != nullptr && OSSL_ENCODER_to_data(ctx, &data, &len) == 1)
        out.assign(data, data + len);
    OPENSSL_free(data);
    OSSL_ENCODER_CTX_free(ctx);
    return out;
}

namespace {

Bytes DerTlv(unsigned char tag, const Bytes& content) {
    Bytes out = {tag};
    if (content.size() < 0x80) {
        out.push_back(static_cast<unsigned char>(content.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<unsigned char>(content.size() >> 8));
        out.push_back(static_cast<unsigned char>(content.size()));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

} // namespace

Bytes EvpStructure(const Bytes& sessionCipher, const Bytes& keyCipher, const Bytes& symOid) {
    Bytes body = {0x02, 0x01, 0x01};
    for (const Bytes& part :
         {DerTlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}),
          DerTlv(0x06, symOid), DerTlv(0x04, sessionCipher), DerTlv(0x04, keyCipher)})
        body.insert(body.end(), part.begin(), part.end());
    return DerTlv(0x30, body);
}

} // namespace orvane::checks
