// Helpers of the import tests on both targets: hexadecimal, a small DER
// writer, the issuer's envelope text, containers and the user's "MY" store.
#pragma once
#include "foundation/Encodings.h"
#include "foundation/Handles.h"
#include "enrolment/ImportHelpers.h"
#include "tests/support/TestSupport.h"

#include <objbase.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace importtest {

using Bytes = std::vector<BYTE>;

// Owned: a new[] array the code under test hands out, freed as the callers
// free it.
struct Owned {
    BYTE* pb = nullptr;
    DWORD cb = 0;
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { delete[] pb; }
    Bytes Get() const { return pb == nullptr ? Bytes() : Bytes(pb, pb + cb); }
};

inline Bytes Hex(const char* psz) {
    Bytes out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (size_t i = 0; psz[i] != 0 && psz[i + 1] != 0; i += 2)
        out.push_back(BYTE(nibble(psz[i]) << 4 | nibble(psz[i + 1])));
    return out;
}

inline Bytes Reversed(Bytes b) {
    return Bytes(b.rbegin(), b.rend());
}

inline Bytes Text(const char* psz) {
    return Bytes(psz, psz + std::string(psz).size());
}

// Der: tag, DER length (short or long form), content.
inline Bytes Der(BYTE tag, const Bytes& content) {
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(BYTE(n));
    } else {
        Bytes len;
        for (size_t v = n; v != 0; v >>= 8)
            len.insert(len.begin(), BYTE(v));
        out.push_back(BYTE(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// WrapKey: one key field's DER as the issuer writes it,
// SEQUENCE { INTEGER 0, OCTET STRING key }.
inline Bytes WrapKey(const Bytes& key) {
    return Der(0x30, Cat({Der(0x02, {0x00}), Der(0x04, key)}));
}

inline std::string Base64(const Bytes& data) {
    std::string out;
    if (FAILED(Base64EncodeEx(BASE64_FLAG_NOCRLF, &out, data.data(), DWORD(data.size()))))
        return {};
    return out;
}

inline WString Widen(const std::string& s) {
    return WString(s.begin(), s.end());
}

// NumberField: a number right-aligned with leading zeros in 16 characters.
inline WString NumberField(long long v) {
    std::string digits = std::to_string(v < 0 ? -v : v);
    std::string s = std::string(16 - digits.size() - (v < 0 ? 1 : 0), '0');
    return Widen((v < 0 ? "-" : "") + s + digits);
}

// KeyField: Base64 of the bytes broken by a comma after every nCommaEvery
// characters (0: none), ended by a comma, behind its length field.
inline WString KeyField(const Bytes& der, size_t nCommaEvery = 64) {
    if (der.empty())
        return NumberField(0);
    const std::string b64 = Base64(der);
    std::string text;
    for (size_t i = 0; i < b64.size(); ++i) {
        if (nCommaEvery != 0 && i != 0 && i % nCommaEvery == 0)
            text += ',';
        text += b64[i];
    }
    text += ',';
    return NumberField(static_cast<long long>(text.size())) + Widen(text);
}

// CommaText: Base64 with a comma after every 64 characters and at its end, as
// pages receive certificates from issuers.
inline WString CommaText(const Bytes& data) {
    return KeyField(data).substr(16);
}

// Envelope: the issuer's envelope text from the wrapped key fields.
inline WString Envelope(int nDevice, int nEncrypt, int nSessionType, const Bytes& sessionDer,
                        const Bytes& privateDer, size_t nCommaEvery = 64) {
    return NumberField(nDevice) + NumberField(nEncrypt) + NumberField(nSessionType) +
           KeyField(sessionDer, nCommaEvery) + KeyField(privateDer, nCommaEvery);
}

inline const WCHAR* const kEnhanced = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
inline const WCHAR* const kAes = TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider");

inline DWORD TypeOf(const WCHAR* pwszProvider) {
    return WString(pwszProvider).find(TEXT("AES")) != WString::npos ? PROV_RSA_AES : PROV_RSA_FULL;
}

// Container: a container name of its own per test, removed at the start and
// at the end.
class Container {
public:
    Container(const char* pszTag, const WCHAR* pwszProvider, DWORD dwType, DWORD dwDeleteFlags)
        : m_pwszProvider(pwszProvider), m_dwType(dwType), m_dwDelete(dwDeleteFlags) {
        GUID guid{};
        CoCreateGuid(&guid);
        char sz[64];
        snprintf(sz, sizeof sz, "orvane-import-%s-%08lx", pszTag,
                 static_cast<unsigned long>(guid.Data1));
        m_wstrName = W(sz);
        Remove();
    }
    ~Container() { Remove(); }
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;
    const WString& Name() const { return m_wstrName; }
    void Remove() {
        HCRYPTPROV h = 0;
        CryptAcquireContextW(&h, m_wstrName.c_str(), m_pwszProvider, m_dwType, m_dwDelete);
    }

private:
    WString m_wstrName;
    const WCHAR* m_pwszProvider;
    DWORD m_dwType, m_dwDelete;
};

// Containers: the names a provider lists.
inline std::set<std::string> Containers(const WCHAR* pwszProvider, DWORD dwType) {
    std::set<std::string> names;
    UniqueProvider prov;
    if (!CryptAcquireContextW(prov.put(), nullptr, pwszProvider, dwType, CRYPT_VERIFYCONTEXT))
        return names;
    char sz[1024];
    for (DWORD dwFlags = CRYPT_FIRST;; dwFlags = CRYPT_NEXT) {
        DWORD cb = sizeof sz;
        if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(sz), &cb,
                               dwFlags))
            break;
        names.insert(sz);
    }
    return names;
}

// GuidNamed: containers named like a GUID text ("{…}", 38 characters).
inline std::set<std::string> GuidNamed(const std::set<std::string>& names) {
    std::set<std::string> out;
    for (const std::string& n : names)
        if (n.size() == 38 && n.front() == '{' && n.back() == '}')
            out.insert(n);
    return out;
}

// ---- the user's "MY" store ---------------------------------------------------------------

inline UniqueStore OpenMy() {
    return UniqueStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
}

// MyEntries: the store's certificates whose encoding is cert.
inline std::vector<UniqueCertContext> MyEntries(HCERTSTORE hStore, const Bytes& cert) {
    std::vector<UniqueCertContext> out;
    PCCERT_CONTEXT p = nullptr;
    while ((p = CertEnumCertificatesInStore(hStore, p)) != nullptr)
        if (p->cbCertEncoded == cert.size() &&
            Bytes(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded) == cert)
            out.emplace_back(CertDuplicateCertificateContext(p));
    return out;
}

inline void RemoveFromMy(const Bytes& cert) {
    UniqueStore store = OpenMy();
    if (!store)
        return;
    for (UniqueCertContext& entry : MyEntries(store.get(), cert))
        if (!CertDeleteCertificateFromStore(entry.release())) // frees it
            ADD_FAILURE() << "CertDeleteCertificateFromStore " << std::hex << GetLastError();
    // Wine writes a registry store's deletions only when asked to.
    CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

struct KeyLink {
    std::string container, provider;
    DWORD dwType = 0, dwKeySpec = 0;
    bool found = false;
};

inline KeyLink LinkOf(PCCERT_CONTEXT p) {
    KeyLink link;
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb))
        return link;
    std::vector<BYTE> buffer(cb);
    if (!CertGetCertificateContextProperty(p, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &cb))
        return link;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    link.container = U8(info->pwszContainerName);
    link.provider = U8(info->pwszProvName);
    link.dwType = info->dwProvType;
    link.dwKeySpec = info->dwKeySpec;
    link.found = true;
    return link;
}

