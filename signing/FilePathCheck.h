// Safety checks on the files a page names for signing: a file to be read (the
// source) or created (the destination) must not lie in a system or start-up
// folder, must not carry an executable or script extension, a source must be
// a non-empty regular file and a destination must not exist yet. The checks
// judge the fully qualified path, and also the path with its links resolved,
// so a link cannot lead a harmless-looking path into a protected folder.
// Nothing is created, changed or deleted by them.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

// Path kinds of IsMaliciousFilePathName.
inline constexpr DWORD FILE_PATH_SOURCE = 0;      // a file to be read
inline constexpr DWORD FILE_PATH_DESTINATION = 1; // a file to be created

// IsMaliciousFilePathName: 0 when pwszPath may be used as dwPathKind, else why
// not:
//  - the full path (relative paths are taken from the current directory) has
//    260 characters or more: HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
//    it cannot be formed: its system error as a result code;
//  - a destination whose directory entry exists already (a link counts, even
//    a dangling one): HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
//  - the folder, lexically or with links resolved, lies in a protected folder
//    (IsMaliciousFileFolder), or the extension is refused
//    (IsMaliciousFileExtention): VURO_E_MALICIOUS_PATH;
//  - a source that is not available (CheckFileAvailability): its code.
// E_INVALIDARG for a null or empty path or an unknown kind.
[[nodiscard]] HRESULT IsMaliciousFilePathName(LPCWSTR pwszPath, DWORD dwPathKind);

// IsMaliciousFileFolder: VURO_E_MALICIOUS_PATH when pwszFolder lies in a
// protected folder (system, 32-bit system, Windows, the user's and all
// users' start-up folders, as the shell names them, lexically or with links
// resolved), as IsInProtectedFolder judges it: on Windows any folder whose
// text contains one's path, ignoring case; on POSIX the protected folder
// itself and every folder below it, by whole components. A protected folder
// that cannot be resolved is skipped. Returns 0 otherwise, E_INVALIDARG for
// a null folder.
[[nodiscard]] HRESULT IsMaliciousFileFolder(LPCWSTR pwszFolder);

// IsMaliciousFileExtention: VURO_E_MALICIOUS_PATH when pwszExtension (the
// dot included) equals, ignoring case, one of .com .exe .bat .cmd .vbs .vbe
// .js .jse .wsf .wsh .msc .dll; 0 otherwise (an empty extension passes).
// E_INVALIDARG for a null extension.
[[nodiscard]] HRESULT IsMaliciousFileExtention(LPCWSTR pwszExtension);

// CheckFileAvailability: 0 when pwszFullPath is a regular file that can be
// opened for reading and holds at least one byte. VURO_E_MALICIOUS_PATH for a
// directory, device, pipe or socket (found without waiting for a peer);
// VURO_E_EMPTY_FILE for an empty file; the system error as a result code when
// it cannot be opened or sized.
[[nodiscard]] HRESULT CheckFileAvailability(LPCWSTR pwszFullPath);
