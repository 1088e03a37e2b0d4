// Pages straight from the system: VirtualAlloc maps anonymous pages and
// VirtualFree unmaps them, so memory freed here leaves the process at once,
// whatever the C library's heap would have kept.
#include <windows.h>

#include <map>
#include <mutex>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Regions handed out, by base address, with their mapped sizes.
std::mutex& RegionLock() {
    static std::mutex lock;
    return lock;
}
std::map<void*, size_t>& Regions() {
    static auto* regions = new std::map<void*, size_t>; // outlives every static destructor
    return *regions;
}

} // namespace

extern "C" LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                               DWORD flProtect) {
    const DWORD type = flAllocationType & ~DWORD(MEM_RESERVE);
    if (lpAddress != nullptr || dwSize == 0 || type != MEM_COMMIT || flProtect != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    if (dwSize > SIZE_MAX - page) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const size_t size = (dwSize + page - 1) / page * page;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    try {
        std::lock_guard<std::mutex> hold(RegionLock());
        Regions().emplace(p, size);
    } catch (...) {
        munmap(p, size);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return p;
}

extern "C" BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    if (dwFreeType != MEM_RELEASE || dwSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t size = 0;
    {
        std::lock_guard<std::mutex> hold(RegionLock());
        auto it = Regions().find(lpAddress);
        if (it == Regions().end()) { // not a region's base (or not ours)
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        size = it->second;
        Regions().erase(it);
    }
    munmap(lpAddress, size);
    return TRUE;
}
