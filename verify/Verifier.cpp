#include "verify/Verifier.h"
#include "verify/SignedMessage.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace orvane::verify {

namespace {

// The deleter of an owning pointer to what OpenSSL allocated: its own free
// function.
template <auto Free> struct OpenSslFree {
    template <class T> void operator()(T* p) const { Free(p); }
};
// sk_X509_free is a macro, not a function to name.
struct StackFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
};
struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, OpenSslFree<EVP_MD_CTX_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX_free>>;

// Content is read in pieces of this size.
constexpr size_t kReadChunk = 1 << 16;
// Certificates followed from the signer towards an anchor at most.
constexpr int kMaxChainLength = 10;

struct DigestKind {
    const char* oid;
    const char* name;    // OpenSSL's
    const char* display; // ours
};
constexpr DigestKind kDigests[] = {
    {"1.3.14.3.2.26", "SHA1", "SHA-1"},
    {"2.16.840.1.101.3.4.2.1", "SHA256", "SHA-256"},
    {"2.16.840.1.101.3.4.2.2", "SHA384", "SHA-384"},
    {"2.16.840.1.101.3.4.2.3", "SHA512", "SHA-512"},
    {"1.2.156.10197.1.401", "SM3", "SM3"},
};

enum class SigKind { kUnknown, kRsa, kSm2 };
SigKind SignatureKind(const std::string& oid) {
    static constexpr const char* kRsa[] = {
        "1.2.840.113549.1.1.1",  "1.2.840.113549.1.1.5",  "1.2.840.113549.1.1.11",
        "1.2.840.113549.1.1.12", "1.2.840.113549.1.1.13",
    };
    static constexpr const char* kSm2[] = {"1.2.156.10197.1.301.1", "1.2.156.10197.1.301",
                                           "1.2.156.10197.1.501"};
    for (const char* o : kRsa)
        if (oid == o)
            return SigKind::kRsa;
    for (const char* o : kSm2)
        if (oid == o)
            return SigKind::kSm2;
    return SigKind::kUnknown;
}

std::string Hex(Bytes b) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size() * 2);
    for (std::uint8_t c : b) {
        s += kHex[c >> 4];
        s += kHex[c & 0xF];
    }
    return s;
}

std::string NameText(const X509_NAME* name) {
    std::unique_ptr<BIO, OpenSslFree<BIO_free>> bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return "";
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, size_t(n)) : std::string();
}

std::string SerialText(const X509* x) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
    return Hex({serial->data, size_t(serial->length)});
}

std::string OpensslError() {
    const unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (e == 0)
        return "";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return std::string(" (") + text + ")";
}

std::string AsnTimeText(const ASN1_TIME* t);

std::string TimeText(std::int64_t t) {
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> at(ASN1_TIME_set(nullptr, time_t(t)),
                                                             ASN1_TIME_free);
    return at ? AsnTimeText(at.get()) : std::to_string(t);
}

bool IsSm2Key(EVP_PKEY* key) {
    return EVP_PKEY_is_a(key, "SM2") == 1;
}

// An SM2 public key readied for verifying with SM3 and the identity id. The
// key context belongs to the digest context; the identity goes in before the
// first update, which is when SM2 hashes it in.
bool InitSm2Verify(EVP_MD_CTX* md, EVP_PKEY* key, const std::string& id) {
    EVP_PKEY_CTX* pctx = nullptr;
    return EVP_DigestVerifyInit(md, &pctx, EVP_sm3(), nullptr, key) == 1 && pctx != nullptr &&
           EVP_PKEY_CTX_set1_id(pctx, id.data(), id.size()) > 0;
}

// An SM2 signature as DER SEQUENCE { r, s }; 64 raw bytes r || s are turned
// into that form (some producers write them so).
std::vector<std::uint8_t> Sm2SignatureDer(Bytes signature) {
    if (signature.size() != 64 || signature[0] == tag::kSequence)
        return {signature.begin(), signature.end()};
    std::vector<std::uint8_t> out;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (sig != nullptr && r != nullptr && s != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
        r = s = nullptr;
        unsigned char* der = nullptr;
        const int n = i2d_ECDSA_SIG(sig, &der);
        if (n > 0)
            out.assign(der, der + n);
        OPENSSL_free(der);
    }
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return out;
}

