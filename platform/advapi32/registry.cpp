// The registry API over the SQLite hives: HKEY_CURRENT_USER is the user's hive,
// HKEY_LOCAL_MACHINE the machine's. Handles, paths, access rights and buffer
// conventions follow Windows; storage/hive.* keeps the data.
//
// Access: a handle carries the rights granted when it was opened, and each call
// checks the right it needs before anything else, as Windows does. The machine
// hive grants write rights to root alone (HKLM is writable by administrators
// only); a request for them from anyone else is refused with ERROR_ACCESS_DENIED.
#include <windows.h>
#include <winreg.h>

#include "storage/hive.h"

#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

using namespace orvane::platform::storage;

namespace {

// --- handles ---------------------------------------------------------------------------

constexpr uint32_t kKeyMagic = 0x4B455948; // "HYEK"

struct KeyObject {
    uint32_t magic = kKeyMagic;
    HiveKind hive = HiveKind::CurrentUser;
    KeyId id = kRootKey;
    REGSAM access = 0;
};

// Every HKEY handed out is an entry here; a value not found (never issued, or
// already closed) is an invalid handle, whatever it points at. Values are never
// reused within a process, so a stale handle cannot reach a newer key.
class HandleTable {
public:
    HKEY Add(const KeyObject& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        uintptr_t value = next_;
        next_ += 4;
        objects_.emplace(value, key);
        return reinterpret_cast<HKEY>(value);
    }
    bool Find(HKEY h, KeyObject& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(reinterpret_cast<uintptr_t>(h));
        if (it == objects_.end() || it->second.magic != kKeyMagic)
            return false;
        key = it->second;
        return true;
    }
    bool Remove(HKEY h) {
        std::lock_guard<std::mutex> lock(mutex_);
        return objects_.erase(reinterpret_cast<uintptr_t>(h)) == 1;
    }

private:
    std::mutex mutex_;
    std::unordered_map<uintptr_t, KeyObject> objects_;
    uintptr_t next_ = 0x1000;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable; // outlives every static destructor
    return *table;
}

// --- access rights -----------------------------------------------------------------------

constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

REGSAM Allowed(HiveKind hive) {
    return HiveWritable(hive) ? REGSAM(KEY_ALL_ACCESS) : REGSAM(KEY_READ);
}

// Grant: the rights a new handle receives for desired, or ERROR_ACCESS_DENIED.
DWORD Grant(HiveKind hive, REGSAM desired, REGSAM& granted) {
    REGSAM sam = desired & ~REGSAM(KEY_WOW64_RES | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                   GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ)
        sam |= KEY_READ;
    if (desired & GENERIC_WRITE)
        sam |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE)
        sam |= KEY_EXECUTE;
    if (desired & GENERIC_ALL)
        sam |= KEY_ALL_ACCESS;
    REGSAM allowed = Allowed(hive);
    if (desired & MAXIMUM_ALLOWED)
        sam |= allowed;
    if (sam & kWriteRights & ~allowed)
        return ERROR_ACCESS_DENIED;
    granted = sam;
    return ERROR_SUCCESS;
}

// The predefined keys are sign-extended 32-bit values 0x8000000n.
bool IsPredefinedRange(HKEY h) {
    auto v = reinterpret_cast<uintptr_t>(h);
    return v == uintptr_t(intptr_t(int32_t(v))) && (v & 0xF0000000u) == 0x80000000u;
}

bool IsRoot(HKEY h) {
    return h == HKEY_CURRENT_USER || h == HKEY_LOCAL_MACHINE;
}

DWORD Resolve(HKEY h, KeyObject& key) {
    if (h == HKEY_CURRENT_USER || h == HKEY_LOCAL_MACHINE) {
        key.hive = h == HKEY_CURRENT_USER ? HiveKind::CurrentUser : HiveKind::LocalMachine;
        key.id = kRootKey;
        key.access = Allowed(key.hive);
        return ERROR_SUCCESS;
    }
    return Handles().Find(h, key) ? DWORD(ERROR_SUCCESS) : DWORD(ERROR_INVALID_HANDLE);
}

// ResolveFor: the key behind h, provided h was opened with the right needed.
DWORD ResolveFor(HKEY h, REGSAM needed, KeyObject& key) {
    if (DWORD err = Resolve(h, key); err != ERROR_SUCCESS)
        return err;
    return (key.access & needed) == needed ? DWORD(ERROR_SUCCESS) : DWORD(ERROR_ACCESS_DENIED);
}

// --- names -------------------------------------------------------------------------------

std::u16string_view NameOf(LPCWSTR name) {
    return name == nullptr ? std::u16string_view() : std::u16string_view(name);
}

