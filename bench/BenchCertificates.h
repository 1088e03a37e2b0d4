// Certificates for benchmarks: n self-signed P-256 certificates (O=Orvane,
// CN=<prefix> <i>, serials from 0x1000), the size of a typical personal
// certificate, as DER.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace orvane::bench {

inline std::vector<std::vector<unsigned char>> MakeCertificates(size_t n,
                                                                const std::string& cnPrefix) {
    std::vector<std::vector<unsigned char>> out;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (key == nullptr)
        return out;
    for (size_t i = 0; i < n; ++i) {
        X509* x = X509_new();
        X509_set_version(x, X509_VERSION_3);
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), 0x1000 + i);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Orvane"), -1, -1, 0);
        const std::string cn = cnPrefix + " " + std::to_string(i);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        X509_set_issuer_name(x, name);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600);
        X509_set_pubkey(x, key);
        X509_sign(x, key, EVP_sha256());
        unsigned char* der = nullptr;
        const int len = i2d_X509(x, &der);
        if (len > 0)
            out.emplace_back(der, der + len);
        OPENSSL_free(der);
        X509_free(x);
    }
    EVP_PKEY_free(key);
    return out;
}

} // namespace orvane::bench