// DecryptWith: CryptDecrypt of a big-endian RSA ciphertext with the
// container's key of dwKeySpec.
inline Bytes DecryptWith(const WCHAR* pwszProvider, DWORD dwType, const WString& container,
                         DWORD dwKeySpec, const Bytes& cipherBigEndian) {
    UniqueProvider prov;
    UniqueKey key;
    if (!CryptAcquireContextW(prov.put(), container.c_str(), pwszProvider, dwType, 0) ||
        !CryptGetUserKey(prov.get(), dwKeySpec, key.put()))
        return {};
    Bytes data = Reversed(cipherBigEndian);
    DWORD cb = DWORD(data.size());
    if (!CryptDecrypt(key.get(), 0, TRUE, 0, data.data(), &cb))
        return {};
    data.resize(cb);
    return data;
}

// ExpectLinkedInMy: the certificate has exactly one entry in "MY", and it
// leads to the container's key of dwKeySpec.
inline void ExpectLinkedInMy(const Bytes& cert, const WCHAR* pwszProvider, DWORD dwType,
                             const WString& container, DWORD dwKeySpec) {
    UniqueStore store = OpenMy();
    ASSERT_TRUE(store);
    const std::vector<UniqueCertContext> entries = MyEntries(store.get(), cert);
    ASSERT_EQ(1u, entries.size());
    const KeyLink link = LinkOf(entries[0].get());
    EXPECT_TRUE(link.found);
    EXPECT_EQ(U8(container), link.container);
    EXPECT_EQ(U8(pwszProvider), link.provider);
    EXPECT_EQ(dwType, link.dwType);
    EXPECT_EQ(dwKeySpec, link.dwKeySpec);
}

} // namespace importtest
