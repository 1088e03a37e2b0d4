// The local heap: fixed blocks only, so a handle is the block's address.
#include <windows.h>

#include <cstdlib>

extern "C" HANDLE LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if ((uFlags & ~UINT(LMEM_ZEROINIT)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A zero-byte block is still a block the caller may free.
    size_t size = uBytes == 0 ? 1 : uBytes;
    void* p = (uFlags & LMEM_ZEROINIT) != 0 ? std::calloc(1, size) : std::malloc(size);
    if (p == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

extern "C" HANDLE LocalFree(HANDLE hMem) {
    std::free(hMem);
    return nullptr;
}
