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
#include "storage/hive.h"

#include "internal/util.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::platform::storage {

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;

const char kSchema[] = "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " parent INTEGER NOT NULL, name TEXT NOT NULL, fold BLOB NOT NULL,"
                       " modified INTEGER NOT NULL, UNIQUE(parent, fold));"
                       "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
                       " name TEXT NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL,"
                       " data BLOB NOT NULL, UNIQUE(key, fold));";

// sqlite3_bind_* with a null pointer binds NULL; an empty name or value must
// bind as empty text or an empty blob instead.
const BYTE kNoBytes[1] = {0};
const char16_t kNoChars[1] = {0};

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

DWORD Fail(sqlite3* db, int rc) {
    return Win32ErrorFromSqlite(rc, db != nullptr ? sqlite3_system_errno(db) : 0);
}

// One prepared statement; finalized on every path.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Stmt() { sqlite3_finalize(stmt_); }
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
    Stmt& Fold(int i, std::u16string_view name) {
        std::string fold = FoldBlob(name);
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
    std::vector<BYTE> ColBlob(int i) const {
        const BYTE* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, i));
        size_t n = size_t(sqlite3_column_bytes(stmt_, i));
        return p == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(p, p + n);
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

DWORD Exec(sqlite3* db, const char* sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(db, rc);
}

DWORD UserVersion(sqlite3* db, int& version) {
    Stmt s(db, "PRAGMA user_version");
    version = s.Step() ? int(s.ColInt(0)) : 0;
    return s.Error();
}

// --- where the hives live ---------------------------------------------------------

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buf(size > 0 ? size_t(size) : size_t(16384), '\0');
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

std::string HivePath(HiveKind kind) {
    if (kind == HiveKind::LocalMachine) {
        const char* env = std::getenv("ORVANE_MACHINE_HIVE");
        return env != nullptr && env[0] != 0 ? env : "/var/lib/orvane/machine.db";
    }
    if (const char* env = std::getenv("ORVANE_USER_HIVE"); env != nullptr && env[0] != 0)
        return env;
    // A relative XDG_DATA_HOME is invalid and ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/orvane/user.db";
    std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.local/share/orvane/user.db";
}

// The user's hive is private to the user; the machine hive is readable by all,
// as HKLM is, and its folder must let every user reach it.
mode_t FileMode(HiveKind kind) {
    return kind == HiveKind::CurrentUser ? 0600 : 0644;
}
mode_t FolderMode(HiveKind kind) {
    return kind == HiveKind::CurrentUser ? 0700 : 0755;
}

// MakeFolders: creates the missing folders of path's parent with mode (whatever
// the umask); folders that exist are left as they are.
DWORD MakeFolders(const std::string& path, mode_t mode) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (::mkdir(dir.c_str(), mode) == 0) {
            if (::chmod(dir.c_str(), mode) != 0)
                return Win32ErrorFromErrno(errno);
        } else if (errno != EEXIST) {
            return Win32ErrorFromErrno(errno);
        }
    }
    return ERROR_SUCCESS;
}

DWORD CreateHiveFile(const std::string& path, HiveKind kind) {
    if (DWORD err = MakeFolders(path, FolderMode(kind)); err != ERROR_SUCCESS)
        return err;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, FileMode(kind));
    if (fd < 0) // EEXIST: another process made it first
        return errno == EEXIST ? ERROR_SUCCESS : Win32ErrorFromErrno(errno);
    DWORD err = ::fchmod(fd, FileMode(kind)) == 0 ? ERROR_SUCCESS : Win32ErrorFromErrno(errno);
    ::close(fd);
    return err;
}

// --- one connection per hive and process -------------------------------------------

struct HiveState {
    std::mutex mutex;
    sqlite3* db = nullptr;
    pid_t pid = 0;
    bool readOnly = false;
    bool schemaReady = false;
};

HiveState& State(HiveKind kind) {
    // Never destroyed: other static destructors may still use the registry.
    static HiveState* states = new HiveState[2];
    return states[kind == HiveKind::CurrentUser ? 0 : 1];
}

