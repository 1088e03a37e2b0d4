#include "tests/pkcs7/Pkcs7Checks.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include "tests/support/OpensslCertificates.h"
#include "tests/support/OsslPtr.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace orvane::checks {
namespace {

constexpr unsigned char kDefaultId[] = "1234567812345678";

using orvane::tests::OsslPtr;
using Cms = OsslPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using Bio = OsslPtr<BIO, BIO_free>;

Pkey Generate(const char* type) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        (std::string(type) == "RSA" && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1) ||
        EVP_PKEY_generate(ctx.get(), &key) != 1)
        return nullptr;
    return Pkey(key);
}

// The issuers of this run, one per algorithm, made once.
EVP_PKEY* CaKey(bool sm2) {
    static Pkey rsa = Generate("RSA");
    static Pkey sm = Generate("SM2");
    return sm2 ? sm.get() : rsa.get();
}

std::string OpensslErrors() {
    std::string text;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, buf, sizeof buf);
        text += buf;
        text += "; ";
    }
    return text;
}

bool WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(out);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string RunCapture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    pclose(pipe);
    return out;
}

// AlgorithmIdentifier { oid, NULL }.
bool IsAlgorithm(const Bytes& der, const Element& e, const std::string& oid) {
    if (e.tag != 0x30)
        return false;
    auto parts = Children(der, e);
    return parts.size() == 2 && parts[0].tag == 0x06 && OidText(Whole(der, parts[0])) == oid &&
           parts[1].tag == 0x05 && parts[1].contentLength == 0;
}

bool VerifySm2(EVP_PKEY* key, const Bytes& signatureDer, const Bytes& content) {
    OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free> md(EVP_MD_CTX_new());
    PkeyCtx pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!md || !pctx || EVP_PKEY_CTX_set1_id(pctx.get(), kDefaultId, 16) != 1)
        return false;
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    return EVP_DigestVerifyInit_ex(md.get(), nullptr, "SM3", nullptr, nullptr, key, nullptr) == 1 &&
           EVP_DigestVerify(md.get(), signatureDer.data(), signatureDer.size(), content.data(),
                            content.size()) == 1;
}

} // namespace

Bytes IssueCertificate(EVP_PKEY* subjectKey, const Bytes& serialBE, bool sm2,
                       const std::string& commonName) {
    CertificateDescription desc;
    desc.key = subjectKey;
    desc.signer = CaKey(sm2);
    desc.subject = {{"C", "CN"}, {"CN", commonName}};
    desc.issuer = {{"C", "CN"}, {"O", "Orvane Test"}, {"CN", sm2 ? "SM2 CA" : "RSA CA"}};
    desc.serial = serialBE;
    return MakeCertificate(desc);
}

