// Conformance of certificate contexts, their properties and certificate stores:
// parsed fields, size-then-data properties, add dispositions, the registry
// layout of system stores and the texts of names. The same expectations hold on
// Windows and on the POSIX stand-in; Wine differences are marked where met.
// System-store tests use a store of their own, named per run, and remove it.
#include "foundation/Handles.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"
#include "tests/winapi/WinApiTestHelpers.h"

#include <wincrypt.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

using orvane::tests::DeleteRegTree;
using orvane::tests::Hex;

Bytes ToBytes(const BYTE* p, DWORD n) {
    return Bytes(p, p + n);
}

ULONGLONG Ticks(const FILETIME& ft) {
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FromTicks(ULONGLONG t) {
    return FILETIME{DWORD(t), DWORD(t >> 32)};
}

PCCERT_CONTEXT Create(const TestCertificate& c) {
    return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, c.data, c.size);
}

Bytes Sha1(PCCERT_CONTEXT c) {
    BYTE hash[20];
    DWORD cb = sizeof hash;
    if (!CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &cb))
        return {};
    return Bytes(hash, hash + cb);
}

// Thumbprints of the embedded certificates (openssl x509 -fingerprint -sha1).
const char kCaSha1[] = "A34070544429B32286F9EC683D4EA0AEA2914742";
const char kRsaSha1[] = "0C94BA554DE8C520AAA28A16E294E08C4F01E93E";
const char kEcSha1[] = "3555720ACBF7C9AA9B8AF02A8A4916D72AD42025";
const char kOddSha1[] = "7931785C93402A7691CBEAF551407E755EF938F5";
const char kExpiredSha1[] = "D2C44086D4FF70378DA85AAB9160DFF292E0C67E";

std::multiset<Bytes> Thumbprints(HCERTSTORE store) {
    std::multiset<Bytes> out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr)
        out.insert(Sha1(c));
    return out;
}

BOOL Add(HCERTSTORE store, const TestCertificate& c, DWORD disposition,
         PCCERT_CONTEXT* added = nullptr) {
    return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, c.data, c.size, disposition,
                                            added);
}

BOOL Commit(HCERTSTORE store) {
    return CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

HCERTSTORE OpenMemoryStore() {
    return CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
}

// A store or key name of this run's own.
WString RunName() {
    return W("OrvaneTest") + orvane::tests::GuidText().substr(1, 8);
}

// --- contexts --------------------------------------------------------------------------

struct ParseCase {
    const char* name;
    const TestCertificate* cert;
    const char* sha1;
    const char* serialLsbFirst;
    const char* sigAlg;
    const char* keyAlg;
    DWORD extensions;
    bool selfSigned;
};

const ParseCase kParseCases[] = {
    {"ca", &kCaCertificate, kCaSha1, "01", "1.2.840.113549.1.1.11", "1.2.840.113549.1.1.1", 4,
     true},
    // The serial's top bit is set: its content has a leading zero, kept at the end.
    {"rsa", &kRsaCertificate, kRsaSha1, "8897A6B5C4D3E2F100", "1.2.840.113549.1.1.11",
     "1.2.840.113549.1.1.1", 3, false},
    {"ec", &kEcCertificate, kEcSha1, "0201", "1.2.840.10045.4.3.2", "1.2.840.10045.2.1", 3, true},
    {"odd", &kOddNameCertificate, kOddSha1, "7F", "1.2.840.10045.4.3.2", "1.2.840.10045.2.1", 3,
     true},
    {"expired", &kExpiredCertificate, kExpiredSha1, "10", "1.2.840.113549.1.1.11",
     "1.2.840.10045.2.1", 0, false},
};

TEST(CertContext, ParsesIntoTheSdkStructures) {
    for (const ParseCase& t : kParseCases) {
        SCOPED_TRACE(t.name);
        UniqueCertContext c(Create(*t.cert));
        ASSERT_NE(c.get(), nullptr) << std::hex << GetLastError();
        // The encoding type is kept as given, message encoding included.
        EXPECT_EQ(c->dwCertEncodingType, DWORD(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
        EXPECT_EQ(ToBytes(c->pbCertEncoded, c->cbCertEncoded), ToBytes(t.cert->data, t.cert->size));
        // A context of no store still names one: an empty store of the process.
        ASSERT_NE(c->hCertStore, nullptr);
        EXPECT_EQ(CertEnumCertificatesInStore(c->hCertStore, nullptr), nullptr);
        const CERT_INFO* info = c->pCertInfo;
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->dwVersion, DWORD(t.extensions != 0 ? CERT_V3 : CERT_V1));
        EXPECT_EQ(ToBytes(info->SerialNumber.pbData, info->SerialNumber.cbData),
                  Hex(t.serialLsbFirst));
        EXPECT_STREQ(info->SignatureAlgorithm.pszObjId, t.sigAlg);
        EXPECT_STREQ(info->SubjectPublicKeyInfo.Algorithm.pszObjId, t.keyAlg);
        EXPECT_EQ(info->SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
        EXPECT_EQ(info->cExtension, t.extensions);
        EXPECT_EQ(Sha1(c.get()), Hex(t.sha1));
        CERT_NAME_BLOB issuer = info->Issuer, subject = info->Subject;
        EXPECT_EQ(bool(CertCompareCertificateName(X509_ASN_ENCODING, &issuer, &subject)),
                  t.selfSigned);
        EXPECT_LT(Ticks(info->NotBefore), Ticks(info->NotAfter));
    }
}

TEST(CertContext, KeyAndValidityFields) {
    UniqueCertContext ec(Create(kEcCertificate));
    ASSERT_NE(ec.get(), nullptr);
    // An uncompressed P-256 point, the curve named in the parameters.
    const CRYPT_BIT_BLOB& key = ec->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    ASSERT_EQ(key.cbData, 65u);
    EXPECT_EQ(key.pbData[0], 0x04);
    const CRYPT_OBJID_BLOB& curve = ec->pCertInfo->SubjectPublicKeyInfo.Algorithm.Parameters;
    EXPECT_EQ(ToBytes(curve.pbData, curve.cbData), Hex("06082A8648CE3D030107"));

    UniqueCertContext rsa(Create(kRsaCertificate));
    ASSERT_NE(rsa.get(), nullptr);
    const CRYPT_OBJID_BLOB& nullParams = rsa->pCertInfo->SignatureAlgorithm.Parameters;
    EXPECT_EQ(ToBytes(nullParams.pbData, nullParams.cbData), Hex("0500"));
    // The issuer of the end entity is the CA's subject, byte for byte.
    UniqueCertContext ca(Create(kCaCertificate));
    ASSERT_NE(ca.get(), nullptr);
    EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, &rsa->pCertInfo->Issuer,
                                           &ca->pCertInfo->Subject));

    UniqueCertContext old(Create(kExpiredCertificate));
    ASSERT_NE(old.get(), nullptr);
    constexpr ULONGLONG k2020 = 132223104000000000ULL; // 2020-01-01 00:00:00 UTC
    constexpr ULONGLONG k2021 = 132539328000000000ULL; // 2021-01-01 00:00:00 UTC
    EXPECT_EQ(Ticks(old->pCertInfo->NotBefore), k2020);
    EXPECT_EQ(Ticks(old->pCertInfo->NotAfter), k2021);
}

TEST(CertContext, VerifyTimeValidity) {
    UniqueCertContext old(Create(kExpiredCertificate));
    UniqueCertContext ca(Create(kCaCertificate));
    ASSERT_NE(old.get(), nullptr);
    ASSERT_NE(ca.get(), nullptr);
    const ULONGLONG notBefore = Ticks(old->pCertInfo->NotBefore);
    const ULONGLONG notAfter = Ticks(old->pCertInfo->NotAfter);
    struct {
        ULONGLONG when;
        LONG expected;
    } cases[] = {
        {notBefore - 1, -1}, // a tick early
        {notBefore, 0},      // both ends are inside
        {notAfter, 0},
        {notAfter + 1, 1}, // a tick late
    };
    for (auto& t : cases) {
        FILETIME ft = FromTicks(t.when);
        EXPECT_EQ(CertVerifyTimeValidity(&ft, old->pCertInfo), t.expected) << t.when;
    }
    // Null means now: long expired, and the CA valid for twenty years.
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, old->pCertInfo), 1);
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, ca->pCertInfo), 0);
}