// The DER the signer signed when it signed attributes: the [0] element
// re-tagged as the SET OF it stands for.
std::vector<std::uint8_t> AttributesToSign(Bytes signedAttrs) {
    std::vector<std::uint8_t> out(signedAttrs.begin(), signedAttrs.end());
    out[0] = tag::kSet;
    return out;
}

// The issuer certificate's signature over cert, SM2 issuers with SM3 and the
// default identity (what certificate issuers sign with).
bool SignedBy(X509* cert, X509* issuer) {
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (key == nullptr)
        return false;
    if (!IsSm2Key(key)) {
        const bool ok = X509_verify(cert, key) == 1;
        ERR_clear_error();
        return ok;
    }
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    if (n <= 0)
        return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(
        der, [](unsigned char* p) { OPENSSL_free(p); });
    Asn1Reader top({der, size_t(n)});
    Element whole, tbs, algorithm, bits;
    std::string why;
    if (!top.Expect(tag::kSequence, whole, why, "certificate"))
        return false;
    Asn1Reader parts(whole.contents);
    if (!parts.Expect(tag::kSequence, tbs, why, "tbs") ||
        !parts.Expect(tag::kSequence, algorithm, why, "algorithm") ||
        !parts.Expect(tag::kBitString, bits, why, "signature") || bits.contents.size() < 2 ||
        bits.contents[0] != 0)
        return false;
    MdCtx md(EVP_MD_CTX_new());
    const Bytes sig = bits.contents.subspan(1);
    const bool ok =
        md && InitSm2Verify(md.get(), key, kDefaultSm2Id) &&
        EVP_DigestVerify(md.get(), sig.data(), sig.size(), tbs.whole.data(), tbs.whole.size()) == 1;
    ERR_clear_error();
    return ok;
}

std::string AsnTimeText(const ASN1_TIME* t) {
    std::unique_ptr<BIO, OpenSslFree<BIO_free>> bio(BIO_new(BIO_s_mem()));
    if (!bio || ASN1_TIME_print_ex(bio.get(), t, ASN1_DTFLGS_ISO8601) <= 0)
        return "an unreadable time";
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, size_t(n));
}

// Whether x is valid at t; else why not.
bool ValidAt(const X509* x, std::int64_t t, std::string& why) {
    time_t at = time_t(t);
    if (X509_cmp_time(X509_get0_notBefore(x), &at) >= 0) {
        why = "not valid before " + AsnTimeText(X509_get0_notBefore(x));
        return false;
    }
    if (X509_cmp_time(X509_get0_notAfter(x), &at) <= 0) {
        why = "expired at " + AsnTimeText(X509_get0_notAfter(x));
        return false;
    }
    return true;
}

class Checks {
public:
    explicit Checks(Report& r) : m_report(r) {
        for (const char* name : {"structure", "signer-certificate", "content-digest", "signature",
                                 "chain", "validity", "key-usage"})
            r.checks.push_back({name, Outcome::kSkipped, "not reached"});
    }
    void Pass(const char* name, std::string reason) {
        Set(name, Outcome::kPass, std::move(reason));
    }
    void Fail(const char* name, std::string reason) {
        Set(name, Outcome::kFail, std::move(reason));
    }
    void Skip(const char* name, std::string reason) {
        Set(name, Outcome::kSkipped, std::move(reason));
    }

private:
    // A check that failed stays failed, whatever a later step finds.
    void Set(const char* name, Outcome o, std::string reason) {
        for (Check& c : m_report.checks)
            if (c.name == name && c.outcome != Outcome::kFail) {
                c.outcome = o;
                c.reason = std::move(reason);
            }
    }
    Report& m_report;
};

