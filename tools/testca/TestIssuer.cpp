#include "tools/testca/TestIssuer.h"

#include "tools/testca/Authority.h"
#include "tools/testca/Ossl.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace orvane::tools::testca {
namespace {

constexpr long kIssuedDays = 365;
constexpr size_t kSm2FieldSize = 32;
constexpr int kSessionKeyTripleDes = 306;

constexpr const char* kOidSha1WithRsa = "1.2.840.113549.1.1.5";
constexpr const char* kOidSha256WithRsa = "1.2.840.113549.1.1.11";
constexpr const char* kOidSm2WithSm3 = "1.2.156.10197.1.501";
constexpr const char* kOidTemporaryKey = "1.2.840.113549.1.9.63";

// The parts of a request the issuer uses.
struct Request {
    NamePtr subject;
    PkeyPtr publicKey;
    PkeyPtr temporaryKey; // the pair's key-exchange key; null for a single certificate
    bool sm2 = false;
};

bool IsSm2(const EVP_PKEY* key) {
    return EVP_PKEY_is_a(key, "SM2") == 1;
}

std::string OidText(ByteView content) {
    const Bytes der = Tlv(V_ASN1_OBJECT, content);
    const unsigned char* p = der.data();
    std::unique_ptr<ASN1_OBJECT, OsslFree<ASN1_OBJECT_free>> oid(
        d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size())));
    char text[128] = {};
    if (!oid || OBJ_obj2txt(text, sizeof text, oid.get(), 1) <= 0) {
        ERR_clear_error();
        return {};
    }
    return text;
}

// RequestDer: the DER of a request given as Base64 (CR LF lines or one line)
// or as PEM.
std::optional<Bytes> RequestDer(std::string_view text) {
    const size_t begin = text.find("-----BEGIN");
    if (begin != std::string_view::npos) {
        const size_t bodyStart = text.find('\n', begin);
        const size_t end = text.find("-----END", begin);
        if (bodyStart == std::string_view::npos || end == std::string_view::npos || end < bodyStart)
            return std::nullopt;
        text = text.substr(bodyStart + 1, end - bodyStart - 1);
    }
    return Base64Decode(text);
}

bool Fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

// CanonicalSm2Signature: the request's SEQUENCE { INTEGER r, INTEGER s } in
// strict DER. Some builders write each half as its full 32 bytes, keeping a
// leading zero byte that strict DER forbids and OpenSSL refuses; an issuer
// reads the halves as unsigned numbers and encodes them again.
std::optional<Bytes> CanonicalSm2Signature(ByteView signature) {
    DerReader outer(signature);
    ByteView body, r, s;
    if (!outer.Read(0x30, body) || !outer.Empty())
        return std::nullopt;
    DerReader halves(body);
    if (!halves.Read(0x02, r) || !halves.Read(0x02, s) || !halves.Empty() || r.empty() ||
        s.empty() || (r[0] & 0x80) != 0 || (s[0] & 0x80) != 0 || r.size() > 33 || s.size() > 33)
        return std::nullopt;
    std::unique_ptr<ECDSA_SIG, OsslFree<ECDSA_SIG_free>> sig(ECDSA_SIG_new());
    BnPtr rn(BN_bin2bn(r.data(), static_cast<int>(r.size()), nullptr));
    BnPtr sn(BN_bin2bn(s.data(), static_cast<int>(s.size()), nullptr));
    if (!sig || !rn || !sn || ECDSA_SIG_set0(sig.get(), rn.get(), sn.get()) != 1)
        return std::nullopt;
    rn.release(); // owned by sig now
    sn.release();
    const int n = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (n <= 0)
        return std::nullopt;
    Bytes der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_ECDSA_SIG(sig.get(), &p);
    return der;
}