TEST(CertContext, FindsExtensions) {
    UniqueCertContext rsa(Create(kRsaCertificate));
    ASSERT_NE(rsa.get(), nullptr);
    const CERT_INFO* info = rsa->pCertInfo;
    PCERT_EXTENSION ku = CertFindExtension(szOID_KEY_USAGE, info->cExtension, info->rgExtension);
    ASSERT_NE(ku, nullptr);
    EXPECT_TRUE(ku->fCritical);
    // KeyUsage ::= BIT STRING { digitalSignature (0), keyEncipherment (2) }
    EXPECT_EQ(ToBytes(ku->Value.pbData, ku->Value.cbData), Hex("030205A0"));
    PCERT_EXTENSION ski =
        CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, info->cExtension, info->rgExtension);
    ASSERT_NE(ski, nullptr);
    EXPECT_FALSE(ski->fCritical);
    EXPECT_EQ(ToBytes(ski->Value.pbData, ski->Value.cbData),
              Hex("0414B0631A65945AE13279AD525E0C95580E913DD6A3"));
    // The end entity has no basic constraints.
    EXPECT_EQ(CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension, info->rgExtension),
              nullptr);

    UniqueCertContext ca(Create(kCaCertificate));
    ASSERT_NE(ca.get(), nullptr);
    PCERT_EXTENSION bc = CertFindExtension(szOID_BASIC_CONSTRAINTS2, ca->pCertInfo->cExtension,
                                           ca->pCertInfo->rgExtension);
    ASSERT_NE(bc, nullptr);
    EXPECT_TRUE(bc->fCritical);
    EXPECT_EQ(ToBytes(bc->Value.pbData, bc->Value.cbData), Hex("30030101FF"));
}

TEST(CertContext, RejectsMalformedInput) {
    const Bytes whole(kRsaCertificate.data, kRsaCertificate.data + kRsaCertificate.size);
    Bytes badTag = whole;
    badTag[0] = 0x31; // a SET where the certificate's SEQUENCE belongs
    Bytes badTbs = whole;
    badTbs[4] = 0x04; // the to-be-signed part is no SEQUENCE
    const struct {
        const char* name;
        Bytes data;
    } cases[] = {
        {"truncated to half", Bytes(whole.begin(), whole.begin() + whole.size() / 2)},
        {"header only", Bytes(whole.begin(), whole.begin() + 4)},
        {"outer tag", badTag},
        {"inner tag", badTbs},
        {"not DER at all", Hex("DEADBEEF")},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        SetLastError(0);
        PCCERT_CONTEXT c =
            CertCreateCertificateContext(X509_ASN_ENCODING, t.data.data(), DWORD(t.data.size()));
        EXPECT_EQ(c, nullptr);
        CertFreeCertificateContext(c);
        // Every refusal is one of the ASN.1 errors.
        EXPECT_EQ(GetLastError() & 0xFFFFFF00u, 0x80093100u) << std::hex << GetLastError();
    }
}

