// Handles: one move-only owner for every kind of handle the system holds, so
// that "released on every path" holds by construction. An alias per kind names
// its release call; a guard releases what it holds when it goes out of scope,
// is reset, or is assigned another handle.
//
//   UniqueCertContext cert(CertCreateCertificateContext(...));
//   if (!cert) return FailureFromLastError();
//   CryptAcquireContextW(prov.put(), ...);   // put(): releases, then the address
//
// Releasing never changes the thread's last error: a failure code read after
// the guards of a scope are gone still describes the call that failed.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>
#include <winreg.h>

#include <type_traits>
#include <utility>

template <class T, auto Release> class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T handle) noexcept : m_handle(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    T get() const noexcept { return m_handle; }
    // operator->: the members of what a pointer handle points at (a
    // certificate context's fields).
    T operator->() const noexcept
        requires(std::is_pointer_v<T>&& std::is_class_v<std::remove_pointer_t<T>>) {
        return m_handle;
    }
    explicit operator bool() const noexcept { return m_handle != T{}; }

    // release: gives the handle up without releasing it; the caller owns it.
    [[nodiscard]] T release() noexcept { return std::exchange(m_handle, T{}); }

    // reset: releases the handle held (if any) and holds `handle` instead.
    void reset(T handle = T{}) noexcept {
        T old = std::exchange(m_handle, handle);
        if (old != T{}) {
            const DWORD dwError = GetLastError();
            Release(old);
            SetLastError(dwError);
        }
    }

    // put: releases the handle held and hands out the address of the empty
    // slot, for a call that writes a new handle through a pointer.
    T* put() noexcept {
        reset();
        return &m_handle;
    }

private:
    T m_handle{};
};

namespace handle_release {
inline void Provider(HCRYPTPROV h) {
    CryptReleaseContext(h, 0);
}
inline void Key(HCRYPTKEY h) {
    CryptDestroyKey(h);
}
inline void Hash(HCRYPTHASH h) {
    CryptDestroyHash(h);
}
inline void Store(HCERTSTORE h) {
    CertCloseStore(h, 0);
}
inline void CertContext(PCCERT_CONTEXT p) {
    CertFreeCertificateContext(p);
}
inline void Bstr(BSTR b) {
    SysFreeString(b);
}
inline void Local(HANDLE h) {
    LocalFree(h);
}
inline void RegKey(HKEY h) {
    RegCloseKey(h);
}
inline void File(HANDLE h) {
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}
} // namespace handle_release

using UniqueProvider = UniqueHandle<HCRYPTPROV, handle_release::Provider>;
using UniqueKey = UniqueHandle<HCRYPTKEY, handle_release::Key>;
using UniqueHash = UniqueHandle<HCRYPTHASH, handle_release::Hash>;
using UniqueStore = UniqueHandle<HCERTSTORE, handle_release::Store>;
using UniqueCertContext = UniqueHandle<PCCERT_CONTEXT, handle_release::CertContext>;
using UniqueBstr = UniqueHandle<BSTR, handle_release::Bstr>;
// UniqueLocal: memory the system handed out with LocalAlloc (CRYPT_DECODE_ALLOC_FLAG,
// FormatMessageW's ALLOCATE_BUFFER).
using UniqueLocal = UniqueHandle<HANDLE, handle_release::Local>;
// UniqueLocalOf<T>: the same for a block read as a T (the structures
// CryptDecodeObjectEx allocates).
template <class T> using UniqueLocalOf = UniqueHandle<T*, handle_release::Local>;

// UniqueRegKey: an open registry key (RegOpenKeyExW, RegCreateKeyExW).
using UniqueRegKey = UniqueHandle<HKEY, handle_release::RegKey>;

// UniqueFile: a file handle. CreateFileW fails with INVALID_HANDLE_VALUE, not
// null; the guard holds null for "none", so wrap with UniqueFile::FromCreate.
class UniqueFile : public UniqueHandle<HANDLE, handle_release::File> {
public:
    using UniqueHandle::UniqueHandle;
    static UniqueFile FromCreate(HANDLE h) {
        return UniqueFile(h == INVALID_HANDLE_VALUE ? nullptr : h);
    }
};