// A connection inherited through fork() belongs to the parent; using or closing
// it here could disturb the parent's locks, so the child drops it (kept reachable
// for leak checkers) and opens its own.
void DropInheritedConnection(HiveState& st) {
    if (st.pid == getpid())
        return;
    if (st.db != nullptr) {
        static std::vector<sqlite3*>* abandoned = new std::vector<sqlite3*>;
        abandoned->push_back(st.db);
    }
    st.db = nullptr;
    st.schemaReady = false;
    st.pid = getpid();
}

// Open: connects to the hive. When the file does not exist, creates it if asked,
// else succeeds with st.db still null.
DWORD Open(HiveKind kind, HiveState& st, bool forWrite, bool create) {
    DropInheritedConnection(st);
    if (st.db != nullptr)
        return forWrite && st.readOnly ? DWORD(ERROR_ACCESS_DENIED) : DWORD(ERROR_SUCCESS);

    std::string path = HivePath(kind);
    if (path.empty()) // no home folder: there can be no user hive to read
        return create ? DWORD(ERROR_PATH_NOT_FOUND) : DWORD(ERROR_SUCCESS);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            return Win32ErrorFromErrno(errno);
        if (!create)
            return ERROR_SUCCESS;
        if (DWORD err = CreateHiveFile(path, kind); err != ERROR_SUCCESS)
            return err;
    }

    const bool writable = HiveWritable(kind);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        DWORD err = Fail(db, rc);
        sqlite3_close(db);
        return err;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (writable) {
        // Committed changes survive a crash of the process; a power cut may roll
        // back the last few, never tear one. Windows flushes its hives lazily too.
        sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        if (kind == HiveKind::LocalMachine) {
            // Keep the -wal and -shm files when root's last connection closes, so
            // other users, who cannot create files beside the hive, can still read it.
            int persist = 1;
            sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        }
    }
    st.db = db;
    st.readOnly = !writable || sqlite3_db_readonly(db, "main") == 1;
    st.schemaReady = false;
    return forWrite && st.readOnly ? DWORD(ERROR_ACCESS_DENIED) : DWORD(ERROR_SUCCESS);
}

// CheckVersion: ready is true when the hive holds our schema; false for a file
// in which no schema was made yet (an interrupted first write).
DWORD CheckVersion(sqlite3* db, bool& ready) {
    int version = 0;
    if (DWORD err = UserVersion(db, version); err != ERROR_SUCCESS)
        return err;
    if (version > kSchemaVersion)
        return ERROR_REVISION_MISMATCH; // written by a newer release; refuse to guess
    ready = version == kSchemaVersion;
    return ERROR_SUCCESS;
}

// UseWal: switching a new hive to WAL needs the file to itself, and SQLite
// answers "busy" at once instead of calling the busy handler; so wait here, as
// long as the busy timeout would, for the other process to finish (usually it
// has made the switch itself, which turns ours into a no-op).
DWORD UseWal(sqlite3* db) {
    constexpr int kPauseMs = 5;
    for (int waited = 0;; waited += kPauseMs) {
        Stmt wal(db, "PRAGMA journal_mode=WAL");
        if (wal.Step())
            return ERROR_SUCCESS;
        DWORD err = wal.Error() != ERROR_SUCCESS ? wal.Error() : DWORD(ERROR_BADDB);
        if (err != ERROR_BUSY || waited >= kBusyTimeoutMs)
            return err;
        sqlite3_sleep(kPauseMs);
    }
}

