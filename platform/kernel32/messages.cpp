// The operating system's message texts for the codes the system reports, in
// English and Simplified Chinese, each ending in CR LF as Windows writes them.
#include <windows.h>

#include "internal/util.h"

namespace {

struct SystemMessage {
    DWORD code; // Win32 number, or a full HRESULT for codes outside FACILITY_WIN32
    const WCHAR* english;
    const WCHAR* chinese;
};

const SystemMessage kMessages[] = {
    {0, u"The operation completed successfully.\r\n", u"操作成功完成。\r\n"},
    {ERROR_INVALID_FUNCTION, u"Incorrect function.\r\n", u"函数不正确。\r\n"},
    {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified.\r\n",
     u"系统找不到指定的文件。\r\n"},
    {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified.\r\n",
     u"系统找不到指定的路径。\r\n"},
    {ERROR_ACCESS_DENIED, u"Access is denied.\r\n", u"拒绝访问。\r\n"},
    {ERROR_INVALID_HANDLE, u"The handle is invalid.\r\n", u"句柄无效。\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     u"Not enough memory resources are available to process this command.\r\n",
     u"存储空间不足，无法处理此命令。\r\n"},
    {ERROR_INVALID_DATA, u"The data is invalid.\r\n", u"数据无效。\r\n"},
    {ERROR_OUTOFMEMORY,
     u"Not enough memory resources are available to complete this operation.\r\n",
     u"内存资源不足，无法完成此操作。\r\n"},
    {ERROR_SHARING_VIOLATION,
     u"The process cannot access the file because it is being used by another process.\r\n",
     u"另一个程序正在使用此文件，进程无法访问。\r\n"},
    {ERROR_HANDLE_EOF, u"Reached the end of the file.\r\n", u"已到文件结尾。\r\n"},
    {ERROR_FILE_EXISTS, u"The file exists.\r\n", u"文件存在。\r\n"},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect.\r\n", u"参数错误。\r\n"},
    {ERROR_BROKEN_PIPE, u"The pipe has been ended.\r\n", u"管道已结束。\r\n"},
    {ERROR_DISK_FULL, u"There is not enough space on the disk.\r\n", u"磁盘空间不足。\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, u"The data area passed to a system call is too small.\r\n",
     u"传递给系统调用的数据区域太小。\r\n"},
    {ERROR_ALREADY_EXISTS, u"Cannot create a file when that file already exists.\r\n",
     u"当文件已存在时，无法创建该文件。\r\n"},
    {ERROR_MORE_DATA, u"More data is available.\r\n", u"有更多数据可用。\r\n"},
    {ERROR_NO_MORE_ITEMS, u"No more data is available.\r\n", u"没有可用的数据了。\r\n"},
    {ERROR_NO_UNICODE_TRANSLATION,
     u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n",
     u"在多字节的目标代码页中，没有此 Unicode 字符可以映射到的字符。\r\n"},
    {ERROR_CANNOT_FIND_WND_CLASS, u"Cannot find window class.\r\n", u"找不到窗口类。\r\n"},
    {DWORD(E_POINTER), u"Invalid pointer\r\n", u"无效指针\r\n"},
    {DWORD(E_FAIL), u"Unspecified error\r\n", u"未指定的错误\r\n"},
    {DWORD(E_NOTIMPL), u"Not implemented\r\n", u"未实现\r\n"},
    {DWORD(E_UNEXPECTED), u"Catastrophic failure\r\n", u"灾难性故障\r\n"},
    {DWORD(NTE_BAD_KEY), u"Bad Key.\r\n", u"不正确的项。\r\n"},
    {DWORD(NTE_BAD_LEN), u"Bad Length.\r\n", u"长度不正确。\r\n"},
    {DWORD(NTE_BAD_DATA), u"Bad Data.\r\n", u"不正确的数据。\r\n"},
    {DWORD(NTE_BAD_SIGNATURE), u"Invalid Signature.\r\n", u"签名无效。\r\n"},
    {DWORD(NTE_BAD_ALGID), u"Invalid algorithm specified.\r\n", u"指定了无效的算法。\r\n"},
    {DWORD(NTE_BAD_FLAGS), u"Invalid flags specified.\r\n", u"指定了无效的标志。\r\n"},
    {DWORD(NTE_NO_KEY), u"Key does not exist.\r\n", u"项不存在。\r\n"},
    {DWORD(NTE_EXISTS), u"Object already exists.\r\n", u"对象已存在。\r\n"},
    {DWORD(NTE_BAD_KEYSET), u"Keyset does not exist\r\n", u"密钥集不存在\r\n"},
    {DWORD(NTE_BAD_PROV_TYPE), u"Invalid provider type specified.\r\n",
     u"指定了无效的提供程序类型。\r\n"},
    {DWORD(NTE_KEYSET_NOT_DEF), u"The keyset is not defined.\r\n", u"密钥集定义不正确。\r\n"},
    {DWORD(NTE_INTERNAL_ERROR), u"An internal error occurred.\r\n", u"出现了内部错误。\r\n"},
    {DWORD(CRYPT_E_NOT_FOUND), u"Cannot find object or property.\r\n", u"找不到对象或属性。\r\n"},
    {DWORD(CRYPT_E_EXISTS), u"The object or property already exists.\r\n",
     u"对象或属性已经存在。\r\n"},
};

constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

const SystemMessage* Find(DWORD id) {
    // HRESULT_FROM_WIN32 values share the Win32 number's text.
    DWORD win32 = ((id & 0xFFFF0000u) == 0x80070000u) ? (id & 0xFFFF) : id;
    for (const SystemMessage& m : kMessages)
        if (m.code == win32 || m.code == id)
            return &m;
    return nullptr;
}

} // namespace

extern "C" DWORD FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD dwLanguageId,
                                LPWSTR lpBuffer, DWORD nSize, va_list*) {
    // Only system texts without inserts, into the caller's buffer: the stand-in
    // offers what the system asks for and refuses the rest plainly.
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
        (dwFlags & (FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING)) != 0 ||
        lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const SystemMessage* m = Find(dwMessageId);
    if (m == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    LANGID lang = dwLanguageId != 0 ? LANGID(dwLanguageId) : orvane::platform::CurrentUiLanguage();
    const WCHAR* text = PRIMARYLANGID(lang) == LANG_CHINESE ? m->chinese : m->english;
    DWORD len = DWORD(lstrlenW(text));
    if (len + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (DWORD i = 0; i <= len; ++i)
        lpBuffer[i] = text[i];
    return len;
}