TEST(CertContext, DuplicateSharesTheContext) {
    UniqueCertContext c(Create(kEcCertificate));
    ASSERT_NE(c.get(), nullptr);
    UniqueCertContext dup(CertDuplicateCertificateContext(c.get()));
    EXPECT_EQ(dup.get(), c.get());
    c.reset();
    // The duplicate's reference keeps the context whole.
    EXPECT_EQ(Sha1(dup.get()), Hex(kEcSha1));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

// --- properties ------------------------------------------------------------------------

TEST(CertProperty, HashIsSizeThenData) {
    UniqueCertContext c(Create(kCaCertificate));
    ASSERT_NE(c.get(), nullptr);
    for (DWORD id : {DWORD(CERT_SHA1_HASH_PROP_ID), DWORD(CERT_HASH_PROP_ID)}) {
        DWORD cb = 0;
        ASSERT_TRUE(CertGetCertificateContextProperty(c.get(), id, nullptr, &cb));
        EXPECT_EQ(cb, 20u);
        BYTE small[10];
        cb = sizeof small;
        SetLastError(0);
        EXPECT_FALSE(CertGetCertificateContextProperty(c.get(), id, small, &cb));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
        EXPECT_EQ(cb, 20u);
        BYTE big[32] = {};
        cb = sizeof big;
        ASSERT_TRUE(CertGetCertificateContextProperty(c.get(), id, big, &cb));
        EXPECT_EQ(cb, 20u);
        EXPECT_EQ(Bytes(big, big + 20), Hex(kCaSha1));
    }
}

TEST(CertProperty, MissingIsNotFound) {
    UniqueCertContext c(Create(kCaCertificate));
    ASSERT_NE(c.get(), nullptr);
    for (DWORD id : {DWORD(CERT_KEY_PROV_INFO_PROP_ID), DWORD(CERT_FRIENDLY_NAME_PROP_ID)}) {
        DWORD cb = 0;
        SetLastError(0);
        EXPECT_FALSE(CertGetCertificateContextProperty(c.get(), id, nullptr, &cb)) << id;
        EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND)) << id;
    }
}

TEST(CertProperty, FriendlyNameSetGetRemove) {
    UniqueCertContext c(Create(kEcCertificate));
    ASSERT_NE(c.get(), nullptr);
    const WString name = W("Token key");
    CRYPT_DATA_BLOB blob{DWORD((name.size() + 1) * sizeof(WCHAR)),
                         reinterpret_cast<BYTE*>(const_cast<WCHAR*>(name.c_str()))};
    ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    WCHAR out[32] = {};
    DWORD cb = sizeof out;
    ASSERT_TRUE(CertGetCertificateContextProperty(c.get(), CERT_FRIENDLY_NAME_PROP_ID, out, &cb));
    EXPECT_EQ(cb, blob.cbData);
    EXPECT_EQ(U8(out), "Token key");
    ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, nullptr));
    SetLastError(0);
    EXPECT_FALSE(
        CertGetCertificateContextProperty(c.get(), CERT_FRIENDLY_NAME_PROP_ID, nullptr, &cb));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));
}

// KeyProvInfoFor: a link with one provider parameter, to see every pointer moved.
struct KeyLink {
    WString container = W("orvane-test-container");
    WString provider = W("Microsoft Enhanced Cryptographic Provider v1.0");
    BYTE paramData[3] = {1, 2, 3};
    CRYPT_KEY_PROV_PARAM param{};
    CRYPT_KEY_PROV_INFO info{};
    explicit KeyLink(bool withParam) {
        param = {0x99, paramData, sizeof paramData, 0};
        info.pwszContainerName = container.data();
        info.pwszProvName = provider.data();
        info.dwProvType = 1;
        info.dwFlags = 0;
        info.cProvParam = withParam ? 1 : 0;
        info.rgProvParam = withParam ? &param : nullptr;
        info.dwKeySpec = 2; // AT_SIGNATURE
    }
};

void ExpectKeyLink(PCCERT_CONTEXT c, const KeyLink& want) {
    DWORD cb = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb));
    ASSERT_GE(cb, DWORD(sizeof(CRYPT_KEY_PROV_INFO)));
    std::vector<BYTE> block(cb + 16, 0xCC);
    DWORD small = DWORD(sizeof(CRYPT_KEY_PROV_INFO));
    SetLastError(0);
    EXPECT_FALSE(
        CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &small));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(small, cb);
    DWORD got = DWORD(block.size());
    ASSERT_TRUE(
        CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &got));
    EXPECT_EQ(got, cb);
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
    const BYTE* lo = block.data();
    const BYTE* hi = block.data() + cb;
    auto inside = [&](const void* p) {
        return static_cast<const BYTE*>(p) >= lo && static_cast<const BYTE*>(p) < hi;
    };
    // One self-contained block: every pointer lands inside it.
    ASSERT_TRUE(inside(info->pwszContainerName));
    ASSERT_TRUE(inside(info->pwszProvName));
    EXPECT_EQ(U8(info->pwszContainerName), U8(want.container));
    EXPECT_EQ(U8(info->pwszProvName), U8(want.provider));
    EXPECT_EQ(info->dwProvType, want.info.dwProvType);
    EXPECT_EQ(info->dwKeySpec, want.info.dwKeySpec);
    ASSERT_EQ(info->cProvParam, want.info.cProvParam);
    if (info->cProvParam == 1) {
        ASSERT_TRUE(inside(info->rgProvParam));
        EXPECT_EQ(info->rgProvParam[0].dwParam, 0x99u);
        ASSERT_EQ(info->rgProvParam[0].cbData, 3u);
        ASSERT_TRUE(inside(info->rgProvParam[0].pbData));
        EXPECT_EQ(ToBytes(info->rgProvParam[0].pbData, 3), Bytes({1, 2, 3}));
    }
}

TEST(CertProperty, KeyProvInfoIsOneBlock) {
    UniqueCertContext c(Create(kRsaCertificate));
    ASSERT_NE(c.get(), nullptr);
    for (bool withParam : {false, true}) {
        SCOPED_TRACE(withParam ? "with parameter" : "plain");
        KeyLink link(withParam);
        ASSERT_TRUE(
            CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &link.info));
        ExpectKeyLink(c.get(), link);
    }
}

// --- memory and PKCS #7 stores --------------------------------------------------------

