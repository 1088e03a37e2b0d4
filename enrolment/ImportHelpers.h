// Small pieces the certificate and key imports share: wiping key material and
// the byte values that hold it. Handle guards are foundation/Handles.h's, the
// provider rules certificates/VendorCsp.h's.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <cstddef>
#include <new>
#include <vector>

// SecureWipe: overwrites cb bytes at pv with zeros through a volatile pointer,
// so the stores survive even when the memory is freed right after.
inline void SecureWipe(void* pv, size_t cb) {
    if (pv == nullptr)
        return;
    volatile BYTE* pb = static_cast<volatile BYTE*>(pv);
    for (size_t i = 0; i < cb; ++i)
        pb[i] = 0;
}

// WipingAllocator: std::allocator that wipes every block before giving it
// back, so a value holding key material leaves nothing behind, also when it
// grows into a new block.
template <class T> struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U> WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) noexcept {
        SecureWipe(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <class U> bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// SecretBytes: key material (plain keys, the blobs that carry them), wiped
// when it goes.
using SecretBytes = std::vector<BYTE, WipingAllocator<BYTE>>;
