#include "tests/support/OpensslCertificates.h"

#include <openssl/bn.h>
#include <openssl/x509v3.h>

namespace orvane::checks {
namespace {

using MdCtx = orvane::tests::OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using PkeyCtx = orvane::tests::OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Extension = orvane::tests::OsslPtr<X509_EXTENSION, X509_EXTENSION_free>;

bool AddEntries(X509_NAME* name, const std::vector<NameEntry>& entries) {
    for (const NameEntry& e : entries) {
        if (X509_NAME_add_entry_by_txt(name, e.first.c_str(), MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(e.second.c_str()), -1,
                                       -1, 0) != 1)
            return false;
    }
    return true;
}

bool SetSerial(X509* cert, const Bytes& serial) {
    BIGNUM* bn = BN_bin2bn(serial.data(), int(serial.size()), nullptr);
    const bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
    BN_free(bn);
    return ok;
}

bool Sign(X509* cert, EVP_PKEY* signer, const EVP_MD* md) {
    if (EVP_PKEY_is_a(signer, "SM2")) {
        static const char kDefaultId[] = "1234567812345678";
        MdCtx ctx(EVP_MD_CTX_new());
        PkeyCtx pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, signer, nullptr));
        if (!ctx || !pctx || EVP_PKEY_CTX_set1_id(pctx.get(), kDefaultId, 16) != 1)
            return false;
        EVP_MD_CTX_set_pkey_ctx(ctx.get(), pctx.get());
        return EVP_DigestSignInit(ctx.get(), nullptr, EVP_sm3(), nullptr, signer) == 1 &&
               X509_sign_ctx(cert, ctx.get()) > 0;
    }
    return X509_sign(cert, signer, md != nullptr ? md : EVP_sha256()) > 0;
}

} // namespace

Bytes SerialOf(std::uint64_t serial) {
    Bytes out;
    for (int shift = 56; shift >= 0; shift -= 8) {
        const auto b = static_cast<std::uint8_t>(serial >> shift);
        if (b != 0 || !out.empty() || shift == 0)
            out.push_back(b);
    }
    return out;
}

X509Ptr MakeX509(const CertificateDescription& desc) {
    if (desc.key == nullptr)
        return nullptr;
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
        !SetSerial(cert.get(), desc.serial) ||
        !AddEntries(X509_get_subject_name(cert.get()), desc.subject) ||
        !AddEntries(X509_get_issuer_name(cert.get()),
                    desc.issuer.empty() ? desc.subject : desc.issuer) ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), desc.notBefore) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), desc.notAfter) == nullptr ||
        X509_set_pubkey(cert.get(), desc.key) != 1)
        return nullptr;
    if (!desc.keyUsage.empty()) {
        Extension ext(X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, desc.keyUsage.c_str()));
        if (!ext || X509_add_ext(cert.get(), ext.get(), -1) != 1)
            return nullptr;
    }
    if (desc.adjust)
        desc.adjust(cert.get());
    if (!Sign(cert.get(), desc.signer != nullptr ? desc.signer : desc.key, desc.md))
        return nullptr;
    return cert;
}

Bytes DerOf(X509* cert) {
    const int len = cert != nullptr ? i2d_X509(cert, nullptr) : 0;
    if (len <= 0)
        return {};
    Bytes der(size_t(len), 0);
    unsigned char* p = der.data();
    i2d_X509(cert, &p);
    return der;
}

Bytes MakeCertificate(const CertificateDescription& desc) {
    X509Ptr cert = MakeX509(desc);
    return DerOf(cert.get());
}

} // namespace orvane::checks