TEST(CertStoreMemory, Dispositions) {
    UniqueStore s(OpenMemoryStore());
    ASSERT_NE(s.get(), nullptr);
    PCCERT_CONTEXT first = nullptr;
    ASSERT_TRUE(Add(s.get(), kRsaCertificate, CERT_STORE_ADD_NEW, &first));
    UniqueCertContext firstGuard(first);
    EXPECT_EQ(first->hCertStore, s.get());

    // Adding it again as new is refused and hands nothing out.
    PCCERT_CONTEXT again = nullptr;
    SetLastError(0);
    EXPECT_FALSE(Add(s.get(), kRsaCertificate, CERT_STORE_ADD_NEW, &again));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_EXISTS));
    EXPECT_EQ(again, nullptr);

    // Use-existing hands out the context already there.
    ASSERT_TRUE(Add(s.get(), kRsaCertificate, CERT_STORE_ADD_USE_EXISTING, &again));
    UniqueCertContext againGuard(again);
    EXPECT_EQ(again, first);
    EXPECT_EQ(Thumbprints(s.get()).size(), 1u);

    ASSERT_TRUE(Add(s.get(), kRsaCertificate, CERT_STORE_ADD_REPLACE_EXISTING));
    EXPECT_EQ(Thumbprints(s.get()).size(), 1u);
    // Always adds a second copy.
    ASSERT_TRUE(Add(s.get(), kRsaCertificate, CERT_STORE_ADD_ALWAYS));
    EXPECT_EQ(Thumbprints(s.get()), (std::multiset<Bytes>{Hex(kRsaSha1), Hex(kRsaSha1)}));
    ASSERT_TRUE(Add(s.get(), kEcCertificate, CERT_STORE_ADD_NEW));
    EXPECT_EQ(Thumbprints(s.get()).count(Hex(kEcSha1)), 1u);

    // A bad certificate adds nothing.
    const BYTE junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_FALSE(CertAddEncodedCertificateToStore(s.get(), X509_ASN_ENCODING, junk, sizeof junk,
                                                  CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(Thumbprints(s.get()).size(), 3u);
}

TEST(CertStoreMemory, ContextAddCarriesPropertiesAndDeleteFrees) {
    UniqueStore s(OpenMemoryStore());
    ASSERT_NE(s.get(), nullptr);
    UniqueCertContext src(Create(kEcCertificate));
    ASSERT_NE(src.get(), nullptr);
    KeyLink link(false);
    ASSERT_TRUE(
        CertSetCertificateContextProperty(src.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &link.info));
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(s.get(), src.get(), CERT_STORE_ADD_NEW, &added));
    UniqueCertContext addedGuard(added);
    EXPECT_NE(added, src.get()); // the store keeps a copy of its own
    EXPECT_EQ(added->hCertStore, s.get());
    ExpectKeyLink(added, link);

    // Enumeration frees the previous context and ends with CRYPT_E_NOT_FOUND.
    PCCERT_CONTEXT e = CertEnumCertificatesInStore(s.get(), nullptr);
    ASSERT_NE(e, nullptr);
    SetLastError(0);
    EXPECT_EQ(CertEnumCertificatesInStore(s.get(), e), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_NOT_FOUND));

    // Deleting consumes the caller's reference (taken here by duplicating).
    ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(added)));
    EXPECT_TRUE(Thumbprints(s.get()).empty());
    // The context handed out earlier stays usable, also after the store closes.
    s.reset();
    EXPECT_EQ(Sha1(added), Hex(kEcSha1));
}

bool HasProperty(PCCERT_CONTEXT c, DWORD id) {
    DWORD cb = 0;
    return CertGetCertificateContextProperty(c, id, nullptr, &cb) != FALSE;
}

TEST(CertStoreMemory, InheritingReplaceAndNewer) {
    UniqueStore s(OpenMemoryStore());
    ASSERT_NE(s.get(), nullptr);
    const WString name = W("first");
    CRYPT_DATA_BLOB friendly{DWORD((name.size() + 1) * sizeof(WCHAR)),
                             reinterpret_cast<BYTE*>(const_cast<WCHAR*>(name.c_str()))};
    UniqueCertContext named(Create(kEcCertificate));
    ASSERT_TRUE(
        CertSetCertificateContextProperty(named.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &friendly));
    ASSERT_TRUE(
        CertAddCertificateContextToStore(s.get(), named.get(), CERT_STORE_ADD_NEW, nullptr));

    // Inheriting: the replacement keeps the old context's properties beside its own.
    KeyLink link(false);
    UniqueCertContext linked(Create(kEcCertificate));
    ASSERT_TRUE(
        CertSetCertificateContextProperty(linked.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &link.info));
    PCCERT_CONTEXT out = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(
        s.get(), linked.get(), CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, &out));
    UniqueCertContext outGuard(out);
    EXPECT_TRUE(HasProperty(out, CERT_FRIENDLY_NAME_PROP_ID));
    EXPECT_TRUE(HasProperty(out, CERT_KEY_PROV_INFO_PROP_ID));

    // A plain replace drops them.
    UniqueCertContext plain(Create(kEcCertificate));
    PCCERT_CONTEXT replaced = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(s.get(), plain.get(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &replaced));
    UniqueCertContext replacedGuard(replaced);
    EXPECT_FALSE(HasProperty(replaced, CERT_FRIENDLY_NAME_PROP_ID));
    EXPECT_FALSE(HasProperty(replaced, CERT_KEY_PROV_INFO_PROP_ID));

    // The same certificate is never newer than itself.
    for (DWORD newer :
         {DWORD(CERT_STORE_ADD_NEWER), DWORD(CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)}) {
        SetLastError(0);
        EXPECT_FALSE(CertAddCertificateContextToStore(s.get(), plain.get(), newer, nullptr))
            << newer;
        EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_EXISTS)) << newer;
    }
    EXPECT_EQ(Thumbprints(s.get()).size(), 1u);
}

