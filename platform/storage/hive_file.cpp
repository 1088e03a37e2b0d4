// Where the hives live and how their files are made: paths, modes, the
// privacy of a user hive and the first look at a file before SQLite gets it.
#include "storage/hive_internal.h"

#include "internal/util.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::platform::storage {

namespace {

constexpr int kDefaultWaitMs = 10000;

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

} // namespace

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

namespace {

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

} // namespace

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
    // A new hive whose first page another process is writing right now: SQLite
    // grows the file with zeros before it fills the page (it maps the file),
    // and this look takes no lock. SQLite reads the page under its own locks
    // and refuses the file, writing nothing, if it is still no database then.
    if (std::all_of(header, header + n, [](char b) { return b == 0; }))
        return ERROR_SUCCESS;
    if (size_t(n) < sizeof header || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        cause = Cause::Foreign;
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

FileId IdOf(const struct stat& s) {
    return FileId{s.st_dev, s.st_ino, s.st_size, s.st_mtim};
}

bool HiveWritable(HiveKind kind) {
    return kind == HiveKind::CurrentUser || ::geteuid() == 0;
}

} // namespace orvane::platform::storage
