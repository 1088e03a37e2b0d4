// shlwapi's path helpers over POSIX paths ("/" where Windows has "\").
#include <shlwapi.h>

#include "internal/util.h"

#include <cerrno>
#include <sys/stat.h>

using orvane::platform::ToUtf8;
using orvane::platform::Win32ErrorFromErrno;

extern "C" BOOL PathFileExistsW(LPCWSTR pszPath) {
    if (pszPath == nullptr || pszPath[0] == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // lstat: a link is an entry of its own, as Windows reports a link's own
    // attributes. A dangling link therefore exists; writing through it would
    // create whatever it points at.
    struct stat st;
    if (::lstat(ToUtf8(pszPath).c_str(), &st) != 0) {
        SetLastError(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL PathRemoveFileSpecW(LPWSTR pszPath) {
    if (pszPath == nullptr)
        return FALSE;
    // Where the cut goes: after a leading separator (or two), else at the
    // last separator, else at the start.
    WCHAR* path = pszPath;
    WCHAR* cut = path;
    if (*path == u'/')
        cut = ++path;
    if (*path == u'/')
        cut = ++path;
    for (; *path != 0; ++path)
        if (*path == u'/')
            cut = path;
    if (*cut == 0)
        return FALSE;
    *cut = 0;
    return TRUE;
}

extern "C" LPWSTR PathFindExtensionW(LPCWSTR pszPath) {
    if (pszPath == nullptr)
        return nullptr;
    const WCHAR* dot = nullptr;
    for (; *pszPath != 0; ++pszPath) {
        if (*pszPath == u'/' || *pszPath == u' ')
            dot = nullptr;
        else if (*pszPath == u'.')
            dot = pszPath;
    }
    return const_cast<LPWSTR>(dot != nullptr ? dot : pszPath);
}
