// The test issuer checked with OpenSSL as the independent side: certificates
// verify against the CA in the folder, envelopes open with the request's
// temporary key by the envelope reading rules, refusals leave nothing behind,
// and concurrent first uses share one CA.
#include "tools/testca/TestIssuer.h"
#include "tests/tools/TestRequests.h"

#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace orvane::tools::testca {
namespace {

using namespace testing;
namespace fs = std::filesystem;

// Shared keys: RSA key generation is slow, so each size is made once.
struct Keys {
    Pkey rsa1024 = RsaKey(1024);
    Pkey rsa2048 = RsaKey(2048);
    Pkey rsaTemp = RsaKey(1024);
    Pkey rsaEnc2048 = RsaKey(2048);
    Pkey sm2 = Sm2Key();
    Pkey sm2Temp = Sm2Key();
};
const Keys& K() {
    static const Keys keys;
    return keys;
}

std::string Pem(EVP_PKEY* key) {
    orvane::tests::OsslPtr<BIO, BIO_free> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

Pkey KeyFromPem(const std::string& pem) {
    orvane::tests::OsslPtr<BIO, BIO_free> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return Pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

Cert CertFromFile(const std::string& path) {
    orvane::tests::OsslPtr<BIO, BIO_free> bio(BIO_new_file(path.c_str(), "r"));
    return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

fs::path MakeTempDir() {
    std::string pattern = (fs::temp_directory_path() / "testca-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

Bytes NameDer(const X509_NAME* name) {
    const int n = i2d_X509_NAME(name, nullptr);
    Bytes der(static_cast<size_t>(n));
    unsigned char* p = der.data();
    i2d_X509_NAME(name, &p);
    return der;
}

// VerifyChain: the certificate chains to `root` as OpenSSL's verifier sees
// it (signature, validity, CA flags, key identifiers); SM2 with the default
// identity. Returns the verifier's error text, or "" when it verifies.
std::string VerifyChain(X509* cert, X509* root) {
    orvane::tests::OsslPtr<X509_STORE, X509_STORE_free> store(X509_STORE_new());
    orvane::tests::OsslPtr<X509_STORE_CTX, X509_STORE_CTX_free> ctx(X509_STORE_CTX_new());
    X509_STORE_add_cert(store.get(), root);
    if (EVP_PKEY_is_a(X509_get0_pubkey(root), "SM2")) {
        ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kSm2DefaultId.data()),
                              static_cast<int>(kSm2DefaultId.size()));
        X509_set0_distinguishing_id(cert, id);
    }
    X509_STORE_CTX_init(ctx.get(), store.get(), cert, nullptr);
    if (X509_verify_cert(ctx.get()) == 1)
        return "";
    return X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
}

bool Critical(X509* cert, int nid) {
    const int at = X509_get_ext_by_NID(cert, nid, -1);
    return at >= 0 && X509_EXTENSION_get_critical(X509_get_ext(cert, at)) == 1;
}

RequestShape Shape(EVP_PKEY* signing, EVP_PKEY* temporary = nullptr) {
    RequestShape shape;
    shape.signingKey = signing;
    shape.temporaryKey = temporary;
    return shape;
}

class TestIssuerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = MakeTempDir();
        s_caDir = (s_dir / "ca").string();
        std::string error;
        ASSERT_TRUE(EnsureAuthorities(s_caDir, error)) << error;
        s_rsaCa = CertFromFile(s_caDir + "/rsa-ca.cert.pem");
        s_sm2Ca = CertFromFile(s_caDir + "/sm2-ca.cert.pem");
    }
    static void TearDownTestSuite() {
        s_rsaCa.reset();
        s_sm2Ca.reset();
        std::error_code ec;
        fs::remove_all(s_dir, ec);
    }
    static IssueOptions Options() {
        IssueOptions options;
        options.caDir = s_caDir;
        return options;
    }

    static inline fs::path s_dir;
    static inline std::string s_caDir;
    static inline Cert s_rsaCa, s_sm2Ca;
};

// ---- certificates ----------------------------------------------------------

TEST_F(TestIssuerTest, IssuedCertificatesVerifyAndCarryTheRequestedProfile) {
    const struct {
        const char* name;
        EVP_PKEY* signing;
        EVP_PKEY* temporary;
        bool sm2;
    } cases[] = {
        {"RSA-1024 single", K().rsa1024.get(), nullptr, false},
        {"RSA-2048 single", K().rsa2048.get(), nullptr, false},
        {"RSA-2048 pair", K().rsa2048.get(), K().rsaTemp.get(), false},
        {"SM2 single", K().sm2.get(), nullptr, true},
        {"SM2 pair", K().sm2.get(), K().sm2Temp.get(), true},
    };
    const time_t now = time(nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IssueOptions options = Options();
        if (c.temporary != nullptr && !c.sm2)
            options.encryptionKeyPem = Pem(K().rsaEnc2048.get());
        const IssueResult result = Issue(options, RequestText(Shape(c.signing, c.temporary)));
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.sm2, c.sm2);
        EXPECT_EQ(result.pair, c.temporary != nullptr);
        EXPECT_EQ(result.signCert.find_first_of("\r\n,"), std::string::npos);

        X509* root = c.sm2 ? s_sm2Ca.get() : s_rsaCa.get();
        Cert ca = CertificateFromBase64(result.caCert);
        ASSERT_TRUE(ca);
        EXPECT_EQ(X509_cmp(ca.get(), root), 0);

        Cert sign = CertificateFromBase64(result.signCert);
        ASSERT_TRUE(sign);
        EXPECT_EQ(VerifyChain(sign.get(), root), "");
        EXPECT_EQ(X509_get_version(sign.get()), X509_VERSION_3);
        EXPECT_EQ(X509_get_signature_nid(sign.get()),
                  c.sm2 ? NID_SM2_with_SM3 : NID_sha256WithRSAEncryption);
        EXPECT_EQ(NameDer(X509_get_subject_name(sign.get())), SubjectNameDer());
        EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(sign.get()), X509_get_subject_name(root)), 0);
        EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(sign.get()), c.signing), 1);
        EXPECT_EQ(X509_get_key_usage(sign.get()), KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION);
        EXPECT_TRUE(Critical(sign.get(), NID_key_usage));
        ASSERT_NE(X509_get0_subject_key_id(sign.get()), nullptr);
        ASSERT_NE(X509_get0_authority_key_id(sign.get()), nullptr);
        EXPECT_EQ(ASN1_OCTET_STRING_cmp(X509_get0_authority_key_id(sign.get()),
                                        X509_get0_subject_key_id(root)),
                  0);
        const ASN1_INTEGER* serial = X509_get0_serialNumber(sign.get());
        EXPECT_NE(serial->type & V_ASN1_NEG, V_ASN1_NEG);
        EXPECT_GE(serial->length, 8);
        EXPECT_LT(X509_cmp_time(X509_get0_notBefore(sign.get()), nullptr), 0);
        time_t inAYear = now + 364 * 86400, later = now + 367 * 86400;
        EXPECT_GT(X509_cmp_time(X509_get0_notAfter(sign.get()), &inAYear), 0);
        EXPECT_LT(X509_cmp_time(X509_get0_notAfter(sign.get()), &later), 0);

        if (c.temporary == nullptr) {
            EXPECT_TRUE(result.encCert.empty());
            EXPECT_TRUE(result.envelope.empty());
            continue;
        }
        Cert enc = CertificateFromBase64(result.encCert);
        ASSERT_TRUE(enc);
        EXPECT_EQ(VerifyChain(enc.get(), root), "");
        EXPECT_EQ(NameDer(X509_get_subject_name(enc.get())), SubjectNameDer());
        EXPECT_EQ(X509_get_key_usage(enc.get()),
                  c.sm2 ? KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT | KU_KEY_AGREEMENT
                        : KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT);
        EXPECT_TRUE(Critical(enc.get(), NID_key_usage));
        EXPECT_NE(X509_get0_subject_key_id(enc.get()), nullptr);
        EXPECT_NE(ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(enc.get())), 0);
        Pkey encKey = KeyFromPem(result.encKeyPem);
        ASSERT_TRUE(encKey);
        EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(enc.get()), encKey.get()), 1);
        EXPECT_NE(EVP_PKEY_eq(X509_get0_pubkey(enc.get()), c.signing), 1);
    }
}