DWORD EnsureSchema(HiveState& st) {
    if (st.schemaReady)
        return ERROR_SUCCESS;
    sqlite3* db = st.db;
    // A file that is no hive of ours, or one from a newer release, is refused
    // before anything (even the journal mode) is written to it.
    bool ready = false;
    if (DWORD err = CheckVersion(db, ready); err != ERROR_SUCCESS)
        return err;
    if (ready) {
        st.schemaReady = true;
        return ERROR_SUCCESS;
    }
    // A new (empty) file. The encoding only takes effect there, so it comes first.
    if (DWORD err = Exec(db, "PRAGMA encoding='UTF-16le'"); err != ERROR_SUCCESS)
        return err;
    if (DWORD err = UseWal(db); err != ERROR_SUCCESS)
        return err;
    if (DWORD err = Exec(db, "BEGIN IMMEDIATE"); err != ERROR_SUCCESS)
        return err;
    // Again under the write lock: another process may have made the schema meanwhile.
    DWORD err = CheckVersion(db, ready);
    if (err == ERROR_SUCCESS && !ready) {
        err = Exec(db, kSchema);
        if (err == ERROR_SUCCESS)
            err = Stmt(db, "INSERT INTO keys(id, parent, name, fold, modified)"
                           " VALUES(1, 0, '', x'', ?1)")
                      .Int(1, int64_t(NowFiletime()))
                      .Run();
        if (err == ERROR_SUCCESS)
            err = Exec(db, "PRAGMA user_version=1");
    }
    if (err == ERROR_SUCCESS)
        err = Exec(db, "COMMIT");
    if (err != ERROR_SUCCESS) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return err;
    }
    st.schemaReady = true;
    return ERROR_SUCCESS;
}

DWORD RunInTransaction(sqlite3* db, const char* begin, const std::function<DWORD(HiveTxn&)>& fn) {
    if (DWORD err = Exec(db, begin); err != ERROR_SUCCESS)
        return err;
    DWORD result;
    try {
        HiveTxn txn(db);
        result = fn(txn);
    } catch (const std::bad_alloc&) {
        result = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (result == ERROR_SUCCESS)
        result = Exec(db, "COMMIT");
    if (result != ERROR_SUCCESS && sqlite3_get_autocommit(db) == 0)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
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

} // namespace

// --- error mapping -------------------------------------------------------------------

DWORD Win32ErrorFromSqlite(int rc, int systemErrno) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_BUSY: // another process held the hive past the busy timeout
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return ERROR_BUSY;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CANTOPEN:
        if (systemErrno == ENOENT || systemErrno == ENOTDIR)
            return ERROR_FILE_NOT_FOUND;
        if (systemErrno == EACCES || systemErrno == EPERM || systemErrno == EROFS)
            return ERROR_ACCESS_DENIED;
        return ERROR_CANTOPEN;
    case SQLITE_IOERR:
        if (systemErrno == ENOSPC || systemErrno == EFBIG || systemErrno == EDQUOT)
            return ERROR_DISK_FULL;
        if (systemErrno == EACCES || systemErrno == EPERM || systemErrno == EROFS)
            return ERROR_ACCESS_DENIED;
        switch (rc) {
        case SQLITE_IOERR_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_IOERR_READ:
        case SQLITE_IOERR_SHORT_READ:
            return ERROR_CANTREAD;
        case SQLITE_IOERR_WRITE:
        case SQLITE_IOERR_FSYNC:
        case SQLITE_IOERR_DIR_FSYNC:
        case SQLITE_IOERR_TRUNCATE:
            return ERROR_CANTWRITE;
        case SQLITE_IOERR_CORRUPTFS:
            return ERROR_BADDB;
        default:
            return ERROR_REGISTRY_IO_FAILED;
        }
    // The file is not a database, or not one holding our schema.
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
        return ERROR_BADDB;
    default: // misuse, range, internal: a fault of ours
        return ERROR_INTERNAL_ERROR;
    }
}

// --- names ---------------------------------------------------------------------------

std::u16string FoldName(std::u16string_view name) {
    std::u16string out(name);
    for (char16_t& c : out)
        c = FoldChar(c);
    return out;
}

// --- transactions --------------------------------------------------------------------

bool HiveWritable(HiveKind kind) {
    return kind == HiveKind::CurrentUser || geteuid() == 0;
}