TEST(CertStoreMemory, CloseCheckReportsHeldContexts) {
    HCERTSTORE s = OpenMemoryStore();
    ASSERT_NE(s, nullptr);
    PCCERT_CONTEXT held = nullptr;
    ASSERT_TRUE(Add(s, kCaCertificate, CERT_STORE_ADD_NEW, &held));
    UniqueCertContext heldGuard(held);
    SetLastError(0);
    EXPECT_FALSE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_PENDING_CLOSE));
    EXPECT_EQ(Sha1(held), Hex(kCaSha1)); // closed, but kept for the context

    HCERTSTORE idle = OpenMemoryStore();
    ASSERT_NE(idle, nullptr);
    EXPECT_TRUE(CertCloseStore(idle, CERT_CLOSE_STORE_CHECK_FLAG));
}

// Memory stores have nothing to commit or resync, and say so; system stores
// accept both.
TEST(CertStoreMemory, ControlIsNotImplemented) {
    UniqueStore s(OpenMemoryStore());
    ASSERT_NE(s.get(), nullptr);
    for (DWORD ctrl : {DWORD(CERT_STORE_CTRL_COMMIT), DWORD(CERT_STORE_CTRL_RESYNC)}) {
        SetLastError(0);
        EXPECT_FALSE(CertControlStore(s.get(), 0, ctrl, nullptr)) << ctrl;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED)) << ctrl;
    }
}

TEST(CertStorePkcs7, ReadsTheCertificates) {
    CRYPT_DATA_BLOB blob{kChainPkcs7.size, const_cast<BYTE*>(kChainPkcs7.data)};
    UniqueStore s(
        CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &blob));
    ASSERT_NE(s.get(), nullptr) << std::hex << GetLastError();
    EXPECT_EQ(Thumbprints(s.get()), (std::multiset<Bytes>{Hex(kCaSha1), Hex(kExpiredSha1)}));
    // The store is a memory store filled from the message: it takes additions.
    ASSERT_TRUE(Add(s.get(), kEcCertificate, CERT_STORE_ADD_NEW));
    EXPECT_EQ(Thumbprints(s.get()).size(), 3u);

    // A certificate is no SignedData.
    CRYPT_DATA_BLOB cert{kCaCertificate.size, const_cast<BYTE*>(kCaCertificate.data)};
    HCERTSTORE bad =
        CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &cert);
    EXPECT_EQ(bad, nullptr);
    CertCloseStore(bad, 0);
}

// --- system stores ---------------------------------------------------------------------

// A system store of this run's own; removed before and after each test.
class CertSystemStore : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = RunName();
        key_ = W("Software\\Microsoft\\SystemCertificates\\") + name_;
        DeleteRegTree(HKEY_CURRENT_USER, key_);
    }
    void TearDown() override { DeleteRegTree(HKEY_CURRENT_USER, key_); }

    HCERTSTORE Open(DWORD extra = 0) {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | extra,
                             name_.c_str());
    }
    WString CertKey(const char* sha1) const { return key_ + W("\\Certificates\\") + W(sha1); }
    // ReadBlob: the Blob of a stored certificate, empty when there is none.
    Bytes ReadBlob(const char* sha1) const {
        UniqueRegKey k;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, CertKey(sha1).c_str(), 0, KEY_READ, k.put()) !=
            ERROR_SUCCESS)
            return {};
        DWORD type = 0, cb = 0;
        if (RegQueryValueExW(k.get(), W("Blob").c_str(), nullptr, &type, nullptr, &cb) !=
                ERROR_SUCCESS ||
            type != REG_BINARY)
            return {};
        Bytes out(cb);
        RegQueryValueExW(k.get(), W("Blob").c_str(), nullptr, &type, out.data(), &cb);
        return out;
    }
    void WriteBlob(const char* sha1, const Bytes& blob) const {
        UniqueRegKey k;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, CertKey(sha1).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k.get(), W("Blob").c_str(), 0, REG_BINARY, blob.data(),
                                 DWORD(blob.size())),
                  ERROR_SUCCESS);
    }

    WString name_;
    WString key_;
};

// The record of a serialized element that holds the encoded certificate.
constexpr DWORD kCertRecord = 32;

DWORD ReadDword(const Bytes& b, size_t at) {
    return DWORD(b[at]) | DWORD(b[at + 1]) << 8 | DWORD(b[at + 2]) << 16 | DWORD(b[at + 3]) << 24;
}

void PutDword(Bytes& b, DWORD v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(BYTE(v >> (8 * i)));
}

// Records: a Blob's property records by id (each must be well formed).
std::map<DWORD, Bytes> Records(const Bytes& blob) {
    std::map<DWORD, Bytes> out;
    size_t at = 0;
    while (at + 12 <= blob.size()) {
        const DWORD id = ReadDword(blob, at), reserved = ReadDword(blob, at + 4),
                    cb = ReadDword(blob, at + 8);
        EXPECT_EQ(reserved, 1u) << "record " << id;
        if (blob.size() - at - 12 < cb)
            break;
        out[id] = Bytes(blob.begin() + long(at) + 12, blob.begin() + long(at + 12 + cb));
        at += 12 + cb;
    }
    EXPECT_EQ(at, blob.size()) << "the records cover the Blob exactly";
    return out;
}

