// Files over POSIX descriptors. A file HANDLE points at a small record that says
// what it is, so a handle of another kind is refused instead of misused.
#include <windows.h>

#include <orvane/file_seam.h>

#include "internal/util.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <string>
#include <utility>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using orvane::platform::ToUtf8;
using orvane::platform::Win32ErrorFromErrno;

namespace {

constexpr uint32_t kFileMagic = 0x454C4946; // "FILE"

struct FileObject {
    uint32_t magic = kFileMagic;
    int fd = -1;
    std::string path; // as opened, for the test seam
};

std::atomic<ORVANE_FILE_OBSERVER> g_pfnObserver{nullptr};
std::atomic<void*> g_pvObserverContext{nullptr};

void Notify(DWORD dwEvent, const std::string& path) {
    if (ORVANE_FILE_OBSERVER pfn = g_pfnObserver.load())
        pfn(g_pvObserverContext.load(), dwEvent, path.c_str());
}

FileObject* AsFile(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return nullptr;
    auto* f = static_cast<FileObject*>(h);
    return f->magic == kFileMagic ? f : nullptr;
}

BOOL FailWith(DWORD err) {
    SetLastError(err);
    return FALSE;
}

} // namespace

extern "C" HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD, HANDLE) {
    if (lpFileName == nullptr || lpFileName[0] == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    const bool wantRead = (dwDesiredAccess & GENERIC_READ) != 0;
    const bool wantWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    flags |= (wantRead && wantWrite) ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        // A new file is never made through a link: whatever holds the name,
        // a dangling link included, makes the call fail.
        flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        flags |= O_TRUNC;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = ToUtf8(lpFileName);
    struct stat before;
    const bool existed = ::stat(path.c_str(), &before) == 0;
    // Files the system writes hold user data: readable by their owner only.
    // Opening never waits, as on Windows: a FIFO without a writer (or a
    // terminal line) would hold a blocking open forever. Reads and writes
    // block again once the file is open.
    int fd = ::open(path.c_str(), flags | O_NONBLOCK, 0600);
    if (fd < 0) {
        SetLastError(dwCreationDisposition == CREATE_NEW && errno == EEXIST ? ERROR_FILE_EXISTS
                     : errno == ENXIO ? ERROR_FILE_NOT_FOUND // a FIFO without a reader
                                      : Win32ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (const int fl = fcntl(fd, F_GETFL); fl != -1)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    // No sharing means no other opener among the processes that ask the same way.
    if (dwShareMode == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    auto* f = new (std::nothrow) FileObject;
    if (f == nullptr) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    f->fd = fd;
    f->path = std::move(path);
    Notify(ORVANE_FILE_OPENED, f->path);
    // As on Windows, success that met an existing file says so in the last error.
    const bool createsOrOpens =
        dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
    SetLastError(createsOrOpens && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return f;
}

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
    FileObject* f = AsFile(hFile);
    if (f == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0;
    DWORD done = 0;
    auto* p = static_cast<char*>(lpBuffer);
    while (done < nNumberOfBytesToRead) {
        ssize_t n = ::read(f->fd, p + done, nNumberOfBytesToRead - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return FailWith(Win32ErrorFromErrno(errno));
        }
        if (n == 0)
            break;
        done += DWORD(n);
    }
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = done;
    return TRUE;
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED) {
    FileObject* f = AsFile(hFile);
    if (f == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    DWORD done = 0;
    const auto* p = static_cast<const char*>(lpBuffer);
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = ::write(f->fd, p + done, nNumberOfBytesToWrite - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (lpNumberOfBytesWritten != nullptr)
                *lpNumberOfBytesWritten = done;
            return FailWith(Win32ErrorFromErrno(errno));
        }
        done += DWORD(n);
    }
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = done;
    Notify(ORVANE_FILE_WRITTEN, f->path);
    return TRUE;
}

extern "C" BOOL FlushFileBuffers(HANDLE hFile) {
    FileObject* f = AsFile(hFile);
    if (f == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    while (::fsync(f->fd) != 0) {
        if (errno != EINTR)
            return FailWith(Win32ErrorFromErrno(errno));
    }
    return TRUE;
}

extern "C" BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    FileObject* f = AsFile(hFile);
    if (f == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    struct stat st;
    if (fstat(f->fd, &st) != 0)
        return FailWith(Win32ErrorFromErrno(errno));
    lpFileSize->QuadPart = st.st_size;
    return TRUE;
}

extern "C" DWORD GetFileType(HANDLE hFile) {
    FileObject* f = AsFile(hFile);
    struct stat st;
    if (f == nullptr || fstat(f->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    if (S_ISCHR(st.st_mode))
        return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_DISK;
}

extern "C" BOOL CloseHandle(HANDLE hObject) {
    FileObject* f = AsFile(hObject);
    if (f == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    int rc = ::close(f->fd);
    f->magic = 0;
    delete f;
    return rc == 0 ? TRUE : FailWith(Win32ErrorFromErrno(errno));
}

extern "C" BOOL DeleteFileW(LPCWSTR lpFileName) {
    if (lpFileName == nullptr)
        return FailWith(ERROR_PATH_NOT_FOUND);
    std::string path = ToUtf8(lpFileName);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return FailWith(ERROR_ACCESS_DENIED);
    if (::unlink(path.c_str()) != 0)
        return FailWith(Win32ErrorFromErrno(errno));
    return TRUE;
}

namespace {

// SyncFolderOf: the folder holding path, with the names in it, on the disk.
bool SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// RenameNoReplace: oldPath's entry renamed newPath unless that name is taken;
// errno EEXIST when it is. Where the file system cannot rename that way
// (EINVAL), a second link is made and the first removed: link() too refuses
// a taken name, and never follows a link at either name.
bool RenameNoReplace(const std::string& oldPath, const std::string& newPath) {
    if (::renameat2(AT_FDCWD, oldPath.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL)
        return false;
    if (::link(oldPath.c_str(), newPath.c_str()) != 0)
        return false;
    if (::unlink(oldPath.c_str()) != 0) {
        const int err = errno;
        ::unlink(newPath.c_str());
        errno = err;
        return false;
    }
    return true;
}

} // namespace

extern "C" BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr ||
        (dwFlags & ~DWORD(MOVEFILE_WRITE_THROUGH)) != 0)
        return FailWith(ERROR_INVALID_PARAMETER);
    std::string from, to;
    try {
        from = ToUtf8(lpExistingFileName);
        to = ToUtf8(lpNewFileName);
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!RenameNoReplace(from, to))
        return FailWith(errno == EEXIST ? ERROR_ALREADY_EXISTS : Win32ErrorFromErrno(errno));
    if ((dwFlags & MOVEFILE_WRITE_THROUGH) != 0 && !SyncFolderOf(to))
        return FailWith(Win32ErrorFromErrno(errno));
    return TRUE;
}

extern "C" void OrvaneSetFileObserver(ORVANE_FILE_OBSERVER pfnObserver, void* pvContext) {
    g_pvObserverContext.store(pvContext);
    g_pfnObserver.store(pfnObserver);
}

extern "C" DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (::stat(ToUtf8(lpFileName).c_str(), &st) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

extern "C" DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    // $TMPDIR as the C library and shells use it, else /tmp; always with a
    // trailing separator, as Windows hands it out.
    const char* dir = std::getenv("TMPDIR");
    std::string d = (dir != nullptr && dir[0] == '/') ? dir : "/tmp";
    if (d.back() != '/')
        d.push_back('/');
    std::u16string w = orvane::platform::ToUtf16(d.data(), d.size());
    if (w.size() + 1 > nBufferLength || lpBuffer == nullptr)
        return DWORD(w.size() + 1);
    for (size_t i = 0; i < w.size(); ++i)
        lpBuffer[i] = w[i];
    lpBuffer[w.size()] = 0;
    return DWORD(w.size());
}
