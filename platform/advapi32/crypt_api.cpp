// CryptoAPI's provider, key and hash entry points over the provider table of
// platform/csp. This file owns the handles and the buffer conventions; each
// call checks its handles and arguments and then hands over to exactly one
// provider operation.
//
// Handles: every HCRYPTPROV, HCRYPTKEY and HCRYPTHASH is an entry of one table
// that records its kind. A value never issued, already released, or of the
// wrong kind fails as Windows reports it (NTE_BAD_UID for providers,
// NTE_BAD_KEY for keys, NTE_BAD_HASH for hashes). Values are never reused in
// a process, so a stale handle cannot reach a newer object. One lock guards
// the table and the providers' objects, so calls from many threads are safe.
#include <windows.h>
#include <wincrypt.h>

#include "csp/blob.h"
#include "csp/crypto.h"
#include "der/Der.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

using namespace orvane::platform::csp;

namespace {

enum class Kind { Provider, Key, Hash };

struct Entry {
    Kind kind;
    std::shared_ptr<Context> context; // the provider context (also of keys and hashes)
    std::shared_ptr<Key> key;
    std::shared_ptr<Hash> hash;
};

class HandleTable {
public:
    std::recursive_mutex lock;

    ULONG_PTR Add(Entry e) {
        next_ += 0x10;
        entries_.emplace(next_, std::move(e));
        return next_;
    }
    Entry* Find(ULONG_PTR h, Kind kind) {
        auto it = entries_.find(h);
        return it != entries_.end() && it->second.kind == kind ? &it->second : nullptr;
    }
    void Remove(ULONG_PTR h) { entries_.erase(h); }

private:
    std::unordered_map<ULONG_PTR, Entry> entries_;
    ULONG_PTR next_ = 0x10000;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

// Finish: the one place a Status becomes the call's result and last error.
BOOL Finish(Status s) {
    if (s == 0) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    SetLastError(s);
    return FALSE;
}

// Guarded: runs one entry point under the table's lock; nothing C++ throws
// crosses into the caller.
template <class F> BOOL Guarded(F&& f) {
    try {
        std::lock_guard<std::recursive_mutex> hold(Table().lock);
        return Finish(f());
    } catch (const std::bad_alloc&) {
        return Finish(Err(NTE_NO_MEMORY));
    } catch (...) {
        return Finish(Err(NTE_FAIL));
    }
}

// Deliver: the output-buffer rule: null asks for the size, too small fails
// with ERROR_MORE_DATA and the size needed.
Status Deliver(const Bytes& value, BYTE* out, DWORD* length, bool& delivered) {
    delivered = false;
    const auto size = static_cast<DWORD>(value.size());
    if (out == nullptr) {
        *length = size;
        return 0;
    }
    if (*length < size) {
        *length = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(out, value.data(), value.size());
    *length = size;
    delivered = true;
    return 0;
}

bool SameName(const std::u16string& a, LPCWSTR b) {
    size_t i = 0;
    for (; b[i] != 0; ++i) {
        if (i >= a.size())
            return false;
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z')
            y = static_cast<char16_t>(y + 32);
        if (x != y)
            return false;
    }
    return i == a.size();
}

// The largest certificate a key takes (KP_CERTIFICATE): a length field of at
// most two octets. Certificates are a few kilobytes; a larger claim is not one.
constexpr size_t kMaxCertificateBytes = 2 + 2 + 0xFFFF;

// WalkElements: every element inside bytes, headers only, in the order they
// are stored: a constructed element is entered before what follows it.
DWORD WalkElements(orvane::der::Bytes bytes, int depth) {
    if (depth > 16)
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    orvane::der::DerReader r(bytes);
    while (!r.AtEnd()) {
        BYTE first = 0;
        orvane::der::Bytes contents;
        if (DWORD err = r.ReadAny(first, contents))
            return err;
        if ((first & 0x20) != 0)
            if (DWORD err = WalkElements(contents, depth + 1))
                return err;
    }
    return 0;
}

// CertificateExtent: the bytes of the certificate at p. The call carries no
// length, so the certificate's own header must say; but a header is only a
// claim, and a value that is no certificate (or a header alone) would have
// us read, and keep, whatever memory follows it. So the length is capped,
// and the elements inside are walked in storage order before anything is
// copied: on a value that is not one whole certificate the walk stops at the
// first element that does not fit, a few bytes in, and the call fails.
Status CertificateExtent(const BYTE* p, size_t& size) {
    if (p[0] != 0x30)
        return Err(CRYPT_E_ASN1_BADTAG);
    size_t header = 2, length = p[1];
    if (length >= 0x80) {
        const size_t octets = length & 0x7F;
        if (octets == 0 || octets > 2)
            return Err(NTE_BAD_DATA);
        length = 0;
        for (size_t i = 0; i < octets; ++i)
            length = (length << 8) | p[2 + i];
        header += octets;
    }
    size = header + length;
    if (size > kMaxCertificateBytes || WalkElements({p + header, length}, 0) != 0)
        return Err(NTE_BAD_DATA);
    return 0;
}

} // namespace

extern "C" {

BOOL WINAPI CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags,
                                DWORD* pdwProvType, LPWSTR szProvName, DWORD* pcbProvName) {
    return Guarded([&]() -> Status {
        if (pdwReserved != nullptr || pdwProvType == nullptr || pcbProvName == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        // The first index looks for tokens again; the others walk what it found.
        const std::vector<Provider*> table =
            Providers(dwIndex == 0 ? ProviderScan::Refresh : ProviderScan::Known);
        if (dwIndex >= table.size())
            return ERROR_NO_MORE_ITEMS;
        const std::u16string& name = table[dwIndex]->Name();
        *pdwProvType = table[dwIndex]->Type();
        const auto* p = reinterpret_cast<const BYTE*>(name.c_str());
        Bytes value(p, p + (name.size() + 1) * sizeof(WCHAR));
        bool delivered = false;
        return Deliver(value, reinterpret_cast<BYTE*>(szProvName), pcbProvName, delivered);
    });
}

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags) {
    return Guarded([&]() -> Status {
        if (phProv == nullptr)
            return ERROR_INVALID_PARAMETER;
        *phProv = 0;
        const bool byType = szProvider == nullptr || *szProvider == 0;
        auto find = [&](ProviderScan scan) -> Provider* {
            for (Provider* p : Providers(scan)) {
                if (byType ? p->Type() == dwProvType // the type's default: the first listed
                           : SameName(p->Name(), szProvider) || SameName(p->LongName(), szProvider))
                    return p;
            }
            return nullptr;
        };
        // A name not known yet may be a token inserted since the last look.
        Provider* provider = find(ProviderScan::Known);
        if (provider == nullptr && !byType)
            provider = find(ProviderScan::Refresh);
        if (provider == nullptr)
            return szProvider == nullptr || *szProvider == 0 ? Err(NTE_PROV_TYPE_NOT_DEF)
                                                             : Err(NTE_KEYSET_NOT_DEF);
        if (provider->Type() != dwProvType)
            return Err(NTE_PROV_TYPE_NO_MATCH);
        std::u16string container = szContainer != nullptr ? szContainer : u"";
        std::unique_ptr<Context> context;
        if (Status s = provider->Acquire(container, dwFlags, context))
            return s;
        if (context) // the delete flags hand out none
            *phProv = Table().Add({Kind::Provider, std::move(context), nullptr, nullptr});
        return 0;
    });
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return Guarded([&]() -> Status {
        if (Table().Find(hProv, Kind::Provider) == nullptr)
            return Err(NTE_BAD_UID);
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        Table().Remove(hProv);
        return 0;
    });
}

BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hProv, Kind::Provider);
        if (e == nullptr)
            return Err(NTE_BAD_UID);
        if (pdwDataLen == nullptr)
            return ERROR_INVALID_PARAMETER;
        Bytes value;
        if (Status s = e->context->GetParam(dwParam, dwFlags, value))
            return s;
        bool delivered = false;
        Status s = Deliver(value, pbData, pdwDataLen, delivered);
        if (delivered)
            e->context->Consume(dwParam);
        return s;
    });
}

BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hProv, Kind::Provider);
        if (e == nullptr)
            return Err(NTE_BAD_UID);
        if (pbData == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        if (dwParam != PP_KEYEXCHANGE_PIN && dwParam != PP_SIGNATURE_PIN)
            return Err(NTE_BAD_TYPE);
        // The value is a zero-terminated string with no length beside it; a PIN
        // is short, so the search for its end stops at a bound rather than
        // reading on through whatever follows an unterminated one.
        constexpr size_t kMaxPin = 256;
        const size_t length = strnlen(reinterpret_cast<const char*>(pbData), kMaxPin + 1);
        if (length > kMaxPin)
            return Err(NTE_BAD_DATA);
        return e->context->SetParam(dwParam, {pbData, length});
    });
}

BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    return Guarded([&]() -> Status {
        if (Table().Find(hProv, Kind::Provider) == nullptr)
            return Err(NTE_BAD_UID);
        if (pbBuffer == nullptr && dwLen != 0)
            return ERROR_INVALID_PARAMETER;
        return dwLen == 0 ? Status() : Random(pbBuffer, dwLen);
    });
}

BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hProv, Kind::Provider);
        if (e == nullptr)
            return Err(NTE_BAD_UID);
        if (phKey == nullptr)
            return ERROR_INVALID_PARAMETER;
        std::shared_ptr<Key> key;
        if (Status s = e->context->GenKey(Algid, dwFlags, key))
            return s;
        *phKey = Table().Add({Kind::Key, e->context, std::move(key), nullptr});
        return 0;
    });
}

BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hProv, Kind::Provider);
        if (e == nullptr)
            return Err(NTE_BAD_UID);
        if (phUserKey == nullptr)
            return ERROR_INVALID_PARAMETER;
        std::shared_ptr<Key> key;
        if (Status s = e->context->GetUserKey(dwKeySpec, key))
            return s;
        *phUserKey = Table().Add({Kind::Key, e->context, std::move(key), nullptr});
        return 0;
    });
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
    return Guarded([&]() -> Status {
        if (Table().Find(hKey, Kind::Key) == nullptr)
            return Err(NTE_BAD_KEY);
        Table().Remove(hKey);
        return 0;
    });
}

BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE* pbData, DWORD* pdwDataLen) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hKey, Kind::Key);
        if (e == nullptr)
            return Err(NTE_BAD_KEY);
        Key* wrap = nullptr;
        if (hExpKey != 0) {
            Entry* w = Table().Find(hExpKey, Kind::Key);
            if (w == nullptr)
                return Err(NTE_BAD_KEY);
            wrap = w->key.get();
        }
        if (pdwDataLen == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        Bytes blob;
        if (Status s = e->key->Export(dwBlobType, wrap, blob))
            return s;
        bool delivered = false;
        Status s = Deliver(blob, pbData, pdwDataLen, delivered);
        OPENSSL_cleanse(blob.data(), blob.size());
        return s;
    });
}

BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, HCRYPTKEY* phKey) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hProv, Kind::Provider);
        if (e == nullptr)
            return Err(NTE_BAD_UID);
        if (pbData == nullptr || phKey == nullptr)
            return ERROR_INVALID_PARAMETER;
        Key* wrap = nullptr;
        if (hPubKey != 0) {
            Entry* w = Table().Find(hPubKey, Kind::Key);
            if (w == nullptr)
                return Err(NTE_BAD_KEY);
            wrap = w->key.get();
        }
        std::shared_ptr<Key> key;
        if (Status s = e->context->ImportKey({pbData, dwDataLen}, wrap, dwFlags, key))
            return s;
        *phKey = Table().Add({Kind::Key, e->context, std::move(key), nullptr});
        return 0;
    });
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                             DWORD dwFlags) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hKey, Kind::Key);
        if (e == nullptr)
            return Err(NTE_BAD_KEY);
        if (pdwDataLen == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        Bytes value;
        if (Status s = e->key->GetParam(dwParam, value))
            return s;
        bool delivered = false;
        return Deliver(value, pbData, pdwDataLen, delivered);
    });
}

BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hKey, Kind::Key);
        if (e == nullptr)
            return Err(NTE_BAD_KEY);
        if (pbData == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        // The call carries no length: each parameter's value has its own size.
        size_t size = 0;
        switch (dwParam) {
        case KP_MODE:
        case KP_PADDING:
        case KP_PERMISSIONS:
            size = sizeof(DWORD);
            break;
        case KP_IV:
            size = 8; // the block length of the session ciphers offered
            break;
        case KP_CERTIFICATE:
            if (Status st = CertificateExtent(pbData, size))
                return st;
            break;
        default:
            break;
        }
        return e->key->SetParam(dwParam, {pbData, size});
    });
}

BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                         DWORD* pdwDataLen) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hKey, Kind::Key);
        if (e == nullptr)
            return Err(NTE_BAD_KEY);
        if (hHash != 0 && Table().Find(hHash, Kind::Hash) == nullptr)
            return Err(NTE_BAD_HASH);
        if (pbData == nullptr || pdwDataLen == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        Bytes data(pbData, pbData + *pdwDataLen);
        Status s = e->key->Decrypt(Final != FALSE, data);
        if (s == 0) {
            std::memcpy(pbData, data.data(), data.size());
            *pdwDataLen = static_cast<DWORD>(data.size());
            if (hHash != 0)
                s = Table().Find(hHash, Kind::Hash)->hash->Update(data);
        }
        OPENSSL_cleanse(data.data(), data.size());
        return s;
    });
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hProv, Kind::Provider);
        if (e == nullptr)
            return Err(NTE_BAD_UID);
        if (phHash == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (hKey != 0)
            return Err(NTE_BAD_KEY); // no keyed hashes are offered
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        std::shared_ptr<Hash> hash;
        if (Status s = e->context->CreateHash(Algid, hash))
            return s;
        *phHash = Table().Add({Kind::Hash, e->context, nullptr, std::move(hash)});
        return 0;
    });
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hHash, Kind::Hash);
        if (e == nullptr)
            return Err(NTE_BAD_HASH);
        if (pbData == nullptr && dwDataLen != 0)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        return e->hash->Update({pbData, dwDataLen});
    });
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags) {
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hHash, Kind::Hash);
        if (e == nullptr)
            return Err(NTE_BAD_HASH);
        if (pdwDataLen == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        Bytes value;
        switch (dwParam) {
        case HP_ALGID:
            value = DwordBytes(e->hash->AlgId());
            break;
        case HP_HASHSIZE:
            value = DwordBytes(e->hash->Size());
            break;
        case HP_HASHVAL:
            // A size query must not finish the hash.
            if (pbData == nullptr || *pdwDataLen < e->hash->Size()) {
                value.assign(e->hash->Size(), 0);
                break;
            }
            if (Status s = e->hash->Value(value))
                return s;
            break;
        default:
            return Err(NTE_BAD_TYPE);
        }
        bool delivered = false;
        return Deliver(value, pbData, pdwDataLen, delivered);
    });
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
    return Guarded([&]() -> Status {
        if (Table().Find(hHash, Kind::Hash) == nullptr)
            return Err(NTE_BAD_HASH);
        Table().Remove(hHash);
        return 0;
    });
}

BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                           BYTE* pbSignature, DWORD* pdwSigLen) {
    (void)szDescription; // ignored, as by every current provider
    return Guarded([&]() -> Status {
        Entry* e = Table().Find(hHash, Kind::Hash);
        if (e == nullptr)
            return Err(NTE_BAD_HASH);
        if (pdwSigLen == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        DWORD size = 0;
        if (Status s = e->context->SignatureSize(dwKeySpec, size))
            return s;
        // Size queries leave the hash open for the real call.
        if (pbSignature == nullptr || *pdwSigLen < size) {
            const bool query = pbSignature == nullptr;
            *pdwSigLen = size;
            return query ? 0 : ERROR_MORE_DATA;
        }
        Bytes signature;
        if (Status s = e->context->SignHash(*e->hash, dwKeySpec, signature))
            return s;
        bool delivered = false;
        return Deliver(signature, pbSignature, pdwSigLen, delivered);
    });
}

BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                  HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
    (void)szDescription;
    return Guarded([&]() -> Status {
        Entry* h = Table().Find(hHash, Kind::Hash);
        if (h == nullptr)
            return Err(NTE_BAD_HASH);
        Entry* k = Table().Find(hPubKey, Kind::Key);
        if (k == nullptr)
            return Err(NTE_BAD_KEY);
        if (pbSignature == nullptr && dwSigLen != 0)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags != 0)
            return Err(NTE_BAD_FLAGS);
        return k->key->VerifyHash(*h->hash, std::span<const BYTE>(pbSignature, dwSigLen));
    });
}

} // extern "C"
