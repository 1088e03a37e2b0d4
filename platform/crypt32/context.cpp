// Certificate contexts: OpenSSL parses the certificate, and the SDK structures
// are filled from it, pointing into storage the context owns.

// OpenSSL comes before <wincrypt.h>, whose PKCS7_SIGNER_INFO macro would
// rewrite OpenSSL's type of that name.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "crypt32/cert_internal.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

namespace orvane::crypt32 {
namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};

std::string OidText(const ASN1_OBJECT* obj) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (n <= 0)
        return {};
    if (size_t(n) >= sizeof buf) { // long identifiers: ask again with room
        std::string s(size_t(n) + 1, '\0');
        OBJ_obj2txt(s.data(), n + 1, obj, 1);
        s.resize(size_t(n));
        return s;
    }
    return std::string(buf, size_t(n));
}

// AlgorithmParams: the DER of AlgorithmIdentifier.parameters, empty when absent.
std::vector<BYTE> AlgorithmParams(const X509_ALGOR* alg, std::string& oid) {
    const ASN1_OBJECT* obj = nullptr;
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(&obj, &ptype, &pval, alg);
    oid = OidText(obj);
    if (ptype == V_ASN1_UNDEF || alg->parameter == nullptr)
        return {};
    unsigned char* der = nullptr;
    int len = i2d_ASN1_TYPE(alg->parameter, &der);
    if (len <= 0)
        return {};
    std::vector<BYTE> out(der, der + len);
    OPENSSL_free(der);
    return out;
}

// IntegerContent: the content octets of INTEGER, least significant first, as
// Windows keeps serial numbers.
std::vector<BYTE> IntegerContent(const ASN1_INTEGER* value) {
    unsigned char* der = nullptr;
    int len = i2d_ASN1_INTEGER(value, &der);
    std::vector<BYTE> out;
    if (len > 2) {
        // INTEGER ::= 02 len content; skip the tag and the length octets.
        size_t off = 2;
        if (der[1] & 0x80)
            off += der[1] & 0x7f;
        if (off < size_t(len))
            out.assign(der + off, der + len);
    }
    OPENSSL_free(der);
    return {out.rbegin(), out.rend()};
}

bool TimeToFileTime(const ASN1_TIME* t, FILETIME& ft) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1)
        return false;
    const long long secs = static_cast<long long>(timegm(&tm));
    constexpr long long kEpochDelta = 11644473600LL; // 1601-01-01 to 1970-01-01
    if (secs < -kEpochDelta)
        return false;
    const unsigned long long ticks =
        static_cast<unsigned long long>(secs + kEpochDelta) * 10000000ULL;
    ft.dwLowDateTime = DWORD(ticks);
    ft.dwHighDateTime = DWORD(ticks >> 32);
    return true;
}

void Digest(const EVP_MD* md, std::span<const BYTE> data, std::vector<BYTE>& out) {
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), buf, &len, md, nullptr) == 1)
        out.assign(buf, buf + len);
    else
        out.clear();
}

