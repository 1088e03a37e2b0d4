// The shell's special folders on POSIX: the places that play the part of
// Windows' system, Windows and start-up folders. Programs and libraries live
// in /usr/bin and /usr/lib, configuration in /etc, and the desktop starts
// what the XDG autostart folders hold.
#include <shlobj.h>

#include "internal/util.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

using orvane::platform::ToUtf16;
using orvane::platform::Win32ErrorFromErrno;

namespace {

// The user's configuration folder: $XDG_CONFIG_HOME when it is absolute (the
// XDG rule: a relative value is ignored), else $HOME/.config; empty without
// either.
std::string ConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.config";
    return {};
}

// Creates the directory and its missing parents, owner-only, as the shell
// creates a user's folder.
bool CreateAll(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            SetLastError(Win32ErrorFromErrno(errno));
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

} // namespace

extern "C" BOOL SHGetSpecialFolderPathW(HWND, LPWSTR pszPath, int csidl, BOOL fCreate) {
    if (pszPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        const bool create = fCreate || (csidl & CSIDL_FLAG_CREATE) != 0;
        std::string path;
        bool own = false;
        switch (csidl & 0xFF) {
        case CSIDL_SYSTEM:
            path = "/usr/bin";
            break;
        case CSIDL_SYSTEMX86:
            path = "/usr/lib";
            break;
        case CSIDL_WINDOWS:
            path = "/etc";
            break;
        case CSIDL_COMMON_STARTUP:
            path = "/etc/xdg/autostart";
            break;
        case CSIDL_STARTUP:
            path = ConfigHome();
            if (path.empty()) {
                SetLastError(ERROR_PATH_NOT_FOUND);
                return FALSE;
            }
            path += "/autostart";
            own = true;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::u16string wide = ToUtf16(path.data(), path.size());
        if (wide.size() >= MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return FALSE;
        }
        if (create && own && !CreateAll(path))
            return FALSE;
        wide.copy(pszPath, wide.size());
        pszPath[wide.size()] = 0;
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