Bytes Record(DWORD id, const Bytes& value) {
    Bytes out;
    PutDword(out, id);
    PutDword(out, 1);
    PutDword(out, DWORD(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes CertBytes(const TestCertificate& c) {
    return Bytes(c.data, c.data + c.size);
}

TEST_F(CertSystemStore, AddWritesTheRegistryLayout) {
    UniqueStore s(Open());
    ASSERT_NE(s.get(), nullptr) << std::hex << GetLastError();
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(Add(s.get(), kRsaCertificate, CERT_STORE_ADD_NEW, &added));
    UniqueCertContext addedGuard(added);
    EXPECT_EQ(added->hCertStore, s.get());
    // Wine writes a system store's additions when the last context goes or on
    // commit; Windows at once. Commit is harmless there.
    ASSERT_TRUE(Commit(s.get()));
    const Bytes blob = ReadBlob(kRsaSha1);
    ASSERT_FALSE(blob.empty()) << "no Blob under the certificate's thumbprint";
    const auto records = Records(blob);
    ASSERT_EQ(records.count(kCertRecord), 1u);
    EXPECT_EQ(records.at(kCertRecord), CertBytes(kRsaCertificate));
    // Other records are properties; a hash record, if written, is the right one
    // (Wine writes the SHA-1 hash, and a key-context record (5) once it has a key).
    if (records.count(CERT_SHA1_HASH_PROP_ID) != 0) {
        EXPECT_EQ(records.at(CERT_SHA1_HASH_PROP_ID), Hex(kRsaSha1));
    }

    // Another handle on the store sees it.
    UniqueStore other(Open());
    ASSERT_NE(other.get(), nullptr);
    EXPECT_EQ(Thumbprints(other.get()), (std::multiset<Bytes>{Hex(kRsaSha1)}));
}

TEST_F(CertSystemStore, KeyLinkIsPersistedInItsSerializedForm) {
    KeyLink link(false);
    {
        UniqueStore s(Open());
        ASSERT_NE(s.get(), nullptr);
        PCCERT_CONTEXT added = nullptr;
        ASSERT_TRUE(Add(s.get(), kEcCertificate, CERT_STORE_ADD_NEW, &added));
        UniqueCertContext addedGuard(added);
        ASSERT_TRUE(
            CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &link.info));
        ASSERT_TRUE(Commit(s.get()));
    }
    const auto records = Records(ReadBlob(kEcSha1));
    ASSERT_EQ(records.count(CERT_KEY_PROV_INFO_PROP_ID), 1u);
    const Bytes& v = records.at(CERT_KEY_PROV_INFO_PROP_ID);
    // The structure with offsets for pointers, the container name right after it.
    ASSERT_GE(v.size(), 28u);
    const DWORD offContainer = ReadDword(v, 0), offProvider = ReadDword(v, 4);
    EXPECT_EQ(offContainer, 28u);
    EXPECT_EQ(offProvider, 28u + (link.container.size() + 1) * 2);
    EXPECT_EQ(ReadDword(v, 8), 1u);  // dwProvType
    EXPECT_EQ(ReadDword(v, 16), 0u); // cProvParam
    EXPECT_EQ(ReadDword(v, 24), 2u); // dwKeySpec
    ASSERT_GE(v.size(), offProvider + (link.provider.size() + 1) * 2);
    WString container, provider;
    for (size_t i = offContainer; v[i] != 0 || v[i + 1] != 0; i += 2)
        container.push_back(WCHAR(v[i] | v[i + 1] << 8));
    for (size_t i = offProvider; v[i] != 0 || v[i + 1] != 0; i += 2)
        provider.push_back(WCHAR(v[i] | v[i + 1] << 8));
    EXPECT_EQ(U8(container), U8(link.container));
    EXPECT_EQ(U8(provider), U8(link.provider));

    // A fresh handle reads the link back.
    UniqueStore s(Open());
    ASSERT_NE(s.get(), nullptr);
    UniqueCertContext found(CertEnumCertificatesInStore(s.get(), nullptr));
    ASSERT_NE(found.get(), nullptr);
    ExpectKeyLink(found.get(), link);
}

TEST_F(CertSystemStore, Dispositions) {
    UniqueStore s(Open());
    ASSERT_NE(s.get(), nullptr);
    ASSERT_TRUE(Add(s.get(), kCaCertificate, CERT_STORE_ADD_NEW));
    ASSERT_TRUE(Commit(s.get()));
    SetLastError(0);
    EXPECT_FALSE(Add(s.get(), kCaCertificate, CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_EXISTS));
    PCCERT_CONTEXT existing = nullptr;
    ASSERT_TRUE(Add(s.get(), kCaCertificate, CERT_STORE_ADD_USE_EXISTING, &existing));
    UniqueCertContext existingGuard(existing);
    EXPECT_EQ(Sha1(existing), Hex(kCaSha1));
    for (int round = 0; round < 2; ++round) {
        // Wine drops the certificate on the second replace of a session unless
        // each change is committed; Windows keeps it either way.
        ASSERT_TRUE(Add(s.get(), kCaCertificate, CERT_STORE_ADD_REPLACE_EXISTING));
        ASSERT_TRUE(Commit(s.get()));
    }
    EXPECT_EQ(Thumbprints(s.get()), (std::multiset<Bytes>{Hex(kCaSha1)}));
    UniqueStore other(Open());
    EXPECT_EQ(Thumbprints(other.get()), (std::multiset<Bytes>{Hex(kCaSha1)}));
}

TEST_F(CertSystemStore, DeleteRemovesTheKey) {
    {
        UniqueStore s(Open());
        ASSERT_NE(s.get(), nullptr);
        for (const TestCertificate* c : {&kRsaCertificate, &kEcCertificate})
            ASSERT_TRUE(Add(s.get(), *c, CERT_STORE_ADD_NEW));
        ASSERT_TRUE(Commit(s.get()));
    }
    {
        UniqueStore s(Open());
        ASSERT_NE(s.get(), nullptr);
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(s.get(), c)) != nullptr) {
            if (Sha1(c) == Hex(kRsaSha1)) {
                ASSERT_TRUE(CertDeleteCertificateFromStore(c)); // frees c
                break;
            }
        }
        // Wine forgets deletes through a system store without a commit.
        ASSERT_TRUE(Commit(s.get()));
        EXPECT_EQ(Thumbprints(s.get()), (std::multiset<Bytes>{Hex(kEcSha1)}));
    }
    EXPECT_TRUE(ReadBlob(kRsaSha1).empty());
    EXPECT_FALSE(ReadBlob(kEcSha1).empty());
    UniqueStore s(Open());
    EXPECT_EQ(Thumbprints(s.get()), (std::multiset<Bytes>{Hex(kEcSha1)}));
}

