// OpenSSL behind the providers: see crypto.h.
#include "crypto.h"

#include <orvane/vendor_sm2.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/evp.h>

#include <algorithm>

namespace orvane::platform::csp {
namespace {

// The choke point: an OpenSSL failure becomes this Status, its queue cleared.
Status Failed(Status why = Err(NTE_FAIL)) {
    ERR_clear_error();
    return why;
}

struct BnFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;
struct BldFree {
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
};
struct ParamFree {
    // The parameters hold copies of private numbers: wiped before freed.
    void operator()(OSSL_PARAM* p) const {
        for (OSSL_PARAM* q = p; q != nullptr && q->key != nullptr; ++q)
            if (q->data != nullptr)
                OPENSSL_cleanse(q->data, q->data_size);
        OSSL_PARAM_free(p);
    }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};

Bn FromLe(const Bytes& b) {
    return Bn(BN_lebin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

// ToLe: the number least significant byte first, zero-padded to width bytes;
// false when it does not fit.
template <class Out> bool ToLe(EVP_PKEY* key, const char* name, size_t width, Out& out) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1)
        return false;
    Bn n(raw);
    if (static_cast<size_t>(BN_num_bytes(n.get())) > width)
        return false;
    out.assign(width, 0);
    return BN_bn2lebinpad(n.get(), out.data(), static_cast<int>(width)) >= 0;
}

} // namespace

Status RsaGenerate(DWORD bits, Pkey& key) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1)
        return Failed();
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) != 1)
        return Failed();
    key.reset(raw);
    return 0;
}

Status RsaFromParts(const RsaParts& parts, bool withPrivate, Pkey& key) {
    std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
    Bn n = FromLe(parts.modulus);
    Bn e(BN_new());
    if (!bld || !n || !e || BN_set_word(e.get(), parts.publicExponent) != 1)
        return Failed(Err(NTE_NO_MEMORY));
    Bn d, p, q, dp, dq, qi;
    bool ok = OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1;
    if (ok && withPrivate) {
        d = FromLe(parts.privateExponent);
        p = FromLe(parts.prime1);
        q = FromLe(parts.prime2);
        dp = FromLe(parts.exponent1);
        dq = FromLe(parts.exponent2);
        qi = FromLe(parts.coefficient);
        ok = d && p && q && dp && dq && qi &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) == 1 &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) == 1 &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) == 1 &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) == 1 &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) == 1 &&
             OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qi.get()) == 1;
    }
    if (!ok)
        return Failed(Err(NTE_NO_MEMORY));
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, withPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) != 1)
        return Failed(Err(NTE_BAD_DATA));
    key.reset(raw);
    return 0;
}

Status RsaFromPkcs1(std::span<const BYTE> der, Pkey& key) {
    const unsigned char* p = der.data();
    EVP_PKEY* raw = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size()));
    if (raw == nullptr || p != der.data() + der.size()) {
        EVP_PKEY_free(raw);
        return Failed(Err(NTE_BAD_DATA));
    }
    key.reset(raw);
    return 0;
}

DWORD RsaBits(EVP_PKEY* key) {
    return static_cast<DWORD>(EVP_PKEY_get_bits(key));
}

Status RsaToParts(EVP_PKEY* key, bool withPrivate, RsaParts& parts) {
    parts.bits = RsaBits(key);
    const size_t whole = (parts.bits + 7) / 8, half = (parts.bits + 15) / 16;
    size_t e = 0;
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &raw) != 1)
        return Failed();
    Bn eb(raw);
    if (BN_num_bits(eb.get()) > 32)
        return Failed(Err(NTE_BAD_KEY));
    e = BN_get_word(eb.get());
    parts.publicExponent = static_cast<DWORD>(e);
    if (!ToLe(key, OSSL_PKEY_PARAM_RSA_N, whole, parts.modulus))
        return Failed();
    if (!withPrivate)
        return 0;
    if (!ToLe(key, OSSL_PKEY_PARAM_RSA_FACTOR1, half, parts.prime1) ||
        !ToLe(key, OSSL_PKEY_PARAM_RSA_FACTOR2, half, parts.prime2) ||
        !ToLe(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, half, parts.exponent1) ||
        !ToLe(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, half, parts.exponent2) ||
        !ToLe(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half, parts.coefficient) ||
        !ToLe(key, OSSL_PKEY_PARAM_RSA_D, whole, parts.privateExponent))
        return Failed(Err(NTE_BAD_KEY));
    return 0;
}