// Feeds the content, attached or from its file, to sink in pieces.
bool ReadContent(const SignedMessage& m, const std::string& path,
                 const std::function<bool(Bytes)>& sink, std::uint64_t& length, std::string& why) {
    length = 0;
    if (m.attached) {
        for (size_t at = 0; at < m.content.size(); at += kReadChunk) {
            const Bytes piece = m.content.subspan(at, std::min(kReadChunk, m.content.size() - at));
            if (!sink(piece)) {
                why = "the digest could not be computed" + OpensslError();
                return false;
            }
            length += piece.size();
        }
        return true;
    }
    std::unique_ptr<std::FILE, FileClose> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        why = "the content file " + path + " cannot be opened";
        return false;
    }
    std::vector<std::uint8_t> buffer(kReadChunk);
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
        if (n > 0) {
            if (!sink({buffer.data(), n})) {
                why = "the digest could not be computed" + OpensslError();
                return false;
            }
            length += n;
        }
        if (n < buffer.size()) {
            if (std::ferror(f.get())) {
                why = "the content file " + path + " could not be read to its end";
                return false;
            }
            return true;
        }
    }
}

X509* FindSigner(const SignerParts& s, const std::vector<X509Ptr>& pool) {
    if (s.bySubjectKeyId) {
        for (const X509Ptr& x : pool) {
            const ASN1_OCTET_STRING* id = X509_get0_subject_key_id(x.get());
            if (id != nullptr && size_t(id->length) == s.subjectKeyId.size() &&
                std::equal(s.subjectKeyId.begin(), s.subjectKeyId.end(), id->data))
                return x.get();
        }
        return nullptr;
    }
    const unsigned char* p = s.issuer.data();
    std::unique_ptr<X509_NAME, OpenSslFree<X509_NAME_free>> issuer(
        d2i_X509_NAME(nullptr, &p, long(s.issuer.size())));
    p = s.serial.data();
    std::unique_ptr<ASN1_INTEGER, OpenSslFree<ASN1_INTEGER_free>> serial(
        d2i_ASN1_INTEGER(nullptr, &p, long(s.serial.size())));
    ERR_clear_error();
    if (!issuer || !serial)
        return nullptr;
    for (const X509Ptr& x : pool)
        if (X509_NAME_cmp(X509_get_issuer_name(x.get()), issuer.get()) == 0 &&
            ASN1_INTEGER_cmp(X509_get0_serialNumber(x.get()), serial.get()) == 0)
            return x.get();
    return nullptr;
}

bool IsIn(X509* x, const std::vector<X509Ptr>& set) {
    return std::any_of(set.begin(), set.end(),
                       [&](const X509Ptr& a) { return X509_cmp(a.get(), x) == 0; });
}

// The chain from the signer to an anchor, built here: each issuer found by
// name among the anchors, intermediates and the message's certificates and
// proved by its signature (SM2 issuers with SM3 and the default identity),
// valid at the time, a certification authority allowed to sign certificates.
bool BuildChain(X509* signer, const VerifyOptions& o, const std::vector<X509Ptr>& carried,
                std::int64_t at, std::string& reason) {
    if ((X509_get_extension_flags(signer) & EXFLAG_CRITICAL) != 0) {
        reason = "the signer's certificate has a critical extension this verifier does not know";
        return false;
    }
    X509* cur = signer;
    for (int depth = 0; depth < kMaxChainLength; ++depth) {
        if (IsIn(cur, o.anchors)) {
            reason = depth == 0 ? "the signer's certificate is itself a trust anchor"
                                : "leads to the anchor " + NameText(X509_get_subject_name(cur)) +
                                      " in " + std::to_string(depth) + " step(s)";
            return true;
        }
        X509* issuer = nullptr;
        bool named = false;
        for (const std::vector<X509Ptr>* pool : {&o.anchors, &o.untrusted, &carried}) {
            for (const X509Ptr& c : *pool) {
                if (X509_NAME_cmp(X509_get_subject_name(c.get()), X509_get_issuer_name(cur)) != 0)
                    continue;
                named = true;
                if (SignedBy(cur, c.get())) {
                    issuer = c.get();
                    break;
                }
            }
            if (issuer != nullptr)
                break;
        }
        const std::string curName = NameText(X509_get_subject_name(cur));
        if (issuer == nullptr) {
            reason = named
                         ? "the signature on " + curName + " does not verify with its issuer's key"
                         : "no certificate of its issuer " + NameText(X509_get_issuer_name(cur)) +
                               " among the anchors and intermediates";
            return false;
        }
        const std::string issuerName = NameText(X509_get_subject_name(issuer));
        std::string why;
        if (!ValidAt(issuer, at, why)) {
            reason = "the issuer " + issuerName + " is " + why;
            return false;
        }
        if (X509_check_ca(issuer) == 0) {
            reason = "the issuer " + issuerName + " is no certification authority";
            return false;
        }
        if ((X509_get_extension_flags(issuer) & EXFLAG_KUSAGE) != 0 &&
            (X509_get_key_usage(issuer) & KU_KEY_CERT_SIGN) == 0) {
            reason = "the issuer " + issuerName + " may not sign certificates";
            return false;
        }
        if ((X509_get_extension_flags(issuer) & EXFLAG_CRITICAL) != 0) {
            reason = "the issuer " + issuerName +
                     " has a critical extension this verifier does not know";
            return false;
        }
        cur = issuer;
    }
    reason = "no anchor within " + std::to_string(kMaxChainLength) + " certificates";
    return false;
}