::testing::AssertionResult CmsVerify(const Bytes& der, const Bytes& content, bool attached) {
    const unsigned char* p = der.data();
    Cms cms(d2i_CMS_ContentInfo(nullptr, &p, long(der.size())));
    if (!cms || p != der.data() + der.size())
        return ::testing::AssertionFailure() << "d2i_CMS_ContentInfo: " << OpensslErrors();
    const int len = i2d_CMS_ContentInfo(cms.get(), nullptr);
    Bytes again(len > 0 ? size_t(len) : 0, 0);
    unsigned char* q = again.data();
    if (len <= 0 || i2d_CMS_ContentInfo(cms.get(), &q) != len || again != der)
        return ::testing::AssertionFailure() << "OpenSSL writes the message back differently";
    const bool hasContent =
        CMS_get0_content(cms.get()) != nullptr && *CMS_get0_content(cms.get()) != nullptr;
    if (hasContent != attached)
        return ::testing::AssertionFailure() << "content present: " << hasContent;
    Bio in(attached ? nullptr : BIO_new_mem_buf(content.data(), int(content.size())));
    Bio out(BIO_new(BIO_s_mem()));
    if (CMS_verify(cms.get(), nullptr, nullptr, in.get(), out.get(),
                   CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1)
        return ::testing::AssertionFailure() << "CMS_verify: " << OpensslErrors();
    if (attached) {
        char* data = nullptr;
        const long n = BIO_get_mem_data(out.get(), &data);
        if (Bytes(data, data + n) != content)
            return ::testing::AssertionFailure() << "the attached content differs";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CmsVerifyWithCommand(const Bytes& der, const Bytes& content,
                                                bool attached, const std::string& dir) {
    const std::string msg = dir + "/message.der", data = dir + "/content.bin",
                      out = dir + "/out.bin";
    if (!WriteFile(msg, der) || !WriteFile(data, content))
        return ::testing::AssertionFailure() << "cannot write into " << dir;
    std::remove(out.c_str());
    std::string command =
        "openssl cms -verify -inform DER -noverify -binary -in '" + msg + "' -out '" + out + "'";
    if (!attached)
        command += " -content '" + data + "'";
    command += " 2>/dev/null";
    const int status = std::system(command.c_str());
    if (status != 0)
        return ::testing::AssertionFailure() << command << " exited with " << status;
    if (ReadFile(out) != content)
        return ::testing::AssertionFailure() << "openssl wrote other content";
    return ::testing::AssertionSuccess();
}

std::string CmsPrint(const Bytes& der, const std::string& dir) {
    const std::string msg = dir + "/print.der";
    if (!WriteFile(msg, der))
        return "";
    return RunCapture("openssl cms -cmsout -print -inform DER -in '" + msg + "' 2>&1");
}

Bytes CmsSignature(const Bytes& der) {
    const unsigned char* p = der.data();
    Cms cms(d2i_CMS_ContentInfo(nullptr, &p, long(der.size())));
    if (!cms)
        return {};
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) != 1)
        return {};
    ASN1_OCTET_STRING* sig = CMS_SignerInfo_get0_signature(sk_CMS_SignerInfo_value(signers, 0));
    return Bytes(ASN1_STRING_get0_data(sig), ASN1_STRING_get0_data(sig) + ASN1_STRING_length(sig));
}

bool ShortestLengths(const Bytes& der) {
    // Walks every element; constructed ones are walked inside.
    struct Walk {
        const Bytes& der;
        bool Run(size_t at, size_t end) const {
            while (at < end) {
                Element e;
                if (!ReadElement(der, at, end, e))
                    return false;
                const size_t header = e.contentStart - e.headerStart;
                // Identifier, then one length octet below 128, else 0x8n and
                // the n octets of the length.
                size_t need = 2;
                if (e.contentLength >= 0x80)
                    for (size_t v = e.contentLength; v != 0; v >>= 8)
                        ++need;
                if (header != need)
                    return false;
                if ((e.tag & 0x20) != 0 && !Run(e.contentStart, e.End()))
                    return false;
                at = e.End();
            }
            return true;
        }
    };
    return Walk{der}.Run(0, der.size());
}

::testing::AssertionResult CheckSm2Message(const Bytes& der, const Bytes& content, bool attached,
                                           Sm2Message* pFound) {
    using ::testing::AssertionFailure;
    Sm2Message found;
    Element outer;
    if (!ReadElement(der, 0, der.size(), outer) || outer.tag != 0x30 || outer.End() != der.size())
        return AssertionFailure() << "ContentInfo SEQUENCE";
    if (!ShortestLengths(der))
        return AssertionFailure() << "a length is not in its shortest form";
    auto ci = Children(der, outer);
    if (ci.size() != 2 || ci[0].tag != 0x06 ||
        OidText(Whole(der, ci[0])) != "1.2.156.10197.6.1.4.2.2")
        return AssertionFailure() << "content type 1.2.156.10197.6.1.4.2.2";
    if (ci[1].tag != 0xA0)
        return AssertionFailure() << "[0] EXPLICIT SignedData";
    auto explicitSd = Children(der, ci[1]);
    if (explicitSd.size() != 1 || explicitSd[0].tag != 0x30)
        return AssertionFailure() << "SignedData SEQUENCE";
    auto sd = Children(der, explicitSd[0]);
    if (sd.size() != 5)
        return AssertionFailure() << "SignedData has " << sd.size() << " parts, not 5";
    if (Whole(der, sd[0]) != Bytes{0x02, 0x01, 0x01})
        return AssertionFailure() << "SignedData version 02 01 01";
    auto digests = Children(der, sd[1]);
    if (sd[1].tag != 0x31 || digests.size() != 1 ||
        !IsAlgorithm(der, digests[0], "1.2.156.10197.1.401"))
        return AssertionFailure() << "digestAlgorithms SET { SM3, NULL }";
    auto inner = Children(der, sd[2]);
    if (sd[2].tag != 0x30 || inner.empty() || inner[0].tag != 0x06 ||
        OidText(Whole(der, inner[0])) != "1.2.156.10197.6.1.4.2.1")
        return AssertionFailure() << "inner content type 1.2.156.10197.6.1.4.2.1";
    found.attached = inner.size() == 2;
    if (inner.size() > 2 || found.attached != attached)
        return AssertionFailure() << "inner content info holds " << inner.size() << " parts";
    if (found.attached) {
        auto wrapped = Children(der, inner[1]);
        if (inner[1].tag != 0xA0 || wrapped.size() != 1 || wrapped[0].tag != 0x04)
            return AssertionFailure() << "[0] EXPLICIT OCTET STRING content";
        found.content = Content(der, wrapped[0]);
        if (found.content != content)
            return AssertionFailure() << "the attached content differs";
    }
    auto certs = Children(der, sd[3]);
    if (sd[3].tag != 0xA0 || certs.size() != 1 || certs[0].tag != 0x30)
        return AssertionFailure() << "certificates [0] with one certificate";
    found.certificate = Whole(der, certs[0]);
    auto signers = Children(der, sd[4]);
    if (sd[4].tag != 0x31 || signers.size() != 1 || signers[0].tag != 0x30)
        return AssertionFailure() << "signerInfos SET with one SignerInfo";
    auto si = Children(der, signers[0]);
    if (si.size() != 5)
        return AssertionFailure() << "SignerInfo has " << si.size() << " parts (attributes?)";
    if (Whole(der, si[0]) != Bytes{0x02, 0x01, 0x01})
        return AssertionFailure() << "SignerInfo version 02 01 01";
    auto ias = Children(der, si[1]);
    if (si[1].tag != 0x30 || ias.size() != 2 || ias[0].tag != 0x30 || ias[1].tag != 0x02)
        return AssertionFailure() << "issuerAndSerialNumber";
    found.issuer = Whole(der, ias[0]);
    found.serial = Whole(der, ias[1]);
    if (!IsAlgorithm(der, si[2], "1.2.156.10197.1.401") ||
        !IsAlgorithm(der, si[3], "1.2.156.10197.1.301.1"))
        return AssertionFailure() << "SignerInfo algorithms { SM3, NULL }, { SM2, NULL }";
    if (si[4].tag != 0x04)
        return AssertionFailure() << "encryptedDigest OCTET STRING";
    auto sigParts = Children(der, si[4]);
    if (sigParts.size() != 1 || sigParts[0].tag != 0x30 || sigParts[0].End() != si[4].End())
        return AssertionFailure() << "encryptedDigest holds one SEQUENCE { r, s }";
    found.signatureSeq = Whole(der, sigParts[0]);

    // The certificate's own issuer and serial, byte for byte.
    const unsigned char* pc = found.certificate.data();
    X509Ptr cert(d2i_X509(nullptr, &pc, long(found.certificate.size())));
    if (!cert)
        return AssertionFailure() << "d2i_X509: " << OpensslErrors();
    Element certEl;
    ReadElement(found.certificate, 0, found.certificate.size(), certEl);
    auto certParts = Children(found.certificate, certEl);
    auto tbsParts = Children(found.certificate, certParts.at(0));
    const size_t first = tbsParts.at(0).tag == 0xA0 ? 1 : 0; // [0] version
    if (Whole(found.certificate, tbsParts.at(first)) != found.serial ||
        Whole(found.certificate, tbsParts.at(first + 2)) != found.issuer)
        return AssertionFailure() << "issuer and serial differ from the certificate's";

    // r and s: OpenSSL reads them and writes them back identically, so they
    // are minimal DER integers; then the signature itself.
    const unsigned char* ps = found.signatureSeq.data();
    OsslPtr<ECDSA_SIG, ECDSA_SIG_free> sig(
        d2i_ECDSA_SIG(nullptr, &ps, long(found.signatureSeq.size())));
    if (!sig || ps != found.signatureSeq.data() + found.signatureSeq.size())
        return AssertionFailure() << "d2i_ECDSA_SIG: " << OpensslErrors();
    unsigned char* back = nullptr;
    const int backLen = i2d_ECDSA_SIG(sig.get(), &back);
    const bool same = backLen > 0 && Bytes(back, back + backLen) == found.signatureSeq;
    OPENSSL_free(back);
    if (!same)
        return AssertionFailure() << "r and s are not in DER's minimal form";
    if (!VerifySm2(X509_get0_pubkey(cert.get()), found.signatureSeq, content))
        return AssertionFailure() << "SM2 signature does not verify: " << OpensslErrors();
    if (pFound != nullptr)
        *pFound = std::move(found);
    return ::testing::AssertionSuccess();
}

Bytes Sm2AttachedContent(const Bytes& der) {
    // ContentInfo / [0] / SignedData / inner ContentInfo / [0] / OCTET STRING
    Element e;
    if (!ReadElement(der, 0, der.size(), e))
        return {};
    auto ci = Children(der, e);
    if (ci.size() != 2)
        return {};
    auto sd = Children(der, ci[1]);
    if (sd.size() != 1)
        return {};
    auto parts = Children(der, sd[0]);
    if (parts.size() != 5)
        return {};
    auto inner = Children(der, parts[2]);
    if (inner.size() != 2)
        return {};
    auto octets = Children(der, inner[1]);
    if (octets.size() != 1 || octets[0].tag != 0x04)
        return {};
    return Content(der, octets[0]);
}

std::string Base64Lines(const Bytes& der, bool lineBreaks) {
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der.data(), int(der.size()));
    text.resize(size_t(n));
    if (!lineBreaks)
        return text;
    std::string lines;
    const size_t groups = der.size() / 3;
    for (size_t at = 0; at < text.size(); at += 76) {
        if (at != 0)
            lines += "\r\n";
        lines += text.substr(at, 76);
    }
    // Full lines only: the last one is followed by CR LF too.
    if (groups != 0 && groups % 19 == 0 && der.size() % 3 == 0)
        lines += "\r\n";
    return lines;
}

} // namespace orvane::checks
