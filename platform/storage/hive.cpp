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
#include "storage/hive.h"

#include "internal/util.h"

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace orvane::platform::storage {

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kDefaultWaitMs = 10000;
// A hive unused this long has its log folded back and its connection closed.
constexpr auto kIdleTime = std::chrono::milliseconds(1500);
// Rows read at once when enumerating a key's subkeys or values.
constexpr int kPageRows = 256;

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

// --- why a hive failed ------------------------------------------------------------

enum class Cause { None, Damaged, Foreign, Newer, Exposed, Busy, Denied, ReadOnly, Full, Io };

// The last SQLite failure of this thread, for telling its cause.
struct SqliteFailure {
    int rc = SQLITE_OK;
    int systemErrno = 0;
};
thread_local SqliteFailure t_sqlite;

// The note for HiveFailureText: the failed call's code, file and cause.
struct Note {
    DWORD code = 0;
    Cause cause = Cause::None;
    std::string path;
};
thread_local Note t_note;

Cause CauseOfErrno(int e) {
    switch (e) {
    case EACCES:
    case EPERM:
        return Cause::Denied;
    case EROFS:
        return Cause::ReadOnly;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return Cause::Full;
    default:
        return Cause::Io;
    }
}

Cause CauseOfSqlite(const SqliteFailure& f) {
    switch (f.rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return Cause::Busy;
    case SQLITE_NOTADB:
    case SQLITE_ERROR: // a statement that does not fit the file's tables
        return Cause::Foreign;
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
        return Cause::Damaged;
    case SQLITE_READONLY:
        return Cause::ReadOnly;
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return Cause::Denied;
    case SQLITE_FULL:
        return Cause::Full;
    case SQLITE_CANTOPEN:
        return f.systemErrno != 0 ? CauseOfErrno(f.systemErrno) : Cause::Io;
    case SQLITE_IOERR:
        if (f.rc == SQLITE_IOERR_CORRUPTFS)
            return Cause::Damaged;
        if (f.rc == SQLITE_IOERR_NOMEM)
            return Cause::None;
        return f.systemErrno != 0 ? CauseOfErrno(f.systemErrno) : Cause::Io;
    default: // out of memory, misuse: not the file's doing
        return Cause::None;
    }
}

bool DamagesFile(Cause c) {
    return c == Cause::Damaged || c == Cause::Foreign || c == Cause::Newer;
}

DWORD Fail(sqlite3* db, int rc) {
    t_sqlite.rc = rc;
    t_sqlite.systemErrno = db != nullptr ? sqlite3_system_errno(db) : 0;
    return Win32ErrorFromSqlite(rc, t_sqlite.systemErrno);
}

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

uint64_t NextConnectionSerial() {
    static std::atomic<uint64_t> serial{0};
    return ++serial;
}

} // namespace

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

    // Statement: the prepared statement of sql (a literal of this file),
    // prepared on first use; null with rc set when it cannot be prepared.
    sqlite3_stmt* Statement(const char* sql, int& rc) {
        for (auto& [text, stmt] : statements)
            if (text == sql)
                return stmt;
        sqlite3_stmt* stmt = nullptr;
        rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return nullptr;
        }
        statements.emplace_back(sql, stmt);
        return stmt;
    }

    // ReadLog: the log index's header, when this connection has it open.
    // The -shm file is mapped only once a transaction of ours has opened it:
    // while we hold it open no other process may reset it.
    bool ReadLog(LogHeader& out) {
        out.valid = false;
        if (!readOnce)
            return false;
        if (!shmTried) {
            shmTried = true;
            int fd = ::open(shmPath.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat info {};
            if (fd >= 0 && ::fstat(fd, &info) == 0 && size_t(info.st_size) >= kShmMapBytes) {
                void* p = ::mmap(nullptr, kShmMapBytes, PROT_READ, MAP_SHARED, fd, 0);
                if (p != MAP_FAILED)
                    shm = static_cast<const volatile uint8_t*>(p);
            }
            if (fd >= 0)
                ::close(fd);
        }
        if (shm == nullptr)
            return false;
        // Copied as SQLite copies it: plain copies with a fence between.
        std::array<uint8_t, 48> second{};
        const auto* header = const_cast<const uint8_t*>(shm);
        std::memcpy(out.bytes.data(), header, 48);
        std::atomic_thread_fence(std::memory_order_acquire);
        std::memcpy(second.data(), header + 48, 48);
        // Byte 12 says the index has been set up.
        out.valid = out.bytes == second && out.bytes[12] != 0;
        return out.valid;
    }

    EnumPage& PageFor(KeyId key, bool values) {
        ++tick;
        EnumPage* oldest = &pages[0];
        for (EnumPage& p : pages) {
            if (p.used && p.key == key && p.values == values) {
                p.lastUse = tick;
                return p;
            }
            if (!p.used || p.lastUse < oldest->lastUse)
                oldest = &p;
        }
        *oldest = EnumPage{};
        oldest->used = true;
        oldest->key = key;
        oldest->values = values;
        oldest->lastUse = tick;
        return *oldest;
    }

    // Close: finalizes the statements and closes; with fold, the log is
    // written back into the hive file first (closing removes it then).
    void Close(bool fold) {
        if (shm != nullptr)
            ::munmap(const_cast<uint8_t*>(shm), kShmMapBytes);
        shm = nullptr;
        for (auto& [text, stmt] : statements)
            sqlite3_finalize(stmt);
        statements.clear();
        if (fold) {
            // Never waits: whatever readers of other processes still need
            // stays in the log, and the last connection to close removes it.
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        } else {
            int on = 1;
            sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &on);
        }
        sqlite3_close(db);
        db = nullptr;
    }
};