Status RsaSignDigest(EVP_PKEY* key, ALG_ID hashAlg, std::span<const BYTE> digest, Bytes& sig) {
    const EVP_MD* md = EVP_get_digestbyname(DigestName(hashAlg));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (md == nullptr || !ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)
        return Failed(Err(NTE_BAD_ALGID));
    size_t len = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) != 1)
        return Failed();
    sig.assign(len, 0);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()) != 1)
        return Failed(Err(NTE_BAD_KEY));
    sig.resize(len);
    return 0;
}

Status RsaVerifyDigest(EVP_PKEY* key, ALG_ID hashAlg, std::span<const BYTE> digest,
                       std::span<const BYTE> sig) {
    const EVP_MD* md = EVP_get_digestbyname(DigestName(hashAlg));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (md == nullptr || !ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)
        return Failed(Err(NTE_BAD_ALGID));
    if (EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) != 1)
        return Failed(Err(NTE_BAD_SIGNATURE));
    return 0;
}

Status RsaDecrypt(EVP_PKEY* key, std::span<const BYTE> cipher, SecureBytes& plain) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
        return Failed();
    size_t len = 0;
    if (EVP_PKEY_decrypt(ctx.get(), nullptr, &len, cipher.data(), cipher.size()) != 1)
        return Failed(Err(NTE_BAD_DATA));
    plain.assign(len, 0);
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &len, cipher.data(), cipher.size()) != 1)
        return Failed(Err(NTE_BAD_DATA));
    plain.resize(len);
    return 0;
}

Status RsaEncrypt(EVP_PKEY* key, std::span<const BYTE> plain, Bytes& cipher) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
        return Failed();
    size_t len = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size()) != 1)
        return Failed(Err(NTE_BAD_LEN));
    cipher.assign(len, 0);
    if (EVP_PKEY_encrypt(ctx.get(), cipher.data(), &len, plain.data(), plain.size()) != 1)
        return Failed(Err(NTE_BAD_LEN));
    cipher.resize(len);
    return 0;
}

namespace {

struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};
struct GroupFree {
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
};
struct SigFree {
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};

// DerInteger / DerOctets: the TLVs of the SM2 ciphertext structure below.
void DerLength(Bytes& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<BYTE>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<BYTE>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<BYTE>(n >> 8));
        out.push_back(static_cast<BYTE>(n));
    }
}
void DerInteger(Bytes& out, std::span<const BYTE> be) {
    size_t skip = 0;
    while (skip + 1 < be.size() && be[skip] == 0 && be[skip + 1] < 0x80)
        ++skip;
    const bool pad = !be.empty() && be[skip] >= 0x80;
    out.push_back(0x02);
    DerLength(out, be.size() - skip + (pad ? 1 : 0));
    if (pad)
        out.push_back(0);
    out.insert(out.end(), be.begin() + static_cast<ptrdiff_t>(skip), be.end());
}
void DerOctets(Bytes& out, std::span<const BYTE> b) {
    out.push_back(0x04);
    DerLength(out, b.size());
    out.insert(out.end(), b.begin(), b.end());
}

Status Sm2FromData(const BIGNUM* d, std::span<const BYTE> point, Pkey& key) {
    std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
    if (!bld ||
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d) != 1)
        return Failed(Err(NTE_NO_MEMORY));
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return Failed(Err(NTE_BAD_DATA));
    key.reset(raw);
    return 0;
}

// The SM2 curve's constants that enter the Z value (GB/T 32918.5), big-endian.
const char* const kSm2A = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC";
const char* const kSm2B = "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93";
const char* const kSm2Gx = "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7";
const char* const kSm2Gy = "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";

Bytes FromHex(const char* hex) {
    Bytes out;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
        auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
        out.push_back(static_cast<BYTE>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
    }
    return out;
}

} // namespace

Status Sm2Generate(Pkey& key) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_generate(ctx.get(), &raw) != 1)
        return Failed();
    key.reset(raw);
    return 0;
}