bool VerifyRequestSignature(EVP_PKEY* key, const std::string& algorithm, ByteView signedPart,
                            ByteView signature, std::string& error) {
    int verified = 0;
    if (IsSm2(key)) {
        if (algorithm != kOidSm2WithSm3)
            return Fail(error, "SM2 request signed with unexpected algorithm " + algorithm);
        const std::optional<Bytes> canonical = CanonicalSm2Signature(signature);
        if (!canonical)
            return Fail(error, "SM2 request signature is not SEQUENCE { INTEGER r, INTEGER s }");
        Sm2DigestContext ctx;
        verified = InitSm2Digest(ctx, key, false)
                       ? EVP_DigestVerify(ctx.mdCtx.get(), canonical->data(), canonical->size(),
                                          signedPart.data(), signedPart.size())
                       : -1;
    } else {
        const EVP_MD* md = algorithm == kOidSha1WithRsa     ? EVP_sha1()
                           : algorithm == kOidSha256WithRsa ? EVP_sha256()
                                                            : nullptr;
        if (md == nullptr)
            return Fail(error, "RSA request signed with unexpected algorithm " + algorithm);
        MdCtxPtr ctx(EVP_MD_CTX_new());
        verified = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1
                       ? EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                          signedPart.data(), signedPart.size())
                       : -1;
    }
    ERR_clear_error();
    if (verified != 1)
        return Fail(error, "request signature does not verify with the request's public key");
    return true;
}

// Sm2TemporaryKey: the 136-byte key of an SM2 pair request:
//   LE32 0xB400, LE32 256, 64-byte X field, 64-byte Y field,
// each field's first 32 bytes the coordinate, most significant byte first.
PkeyPtr Sm2TemporaryKey(ByteView blob, std::string& error) {
    const auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(blob[at]) | static_cast<uint32_t>(blob[at + 1]) << 8 |
               static_cast<uint32_t>(blob[at + 2]) << 16 |
               static_cast<uint32_t>(blob[at + 3]) << 24;
    };
    if (blob.size() != 136 || le32(0) != 0xB400 || le32(4) != 256) {
        error = "SM2 temporary key is not the 136-byte form (0xB400, 256, X, Y)";
        return nullptr;
    }
    Bytes point{0x04};
    Append(point, blob.subspan(8, kSm2FieldSize));
    Append(point, blob.subspan(72, kSm2FieldSize));
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("SM2"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
        OSSL_PARAM_construct_end()};
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        error = OsslError("SM2 temporary key is not a point on the curve");
        return nullptr;
    }
    return PkeyPtr(key);
}

PkeyPtr RsaTemporaryKey(ByteView der, std::string& error) {
    const unsigned char* p = der.data();
    PkeyPtr key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
    if (!key || p != der.data() + der.size()) {
        error = OsslError("RSA temporary key is not an RSAPublicKey");
        return nullptr;
    }
    return key;
}

// ReadTemporaryKey: the value of the temporary key attribute,
//   OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } },
// as the request builder writes it (no SET around it), or inside a SET.
bool ReadTemporaryKey(ByteView value, Request& request, std::string& error) {
    DerReader outer(value);
    ByteView set;
    if (outer.PeekTag() == 0x31) {
        if (!outer.Read(0x31, set) || !outer.Empty())
            return Fail(error, "temporary key attribute: malformed SET");
        outer = DerReader(set);
    }
    ByteView wrapped, body, version, key;
    if (!outer.Read(V_ASN1_OCTET_STRING, wrapped) || !outer.Empty())
        return Fail(error, "temporary key attribute: value is not one OCTET STRING");
    DerReader sequence(wrapped);
    if (!sequence.Read(0x30, body) || !sequence.Empty())
        return Fail(error, "temporary key attribute: no SEQUENCE inside the OCTET STRING");
    DerReader fields(body);
    if (!fields.Read(V_ASN1_INTEGER, version) || !fields.Read(V_ASN1_OCTET_STRING, key) ||
        !fields.Empty())
        return Fail(error, "temporary key attribute: not SEQUENCE { INTEGER, OCTET STRING }");
    request.temporaryKey = request.sm2 ? Sm2TemporaryKey(key, error) : RsaTemporaryKey(key, error);
    return request.temporaryKey != nullptr;
}

bool ReadAttributes(ByteView attributes, Request& request, std::string& error) {
    DerReader list(attributes);
    while (!list.Empty()) {
        // Attribute ::= SEQUENCE { type OBJECT IDENTIFIER, value } (the
        // request builder's form) or SEQUENCE { type, SET OF value }.
        ByteView attribute, oid;
        if (!list.Read(0x30, attribute))
            return Fail(error, "request attribute is not a SEQUENCE");
        DerReader fields(attribute);
        if (!fields.Read(V_ASN1_OBJECT, oid))
            return Fail(error, "request attribute has no type");
        if (OidText(oid) != kOidTemporaryKey)
            continue; // the challenge password and anything else: not needed here
        if (request.temporaryKey)
            return Fail(error, "request carries two temporary keys");
        if (!ReadTemporaryKey(fields.Rest(), request, error))
            return false;
    }
    return true;
}