// SplitPath: a backslash-separated path below a key. Empty components are
// skipped, so a trailing backslash is harmless; a leading one is refused.
DWORD SplitPath(LPCWSTR path, std::vector<std::u16string_view>& parts) {
    parts.clear();
    std::u16string_view rest = NameOf(path);
    if (!rest.empty() && rest.front() == u'\\')
        return ERROR_BAD_PATHNAME;
    while (!rest.empty()) {
        size_t end = rest.find(u'\\');
        std::u16string_view part = rest.substr(0, end);
        if (!part.empty())
            parts.push_back(part);
        rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
    }
    return ERROR_SUCCESS;
}

// ResolvePath: the key a handle names and the components of the path below it.
DWORD ResolvePath(HKEY h, LPCWSTR path, KeyObject& base, std::vector<std::u16string_view>& parts) {
    if (DWORD err = Resolve(h, base); err != ERROR_SUCCESS)
        return err;
    return SplitPath(path, parts);
}

// Walk: follows parts from the existing key start. found counts the components
// that exist; id is the deepest key reached. ERROR_FILE_NOT_FOUND when short.
DWORD Walk(HiveTxn& txn, KeyId start, const std::vector<std::u16string_view>& parts, size_t& found,
           KeyId& id) {
    if (DWORD err = txn.RequireKey(start); err != ERROR_SUCCESS)
        return err;
    id = start;
    for (found = 0; found < parts.size(); ++found) {
        KeyId child = 0;
        DWORD err = txn.FindChild(id, parts[found], child);
        if (err != ERROR_SUCCESS)
            return err;
        id = child;
    }
    return ERROR_SUCCESS;
}

// CopyName: writes name and its terminator into buffer of *cch characters and
// sets *cch to its length; ERROR_MORE_DATA, touching nothing, when it does not fit.
DWORD CopyName(std::u16string_view name, LPWSTR buffer, LPDWORD cch) {
    if (name.size() + 1 > *cch)
        return ERROR_MORE_DATA;
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    buffer[name.size()] = 0;
    *cch = DWORD(name.size());
    return ERROR_SUCCESS;
}

// CopyData: the lpData/lpcbData convention: null data asks for the size only.
DWORD CopyData(const std::vector<BYTE>& data, LPBYTE buffer, LPDWORD cb) {
    if (cb == nullptr)
        return ERROR_SUCCESS;
    DWORD room = *cb;
    *cb = DWORD(data.size());
    if (buffer == nullptr)
        return ERROR_SUCCESS;
    if (data.size() > room)
        return ERROR_MORE_DATA;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

void ToFiletime(uint64_t ticks, PFILETIME ft) {
    if (ft != nullptr) {
        ft->dwLowDateTime = DWORD(ticks & 0xFFFFFFFFu);
        ft->dwHighDateTime = DWORD(ticks >> 32);
    }
}

// Guarded: entry points answer with an error number, never an exception.
template <class F> LSTATUS Guarded(F&& body) {
    try {
        return LSTATUS(body());
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::exception&) {
        return ERROR_INTERNAL_ERROR;
    }
}

} // namespace

extern "C" LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                                 PHKEY phkResult) {
    return Guarded([&]() -> DWORD {
        if (phkResult == nullptr)
            return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        KeyObject base;
        std::vector<std::u16string_view> parts;
        if (DWORD err = ResolvePath(hKey, lpSubKey, base, parts); err != ERROR_SUCCESS)
            return err;
        KeyObject key = base;
        DWORD err = ReadHive(base.hive, [&](HiveTxn& txn) {
            size_t found = 0;
            return Walk(txn, base.id, parts, found, key.id);
        });
        if (err == ERROR_SUCCESS)
            err = Grant(key.hive, samDesired, key.access);
        if (err != ERROR_SUCCESS)
            return err;
        // Opening a predefined key itself hands back the predefined handle.
        *phkResult = parts.empty() && IsRoot(hKey) ? hKey : Handles().Add(key);
        return ERROR_SUCCESS;
    });
}

