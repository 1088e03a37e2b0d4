#include "signing/FilePathCheck.h"

#include "foundation/Handles.h"
#include "foundation/Trace.h"
#include "signing/PathResolve.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <new>
#include <vector>

#define TRACE_MODULE "FilePathCheck"

namespace {

// Folders no page may name a file in: where programs, libraries and system
// settings live, and what the desktop starts by itself.
constexpr int kProtectedFolders[] = {CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_WINDOWS, CSIDL_STARTUP,
                                     CSIDL_COMMON_STARTUP};

// Extensions of programs and scripts a double click would run.
const WCHAR* const kRefusedExtensions[] = {TEXT(".com"), TEXT(".exe"), TEXT(".bat"), TEXT(".cmd"),
                                           TEXT(".vbs"), TEXT(".vbe"), TEXT(".js"),  TEXT(".jse"),
                                           TEXT(".wsf"), TEXT(".wsh"), TEXT(".msc"), TEXT(".dll")};

// The folder part of a path (PathRemoveFileSpecW on a copy); false when there
// is none to take.
bool FolderOf(const WString& strPath, WString& strFolder) {
    std::vector<WCHAR> buffer(strPath.begin(), strPath.end());
    buffer.push_back(0);
    if (!PathRemoveFileSpecW(buffer.data()))
        return false;
    strFolder.assign(buffer.data());
    return true;
}

} // namespace

HRESULT IsMaliciousFileFolder(LPCWSTR pwszFolder) {
    TraceHelper trace(TEXT("IsMaliciousFileFolder"));
    if (pwszFolder == nullptr)
        return TRACE_FAIL("IsMaliciousFileFolder", "Check parameter", E_INVALIDARG,
                          "NULL == pwszFolder");
    for (int csidl : kProtectedFolders) {
        WCHAR wszProtected[MAX_PATH] = {};
        if (!SHGetSpecialFolderPathW(nullptr, wszProtected, csidl, FALSE)) {
            TRACE_FAILED("IsMaliciousFileFolder", "SHGetSpecialFolderPath", HResultFromLastError(),
                         "bResult == FALSE");
            continue;
        }
        if (IsInProtectedFolder(pwszFolder, wszProtected))
            return TRACE_FAIL("IsMaliciousFileFolder", "IsInProtectedFolder", VURO_E_MALICIOUS_PATH,
                              "a protected folder");
        // The protected folder may itself be reached through a link.
        WString strResolved;
        try {
            if (SUCCEEDED(ResolveFilePath(wszProtected, wszProtected, strResolved)) &&
                IsInProtectedFolder(pwszFolder, strResolved.c_str()))
                return TRACE_FAIL("IsMaliciousFileFolder", "IsInProtectedFolder",
                                  VURO_E_MALICIOUS_PATH, "a protected folder, links resolved");
        } catch (const std::bad_alloc&) {
            return TRACE_FAIL("IsMaliciousFileFolder", "New memory", E_OUTOFMEMORY,
                              "std::bad_alloc");
        }
    }
    return VURO_OK;
}

HRESULT IsMaliciousFileExtention(LPCWSTR pwszExtension) {
    if (pwszExtension == nullptr)
        return TRACE_FAIL("IsMaliciousFileExtention", "Check parameter", E_INVALIDARG,
                          "NULL == pwszExtension");
    const bool fRefused = std::any_of(
        std::begin(kRefusedExtensions), std::end(kRefusedExtensions),
        [&](const WCHAR* pwszRefused) { return lstrcmpiW(pwszExtension, pwszRefused) == 0; });
    if (fRefused)
        return TRACE_FAIL("IsMaliciousFileExtention", "lstrcmpi", VURO_E_MALICIOUS_PATH,
                          "a program or script extension");
    return VURO_OK;
}

