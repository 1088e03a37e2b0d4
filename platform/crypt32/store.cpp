// Certificate stores: memory stores (and PKCS #7 stores, memory stores filled
// from a SignedData), and system stores kept in the registry as Windows keeps
// them: <hive>\Software\Microsoft\SystemCertificates\<store>\Certificates\<SHA-1>,
// value "Blob" holding the serialized element. A system store re-reads its key
// at the start of every enumeration, so changes by other processes show; parsed
// contexts are kept while their Blob is unchanged.

// OpenSSL comes before <wincrypt.h>, whose PKCS7_SIGNER_INFO macro would
// rewrite OpenSSL's type of that name.
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "crypt32/cert_internal.h"
#include "internal/util.h"
#include "storage/hive.h"

#include <winreg.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace orvane::crypt32 {

using platform::storage::HiveKind;
using platform::storage::HiveTxn;
using platform::storage::KeyId;

struct Store {
    enum class Kind { Memory, System };
    Kind kind = Kind::Memory;
    bool readOnly = false;
    std::atomic<long> refs{1}; // the handle, plus one per context handed out
    std::mutex mutex;
    // Memory stores: the contexts in the order they were added.
    std::vector<CertObject*> certs;
    // System stores: where they live and the contexts read last, by key name.
    HiveKind hive = HiveKind::CurrentUser;
    std::u16string path; // ...\<store>\Certificates
    struct Entry {
        std::vector<BYTE> blob;
        CertObject* obj = nullptr;
    };
    std::map<std::u16string, Entry> entries;
    // The hive as it was when entries were last brought up to it: while it
    // is unchanged, an enumeration reads nothing at all.
    bool synced = false;
    platform::storage::HiveStamp syncedAt;
};