DWORD ReadHive(HiveKind kind, const std::function<DWORD(HiveTxn&)>& fn) {
    HiveState& st = State(kind);
    std::lock_guard<std::mutex> lock(st.mutex);
    if (DWORD err = Open(kind, st, false, false); err != ERROR_SUCCESS)
        return err;
    if (st.db != nullptr && !st.schemaReady) {
        if (DWORD err = CheckVersion(st.db, st.schemaReady); err != ERROR_SUCCESS)
            return err;
    }
    if (st.db == nullptr || !st.schemaReady)
        return RunOnEmptyHive(fn);
    return RunInTransaction(st.db, "BEGIN", fn);
}

DWORD WriteHive(HiveKind kind, const std::function<DWORD(HiveTxn&)>& fn, bool createHive) {
    if (!HiveWritable(kind))
        return ERROR_ACCESS_DENIED;
    HiveState& st = State(kind);
    std::lock_guard<std::mutex> lock(st.mutex);
    if (DWORD err = Open(kind, st, true, createHive); err != ERROR_SUCCESS)
        return err;
    if (st.db == nullptr)
        return RunOnEmptyHive(fn);
    if (DWORD err = EnsureSchema(st); err != ERROR_SUCCESS)
        return err;
    return RunInTransaction(st.db, "BEGIN IMMEDIATE", fn);
}

DWORD HiveTxn::KeyExists(KeyId id, bool& exists) {
    if (db_ == nullptr) {
        exists = id == kRootKey;
        return ERROR_SUCCESS;
    }
    Stmt s(db_, "SELECT 1 FROM keys WHERE id=?1");
    exists = s.Int(1, id).Step();
    return s.Error();
}

DWORD HiveTxn::FindChild(KeyId parent, std::u16string_view name, KeyId& child) {
    if (db_ == nullptr)
        return ERROR_FILE_NOT_FOUND;
    Stmt s(db_, "SELECT id FROM keys WHERE parent=?1 AND fold=?2");
    if (!s.Int(1, parent).Fold(2, name).Step())
        return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_FILE_NOT_FOUND);
    child = s.ColInt(0);
    return ERROR_SUCCESS;
}

DWORD HiveTxn::CreateChild(KeyId parent, std::u16string_view name, KeyId& child) {
    if (db_ == nullptr)
        return ERROR_INTERNAL_ERROR;
    DWORD err = Stmt(db_, "INSERT INTO keys(parent, name, fold, modified) VALUES(?1, ?2, ?3, ?4)")
                    .Int(1, parent)
                    .Text(2, name)
                    .Fold(3, name)
                    .Int(4, int64_t(NowFiletime()))
                    .Run();
    if (err != ERROR_SUCCESS)
        return err;
    child = sqlite3_last_insert_rowid(db_);
    return Touch(parent);
}

DWORD HiveTxn::HasChildren(KeyId id, bool& has) {
    if (db_ == nullptr) {
        has = false;
        return ERROR_SUCCESS;
    }
    Stmt s(db_, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
    has = s.Int(1, id).Step();
    return s.Error();
}

DWORD HiveTxn::DeleteKey(KeyId id) {
    if (db_ == nullptr || id == kRootKey)
        return ERROR_INTERNAL_ERROR;
    KeyId parent = 0;
    {
        Stmt s(db_, "SELECT parent FROM keys WHERE id=?1");
        if (!s.Int(1, id).Step())
            return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_KEY_DELETED);
        parent = s.ColInt(0);
    }
    if (DWORD err = Stmt(db_, "DELETE FROM vals WHERE key=?1").Int(1, id).Run();
        err != ERROR_SUCCESS)
        return err;
    if (DWORD err = Stmt(db_, "DELETE FROM keys WHERE id=?1").Int(1, id).Run();
        err != ERROR_SUCCESS)
        return err;
    return Touch(parent);
}

