// POSIX: the kernel follows links component by component and takes ".." from
// where a link led, so the path is resolved as given (relative to the current
// directory), not from its textually folded full form.
#include "signing/PathResolve.h"

#include "foundation/Encodings.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The current directory, or empty with errno set.
std::string CurrentDirectory() {
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    return cwd ? std::string(cwd.get()) : std::string();
}

// The system error Windows gives for the same reason a path cannot be
// resolved (a loop of links counts as an invalid name).
DWORD ErrorFromErrno(int err) {
    switch (err) {
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
        return ERROR_PATH_NOT_FOUND;
    default:
        return ERROR_INVALID_NAME;
    }
}

// Components: the names of a path, "" and "." left out, ".." taking the one
// before it away.
std::vector<WString> Components(LPCWSTR pwszPath) {
    std::vector<WString> parts;
    const WString path(pwszPath);
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(TEXT('/'), start);
        if (end == WString::npos)
            end = path.size();
        WString part = path.substr(start, end - start);
        if (part == TEXT("..")) {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != TEXT(".")) {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    return parts;
}

} // namespace

bool IsInProtectedFolder(LPCWSTR pwszFolder, LPCWSTR pwszProtected) {
    // Only absolute paths are judged here; a protected folder that is not
    // one (or is the root) protects nothing rather than everything.
    if (pwszFolder[0] != TEXT('/') || pwszProtected[0] != TEXT('/'))
        return false;
    const std::vector<WString> folder = Components(pwszFolder);
    const std::vector<WString> guarded = Components(pwszProtected);
    if (guarded.empty() || folder.size() < guarded.size())
        return false;
    for (size_t i = 0; i < guarded.size(); ++i)
        if (lstrcmpiW(folder[i].c_str(), guarded[i].c_str()) != 0)
            return false;
    return true;
}

HRESULT ResolveFilePath(LPCWSTR pwszPath, LPCWSTR /*pwszFullPath*/, WString& strResolved) {
    std::string prefix;
    HRESULT hResult = UTF16ToUTF8(pwszPath, &prefix);
    if (FAILED(hResult))
        return hResult;
    try {
        if (prefix.empty() || prefix[0] != '/') {
            const std::string cwd = CurrentDirectory();
            if (cwd.empty())
                return HResultFromError(ErrorFromErrno(errno));
            prefix = cwd + "/" + prefix;
        }
        // The longest leading part that resolves; what follows it does not
        // exist yet and is kept as written.
        std::string tail;
        std::string resolved;
        for (;;) {
            std::unique_ptr<char, decltype(&std::free)> real(::realpath(prefix.c_str(), nullptr),
                                                             &std::free);
            if (real) {
                resolved = real.get();
                break;
            }
            if (errno != ENOENT && errno != ENOTDIR)
                return HResultFromError(ErrorFromErrno(errno));
            while (prefix.size() > 1 && prefix.back() == '/')
                prefix.pop_back();
            const size_t slash = prefix.rfind('/');
            tail = prefix.substr(slash) + tail;
            prefix = slash == 0 ? std::string("/") : prefix.substr(0, slash);
        }
        if (resolved == "/" && !tail.empty())
            resolved.clear(); // the tail brings its own leading separator
        resolved += tail;

        hResult = UTF8ToUTF16(resolved.c_str(), &strResolved);
        if (FAILED(hResult))
            return hResult;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return VURO_OK;
}