extern "C" LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD dwOptions,
                                   REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                                   LPDWORD lpdwDisposition) {
    return Guarded([&]() -> DWORD {
        if (phkResult == nullptr)
            return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        // Volatile keys and symbolic links are not kept by these hives.
        if (dwOptions & (REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK))
            return ERROR_NOT_SUPPORTED;
        KeyObject base;
        std::vector<std::u16string_view> parts;
        if (DWORD err = ResolvePath(hKey, lpSubKey, base, parts); err != ERROR_SUCCESS)
            return err;
        KeyObject key = base;
        size_t found = 0;
        DWORD err = ReadHive(
            base.hive, [&](HiveTxn& txn) { return Walk(txn, base.id, parts, found, key.id); });
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        if (err == ERROR_FILE_NOT_FOUND) {
            for (size_t i = found; i < parts.size(); ++i)
                if (parts[i].size() > kMaxKeyNameChars)
                    return ERROR_INVALID_PARAMETER;
            // A key made directly below hKey needs the handle's right to make it;
            // deeper ones are made through keys the system opens on our behalf.
            if (found == 0 && (base.access & KEY_CREATE_SUB_KEY) == 0)
                return ERROR_ACCESS_DENIED;
            if (err = Grant(key.hive, samDesired, key.access); err != ERROR_SUCCESS)
                return err;
            err = WriteHive(base.hive, [&](HiveTxn& txn) {
                // Walk again under the write lock: another process may have moved on.
                DWORD walked = Walk(txn, base.id, parts, found, key.id);
                if (walked != ERROR_FILE_NOT_FOUND)
                    return walked;
                for (size_t i = found; i < parts.size(); ++i)
                    if (DWORD made = txn.CreateChild(key.id, parts[i], key.id);
                        made != ERROR_SUCCESS)
                        return made;
                disposition = REG_CREATED_NEW_KEY;
                return DWORD(ERROR_SUCCESS);
            });
        } else if (err == ERROR_SUCCESS) {
            err = Grant(key.hive, samDesired, key.access);
        }
        if (err != ERROR_SUCCESS)
            return err;
        *phkResult = parts.empty() && IsRoot(hKey) ? hKey : Handles().Add(key);
        if (lpdwDisposition != nullptr)
            *lpdwDisposition = disposition;
        return ERROR_SUCCESS;
    });
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) {
    // Closing any value of the predefined range does nothing and succeeds.
    if (IsPredefinedRange(hKey))
        return ERROR_SUCCESS;
    return Handles().Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

extern "C" LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return Guarded([&]() -> DWORD {
        if (lpSubKey == nullptr)
            return ERROR_INVALID_PARAMETER;
        KeyObject base;
        std::vector<std::u16string_view> parts;
        if (DWORD err = ResolvePath(hKey, lpSubKey, base, parts); err != ERROR_SUCCESS)
            return err;
        auto remove = [&](HiveTxn& txn) -> DWORD {
            size_t found = 0;
            KeyId target = 0;
            if (DWORD err = Walk(txn, base.id, parts, found, target); err != ERROR_SUCCESS)
                return err;
            // A hive's root cannot go, and, as on Windows, neither can a key
            // that still has subkeys.
            if (target == kRootKey || !HiveWritable(base.hive))
                return ERROR_ACCESS_DENIED;
            bool has = false;
            if (DWORD err = txn.HasChildren(target, has); err != ERROR_SUCCESS)
                return err;
            return has ? DWORD(ERROR_ACCESS_DENIED) : txn.DeleteKey(target);
        };
        // Without write rights the outcome is decided by looking: no such key,
        // or a key this process may not delete.
        return HiveWritable(base.hive) ? WriteHive(base.hive, remove, false)
                                       : ReadHive(base.hive, remove);
    });
}

extern "C" LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                                  const BYTE* lpData, DWORD cbData) {
    return Guarded([&]() -> DWORD {
        KeyObject key;
        if (DWORD err = ResolveFor(hKey, KEY_SET_VALUE, key); err != ERROR_SUCCESS)
            return err;
        if (lpData == nullptr && cbData != 0)
            return ERROR_NOACCESS;
        std::u16string_view name = NameOf(lpValueName);
        if (name.size() > kMaxValueNameChars)
            return ERROR_INVALID_PARAMETER;
        std::span<const BYTE> data(lpData, lpData == nullptr ? 0 : cbData);
        return WriteHive(key.hive, [&](HiveTxn& txn) {
            DWORD err = txn.RequireKey(key.id);
            return err != ERROR_SUCCESS ? err : txn.SetValue(key.id, name, dwType, data);
        });
    });
}

extern "C" LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return Guarded([&]() -> DWORD {
        if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
            return ERROR_INVALID_PARAMETER;
        KeyObject key;
        if (DWORD err = ResolveFor(hKey, KEY_QUERY_VALUE, key); err != ERROR_SUCCESS)
            return err;
        DWORD type = 0;
        size_t size = 0;
        std::vector<BYTE> data;
        DWORD err = ReadHive(key.hive, [&](HiveTxn& txn) {
            DWORD e = txn.RequireKey(key.id);
            return e != ERROR_SUCCESS ? e
                                      : txn.GetValue(key.id, NameOf(lpValueName), type, size,
                                                     lpData != nullptr ? &data : nullptr);
        });
        if (err != ERROR_SUCCESS)
            return err;
        if (lpType != nullptr)
            *lpType = type;
        if (lpData == nullptr) {
            if (lpcbData != nullptr)
                *lpcbData = DWORD(size);
            return ERROR_SUCCESS;
        }
        return CopyData(data, lpData, lpcbData);
    });
}