TEST_F(TestIssuerTest, CaFolderHoldsTwoRootsWithPrivateKeysOnlyForTheOwner) {
    for (const char* kind : {"rsa", "sm2"}) {
        SCOPED_TRACE(kind);
        struct stat st {};
        ASSERT_EQ(stat((s_caDir + "/" + kind + "-ca.key.pem").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        X509* root = std::strcmp(kind, "sm2") == 0 ? s_sm2Ca.get() : s_rsaCa.get();
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(VerifyChain(root, root), "");
        EXPECT_EQ(X509_check_ca(root), 1);
        EXPECT_EQ(
            EVP_PKEY_is_a(X509_get0_pubkey(root), std::strcmp(kind, "sm2") == 0 ? "SM2" : "RSA"),
            1);
    }
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(s_rsaCa.get())), 2048);
    EXPECT_EQ(X509_get_signature_nid(s_sm2Ca.get()), NID_SM2_with_SM3);
    // A second use keeps the same authorities.
    std::string error;
    ASSERT_TRUE(EnsureAuthorities(s_caDir, error)) << error;
    Cert again = CertFromFile(s_caDir + "/rsa-ca.cert.pem");
    EXPECT_EQ(X509_cmp(again.get(), s_rsaCa.get()), 0);
}

TEST_F(TestIssuerTest, AcceptsTheRequestTextInEveryLayout) {
    RequestShape shape = Shape(K().rsa1024.get());
    const Bytes der = RequestDer(shape);
    const std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\n" + Base64Lines(der, "\n") +
                            "\n-----END CERTIFICATE REQUEST-----\n";
    for (const std::string& text : {Base64Lines(der), Base64Lines(der, "", 64),
                                    Base64Lines(der, "\n", 76), pem, Base64Lines(der) + "\r\n"}) {
        const IssueResult result = Issue(Options(), text);
        EXPECT_TRUE(result.ok) << result.error << " for " << text.substr(0, 40);
    }
}