Status Sm2FromPrivate(std::span<const BYTE> d, Pkey& key) {
    if (d.size() != kSm2Size)
        return Err(NTE_BAD_DATA);
    std::unique_ptr<EC_GROUP, GroupFree> group(EC_GROUP_new_by_curve_name(NID_sm2));
    Bn scalar(BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr));
    if (!group || !scalar)
        return Failed(Err(NTE_NO_MEMORY));
    // 0 < d < n - 1, or it is no SM2 private key.
    Bn limit(BN_dup(EC_GROUP_get0_order(group.get())));
    if (!limit || BN_sub_word(limit.get(), 1) != 1)
        return Failed(Err(NTE_NO_MEMORY));
    if (BN_is_zero(scalar.get()) || BN_cmp(scalar.get(), limit.get()) >= 0)
        return Err(NTE_BAD_DATA);
    std::unique_ptr<EC_POINT, PointFree> point(EC_POINT_new(group.get()));
    Bytes encoded(1 + 2 * kSm2Size, 0);
    if (!point ||
        EC_POINT_mul(group.get(), point.get(), scalar.get(), nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(),
                           encoded.size(), nullptr) != encoded.size())
        return Failed();
    return Sm2FromData(scalar.get(), encoded, key);
}

Status Sm2FromParts(std::span<const BYTE> d, std::span<const BYTE> point, Pkey& key) {
    Bn scalar(BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr));
    if (!scalar)
        return Failed(Err(NTE_NO_MEMORY));
    return Sm2FromData(scalar.get(), point, key);
}

Status Sm2Point(EVP_PKEY* key, Bytes& x, Bytes& y) {
    Bytes encoded(1 + 2 * kSm2Size, 0);
    size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, encoded.data(),
                                        encoded.size(), &len) != 1 ||
        len != encoded.size() || encoded[0] != 0x04)
        return Failed(Err(NTE_BAD_KEY));
    x.assign(encoded.begin() + 1, encoded.begin() + 1 + kSm2Size);
    y.assign(encoded.begin() + 1 + kSm2Size, encoded.end());
    return 0;
}

Status Sm2Scalar(EVP_PKEY* key, SecureBytes& d) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1)
        return Failed(Err(NTE_BAD_KEY));
    Bn scalar(raw);
    d.assign(kSm2Size, 0);
    return BN_bn2binpad(scalar.get(), d.data(), static_cast<int>(kSm2Size)) ==
                   static_cast<int>(kSm2Size)
               ? Status()
               : Failed(Err(NTE_BAD_KEY));
}

Status Sm2SignDigest(EVP_PKEY* key, std::span<const BYTE> digest, Bytes& r, Bytes& s) {
    // An SM2 key context signs the digest it is given as it is: Z is part of
    // the digest already.
    PkeyCtx pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!pctx || EVP_PKEY_sign_init(pctx.get()) != 1)
        return Failed(Err(NTE_BAD_KEY));
    size_t len = 0;
    if (EVP_PKEY_sign(pctx.get(), nullptr, &len, digest.data(), digest.size()) != 1)
        return Failed();
    Bytes der(len, 0);
    if (EVP_PKEY_sign(pctx.get(), der.data(), &len, digest.data(), digest.size()) != 1)
        return Failed();
    const BYTE* p = der.data();
    std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len)));
    if (!sig)
        return Failed();
    r.assign(kSm2Size, 0);
    s.assign(kSm2Size, 0);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), r.data(), kSm2Size) != kSm2Size ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), s.data(), kSm2Size) != kSm2Size)
        return Failed();
    return 0;
}

Status Sm2Z(EVP_PKEY* key, std::span<const BYTE> id, Bytes& z) {
    // ENTL is the identity's length in bits, two bytes big-endian.
    if (id.size() > 0x1FFF)
        return Err(NTE_BAD_DATA);
    Bytes x, y;
    if (Status st = Sm2Point(key, x, y))
        return st;
    Digest first;
    const BYTE entl[2] = {static_cast<BYTE>((id.size() * 8) >> 8),
                          static_cast<BYTE>(id.size() * 8)};
    if (Status st = first.Init(ORVANE_CALG_SM3))
        return st;
    for (const Bytes& part : {Bytes(entl, entl + 2), Bytes(id.begin(), id.end()), FromHex(kSm2A),
                              FromHex(kSm2B), FromHex(kSm2Gx), FromHex(kSm2Gy), x, y})
        if (Status st = first.Update(part))
            return st;
    return first.Final(z);
}