extern "C" LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Guarded([&]() -> DWORD {
        KeyObject key;
        if (DWORD err = ResolveFor(hKey, KEY_SET_VALUE, key); err != ERROR_SUCCESS)
            return err;
        auto remove = [&](HiveTxn& txn) {
            DWORD err = txn.RequireKey(key.id);
            return err != ERROR_SUCCESS ? err : txn.DeleteValue(key.id, NameOf(lpValueName));
        };
        return WriteHive(key.hive, remove, false);
    });
}

extern "C" LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                 LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                 PFILETIME lpftLastWriteTime) {
    return Guarded([&]() -> DWORD {
        if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
            (lpClass != nullptr && lpcchClass == nullptr))
            return ERROR_INVALID_PARAMETER;
        KeyObject key;
        if (DWORD err = ResolveFor(hKey, KEY_ENUMERATE_SUB_KEYS, key); err != ERROR_SUCCESS)
            return err;
        uint64_t modified = 0;
        DWORD err =
            EnumSubkey(key.hive, key.id, dwIndex, [&](std::u16string_view name, uint64_t m) {
                modified = m;
                return CopyName(name, lpName, lpcchName);
            });
        if (err != ERROR_SUCCESS)
            return err;
        // Keys have no class here: an empty one.
        if (lpcchClass != nullptr) {
            if (lpClass != nullptr && *lpcchClass > 0)
                lpClass[0] = 0;
            *lpcchClass = 0;
        }
        ToFiletime(modified, lpftLastWriteTime);
        return ERROR_SUCCESS;
    });
}

extern "C" LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                 LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData) {
    return Guarded([&]() -> DWORD {
        if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
            (lpData != nullptr && lpcbData == nullptr))
            return ERROR_INVALID_PARAMETER;
        KeyObject key;
        if (DWORD err = ResolveFor(hKey, KEY_QUERY_VALUE, key); err != ERROR_SUCCESS)
            return err;
        ValueRecord value;
        DWORD err = EnumValue(key.hive, key.id, dwIndex, value, lpData != nullptr);
        if (err != ERROR_SUCCESS)
            return err;
        if (err = CopyName(value.name, lpValueName, lpcchValueName); err != ERROR_SUCCESS)
            return err;
        if (lpType != nullptr)
            *lpType = value.type;
        if (lpData == nullptr) {
            if (lpcbData != nullptr)
                *lpcbData = DWORD(value.size);
            return ERROR_SUCCESS;
        }
        return CopyData(value.data, lpData, lpcbData);
    });
}

extern "C" LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
                                    LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                    LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                    LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                    LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                    PFILETIME lpftLastWriteTime) {
    return Guarded([&]() -> DWORD {
        if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr))
            return ERROR_INVALID_PARAMETER;
        KeyObject key;
        if (DWORD err = ResolveFor(hKey, KEY_QUERY_VALUE, key); err != ERROR_SUCCESS)
            return err;
        KeyStats stats;
        DWORD err = ReadHive(key.hive, [&](HiveTxn& txn) {
            DWORD e = txn.RequireKey(key.id);
            return e != ERROR_SUCCESS ? e : txn.Stats(key.id, stats);
        });
        if (err != ERROR_SUCCESS)
            return err;
        if (lpcchClass != nullptr) {
            if (lpClass != nullptr && *lpcchClass > 0)
                lpClass[0] = 0;
            *lpcchClass = 0;
        }
        // Despite the "cb" in their names, the name lengths are in characters.
        auto put = [](LPDWORD out, DWORD v) {
            if (out != nullptr)
                *out = v;
        };
        put(lpcSubKeys, stats.subkeys);
        put(lpcbMaxSubKeyLen, stats.maxSubkeyChars);
        put(lpcbMaxClassLen, 0);
        put(lpcValues, stats.values);
        put(lpcbMaxValueNameLen, stats.maxValueNameChars);
        put(lpcbMaxValueLen, stats.maxValueBytes);
        put(lpcbSecurityDescriptor, 0);
        ToFiletime(stats.modified, lpftLastWriteTime);
        return ERROR_SUCCESS;
    });
}