// The request builder keeps an SM2 signature half of 32 bytes even when it
// starts with a zero byte, which strict DER would not; such requests are the
// system's own and must be accepted.
TEST_F(TestIssuerTest, AcceptsSm2SignatureHalfWithLeadingZeroByte) {
    RequestShape shape = Shape(K().sm2.get());
    shape.sm2LeadingZeroR = true;
    const IssueResult result = Issue(Options(), RequestText(shape));
    EXPECT_TRUE(result.ok) << result.error;
}

// ---- refusals --------------------------------------------------------------

TEST_F(TestIssuerTest, RefusesBadRequestsWithAReason) {
    RequestShape good = Shape(K().rsa1024.get());
    const Bytes der = RequestDer(good);
    const auto makeRequest = [](EVP_PKEY* key, EVP_PKEY* temp, bool corrupt, std::string oid = "") {
        RequestShape s = Shape(key, temp);
        s.corruptSignature = corrupt;
        s.signatureOid = std::move(oid);
        return RequestText(s);
    };
    Bytes trailing = der;
    trailing.push_back(0);
    const Bytes truncated(der.begin(), der.end() - 10);
    const struct {
        const char* name;
        std::string text;
        const char* reason; // a word the error must contain
    } cases[] = {
        {"RSA signature altered", makeRequest(K().rsa1024.get(), nullptr, true), "signature"},
        {"RSA pair signature altered", makeRequest(K().rsa1024.get(), K().rsaTemp.get(), true),
         "signature"},
        {"SM2 signature altered", makeRequest(K().sm2.get(), nullptr, true), "signature"},
        // RSA signature algorithm named for an SM2 key.
        {"SM2 key, RSA algorithm",
         makeRequest(K().sm2.get(), nullptr, false, "1.2.840.113549.1.1.5"), "algorithm"},
        {"truncated DER", Base64Lines(truncated), "request"},
        {"trailing byte", Base64Lines(trailing), "request"},
        {"garbage Base64", "@@@@not base64!", "Base64"},
        {"Base64 cut inside a group", Base64Lines(der).substr(0, 101), "Base64"},
        {"empty text", "", "Base64"},
        {"PEM without end", "-----BEGIN CERTIFICATE REQUEST-----\nMIIB\n", "Base64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const IssueResult result = Issue(Options(), c.text);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(c.reason), std::string::npos) << result.error;
        EXPECT_TRUE(result.signCert.empty() && result.encCert.empty() && result.envelope.empty() &&
                    result.encKeyPem.empty());
    }
}

TEST_F(TestIssuerTest, RefusesEnvelopeFormatOfTheOtherAlgorithm) {
    RequestShape shape = Shape(K().sm2.get(), K().sm2Temp.get());
    IssueOptions options = Options();
    options.format = EnvelopeFormat::Old;
    EXPECT_FALSE(Issue(options, RequestText(shape)).ok);
    shape.signingKey = K().rsa1024.get();
    shape.temporaryKey = K().rsaTemp.get();
    options.format = EnvelopeFormat::Sm2C1C3C2;
    EXPECT_FALSE(Issue(options, RequestText(shape)).ok);
}

// ---- envelopes -------------------------------------------------------------

// How the importer reads an envelope: 16-character number fields read like
// the C library's strtol, key fields of N characters ending with a comma,
// commas dropped, Base64 of SEQUENCE { INTEGER, OCTET STRING }.
enum class Refusal {
    None,
    DeviceType,
    EncryptType,
    SessionKeyType,
    DataSize,  // fewer than 16 characters where a length field belongs
    KeyLength, // negative, or more than the characters left
    Terminator,
    Base64,
    Structure, // not exactly two top-level elements
};

struct Envelope {
    long device = -1, encrypt = -1, sessionType = -1;
    std::vector<std::string> fieldTexts; // key fields as written (commas kept)
    Bytes sessionKey, privateKey;
};

long NumberAt(const std::string& text, size_t at) {
    return std::strtol(text.substr(at, 16).c_str(), nullptr, 10);
}

using Sequence = STACK_OF(ASN1_TYPE);
using SequencePtr = std::unique_ptr<Sequence, void (*)(Sequence*)>;
SequencePtr ReadSequence(const Bytes& der) {
    const unsigned char* p = der.data();
    Sequence* items = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
    if (items != nullptr && p != der.data() + der.size()) {
        sk_ASN1_TYPE_pop_free(items, ASN1_TYPE_free);
        items = nullptr;
    }
    return SequencePtr(items, [](Sequence* s) { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); });
}

