#include "foundation/Encodings.h"

#include "foundation/Handles.h"
#include "foundation/Trace.h"

#include <objbase.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

// Trace lines keep the module name readers of older traces know.
#define TRACE_MODULE "Misc"

namespace {

// Sizes a result buffer of cElements elements; false when memory runs out.
template <class Buffer> bool TryResize(Buffer& buffer, size_t cElements) {
    try {
        buffer.resize(cElements);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ---- Base64 ----------------------------------------------------------------

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr DWORD kGroupsPerLine = BASE64_LINE_CHARS / 4;
constexpr unsigned char kNotInAlphabet = 0x80;

// Two output characters for every 12-bit value: a 3-byte group is two lookups
// and two 2-byte stores instead of four shifts, masks and single stores.
struct Base64PairTable {
    char achPair[4096][2];
};

constexpr Base64PairTable MakePairTable() {
    Base64PairTable table{};
    for (unsigned v = 0; v < 4096; ++v) {
        table.achPair[v][0] = kBase64Alphabet[v >> 6];
        table.achPair[v][1] = kBase64Alphabet[v & 0x3F];
    }
    return table;
}

constexpr Base64PairTable kBase64Pairs = MakePairTable();

// The 6-bit value of each alphabet character; every other byte (NUL, CR, LF,
// blanks, "=", anything above 0x7F) is marked kNotInAlphabet.
struct Base64DecodeTable {
    unsigned char abyValue[256];
};

constexpr Base64DecodeTable MakeDecodeTable() {
    Base64DecodeTable table{};
    for (unsigned c = 0; c < 256; ++c)
        table.abyValue[c] = kNotInAlphabet;
    for (unsigned v = 0; v < 64; ++v)
        table.abyValue[static_cast<unsigned char>(kBase64Alphabet[v])] =
            static_cast<unsigned char>(v);
    return table;
}

constexpr Base64DecodeTable kBase64Values = MakeDecodeTable();

// The same values already shifted to their place in a group's 24 bits, one table
// per position, so a whole group is four lookups and three ORs; a character
// outside the alphabet sets bit 31 in every position.
constexpr uint32_t kGroupInvalid = 0x80000000u;

struct Base64GroupTables {
    uint32_t auPosition[4][256];
};

constexpr Base64GroupTables MakeGroupTables() {
    Base64GroupTables tables{};
    for (unsigned c = 0; c < 256; ++c) {
        const unsigned v = kBase64Values.abyValue[c];
        for (unsigned k = 0; k < 4; ++k)
            tables.auPosition[k][c] = (v & kNotInAlphabet) ? kGroupInvalid : v << (18 - 6 * k);
    }
    return tables;
}

constexpr Base64GroupTables kBase64Groups = MakeGroupTables();

// Encodes nGroups whole 3-byte groups: two table lookups and two 2-byte stores each.
inline char* EncodeGroups(const BYTE* pbSource, DWORD nGroups, char* pch) {
    for (DWORD i = 0; i < nGroups; ++i, pbSource += 3, pch += 4) {
        const uint32_t v = uint32_t(pbSource[0]) << 16 | uint32_t(pbSource[1]) << 8 | pbSource[2];
        std::memcpy(pch, kBase64Pairs.achPair[v >> 12], 2);
        std::memcpy(pch + 2, kBase64Pairs.achPair[v & 0xFFF], 2);
    }
    return pch;
}

// The buffer size the encoder reserves, without the terminator: the quotient
// 4/3 of the length, the padding, rounded up to whole groups, and two characters
// per line break with one line to spare. Computed in 64 bits; false when the
// text could not be measured in 32 bits.
bool Base64Capacity(DWORD dwFlags, DWORD cbSource, uint64_t& cchCapacity) {
    uint64_t n = uint64_t(cbSource) * 4 / 3;
    if ((dwFlags & BASE64_FLAG_NOPAD) == 0)
        n += cbSource % 3;
    const uint64_t nLines = n / BASE64_LINE_CHARS;
    if (n % BASE64_LINE_CHARS != 0 && n % 4 != 0)
        n = (n + 3) / 4 * 4;
    if ((dwFlags & BASE64_FLAG_NOCRLF) == 0)
        n += 2 * (nLines + 1);
    cchCapacity = n;
    return n < 0xFFFFFFFFull; // room for the terminator, and the length fits a DWORD
}

// The exact length of the text the encoder writes.
uint64_t Base64ExactLength(DWORD dwFlags, DWORD cbSource) {
    const uint64_t nGroups = cbSource / 3;
    const DWORD cbRest = cbSource % 3;
    uint64_t n = nGroups * 4;
    if (cbRest != 0)
        n += (dwFlags & BASE64_FLAG_NOPAD) ? cbRest + 1 : 4;
    if ((dwFlags & BASE64_FLAG_NOCRLF) == 0)
        n += 2 * (nGroups / kGroupsPerLine);
    return n;
}

// Decodes the group of four characters at puch into 3 bytes at pb; false, with
// nothing written, when one of them is outside the alphabet.
inline bool DecodeGroup(const unsigned char* puch, BYTE* pb) {
    const uint32_t v = kBase64Groups.auPosition[0][puch[0]] | kBase64Groups.auPosition[1][puch[1]] |
                       kBase64Groups.auPosition[2][puch[2]] | kBase64Groups.auPosition[3][puch[3]];
    if (v & kGroupInvalid)
        return false;
    pb[0] = BYTE(v >> 16);
    pb[1] = BYTE(v >> 8);
    pb[2] = BYTE(v);
    return true;
}

inline bool IsLineBreak(const unsigned char* puch) {
    return puch[0] == '\r' && puch[1] == '\n';
}

// Decodes as many of the groups K at puch as are whole alphabet groups, stopping
// at the first that is not; returns how many were decoded. Unrolled, so clean
// text meets no loop-exit branch inside a line.
template <size_t... K>
inline DWORD DecodeGroupRun(const unsigned char* puch, BYTE* pb, std::index_sequence<K...>) {
    DWORD nGroups = 0;
    static_cast<void>(((DecodeGroup(puch + 4 * K, pb + 3 * K) && (nGroups = K + 1, true)) && ...));
    return nGroups;
}

// The bulk of any text: whole groups of alphabet characters and the CR LF
// between lines, from a group boundary at puch[i] onwards. Stops, still on a group
// boundary, where anything else begins or fewer than 4 characters are left.
void DecodeWholeGroups(const unsigned char* puch, size_t cch, size_t& iInOut, BYTE*& pbInOut) {
    // Locals, not the references: every byte stored through pb could otherwise
    // alias them and force a reload.
    size_t i = iInOut;
    BYTE* pb = pbInOut;
    // A line of the encoder at a time.
    while (cch - i >= BASE64_LINE_CHARS) {
        const DWORD nGroups =
            DecodeGroupRun(puch + i, pb, std::make_index_sequence<kGroupsPerLine>{});
        i += size_t(nGroups) * 4;
        pb += size_t(nGroups) * 3;
        if (nGroups != kGroupsPerLine)
            break;
        if (cch - i >= 2 && IsLineBreak(puch + i))
            i += 2;
    }
    // Then group by group, for lines of another length and the end of the text.
    while (cch - i >= 4) {
        if (DecodeGroup(puch + i, pb)) {
            i += 4;
            pb += 3;
        } else if (IsLineBreak(puch + i)) {
            i += 2;
        } else {
            break;
        }
    }
    iInOut = i;
    pbInOut = pb;
}

} // namespace

HRESULT UTF16ToUTF8(const WCHAR* pwszSource, std::string* pstrDest) {
    TraceHelper trace(TEXT("UTF16ToUTF8"));
    if (TRACE_IF(nullptr == pwszSource || nullptr == pstrDest, "UTF16ToUTF8", "Check parameter",
                 E_POINTER))
        return E_POINTER;
    int nSize = WideCharToMultiByte(CP_UTF8, 0, pwszSource, -1, nullptr, 0, nullptr, nullptr);
    if (nSize <= 0) {
        return FAIL_LAST_ERROR("UTF16ToUTF8", "WideCharToMultiByte(size)", "0 == nSize");
    }
    // Room for the converter's terminator, which the text then drops.
    std::string strDest;
    if (TRACE_IF(!TryResize(strDest, size_t(nSize)), "UTF16ToUTF8", "New Memory", E_OUTOFMEMORY))
        return E_OUTOFMEMORY;
    int nWritten =
        WideCharToMultiByte(CP_UTF8, 0, pwszSource, -1, strDest.data(), nSize, nullptr, nullptr);
    if (nWritten <= 0) {
        return FAIL_LAST_ERROR("UTF16ToUTF8", "WideCharToMultiByte", "0 == nWritten");
    }
    TRACE_OK("UTF16ToUTF8", "WideCharToMultiByte");
    strDest.resize(size_t(nWritten - 1));
    *pstrDest = std::move(strDest);
    return VURO_OK;
}

HRESULT UTF8ToUTF16(const char* pszSource, WString* pwstrDest) {
    TraceHelper trace(TEXT("UTF8ToUTF16"));
    if (TRACE_IF(nullptr == pszSource || nullptr == pwstrDest, "UTF8ToUTF16", "Check parameter",
                 E_POINTER))
        return E_POINTER;
    int nSize = MultiByteToWideChar(CP_UTF8, 0, pszSource, -1, nullptr, 0);
    if (nSize <= 0) {
        return FAIL_LAST_ERROR("UTF8ToUTF16", "MultiByteToWideChar(size)", "0 == nSize");
    }
    WString wstrDest;
    if (TRACE_IF(!TryResize(wstrDest, size_t(nSize)), "UTF8ToUTF16", "New Memory", E_OUTOFMEMORY))
        return E_OUTOFMEMORY;
    int nWritten = MultiByteToWideChar(CP_UTF8, 0, pszSource, -1, wstrDest.data(), nSize);
    if (nWritten <= 0) {
        return FAIL_LAST_ERROR("UTF8ToUTF16", "MultiByteToWideChar", "0 == nWritten");
    }
    TRACE_OK("UTF8ToUTF16", "MultiByteToWideChar");
    wstrDest.resize(size_t(nWritten - 1));
    *pwstrDest = std::move(wstrDest);
    return VURO_OK;
}

void SwapByteOrder(BYTE* pbData, DWORD cbData) {
    if (nullptr == pbData)
        return;
    std::reverse(pbData, pbData + cbData);
}

HRESULT Base64EncodeEx(DWORD dwFlags, std::string* pstrDest, const BYTE* pbSource, DWORD cbSource) {
    TraceHelper trace(TEXT("Base64EncodeEx"));
    if (TRACE_IF(nullptr == pstrDest || (nullptr == pbSource && cbSource != 0), "Base64EncodeEx",
                 "Check parameter", E_POINTER))
        return E_POINTER;
    uint64_t cchCapacity = 0;
    if (!Base64Capacity(dwFlags, cbSource, cchCapacity)) {
        TRACE_FAILED("Base64EncodeEx", "Compute size", E_OUTOFMEMORY, "cchCapacity > 0xFFFFFFFE");
        return E_OUTOFMEMORY;
    }
    const uint64_t cchText = Base64ExactLength(dwFlags, cbSource);
    // The reserved size always covers the text; this guards the arithmetic.
    if (TRACE_IF(cchText > cchCapacity, "Base64EncodeEx", "Compute size", VURO_E_BASE64_ENCODE))
        return VURO_E_BASE64_ENCODE;
    std::string strDest;
    if (TRACE_IF(!TryResize(strDest, size_t(cchText)), "Base64EncodeEx", "New Memory",
                 E_OUTOFMEMORY))
        return E_OUTOFMEMORY;

    char* pch = strDest.data();
    const BYTE* pb = pbSource;
    const DWORD nGroups = cbSource / 3;
    if (dwFlags & BASE64_FLAG_NOCRLF) {
        pch = EncodeGroups(pb, nGroups, pch);
        pb += size_t(nGroups) * 3;
    } else {
        // Each full line ends with CR LF; the line of leftover groups (possibly
        // none) does not, so the remainder follows a CR LF only when the groups
        // fill whole lines.
        for (DWORD nLine = 0; nLine < nGroups / kGroupsPerLine; ++nLine) {
            pch = EncodeGroups(pb, kGroupsPerLine, pch);
            pb += kGroupsPerLine * 3;
            pch[0] = '\r';
            pch[1] = '\n';
            pch += 2;
        }
        pch = EncodeGroups(pb, nGroups % kGroupsPerLine, pch);
        pb += size_t(nGroups % kGroupsPerLine) * 3;
    }
    const DWORD cbRest = cbSource % 3;
    if (cbRest != 0) {
        const uint32_t v = uint32_t(pb[0]) << 16 | (cbRest == 2 ? uint32_t(pb[1]) << 8 : 0);
        *pch++ = kBase64Alphabet[v >> 18];
        *pch++ = kBase64Alphabet[(v >> 12) & 0x3F];
        if (cbRest == 2)
            *pch++ = kBase64Alphabet[(v >> 6) & 0x3F];
        if ((dwFlags & BASE64_FLAG_NOPAD) == 0) {
            *pch++ = '=';
            if (cbRest == 1)
                *pch++ = '=';
        }
    }
    const size_t cchWritten = size_t(pch - strDest.data());
    if (TRACE_IF(cchWritten != strDest.size(), "Base64EncodeEx", "Encode", VURO_E_BASE64_ENCODE))
        return VURO_E_BASE64_ENCODE;
    TRACE_OK("Base64EncodeEx", "Encode");
    *pstrDest = std::move(strDest);
    return VURO_OK;
}

HRESULT Base64DecodeEx(int nSourceLen, std::vector<BYTE>* pDest, const char* pszSource) {
    TraceHelper trace(TEXT("Base64DecodeEx"));
    if (TRACE_IF(nSourceLen <= 0, "Base64DecodeEx", "Check parameter", E_FAIL))
        return E_FAIL;
    if (TRACE_IF(nullptr == pszSource || nullptr == pDest, "Base64DecodeEx", "Check parameter",
                 E_POINTER))
        return E_POINTER;
    // Every 4 characters give at most 3 bytes, so the text's length always suffices.
    const size_t cchSource = size_t(nSourceLen);
    std::vector<BYTE> dest;
    if (TRACE_IF(!TryResize(dest, cchSource), "Base64DecodeEx", "New Memory", E_OUTOFMEMORY))
        return E_OUTOFMEMORY;

    const auto* puch = reinterpret_cast<const unsigned char*>(pszSource);
    const unsigned char* const abyValue = kBase64Values.abyValue;
    BYTE* pb = dest.data();
    size_t i = 0;
    uint32_t uBits = 0; // the alphabet values of the group so far
    int nHave = 0;      // how many of the group's 4 characters have been read
    while (i < cchSource) {
        if (nHave == 0) {
            DecodeWholeGroups(puch, cchSource, i, pb);
            if (i == cchSource || puch[i] == 0)
                break; // a NUL where a group would start ends the text
        }
        // One character at a time around line breaks, padding and other noise;
        // a NUL inside a group is noise like any other.
        const uint32_t v = abyValue[puch[i++]];
        if (v & kNotInAlphabet)
            continue;
        uBits = uBits << 6 | v;
        if (++nHave == 4) {
            pb[0] = BYTE(uBits >> 16);
            pb[1] = BYTE(uBits >> 8);
            pb[2] = BYTE(uBits);
            pb += 3;
            uBits = 0;
            nHave = 0;
        }
    }
    // A final group of 2 or 3 characters carries 1 or 2 bytes; one alone carries none.
    if (nHave == 2) {
        *pb++ = BYTE(uBits >> 4);
    } else if (nHave == 3) {
        *pb++ = BYTE(uBits >> 10);
        *pb++ = BYTE(uBits >> 2);
    }
    dest.resize(size_t(pb - dest.data()));
    TRACE_OK("Base64DecodeEx", "Decode");
    *pDest = std::move(dest);
    return VURO_OK;
}

HRESULT ConvertBinaryDataToString(DWORD cbData, WString* pwstrDest, const BYTE* pbData) {
    TraceHelper trace(TEXT("ConvertBinaryDataToString"));
    if (TRACE_IF(nullptr == pwstrDest || (nullptr == pbData && cbData != 0),
                 "ConvertBinaryDataToString", "Check parameter", E_POINTER))
        return E_POINTER;
    WString wstrDest;
    if (TRACE_IF(!TryResize(wstrDest, size_t(cbData) * 2), "ConvertBinaryDataToString",
                 "Dispatch memory failed.", E_OUTOFMEMORY))
        return E_OUTOFMEMORY;
    static constexpr char kHexDigits[] = "0123456789abcdef";
    WCHAR* pwch = wstrDest.data();
    for (DWORD i = cbData; i > 0; --i) {
        const BYTE b = pbData[i - 1];
        *pwch++ = WCHAR(kHexDigits[b >> 4]);
        *pwch++ = WCHAR(kHexDigits[b & 0x0F]);
    }
    TRACE_OK("ConvertBinaryDataToString", "Format");
    *pwstrDest = std::move(wstrDest);
    return VURO_OK;
}

HRESULT CreateGUIDStr(WString* pwstrGuid) {
    TraceHelper trace(TEXT("CreateGUIDStr"));
    if (TRACE_IF(nullptr == pwstrGuid, "CreateGUIDStr", "Check parameter", E_POINTER))
        return E_POINTER;
    GUID guid{};
    HRESULT hResult = CoCreateGuid(&guid);
    if (TRACE_IF(FAILED(hResult), "CreateGUIDStr", "CoCreateGuid", hResult))
        return hResult;
    WCHAR wszGuid[64] = {};
    int nChars = StringFromGUID2(guid, wszGuid, 64);
    if (nChars <= 0) {
        return FAIL_LAST_ERROR("CreateGUIDStr", "StringFromGUID2", "0 == nChars");
    }
    WString wstrGuid;
    if (TRACE_IF(!TryResize(wstrGuid, size_t(nChars - 1)), "CreateGUIDStr", "New Memory",
                 E_OUTOFMEMORY))
        return E_OUTOFMEMORY;
    std::copy(wszGuid, wszGuid + (nChars - 1), wstrGuid.begin());
    TRACE_OK("CreateGUIDStr", "StringFromGUID2");
    *pwstrGuid = std::move(wstrGuid);
    return VURO_OK;
}

HRESULT GetTempDirPath(WString* pwstrPath) {
    TraceHelper trace(TEXT("GetTempDirPath"));
    if (TRACE_IF(nullptr == pwstrPath, "GetTempDirPath", "Check parameter", E_POINTER))
        return E_POINTER;
    WCHAR wszPath[MAX_PATH] = {};
    DWORD cch = GetTempPathW(MAX_PATH, wszPath);
    if (0 == cch) {
        return FAIL_LAST_ERROR("GetTempDirPath", "GetTempPathW", "0 == cch");
    }
    WString wstrPath;
    if (cch < MAX_PATH) {
        if (TRACE_IF(!TryResize(wstrPath, cch), "GetTempDirPath", "New Memory", E_OUTOFMEMORY))
            return E_OUTOFMEMORY;
        std::copy(wszPath, wszPath + cch, wstrPath.begin());
    } else {
        // A directory longer than the usual buffer: cch is the size it needs,
        // terminator included.
        if (TRACE_IF(!TryResize(wstrPath, cch), "GetTempDirPath", "New Memory", E_OUTOFMEMORY))
            return E_OUTOFMEMORY;
        DWORD cchLong = GetTempPathW(cch, wstrPath.data());
        if (0 == cchLong || cchLong >= cch) {
            HRESULT hResult = 0 == cchLong ? FailureFromLastError()
                                           : HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
            TRACE_FAILED("GetTempDirPath", "GetTempPathW", hResult, "cchLong >= cch");
            return hResult;
        }
        wstrPath.resize(cchLong);
    }
    TRACE_OK("GetTempDirPath", "GetTempPathW");
    *pwstrPath = std::move(wstrPath);
    return VURO_OK;
}

namespace {

// Deletes the file it is armed with unless told the file is complete.
class DeleteUnlessKept {
public:
    DeleteUnlessKept() = default;
    ~DeleteUnlessKept() {
        if (m_pwszPath != nullptr)
            DeleteFileW(m_pwszPath);
    }
    DeleteUnlessKept(const DeleteUnlessKept&) = delete;
    DeleteUnlessKept& operator=(const DeleteUnlessKept&) = delete;

    void Arm(const WCHAR* pwszPath) { m_pwszPath = pwszPath; }
    void Keep() { m_pwszPath = nullptr; }

private:
    const WCHAR* m_pwszPath = nullptr;
};

} // namespace

HRESULT DumpDatatoTempFile(WString* pwstrPath, const BYTE* pbData, DWORD cbData) {
    TraceHelper trace(TEXT("DumpDatatoTempFile"));
    if (TRACE_IF(nullptr == pwstrPath || (nullptr == pbData && cbData != 0), "DumpDatatoTempFile",
                 "Check parameter", E_POINTER))
        return E_POINTER;
    WString wstrGuid;
    HRESULT hResult = CreateGUIDStr(&wstrGuid);
    if (TRACE_IF(FAILED(hResult), "DumpDatatoTempFile", "CreateGUIDStr", hResult))
        return hResult;
    WString wstrPath;
    hResult = GetTempDirPath(&wstrPath);
    if (TRACE_IF(FAILED(hResult), "DumpDatatoTempFile", "GetTempDirPath", hResult))
        return hResult;
    try {
        wstrPath += wstrGuid;
        wstrPath += TEXT(".VURO");
    } catch (const std::bad_alloc&) {
        TRACE_FAILED("DumpDatatoTempFile", "New Memory", E_OUTOFMEMORY, "std::bad_alloc");
        return E_OUTOFMEMORY;
    }
    TraceValueW("TempFilePath", wstrPath.c_str());

    if (GetFileAttributesW(wstrPath.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !DeleteFileW(wstrPath.c_str())) {
        return FAIL_LAST_ERROR("DumpDatatoTempFile", "DeleteFile", "!DeleteFileW(path)");
    }

    // Declared before the handle: on failure the file is closed first, then
    // deleted (Windows refuses to delete a file that is open without sharing).
    DeleteUnlessKept partial;
    UniqueFile file =
        UniqueFile::FromCreate(CreateFileW(wstrPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return FAIL_LAST_ERROR("DumpDatatoTempFile", "CreateFile", "INVALID_HANDLE_VALUE == hFile");
    }
    partial.Arm(wstrPath.c_str());
    TRACE_OK("DumpDatatoTempFile", "CreateFile");

    if (cbData != 0) {
        DWORD cbWritten = 0;
        if (!WriteFile(file.get(), pbData, cbData, &cbWritten, nullptr)) {
            return FAIL_LAST_ERROR("DumpDatatoTempFile", "WriteFile", "!WriteFile(...)");
        }
        if (TRACE_IF(cbWritten != cbData, "DumpDatatoTempFile", "WriteFile",
                     HRESULT_FROM_WIN32(ERROR_WRITE_FAULT)))
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
    TRACE_OK("DumpDatatoTempFile", "WriteFile");
    // Closed here rather than by the guard, so that a failure to flush the
    // data is reported.
    if (!CloseHandle(file.release())) {
        return FAIL_LAST_ERROR("DumpDatatoTempFile", "CloseHandle", "!CloseHandle(file)");
    }
    partial.Keep();
    *pwstrPath = std::move(wstrPath);
    return VURO_OK;
}
