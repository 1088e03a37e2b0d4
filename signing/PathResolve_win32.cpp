// Windows: ".." is folded as text before the file system sees a path, so the
// full path is what gets opened; its junctions and symbolic links are
// resolved through the final path of its longest existing part.
#include "signing/PathResolve.h"

#include "foundation/Handles.h"

#include <shlwapi.h>

#include <new>
#include <string>
#include <vector>

namespace {

// The final path of an existing file or directory, without the "\\?\" form
// the system hands out.
HRESULT FinalPath(const WString& strPath, WString& strFinal) {
    UniqueFile file = UniqueFile::FromCreate(
        CreateFileW(strPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return FailureFromLastError();
    std::vector<WCHAR> buffer(MAX_PATH);
    for (;;) {
        const DWORD cch = GetFinalPathNameByHandleW(file.get(), buffer.data(), DWORD(buffer.size()),
                                                    FILE_NAME_NORMALIZED);
        if (cch == 0)
            return FailureFromLastError();
        if (cch < buffer.size()) {
            strFinal.assign(buffer.data(), cch);
            break;
        }
        buffer.resize(cch + 1);
    }
    const WString kUnc = TEXT("\\\\?\\UNC\\");
    const WString kLocal = TEXT("\\\\?\\");
    if (strFinal.compare(0, kUnc.size(), kUnc) == 0)
        strFinal = TEXT("\\\\") + strFinal.substr(kUnc.size());
    else if (strFinal.compare(0, kLocal.size(), kLocal) == 0)
        strFinal.erase(0, kLocal.size());
    return VURO_OK;
}

} // namespace

HRESULT ResolveFilePath(LPCWSTR /*pwszPath*/, LPCWSTR pwszFullPath, WString& strResolved) {
    try {
        const WString strFull(pwszFullPath);
        // The longest leading part that exists.
        std::vector<WCHAR> prefix(strFull.begin(), strFull.end());
        prefix.push_back(0);
        while (GetFileAttributesW(prefix.data()) == INVALID_FILE_ATTRIBUTES) {
            if (!PathRemoveFileSpecW(prefix.data())) {
                strResolved = strFull; // nothing of it exists
                return VURO_OK;
            }
        }
        const WString strPrefix(prefix.data());
        WString strFinal;
        const HRESULT hResult = FinalPath(strPrefix, strFinal);
        if (FAILED(hResult))
            return hResult;
        WString strTail = strFull.substr(strPrefix.size());
        if (!strFinal.empty() && strFinal.back() == TEXT('\\') && !strTail.empty() &&
            strTail.front() == TEXT('\\'))
            strTail.erase(0, 1);
        else if (!strFinal.empty() && strFinal.back() != TEXT('\\') && !strTail.empty() &&
                 strTail.front() != TEXT('\\'))
            strFinal += TEXT('\\');
        strResolved = strFinal + strTail;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return VURO_OK;
}

bool IsInProtectedFolder(LPCWSTR pwszFolder, LPCWSTR pwszProtected) {
    return pwszProtected[0] != 0 && StrStrIW(pwszFolder, pwszProtected) != nullptr;
}