// ParseRequest: reads and checks a request:
//   CertificationRequest ::= SEQUENCE {
//     certificationRequestInfo SEQUENCE { version INTEGER (0), subject Name,
//         subjectPKInfo SubjectPublicKeyInfo, attributes [0] (pairs only) },
//     signatureAlgorithm SEQUENCE { OBJECT IDENTIFIER, NULL },
//     signature BIT STRING }
bool ParseRequest(ByteView der, Request& request, std::string& error) {
    DerReader top(der);
    ByteView body, info, infoDer, algorithm, signature;
    if (!top.Read(0x30, body) || !top.Empty())
        return Fail(error, "request is not one DER SEQUENCE");
    DerReader parts(body);
    if (!parts.Read(0x30, info, &infoDer) || !parts.Read(0x30, algorithm) ||
        !parts.Read(V_ASN1_BIT_STRING, signature) || !parts.Empty())
        return Fail(error, "request is not SEQUENCE { info, algorithm, signature }");

    DerReader fields(info);
    ByteView version, name, nameDer, spki, spkiDer, attributes;
    if (!fields.Read(V_ASN1_INTEGER, version) || version.size() != 1 || version[0] != 0)
        return Fail(error, "request version is not 0");
    if (!fields.Read(0x30, name, &nameDer) || !fields.Read(0x30, spki, &spkiDer))
        return Fail(error, "request has no subject name or public key");
    if (!fields.Empty() && (!fields.Read(0xA0, attributes) || !fields.Empty()))
        return Fail(error, "request information has trailing data");

    const unsigned char* p = nameDer.data();
    request.subject.reset(d2i_X509_NAME(nullptr, &p, static_cast<long>(nameDer.size())));
    if (!request.subject || p != nameDer.data() + nameDer.size())
        return Fail(error, OsslError("request subject is not a Name"));
    p = spkiDer.data();
    request.publicKey.reset(d2i_PUBKEY(nullptr, &p, static_cast<long>(spkiDer.size())));
    if (!request.publicKey || p != spkiDer.data() + spkiDer.size())
        return Fail(error, OsslError("request public key is unreadable"));
    request.sm2 = IsSm2(request.publicKey.get());
    if (!request.sm2 && !EVP_PKEY_is_a(request.publicKey.get(), "RSA"))
        return Fail(error, "request public key is neither RSA nor SM2");

    DerReader algorithmFields(algorithm);
    ByteView oid, null;
    if (!algorithmFields.Read(V_ASN1_OBJECT, oid) ||
        (!algorithmFields.Empty() &&
         (!algorithmFields.Read(V_ASN1_NULL, null) || !null.empty() || !algorithmFields.Empty())))
        return Fail(error, "request signature algorithm is not SEQUENCE { OID, NULL }");
    if (signature.empty() || signature[0] != 0)
        return Fail(error, "request signature BIT STRING has unused bits");
    if (!VerifyRequestSignature(request.publicKey.get(), OidText(oid), infoDer,
                                signature.subspan(1), error))
        return false;
    return ReadAttributes(attributes, request, error);
}

PkeyPtr EncryptionKey(const IssueOptions& options, const Request& request, std::string& error) {
    if (!options.encryptionKeyPem.empty()) {
        BioPtr bio(BIO_new_mem_buf(options.encryptionKeyPem.data(),
                                   static_cast<int>(options.encryptionKeyPem.size())));
        PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (!key || IsSm2(key.get()) != request.sm2 ||
            (!request.sm2 && !EVP_PKEY_is_a(key.get(), "RSA"))) {
            error = OsslError("the given encryption key is unreadable or does not fit the request");
            return nullptr;
        }
        return key;
    }
    if (request.sm2) {
        PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
        if (!key)
            error = OsslError("SM2 key generation failed");
        return key;
    }
    const int bits = options.encryptionKeyBits != 0 ? options.encryptionKeyBits
                                                    : EVP_PKEY_get_bits(request.publicKey.get());
    if (bits < 512 || bits > 16384 || bits % 16 != 0) {
        error = "unsupported RSA encryption key length " + std::to_string(bits);
        return nullptr;
    }
    PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    if (!key)
        error = OsslError("RSA key generation failed");
    return key;
}