namespace {

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

DWORD Exec(sqlite3* db, const char* sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(db, rc);
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

// WaitMs: how long a call waits for a hive another process holds.
int WaitMs() {
    const char* env = std::getenv("ORVANE_HIVE_WAIT_MS");
    if (env == nullptr || env[0] == 0)
        return kDefaultWaitMs;
    char* end = nullptr;
    long v = std::strtol(env, &end, 10);
    return *end == 0 && v >= 0 && v <= 3600000 ? int(v) : kDefaultWaitMs;
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

DWORD CreateHiveFile(const std::string& path, HiveKind kind, Cause& cause) {
    if (DWORD err = MakeFolders(path, FolderMode(kind)); err != ERROR_SUCCESS) {
        cause = CauseOfErrno(errno);
        return err;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, FileMode(kind));
    if (fd < 0) { // EEXIST: another process made it first
        if (errno == EEXIST)
            return ERROR_SUCCESS;
        cause = CauseOfErrno(errno);
        return Win32ErrorFromErrno(errno);
    }
    DWORD err = ERROR_SUCCESS;
    if (::fchmod(fd, FileMode(kind)) != 0) {
        cause = CauseOfErrno(errno);
        err = Win32ErrorFromErrno(errno);
    }
    ::close(fd);
    return err;
}

// MakePrivate: a user hive (with its log and shared-memory files) that group
// or others may read holds private keys in the open. When this user owns every
// such file, they become 0600; when not, nothing is changed and the hive is
// refused: another user's file cannot be made private by us.
DWORD MakePrivate(const std::string& path, Cause& cause) {
    const std::string files[] = {path, path + "-wal", path + "-shm"};
    bool exposed[3] = {};
    for (int i = 0; i < 3; ++i) {
        struct stat info {};
        if (::stat(files[i].c_str(), &info) != 0) {
            if (errno == ENOENT)
                continue;
            cause = CauseOfErrno(errno);
            return Win32ErrorFromErrno(errno);
        }
        if ((info.st_mode & 077) == 0)
            continue;
        if (info.st_uid != ::geteuid()) {
            cause = Cause::Exposed;
            return ERROR_ACCESS_DENIED;
        }
        exposed[i] = true;
    }
    for (int i = 0; i < 3; ++i) {
        if (exposed[i] && ::chmod(files[i].c_str(), 0600) != 0 && errno != ENOENT) {
            cause = CauseOfErrno(errno);
            return Win32ErrorFromErrno(errno);
        }
    }
    return ERROR_SUCCESS;
}

// CheckHeader: a file that is not empty must start as every SQLite database
// does; anything else is not a hive and is not handed to SQLite at all.
DWORD CheckHeader(const std::string& path, Cause& cause) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        cause = CauseOfErrno(errno);
        return Win32ErrorFromErrno(errno);
    }
    static const char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                    'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
    char header[sizeof kMagic] = {};
    ssize_t n = ::read(fd, header, sizeof header);
    const int readErrno = errno;
    ::close(fd);
    if (n < 0) {
        cause = CauseOfErrno(readErrno);
        return Win32ErrorFromErrno(readErrno);
    }
    if (n == 0) // a new, empty file
        return ERROR_SUCCESS;
    if (size_t(n) < sizeof header || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        cause = Cause::Foreign;
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

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

FileId IdOf(const struct stat& s) {
    return FileId{s.st_dev, s.st_ino, s.st_size, s.st_mtim};
}

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

HiveState& State(HiveKind kind) {
    // Never destroyed: other static destructors may still use the registry.
    static HiveState* states = new HiveState[2];
    return states[kind == HiveKind::CurrentUser ? 0 : 1];
}

// ProcessId: getpid(), kept once the fork hooks that renew it are in place
// (it is asked several times in every call).
std::atomic<pid_t> g_pid{0};
pid_t ProcessId() {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    return pid != 0 ? pid : ::getpid();
}

int64_t SteadyNow() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

// --- folding the log back ------------------------------------------------------------

// CloseConnection: st.mutex held.
void CloseConnection(HiveState& st, bool fold) {
    if (st.conn == nullptr)
        return;
    st.conn->Close(fold);
    delete st.conn;
    st.conn = nullptr;
    st.schemaReady = false;
}

// FoldIfIdle: folds and closes the hive when it has been idle long enough
// (or always, for the end of the process). True when it stays open.
bool FoldIfIdle(HiveState& st, bool always) {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.pid != ProcessId() || st.conn == nullptr)
        return false;
    const auto idle = std::chrono::duration_cast<std::chrono::steady_clock::duration>(kIdleTime);
    if (!always && SteadyNow() - st.lastUse.load() < idle.count())
        return true;
    CloseConnection(st, !st.readOnly);
    return false;
}

// The idle watcher: one thread per process, started with the first hive; it
// sleeps until a hive has gone unused for kIdleTime and then folds it.
struct IdleWatcher {
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> pending{false};
    std::atomic<pid_t> pid{0}; // the process whose thread this is
};

IdleWatcher& Watcher() {
    static IdleWatcher* w = new IdleWatcher; // outlives every static destructor
    return *w;
}

void WatchLoop() {
    IdleWatcher& w = Watcher();
    std::unique_lock<std::mutex> lock(w.mutex);
    for (;;) {
        w.wake.wait(lock, [&] { return w.pending.load(); });
        const auto last = std::max(State(HiveKind::CurrentUser).lastUse.load(),
                                   State(HiveKind::LocalMachine).lastUse.load());
        const auto due =
            std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(last)) +
            kIdleTime;
        if (std::chrono::steady_clock::now() < due) {
            w.wake.wait_until(lock, due);
            continue;
        }
        w.pending = false;
        lock.unlock();
        // A hive used again meanwhile stays open, and is watched on.
        const bool user = FoldIfIdle(State(HiveKind::CurrentUser), false);
        const bool machine = FoldIfIdle(State(HiveKind::LocalMachine), false);
        lock.lock();
        if (user || machine)
            w.pending = true;
    }
}

void FoldAtExit() {
    FoldIfIdle(State(HiveKind::CurrentUser), true);
    FoldIfIdle(State(HiveKind::LocalMachine), true);
}

// fork() while another thread holds a hive's lock would leave the child's copy
// locked forever: take them all around the fork.
void LockAllForFork() {
    Watcher().mutex.lock();
    State(HiveKind::CurrentUser).mutex.lock();
    State(HiveKind::LocalMachine).mutex.lock();
}
void UnlockAllAfterFork() {
    State(HiveKind::LocalMachine).mutex.unlock();
    State(HiveKind::CurrentUser).mutex.unlock();
    Watcher().mutex.unlock();
}
void UnlockAllInChild() {
    g_pid = ::getpid();
    UnlockAllAfterFork();
}

void InstallProcessHooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(FoldAtExit);
        pthread_atfork(LockAllForFork, UnlockAllAfterFork, UnlockAllInChild);
        g_pid = ::getpid();
    });
}