namespace {

constexpr char16_t kValueName[] = u"Blob";

Store* ToStore(HCERTSTORE h) {
    return static_cast<Store*>(h);
}

void DestroyStore(Store* s) {
    for (CertObject* obj : s->certs)
        delete obj;
    for (auto& [name, e] : s->entries)
        delete e.obj;
    delete s;
}

void ReleaseStoreRef(Store* s) {
    if (s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        DestroyStore(s);
}

// HandOut: a reference to a context of s for the caller (s->mutex held).
PCCERT_CONTEXT HandOut(Store* s, CertObject* obj) {
    if (obj->refs.fetch_add(1, std::memory_order_acq_rel) == 0)
        s->refs.fetch_add(1, std::memory_order_relaxed);
    return &obj->ctx;
}

// Detach: obj leaves its store (s->mutex held); freed now if nobody holds it.
// References only ever reach 0 under the same lock, so the test is exact.
void Detach(CertObject* obj) {
    obj->inStore = false;
    if (obj->refs.load(std::memory_order_acquire) == 0)
        delete obj;
}

CertObject* Adopt(Store* s, std::unique_ptr<CertObject> obj) {
    obj->refs.store(0, std::memory_order_relaxed);
    obj->store = s;
    obj->inStore = true;
    obj->ctx.hCertStore = s;
    return obj.release();
}

std::u16string HexName(const std::vector<BYTE>& hash) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string s;
    s.reserve(hash.size() * 2);
    for (BYTE b : hash) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

// --- the registry side of system stores ----------------------------------------

DWORD FindPath(HiveTxn& txn, std::u16string_view path, KeyId& key) {
    key = platform::storage::kRootKey;
    for (const std::u16string& part : platform::SplitComponents(path, u'\\'))
        if (DWORD err = txn.FindChild(key, part, key); err != ERROR_SUCCESS)
            return err;
    return ERROR_SUCCESS;
}

DWORD CreatePath(HiveTxn& txn, std::u16string_view path, KeyId& key) {
    key = platform::storage::kRootKey;
    for (const std::u16string& part : platform::SplitComponents(path, u'\\')) {
        DWORD err = txn.FindChild(key, part, key);
        if (err == ERROR_FILE_NOT_FOUND)
            err = txn.CreateChild(key, part, key);
        if (err != ERROR_SUCCESS)
            return err;
    }
    return ERROR_SUCCESS;
}

// StoreError: registry refusals as CryptoAPI reports them for stores.
DWORD StoreError(DWORD err) {
    return err == ERROR_ACCESS_DENIED ? DWORD(E_ACCESSDENIED) : err;
}

// Resync: brings s->entries up to the registry (s->mutex held). The
// certificate keys are read with their Blobs in one query, in the order the
// keys enumerate; an entry whose Blob is unchanged keeps its parsed context.
// Keys without a Blob hold nothing yet and are left out; a Blob that does not
// read as a certificate is skipped, never fatal.
DWORD Resync(Store* s) {
    struct Read {
        std::u16string name;
        Store::Entry entry;
        bool kept = false; // taken over from s->entries (which holds it emptied)
    };
    std::vector<Read> read;
    bool unchanged = false;
    DWORD err = platform::storage::ReadHive(s->hive, [&](HiveTxn& txn) -> DWORD {
        platform::storage::HiveStamp stamp;
        if (DWORD e = txn.Stamp(stamp); e != ERROR_SUCCESS)
            return e;
        if (s->synced && stamp == s->syncedAt) {
            unchanged = true;
            return ERROR_SUCCESS;
        }
        KeyId certs = 0;
        DWORD e = FindPath(txn, s->path, certs);
        if (e == ERROR_SUCCESS)
            e = txn.ChildrenWithValue(
                certs, kValueName,
                [&](std::u16string_view name, DWORD type, std::span<const BYTE> blob) {
                    if (type != REG_BINARY)
                        return;
                    Read r;
                    r.name = name;
                    auto old = s->entries.find(r.name);
                    if (old != s->entries.end() && old->second.obj != nullptr &&
                        std::equal(old->second.blob.begin(), old->second.blob.end(), blob.begin(),
                                   blob.end())) {
                        r.entry = std::move(old->second);
                        old->second.obj = nullptr;
                        r.kept = true;
                        read.push_back(std::move(r));
                        return;
                    }
                    DWORD perr = ERROR_SUCCESS;
                    auto obj = ParseSerializedElement(blob, perr);
                    if (!obj)
                        return;
                    obj->keyName = r.name;
                    r.entry.blob.assign(blob.begin(), blob.end());
                    r.entry.obj = Adopt(s, std::move(obj));
                    read.push_back(std::move(r));
                });
        else if (e == ERROR_FILE_NOT_FOUND)
            e = ERROR_SUCCESS; // no such store yet: no certificates
        if (e == ERROR_SUCCESS) {
            s->synced = true;
            s->syncedAt = stamp;
        }
        return e;
    });
    if (err != ERROR_SUCCESS) {
        // The store stays as it was: kept entries go back, new ones go again.
        for (Read& r : read) {
            if (r.kept)
                s->entries[r.name] = std::move(r.entry);
            else
                Detach(r.entry.obj);
        }
        s->synced = false;
        return err;
    }
    if (unchanged)
        return ERROR_SUCCESS;
    for (auto& [name, e] : s->entries)
        if (e.obj != nullptr)
            Detach(e.obj);
    s->entries.clear();
    for (Read& r : read)
        s->entries.emplace_hint(s->entries.end(), std::move(r.name), std::move(r.entry));
    return ERROR_SUCCESS;
}

DWORD WriteBlob(const Store& s, const std::u16string& name, const std::vector<BYTE>& blob) {
    return platform::storage::WriteHive(s.hive, [&](HiveTxn& txn) -> DWORD {
        KeyId key = 0;
        if (DWORD err = CreatePath(txn, s.path + u"\\" + name, key); err != ERROR_SUCCESS)
            return err;
        return txn.SetValue(key, kValueName, REG_BINARY, blob);
    });
}

std::map<DWORD, std::vector<BYTE>> PersistedProps(CertObject* obj) {
    std::lock_guard<std::mutex> lock(obj->propMutex);
    std::map<DWORD, std::vector<BYTE>> props;
    for (const auto& [id, value] : obj->props)
        if (IsPersistedProperty(id))
            props.emplace(id, value);
    return props;
}

// --- adding ----------------------------------------------------------------------

// AddToMemory: the disposition rules over a memory store's list (s->mutex held).
DWORD AddToMemory(Store* s, std::unique_ptr<CertObject> obj, DWORD disposition,
                  PCCERT_CONTEXT* out) {
    auto same = std::find_if(s->certs.begin(), s->certs.end(),
                             [&](CertObject* c) { return c->encoded == obj->encoded; });
    if (same != s->certs.end() && disposition != CERT_STORE_ADD_ALWAYS) {
        switch (disposition) {
        case CERT_STORE_ADD_NEW:
            return DWORD(CRYPT_E_EXISTS);
        case CERT_STORE_ADD_USE_EXISTING:
            if (out != nullptr)
                *out = HandOut(s, *same);
            return ERROR_SUCCESS;
        default: { // replace: the new context takes the old one's place
            CertObject* old = *same;
            if (disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES) {
                std::lock_guard<std::mutex> lock(old->propMutex);
                for (const auto& [id, value] : old->props)
                    obj->props.emplace(id, value); // the new context's own win
            }
            *same = Adopt(s, std::move(obj));
            Detach(old);
            if (out != nullptr)
                *out = HandOut(s, *same);
            return ERROR_SUCCESS;
        }
        }
    }
    s->certs.push_back(Adopt(s, std::move(obj)));
    if (out != nullptr)
        *out = HandOut(s, s->certs.back());
    return ERROR_SUCCESS;
}

// AddToSystem: one registry transaction decides and writes (s->mutex held).
DWORD AddToSystem(Store* s, std::unique_ptr<CertObject> obj, DWORD disposition,
                  PCCERT_CONTEXT* out) {
    const std::u16string name = HexName(obj->Sha1());
    std::vector<BYTE> blob = WriteSerializedElement(obj->encoded, obj->props);
    std::vector<BYTE> existing;
    bool exists = false;
    DWORD err = orvane::platform::storage::WriteHive(s->hive, [&](HiveTxn& txn) -> DWORD {
        KeyId certs = 0, key = 0;
        if (DWORD e = CreatePath(txn, s->path, certs); e != ERROR_SUCCESS)
            return e;
        DWORD e = txn.FindChild(certs, name, key);
        if (e == ERROR_SUCCESS) {
            DWORD type = 0;
            size_t size = 0;
            exists = txn.GetValue(key, kValueName, type, size, &existing) == ERROR_SUCCESS &&
                     type == REG_BINARY;
        } else if (e == ERROR_FILE_NOT_FOUND) {
            if ((e = txn.CreateChild(certs, name, key)) != ERROR_SUCCESS)
                return e;
        } else {
            return e;
        }
        if (exists) {
            if (disposition == CERT_STORE_ADD_NEW)
                return DWORD(CRYPT_E_EXISTS);
            if (disposition == CERT_STORE_ADD_USE_EXISTING)
                return ERROR_SUCCESS;
            SerializedElement old;
            if (disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES &&
                ReadSerializedElement(existing, old)) {
                for (const auto& [id, value] : old.props)
                    obj->props.emplace(id, value); // the new context's own win
                blob = WriteSerializedElement(obj->encoded, obj->props);
            }
        }
        return txn.SetValue(key, kValueName, REG_BINARY, blob);
    });
    if (err != ERROR_SUCCESS)
        return StoreError(err);

    Store::Entry* entry = nullptr;
    auto it = s->entries.find(name);
    if (exists && disposition == CERT_STORE_ADD_USE_EXISTING) {
        if (it == s->entries.end() || it->second.blob != existing) {
            // Not read yet (or changed elsewhere): take the stored element.
            DWORD perr = ERROR_SUCCESS;
            std::unique_ptr<CertObject> stored = ParseSerializedElement(existing, perr);
            if (stored) {
                obj = std::move(stored);
                blob = std::move(existing);
            }
        } else {
            entry = &it->second;
        }
    }
    if (entry == nullptr) {
        if (it != s->entries.end()) {
            Detach(it->second.obj);
            s->entries.erase(it);
        }
        Store::Entry fresh;
        fresh.blob = std::move(blob);
        obj->keyName = name;
        fresh.obj = Adopt(s, std::move(obj));
        entry = &s->entries.emplace(name, std::move(fresh)).first->second;
    }
    if (out != nullptr)
        *out = HandOut(s, entry->obj);
    return ERROR_SUCCESS;
}

DWORD AddObject(Store* s, std::unique_ptr<CertObject> obj, DWORD disposition, PCCERT_CONTEXT* out) {
    if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
        return DWORD(E_INVALIDARG);
    if (s->readOnly)
        return DWORD(E_ACCESSDENIED);
    // "Newer" compares validity with the certificate already there, and an
    // identical certificate is never newer than itself.
    if (disposition == CERT_STORE_ADD_NEWER ||
        disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
        disposition = CERT_STORE_ADD_NEW;
    std::lock_guard<std::mutex> lock(s->mutex);
    return s->kind == Store::Kind::Memory ? AddToMemory(s, std::move(obj), disposition, out)
                                          : AddToSystem(s, std::move(obj), disposition, out);
}

// --- opening ----------------------------------------------------------------------

HCERTSTORE OpenSystem(std::u16string name, DWORD flags) {
    const DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    HiveKind hive;
    std::u16string root;
    if (location == CERT_SYSTEM_STORE_CURRENT_USER) {
        hive = HiveKind::CurrentUser;
        root = u"Software\\Microsoft\\SystemCertificates\\";
    } else if (location == CERT_SYSTEM_STORE_LOCAL_MACHINE) {
        hive = HiveKind::LocalMachine;
        root = u"SOFTWARE\\Microsoft\\SystemCertificates\\";
    } else {
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    if (name.empty() || name.find(u'\\') != std::u16string::npos) {
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    bool readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    if (!readOnly && !platform::storage::HiveWritable(hive)) {
        // As with the registry key itself: read access may be had for the asking.
        if (!(flags & CERT_STORE_MAXIMUM_ALLOWED_FLAG)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        readOnly = true;
    }
    auto s = std::make_unique<Store>();
    s->kind = Store::Kind::System;
    s->readOnly = readOnly;
    s->hive = hive;
    const std::u16string storeKey = root + name;
    s->path = storeKey + u"\\Certificates";
    DWORD err = ERROR_SUCCESS;
    if (flags & CERT_STORE_OPEN_EXISTING_FLAG) {
        err = platform::storage::ReadHive(hive, [&](HiveTxn& txn) {
            KeyId key = 0;
            return FindPath(txn, storeKey, key);
        });
    } else if (!readOnly) {
        // Opening a store creates it, as Windows does.
        err = orvane::platform::storage::WriteHive(hive, [&](HiveTxn& txn) {
            KeyId key = 0;
            return CreatePath(txn, s->path, key);
        });
    } else {
        // Nothing to create, but a hive that cannot be read fails the opening
        // rather than reading as a store without certificates.
        err = platform::storage::ReadHive(hive, [](HiveTxn&) { return DWORD(ERROR_SUCCESS); });
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return nullptr;
    }
    return s.release();
}

HCERTSTORE OpenPkcs7(const CRYPT_DATA_BLOB* data, DWORD flags) {
    if (data == nullptr || (data->pbData == nullptr && data->cbData != 0) ||
        data->cbData > 0x7fffffff) {
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    const unsigned char* p = data->pbData;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, long(data->cbData));
    if (p7 == nullptr || !PKCS7_type_is_signed(p7) || p7->d.sign == nullptr) {
        PKCS7_free(p7);
        ERR_clear_error(); // the reasons are ours, not the next caller's
        SetLastError(DWORD(CRYPT_E_ASN1_BADTAG));
        return nullptr;
    }
    auto s = std::make_unique<Store>();
    STACK_OF(X509)* certs = p7->d.sign->cert;
    for (int i = 0; certs != nullptr && i < sk_X509_num(certs); ++i) {
        unsigned char* der = nullptr;
        int len = i2d_X509(sk_X509_value(certs, i), &der);
        if (len <= 0)
            continue;
        DWORD err = ERROR_SUCCESS;
        auto obj = ParseCertificate({der, size_t(len)}, err);
        OPENSSL_free(der);
        if (obj)
            AddToMemory(s.get(), std::move(obj), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    PKCS7_free(p7);
    s->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    return s.release();
}

BOOL Fail(DWORD err) {
    SetLastError(err);
    return FALSE;
}

} // namespace

HCERTSTORE ProcessEmptyStore() {
    // One reference more than anyone can release: closing it leaves it alive.
    static Store* const empty = [] {
        auto* s = new Store();
        s->refs.store(2, std::memory_order_relaxed);
        return s;
    }();
    return empty;
}

void ObjectUnreferenced(CertObject* obj) {
    Store* s = obj->store;
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        last = obj->refs.fetch_sub(1, std::memory_order_acq_rel) == 1;
        if (last && !obj->inStore)
            delete obj;
    }
    if (last)
        ReleaseStoreRef(s);
}

DWORD PersistProperties(CertObject* obj) {
    Store* s = obj->store;
    if (s == nullptr || s->kind != Store::Kind::System)
        return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!obj->inStore)
        return ERROR_SUCCESS;
    if (s->readOnly)
        return DWORD(E_ACCESSDENIED);
    const std::u16string name = HexName(obj->Sha1());
    std::vector<BYTE> blob = WriteSerializedElement(obj->encoded, PersistedProps(obj));
    if (DWORD err = WriteBlob(*s, name, blob); err != ERROR_SUCCESS)
        return StoreError(err);
    if (auto it = s->entries.find(name); it != s->entries.end() && it->second.obj == obj)
        it->second.blob = std::move(blob);
    return ERROR_SUCCESS;
}

} // namespace orvane::crypt32

using namespace orvane::crypt32;

extern "C" {

HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara) {
    (void)dwEncodingType;
    (void)hCryptProv;
    try {
        if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
            auto s = std::make_unique<Store>();
            s->readOnly = (dwFlags & CERT_STORE_READONLY_FLAG) != 0;
            return s.release();
        }
        if (lpszStoreProvider == CERT_STORE_PROV_PKCS7)
            return OpenPkcs7(static_cast<const CRYPT_DATA_BLOB*>(pvPara), dwFlags);
        if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W ||
            lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A) {
            if (pvPara == nullptr) {
                SetLastError(DWORD(E_INVALIDARG));
                return nullptr;
            }
            std::u16string name;
            if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W) {
                name = static_cast<LPCWSTR>(pvPara);
            } else {
                for (const char* p = static_cast<const char*>(pvPara); *p != 0; ++p)
                    name.push_back(char16_t(static_cast<unsigned char>(*p)));
            }
            return OpenSystem(std::move(name), dwFlags);
        }
        SetLastError(ERROR_FILE_NOT_FOUND); // no provider of that name
        return nullptr;
    } catch (const std::bad_alloc&) {
        SetLastError(DWORD(E_OUTOFMEMORY));
        return nullptr;
    }
}

BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (hCertStore == nullptr)
        return TRUE;
    Store* s = ToStore(hCertStore);
    // With the check flag, say whether contexts handed out keep the store open.
    const bool pending =
        (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) && s->refs.load(std::memory_order_acquire) > 1;
    ReleaseStoreRef(s);
    return pending ? Fail(DWORD(CRYPT_E_PENDING_CLOSE)) : TRUE;
}

PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                  PCCERT_CONTEXT pPrevCertContext) {
    if (hCertStore == nullptr) {
        CertFreeCertificateContext(pPrevCertContext);
        SetLastError(DWORD(E_INVALIDARG));
        return nullptr;
    }
    Store* s = ToStore(hCertStore);
    PCCERT_CONTEXT next = nullptr;
    DWORD err = DWORD(CRYPT_E_NOT_FOUND);
    try {
        std::lock_guard<std::mutex> lock(s->mutex);
        CertObject* prev = pPrevCertContext != nullptr ? ToObject(pPrevCertContext) : nullptr;
        if (s->kind == Store::Kind::Memory) {
            auto it = s->certs.begin();
            if (prev != nullptr) {
                it = std::find(s->certs.begin(), s->certs.end(), prev);
                if (it != s->certs.end())
                    ++it;
            }
            if (it != s->certs.end())
                next = HandOut(s, *it);
        } else {
            if (prev == nullptr) {
                if (DWORD rerr = Resync(s); rerr != ERROR_SUCCESS)
                    err = rerr;
                if (!s->entries.empty())
                    next = HandOut(s, s->entries.begin()->second.obj);
            } else {
                auto it = s->entries.upper_bound(prev->keyName.empty() ? HexName(prev->Sha1())
                                                                       : prev->keyName);
                if (it != s->entries.end())
                    next = HandOut(s, it->second.obj);
            }
        }
    } catch (const std::bad_alloc&) {
        err = DWORD(E_OUTOFMEMORY);
    }
    CertFreeCertificateContext(pPrevCertContext);
    if (next == nullptr)
        SetLastError(err);
    return next;
}

BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                             const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                             DWORD dwAddDisposition,
                                             PCCERT_CONTEXT* ppCertContext) {
    if (ppCertContext != nullptr)
        *ppCertContext = nullptr;
    if (hCertStore == nullptr || (pbCertEncoded == nullptr && cbCertEncoded != 0))
        return Fail(DWORD(E_INVALIDARG));
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING)
        return Fail(DWORD(E_INVALIDARG));
    try {
        DWORD err = ERROR_SUCCESS;
        auto obj = ParseCertificate({pbCertEncoded, cbCertEncoded}, err);
        if (!obj)
            return Fail(err);
        obj->ctx.dwCertEncodingType = dwCertEncodingType;
        err = AddObject(ToStore(hCertStore), std::move(obj), dwAddDisposition, ppCertContext);
        return err == ERROR_SUCCESS ? TRUE : Fail(err);
    } catch (const std::bad_alloc&) {
        return Fail(DWORD(E_OUTOFMEMORY));
    }
}

BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                             DWORD dwAddDisposition,
                                             PCCERT_CONTEXT* ppStoreContext) {
    if (ppStoreContext != nullptr)
        *ppStoreContext = nullptr;
    if (hCertStore == nullptr || pCertContext == nullptr)
        return Fail(DWORD(E_INVALIDARG));
    try {
        CertObject* src = ToObject(pCertContext);
        DWORD err = ERROR_SUCCESS;
        auto obj = ParseCertificate(src->encoded, err);
        if (!obj)
            return Fail(err);
        obj->ctx.dwCertEncodingType = pCertContext->dwCertEncodingType;
        {
            std::lock_guard<std::mutex> lock(src->propMutex);
            obj->props = src->props;
        }
        err = AddObject(ToStore(hCertStore), std::move(obj), dwAddDisposition, ppStoreContext);
        return err == ERROR_SUCCESS ? TRUE : Fail(err);
    } catch (const std::bad_alloc&) {
        return Fail(DWORD(E_OUTOFMEMORY));
    }
}

BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr)
        return Fail(DWORD(E_INVALIDARG));
    CertObject* obj = ToObject(pCertContext);
    Store* s = obj->store;
    DWORD err = ERROR_SUCCESS;
    if (s != nullptr) {
        try {
            std::lock_guard<std::mutex> lock(s->mutex);
            if (s->readOnly) {
                err = DWORD(E_ACCESSDENIED);
            } else if (s->kind == Store::Kind::Memory) {
                auto it = std::find(s->certs.begin(), s->certs.end(), obj);
                if (it != s->certs.end()) {
                    s->certs.erase(it);
                    obj->inStore = false; // the caller's reference frees it below
                }
            } else if (obj->inStore) {
                const std::u16string name = HexName(obj->Sha1());
                err = orvane::platform::storage::WriteHive(
                    s->hive,
                    [&](HiveTxn& txn) -> DWORD {
                        KeyId key = 0;
                        DWORD e = FindPath(txn, s->path + u"\\" + name, key);
                        if (e == ERROR_FILE_NOT_FOUND)
                            return ERROR_SUCCESS; // someone else removed it already
                        return e != ERROR_SUCCESS ? e : txn.DeleteKey(key);
                    },
                    false);
                err = StoreError(err);
                if (err == ERROR_SUCCESS) {
                    auto it = s->entries.find(name);
                    if (it != s->entries.end() && it->second.obj == obj)
                        s->entries.erase(it);
                    obj->inStore = false;
                }
            }
        } catch (const std::bad_alloc&) {
            err = DWORD(E_OUTOFMEMORY);
        }
    }
    CertFreeCertificateContext(pCertContext);
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL WINAPI CertControlStore(HCERTSTORE hCertStore, DWORD dwFlags, DWORD dwCtrlType,
                             void const* pvCtrlPara) {
    (void)dwFlags;
    (void)pvCtrlPara;
    if (hCertStore == nullptr)
        return Fail(DWORD(E_INVALIDARG));
    // Memory stores have no control at all. A system store writes every
    // change when it is made and reads afresh at each enumeration, so commit
    // and resync have nothing left to do.
    if (ToStore(hCertStore)->kind != Store::Kind::System)
        return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    switch (dwCtrlType) {
    case CERT_STORE_CTRL_COMMIT:
    case CERT_STORE_CTRL_RESYNC:
        return TRUE;
    default:
        return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    }
}

} // extern "C"