// EnvelopedKeyBytes: what the envelope protects: the PKCS#1 RSAPrivateKey
// DER, or the SM2 private scalar (32 bytes, most significant first).
std::optional<Bytes> EnvelopedKeyBytes(EVP_PKEY* key) {
    if (IsSm2(key)) {
        BIGNUM* raw = nullptr;
        if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1)
            return std::nullopt;
        BnPtr scalar(raw);
        Bytes out(kSm2FieldSize);
        if (BN_bn2binpad(scalar.get(), out.data(), static_cast<int>(out.size())) !=
            static_cast<int>(out.size()))
            return std::nullopt;
        return out;
    }
    const int n = i2d_PrivateKey(key, nullptr); // RSA: the PKCS#1 RSAPrivateKey
    if (n <= 0)
        return std::nullopt;
    Bytes out(static_cast<size_t>(n));
    unsigned char* p = out.data();
    if (i2d_PrivateKey(key, &p) != n)
        return std::nullopt;
    return out;
}

std::optional<Bytes> PublicEncrypt(EVP_PKEY* key, ByteView plain) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    size_t n = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        (!IsSm2(key) && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &n, plain.data(), plain.size()) != 1)
        return std::nullopt;
    Bytes out(n);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &n, plain.data(), plain.size()) != 1)
        return std::nullopt;
    out.resize(n);
    return out;
}

// Sm2RawCiphertext: OpenSSL's DER ciphertext
//   SEQUENCE { INTEGER x, INTEGER y, OCTET STRING C3, OCTET STRING C2 }
// as raw bytes: C1 = X || Y (32 bytes each, no 04 prefix), then C3 || C2 or
// C2 || C3.
std::optional<Bytes> Sm2RawCiphertext(ByteView der, bool c3First) {
    DerReader top(der);
    ByteView body, x, y, c3, c2;
    if (!top.Read(0x30, body) || !top.Empty())
        return std::nullopt;
    DerReader fields(body);
    if (!fields.Read(V_ASN1_INTEGER, x) || !fields.Read(V_ASN1_INTEGER, y) ||
        !fields.Read(V_ASN1_OCTET_STRING, c3) || !fields.Read(V_ASN1_OCTET_STRING, c2) ||
        !fields.Empty() || c3.size() != 32)
        return std::nullopt;
    Bytes out;
    for (ByteView coordinate : {x, y}) {
        while (!coordinate.empty() && coordinate[0] == 0)
            coordinate = coordinate.subspan(1);
        if (coordinate.size() > kSm2FieldSize)
            return std::nullopt;
        out.insert(out.end(), kSm2FieldSize - coordinate.size(), 0);
        Append(out, coordinate);
    }
    Append(out, c3First ? c3 : c2);
    Append(out, c3First ? c2 : c3);
    return out;
}

std::optional<Bytes> TripleDesEcbEncrypt(ByteView key, ByteView plain) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    Bytes out(plain.size() + 8);
    int n = 0, last = 0;
    if (!ctx ||
        EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &n, plain.data(),
                          static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &last) != 1)
        return std::nullopt;
    out.resize(static_cast<size_t>(n + last));
    return out;
}

std::optional<Bytes> TripleDesKey() {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    Bytes key(24);
    // rand_key gives three distinct DES keys with odd parity.
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_get_key_length(ctx.get()) != 24 ||
        EVP_CIPHER_CTX_rand_key(ctx.get(), key.data()) != 1)
        return std::nullopt;
    return key;
}

std::string WithCommas(const std::string& text, size_t every) {
    if (every == 0)
        return text;
    std::string out;
    for (size_t i = 0; i < text.size(); i += every) {
        if (i != 0)
            out.push_back(',');
        out.append(text, i, every);
    }
    return out;
}

std::string NumberField(long long value) {
    char field[32];
    std::snprintf(field, sizeof field, "%016lld", value);
    return field;
}

