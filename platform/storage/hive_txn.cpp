// A registry call's transaction on a hive, and the enumeration of a key's
// subkeys and values served from pages read in earlier transactions.
#include "storage/hive_internal.h"

#include <functional>
#include <mutex>
#include <new>

namespace orvane::platform::storage {

namespace {

DWORD RunInTransaction(Connection& c, bool write, const std::function<DWORD(HiveTxn&)>& fn) {
    if (DWORD err = Stmt(c, write ? "BEGIN IMMEDIATE" : "BEGIN").Run(); err != ERROR_SUCCESS)
        return err;
    DWORD result;
    try {
        HiveTxn txn(&c);
        result = fn(txn);
    } catch (const std::bad_alloc&) {
        result = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (result == ERROR_SUCCESS)
        result = Stmt(c, "COMMIT").Run();
    if (result != ERROR_SUCCESS && sqlite3_get_autocommit(c.db) == 0)
        sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (result == ERROR_SUCCESS)
        c.readOnce = true;
    return result;
}

DWORD RunOnEmptyHive(const std::function<DWORD(HiveTxn&)>& fn) {
    HiveTxn empty(nullptr);
    try {
        return fn(empty);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Call: one registry call's hold on a hive. It clears the thread's note at the
// start and, at the end, notes a failure that came from the hive file itself,
// or marks a file that turned out damaged as unusable.
class Call {
public:
    explicit Call(HiveKind kind) : kind_(kind), st_(State(kind)), lock_(st_.mutex) {
        if (t_note.cause != Cause::None)
            t_note = Note{};
        t_sqlite = SqliteFailure{};
    }
    // The watcher's lock is taken before a hive's (fork does), never while
    // holding one.
    ~Call() {
        const bool open = st_.pid == ProcessId() && st_.conn != nullptr;
        lock_.unlock();
        if (open)
            Used(st_);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    HiveState& St() { return st_; }

    // Open: Open and, for reads, the version check; for writes the schema.
    DWORD Open(bool forWrite, bool create) {
        Cause cause = Cause::None;
        DWORD err = storage::Open(kind_, st_, forWrite, create, cause);
        if (err == ERROR_SUCCESS && st_.conn != nullptr) {
            if (forWrite)
                err = EnsureSchema(st_, cause);
            else if (!st_.schemaReady)
                err = CheckVersion(*st_.conn, st_.schemaReady, cause);
        }
        return Finish(err, cause);
    }

    // Finish: err as the call's result; a failure of the file is noted, and a
    // file found damaged is left alone from then on. (Only the file's own
    // verdicts count as damage: SQLite's "corrupt" and "not a database", and
    // the checks of Open; a statement of ours that fails is not the file's.)
    DWORD Finish(DWORD err, Cause cause = Cause::None) {
        if (err == ERROR_SUCCESS)
            return err;
        bool damaged = DamagesFile(cause);
        if (cause == Cause::None && t_sqlite.rc != SQLITE_OK &&
            Win32ErrorFromSqlite(t_sqlite.rc, t_sqlite.systemErrno) == err) {
            cause = CauseOfSqlite(t_sqlite);
            const int primary = t_sqlite.rc & 0xFF;
            damaged = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB ||
                      primary == SQLITE_FORMAT || t_sqlite.rc == SQLITE_IOERR_CORRUPTFS;
        }
        if (cause == Cause::None)
            return err;
        if (damaged && !st_.unusable)
            MarkUnusable(st_, err, cause);
        t_note = Note{err, cause, st_.path};
        return err;
    }

private:
    HiveKind kind_;
    HiveState& st_;
    std::unique_lock<std::mutex> lock_;
};

} // namespace

// --- enumeration pages -------------------------------------------------------------

DWORD ReadStamp(Connection& c, HiveStamp& stamp) {
    Stmt s(c, "PRAGMA data_version");
    if (!s.Step())
        return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_BADDB);
    stamp.connection = c.serial;
    stamp.others = s.ColInt(0);
    stamp.own = sqlite3_total_changes64(c.db);
    return ERROR_SUCCESS;
}

// FromPage: the index-th row if the page holds it for the hive as stamped.
// found is false when the page cannot tell; past the end, NO_MORE_ITEMS.
DWORD FromPage(const EnumPage& p, const HiveStamp& stamp, DWORD index, const EnumRow*& row,
               bool& found) {
    found = false;
    if (!p.used || p.rows.empty() || !(p.stamp == stamp) || index < p.first)
        return ERROR_SUCCESS;
    const size_t offset = size_t(index - p.first);
    if (offset < p.rows.size()) {
        row = &p.rows[offset];
        found = true;
        return ERROR_SUCCESS;
    }
    if (p.atEnd) {
        found = true;
        return ERROR_NO_MORE_ITEMS;
    }
    return ERROR_SUCCESS;
}

namespace {

// RunHive: ReadHive and WriteHive. A reader also meets an empty hive where
// the tables were never made; a writer's Open makes them.
DWORD RunHive(HiveKind kind, bool write, bool createHive,
              const std::function<DWORD(HiveTxn&)>& fn) {
    Call call(kind);
    if (DWORD err = call.Open(write, createHive); err != ERROR_SUCCESS)
        return err;
    HiveState& st = call.St();
    if (st.conn == nullptr || (!write && !st.schemaReady))
        return RunOnEmptyHive(fn);
    return call.Finish(RunInTransaction(*st.conn, write, fn));
}

} // namespace

DWORD ReadHive(HiveKind kind, const std::function<DWORD(HiveTxn&)>& fn) {
    return RunHive(kind, false, false, fn);
}

DWORD WriteHive(HiveKind kind, const std::function<DWORD(HiveTxn&)>& fn, bool createHive) {
    if (!HiveWritable(kind))
        return ERROR_ACCESS_DENIED;
    return RunHive(kind, true, createHive, fn);
}

namespace {

// Enumerate: EnumSubkey and EnumValue. The page of the key is first asked
// outside a transaction (one statement tells whether the hive changed); only
// when it cannot answer is a transaction run to read the next page.
template <class Answer>
DWORD Enumerate(HiveKind kind, KeyId key, bool values, DWORD index, bool needsTxn,
                const std::function<DWORD(HiveTxn&)>& slow, Answer&& answer) {
    Call call(kind);
    if (DWORD err = call.Open(false, false); err != ERROR_SUCCESS)
        return err;
    HiveState& st = call.St();
    if (st.conn == nullptr || !st.schemaReady)
        return RunOnEmptyHive(slow);
    Connection& c = *st.conn;
    LogHeader log;
    c.ReadLog(log);
    if (!needsTxn) {
        EnumPage& page = c.PageFor(key, values);
        // Unchanged since the page was read: the log's header says so at a
        // glance; without it, one statement asks.
        HiveStamp stamp;
        const bool same = (log.valid && page.log == log) ||
                          (ReadStamp(c, stamp) == ERROR_SUCCESS && page.stamp == stamp);
        const EnumRow* row = nullptr;
        bool found = false;
        DWORD err = same ? FromPage(page, page.stamp, index, row, found) : DWORD(ERROR_SUCCESS);
        if (found)
            return err == ERROR_SUCCESS ? answer(*row) : err;
    }
    t_sqlite = SqliteFailure{};
    c.fillLog = log;
    DWORD err = RunInTransaction(c, false, slow);
    c.fillLog = LogHeader{};
    return call.Finish(err);
}

} // namespace

DWORD EnumSubkey(HiveKind kind, KeyId key, DWORD index,
                 const std::function<DWORD(std::u16string_view, uint64_t)>& take) {
    return Enumerate(
        kind, key, false, index, false,
        [&](HiveTxn& txn) -> DWORD {
            if (DWORD err = txn.RequireKey(key); err != ERROR_SUCCESS)
                return err;
            std::u16string name;
            uint64_t modified = 0;
            DWORD err = txn.ChildAt(key, index, name, modified);
            return err != ERROR_SUCCESS ? err : take(name, modified);
        },
        [&](const EnumRow& row) -> DWORD { return take(row.name, row.modified); });
}

DWORD EnumValue(HiveKind kind, KeyId key, DWORD index, ValueRecord& value, bool withData) {
    // The bytes must come from the same snapshot as the name: with data, the
    // page is consulted inside the transaction.
    return Enumerate(
        kind, key, true, index, withData,
        [&](HiveTxn& txn) -> DWORD {
            if (DWORD err = txn.RequireKey(key); err != ERROR_SUCCESS)
                return err;
            return txn.ValueAt(key, index, value, withData);
        },
        [&](const EnumRow& row) -> DWORD {
            value.name = row.name;
            value.type = row.type;
            value.size = row.size;
            value.data.clear();
            return ERROR_SUCCESS;
        });
}

DWORD HiveTxn::Stamp(HiveStamp& stamp) {
    if (c_ == nullptr) {
        stamp = HiveStamp{};
        return ERROR_SUCCESS;
    }
    return ReadStamp(*c_, stamp);
}

} // namespace orvane::platform::storage
