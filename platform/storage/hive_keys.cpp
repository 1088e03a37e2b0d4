// Keys and values: how names compare without regard to case, and the
// operations of a transaction on the keys and vals tables.
#include "storage/hive_internal.h"

#include <ctime>
#include <functional>

namespace orvane::platform::storage {

namespace {

// Rows read at once when enumerating a key's subkeys or values.
constexpr int kPageRows = 256;

char16_t FoldChar(char16_t c) {
    if (c >= u'a' && c <= u'z')
        return char16_t(c - 0x20);
    if (c < 0x80)
        return c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) // Latin-1 letters, not the division sign
        return char16_t(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    // Latin Extended-A: upper case even in these runs, odd in the others.
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return char16_t(c & ~1u);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1u) ? c : char16_t(c - 1);
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) // Greek
        return char16_t(c - 0x20);
    if (c == 0x3C2) // final sigma
        return 0x3A3;
    if (c >= 0x430 && c <= 0x44F) // Cyrillic
        return char16_t(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return char16_t(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) // full-width Latin
        return char16_t(c - 0x20);
    return c;
}

// PagedRow: the index-th child key (values false) or value of owner, served
// from the connection's page for it while the hive is unchanged. Otherwise
// fill(page, next) reads the page anew from index on into page.rows: next
// says the page just read ends right before index, so the new one starts
// after its last row (keyset paging, O(page) however far in); anywhere else
// it is looked up by position.
template <class Fill>
DWORD PagedRow(Connection& c, KeyId owner, bool values, DWORD index, const EnumRow*& row,
               Fill fill) {
    HiveStamp stamp;
    if (DWORD err = ReadStamp(c, stamp); err != ERROR_SUCCESS)
        return err;
    EnumPage& page = c.PageFor(owner, values);
    bool found = false;
    DWORD err = FromPage(page, stamp, index, row, found);
    if (page.used && page.stamp == stamp && c.fillLog.valid)
        page.log = c.fillLog; // unchanged since it was read: as of that header too
    if (found)
        return err;
    const bool next = page.used && page.stamp == stamp && !page.rows.empty() &&
                      index == page.first + page.rows.size();
    if (DWORD ferr = fill(page, next); ferr != ERROR_SUCCESS) {
        page.used = false;
        return ferr;
    }
    page.stamp = stamp;
    page.log = c.fillLog;
    page.first = index;
    page.atEnd = page.rows.size() < size_t(kPageRows);
    if (page.rows.empty())
        return ERROR_NO_MORE_ITEMS;
    row = &page.rows[0];
    return ERROR_SUCCESS;
}

} // namespace

std::string FoldBlob(std::u16string_view name) {
    std::string out;
    out.reserve(name.size() * 2);
    for (char16_t c : name) {
        char16_t f = FoldChar(c);
        out.push_back(char(f >> 8));
        out.push_back(char(f & 0xFF));
    }
    return out;
}

uint64_t NowFiletime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    constexpr uint64_t kEpochDelta = 11644473600ULL; // 1601-01-01 to 1970-01-01, seconds
    return (uint64_t(ts.tv_sec) + kEpochDelta) * 10000000ULL + uint64_t(ts.tv_nsec) / 100;
}

std::u16string FoldName(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out)
        c = FoldChar(c);
    return out;
}

// --- the operations of a transaction -------------------------------------------------

DWORD HiveTxn::KeyExists(KeyId id, bool& exists) {
    if (c_ == nullptr) {
        exists = id == kRootKey;
        return ERROR_SUCCESS;
    }
    Stmt s(*c_, "SELECT 1 FROM keys WHERE id=?1");
    exists = s.Int(1, id).Step();
    return s.Error();
}

DWORD HiveTxn::RequireKey(KeyId id) {
    bool exists = false;
    if (DWORD err = KeyExists(id, exists); err != ERROR_SUCCESS)
        return err;
    return exists ? DWORD(ERROR_SUCCESS) : DWORD(ERROR_KEY_DELETED);
}

DWORD HiveTxn::FindChild(KeyId parent, std::u16string_view name, KeyId& child) {
    if (c_ == nullptr)
        return ERROR_FILE_NOT_FOUND;
    Stmt s(*c_, "SELECT id FROM keys WHERE parent=?1 AND fold=?2");
    if (!s.Int(1, parent).Fold(2, name).Step())
        return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_FILE_NOT_FOUND);
    child = s.ColInt(0);
    return ERROR_SUCCESS;
}