// Used: st's hive was just used; the watcher folds it once it goes idle.
// Costs no system call while the watcher already waits for this hive.
void Used(HiveState& st) {
    st.lastUse.store(SteadyNow());
    IdleWatcher& w = Watcher();
    if (w.pending.load() && w.pid.load() == ProcessId())
        return;
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.pid.load() != ProcessId()) { // a new process (or a forked child): a watcher of its own
        w.pid = ProcessId();
        try {
            std::thread(WatchLoop).detach();
        } catch (const std::system_error&) {
            w.pid = 0; // no thread: the log is still folded when the process ends
            return;
        }
    }
    w.pending = true;
    w.wake.notify_one();
}

// A connection inherited through fork() belongs to the parent; using or closing
// it here could disturb the parent's locks, so the child drops it (kept reachable
// for leak checkers) and opens its own.
void DropInheritedConnection(HiveState& st) {
    if (st.pid == ProcessId())
        return;
    if (st.conn != nullptr) {
        static std::vector<Connection*>* abandoned = new std::vector<Connection*>;
        abandoned->push_back(st.conn);
    }
    st.conn = nullptr;
    st.schemaReady = false;
    st.pid = ProcessId();
}

// MarkUnusable: the file cannot serve; close without writing anything to it
// and refuse it until it changes.
void MarkUnusable(HiveState& st, DWORD err, Cause cause) {
    CloseConnection(st, false);
    struct stat info {};
    st.unusable = ::stat(st.path.c_str(), &info) == 0;
    st.unusableError = err;
    st.unusableCause = cause;
    if (st.unusable)
        st.unusableId = IdOf(info);
}

