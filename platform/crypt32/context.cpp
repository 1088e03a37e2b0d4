// Certificate contexts: the certificate is read with the bounded DER reader,
// and the SDK structures point into storage the context owns.

// OpenSSL comes before <wincrypt.h>, whose PKCS7_SIGNER_INFO macro would
// rewrite OpenSSL's type of that name.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "crypt32/cert_internal.h"
#include "der/Der.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

namespace orvane::crypt32 {

using namespace orvane::der;

namespace {

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

// ReadExplicit: the contents of the one `inner` element that the explicit
// context tag `outer` wraps; anything after it is CRYPT_E_ASN1_CORRUPT.
DWORD ReadExplicit(DerReader& r, BYTE outer, BYTE inner, Bytes& contents) {
    Bytes wrapped;
    if (DWORD err = r.Read(outer, wrapped))
        return err;
    DerReader explicitTag(wrapped);
    if (DWORD err = explicitTag.Read(inner, contents))
        return err;
    return explicitTag.ExpectEnd();
}

// The algorithm and a copy of its parameters element (empty when absent).
DWORD ReadAlgorithm(DerReader& r, std::string& oid, std::vector<BYTE>& params) {
    Bytes parameters;
    if (DWORD err = ReadAlgorithmIdentifier(r, oid, parameters))
        return err;
    params.assign(parameters.begin(), parameters.end());
    return 0;
}

// CanonicalTime: the forms DER prescribes, YYMMDDHHMMSSZ (UTCTime, years
// 1950 to 2049) and YYYYMMDDHHMMSSZ (GeneralizedTime), read directly; false
// for anything else, which OpenSSL then reads.
bool CanonicalTime(BYTE tag, Bytes t, FILETIME& ft) {
    const size_t yearDigits = tag == V_ASN1_UTCTIME ? 2 : 4;
    if (t.size() != yearDigits + 11 || t.back() != 'Z')
        return false;
    int v[7] = {};
    size_t at = 0;
    for (int field = 0; field < 6; ++field) {
        const size_t digits = field == 0 ? yearDigits : 2;
        for (size_t i = 0; i < digits; ++i, ++at) {
            if (t[at] < '0' || t[at] > '9')
                return false;
            v[field] = v[field] * 10 + (t[at] - '0');
        }
    }
    int year = v[0];
    if (tag == V_ASN1_UTCTIME)
        year += year < 50 ? 2000 : 1900;
    const int month = v[1], day = v[2], hour = v[3], minute = v[4], second = v[5];
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] - (month == 2 && !leap ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    // Days since 1601-01-01 of the proleptic Gregorian calendar.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long daysSince0 = (long long)era * 146097 + doe; // from 0000-03-01
    constexpr long long kDaysTo1601 = 584694;                   // 0000-03-01 to 1601-01-01
    const unsigned long long ticks = (unsigned long long)((daysSince0 - kDaysTo1601) * 86400LL +
                                                          hour * 3600LL + minute * 60LL + second) *
                                     10000000ULL;
    ft.dwLowDateTime = DWORD(ticks);
    ft.dwHighDateTime = DWORD(ticks >> 32);
    return true;
}

// Time ::= CHOICE { utcTime UTCTime, generalTime GeneralizedTime }
DWORD ReadTime(DerReader& r, FILETIME& ft) {
    BYTE first = 0;
    Bytes contents, element;
    if (DWORD err = r.ReadAny(first, contents, &element))
        return err;
    if (first != V_ASN1_UTCTIME && first != V_ASN1_GENERALIZEDTIME)
        return DWORD(CRYPT_E_ASN1_BADTAG);
    if (CanonicalTime(first, contents, ft))
        return 0;
    const unsigned char* p = element.data();
    ASN1_TIME* t = d2i_ASN1_TIME(nullptr, &p, long(element.size()));
    const bool ok = t != nullptr && TimeToFileTime(t, ft);
    ASN1_TIME_free(t);
    return ok ? 0 : DWORD(CRYPT_E_ASN1_CORRUPT);
}

// ParseDer: the certificate read with the bounded DER reader; the SDK
// structures point into the object's own copy of the encoding. (OpenSSL's
// certificate parser decodes every public key on the way, most of a store
// listing's cost, and nothing here needs the key decoded.)
//   Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature BIT STRING }
//   TBSCertificate ::= SEQUENCE { [0] EXPLICIT version DEFAULT v1, serialNumber INTEGER,
//       signature AlgorithmIdentifier, issuer Name, validity SEQUENCE { notBefore, notAfter },
//       subject Name, subjectPublicKeyInfo SEQUENCE { algorithm, subjectPublicKey BIT STRING },
//       [1] issuerUniqueID OPTIONAL, [2] subjectUniqueID OPTIONAL,
//       [3] EXPLICIT extensions SEQUENCE OF Extension OPTIONAL }
//   Extension ::= SEQUENCE { extnID OBJECT IDENTIFIER, critical BOOLEAN DEFAULT FALSE,
//       extnValue OCTET STRING }
DWORD ParseDer(std::span<const BYTE> der, CertObject& o) {
    Bytes certContents, certElement;
    {
        DerReader top(der);
        // Trailing bytes after the certificate are ignored, as Windows does.
        if (DWORD err = top.Read(tag::kSequence, certContents, &certElement))
            return err;
    }
    o.encoded.assign(certElement.begin(), certElement.end());
    DerReader whole(Bytes(o.encoded));
    if (DWORD err = whole.Read(tag::kSequence, certContents))
        return err;

    DerReader cert(certContents);
    Bytes tbsContents, sigContents;
    std::string outerAlg;
    std::vector<BYTE> outerParams;
    if (DWORD err = cert.Read(tag::kSequence, tbsContents))
        return err;
    if (DWORD err = ReadAlgorithm(cert, outerAlg, outerParams))
        return err;
    if (DWORD err = cert.Read(tag::kBitString, sigContents))
        return err;
    if (DWORD err = cert.ExpectEnd())
        return err;

    DerReader tbs(tbsContents);
    Bytes contents;
    if (tbs.NextIs(tag::ContextConstructed(0))) {
        if (DWORD err = tbs.Read(tag::ContextConstructed(0), contents))
            return err;
        DerReader version(contents);
        LONG lVersion = 0;
        if (DWORD err = ReadInt32(version, lVersion))
            return err;
        if (DWORD err = version.ExpectEnd())
            return err;
        o.info.dwVersion = DWORD(lVersion);
    }
    if (DWORD err = tbs.Read(tag::kInteger, contents))
        return err;
    if (contents.empty())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    o.serial.assign(contents.rbegin(), contents.rend());
    if (DWORD err = ReadAlgorithm(tbs, o.sigAlgOid, o.sigAlgParams))
        return err;

    Bytes issuer, subject;
    if (DWORD err = tbs.Read(tag::kSequence, contents, &issuer))
        return err;
    Bytes validityContents;
    if (DWORD err = tbs.Read(tag::kSequence, validityContents))
        return err;
    DerReader validity(validityContents);
    if (DWORD err = ReadTime(validity, o.info.NotBefore))
        return err;
    if (DWORD err = ReadTime(validity, o.info.NotAfter))
        return err;
    if (DWORD err = validity.ExpectEnd())
        return err;
    if (DWORD err = tbs.Read(tag::kSequence, contents, &subject))
        return err;
    o.info.Issuer = {DWORD(issuer.size()), const_cast<BYTE*>(issuer.data())};
    o.info.Subject = {DWORD(subject.size()), const_cast<BYTE*>(subject.data())};

    Bytes spkiContents, keyBits;
    if (DWORD err = tbs.Read(tag::kSequence, spkiContents))
        return err;
    DerReader spki(spkiContents);
    if (DWORD err = ReadAlgorithm(spki, o.keyAlgOid, o.keyAlgParams))
        return err;
    if (DWORD err = spki.Read(tag::kBitString, keyBits))
        return err;
    if (DWORD err = spki.ExpectEnd())
        return err;
    // BIT STRING: the unused-bits octet, then the key.
    if (keyBits.empty() || keyBits[0] > 7)
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    o.publicKey.assign(keyBits.begin() + 1, keyBits.end());

    for (BYTE uniqueId :
         {BYTE(0x81), BYTE(0x82), tag::ContextConstructed(1), tag::ContextConstructed(2)}) {
        if (tbs.NextIs(uniqueId)) {
            BYTE first = 0;
            if (DWORD err = tbs.ReadAny(first, contents))
                return err;
        }
    }
    if (tbs.NextIs(tag::ContextConstructed(3))) {
        Bytes listContents;
        if (DWORD err = ReadExplicit(tbs, tag::ContextConstructed(3), tag::kSequence, listContents))
            return err;
        DerReader list(listContents);
        while (!list.AtEnd()) {
            Bytes extContents, value;
            if (DWORD err = list.Read(tag::kSequence, extContents))
                return err;
            DerReader ext(extContents);
            std::string oid;
            if (DWORD err = ReadOid(ext, oid))
                return err;
            CERT_EXTENSION e{};
            if (ext.NextIs(0x01)) { // BOOLEAN
                Bytes flag;
                if (DWORD err = ext.Read(0x01, flag))
                    return err;
                if (flag.size() != 1)
                    return DWORD(CRYPT_E_ASN1_CORRUPT);
                e.fCritical = flag[0] != 0 ? TRUE : FALSE;
            }
            if (DWORD err = ext.Read(tag::kOctetString, value))
                return err;
            if (DWORD err = ext.ExpectEnd())
                return err;
            e.Value = {DWORD(value.size()), const_cast<BYTE*>(value.data())};
            o.extOids.push_back(std::move(oid));
            o.extensions.push_back(e);
        }
    }
    return tbs.ExpectEnd();
}

std::unique_ptr<CertObject> ParseWithDer(std::span<const BYTE> der, DWORD& err) {
    if (der.empty() || der.size() > 0x7fffffff) {
        err = DWORD(CRYPT_E_ASN1_BADTAG);
        return nullptr;
    }
    auto obj = std::make_unique<CertObject>();
    CertObject& o = *obj;
    err = ParseDer(der, o);
    if (err != 0)
        return nullptr;
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
    err = ERROR_SUCCESS;
    return obj;
}

} // namespace

const std::vector<BYTE>& CertObject::Sha1() {
    std::call_once(sha1Once_, [this] { Digest(EVP_sha1(), encoded, sha1_); });
    return sha1_;
}

std::unique_ptr<CertObject> ParseCertificate(std::span<const BYTE> der, DWORD& err) {
    auto obj = ParseWithDer(der, err);
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
            return CopyOut(obj->Sha1(), pvData, pcbData);
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