Status Sm2Decrypt(EVP_PKEY* key, std::span<const BYTE> c1c3c2, SecureBytes& plain) {
    if (c1c3c2.size() <= 96 || c1c3c2.size() > 0xFF00)
        return Err(NTE_BAD_DATA);
    // SM2Cipher ::= SEQUENCE { XCoordinate INTEGER, YCoordinate INTEGER,
    //                          HASH OCTET STRING (C3), CipherText OCTET STRING (C2) }
    Bytes body;
    DerInteger(body, c1c3c2.subspan(0, 32));
    DerInteger(body, c1c3c2.subspan(32, 32));
    DerOctets(body, c1c3c2.subspan(64, 32));
    DerOctets(body, c1c3c2.subspan(96));
    Bytes der{0x30};
    DerLength(der, body.size());
    der.insert(der.end(), body.begin(), body.end());
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &len, der.data(), der.size()) != 1)
        return Failed(Err(NTE_BAD_DATA));
    plain.assign(len, 0);
    if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &len, der.data(), der.size()) != 1)
        return Failed(Err(NTE_BAD_DATA));
    plain.resize(len);
    return 0;
}

const char* DigestName(ALG_ID alg) {
    switch (alg) {
    case CALG_MD5:
        return "MD5";
    case CALG_SHA1:
        return "SHA1";
    case ORVANE_CALG_SM3: // the SM2 tokens' SM3
        return "SM3";
    default:
        return nullptr;
    }
}

Status Digest::Init(ALG_ID alg) {
    const char* name = DigestName(alg);
    if (name == nullptr)
        return Err(NTE_BAD_ALGID);
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    ctx_.reset(EVP_MD_CTX_new());
    const bool ok = md != nullptr && ctx_ && EVP_DigestInit_ex(ctx_.get(), md, nullptr) == 1;
    EVP_MD_free(md);
    return ok ? Status() : Failed(Err(NTE_BAD_ALGID));
}

Status Digest::Update(std::span<const BYTE> data) {
    return EVP_DigestUpdate(ctx_.get(), data.data(), data.size()) == 1 ? Status() : Failed();
}

Status Digest::Final(Bytes& out) {
    out.assign(EVP_MAX_MD_SIZE, 0);
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &len) != 1)
        return Failed();
    out.resize(len);
    return 0;
}

size_t Digest::Size() const {
    return static_cast<size_t>(EVP_MD_CTX_get_size(ctx_.get()));
}

namespace {
Status TripleDes(std::span<const BYTE> key, DWORD mode, Bytes& iv, Bytes& data, bool encrypt) {
    if (key.size() != 24 || data.size() % 8 != 0)
        return Err(NTE_BAD_DATA);
    if (data.empty())
        return 0;
    const bool cbc = mode == CRYPT_MODE_CBC;
    if (cbc && iv.size() != 8)
        return Err(NTE_BAD_DATA);
    Bytes nextIv;
    if (cbc && !encrypt)
        nextIv.assign(data.end() - 8, data.end());
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, cbc ? "DES-EDE3-CBC" : "DES-EDE3-ECB", nullptr);
    int len = 0, tail = 0;
    const bool ok = cipher != nullptr && ctx &&
                    EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(),
                                      cbc ? iv.data() : nullptr, encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                    EVP_CipherUpdate(ctx.get(), data.data(), &len, data.data(),
                                     static_cast<int>(data.size())) == 1 &&
                    EVP_CipherFinal_ex(ctx.get(), data.data() + len, &tail) == 1;
    EVP_CIPHER_free(cipher);
    if (!ok)
        return Failed();
    if (cbc)
        iv = encrypt ? Bytes(data.end() - 8, data.end()) : nextIv;
    return 0;
}
} // namespace

Status TripleDesDecrypt(std::span<const BYTE> key, DWORD mode, Bytes& iv, Bytes& data) {
    return TripleDes(key, mode, iv, data, false);
}
Status TripleDesEncrypt(std::span<const BYTE> key, DWORD mode, Bytes& iv, Bytes& data) {
    return TripleDes(key, mode, iv, data, true);
}

Status Random(BYTE* out, size_t length) {
    return RAND_bytes(out, static_cast<int>(length)) == 1 ? Status() : Failed();
}

} // namespace orvane::platform::csp