DWORD HiveTxn::ChildAt(KeyId parent, DWORD index, std::u16string& name, uint64_t& modified) {
    if (db_ == nullptr)
        return ERROR_NO_MORE_ITEMS;
    Stmt s(db_, "SELECT name, modified FROM keys WHERE parent=?1 ORDER BY fold LIMIT 1 OFFSET ?2");
    if (!s.Int(1, parent).Int(2, index).Step())
        return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_NO_MORE_ITEMS);
    name = s.ColText(0);
    modified = uint64_t(s.ColInt(1));
    return ERROR_SUCCESS;
}

DWORD HiveTxn::GetValue(KeyId key, std::u16string_view name, DWORD& type, size_t& size,
                        std::vector<BYTE>* data) {
    if (db_ == nullptr)
        return ERROR_FILE_NOT_FOUND;
    Stmt s(db_, data != nullptr
                    ? "SELECT type, length(data), data FROM vals WHERE key=?1 AND fold=?2"
                    : "SELECT type, length(data) FROM vals WHERE key=?1 AND fold=?2");
    if (!s.Int(1, key).Fold(2, name).Step())
        return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_FILE_NOT_FOUND);
    type = DWORD(s.ColInt(0));
    size = size_t(s.ColInt(1));
    if (data != nullptr)
        *data = s.ColBlob(2);
    return ERROR_SUCCESS;
}

DWORD HiveTxn::SetValue(KeyId key, std::u16string_view name, DWORD type,
                        std::span<const BYTE> data) {
    if (db_ == nullptr)
        return ERROR_INTERNAL_ERROR;
    // A value set again keeps its name's spelling and its place in the order.
    DWORD err = Stmt(db_, "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
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
    if (db_ == nullptr)
        return ERROR_FILE_NOT_FOUND;
    DWORD err =
        Stmt(db_, "DELETE FROM vals WHERE key=?1 AND fold=?2").Int(1, key).Fold(2, name).Run();
    if (err != ERROR_SUCCESS)
        return err;
    if (sqlite3_changes(db_) == 0)
        return ERROR_FILE_NOT_FOUND;
    return Touch(key);
}

DWORD HiveTxn::ValueAt(KeyId key, DWORD index, ValueRecord& value) {
    if (db_ == nullptr)
        return ERROR_NO_MORE_ITEMS;
    Stmt s(db_, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id LIMIT 1 OFFSET ?2");
    if (!s.Int(1, key).Int(2, index).Step())
        return s.Error() != ERROR_SUCCESS ? s.Error() : DWORD(ERROR_NO_MORE_ITEMS);
    value.name = s.ColText(0);
    value.type = DWORD(s.ColInt(1));
    value.data = s.ColBlob(2);
    return ERROR_SUCCESS;
}

DWORD HiveTxn::Stats(KeyId key, KeyStats& stats) {
    stats = KeyStats{};
    if (db_ == nullptr)
        return ERROR_SUCCESS;
    // The folded name has as many code units as the name: half its bytes.
    {
        Stmt s(db_, "SELECT count(*), coalesce(max(length(fold)), 0) / 2 FROM keys"
                    " WHERE parent=?1");
        if (!s.Int(1, key).Step())
            return s.Error();
        stats.subkeys = DWORD(s.ColInt(0));
        stats.maxSubkeyChars = DWORD(s.ColInt(1));
    }
    {
        Stmt s(db_, "SELECT count(*), coalesce(max(length(fold)), 0) / 2,"
                    " coalesce(max(length(data)), 0) FROM vals WHERE key=?1");
        if (!s.Int(1, key).Step())
            return s.Error();
        stats.values = DWORD(s.ColInt(0));
        stats.maxValueNameChars = DWORD(s.ColInt(1));
        stats.maxValueBytes = DWORD(s.ColInt(2));
    }
    Stmt s(db_, "SELECT modified FROM keys WHERE id=?1");
    if (s.Int(1, key).Step())
        stats.modified = uint64_t(s.ColInt(0));
    return s.Error();
}

DWORD HiveTxn::Touch(KeyId id) {
    return Stmt(db_, "UPDATE keys SET modified=?1 WHERE id=?2")
        .Int(1, int64_t(NowFiletime()))
        .Int(2, id)
        .Run();
}

} // namespace orvane::platform::storage