// IsPkcs1PrivateKey: RSAPrivateKey ::= SEQUENCE { version, n, e, d, p, q,
// dP, dQ, qInv } (nine INTEGERs; a PKCS#8 wrapping would not do).
bool IsPkcs1PrivateKey(const Bytes& der) {
    SequencePtr items = ReadSequence(der);
    if (!items || sk_ASN1_TYPE_num(items.get()) != 9)
        return false;
    for (int i = 0; i < 9; ++i)
        if (ASN1_TYPE_get(sk_ASN1_TYPE_value(items.get(), i)) != V_ASN1_INTEGER)
            return false;
    return true;
}

Refusal ReadKeyField(const std::string& text, size_t& at, bool decode, Bytes& key,
                     std::vector<std::string>& raw) {
    const size_t remain = text.size() > at ? text.size() - at : 0;
    if (remain < 16)
        return Refusal::DataSize;
    const long n = NumberAt(text, at);
    at += 16;
    if (n < 0 || static_cast<size_t>(n) > remain - 16)
        return Refusal::KeyLength;
    if (n == 0)
        return Refusal::None;
    std::string field = text.substr(at, static_cast<size_t>(n));
    at += static_cast<size_t>(n);
    raw.push_back(field);
    if (field.back() != ',')
        return Refusal::Terminator;
    std::erase(field, ',');
    if (!decode)
        return Refusal::None;
    Bytes der;
    if (!Base64Decode(field, der))
        return Refusal::Base64;
    SequencePtr items = ReadSequence(der);
    if (!items || sk_ASN1_TYPE_num(items.get()) != 2 ||
        ASN1_TYPE_get(sk_ASN1_TYPE_value(items.get(), 1)) != V_ASN1_OCTET_STRING)
        return Refusal::Structure;
    const ASN1_OCTET_STRING* octets = sk_ASN1_TYPE_value(items.get(), 1)->value.octet_string;
    key.assign(octets->data, octets->data + octets->length);
    return Refusal::None;
}

Refusal ReadEnvelope(const std::string& text, bool newFormat, Envelope& out) {
    if (text.size() < 48)
        return Refusal::DataSize;
    out.device = NumberAt(text, 0);
    out.encrypt = NumberAt(text, 16);
    out.sessionType = NumberAt(text, 32);
    if (out.device < 0 || out.device > 2)
        return Refusal::DeviceType;
    if (out.encrypt != 1 && out.encrypt != 2)
        return Refusal::EncryptType;
    if (out.sessionType != 306 && !(newFormat && out.sessionType == 0))
        return Refusal::SessionKeyType;
    size_t at = 48;
    const bool session = out.sessionType == 306;
    if (const Refusal r = ReadKeyField(text, at, session, out.sessionKey, out.fieldTexts);
        r != Refusal::None)
        return r;
    return ReadKeyField(text, at, true, out.privateKey, out.fieldTexts);
}

