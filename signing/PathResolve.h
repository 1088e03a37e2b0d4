// The target-specific pieces of the path checks (PathResolve_posix.cpp,
// PathResolve_win32.cpp): the path a file system call would really reach,
// links followed, and whether a folder lies in a protected one.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

// ResolveFilePath: the path pwszPath leads to with every link of its existing
// part resolved; the part that does not exist yet is appended as written.
// pwszFullPath is its full form (GetFullPathNameW). On POSIX the path is
// resolved as the kernel walks it ("dir/link/.." is the parent of the link's
// target, not "dir"); on Windows, where ".." is folded as text before the
// file system sees the path, the full path's junctions and links are. Hands
// out strResolved. Returns 0, E_OUTOFMEMORY, or the system error of a part
// that exists but cannot be resolved, as a result code.
[[nodiscard]] HRESULT ResolveFilePath(LPCWSTR pwszPath, LPCWSTR pwszFullPath, WString& strResolved);

// IsInProtectedFolder: whether the folder pwszFolder (a full or resolved
// path) lies in pwszProtected, ignoring case. On Windows the text of the one
// contains the other (a full path starts with its drive, which anchors the
// match). On POSIX they are compared by whole components: the protected
// folder itself or anything below it, so "/home/me/etc" and "/etcetera" are
// not "/etc"; empty and "." components are skipped and ".." is folded.
bool IsInProtectedFolder(LPCWSTR pwszFolder, LPCWSTR pwszProtected);
