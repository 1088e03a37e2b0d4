// SQLite registry hives. Schema (version 1, PRAGMA user_version):
//
//   keys(id INTEGER PRIMARY KEY AUTOINCREMENT,  -- never reused: a stale id reads as deleted
//        parent INTEGER NOT NULL,               -- 0 for the root key (id 1)
//        name TEXT NOT NULL,                    -- as first created
//        fold BLOB NOT NULL,                    -- upper-cased name, UTF-16 big-endian
//        modified INTEGER NOT NULL,             -- FILETIME ticks
//        UNIQUE(parent, fold))
//   vals(id INTEGER PRIMARY KEY,                -- enumeration follows first insertion
//        key INTEGER NOT NULL, name TEXT NOT NULL, fold BLOB NOT NULL,
//        type INTEGER NOT NULL, data BLOB NOT NULL,
//        UNIQUE(key, fold))
//
// The folded name is stored big-endian so that SQLite's byte order on the blob
// is UTF-16 code-unit order: the unique index then both finds names without
// regard to case and yields subkeys in the order Windows enumerates them.
//
// The database is UTF-16 so names go in and out unconverted (lone surrogates
// included), in WAL mode so readers never wait for a writer, with a busy timeout
// so writers from several processes queue instead of failing.
//
// One connection per hive and process, with its statements prepared once.
// The write-ahead log is folded back into the hive file (and removed) when the
// process ends and when the hive has been idle for a moment, so that outside
// those moments of use the hive is one self-contained file.
//
// A hive file that cannot serve (not a database, another program's database,
// damaged, from a newer release, locked past the wait, unreadable, or a user
// hive other users may read and that is not ours to make private) fails the
// call with a Win32 error, and the stand-in's message text for that error then
// names the file and the cause. Such a file is never changed.
//
// The hive's code is cut by concern: hive_errors.cpp (why a hive failed, and
// SQLite's result codes as Win32 errors), hive_file.cpp (where the hives live,
// their files and modes), hive_connection.cpp (one connection per hive and
// process: opening, the schema, idle folding, fork), hive_txn.cpp (a call's
// transaction and enumeration served from pages) and hive_keys.cpp (names and
// the operations on keys and values). This header is what they share; callers
// include storage/hive.h.
#pragma once
#include "storage/hive.h"

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace orvane::platform::storage {

// sqlite3_bind_* with a null pointer binds NULL; an empty name or value must
// bind as empty text or an empty blob instead.
const BYTE kNoBytes[1] = {0};
const char16_t kNoChars[1] = {0};

// FoldBlob: name upper-cased as the keys' and values' fold column holds it,
// UTF-16 big-endian.
std::string FoldBlob(std::u16string_view name);
uint64_t NowFiletime();

// --- why a hive failed ------------------------------------------------------------

enum class Cause { None, Damaged, Foreign, Newer, Exposed, Busy, Denied, ReadOnly, Full, Io };

// The last SQLite failure of this thread, for telling its cause.
struct SqliteFailure {
    int rc = SQLITE_OK;
    int systemErrno = 0;
};
extern thread_local SqliteFailure t_sqlite;

// The note for HiveFailureText: the failed call's code, file and cause.
struct Note {
    DWORD code = 0;
    Cause cause = Cause::None;
    std::string path;
};
extern thread_local Note t_note;

Cause CauseOfErrno(int e);
Cause CauseOfSqlite(const SqliteFailure& f);
bool DamagesFile(Cause c);
// Fail: notes rc as this thread's last SQLite failure; its Win32 error.
DWORD Fail(sqlite3* db, int rc);

// --- the connection ------------------------------------------------------------------

// LogHeader: the header of the write-ahead log's index, as the -shm file
// shares it between every process using the hive. Every committed change,
// from any process, gives it new contents (a change counter, the log's size,
// checksums), so equal headers mean an unchanged hive; reading it is a look
// at shared memory, not a transaction. Two copies are kept, the writer
// updating one after the other: a read is good only when both agree (the
// log index's layout is SQLite's documented file format).
struct LogHeader {
    std::array<uint8_t, 48> bytes{};
    bool valid = false;
    bool operator==(const LogHeader& o) const { return valid && o.valid && bytes == o.bytes; }
};

// EnumPage: a run of a key's subkeys or values, in order, from index first.
struct EnumRow {
    std::u16string name;
    uint64_t modified = 0; // subkeys
    int64_t id = 0;        // values
    DWORD type = 0;        // values
    size_t size = 0;       // values
};
struct EnumPage {
    bool used = false;
    bool values = false;
    KeyId key = 0;
    HiveStamp stamp;
    LogHeader log; // the log's header from before the page was read, if known
    DWORD first = 0;
    bool atEnd = false;   // nothing follows the last row
    std::string lastFold; // subkeys: where the next page starts
    uint64_t lastUse = 0;
    std::vector<EnumRow> rows;
};

// The bytes of the -shm file mapped: one page, holding the index's header.
constexpr size_t kShmMapBytes = 4096;

uint64_t NextConnectionSerial();

struct Connection {
    sqlite3* db = nullptr;
    uint64_t serial = NextConnectionSerial();
    std::string shmPath;   // the hive's -shm file
    bool readOnce = false; // a transaction ran: the log's index is open
    bool shmTried = false;
    const volatile uint8_t* shm = nullptr; // its first page, mapped read-only
    LogHeader fillLog;                     // read before a transaction that fills a page
    std::vector<std::pair<const char*, sqlite3_stmt*>> statements;
    std::array<EnumPage, 8> pages;
    uint64_t tick = 0;

    // Statement: the prepared statement of sql (a string literal), prepared
    // on first use; null with rc set when it cannot be prepared.
    sqlite3_stmt* Statement(const char* sql, int& rc);

    // ReadLog: the log index's header, when this connection has it open.
    // The -shm file is mapped only once a transaction of ours has opened it:
    // while we hold it open no other process may reset it.
    bool ReadLog(LogHeader& out);

    EnumPage& PageFor(KeyId key, bool values);

    // Close: finalizes the statements and closes; with fold, the log is
    // written back into the hive file first (closing removes it then).
    void Close(bool fold);
};

// One prepared statement of the connection, reset and unbound when done.
class Stmt {
public:
    Stmt(Connection& c, const char* sql) : db_(c.db) {
        rc_ = SQLITE_OK;
        stmt_ = c.Statement(sql, rc_);
    }
    ~Stmt() {
        if (stmt_ != nullptr) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Int(int i, int64_t v) {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Stmt& Text(int i, std::u16string_view v) {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_text16(stmt_, i, v.empty() ? kNoChars : v.data(),
                                      int(v.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Blob(int i, const void* p, size_t n) {
        if (rc_ == SQLITE_OK)
            rc_ = n > size_t(0x7FFFFFFF)
                      ? SQLITE_TOOBIG
                      : sqlite3_bind_blob(stmt_, i, n == 0 ? kNoBytes : p, int(n), SQLITE_STATIC);
        return *this;
    }
    Stmt& Fold(int i, std::u16string_view name) { return FoldBytes(i, FoldBlob(name)); }
    Stmt& FoldBytes(int i, const std::string& fold) {
        if (rc_ == SQLITE_OK)
            rc_ = sqlite3_bind_blob(stmt_, i,
                                    fold.empty() ? static_cast<const void*>(kNoBytes) : fold.data(),
                                    int(fold.size()), SQLITE_TRANSIENT);
        return *this;
    }

    // Step: true with a row; false when done or failed (Error() tells which).
    bool Step() {
        if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW)
            return false;
        rc_ = sqlite3_step(stmt_);
        return rc_ == SQLITE_ROW;
    }
    DWORD Error() const {
        return rc_ == SQLITE_OK || rc_ == SQLITE_ROW || rc_ == SQLITE_DONE ? ERROR_SUCCESS
                                                                           : Fail(db_, rc_);
    }
    // Run: steps a statement that returns no rows.
    DWORD Run() {
        Step();
        return Error();
    }

    int64_t ColInt(int i) const { return sqlite3_column_int64(stmt_, i); }
    std::u16string ColText(int i) const {
        const void* p = sqlite3_column_text16(stmt_, i);
        size_t n = size_t(sqlite3_column_bytes16(stmt_, i)) / sizeof(char16_t);
        return p == nullptr ? std::u16string() : std::u16string(static_cast<const char16_t*>(p), n);
    }
    // ColTextView: the text as SQLite holds it, valid until the next step.
    std::u16string_view ColTextView(int i) const {
        const void* p = sqlite3_column_text16(stmt_, i);
        size_t n = size_t(sqlite3_column_bytes16(stmt_, i)) / sizeof(char16_t);
        return p == nullptr ? std::u16string_view()
                            : std::u16string_view(static_cast<const char16_t*>(p), n);
    }
    std::span<const BYTE> ColBytes(int i) const {
        const BYTE* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, i));
        size_t n = size_t(sqlite3_column_bytes(stmt_, i));
        return p == nullptr ? std::span<const BYTE>() : std::span<const BYTE>(p, n);
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

DWORD Exec(sqlite3* db, const char* sql);

// --- where the hives live ---------------------------------------------------------

std::string HivePath(HiveKind kind);
int WaitMs();
DWORD CreateHiveFile(const std::string& path, HiveKind kind, Cause& cause);
DWORD MakePrivate(const std::string& path, Cause& cause);
DWORD CheckHeader(const std::string& path, Cause& cause);

// FileId: what identifies a file's contents for "has it been replaced or
// changed since we found it unusable".
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    bool operator==(const FileId& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileId IdOf(const struct stat& s);

// --- one connection per hive and process -------------------------------------------

struct HiveState {
    std::mutex mutex;
    Connection* conn = nullptr;
    pid_t pid = 0;
    bool readOnly = false;
    bool schemaReady = false;
    std::string path;
    // A file found unusable is not touched again until it is replaced or changed.
    bool unusable = false;
    DWORD unusableError = 0;
    Cause unusableCause = Cause::None;
    FileId unusableId;
    std::atomic<int64_t> lastUse{0}; // steady-clock ticks of the last call
};

HiveState& State(HiveKind kind);
pid_t ProcessId();

void Used(HiveState& st);
void MarkUnusable(HiveState& st, DWORD err, Cause cause);
DWORD Open(HiveKind kind, HiveState& st, bool forWrite, bool create, Cause& cause);
DWORD CheckVersion(Connection& c, bool& ready, Cause& cause);
DWORD EnsureSchema(HiveState& st, Cause& cause);

// --- enumeration pages -------------------------------------------------------------

DWORD ReadStamp(Connection& c, HiveStamp& stamp);
DWORD FromPage(const EnumPage& p, const HiveStamp& stamp, DWORD index, const EnumRow*& row,
               bool& found);

} // namespace orvane::platform::storage