// OpenRsaEnvelope: RSA-decrypts the session key with the temporary key,
// triple-DES-ECB decrypts the private key and reads it as PKCS#1; null when
// any layer does not open.
Pkey OpenRsaEnvelope(const Envelope& envelope, EVP_PKEY* temporary) {
    orvane::tests::OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free> rsa(
        EVP_PKEY_CTX_new_from_pkey(nullptr, temporary, nullptr));
    Bytes session(512);
    size_t n = session.size();
    if (EVP_PKEY_decrypt_init(rsa.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(rsa.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(rsa.get(), session.data(), &n, envelope.sessionKey.data(),
                         envelope.sessionKey.size()) != 1 ||
        n != 24)
        return nullptr;
    orvane::tests::OsslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> des(EVP_CIPHER_CTX_new());
    Bytes plain(envelope.privateKey.size() + 8);
    int len = 0, last = 0;
    if (EVP_DecryptInit_ex(des.get(), EVP_des_ede3_ecb(), nullptr, session.data(), nullptr) != 1 ||
        EVP_DecryptUpdate(des.get(), plain.data(), &len, envelope.privateKey.data(),
                          static_cast<int>(envelope.privateKey.size())) != 1 ||
        EVP_DecryptFinal_ex(des.get(), plain.data() + len, &last) != 1)
        return nullptr;
    plain.resize(static_cast<size_t>(len + last));
    if (!IsPkcs1PrivateKey(plain))
        return nullptr;
    const unsigned char* p = plain.data();
    Pkey key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(plain.size())));
    return p == plain.data() + plain.size() ? std::move(key) : nullptr;
}

Bytes IntegerDer(const uint8_t* bytes, size_t size) {
    orvane::tests::OsslPtr<BIGNUM, BN_free> value(
        BN_bin2bn(bytes, static_cast<int>(size), nullptr));
    orvane::tests::OsslPtr<ASN1_INTEGER, ASN1_INTEGER_free> integer(
        BN_to_ASN1_INTEGER(value.get(), nullptr));
    Bytes der(static_cast<size_t>(i2d_ASN1_INTEGER(integer.get(), nullptr)));
    unsigned char* p = der.data();
    i2d_ASN1_INTEGER(integer.get(), &p);
    return der;
}

// OpenSm2Envelope: the raw ciphertext (C1 = X || Y without 04) back into
// OpenSSL's DER form and decrypted with the temporary key: the plaintext.
std::optional<Bytes> OpenSm2Envelope(const Bytes& raw, bool c3First, EVP_PKEY* temporary) {
    if (raw.size() <= 96)
        return std::nullopt;
    const size_t c2Size = raw.size() - 96;
    const uint8_t* c3 = raw.data() + (c3First ? 64 : 64 + c2Size);
    const uint8_t* c2 = raw.data() + (c3First ? 96 : 64);
    const Bytes der =
        Tlv(0x30, Concat({IntegerDer(raw.data(), 32), IntegerDer(raw.data() + 32, 32),
                          Tlv(0x04, Bytes(c3, c3 + 32)), Tlv(0x04, Bytes(c2, c2 + c2Size))}));
    orvane::tests::OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(
        EVP_PKEY_CTX_new_from_pkey(nullptr, temporary, nullptr));
    Bytes plain(raw.size());
    size_t n = plain.size();
    if (EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), plain.data(), &n, der.data(), der.size()) != 1)
        return std::nullopt;
    plain.resize(n);
    return plain;
}

Bytes Sm2Scalar(EVP_PKEY* key) {
    BIGNUM* raw = nullptr;
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &raw);
    orvane::tests::OsslPtr<BIGNUM, BN_free> scalar(raw);
    Bytes out(32);
    BN_bn2binpad(scalar.get(), out.data(), 32);
    return out;
}