int IgnoreLeafTime(int ok, X509_STORE_CTX* ctx) {
    const int err = X509_STORE_CTX_get_error(ctx);
    // The signer's own validity is its own check.
    if (!ok && X509_STORE_CTX_get_error_depth(ctx) == 0 &&
        (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID))
        return 1;
    return ok;
}

// OpenSSL's own chain building, for issuers other than SM2's.
bool OpensslChain(X509* signer, const VerifyOptions& o, const std::vector<X509Ptr>& carried,
                  std::int64_t at, std::string& reason) {
    std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE_free>> store(X509_STORE_new());
    std::unique_ptr<X509_STORE_CTX, OpenSslFree<X509_STORE_CTX_free>> ctx(X509_STORE_CTX_new());
    std::unique_ptr<STACK_OF(X509), StackFree> chain(sk_X509_new_null());
    if (!store || !ctx || !chain) {
        reason = "out of memory";
        return false;
    }
    for (const X509Ptr& a : o.anchors)
        X509_STORE_add_cert(store.get(), a.get());
    for (const std::vector<X509Ptr>* pool : {&o.untrusted, &carried})
        for (const X509Ptr& c : *pool)
            sk_X509_push(chain.get(), c.get());
    if (X509_STORE_CTX_init(ctx.get(), store.get(), signer, chain.get()) != 1) {
        reason = "the chain could not be prepared" + OpensslError();
        return false;
    }
    X509_STORE_CTX_set_time(ctx.get(), 0, time_t(at));
    X509_STORE_CTX_set_verify_cb(ctx.get(), IgnoreLeafTime);
    const bool ok = X509_verify_cert(ctx.get()) == 1;
    ERR_clear_error();
    if (ok) {
        STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
        const int n = sk_X509_num(built);
        reason = "leads to the anchor " +
                 NameText(X509_get_subject_name(sk_X509_value(built, n - 1))) + " in " +
                 std::to_string(n - 1) + " step(s)";
        return true;
    }
    const int err = X509_STORE_CTX_get_error(ctx.get());
    const int depth = X509_STORE_CTX_get_error_depth(ctx.get());
    X509* where = X509_STORE_CTX_get_current_cert(ctx.get());
    reason = std::string(X509_verify_cert_error_string(err)) + " at depth " +
             std::to_string(depth) +
             (where != nullptr ? " (" + NameText(X509_get_subject_name(where)) + ")" : "");
    return false;
}

} // namespace

bool ParseUtcTime(const std::string& text, std::int64_t& seconds) {
    int y, mo, d, h, mi, s;
    char t, z;
    if (text.size() != 20 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c", &y, &mo, &d,
                                         &t, &h, &mi, &s, &z) != 8)
        return false;
    if (t != 'T' || z != 'Z' || text[4] != '-' || text[7] != '-' || y < 1950 || y > 9999 ||
        mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 60 || h < 0 || mi < 0 || s < 0)
        return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0))
        return false;
    // Days from 1970-01-01 to the date (the proleptic Gregorian calendar).
    const int yy = mo <= 2 ? y - 1 : y;
    const int era = yy / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = std::int64_t(era) * 146097 + doe - 719468;
    seconds = days * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