// Open: connects to the hive. When the file does not exist, creates it if asked,
// else succeeds with st.conn still null.
DWORD Open(HiveKind kind, HiveState& st, bool forWrite, bool create, Cause& cause) {
    DropInheritedConnection(st);
    if (st.conn != nullptr) {
        if (forWrite && st.readOnly) {
            cause = HiveWritable(kind) ? Cause::ReadOnly : Cause::None;
            return ERROR_ACCESS_DENIED;
        }
        return ERROR_SUCCESS;
    }

    st.path = HivePath(kind);
    const std::string& path = st.path;
    if (path.empty()) // no home folder: there can be no user hive to read
        return create ? DWORD(ERROR_PATH_NOT_FOUND) : DWORD(ERROR_SUCCESS);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            cause = CauseOfErrno(errno);
            return Win32ErrorFromErrno(errno);
        }
        st.unusable = false;
        if (!create)
            return ERROR_SUCCESS;
        if (DWORD err = CreateHiveFile(path, kind, cause); err != ERROR_SUCCESS)
            return err;
    } else if (st.unusable) {
        if (IdOf(info) == st.unusableId) {
            cause = st.unusableCause;
            return st.unusableError;
        }
        st.unusable = false; // replaced or changed since: look again
    }
    if (kind == HiveKind::CurrentUser)
        if (DWORD err = MakePrivate(path, cause); err != ERROR_SUCCESS)
            return err;
    if (DWORD err = CheckHeader(path, cause); err != ERROR_SUCCESS) {
        if (DamagesFile(cause))
            MarkUnusable(st, err, cause);
        return err;
    }

    const bool writable = HiveWritable(kind);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        DWORD err = Fail(db, rc);
        cause = CauseOfSqlite(t_sqlite);
        sqlite3_close(db);
        return err;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, WaitMs());
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
    st.conn = new Connection;
    st.conn->db = db;
    st.conn->shmPath = path + "-shm";
    st.readOnly = !writable || sqlite3_db_readonly(db, "main") == 1;
    st.schemaReady = false;
    InstallProcessHooks();
    if (forWrite && st.readOnly) {
        cause = writable ? Cause::ReadOnly : Cause::None;
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// CheckVersion: ready is true when the hive holds our schema; false for a file
// in which no schema was made yet (an interrupted first write, or a new file).
// Another program's database, or a hive of a newer release, is refused.
DWORD CheckVersion(Connection& c, bool& ready, Cause& cause) {
    int version = 0;
    int64_t tables = 0, ours = 0;
    {
        // One statement, so one snapshot: another process may be making the
        // schema of a new hive right now.
        Stmt s(c, "SELECT (SELECT user_version FROM pragma_user_version), count(*),"
                  " coalesce(sum(type='table' AND name IN ('keys','vals')), 0) FROM sqlite_master");
        if (s.Step()) {
            version = int(s.ColInt(0));
            tables = s.ColInt(1);
            ours = s.ColInt(2);
        }
        if (DWORD err = s.Error(); err != ERROR_SUCCESS) {
            cause = CauseOfSqlite(t_sqlite);
            return err;
        }
    }
    if (version > kSchemaVersion) {
        cause = Cause::Newer; // written by a newer release; refuse to guess
        return ERROR_REVISION_MISMATCH;
    }
    if ((version == 0 && tables != 0) || (version == kSchemaVersion && ours != 2)) {
        cause = Cause::Foreign;
        return ERROR_BADDB;
    }
    ready = version == kSchemaVersion;
    return ERROR_SUCCESS;
}

// UseWal: switching a new hive to WAL needs the file to itself, and SQLite
// answers "busy" at once instead of calling the busy handler; so wait here, as
// long as the busy timeout would, for the other process to finish (usually it
// has made the switch itself, which turns ours into a no-op).
DWORD UseWal(sqlite3* db) {
    constexpr int kPauseMs = 5;
    const int wait = WaitMs();
    for (int waited = 0;; waited += kPauseMs) {
        int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            return ERROR_SUCCESS;
        DWORD err = Fail(db, rc);
        if (err != ERROR_BUSY || waited >= wait)
            return err;
        sqlite3_sleep(kPauseMs);
    }
}

DWORD EnsureSchema(HiveState& st, Cause& cause) {
    if (st.schemaReady)
        return ERROR_SUCCESS;
    Connection& c = *st.conn;
    // A file that is no hive of ours, or one from a newer release, is refused
    // before anything (even the journal mode) is written to it.
    bool ready = false;
    if (DWORD err = CheckVersion(c, ready, cause); err != ERROR_SUCCESS)
        return err;
    if (ready) {
        st.schemaReady = true;
        return ERROR_SUCCESS;
    }
    // A new (empty) file. The encoding only takes effect there, so it comes first.
    DWORD err = Exec(c.db, "PRAGMA encoding='UTF-16le'");
    if (err == ERROR_SUCCESS)
        err = UseWal(c.db);
    if (err == ERROR_SUCCESS)
        err = Exec(c.db, "BEGIN IMMEDIATE");
    if (err != ERROR_SUCCESS) {
        cause = CauseOfSqlite(t_sqlite);
        return err;
    }
    // Again under the write lock: another process may have made the schema meanwhile.
    err = CheckVersion(c, ready, cause);
    if (err == ERROR_SUCCESS && !ready) {
        err = Exec(c.db, kSchema);
        if (err == ERROR_SUCCESS)
            err = Stmt(c, "INSERT INTO keys(id, parent, name, fold, modified)"
                          " VALUES(1, 0, '', x'', ?1)")
                      .Int(1, int64_t(NowFiletime()))
                      .Run();
        if (err == ERROR_SUCCESS)
            err = Exec(c.db, "PRAGMA user_version=1");
        if (err != ERROR_SUCCESS)
            cause = CauseOfSqlite(t_sqlite);
    }
    if (err == ERROR_SUCCESS && (err = Exec(c.db, "COMMIT")) != ERROR_SUCCESS)
        cause = CauseOfSqlite(t_sqlite);
    if (err != ERROR_SUCCESS) {
        sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
        return err;
    }
    st.schemaReady = true;
    return ERROR_SUCCESS;
}

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

// --- failure texts -------------------------------------------------------------------

bool HiveFailureText(DWORD code, bool chinese, std::u16string& text) {
    const Note& note = t_note;
    if (note.cause == Cause::None || note.code == 0)
        return false;
    // HRESULT_FROM_WIN32 of the code names the same failure.
    const DWORD win32 = (code & 0xFFFF0000u) == 0x80070000u ? (code & 0xFFFFu) : code;
    if (win32 != note.code)
        return false;
    struct Words {
        Cause cause;
        const char16_t* english;
        const char16_t* chinese;
    };
    static const Words kWords[] = {
        {Cause::Damaged, u"The file is damaged; it was left as it is.",
         u"该文件已损坏，未作任何改动。"},
        {Cause::Foreign, u"The file is not a registry hive; it was left as it is.",
         u"该文件不是注册表配置单元，未作任何改动。"},
        {Cause::Newer, u"The file was written by a newer release; it was left as it is.",
         u"该文件由较新的版本写入，未作任何改动。"},
        {Cause::Exposed,
         u"Other users may read the file and it belongs to another user, so it cannot be made "
         u"private; it was not used.",
         u"其他用户可以读取该文件，而该文件属于另一用户，无法设为私有，因此未使用该文件。"},
        {Cause::Busy, u"Another process held the file for longer than the call waits.",
         u"另一进程占用该文件的时间超过了本次调用的等待时间。"},
        {Cause::Denied, u"This user may not read or change the file.",
         u"当前用户无权读取或更改该文件。"},
        {Cause::ReadOnly, u"The file cannot be changed: it or its file system is read-only.",
         u"无法更改该文件：该文件或其文件系统为只读。"},
        {Cause::Full, u"There is no room left to write the file.", u"没有空间写入该文件。"},
        {Cause::Io, u"The file could not be read or written.", u"无法读取或写入该文件。"},
    };
    for (const Words& w : kWords) {
        if (w.cause != note.cause)
            continue;
        text = chinese ? u"注册表配置单元文件：" : u"Registry hive file: ";
        text += ToUtf16(note.path.data(), note.path.size());
        text += u"\r\n";
        text += chinese ? w.chinese : w.english;
        text += u"\r\n";
        return true;
    }
    return false;
}

// --- transactions --------------------------------------------------------------------

bool HiveWritable(HiveKind kind) {
    return kind == HiveKind::CurrentUser || ::geteuid() == 0;
}

DWORD ReadHive(HiveKind kind, const std::function<DWORD(HiveTxn&)>& fn) {
    Call call(kind);
    if (DWORD err = call.Open(false, false); err != ERROR_SUCCESS)
        return err;
    HiveState& st = call.St();
    if (st.conn == nullptr || !st.schemaReady)
        return RunOnEmptyHive(fn);
    return call.Finish(RunInTransaction(*st.conn, false, fn));
}

DWORD WriteHive(HiveKind kind, const std::function<DWORD(HiveTxn&)>& fn, bool createHive) {
    if (!HiveWritable(kind))
        return ERROR_ACCESS_DENIED;
    Call call(kind);
    if (DWORD err = call.Open(true, createHive); err != ERROR_SUCCESS)
        return err;
    HiveState& st = call.St();
    if (st.conn == nullptr)
        return RunOnEmptyHive(fn);
    return call.Finish(RunInTransaction(*st.conn, true, fn));
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
            bool exists = false;
            if (DWORD err = txn.KeyExists(key, exists); err != ERROR_SUCCESS)
                return err;
            if (!exists)
                return ERROR_KEY_DELETED;
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
            bool exists = false;
            if (DWORD err = txn.KeyExists(key, exists); err != ERROR_SUCCESS)
                return err;
            return exists ? txn.ValueAt(key, index, value, withData) : DWORD(ERROR_KEY_DELETED);
        },
        [&](const EnumRow& row) -> DWORD {
            value.name = row.name;
            value.type = row.type;
            value.size = row.size;
            value.data.clear();
            return ERROR_SUCCESS;
        });
}

// --- the operations of a transaction -------------------------------------------------

DWORD HiveTxn::Stamp(HiveStamp& stamp) {
    if (c_ == nullptr) {
        stamp = HiveStamp{};
        return ERROR_SUCCESS;
    }
    return ReadStamp(*c_, stamp);
}

DWORD HiveTxn::KeyExists(KeyId id, bool& exists) {
    if (c_ == nullptr) {
        exists = id == kRootKey;
        return ERROR_SUCCESS;
    }
    Stmt s(*c_, "SELECT 1 FROM keys WHERE id=?1");
    exists = s.Int(1, id).Step();
    return s.Error();
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
