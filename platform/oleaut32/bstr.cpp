// System strings: a 32-bit byte count, then the UTF-16 text, then a NUL; the
// BSTR points at the text, as OLE Automation lays it out.
#include <oleauto.h>

#include <cstdlib>
#include <cstring>

namespace {

BSTR Allocate(const void* data, size_t bytes) {
    if (bytes > 0x7FFFFFF0u)
        return nullptr;
    // Zeroed so that a string allocated without source text is empty and terminated.
    auto* block = static_cast<uint8_t*>(std::calloc(1, sizeof(uint32_t) + bytes + sizeof(WCHAR)));
    if (block == nullptr)
        return nullptr;
    uint32_t len = uint32_t(bytes);
    std::memcpy(block, &len, sizeof(len));
    if (data != nullptr && bytes != 0)
        std::memcpy(block + sizeof(uint32_t), data, bytes);
    return reinterpret_cast<BSTR>(block + sizeof(uint32_t));
}

} // namespace

extern "C" BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr)
        return nullptr;
    return Allocate(psz, size_t(lstrlenW(psz)) * sizeof(WCHAR));
}

extern "C" BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    return Allocate(strIn, size_t(ui) * sizeof(WCHAR));
}

extern "C" BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
    return Allocate(psz, len);
}

extern "C" void SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr)
        std::free(reinterpret_cast<uint8_t*>(bstrString) - sizeof(uint32_t));
}

extern "C" UINT SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr)
        return 0;
    uint32_t len;
    std::memcpy(&len, reinterpret_cast<uint8_t*>(bstr) - sizeof(uint32_t), sizeof(len));
    return len;
}

extern "C" UINT SysStringLen(BSTR pbstr) {
    return SysStringByteLen(pbstr) / sizeof(WCHAR);
}