TEST_F(CertSystemStore, ReadsBlobsWrittenByOthers) {
    // Written straight into the registry, as an installer would: one plain
    // element, one with records before the certificate (its hash, a key
    // context as Wine writes one, a friendly name), and one malformed, which
    // must be skipped.
    ASSERT_NO_FATAL_FAILURE(WriteBlob(kCaSha1, Record(kCertRecord, CertBytes(kCaCertificate))));
    const WString friendly = W("Old one");
    const BYTE* fp = reinterpret_cast<const BYTE*>(friendly.c_str());
    Bytes extra = Record(CERT_SHA1_HASH_PROP_ID, Hex(kExpiredSha1));
    for (const Bytes& r :
         {Record(CERT_KEY_CONTEXT_PROP_ID, Bytes(16, 0)),
          Record(CERT_FRIENDLY_NAME_PROP_ID, Bytes(fp, fp + (friendly.size() + 1) * sizeof(WCHAR))),
          Record(kCertRecord, CertBytes(kExpiredCertificate))})
        extra.insert(extra.end(), r.begin(), r.end());
    ASSERT_NO_FATAL_FAILURE(WriteBlob(kExpiredSha1, extra));
    Bytes broken = Record(kCertRecord, CertBytes(kEcCertificate));
    broken[8] = 0xFF; // the length runs far past the value
    ASSERT_NO_FATAL_FAILURE(WriteBlob(kEcSha1, broken));

    UniqueStore s(Open());
    ASSERT_NE(s.get(), nullptr);
    EXPECT_EQ(Thumbprints(s.get()), (std::multiset<Bytes>{Hex(kCaSha1), Hex(kExpiredSha1)}));
    // The friendly name came along with its certificate.
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(s.get(), c)) != nullptr) {
        if (Sha1(c) != Hex(kExpiredSha1))
            continue;
        WCHAR name[32] = {};
        DWORD cb = sizeof name;
        EXPECT_TRUE(CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, name, &cb));
        EXPECT_EQ(U8(name), "Old one");
    }
}

TEST_F(CertSystemStore, OpenExistingAndUnknownProvider) {
    SetLastError(0);
    EXPECT_EQ(Open(CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    UniqueStore created(Open());
    ASSERT_NE(created.get(), nullptr);
    UniqueStore existing(Open(CERT_STORE_OPEN_EXISTING_FLAG));
    EXPECT_NE(existing.get(), nullptr);
    // The A form names the same store.
    const std::string narrow = U8(name_);
    UniqueStore ansi(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG,
                                   narrow.c_str()));
    EXPECT_NE(ansi.get(), nullptr);
}

// The machine's stores live the same way under HKEY_LOCAL_MACHINE. Changing
// them takes an administrator (root on POSIX); Wine has no such rule.
TEST(CertMachineStore, AddWritesTheRegistryLayout) {
    const WString name = RunName();
    const WString key = W("SOFTWARE\\Microsoft\\SystemCertificates\\") + name;
    UniqueStore s(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                name.c_str()));
    if (s.get() == nullptr && GetLastError() == ERROR_ACCESS_DENIED && !RunningUnderWine())
        GTEST_SKIP() << "changing the machine's stores takes an administrator";
    ASSERT_NE(s.get(), nullptr) << std::hex << GetLastError();
    ASSERT_TRUE(Add(s.get(), kCaCertificate, CERT_STORE_ADD_NEW));
    ASSERT_TRUE(Commit(s.get()));
    UniqueRegKey k;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (key + W("\\Certificates\\") + W(kCaSha1)).c_str(),
                            0, KEY_READ, k.put()),
              ERROR_SUCCESS);
    DWORD type = 0, cb = 0;
    EXPECT_EQ(RegQueryValueExW(k.get(), W("Blob").c_str(), nullptr, &type, nullptr, &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_BINARY));
    EXPECT_GT(cb, kCaCertificate.size);
    s.reset();
    DeleteRegTree(HKEY_LOCAL_MACHINE, key);
}

// --- names -----------------------------------------------------------------------------

struct NameCase {
    const char* what;
    const TestCertificate* cert;
    DWORD strType;
    const char* expected; // UTF-8
    const char* onWine;   // when Wine differs, else null
};

const NameCase kNameCases[] = {
    {"x500", &kRsaCertificate, CERT_X500_NAME_STR,
     "C=CN, S=Beijing, L=Haidian, O=Orvane, OU=Enrolment, CN=Alice RSA, E=alice@example.com",
     nullptr},
    {"x500 reversed", &kRsaCertificate, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG,
     "E=alice@example.com, CN=Alice RSA, OU=Enrolment, O=Orvane, L=Haidian, S=Beijing, C=CN",
     nullptr},
    {"simple", &kRsaCertificate, CERT_SIMPLE_NAME_STR,
     "CN, Beijing, Haidian, Orvane, Enrolment, Alice RSA, alice@example.com", nullptr},
    {"semicolons", &kEcCertificate, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG,
     "O=Orvane; OU=Tokens", nullptr},
    {"oids", &kEcCertificate, CERT_OID_NAME_STR, "2.5.4.10=Orvane, 2.5.4.11=Tokens", nullptr},
    // Quoting: a comma, a doubled quote, spaces at the ends, '#' and ';'; the
    // two-valued RDN joined by " + "; an attribute without abbreviation by OID.
    // Wine writes an attribute without abbreviation by its bare identifier, no "OID.".
    {"quoted", &kOddNameCertificate, CERT_X500_NAME_STR,
     "C=CN, O=\"Orvane, Ltd.\", OU=R&D + CN=\"Zh\xC4\x81ng \"\"Q\"\" San\", "
     "L=\" Lead and trail \", S=\"#hash;semi\", OID.1.3.6.1.4.1.311.60.2.1.3=CN",
     "C=CN, O=\"Orvane, Ltd.\", OU=R&D + CN=\"Zh\xC4\x81ng \"\"Q\"\" San\", "
     "L=\" Lead and trail \", S=\"#hash;semi\", 1.3.6.1.4.1.311.60.2.1.3=CN"},
    {"no quoting", &kOddNameCertificate, CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG,
     "C=CN, O=Orvane, Ltd., OU=R&D + CN=Zh\xC4\x81ng \"Q\" San, L= Lead and trail , "
     "S=#hash;semi, OID.1.3.6.1.4.1.311.60.2.1.3=CN",
     // Wine also ignores the flag and quotes as usual.
     "C=CN, O=\"Orvane, Ltd.\", OU=R&D + CN=\"Zh\xC4\x81ng \"\"Q\"\" San\", "
     "L=\" Lead and trail \", S=\"#hash;semi\", 1.3.6.1.4.1.311.60.2.1.3=CN"},
};

