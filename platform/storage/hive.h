// The registry's storage: one SQLite database per hive, opened lazily once per
// process. Everything here speaks in key ids and names; the Windows semantics
// (paths, handles, access rights, buffer sizes) live in advapi32/registry.cpp.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::platform::storage {

enum class HiveKind { CurrentUser, LocalMachine };

using KeyId = int64_t;

// Every hive has a root key with this id; ids of deleted keys are never reused,
// so a stale id reliably reads as deleted.
constexpr KeyId kRootKey = 1;

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

// Case folding for key and value names: ASCII, Latin-1, Latin Extended-A, basic
// Greek and Cyrillic and the full-width Latin letters compare without regard to
// case, as Windows does; other characters compare exactly.
std::u16string FoldName(std::u16string_view name);

struct ValueRecord {
    std::u16string name;
    DWORD type = 0;
    size_t size = 0;
    std::vector<BYTE> data; // filled only when asked for
};

struct KeyStats {
    DWORD subkeys = 0;
    DWORD maxSubkeyChars = 0;
    DWORD values = 0;
    DWORD maxValueNameChars = 0;
    DWORD maxValueBytes = 0;
    uint64_t modified = 0; // FILETIME ticks
};

// HiveStamp: the state of a whole hive as one process sees it. Two equal
// stamps mean nothing in the hive changed in between, in this process or any
// other; anything cached from the hive stays good while the stamp does.
struct HiveStamp {
    uint64_t connection = 0; // changes when the process reopens the hive
    int64_t others = 0;      // changes when another process commits
    int64_t own = 0;         // changes when this process writes
    bool operator==(const HiveStamp&) const = default;
};

struct Connection;

// HiveTxn: the operations of one transaction on one hive. A transaction over a
// hive whose file does not exist yet sees an empty hive: the root key alone.
// Each method returns ERROR_SUCCESS or a Win32 error number.
class HiveTxn {
public:
    explicit HiveTxn(Connection* connection) : c_(connection) {}

    DWORD KeyExists(KeyId id, bool& exists);
    // RequireKey: ERROR_KEY_DELETED when the key is gone (deleted through
    // another handle), else what asking returned.
    DWORD RequireKey(KeyId id);
    // FindChild: ERROR_FILE_NOT_FOUND when parent has no child of that name.
    DWORD FindChild(KeyId parent, std::u16string_view name, KeyId& child);
    DWORD CreateChild(KeyId parent, std::u16string_view name, KeyId& child);
    DWORD HasChildren(KeyId id, bool& has);
    // DeleteKey: removes a key without children and its values.
    DWORD DeleteKey(KeyId id);
    // ChildAt: the index-th child in Windows' order; ERROR_NO_MORE_ITEMS past
    // the end. Reading the children in order costs O(1) per step: they are
    // read a page at a time and the page is kept while the hive is unchanged.
    DWORD ChildAt(KeyId parent, DWORD index, std::u16string& name, uint64_t& modified);
    // ChildrenWithValue: every child of parent in Windows' order that has a
    // value of that name, in one query; fn sees each child's name and the
    // value's type and bytes (valid during the call only).
    DWORD ChildrenWithValue(
        KeyId parent, std::u16string_view valueName,
        const std::function<void(std::u16string_view, DWORD, std::span<const BYTE>)>& fn);

    // ChildNames: the names of parent's children in Windows' order, in one query.
    DWORD ChildNames(KeyId parent, const std::function<void(std::u16string_view)>& fn);

    // GetValue: fills type and, when data is non-null, the bytes; size is always set.
    DWORD GetValue(KeyId key, std::u16string_view name, DWORD& type, size_t& size,
                   std::vector<BYTE>* data);
    DWORD SetValue(KeyId key, std::u16string_view name, DWORD type, std::span<const BYTE> data);
    // DeleteValue: ERROR_FILE_NOT_FOUND when there is no such value.
    DWORD DeleteValue(KeyId key, std::u16string_view name);
    // ValueAt: the index-th value in the order values were first set, paged
    // like ChildAt; the bytes only when withData.
    DWORD ValueAt(KeyId key, DWORD index, ValueRecord& value, bool withData);
    DWORD Stats(KeyId key, KeyStats& stats);
    // Stamp: the hive's stamp as this transaction sees it.
    DWORD Stamp(HiveStamp& stamp);

private:
    DWORD Touch(KeyId id);
    Connection* c_; // null: the hive file does not exist
};

// HiveWritable: whether this process may change the hive at all. The machine
// hive, like HKLM for administrators, is writable by root alone.
bool HiveWritable(HiveKind kind);

// ReadHive / WriteHive: run fn in one transaction on the hive. Reads never create
// anything. WriteHive takes the write lock up front and commits only when fn
// returns ERROR_SUCCESS, so a failed or interrupted call leaves no part of its
// change behind; it creates the hive file (and its folder) on first use unless
// createHive is false, in which case fn sees a missing hive as an empty one
// (a delete has nothing to delete there). Both return fn's result or the
// storage error that prevented running it.
DWORD ReadHive(HiveKind kind, const std::function<DWORD(HiveTxn&)>& fn);
DWORD WriteHive(HiveKind kind, const std::function<DWORD(HiveTxn&)>& fn, bool createHive = true);

// EnumSubkey / EnumValue: RegEnumKeyExW's and RegEnumValueW's reads of key's
// index-th subkey or value. While the hive is unchanged, the next index is
// answered from the page already read without a transaction. ERROR_KEY_DELETED
// when the key is gone, ERROR_NO_MORE_ITEMS past the end.
// EnumSubkey hands the name and time of change to take, which runs while the
// hive is held (the name is valid during the call only) and gives the result.
DWORD EnumSubkey(HiveKind kind, KeyId key, DWORD index,
                 const std::function<DWORD(std::u16string_view, uint64_t)>& take);
DWORD EnumValue(HiveKind kind, KeyId key, DWORD index, ValueRecord& value, bool withData);

// HiveFailureText: when the last hive call of this thread failed with code
// because of the hive file itself (damaged, foreign, locked, unreadable,
// exposed to other users, ...), the words that name the file and the cause,
// in English or Chinese, each line ending in CR LF; false otherwise.
bool HiveFailureText(DWORD code, bool chinese, std::u16string& text);

// Win32ErrorFromSqlite: the one place a SQLite result code becomes a Win32 error.
DWORD Win32ErrorFromSqlite(int rc, int systemErrno);

} // namespace orvane::platform::storage
