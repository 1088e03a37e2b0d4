// The operating system's message texts for the codes the system and the
// stand-in report, in English and Simplified Chinese, each ending in CR LF as
// Windows writes them.
#include <windows.h>

#include "internal/util.h"
#include "storage/hive.h"

#include <new>
#include <string>

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
    {ERROR_TOO_MANY_OPEN_FILES, u"The system cannot open the file.\r\n", u"系统无法打开文件。\r\n"},
    {ERROR_ACCESS_DENIED, u"Access is denied.\r\n", u"拒绝访问。\r\n"},
    {ERROR_INVALID_HANDLE, u"The handle is invalid.\r\n", u"句柄无效。\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     u"Not enough memory resources are available to process this command.\r\n",
     u"存储空间不足，无法处理此命令。\r\n"},
    {ERROR_INVALID_DATA, u"The data is invalid.\r\n", u"数据无效。\r\n"},
    {ERROR_OUTOFMEMORY,
     u"Not enough memory resources are available to complete this operation.\r\n",
     u"内存资源不足，无法完成此操作。\r\n"},
    {ERROR_WRITE_FAULT, u"The system cannot write to the specified device.\r\n",
     u"系统无法写入指定的设备。\r\n"},
    {ERROR_READ_FAULT, u"The system cannot read from the specified device.\r\n",
     u"系统无法从指定的设备上读取。\r\n"},
    {ERROR_SHARING_VIOLATION,
     u"The process cannot access the file because it is being used by another process.\r\n",
     u"另一个程序正在使用此文件，进程无法访问。\r\n"},
    {ERROR_HANDLE_EOF, u"Reached the end of the file.\r\n", u"已到文件结尾。\r\n"},
    {ERROR_NOT_SUPPORTED, u"The request is not supported.\r\n", u"不支持该请求。\r\n"},
    {ERROR_FILE_EXISTS, u"The file exists.\r\n", u"文件存在。\r\n"},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect.\r\n", u"参数错误。\r\n"},
    {ERROR_BROKEN_PIPE, u"The pipe has been ended.\r\n", u"管道已结束。\r\n"},
    {ERROR_DISK_FULL, u"There is not enough space on the disk.\r\n", u"磁盘空间不足。\r\n"},
    {ERROR_CALL_NOT_IMPLEMENTED, u"This function is not supported on this system.\r\n",
     u"此系统不支持该功能。\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, u"The data area passed to a system call is too small.\r\n",
     u"传递给系统调用的数据区域太小。\r\n"},
    {ERROR_INVALID_NAME, u"The filename, directory name, or volume label syntax is incorrect.\r\n",
     u"文件名、目录名或卷标语法不正确。\r\n"},
    {ERROR_MOD_NOT_FOUND, u"The specified module could not be found.\r\n",
     u"找不到指定的模块。\r\n"},
    {ERROR_PROC_NOT_FOUND, u"The specified procedure could not be found.\r\n",
     u"找不到指定的程序。\r\n"},
    {ERROR_BAD_PATHNAME, u"The specified path is invalid.\r\n", u"指定的路径无效。\r\n"},
    {ERROR_DIR_NOT_EMPTY, u"The directory is not empty.\r\n", u"目录不是空的。\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, u"The filename or extension is too long.\r\n",
     u"文件名或扩展名太长。\r\n"},
    {ERROR_BUSY, u"The requested resource is in use.\r\n", u"请求的资源在使用中。\r\n"},
    {ERROR_ALREADY_EXISTS, u"Cannot create a file when that file already exists.\r\n",
     u"当文件已存在时，无法创建该文件。\r\n"},
    {ERROR_DIRECTORY, u"The directory name is invalid.\r\n", u"目录名称无效。\r\n"},
    {ERROR_MORE_DATA, u"More data is available.\r\n", u"有更多数据可用。\r\n"},
    {ERROR_NO_MORE_ITEMS, u"No more data is available.\r\n", u"没有可用的数据了。\r\n"},
    {ERROR_NOACCESS, u"Invalid access to memory location.\r\n", u"内存位置访问无效。\r\n"},
    {ERROR_INVALID_ADDRESS, u"Attempt to access invalid address.\r\n", u"试图访问无效的地址。\r\n"},
    {ERROR_BADDB, u"The configuration registry database is corrupt.\r\n",
     u"配置注册表数据库损坏。\r\n"},
    {ERROR_CANTOPEN, u"The configuration registry key could not be opened.\r\n",
     u"无法打开配置注册表项。\r\n"},
    {ERROR_CANTREAD, u"The configuration registry key could not be read.\r\n",
     u"无法读取配置注册表项。\r\n"},
    {ERROR_CANTWRITE, u"The configuration registry key could not be written.\r\n",
     u"无法写入配置注册表项。\r\n"},
    {ERROR_REGISTRY_IO_FAILED,
     u"An I/O operation initiated by the registry failed unrecoverably. The registry could not "
     u"read in, or write out, or flush, one of the files that contain the system's image of the "
     u"registry.\r\n",
     u"由注册表启动的 I/O "
     u"操作失败并无法恢复。注册表无法读入、写出或清除任意一个包含注册表系统映像的"
     u"文件。\r\n"},
    {ERROR_KEY_DELETED,
     u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n",
     u"试图在标记为删除的注册表项上进行非法操作。\r\n"},
    {ERROR_NO_UNICODE_TRANSLATION,
     u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n",
     u"在多字节的目标代码页中，没有此 Unicode 字符可以映射到的字符。\r\n"},
    {ERROR_REVISION_MISMATCH, u"Indicates two revision levels are incompatible.\r\n",
     u"表明两个修订级别是不兼容的。\r\n"},
    {ERROR_INTERNAL_ERROR, u"An internal error occurred.\r\n", u"发生内部错误。\r\n"},
    {ERROR_TLW_WITH_WSCHILD, u"Cannot create a top-level child window.\r\n",
     u"无法创建顶级子窗口。\r\n"},
    {ERROR_RESOURCE_DATA_NOT_FOUND,
     u"The specified image file did not contain a resource section.\r\n",
     u"指定的映像文件不包含资源区域。\r\n"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     u"The specified resource type cannot be found in the image file.\r\n",
     u"在映像文件中找不到指定的资源类型。\r\n"},
    {ERROR_RESOURCE_NAME_NOT_FOUND,
     u"The specified resource name cannot be found in the image file.\r\n",
     u"在映像文件中找不到指定的资源名称。\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     u"The specified resource language ID cannot be found in the image file.\r\n",
     u"在映像文件中找不到指定的资源语言 ID。\r\n"},
    {ERROR_WMI_INSTANCE_NOT_FOUND,
     u"The instance name passed was not recognized as valid by a WMI data provider.\r\n",
     u"传递的实例名称未被 WMI 数据提供程序识别为有效。\r\n"},
    {DWORD(E_NOTIMPL), u"Not implemented\r\n", u"未实现\r\n"},
    {DWORD(E_NOINTERFACE), u"No such interface supported\r\n", u"不支持此接口\r\n"},
    {DWORD(E_POINTER), u"Invalid pointer\r\n", u"无效指针\r\n"},
    {DWORD(E_ABORT), u"Operation aborted\r\n", u"操作已中止\r\n"},
    {DWORD(E_FAIL), u"Unspecified error\r\n", u"未指定的错误\r\n"},
    {DWORD(E_UNEXPECTED), u"Catastrophic failure\r\n", u"灾难性故障\r\n"},
    {DWORD(NTE_BAD_UID), u"Bad UID.\r\n", u"不正确的 UID。\r\n"},
    {DWORD(NTE_BAD_HASH), u"Bad Hash.\r\n", u"不正确的哈希值。\r\n"},
    {DWORD(NTE_BAD_KEY), u"Bad Key.\r\n", u"不正确的项。\r\n"},
    {DWORD(NTE_BAD_LEN), u"Bad Length.\r\n", u"长度不正确。\r\n"},
    {DWORD(NTE_BAD_DATA), u"Bad Data.\r\n", u"不正确的数据。\r\n"},
    {DWORD(NTE_BAD_SIGNATURE), u"Invalid Signature.\r\n", u"签名无效。\r\n"},
    {DWORD(NTE_BAD_VER), u"Bad Version of provider.\r\n", u"提供程序的版本错误。\r\n"},
    {DWORD(NTE_BAD_ALGID), u"Invalid algorithm specified.\r\n", u"指定了无效的算法。\r\n"},
    {DWORD(NTE_BAD_FLAGS), u"Invalid flags specified.\r\n", u"指定了无效的标志。\r\n"},
    {DWORD(NTE_BAD_TYPE), u"Invalid type specified.\r\n", u"指定了无效的类型。\r\n"},
    {DWORD(NTE_BAD_KEY_STATE), u"Key not valid for use in specified state.\r\n",
     u"项不适合在指定状态下使用。\r\n"},
    {DWORD(NTE_BAD_HASH_STATE), u"Hash not valid for use in specified state.\r\n",
     u"哈希不适合在指定状态下使用。\r\n"},
    {DWORD(NTE_NO_KEY), u"Key does not exist.\r\n", u"项不存在。\r\n"},
    {DWORD(NTE_NO_MEMORY), u"Insufficient memory available for the operation.\r\n",
     u"可用于此操作的内存不足。\r\n"},
    {DWORD(NTE_EXISTS), u"Object already exists.\r\n", u"对象已存在。\r\n"},
    {DWORD(NTE_PERM), u"Access denied.\r\n", u"拒绝访问。\r\n"},
    {DWORD(NTE_NOT_FOUND), u"Object was not found.\r\n", u"找不到对象。\r\n"},
    {DWORD(NTE_NOT_SUPPORTED), u"The requested operation is not supported.\r\n",
     u"不支持请求的操作。\r\n"},
    {DWORD(NTE_BAD_PROVIDER), u"Invalid provider specified.\r\n", u"指定了无效的提供程序。\r\n"},
    {DWORD(NTE_BAD_PROV_TYPE), u"Invalid provider type specified.\r\n",
     u"指定了无效的提供程序类型。\r\n"},
    {DWORD(NTE_BAD_PUBLIC_KEY), u"Provider's public key is invalid.\r\n",
     u"提供程序的公钥无效。\r\n"},
    {DWORD(NTE_BAD_KEYSET), u"Keyset does not exist\r\n", u"密钥集不存在\r\n"},
    {DWORD(NTE_PROV_TYPE_NOT_DEF), u"Provider type not defined.\r\n", u"提供程序类型未定义。\r\n"},
    {DWORD(NTE_PROV_TYPE_ENTRY_BAD), u"Provider type as registered is invalid.\r\n",
     u"注册的提供程序类型无效。\r\n"},
    {DWORD(NTE_KEYSET_NOT_DEF), u"The keyset is not defined.\r\n", u"密钥集定义不正确。\r\n"},
    {DWORD(NTE_PROV_TYPE_NO_MATCH), u"Provider type does not match registered value.\r\n",
     u"提供程序类型与注册的值不匹配。\r\n"},
    {DWORD(NTE_PROV_DLL_NOT_FOUND), u"Provider DLL could not be found.\r\n",
     u"找不到提供程序 DLL。\r\n"},
    {DWORD(NTE_BAD_KEYSET_PARAM), u"The Keyset parameter is invalid.\r\n", u"密钥集参数无效。\r\n"},
    {DWORD(NTE_FAIL), u"An internal error occurred.\r\n", u"出现了内部错误。\r\n"},
    {DWORD(NTE_SILENT_CONTEXT),
     u"Provider could not perform the action since the context was acquired as silent.\r\n",
     u"由于上下文是以无提示方式获取的，提供程序无法执行此操作。\r\n"},
    {DWORD(NTE_INTERNAL_ERROR), u"An internal error occurred.\r\n", u"出现了内部错误。\r\n"},
    {DWORD(CRYPT_E_NOT_FOUND), u"Cannot find object or property.\r\n", u"找不到对象或属性。\r\n"},
    {DWORD(CRYPT_E_EXISTS), u"The object or property already exists.\r\n",
     u"对象或属性已经存在。\r\n"},
    {DWORD(CRYPT_E_NO_KEY_PROPERTY),
     u"Cannot find the certificate and private key for decryption.\r\n",
     u"找不到用于解密的证书和私钥。\r\n"},
    {DWORD(CRYPT_E_PENDING_CLOSE),
     u"Final closure is pending until additional frees or closes.\r\n",
     u"在其他释放或关闭操作完成之前，最终关闭处于挂起状态。\r\n"},
    {DWORD(CRYPT_E_INVALID_NUMERIC_STRING), u"The string contains a non-numeric character.\r\n",
     u"字符串含有非数字字符。\r\n"},
    {DWORD(CRYPT_E_INVALID_PRINTABLE_STRING), u"The string contains a non-printable character.\r\n",
     u"字符串含有不可打印的字符。\r\n"},
    {DWORD(CRYPT_E_INVALID_IA5_STRING),
     u"The string contains a character not in the 7 bit ASCII character set.\r\n",
     u"字符串含有不在 7 位 ASCII 字符集中的字符。\r\n"},
    {DWORD(CRYPT_E_ASN1_ERROR), u"ASN1 Certificate encode/decode error code base.\r\n",
     u"ASN1 证书编码/解码错误代码基数。\r\n"},
    {DWORD(CRYPT_E_ASN1_INTERNAL), u"ASN1 internal encode or decode error.\r\n",
     u"ASN1 内部编码或解码错误。\r\n"},
    {DWORD(CRYPT_E_ASN1_EOD), u"ASN1 unexpected end of data.\r\n", u"ASN1 意外的数据结尾。\r\n"},
    {DWORD(CRYPT_E_ASN1_CORRUPT), u"ASN1 corrupted data.\r\n", u"ASN1 数据已损坏。\r\n"},
    {DWORD(CRYPT_E_ASN1_LARGE), u"ASN1 value too large.\r\n", u"ASN1 值太大。\r\n"},
    {DWORD(CRYPT_E_ASN1_BADTAG), u"ASN1 bad tag value met.\r\n", u"遇到 ASN1 错误标记值。\r\n"},
    {DWORD(CRYPT_E_ASN1_CHOICE), u"ASN1 bad choice value.\r\n", u"ASN1 错误的选择值。\r\n"},
    {ERROR_CANCELLED, u"The operation was cancelled by the user.\r\n", u"操作已被用户取消。\r\n"},
    {DWORD(SCARD_W_REMOVED_CARD),
     u"The token was removed, so the operation could not be completed.\r\n",
     u"令牌已被拔出，无法完成操作。\r\n"},
    {DWORD(SCARD_W_WRONG_CHV), u"The PIN is wrong; the token refused it.\r\n",
     u"PIN 码错误，令牌拒绝了该 PIN 码。\r\n"},
    {DWORD(SCARD_W_CHV_BLOCKED),
     u"The token is locked: too many wrong PINs were entered. Its issuer can unlock it.\r\n",
     u"令牌已锁定：输入错误 PIN 码的次数过多。请联系令牌的发放方解锁。\r\n"},
    {DWORD(SCARD_W_CANCELLED_BY_USER), u"The user cancelled the PIN entry.\r\n",
     u"用户取消了 PIN 码输入。\r\n"},
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
    const bool chinese = PRIMARYLANGID(lang) == LANG_CHINESE;
    std::u16string text = chinese ? m->chinese : m->english;
    // A hive file that failed this thread's last registry call is named, with
    // the cause, after the system's words, when the buffer has room for them
    // and for what a caller adds after the text (its code, say).
    constexpr size_t kCallersRoom = 32;
    std::u16string hive;
    try {
        if (orvane::platform::storage::HiveFailureText(dwMessageId, chinese, hive) &&
            text.size() + hive.size() + 1 + kCallersRoom <= nSize)
            text += hive;
    } catch (const std::bad_alloc&) {
    }
    const DWORD len = DWORD(text.size());
    if (len + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (DWORD i = 0; i < len; ++i)
        lpBuffer[i] = text[i];
    lpBuffer[len] = 0;
    return len;
}