TEST_F(TestIssuerTest, EnvelopesOpenWithTheTemporaryKeyInEveryFormat) {
    const struct {
        const char* name;
        EVP_PKEY* signing;
        EVP_PKEY* temporary;
        EnvelopeFormat format;
        size_t commaEvery;
        int encBits; // RSA: expected encryption key length; 0: use the shared 2048-bit key
    } cases[] = {
        {"old, RSA-1024, key made here", K().rsa1024.get(), K().rsaTemp.get(), EnvelopeFormat::Old,
         0, 1024},
        {"old, RSA-2048", K().rsa2048.get(), K().rsaTemp.get(), EnvelopeFormat::Old, 0, 0},
        {"old, RSA-2048, commas", K().rsa2048.get(), K().rsaTemp.get(), EnvelopeFormat::Old, 64, 0},
        {"new-rsa, RSA-2048", K().rsa2048.get(), K().rsaTemp.get(), EnvelopeFormat::NewRsa, 0, 0},
        {"SM2 C1C3C2", K().sm2.get(), K().sm2Temp.get(), EnvelopeFormat::Sm2C1C3C2, 0, 0},
        {"SM2 C1C2C3", K().sm2.get(), K().sm2Temp.get(), EnvelopeFormat::Sm2C1C2C3, 0, 0},
        {"SM2 C1C3C2, commas", K().sm2.get(), K().sm2Temp.get(), EnvelopeFormat::Sm2C1C3C2, 16, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool sm2 = EVP_PKEY_is_a(c.signing, "SM2");
        IssueOptions options = Options();
        options.format = c.format;
        options.commaEvery = c.commaEvery;
        if (!sm2 && c.encBits == 0)
            options.encryptionKeyPem = Pem(K().rsaEnc2048.get());
        const IssueResult result = Issue(options, RequestText(Shape(c.signing, c.temporary)));
        ASSERT_TRUE(result.ok) << result.error;
        Cert enc = CertificateFromBase64(result.encCert);
        ASSERT_TRUE(enc);

        Envelope envelope;
        ASSERT_EQ(ReadEnvelope(result.envelope, c.format != EnvelopeFormat::Old, envelope),
                  Refusal::None)
            << result.envelope;
        EXPECT_EQ(envelope.device, 0);
        EXPECT_EQ(envelope.encrypt, 1);
        EXPECT_EQ(envelope.sessionType, sm2 ? 0 : 306);
        // Numbers are written right-aligned with leading zeros.
        EXPECT_EQ(result.envelope.substr(0, 48),
                  std::string("0000000000000000") + "0000000000000001" +
                      (sm2 ? "0000000000000000" : "0000000000000306"));
        for (const std::string& field : envelope.fieldTexts) {
            // Base64 pieces of commaEvery characters, the last one shorter or equal.
            std::vector<std::string> pieces;
            std::stringstream in(field.substr(0, field.size() - 1));
            for (std::string piece; std::getline(in, piece, ',');)
                pieces.push_back(piece);
            ASSERT_FALSE(pieces.empty());
            for (size_t i = 0; i + 1 < pieces.size(); ++i)
                EXPECT_EQ(pieces[i].size(), c.commaEvery);
            if (c.commaEvery == 0)
                EXPECT_EQ(pieces.size(), 1u);
            else
                EXPECT_LE(pieces.back().size(), c.commaEvery);
        }

        if (!sm2) {
            ASSERT_EQ(envelope.fieldTexts.size(), 2u);
            Pkey opened = OpenRsaEnvelope(envelope, c.temporary);
            ASSERT_TRUE(opened);
            EXPECT_EQ(EVP_PKEY_eq(opened.get(), X509_get0_pubkey(enc.get())), 1);
            EXPECT_EQ(EVP_PKEY_get_bits(opened.get()), c.encBits != 0 ? c.encBits : 2048);
            continue;
        }
        EXPECT_TRUE(envelope.sessionKey.empty());
        ASSERT_EQ(envelope.fieldTexts.size(), 1u); // the session key field takes no characters
        EXPECT_EQ(envelope.privateKey.size(), 96u + 32u);
        const bool c3First = c.format == EnvelopeFormat::Sm2C1C3C2;
        const std::optional<Bytes> scalar =
            OpenSm2Envelope(envelope.privateKey, c3First, c.temporary);
        ASSERT_TRUE(scalar);
        EXPECT_FALSE(OpenSm2Envelope(envelope.privateKey, !c3First, c.temporary));
        Pkey encKey = KeyFromPem(result.encKeyPem);
        ASSERT_TRUE(encKey);
        EXPECT_EQ(*scalar, Sm2Scalar(encKey.get()));
        EXPECT_EQ(*scalar, result.encKeyEnveloped);
        EXPECT_EQ(EVP_PKEY_eq(encKey.get(), X509_get0_pubkey(enc.get())), 1);
    }
}

TEST_F(TestIssuerTest, CommasInCertificateTextsOnlyWhenAsked) {
    IssueOptions options = Options();
    options.commaEvery = 64;
    options.commasInCertificates = true;
    const IssueResult result = Issue(options, RequestText(Shape(K().sm2.get())));
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_GT(result.signCert.size(), 65u);
    EXPECT_EQ(result.signCert[64], ',');
    std::string plain = result.signCert;
    std::erase(plain, ',');
    EXPECT_TRUE(CertificateFromBase64(plain));
}

TEST_F(TestIssuerTest, MalformedEnvelopesFailWhereTheImporterLooks) {
    const struct {
        Malformation kind;
        Refusal rsa; // reading the old format
        Refusal sm2; // reading the new format
    } cases[] = {
        {Malformation::BadDeviceType, Refusal::DeviceType, Refusal::DeviceType},
        {Malformation::BadEncryptType, Refusal::EncryptType, Refusal::EncryptType},
        {Malformation::BadSessionKeyType, Refusal::SessionKeyType, Refusal::SessionKeyType},
        {Malformation::Truncated, Refusal::KeyLength, Refusal::KeyLength},
        {Malformation::WrongLength, Refusal::KeyLength, Refusal::KeyLength},
        {Malformation::NegativeLength, Refusal::KeyLength, Refusal::KeyLength},
        {Malformation::NoTerminator, Refusal::Terminator, Refusal::Terminator},
        {Malformation::NonBase64, Refusal::Base64, Refusal::Base64},
        {Malformation::ThreeElements, Refusal::Structure, Refusal::Structure},
        // Reads well; only the decryption with the temporary key fails.
        {Malformation::WrongKey, Refusal::None, Refusal::None},
    };
    for (const bool sm2 : {false, true}) {
        RequestShape shape = Shape(sm2 ? K().sm2.get() : K().rsa1024.get(),
                                   sm2 ? K().sm2Temp.get() : K().rsaTemp.get());
        const std::string request = RequestText(shape);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(sm2 ? "SM2 " : "RSA ") +
                         std::to_string(static_cast<int>(c.kind)));
            IssueOptions options = Options();
            options.malformation = c.kind;
            if (!sm2)
                options.encryptionKeyPem = Pem(K().rsaEnc2048.get());
            const IssueResult result = Issue(options, request);
            ASSERT_TRUE(result.ok) << result.error;
            Envelope envelope;
            EXPECT_EQ(ReadEnvelope(result.envelope, sm2, envelope), sm2 ? c.sm2 : c.rsa)
                << result.envelope;
            if (c.kind != Malformation::WrongKey)
                continue;
            if (sm2)
                EXPECT_FALSE(OpenSm2Envelope(envelope.privateKey, true, shape.temporaryKey));
            else
                EXPECT_FALSE(OpenRsaEnvelope(envelope, shape.temporaryKey));
        }
    }
}