// CopyOut: the size-then-data rule every property getter follows.
BOOL CopyOut(std::span<const BYTE> value, void* pvData, DWORD* pcbData) {
    if (pvData == nullptr) {
        *pcbData = DWORD(value.size());
        return TRUE;
    }
    if (*pcbData < value.size()) {
        *pcbData = DWORD(value.size());
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (!value.empty())
        std::memcpy(pvData, value.data(), value.size());
    *pcbData = DWORD(value.size());
    return TRUE;
}

std::unique_ptr<CertObject> ParseWithOpenSsl(std::span<const BYTE> der, DWORD& err) {
    err = DWORD(CRYPT_E_ASN1_BADTAG);
    if (der.empty() || der.size() > 0x7fffffff)
        return nullptr;
    const unsigned char* p = der.data();
    std::unique_ptr<X509, X509Free> x(d2i_X509(nullptr, &p, long(der.size())));
    if (!x) {
        err = DWORD(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }
    auto obj = std::make_unique<CertObject>();
    // Trailing bytes after the certificate are ignored, as Windows does.
    obj->encoded.assign(der.data(), p);
    CertObject& o = *obj;
    o.info.dwVersion = DWORD(X509_get_version(x.get()));
    o.serial = IntegerContent(X509_get0_serialNumber(x.get()));
    o.sigAlgParams = AlgorithmParams(X509_get0_tbs_sigalg(x.get()), o.sigAlgOid);

    const X509_PUBKEY* pub = X509_get_X509_PUBKEY(x.get());
    X509_ALGOR* keyAlg = nullptr;
    const unsigned char* keyBytes = nullptr;
    int keyLen = 0;
    if (pub == nullptr || X509_PUBKEY_get0_param(nullptr, &keyBytes, &keyLen, &keyAlg, pub) != 1 ||
        keyAlg == nullptr) {
        err = DWORD(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }
    o.keyAlgParams = AlgorithmParams(keyAlg, o.keyAlgOid);
    o.publicKey.assign(keyBytes, keyBytes + keyLen);

    if (!TimeToFileTime(X509_get0_notBefore(x.get()), o.info.NotBefore) ||
        !TimeToFileTime(X509_get0_notAfter(x.get()), o.info.NotAfter)) {
        err = DWORD(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }

    // Names point into the encoded certificate itself: the DER OpenSSL keeps
    // is the same bytes, so find them there and keep one copy.
    auto locate = [&](const X509_NAME* name, CERT_NAME_BLOB& blob) {
        const unsigned char* nd = nullptr;
        size_t nlen = 0;
        if (X509_NAME_get0_der(const_cast<X509_NAME*>(name), &nd, &nlen) != 1)
            return false;
        auto it = std::search(o.encoded.begin(), o.encoded.end(), nd, nd + nlen);
        if (it == o.encoded.end())
            return false;
        blob.pbData = &*it;
        blob.cbData = DWORD(nlen);
        return true;
    };
    if (!locate(X509_get_issuer_name(x.get()), o.info.Issuer) ||
        !locate(X509_get_subject_name(x.get()), o.info.Subject)) {
        err = DWORD(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }
    // The subject follows the issuer and validity; when both names are equal,
    // search past the issuer so Subject points at its own bytes.
    if (o.info.Subject.pbData == o.info.Issuer.pbData) {
        BYTE* from = o.info.Issuer.pbData + o.info.Issuer.cbData;
        auto it = std::search(from, o.encoded.data() + o.encoded.size(), o.info.Issuer.pbData,
                              o.info.Issuer.pbData + o.info.Issuer.cbData);
        if (it != o.encoded.data() + o.encoded.size())
            o.info.Subject.pbData = it;
    }

    const int n = X509_get_ext_count(x.get());
    o.extOids.reserve(size_t(n > 0 ? n : 0));
    o.extensions.reserve(size_t(n > 0 ? n : 0));
    for (int i = 0; i < n; ++i) {
        X509_EXTENSION* ext = X509_get_ext(x.get(), i);
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
        o.extOids.push_back(OidText(X509_EXTENSION_get_object(ext)));
        CERT_EXTENSION e{};
        e.fCritical = X509_EXTENSION_get_critical(ext) > 0 ? TRUE : FALSE;
        // The value's bytes live inside the encoded certificate too.
        const BYTE* vd = ASN1_STRING_get0_data(value);
        const size_t vlen = size_t(ASN1_STRING_length(value));
        auto it = std::search(o.encoded.begin(), o.encoded.end(), vd, vd + vlen);
        if (vlen == 0 || it == o.encoded.end()) {
            err = DWORD(CRYPT_E_ASN1_CORRUPT);
            return nullptr;
        }
        e.Value.pbData = &*it;
        e.Value.cbData = DWORD(vlen);
        o.extensions.push_back(e);
    }
    for (size_t i = 0; i < o.extensions.size(); ++i)
        o.extensions[i].pszObjId = o.extOids[i].data();

    o.info.SerialNumber = {DWORD(o.serial.size()), o.serial.empty() ? nullptr : o.serial.data()};
    o.info.SignatureAlgorithm.pszObjId = o.sigAlgOid.data();
    o.info.SignatureAlgorithm.Parameters = {
        DWORD(o.sigAlgParams.size()), o.sigAlgParams.empty() ? nullptr : o.sigAlgParams.data()};
    o.info.SubjectPublicKeyInfo.Algorithm.pszObjId = o.keyAlgOid.data();
    o.info.SubjectPublicKeyInfo.Algorithm.Parameters = {
        DWORD(o.keyAlgParams.size()), o.keyAlgParams.empty() ? nullptr : o.keyAlgParams.data()};
    o.info.SubjectPublicKeyInfo.PublicKey = {DWORD(o.publicKey.size()),
                                             o.publicKey.empty() ? nullptr : o.publicKey.data(), 0};
    o.info.cExtension = DWORD(o.extensions.size());
    o.info.rgExtension = o.extensions.empty() ? nullptr : o.extensions.data();

    o.ctx.dwCertEncodingType = X509_ASN_ENCODING;
    o.ctx.pbCertEncoded = o.encoded.data();
    o.ctx.cbCertEncoded = DWORD(o.encoded.size());
    o.ctx.pCertInfo = &o.info;
    Digest(EVP_sha1(), o.encoded, o.sha1);
    err = ERROR_SUCCESS;
    return obj;
}

} // namespace

std::unique_ptr<CertObject> ParseCertificate(std::span<const BYTE> der, DWORD& err) {
    auto obj = ParseWithOpenSsl(der, err);
    // A refused certificate leaves OpenSSL's reasons queued on this thread;
    // they are ours, and must not surface in someone else's later check.
    if (!obj)
        ERR_clear_error();
    return obj;
}

void ReleaseObject(CertObject* obj) {
    if (obj == nullptr)
        return;
    if (obj->store != nullptr) {
        ObjectUnreferenced(obj); // a store's contexts count under the store's lock
        return;
    }
    if (obj->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete obj;
}

bool IsPersistedProperty(DWORD id) {
    return id == CERT_KEY_PROV_INFO_PROP_ID || id == CERT_FRIENDLY_NAME_PROP_ID ||
           id == CERT_KEY_SPEC_PROP_ID || id == CERT_KEY_IDENTIFIER_PROP_ID ||
           (id >= CERT_FIRST_USER_PROP_ID && id <= CERT_LAST_USER_PROP_ID);
}

} // namespace orvane::crypt32

using namespace orvane::crypt32;

extern "C" {

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded, DWORD cbCertEncoded) {
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    if (pbCertEncoded == nullptr && cbCertEncoded != 0) {
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    try {
        DWORD err = ERROR_SUCCESS;
        auto obj = ParseCertificate({pbCertEncoded, cbCertEncoded}, err);
        if (!obj) {
            SetLastError(err);
            return nullptr;
        }
        // Kept as given, message encoding and all, as Windows does.
        obj->ctx.dwCertEncodingType = dwCertEncodingType;
        obj->ctx.hCertStore = ProcessEmptyStore();
        return &obj.release()->ctx;
    } catch (const std::bad_alloc&) {
        SetLastError(DWORD(E_OUTOFMEMORY));
        return nullptr;
    }
}

PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext != nullptr)
        ToObject(pCertContext)->refs.fetch_add(1, std::memory_order_relaxed);
    return pCertContext;
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    ReleaseObject(pCertContext != nullptr ? ToObject(pCertContext) : nullptr);
    return TRUE;
}

BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              void* pvData, DWORD* pcbData) {
    if (pCertContext == nullptr || pcbData == nullptr) {
        SetLastError(DWORD(E_INVALIDARG));
        return FALSE;
    }
    CertObject* obj = ToObject(pCertContext);
    try {
        switch (dwPropId) {
        case CERT_SHA1_HASH_PROP_ID:
            return CopyOut(obj->sha1, pvData, pcbData);
        case CERT_MD5_HASH_PROP_ID: {
            std::vector<BYTE> md5;
            Digest(EVP_md5(), obj->encoded, md5);
            return CopyOut(md5, pvData, pcbData);
        }
        case CERT_CERT_PROP_ID:
            return CopyOut(obj->encoded, pvData, pcbData);
        default:
            break;
        }
        std::vector<BYTE> value;
        {
            std::lock_guard<std::mutex> lock(obj->propMutex);
            auto it = obj->props.find(dwPropId);
            if (it == obj->props.end()) {
                SetLastError(DWORD(CRYPT_E_NOT_FOUND));
                return FALSE;
            }
            value = it->second;
        }
        if (dwPropId != CERT_KEY_PROV_INFO_PROP_ID)
            return CopyOut(value, pvData, pcbData);
        size_t need = 0;
        if (!KeyProvInfoToBlock(value, nullptr, need)) {
            SetLastError(DWORD(CRYPT_E_NOT_FOUND));
            return FALSE;
        }
        if (pvData == nullptr) {
            *pcbData = DWORD(need);
            return TRUE;
        }
        if (*pcbData < need) {
            *pcbData = DWORD(need);
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        KeyProvInfoToBlock(value, static_cast<BYTE*>(pvData), need);
        *pcbData = DWORD(need);
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(DWORD(E_OUTOFMEMORY));
        return FALSE;
    }
}

BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              DWORD dwFlags, const void* pvData) {
    if (pCertContext == nullptr) {
        SetLastError(DWORD(E_INVALIDARG));
        return FALSE;
    }
    // Computed and identifying properties cannot be replaced.
    if (dwPropId == 0 || dwPropId == CERT_SHA1_HASH_PROP_ID || dwPropId == CERT_MD5_HASH_PROP_ID ||
        dwPropId == CERT_CERT_PROP_ID) {
        SetLastError(DWORD(E_INVALIDARG));
        return FALSE;
    }
    CertObject* obj = ToObject(pCertContext);
    try {
        std::optional<std::vector<BYTE>> value;
        if (pvData != nullptr) {
            if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
                value = SerializeKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData));
            } else if (dwPropId == CERT_KEY_SPEC_PROP_ID) {
                const BYTE* p = static_cast<const BYTE*>(pvData);
                value = std::vector<BYTE>(p, p + sizeof(DWORD));
            } else if (dwPropId == CERT_KEY_PROV_HANDLE_PROP_ID) {
                const BYTE* p = static_cast<const BYTE*>(pvData);
                value = std::vector<BYTE>(p, p + sizeof(ULONG_PTR));
            } else {
                const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
                if (blob->cbData != 0 && blob->pbData == nullptr) {
                    SetLastError(DWORD(E_INVALIDARG));
                    return FALSE;
                }
                value = std::vector<BYTE>(blob->pbData, blob->pbData + blob->cbData);
            }
        }
        {
            std::lock_guard<std::mutex> lock(obj->propMutex);
            if (value)
                obj->props[dwPropId] = std::move(*value);
            else
                obj->props.erase(dwPropId);
        }
        if (IsPersistedProperty(dwPropId)) {
            DWORD err = PersistProperties(obj);
            if (err != ERROR_SUCCESS && !(dwFlags & CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG)) {
                SetLastError(err);
                return FALSE;
            }
        }
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(DWORD(E_OUTOFMEMORY));
        return FALSE;
    }
}

PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                         CERT_EXTENSION rgExtensions[]) {
    if (pszObjId != nullptr && (cExtensions == 0 || rgExtensions != nullptr)) {
        for (DWORD i = 0; i < cExtensions; ++i)
            if (rgExtensions[i].pszObjId != nullptr &&
                std::strcmp(rgExtensions[i].pszObjId, pszObjId) == 0)
                return &rgExtensions[i];
    }
    SetLastError(DWORD(CRYPT_E_NOT_FOUND));
    return nullptr;
}

LONG WINAPI CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo) {
    auto ticks = [](const FILETIME& ft) {
        return (unsigned long long)(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    };
    unsigned long long now = 0;
    if (pTimeToVerify != nullptr) {
        now = ticks(*pTimeToVerify);
    } else {
        struct timespec ts {};
        clock_gettime(CLOCK_REALTIME, &ts);
        now = (static_cast<unsigned long long>(ts.tv_sec) + 11644473600ULL) * 10000000ULL +
              static_cast<unsigned long long>(ts.tv_nsec) / 100;
    }
    if (now < ticks(pCertInfo->NotBefore))
        return -1;
    if (now > ticks(pCertInfo->NotAfter))
        return 1;
    return 0;
}

BOOL WINAPI CertCompareCertificateName(DWORD dwCertEncodingType, PCERT_NAME_BLOB pCertName1,
                                       PCERT_NAME_BLOB pCertName2) {
    (void)dwCertEncodingType;
    if (pCertName1 == nullptr || pCertName2 == nullptr) {
        SetLastError(DWORD(E_INVALIDARG));
        return FALSE;
    }
    return pCertName1->cbData == pCertName2->cbData &&
           (pCertName1->cbData == 0 ||
            std::memcmp(pCertName1->pbData, pCertName2->pbData, pCertName1->cbData) == 0);
}

} // extern "C"
