// Full paths, the current directory and directories. Windows forms a full
// path as text: "." and ".." are folded without asking the file system, so a
// link is never followed here (the file system does that when the path is
// used).
#include <windows.h>

#include "internal/util.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using orvane::platform::SplitComponents;
using orvane::platform::ToUtf16;
using orvane::platform::ToUtf8;
using orvane::platform::Win32ErrorFromErrno;

namespace {

BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The current directory as UTF-16, or empty with the last error set.
std::u16string CurrentDirectory() {
    std::vector<char> buffer(256);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr)
            return ToUtf16(buffer.data(), std::char_traits<char>::length(buffer.data()));
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            SetLastError(Win32ErrorFromErrno(errno));
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Hands out text by the size rule of GetFullPathNameW and GetCurrentDirectoryW.
DWORD HandOut(const std::u16string& text, DWORD nBufferLength, LPWSTR lpBuffer) {
    if (lpBuffer == nullptr || text.size() + 1 > nBufferLength)
        return DWORD(text.size() + 1);
    text.copy(lpBuffer, text.size());
    lpBuffer[text.size()] = 0;
    return DWORD(text.size());
}

} // namespace

extern "C" DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                                  LPWSTR* lpFilePart) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpFileName[0] == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    try {
        std::u16string input(lpFileName);
        if (input[0] != u'/') {
            std::u16string cwd = CurrentDirectory();
            if (cwd.empty())
                return 0;
            input = cwd + u"/" + input;
        }
        // Fold the components: empty ones (repeated separators) and "." go,
        // ".." takes the one before it away but never climbs above the root.
        std::vector<std::u16string> parts;
        for (std::u16string& part : SplitComponents(input, u'/')) {
            if (part == u"..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (part != u".") {
                parts.push_back(std::move(part));
            }
        }
        std::u16string full;
        for (const std::u16string& part : parts)
            full += u"/" + part;
        // A trailing separator stays: the caller named a directory.
        if (full.empty() || input.back() == u'/')
            full += u"/";

        DWORD result = HandOut(full, nBufferLength, lpBuffer);
        if (lpFilePart != nullptr && result == full.size())
            *lpFilePart = full.back() == u'/' ? nullptr : lpBuffer + full.rfind(u'/') + 1;
        return result;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

extern "C" DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    try {
        std::u16string cwd = CurrentDirectory();
        return cwd.empty() ? 0 : HandOut(cwd, nBufferLength, lpBuffer);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

extern "C" BOOL SetCurrentDirectoryW(LPCWSTR lpPathName) {
    if (lpPathName == nullptr || lpPathName[0] == 0)
        return FailWith(lpPathName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME);
    if (::chdir(ToUtf8(lpPathName).c_str()) != 0)
        return FailWith(errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno));
    return TRUE;
}

extern "C" BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    if (lpPathName == nullptr || lpPathName[0] == 0)
        return FailWith(ERROR_PATH_NOT_FOUND);
    if (::mkdir(ToUtf8(lpPathName).c_str(), 0700) != 0) {
        switch (errno) {
        case EEXIST:
            return FailWith(ERROR_ALREADY_EXISTS);
        case ENOENT:
            return FailWith(ERROR_PATH_NOT_FOUND);
        default:
            return FailWith(Win32ErrorFromErrno(errno));
        }
    }
    return TRUE;
}

extern "C" BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    if (lpPathName == nullptr || lpPathName[0] == 0)
        return FailWith(ERROR_PATH_NOT_FOUND);
    const std::string path = ToUtf8(lpPathName);
    // A link to a directory is not one: Windows removes only real directories.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        return FailWith(ERROR_DIRECTORY);
    if (::rmdir(path.c_str()) != 0)
        return FailWith(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                              : Win32ErrorFromErrno(errno));
    return TRUE;
}