TEST(CertName, ToStr) {
    for (const NameCase& t : kNameCases) {
        SCOPED_TRACE(t.what);
        UniqueCertContext c(Create(*t.cert));
        ASSERT_NE(c.get(), nullptr);
        CERT_NAME_BLOB* name = &c->pCertInfo->Subject;
        const std::string want = RunningUnderWine() && t.onWine != nullptr ? t.onWine : t.expected;
        const DWORD need = CertNameToStrW(X509_ASN_ENCODING, name, t.strType, nullptr, 0);
        const WString wantW = W(want.c_str());
        EXPECT_EQ(need, DWORD(wantW.size() + 1));
        std::vector<WCHAR> buf(need + 4, WCHAR('?'));
        EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, name, t.strType, buf.data(), DWORD(buf.size())),
                  need);
        EXPECT_EQ(U8(buf.data()), want);
    }
}

TEST(CertName, ToStrShortBuffer) {
    UniqueCertContext c(Create(kEcCertificate));
    ASSERT_NE(c.get(), nullptr);
    WCHAR buf[6];
    std::fill(std::begin(buf), std::end(buf), WCHAR('?'));
    // As much as fits, terminated, and the count written.
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &c->pCertInfo->Subject, CERT_X500_NAME_STR, buf, 5),
              5u);
    EXPECT_EQ(U8(buf), "O=Or");
    EXPECT_EQ(buf[5], WCHAR('?'));
}

// The text made for a size query serves only a text query with the same
// name and format; a damaged name reads as an empty one.
TEST(CertName, SizeThenTextEachNameItsOwn) {
    UniqueCertContext rsa(Create(kRsaCertificate)), ec(Create(kEcCertificate));
    ASSERT_NE(rsa.get(), nullptr);
    ASSERT_NE(ec.get(), nullptr);
    auto text = [](CERT_NAME_BLOB* name, DWORD type) {
        WCHAR buf[256] = {};
        CertNameToStrW(X509_ASN_ENCODING, name, type, buf, 256);
        return U8(buf);
    };
    CERT_NAME_BLOB* a = &rsa.get()->pCertInfo->Subject;
    CERT_NAME_BLOB* b = &ec.get()->pCertInfo->Subject;
    const std::string aText = text(a, CERT_X500_NAME_STR);
    const std::string bText = text(b, CERT_X500_NAME_STR);
    const std::string aSimple = text(a, CERT_SIMPLE_NAME_STR);
    ASSERT_NE(aText, bText);
    ASSERT_NE(aText, aSimple);
    const struct {
        const char* what;
        CERT_NAME_BLOB* sized;
        DWORD sizedType;
        CERT_NAME_BLOB* read;
        DWORD readType;
        std::string expected;
    } cases[] = {
        {"same name", a, CERT_X500_NAME_STR, a, CERT_X500_NAME_STR, aText},
        {"another name", a, CERT_X500_NAME_STR, b, CERT_X500_NAME_STR, bText},
        {"another format", a, CERT_X500_NAME_STR, a, CERT_SIMPLE_NAME_STR, aSimple},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.what);
        CertNameToStrW(X509_ASN_ENCODING, t.sized, t.sizedType, nullptr, 0);
        EXPECT_EQ(text(t.read, t.readType), t.expected);
        EXPECT_EQ(text(t.read, t.readType), t.expected); // and again, without a size query
    }
    // A name whose first RDN is cut short.
    BYTE cut[] = {0x30, 0x0B, 0x31, 0x09, 0x30, 0x07, 0x06, 0x03, 0x55, 0x04};
    CERT_NAME_BLOB damaged{sizeof cut, cut};
    WCHAR buf[8] = {u'?', u'?'};
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &damaged, CERT_X500_NAME_STR, buf, 8), 1u);
    EXPECT_EQ(buf[0], WCHAR(0));
}

TEST(CertName, SimpleDisplay) {
    const struct {
        const char* what;
        const TestCertificate* cert;
        DWORD flags;
        const char* expected;
    } cases[] = {
        {"common name", &kRsaCertificate, 0, "Alice RSA"},
        {"issuer", &kRsaCertificate, CERT_NAME_ISSUER_FLAG, "Orvane Test CA"},
        {"no common name: the unit", &kEcCertificate, 0, "Tokens"},
        {"multi-valued RDN", &kOddNameCertificate, 0, "Zh\xC4\x81ng \"Q\" San"},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.what);
        UniqueCertContext c(Create(*t.cert));
        ASSERT_NE(c.get(), nullptr);
        const WString want = W(t.expected);
        EXPECT_EQ(CertGetNameStringW(c.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, t.flags, nullptr,
                                     nullptr, 0),
                  DWORD(want.size() + 1));
        WCHAR buf[64] = {};
        EXPECT_EQ(
            CertGetNameStringW(c.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, t.flags, nullptr, buf, 64),
            DWORD(want.size() + 1));
        EXPECT_EQ(U8(buf), t.expected);
    }
}

} // namespace
