// POSIX stand-in for <shlwapi.h>: the path and string helpers the system
// uses, with the SDK's names. Paths are POSIX paths: "/" is the separator
// where Windows has "\". Implemented under platform/shlwapi/.
#pragma once
#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// PathFileExistsW: TRUE when the path names a directory entry. As Windows'
// attributes of a link are the link's own, a symbolic link exists even when
// what it points to does not. FALSE for a null or empty path (the reason in
// the last error).
BOOL PathFileExistsW(LPCWSTR pszPath);

// PathRemoveFileSpecW: cuts the last component and the separator before it,
// keeping a leading "/" ("/a/b" -> "/a", "/a" -> "/", "a" -> "", "/a/b/" ->
// "/a/b"). FALSE when nothing was removed ("/", "", null).
BOOL PathRemoveFileSpecW(LPWSTR pszPath);

// PathFindExtensionW: the last "." of the path and what follows it, provided
// no separator or space follows that dot; otherwise the terminating NUL.
// Null for a null path.
LPWSTR PathFindExtensionW(LPCWSTR pszPath);

// StrStrIW: the first occurrence of pszSearch in pszFirst, letter case
// ignored (Latin, Greek, Cyrillic, Armenian and full-width Latin letters
// folded one to one); null when there is none, or for a null or empty text.
LPWSTR StrStrIW(LPCWSTR pszFirst, LPCWSTR pszSearch);

#ifdef __cplusplus
}
#endif