// KeyField: Base64 of SEQUENCE { INTEGER 1, OCTET STRING key } with the
// terminating comma (and one more OCTET STRING for the three-element fault).
std::string KeyField(ByteView key, size_t commaEvery, bool threeElements) {
    const uint8_t one[] = {1};
    Bytes body = Tlv(V_ASN1_INTEGER, one);
    Append(body, Tlv(V_ASN1_OCTET_STRING, key));
    if (threeElements)
        Append(body, Tlv(V_ASN1_OCTET_STRING, {}));
    return WithCommas(Base64Encode(Tlv(0x30, body)), commaEvery) + ",";
}

struct Layers {
    Bytes sessionKey; // encrypted session key; empty for SM2
    Bytes privateKey; // encrypted private key
};

std::optional<Layers> Encrypt(EnvelopeFormat format, EVP_PKEY* recipient, ByteView keyBytes,
                              std::string& error) {
    Layers layers;
    if (format == EnvelopeFormat::Old || format == EnvelopeFormat::NewRsa) {
        const std::optional<Bytes> session = TripleDesKey();
        std::optional<Bytes> wrapped, sealed;
        if (session) {
            wrapped = PublicEncrypt(recipient, *session);
            sealed = TripleDesEcbEncrypt(*session, keyBytes);
        }
        if (!wrapped || !sealed) {
            error = OsslError("enveloping the RSA key failed");
            return std::nullopt;
        }
        layers.sessionKey = std::move(*wrapped);
        layers.privateKey = std::move(*sealed);
        return layers;
    }
    const std::optional<Bytes> der = PublicEncrypt(recipient, keyBytes);
    std::optional<Bytes> raw;
    if (der)
        raw = Sm2RawCiphertext(*der, format == EnvelopeFormat::Sm2C1C3C2);
    if (!raw) {
        error = OsslError("SM2 encryption of the key failed");
        return std::nullopt;
    }
    layers.privateKey = std::move(*raw);
    return layers;
}

std::string EnvelopeText(const IssueOptions& options, bool rsaFormat, const Layers& layers) {
    const Malformation fault = options.malformation;
    const long long device = fault == Malformation::BadDeviceType ? 3 : options.deviceType;
    const long long encrypt = fault == Malformation::BadEncryptType ? 3 : options.encryptType;
    long long sessionType = options.sessionKeyType.value_or(rsaFormat ? kSessionKeyTripleDes : 0);
    if (fault == Malformation::BadSessionKeyType)
        sessionType = 305;
    const std::string session = layers.sessionKey.empty()
                                    ? std::string()
                                    : KeyField(layers.sessionKey, options.commaEvery, false);
    std::string key =
        KeyField(layers.privateKey, options.commaEvery, fault == Malformation::ThreeElements);
    if (fault == Malformation::NonBase64)
        key.front() = '*';
    if (fault == Malformation::NoTerminator)
        key.back() = 'A';
    long long keyLength = static_cast<long long>(key.size());
    if (fault == Malformation::WrongLength)
        keyLength += 1;
    if (fault == Malformation::NegativeLength)
        keyLength = -1;
    std::string text = NumberField(device) + NumberField(encrypt) + NumberField(sessionType) +
                       NumberField(static_cast<long long>(session.size())) + session +
                       NumberField(keyLength) + key;
    if (fault == Malformation::Truncated)
        text.resize(text.size() - key.size() / 2);
    return text;
}

std::string CertificateText(const X509* cert, const IssueOptions& options) {
    const std::string text = Base64Encode(DerOfCertificate(cert));
    return options.commasInCertificates ? WithCommas(text, options.commaEvery) : text;
}