TEST_F(TestIssuerTest, EnvelopeNumbersCanBeOverridden) {
    IssueOptions options = Options();
    options.encryptionKeyPem = Pem(K().rsaEnc2048.get());
    options.deviceType = 2;
    options.encryptType = 2;
    options.sessionKeyType = 0;
    const IssueResult result =
        Issue(options, RequestText(Shape(K().rsa1024.get(), K().rsaTemp.get())));
    ASSERT_TRUE(result.ok) << result.error;
    Envelope envelope;
    // Session key type 0 is the new format's "no session key"; the old refuses it.
    EXPECT_EQ(ReadEnvelope(result.envelope, false, envelope), Refusal::SessionKeyType);
    EXPECT_EQ(envelope.device, 2);
    EXPECT_EQ(envelope.encrypt, 2);
    EXPECT_EQ(result.envelope.substr(32, 16), "0000000000000000");
}

// ---- the tool --------------------------------------------------------------

struct ToolRun {
    int status = -1;
    std::string out;
};

// Spawn: starts testca with args and standard output to outFile.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outFile) {
    std::vector<std::string> all{ORVANE_TESTCA_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ToolRun RunTool(const std::vector<std::string>& args, const fs::path& dir) {
    const std::string outFile = (dir / "stdout.txt").string();
    ToolRun run;
    run.status = WaitFor(Spawn(args, outFile));
    run.out = ReadFile(outFile);
    return run;
}

// JsonValue: the string value of "name" in the tool's one-line JSON.
std::string JsonValue(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const size_t at = json.find(key);
    if (at == std::string::npos)
        return {};
    const size_t start = at + key.size();
    return json.substr(start, json.find('"', start) - start);
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST_F(TestIssuerTest, ToolWritesFilesThatOpenSslAccepts) {
    const fs::path work = s_dir / "tool";
    fs::create_directories(work);
    for (const bool sm2 : {false, true}) {
        SCOPED_TRACE(sm2 ? "SM2" : "RSA");
        WriteText(work / "request.txt",
                  RequestText(Shape(sm2 ? K().sm2.get() : K().rsa1024.get(),
                                    sm2 ? K().sm2Temp.get() : K().rsaTemp.get())));
        WriteText(work / "enc.pem", Pem(K().rsaEnc2048.get()));
        const fs::path out = work / (sm2 ? "out-sm2" : "out-rsa");
        std::vector<std::string> args{
            "--ca-dir",  s_caDir,      "--request", (work / "request.txt").string(),
            "--out-dir", out.string(), "--json"};
        if (!sm2)
            args.insert(args.end(), {"--enc-key", (work / "enc.pem").string()});
        const ToolRun run = RunTool(args, work);
        ASSERT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(JsonValue(run.out, "algorithm"), sm2 ? "SM2" : "RSA");
        EXPECT_EQ(JsonValue(run.out, "signCert"), ReadFile(out / "sign.b64"));
        EXPECT_EQ(JsonValue(run.out, "encCert"), ReadFile(out / "enc.b64"));
        EXPECT_EQ(JsonValue(run.out, "envelope"), ReadFile(out / "envelope.txt"));
        struct stat st {};
        ASSERT_EQ(stat((out / "enc-key.pem").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        Pkey encKey = KeyFromPem(ReadFile(out / "enc-key.pem"));
        Cert enc = CertificateFromBase64(ReadFile(out / "enc.b64"));
        ASSERT_TRUE(encKey && enc);
        EXPECT_EQ(EVP_PKEY_eq(encKey.get(), X509_get0_pubkey(enc.get())), 1);

        // The openssl tool verifies the signing certificate against the CA file.
        Cert sign = CertificateFromBase64(ReadFile(out / "sign.b64"));
        ASSERT_TRUE(sign);
        {
            orvane::tests::OsslPtr<BIO, BIO_free> pem(
                BIO_new_file((out / "sign.pem").c_str(), "w"));
            ASSERT_EQ(PEM_write_bio_X509(pem.get(), sign.get()), 1);
        }
        std::string command = "openssl verify";
        if (sm2)
            command += " -vfyopt distid:" + std::string(kSm2DefaultId);
        command += " -CAfile '" + s_caDir + (sm2 ? "/sm2-ca.cert.pem'" : "/rsa-ca.cert.pem'") +
                   " '" + (out / "sign.pem").string() + "' > /dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
}

TEST_F(TestIssuerTest, ToolRefusesBadInputAndWritesNothing) {
    const fs::path work = s_dir / "refusals";
    fs::create_directories(work);
    RequestShape shape = Shape(K().rsa1024.get());
    shape.corruptSignature = true;
    const struct {
        const char* name;
        std::string request;
        std::vector<std::string> extra;
        int status;
    } cases[] = {
        {"bad signature", RequestText(shape), {}, 1},
        {"truncated", RequestText(shape).substr(0, 120), {}, 1},
        {"garbage", "!!not a request!!", {}, 1},
        {"unknown format", "", {"--format", "pkcs12"}, 2},
        {"unknown fault", "", {"--malformed", "everything"}, 2},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path request = work / ("request" + std::to_string(index) + ".txt");
        const fs::path out = work / ("out" + std::to_string(index++));
        WriteText(request, c.request);
        std::vector<std::string> args{"--ca-dir",       s_caDir,     "--request",
                                      request.string(), "--out-dir", out.string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ToolRun run = RunTool(args, work);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(out));
    }
}

// ---- first use by many at once ---------------------------------------------

// Every issued certificate must chain to the one CA left in the folder.
void ExpectOneAuthority(const std::string& caDir, const std::vector<std::string>& signCerts) {
    Cert root = CertFromFile(caDir + "/rsa-ca.cert.pem");
    ASSERT_TRUE(root);
    for (const std::string& text : signCerts) {
        Cert cert = CertificateFromBase64(text);
        ASSERT_TRUE(cert);
        EXPECT_EQ(VerifyChain(cert.get(), root.get()), "");
    }
    for (const auto& entry : fs::directory_iterator(caDir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos)
            << entry.path();
}

TEST_F(TestIssuerTest, EightProcessesShareOneNewAuthority) {
    const fs::path work = s_dir / "processes";
    fs::create_directories(work);
    const std::string caDir = (work / "ca").string();
    WriteText(work / "request.txt", RequestText(Shape(K().rsa1024.get())));
    std::vector<pid_t> pids;
    for (int i = 0; i < 8; ++i)
        pids.push_back(Spawn({"--ca-dir", caDir, "--request", (work / "request.txt").string()},
                             (work / ("out" + std::to_string(i))).string()));
    std::vector<std::string> certs;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(WaitFor(pids[static_cast<size_t>(i)]), 0) << "process " << i;
        const std::string json = ReadFile(work / ("out" + std::to_string(i)));
        certs.push_back(JsonValue(json, "signCert"));
        EXPECT_EQ(JsonValue(json, "caCert"), JsonValue(ReadFile(work / "out0"), "caCert"));
    }
    ExpectOneAuthority(caDir, certs);
}

TEST_F(TestIssuerTest, EightThreadsShareOneNewAuthority) {
    const std::string caDir = (s_dir / "threads" / "ca").string();
    const std::string request = RequestText(Shape(K().rsa1024.get()));
    std::vector<IssueResult> results(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            IssueOptions options;
            options.caDir = caDir;
            results[i] = Issue(options, request);
        });
    for (std::thread& t : threads)
        t.join();
    std::vector<std::string> certs;
    for (const IssueResult& r : results) {
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.caCert, results[0].caCert);
        certs.push_back(r.signCert);
    }
    ExpectOneAuthority(caDir, certs);
}

} // namespace
} // namespace orvane::tools::testca