bool LoadCertificates(const std::string& path, std::vector<X509Ptr>& out, std::string& why) {
    std::error_code ec;
    std::vector<std::string> files;
    if (std::filesystem::is_directory(path, ec)) {
        for (const auto& entry : std::filesystem::directory_iterator(path, ec))
            if (entry.is_regular_file(ec))
                files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(path);
    }
    const size_t before = out.size();
    for (const std::string& file : files) {
        std::unique_ptr<BIO, OpenSslFree<BIO_free>> bio(BIO_new_file(file.c_str(), "rb"));
        if (!bio) {
            why = file + " cannot be read";
            ERR_clear_error();
            return false;
        }
        size_t found = 0;
        while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
            out.emplace_back(x);
            ++found;
        }
        ERR_clear_error();
        if (found == 0) {
            BIO_reset(bio.get());
            if (X509* x = d2i_X509_bio(bio.get(), nullptr))
                out.emplace_back(x);
            ERR_clear_error();
        }
    }
    if (out.size() == before) {
        why = "no certificate in " + path;
        return false;
    }
    return true;
}

bool Report::Verified() const {
    return !checks.empty() && std::all_of(checks.begin(), checks.end(), [](const Check& c) {
        return c.outcome == Outcome::kPass;
    });
}

std::string Report::Verdict() const {
    if (Verified())
        return "verified: " + subject + ", " + algorithm + ", " + std::to_string(contentLength) +
               " bytes of content";
    for (const Check& c : checks)
        if (c.outcome == Outcome::kFail)
            return "NOT verified: " + c.name + ": " + c.reason;
    return "NOT verified";
}

