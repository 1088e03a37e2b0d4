// One connection per hive and process: opening it (and refusing a file that
// cannot serve), making the schema of a new hive, folding the log back when
// the hive goes idle or the process ends, and leaving a parent's connection
// alone after fork().
#include "storage/hive_internal.h"

#include "internal/util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace orvane::platform::storage {

namespace {

constexpr int kSchemaVersion = 1;
// A hive unused this long has its log folded back and its connection closed.
constexpr auto kIdleTime = std::chrono::milliseconds(1500);

// Pages of the hive file are read through a map of it, up to this size, not
// copied into the connection's own cache: that cache (2 MB by default) holds
// only part of a store of some thousand certificates, so each listing read
// most pages from the file again and its cost per certificate grew with the
// store. Mapped pages cost no copy and are shared with the system's file
// cache; SQLite drops the map whenever another process commits, as it drops
// its cache, and pages still in the log are read from the log.
const char kMapPragma[] = "PRAGMA mmap_size=268435456"; // 256 MiB

const char kSchema[] = "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " parent INTEGER NOT NULL, name TEXT NOT NULL, fold BLOB NOT NULL,"
                       " modified INTEGER NOT NULL, UNIQUE(parent, fold));"
                       "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
                       " name TEXT NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL,"
                       " data BLOB NOT NULL, UNIQUE(key, fold));";

} // namespace

uint64_t NextConnectionSerial() {
    static std::atomic<uint64_t> serial{0};
    return ++serial;
}

sqlite3_stmt* Connection::Statement(const char* sql, int& rc) {
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

bool Connection::ReadLog(LogHeader& out) {
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

EnumPage& Connection::PageFor(KeyId key, bool values) {
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

void Connection::Close(bool fold) {
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

DWORD Exec(sqlite3* db, const char* sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(db, rc);
}

// --- one connection per hive and process -------------------------------------------

HiveState& State(HiveKind kind) {
    // Never destroyed: other static destructors may still use the registry.
    static HiveState* states = new HiveState[2];
    return states[kind == HiveKind::CurrentUser ? 0 : 1];
}

namespace {

std::atomic<pid_t> g_pid{0};

} // namespace

// ProcessId: getpid(), kept once the fork hooks that renew it are in place
// (it is asked several times in every call).
pid_t ProcessId() {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    return pid != 0 ? pid : ::getpid();
}

namespace {

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

} // namespace

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

namespace {

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

} // namespace

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
    // Ignored when it fails: the hive is then read as before.
    sqlite3_exec(db, kMapPragma, nullptr, nullptr, nullptr);
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

namespace {

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

} // namespace

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

} // namespace orvane::platform::storage
