#include "internal/util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvane::platform {

std::string ToUtf8(LPCWSTR text) {
    std::string out;
    if (text == nullptr || text[0] == 0)
        return out;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return out;
    out.resize(size_t(n));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(size_t(n) - 1);
    return out;
}

std::u16string ToUtf16(const char* text, size_t length) {
    std::u16string out;
    if (text == nullptr || length == 0)
        return out;
    int n = MultiByteToWideChar(CP_UTF8, 0, text, int(length), nullptr, 0);
    if (n <= 0)
        return out;
    out.resize(size_t(n));
    MultiByteToWideChar(CP_UTF8, 0, text, int(length), out.data(), n);
    return out;
}

std::vector<std::u16string> SplitComponents(std::u16string_view path, char16_t separator) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(separator, start);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end > start)
            parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_INVALID_NAME;
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

namespace {
thread_local LANGID t_threadUiLanguage = 0;
}

LANGID CurrentUiLanguage() {
    if (t_threadUiLanguage != 0)
        return t_threadUiLanguage;
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : names) {
        const char* v = std::getenv(name);
        if (v != nullptr && v[0] != 0)
            return std::strncmp(v, "zh", 2) == 0
                       ? LANGID(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED))
                       : LANGID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    }
    return MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

} // namespace orvane::platform

extern "C" LANGID GetUserDefaultUILanguage(void) {
    // The process-wide choice ignores the thread's own.
    LANGID saved = orvane::platform::t_threadUiLanguage;
    orvane::platform::t_threadUiLanguage = 0;
    LANGID lang = orvane::platform::CurrentUiLanguage();
    orvane::platform::t_threadUiLanguage = saved;
    return lang;
}
extern "C" LANGID GetThreadUILanguage(void) {
    return orvane::platform::CurrentUiLanguage();
}
extern "C" LANGID SetThreadUILanguage(LANGID LangId) {
    orvane::platform::t_threadUiLanguage = LangId;
    return orvane::platform::CurrentUiLanguage();
}
