// The registry before the SQLite hives exist: every key is absent, which is what
// a fresh machine without our settings looks like. Replaced by the hive-backed
// registry API.
#include <windows.h>
#include <winreg.h>

extern "C" LSTATUS RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult != nullptr)
        *phkResult = nullptr;
    return ERROR_FILE_NOT_FOUND;
}

extern "C" LSTATUS RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_INVALID_HANDLE;
}

extern "C" LSTATUS RegCloseKey(HKEY) {
    return ERROR_INVALID_HANDLE;
}