DWORD HiveTxn::CreateChild(KeyId parent, std::u16string_view name, KeyId& child) {
    if (c_ == nullptr)
        return ERROR_INTERNAL_ERROR;
    DWORD err = Stmt(*c_, "INSERT INTO keys(parent, name, fold, modified) VALUES(?1, ?2, ?3, ?4)")
                    .Int(1, parent)
                    .Text(2, name)
                    .Fold(3, name)
                    .Int(4, int64_t(NowFiletime()))
                    .Run();
    if (err != ERROR_SUCCESS)
        return err;
    child = sqlite3_last_insert_rowid(c_->db);
    return Touch(parent);
}

DWORD HiveTxn::HasChildren(KeyId id, bool& has) {
    if (c_ == nullptr) {
        has = false;
        return ERROR_SUCCESS;
    }
    Stmt s(*c_, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
    has = s.Int(1, id).Step();
    return s.Error();
}

DWORD HiveTxn::DeleteKey(KeyId id) {
    if (c_ == nullptr || id == kRootKey)
        return ERROR_INTERNAL_ERROR;
    KeyId parent = 0;
    {
        Stmt s(*c_, "SELECT parent FROM keys WHERE id=?1");
        if (!s.Int(1, id).Step())
            return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_KEY_DELETED);
        parent = s.ColInt(0);
    }
    if (DWORD err = Stmt(*c_, "DELETE FROM vals WHERE key=?1").Int(1, id).Run();
        err != ERROR_SUCCESS)
        return err;
    if (DWORD err = Stmt(*c_, "DELETE FROM keys WHERE id=?1").Int(1, id).Run();
        err != ERROR_SUCCESS)
        return err;
    return Touch(parent);
}

DWORD HiveTxn::ChildAt(KeyId parent, DWORD index, std::u16string& name, uint64_t& modified) {
    if (c_ == nullptr)
        return ERROR_NO_MORE_ITEMS;
    const EnumRow* row = nullptr;
    const DWORD err = PagedRow(*c_, parent, false, index, row, [&](EnumPage& page, bool next) {
        Stmt s(*c_, next ? "SELECT name, modified, fold FROM keys WHERE parent=?1 AND fold>?2"
                           " ORDER BY fold LIMIT ?3"
                         : "SELECT name, modified, fold FROM keys WHERE parent=?1"
                           " ORDER BY fold LIMIT ?3 OFFSET ?2");
        s.Int(1, parent).Int(3, kPageRows);
        if (next)
            s.FoldBytes(2, page.lastFold);
        else
            s.Int(2, index);
        // The page's rows and strings are reused: their storage stays.
        std::vector<EnumRow>& rows = page.rows;
        size_t n = 0;
        while (s.Step()) {
            if (n == rows.size())
                rows.emplace_back();
            EnumRow& r = rows[n++];
            r.name.assign(s.ColTextView(0));
            r.modified = uint64_t(s.ColInt(1));
            const auto fold = s.ColBytes(2);
            page.lastFold.assign(reinterpret_cast<const char*>(fold.data()), fold.size());
        }
        rows.resize(n);
        return s.Error();
    });
    if (err != ERROR_SUCCESS)
        return err;
    name = row->name;
    modified = row->modified;
    return ERROR_SUCCESS;
}

DWORD HiveTxn::ChildrenWithValue(
    KeyId parent, std::u16string_view valueName,
    const std::function<void(std::u16string_view, DWORD, std::span<const BYTE>)>& fn) {
    if (c_ == nullptr)
        return ERROR_SUCCESS;
    Stmt s(*c_, "SELECT k.name, v.type, v.data FROM keys k JOIN vals v ON v.key=k.id AND v.fold=?2"
                " WHERE k.parent=?1 ORDER BY k.fold");
    s.Int(1, parent).Fold(2, valueName);
    while (s.Step())
        fn(s.ColTextView(0), DWORD(s.ColInt(1)), s.ColBytes(2));
    return s.Error();
}

DWORD HiveTxn::ChildNames(KeyId parent, const std::function<void(std::u16string_view)>& fn) {
    if (c_ == nullptr)
        return ERROR_SUCCESS;
    Stmt s(*c_, "SELECT name FROM keys WHERE parent=?1 ORDER BY fold");
    s.Int(1, parent);
    while (s.Step())
        fn(s.ColTextView(0));
    return s.Error();
}

DWORD HiveTxn::GetValue(KeyId key, std::u16string_view name, DWORD& type, size_t& size,
                        std::vector<BYTE>* data) {
    if (c_ == nullptr)
        return ERROR_FILE_NOT_FOUND;
    Stmt s(*c_, data != nullptr
                    ? "SELECT type, length(data), data FROM vals WHERE key=?1 AND fold=?2"
                    : "SELECT type, length(data) FROM vals WHERE key=?1 AND fold=?2");
    if (!s.Int(1, key).Fold(2, name).Step())
        return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_FILE_NOT_FOUND);
    type = DWORD(s.ColInt(0));
    size = size_t(s.ColInt(1));
    if (data != nullptr) {
        auto bytes = s.ColBytes(2);
        data->assign(bytes.begin(), bytes.end());
    }
    return ERROR_SUCCESS;
}