HRESULT CheckFileAvailability(LPCWSTR pwszFullPath) {
    TraceHelper trace(TEXT("CheckFileAvailability"));
    if (pwszFullPath == nullptr || pwszFullPath[0] == 0)
        return TRACE_FAIL("CheckFileAvailability", "Check parameter", E_INVALIDARG, "empty path");
    // A directory cannot be signed; say so rather than what opening it says.
    const DWORD dwAttributes = GetFileAttributesW(pwszFullPath);
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return TRACE_FAIL("CheckFileAvailability", "GetFileAttributes", VURO_E_MALICIOUS_PATH,
                          "a directory");
    UniqueFile file =
        UniqueFile::FromCreate(CreateFileW(pwszFullPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return FAIL_LAST_ERROR("CheckFileAvailability", "CreateFile", "INVALID_HANDLE_VALUE");
    // Devices, pipes and sockets have no content to sign, and reading one
    // would wait for whoever is at its other end.
    if (GetFileType(file.get()) != FILE_TYPE_DISK)
        return TRACE_FAIL("CheckFileAvailability", "GetFileType", VURO_E_MALICIOUS_PATH,
                          "not a regular file");
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size))
        return FAIL_LAST_ERROR("CheckFileAvailability", "GetFileSizeEx", "bResult == FALSE");
    if (size.QuadPart == 0)
        return TRACE_FAIL("CheckFileAvailability", "GetFileSizeEx", VURO_E_EMPTY_FILE, "0 == size");
    return VURO_OK;
}

HRESULT IsMaliciousFilePathName(LPCWSTR pwszPath, DWORD dwPathKind) {
    TraceHelper trace(TEXT("IsMaliciousFilePathName"));
    const char* const op = "IsMaliciousFilePathName";
    if (pwszPath == nullptr || pwszPath[0] == 0 ||
        (dwPathKind != FILE_PATH_SOURCE && dwPathKind != FILE_PATH_DESTINATION))
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "empty path or unknown kind");

    WCHAR wszFullPath[MAX_PATH] = {};
    SetLastError(ERROR_SUCCESS);
    const DWORD cchFull = GetFullPathNameW(pwszPath, MAX_PATH, wszFullPath, nullptr);
    if (cchFull == 0)
        return FAIL_LAST_ERROR(op, "GetFullPathName", "0 == dwLength");
    if (cchFull >= MAX_PATH)
        return TRACE_FAIL(op, "GetFullPathName", HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE),
                          "dwLength >= MAX_PATH");
    try {
        WString strResolved;
        HRESULT hResult = ResolveFilePath(pwszPath, wszFullPath, strResolved);
        if (FAILED(hResult))
            return TRACE_FAIL(op, "ResolveFilePath", hResult, "FAILED(hResult)");

        // Any entry counts, a link included: writing through it would reach
        // whatever it points at.
        if (dwPathKind == FILE_PATH_DESTINATION &&
            (PathFileExistsW(wszFullPath) || PathFileExistsW(strResolved.c_str())))
            return TRACE_FAIL(op, "PathFileExists", HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
                              "the destination exists");

        WString strFolder;
        if (!FolderOf(wszFullPath, strFolder))
            return FAIL_LAST_ERROR(op, "PathRemoveFileSpec", "bResult == FALSE");
        hResult = IsMaliciousFileFolder(strFolder.c_str());
        if (FAILED(hResult))
            return TRACE_FAIL(op, "CheckFileFolderSecurity", hResult, "FAILED(hResult)");
        WString strResolvedFolder;
        if (FolderOf(strResolved, strResolvedFolder)) {
            hResult = IsMaliciousFileFolder(strResolvedFolder.c_str());
            if (FAILED(hResult))
                return TRACE_FAIL(op, "CheckFileFolderSecurity(resolved)", hResult,
                                  "FAILED(hResult)");
        }

        const WCHAR* pwszExtension = PathFindExtensionW(wszFullPath);
        if (pwszExtension == nullptr)
            return TRACE_FAIL(op, "CheckFileFolderSecurity", E_FAIL, "NULL == pwszExtension");
        hResult = IsMaliciousFileExtention(pwszExtension);
        if (FAILED(hResult))
            return TRACE_FAIL(op, "IsMaliciousFileExtention", hResult, "FAILED(hResult)");

        // The file the path really reaches is the one that will be read.
        if (dwPathKind == FILE_PATH_SOURCE) {
            hResult = CheckFileAvailability(strResolved.c_str());
            if (FAILED(hResult))
                return TRACE_FAIL(op, "CheckFileAvailablity", hResult, "FAILED(hResult)");
        }
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    TRACE_OK(op, "CheckFileAvailablity");
    return VURO_OK;
}