bool IssueChecked(const IssueOptions& options, std::string_view requestText, IssueResult& result) {
    std::string& error = result.error;
    const std::optional<Bytes> der = RequestDer(requestText);
    if (!der)
        return Fail(error, "request text is not Base64 (or PEM)");
    Request request;
    if (!ParseRequest(*der, request, error))
        return false;

    const EnvelopeFormat format =
        options.format.value_or(request.sm2 ? EnvelopeFormat::Sm2C1C3C2 : EnvelopeFormat::Old);
    const bool rsaFormat = format == EnvelopeFormat::Old || format == EnvelopeFormat::NewRsa;
    if (request.temporaryKey && rsaFormat == request.sm2)
        return Fail(error, request.sm2 ? "an RSA envelope format was asked for an SM2 request"
                                       : "an SM2 envelope format was asked for an RSA request");

    Authority rsaCa, sm2Ca;
    if (!LoadAuthorities(options.caDir, rsaCa, sm2Ca, error))
        return false;
    const Authority& ca = request.sm2 ? sm2Ca : rsaCa;

    const Extension signExtensions[] = {
        {NID_key_usage, "critical,digitalSignature,nonRepudiation"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
    };
    X509Ptr signCert =
        MakeCertificate(request.subject.get(), request.publicKey.get(), ca.cert.get(), ca.key.get(),
                        kIssuedDays, signExtensions, error);
    if (!signCert)
        return false;

    IssueResult out;
    out.sm2 = request.sm2;
    out.signCert = CertificateText(signCert.get(), options);
    out.caCert = Base64Encode(DerOfCertificate(ca.cert.get()));
    if (request.temporaryKey) {
        out.pair = true;
        PkeyPtr encKey = EncryptionKey(options, request, error);
        if (!encKey)
            return false;
        const Extension encExtensions[] = {
            {NID_key_usage, request.sm2 ? "critical,keyEncipherment,dataEncipherment,keyAgreement"
                                        : "critical,keyEncipherment,dataEncipherment"},
            {NID_subject_key_identifier, "hash"},
            {NID_authority_key_identifier, "keyid:always"},
        };
        X509Ptr encCert = MakeCertificate(request.subject.get(), encKey.get(), ca.cert.get(),
                                          ca.key.get(), kIssuedDays, encExtensions, error);
        if (!encCert)
            return false;
        std::optional<Bytes> keyBytes = EnvelopedKeyBytes(encKey.get());
        out.encKeyPem = PemOfKey(encKey.get());
        if (!keyBytes || out.encKeyPem.empty())
            return Fail(error, OsslError("encoding the encryption key failed"));

        // The wrong-key fault envelopes to a fresh key the requester does not hold.
        PkeyPtr stranger;
        if (options.malformation == Malformation::WrongKey) {
            stranger.reset(request.sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")
                                       : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA",
                                                           static_cast<size_t>(1024)));
            if (!stranger)
                return Fail(error, OsslError("key generation failed"));
        }
        const std::optional<Layers> layers = Encrypt(
            format, stranger ? stranger.get() : request.temporaryKey.get(), *keyBytes, error);
        if (!layers)
            return false;
        out.encCert = CertificateText(encCert.get(), options);
        out.envelope = EnvelopeText(options, rsaFormat, *layers);
        out.encKeyEnveloped = std::move(*keyBytes);
    }
    out.ok = true;
    result = std::move(out);
    return true;
}

} // namespace

IssueResult Issue(const IssueOptions& options, std::string_view requestText) {
    IssueResult result;
    try {
        if (!IssueChecked(options, requestText, result)) {
            const std::string error = result.error.empty() ? "issuing failed" : result.error;
            result = IssueResult{};
            result.error = error;
        }
    } catch (const std::exception& e) {
        result = IssueResult{};
        result.error = std::string("issuing failed: ") + e.what();
    }
    ERR_clear_error();
    return result;
}

std::optional<EnvelopeFormat> ParseFormat(std::string_view name) {
    if (name == "old")
        return EnvelopeFormat::Old;
    if (name == "new-rsa")
        return EnvelopeFormat::NewRsa;
    if (name == "sm2-c1c3c2")
        return EnvelopeFormat::Sm2C1C3C2;
    if (name == "sm2-c1c2c3")
        return EnvelopeFormat::Sm2C1C2C3;
    return std::nullopt;
}

std::optional<Malformation> ParseMalformation(std::string_view name) {
    static const struct {
        std::string_view name;
        Malformation kind;
    } kinds[] = {
        {"none", Malformation::None},
        {"bad-device-type", Malformation::BadDeviceType},
        {"bad-encrypt-type", Malformation::BadEncryptType},
        {"bad-session-key-type", Malformation::BadSessionKeyType},
        {"truncated", Malformation::Truncated},
        {"wrong-length", Malformation::WrongLength},
        {"negative-length", Malformation::NegativeLength},
        {"no-terminator", Malformation::NoTerminator},
        {"non-base64", Malformation::NonBase64},
        {"three-elements", Malformation::ThreeElements},
        {"wrong-key", Malformation::WrongKey},
    };
    for (const auto& k : kinds)
        if (k.name == name)
            return k.kind;
    return std::nullopt;
}

} // namespace orvane::tools::testca
