// POSIX stand-in for <shlobj.h>: the shell's special folders the system asks
// for. Implemented in platform/shell32/.
#pragma once
#include "windows.h"

// Special-folder ids (CSIDL_*), with the SDK's values. On POSIX:
#define CSIDL_STARTUP 0x0007        // $XDG_CONFIG_HOME/autostart (~/.config/autostart)
#define CSIDL_COMMON_STARTUP 0x0018 // /etc/xdg/autostart
#define CSIDL_WINDOWS 0x0024        // /etc
#define CSIDL_SYSTEM 0x0025         // /usr/bin
#define CSIDL_SYSTEMX86 0x0029      // /usr/lib
#define CSIDL_FLAG_CREATE 0x8000

#ifdef __cplusplus
extern "C" {
#endif

// SHGetSpecialFolderPathW: the folder's path, without a trailing separator,
// into pszPath (MAX_PATH characters). fCreate (or CSIDL_FLAG_CREATE) creates
// the user's own folder when it is missing. FALSE for another id, a path that
// does not fit, or (without a home directory) a user folder that cannot be
// named.
BOOL SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate);

#ifdef __cplusplus
}
#endif