DWORD HiveTxn::SetValue(KeyId key, std::u16string_view name, DWORD type,
                        std::span<const BYTE> data) {
    if (c_ == nullptr)
        return ERROR_INTERNAL_ERROR;
    // A value set again keeps its name's spelling and its place in the order.
    DWORD err = Stmt(*c_, "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                          " ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type,"
                          " data=excluded.data")
                    .Int(1, key)
                    .Text(2, name)
                    .Fold(3, name)
                    .Int(4, type)
                    .Blob(5, data.data(), data.size())
                    .Run();
    return err != ERROR_SUCCESS ? err : Touch(key);
}

DWORD HiveTxn::DeleteValue(KeyId key, std::u16string_view name) {
    if (c_ == nullptr)
        return ERROR_FILE_NOT_FOUND;
    DWORD err =
        Stmt(*c_, "DELETE FROM vals WHERE key=?1 AND fold=?2").Int(1, key).Fold(2, name).Run();
    if (err != ERROR_SUCCESS)
        return err;
    if (sqlite3_changes(c_->db) == 0)
        return ERROR_FILE_NOT_FOUND;
    return Touch(key);
}

DWORD HiveTxn::ValueAt(KeyId key, DWORD index, ValueRecord& value, bool withData) {
    if (c_ == nullptr)
        return ERROR_NO_MORE_ITEMS;
    const EnumRow* row = nullptr;
    const DWORD err = PagedRow(*c_, key, true, index, row, [&](EnumPage& page, bool next) {
        Stmt s(*c_, next ? "SELECT id, name, type, length(data) FROM vals WHERE key=?1 AND id>?2"
                           " ORDER BY id LIMIT ?3"
                         : "SELECT id, name, type, length(data) FROM vals WHERE key=?1"
                           " ORDER BY id LIMIT ?3 OFFSET ?2");
        s.Int(1, key).Int(2, next ? page.rows.back().id : int64_t(index)).Int(3, kPageRows);
        std::vector<EnumRow> rows;
        while (s.Step()) {
            EnumRow r;
            r.id = s.ColInt(0);
            r.name = s.ColText(1);
            r.type = DWORD(s.ColInt(2));
            r.size = size_t(s.ColInt(3));
            rows.push_back(std::move(r));
        }
        page.rows = std::move(rows);
        return s.Error();
    });
    if (err != ERROR_SUCCESS)
        return err;
    value.name = row->name;
    value.type = row->type;
    value.size = row->size;
    value.data.clear();
    if (withData) {
        Stmt s(*c_, "SELECT data FROM vals WHERE id=?1");
        if (!s.Int(1, row->id).Step())
            return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_BADDB);
        auto bytes = s.ColBytes(0);
        value.data.assign(bytes.begin(), bytes.end());
    }
    return ERROR_SUCCESS;
}

DWORD HiveTxn::Stats(KeyId key, KeyStats& stats) {
    stats = KeyStats{};
    if (c_ == nullptr)
        return ERROR_SUCCESS;
    // The folded name has as many code units as the name: half its bytes.
    {
        Stmt s(*c_, "SELECT count(*), coalesce(max(length(fold)), 0) / 2 FROM keys"
                    " WHERE parent=?1");
        if (!s.Int(1, key).Step())
            return s.Error();
        stats.subkeys = DWORD(s.ColInt(0));
        stats.maxSubkeyChars = DWORD(s.ColInt(1));
    }
    {
        Stmt s(*c_, "SELECT count(*), coalesce(max(length(fold)), 0) / 2,"
                    " coalesce(max(length(data)), 0) FROM vals WHERE key=?1");
        if (!s.Int(1, key).Step())
            return s.Error();
        stats.values = DWORD(s.ColInt(0));
        stats.maxValueNameChars = DWORD(s.ColInt(1));
        stats.maxValueBytes = DWORD(s.ColInt(2));
    }
    Stmt s(*c_, "SELECT modified FROM keys WHERE id=?1");
    if (s.Int(1, key).Step())
        stats.modified = uint64_t(s.ColInt(0));
    return s.Error();
}

DWORD HiveTxn::Touch(KeyId id) {
    return Stmt(*c_, "UPDATE keys SET modified=?1 WHERE id=?2")
        .Int(1, int64_t(NowFiletime()))
        .Int(2, id)
        .Run();
}

} // namespace orvane::platform::storage
