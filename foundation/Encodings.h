// Text and data encodings shared by every deliverable: UTF-16 <-> UTF-8, Base64
// with line breaks, byte-order reversal, hexadecimal of little-endian integers,
// GUID texts and the helper that writes a block of data to a temporary file.
//
// Every routine returns a result code and sets its out-parameter only on
// success; results are handed out as values (std::string, WString,
// std::vector<BYTE>) whose size is the length, without a terminator. No C++
// exception leaves a routine: running out of memory is E_OUTOFMEMORY.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <string>
#include <vector>

// LowerAscii: A-Z as a-z, every other character as it is. Names the system
// compares "without regard to case" (registry paths, provider names) fold
// only these letters, as the registry and the providers do.
constexpr WCHAR LowerAscii(WCHAR ch) {
    return ch >= TEXT('A') && ch <= TEXT('Z') ? WCHAR(ch - TEXT('A') + TEXT('a')) : ch;
}

// Base64EncodeEx flags.
constexpr DWORD BASE64_FLAG_NOPAD = 0x1;  // leave out the "=" padding
constexpr DWORD BASE64_FLAG_NOCRLF = 0x2; // one line, no CR LF anywhere

// Characters per Base64 line when line breaks are written (19 groups of 4).
constexpr DWORD BASE64_LINE_CHARS = 76;

// UTF16ToUTF8: converts the NUL-terminated wide text pwszSource to UTF-8 with the
// system converter into *pstrDest. Ill-formed input (an unpaired
// surrogate) is replaced by U+FFFD, not rejected; an empty source gives an empty
// text. Returns 0, E_POINTER for a null argument, E_OUTOFMEMORY, or the
// converter's error as a result code.
[[nodiscard]] HRESULT UTF16ToUTF8(const WCHAR* pwszSource, std::string* pstrDest);

// UTF8ToUTF16: converts the NUL-terminated UTF-8 text pszSource to UTF-16
// into *pwstrDest. Ill-formed sequences become
// U+FFFD. Results as for UTF16ToUTF8.
[[nodiscard]] HRESULT UTF8ToUTF16(const char* pszSource, WString* pwstrDest);

// SwapByteOrder: reverses the cbData bytes at pbData in place (little-endian
// CryptoAPI integers and signatures <-> the big-endian order of DER). A null
// buffer or a length below 2 leaves nothing to do.
void SwapByteOrder(BYTE* pbData, DWORD cbData);

// Base64EncodeEx: encodes cbSource bytes at pbSource with the standard alphabet.
// With dwFlags 0 the text is cut into lines of 76 characters joined by CR LF,
// with no line break at the end, except that a CR LF follows the full lines when
// the number of whole 3-byte groups is a non-zero multiple of 19 (57 bytes give
// 76 characters and CR LF). BASE64_FLAG_NOCRLF writes one line,
// BASE64_FLAG_NOPAD leaves out the "=" padding. Hands out the text in
// *pstrDest. No bytes give an empty text. Returns 0,
// E_POINTER for a null out-parameter or a null source with a non-zero length,
// E_OUTOFMEMORY when the text cannot be allocated or would not fit in 32 bits.
[[nodiscard]] HRESULT Base64EncodeEx(DWORD dwFlags, std::string* pstrDest, const BYTE* pbSource,
                                     DWORD cbSource);

// Base64DecodeEx: decodes the Base64 text pszSource, reading at most nSourceLen
// characters; a NUL met where a 4-character group would start ends the text
// early. Characters outside the alphabet (CR, LF, blanks, "=", and a NUL in the
// middle of a group) are skipped and do not count. Every 4 alphabet characters
// give 3 bytes; a final group of 2 or 3 gives 1 or 2 bytes (its unused low bits
// are ignored); a single leftover character gives nothing. Hands out the bytes
// in *pDest, none for a text without alphabet characters. Returns 0, E_FAIL for nSourceLen <= 0,
// E_POINTER for a null argument, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT Base64DecodeEx(int nSourceLen, std::vector<BYTE>* pDest,
                                     const char* pszSource);

// ConvertBinaryDataToString: writes the cbData bytes at pbData from the last to
// the first as two lower-case hexadecimal digits each, so a little-endian integer
// (a serial number as CryptoAPI keeps it) reads in its usual big-endian form:
// 0x01 0xA0 gives "a001". Hands out the 2 * cbData characters in *pwstrDest. Returns 0, E_POINTER
// for a null out-parameter or a null pbData with a non-zero count, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT ConvertBinaryDataToString(DWORD cbData, WString* pwstrDest,
                                                const BYTE* pbData);

// CreateGUIDStr: makes a new GUID and hands out its registry form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters, upper-case hex) in
// *pwstrGuid. Returns 0, E_POINTER, E_OUTOFMEMORY or the
// failing system call's result.
[[nodiscard]] HRESULT CreateGUIDStr(WString* pwstrGuid);

// GetTempDirPath: hands out the system's temporary directory, ending with the
// path separator, in *pwstrPath. Returns 0, E_POINTER,
// E_OUTOFMEMORY or the system error as a result code.
[[nodiscard]] HRESULT GetTempDirPath(WString* pwstrPath);

// DumpDatatoTempFile: writes the cbData bytes at pbData to a new file named
// <temporary directory><GUID string>.VURO and hands out its path in
// *pwstrPath. The caller owns the file and deletes it when done.
// The file is complete when this succeeds: a failed or short write, or a failed
// close, deletes it again and fails. Returns 0, E_POINTER, E_OUTOFMEMORY, the
// result of CreateGUIDStr or GetTempDirPath, or the system error as a result
// code (HRESULT_FROM_WIN32(ERROR_WRITE_FAULT) for a short write).
[[nodiscard]] HRESULT DumpDatatoTempFile(WString* pwstrPath, const BYTE* pbData, DWORD cbData);