namespace {

std::string JsonText(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

const char* OutcomeText(Outcome o) {
    return o == Outcome::kPass ? "pass" : o == Outcome::kFail ? "fail" : "skipped";
}

} // namespace

std::string Report::Json() const {
    std::string j = "{\"verified\":" + std::string(Verified() ? "true" : "false");
    j += ",\"verdict\":" + JsonText(Verdict());
    j += ",\"family\":" + JsonText(family);
    j += ",\"signer\":{\"subject\":" + JsonText(subject) + ",\"issuer\":" + JsonText(issuer) +
         ",\"serial\":" + JsonText(serial) + "}";
    j += ",\"algorithm\":" + JsonText(algorithm);
    j += ",\"digestAlgorithm\":" + JsonText(digestAlgorithm);
    j += ",\"digest\":" + JsonText(digest);
    j += ",\"attached\":" + std::string(attached ? "true" : "false");
    j += ",\"signedAttributes\":" + std::string(signedAttributes ? "true" : "false");
    j += ",\"contentLength\":" + std::to_string(contentLength);
    j += ",\"checks\":[";
    for (size_t i = 0; i < checks.size(); ++i) {
        j += i == 0 ? "{" : ",{";
        j += "\"name\":" + JsonText(checks[i].name) + ",\"result\":\"" +
             OutcomeText(checks[i].outcome) + "\",\"reason\":" + JsonText(checks[i].reason) + "}";
    }
    return j + "]}";
}

Report RefusedMessage(const std::string& reason) {
    Report report;
    Checks(report).Fail("structure", reason);
    return report;
}

Report VerifyMessage(Bytes input, const std::string& contentPath, const VerifyOptions& o) {
    Report report;
    Checks checks(report);
    ERR_clear_error();

    // structure
    std::vector<std::uint8_t> der;
    SignedMessage m;
    std::string why;
    if (!DecodeMessageText(input, der, why) || !ParseSignedMessage(der, m, why)) {
        checks.Fail("structure", why);
        return report;
    }
    report.family = m.family == Family::kSm2 ? "SM2" : "PKCS #7";
    report.attached = m.attached;
    if (m.signers.size() != 1) {
        checks.Fail("structure", std::to_string(m.signers.size()) +
                                     " signers; only messages of one signer are checked");
        return report;
    }
    const SignerParts& s = m.signers[0];
    report.signedAttributes = !s.signedAttrs.empty();
    const DigestKind* digest = nullptr;
    for (const DigestKind& d : kDigests)
        if (s.digestOid == d.oid)
            digest = &d;
    if (digest == nullptr) {
        checks.Fail("structure", "the digest algorithm " + s.digestOid + " is not one known here");
        return report;
    }
    report.digestAlgorithm = digest->display;
    const SigKind kind = SignatureKind(s.signatureOid);
    if (kind == SigKind::kUnknown) {
        checks.Fail("structure",
                    "the signature algorithm " + s.signatureOid + " is not one known here");
        return report;
    }
    report.algorithm =
        std::string(kind == SigKind::kSm2 ? "SM2" : "RSA") + " with " + digest->display;
    if (!s.contentType.empty() && s.contentType != m.contentTypeOid) {
        checks.Fail("structure", "the signed contentType " + s.contentType +
                                     " is not the content's type " + m.contentTypeOid);
        return report;
    }
    std::vector<X509Ptr> carried;
    for (Bytes c : m.certificates) {
        const unsigned char* p = c.data();
        X509* x = d2i_X509(nullptr, &p, long(c.size()));
        if (x == nullptr || p != c.data() + c.size()) {
            X509_free(x);
            checks.Fail("structure", "a certificate in the message is not X.509" + OpensslError());
            return report;
        }
        carried.emplace_back(x);
    }
    checks.Pass("structure",
                report.family + " signed data, " + (m.attached ? "attached" : "detached") +
                    " content, " + (report.signedAttributes ? "with" : "without") +
                    " signed attributes, " + std::to_string(carried.size()) + " certificate(s)");

    // signer-certificate
    X509* signer = FindSigner(s, carried);
    if (signer == nullptr)
        signer = FindSigner(s, o.untrusted);
    if (signer == nullptr)
        signer = FindSigner(s, o.anchors);
    if (signer == nullptr) {
        checks.Fail("signer-certificate",
                    s.bySubjectKeyId
                        ? "no certificate with the signer's key identifier " + Hex(s.subjectKeyId)
                        : "no certificate with the signer's issuer and serial number");
    } else {
        report.subject = NameText(X509_get_subject_name(signer));
        report.issuer = NameText(X509_get_issuer_name(signer));
        report.serial = SerialText(signer);
        checks.Pass("signer-certificate", report.subject + ", serial " + report.serial);
    }
    EVP_PKEY* key = signer != nullptr ? X509_get0_pubkey(signer) : nullptr;
    ERR_clear_error();
    const bool sm2Key = key != nullptr && IsSm2Key(key);
    const bool rsaKey = key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1;
    std::string keyProblem;
    if (signer != nullptr && key == nullptr)
        keyProblem = "the signer's public key cannot be read";
    else if (kind == SigKind::kSm2 && key != nullptr && !sm2Key)
        keyProblem = "an SM2 signature from a certificate whose key is not SM2";
    else if (kind == SigKind::kRsa && key != nullptr && !rsaKey)
        keyProblem = "an RSA signature from a certificate whose key is not RSA";
    else if (kind == SigKind::kSm2 && std::string(digest->name) != "SM3")
        keyProblem = "an SM2 signature over a digest other than SM3";

    // One pass over the content: its digest and, for an SM2 signer without
    // signed attributes, the signature over the content itself.
    const bool hasContent = m.attached || !contentPath.empty();
    const bool sm2OverContent =
        kind == SigKind::kSm2 && s.signedAttrs.empty() && sm2Key && keyProblem.empty();
    MdCtx contentMd(EVP_MD_CTX_new());
    MdCtx sm2Md(EVP_MD_CTX_new());
    EVP_MD* md = EVP_MD_fetch(nullptr, digest->name, nullptr);
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> mdOwner(md, EVP_MD_free);
    std::vector<std::uint8_t> contentDigest;
    bool contentRead = false;
    if (!hasContent) {
        checks.Fail("content-digest", "a detached message: name the signed content file");
    } else if (!md || !contentMd || !sm2Md ||
               EVP_DigestInit_ex(contentMd.get(), md, nullptr) != 1 ||
               (sm2OverContent && !InitSm2Verify(sm2Md.get(), key, o.sm2Id))) {
        checks.Fail("content-digest", "the digest could not be started" + OpensslError());
    } else {
        std::uint64_t length = 0;
        const bool read = ReadContent(
            m, contentPath,
            [&](Bytes piece) {
                return EVP_DigestUpdate(contentMd.get(), piece.data(), piece.size()) == 1 &&
                       (!sm2OverContent ||
                        EVP_DigestVerifyUpdate(sm2Md.get(), piece.data(), piece.size()) == 1);
            },
            length, why);
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int cb = 0;
        if (!read) {
            checks.Fail("content-digest", why);
        } else if (EVP_DigestFinal_ex(contentMd.get(), value, &cb) != 1) {
            checks.Fail("content-digest", "the digest could not be finished" + OpensslError());
        } else {
            contentDigest.assign(value, value + cb);
            report.digest = Hex(contentDigest);
            report.contentLength = length;
            contentRead = true;
        }
    }
    // A content file given with an attached message must be that content.
    if (contentRead && m.attached && !contentPath.empty()) {
        SignedMessage fileOnly;
        MdCtx fileMd(EVP_MD_CTX_new());
        std::uint64_t length = 0;
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int cb = 0;
        const bool same =
            fileMd && EVP_DigestInit_ex(fileMd.get(), md, nullptr) == 1 &&
            ReadContent(
                fileOnly, contentPath,
                [&](Bytes piece) {
                    return EVP_DigestUpdate(fileMd.get(), piece.data(), piece.size()) == 1;
                },
                length, why) &&
            EVP_DigestFinal_ex(fileMd.get(), value, &cb) == 1 && length == report.contentLength &&
            cb == contentDigest.size() && CRYPTO_memcmp(value, contentDigest.data(), cb) == 0;
        if (!same)
            checks.Fail("content-digest", "the content file " + contentPath +
                                              " is not the content the message carries");
    }

    // signature, and content-digest where the signed digest is known
    auto digestAgainst = [&](Bytes signedDigest, const char* where) {
        if (!contentRead)
            return;
        if (signedDigest.size() == contentDigest.size() &&
            CRYPTO_memcmp(signedDigest.data(), contentDigest.data(), contentDigest.size()) == 0)
            checks.Pass("content-digest", std::string(digest->display) + " of " +
                                              std::to_string(report.contentLength) +
                                              " bytes matches " + where);
        else
            checks.Fail("content-digest", std::string("the content's ") + digest->display +
                                              " differs from " + where +
                                              ": the content is not what was signed");
    };
    if (signer == nullptr) {
        checks.Skip("signature", "no signer's certificate");
        if (contentRead && !s.signedAttrs.empty())
            digestAgainst(s.messageDigest, "the signed messageDigest");
        else if (contentRead)
            checks.Skip("content-digest", "no signer's certificate to compare with");
    } else if (!keyProblem.empty()) {
        checks.Fail("signature", keyProblem);
        if (contentRead && !s.signedAttrs.empty())
            digestAgainst(s.messageDigest, "the signed messageDigest");
        else if (contentRead)
            checks.Skip("content-digest", "the signature cannot be read");
    } else if (!s.signedAttrs.empty()) {
        digestAgainst(s.messageDigest, "the signed messageDigest");
        const std::vector<std::uint8_t> toSign = AttributesToSign(s.signedAttrs);
        MdCtx v(EVP_MD_CTX_new());
        bool ok = false;
        if (sm2Key) {
            const std::vector<std::uint8_t> sig = Sm2SignatureDer(s.signature);
            ok = v && InitSm2Verify(v.get(), key, o.sm2Id) &&
                 EVP_DigestVerify(v.get(), sig.data(), sig.size(), toSign.data(), toSign.size()) ==
                     1;
        } else {
            ok = v &&
                 EVP_DigestVerifyInit_ex(v.get(), nullptr, digest->name, nullptr, nullptr, key,
                                         nullptr) == 1 &&
                 EVP_DigestVerify(v.get(), s.signature.data(), s.signature.size(), toSign.data(),
                                  toSign.size()) == 1;
        }
        ERR_clear_error();
        if (ok)
            checks.Pass("signature", report.algorithm + " over the signed attributes" +
                                         (sm2Key ? ", identity " + o.sm2Id : std::string()));
        else
            checks.Fail("signature", "the signature over the signed attributes does not verify "
                                     "with the signer's key" +
                                         (sm2Key ? " and the identity " + o.sm2Id : std::string()));
    } else if (sm2Key) {
        if (!contentRead) {
            checks.Skip("signature", "the content was not read");
        } else {
            const std::vector<std::uint8_t> sig = Sm2SignatureDer(s.signature);
            const bool ok = EVP_DigestVerifyFinal(sm2Md.get(), sig.data(), sig.size()) == 1;
            ERR_clear_error();
            if (ok) {
                checks.Pass("signature",
                            report.algorithm + " over the content, identity " + o.sm2Id);
                checks.Pass("content-digest",
                            std::string(digest->display) + " of " +
                                std::to_string(report.contentLength) +
                                " bytes; the SM2 signature covers the content itself");
            } else {
                checks.Fail("signature", "the SM2 signature does not verify over this content "
                                         "with the signer's key and the identity " +
                                             o.sm2Id + " (changed content or another identity)");
                checks.Skip("content-digest", "the signature covers the content itself; it "
                                              "does not verify");
            }
        }
    } else {
        // RSA over the content's digest: recovering the DigestInfo proves the
        // signature, comparing its digest proves the content.
        PkeyCtx pctx(EVP_PKEY_CTX_new(key, nullptr));
        std::vector<std::uint8_t> recovered(size_t(EVP_PKEY_get_size(key)) + 1);
        size_t cb = recovered.size();
        const bool ok = pctx && EVP_PKEY_verify_recover_init(pctx.get()) == 1 &&
                        EVP_PKEY_CTX_set_rsa_padding(pctx.get(), RSA_PKCS1_PADDING) == 1 &&
                        EVP_PKEY_CTX_set_signature_md(pctx.get(), md) == 1 &&
                        EVP_PKEY_verify_recover(pctx.get(), recovered.data(), &cb,
                                                s.signature.data(), s.signature.size()) == 1;
        ERR_clear_error();
        if (ok) {
            recovered.resize(cb);
            checks.Pass("signature",
                        report.algorithm + " (PKCS #1 v1.5) over the content's digest");
            digestAgainst(recovered, "the digest the signature holds");
        } else {
            checks.Fail("signature", "the RSA signature does not verify with the signer's key as "
                                     "PKCS #1 v1.5 over a " +
                                         std::string(digest->display) + " digest");
            if (contentRead)
                checks.Skip("content-digest", "the signature holds no digest to compare with");
        }
    }

    if (signer == nullptr) {
        for (const char* name : {"chain", "validity", "key-usage"})
            checks.Skip(name, "no signer's certificate");
        return report;
    }

    // chain
    std::string reason;
    const bool own = X509_get_signature_nid(signer) == NID_SM2_with_SM3;
    if (o.anchors.empty())
        checks.Fail("chain", "no trust anchor given (--ca)");
    else if (own ? BuildChain(signer, o, carried, o.at, reason)
                 : OpensslChain(signer, o, carried, o.at, reason))
        checks.Pass("chain", reason);
    else
        checks.Fail("chain", reason);

    // validity
    if (ValidAt(signer, o.at, why))
        checks.Pass("validity", "valid at " + TimeText(o.at));
    else
        checks.Fail("validity", "at " + TimeText(o.at) + " the signer's certificate is " + why);

    // key-usage
    const uint32_t usage = X509_get_key_usage(signer);
    if ((X509_get_extension_flags(signer) & EXFLAG_KUSAGE) == 0)
        checks.Pass("key-usage", "no keyUsage extension: any use is allowed");
    else if ((usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) != 0)
        checks.Pass("key-usage",
                    (usage & KU_DIGITAL_SIGNATURE) != 0 ? "digitalSignature" : "nonRepudiation");
    else
        checks.Fail("key-usage", "the signer's key usage allows neither digitalSignature nor "
                                 "nonRepudiation");
    ERR_clear_error();
    return report;
}

} // namespace orvane::verify
