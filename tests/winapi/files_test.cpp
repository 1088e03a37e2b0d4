// Conformance of the file functions the system uses: dispositions, sharing
// and the error numbers Windows reports.
#include "tests/support/TestSupport.h"
#include "tests/winapi/WinApiTestHelpers.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

WString TempName(const char* suffix) {
    WCHAR dir[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    EXPECT_GT(n, 0u);
    return WString(dir) + orvane::tests::GuidText() + W(suffix);
}

struct Handle {
    HANDLE h;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};

} // namespace

TEST(WinApiFiles, TempPathEndsWithSeparator) {
    WCHAR dir[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    ASSERT_GT(n, 0u);
    EXPECT_TRUE(dir[n - 1] == u'\\' || dir[n - 1] == u'/');
    EXPECT_NE(GetFileAttributesW(dir), INVALID_FILE_ATTRIBUTES);
    // Too small a buffer: the size needed, terminator included.
    WCHAR one[1];
    EXPECT_EQ(GetTempPathW(1, one), n + 1);
}

TEST(WinApiFiles, CreateWriteReadDelete) {
    WString path = TempName(".test");
    {
        Handle f{CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr)};
        ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(f.h, "\r\n\x1a\0x", 5, &written, nullptr));
        EXPECT_EQ(written, 5u);
        LARGE_INTEGER size{};
        ASSERT_TRUE(GetFileSizeEx(f.h, &size));
        EXPECT_EQ(size.QuadPart, 5);
    }
    {
        Handle f{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)};
        ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
        char buf[16] = {};
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(f.h, buf, sizeof(buf), &read, nullptr));
        ASSERT_EQ(read, 5u);
        EXPECT_EQ(std::string(buf, 5), std::string("\r\n\x1a\0x", 5)); // bytes, untranslated
    }
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(WinApiFiles, DispositionsReportWhatTheyMet) {
    WString path = TempName(".test");
    SetLastError(0);
    Handle missing{CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)};
    EXPECT_EQ(missing.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    Handle created{CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)};
    ASSERT_NE(created.h, INVALID_HANDLE_VALUE);
    CloseHandle(created.h);
    created.h = INVALID_HANDLE_VALUE;

    SetLastError(0);
    Handle again{CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)};
    EXPECT_EQ(again.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));

    // Success on an existing file still says that it existed.
    SetLastError(0);
    Handle replaced{
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)};
    ASSERT_NE(replaced.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));

    // No sharing: a second opener is turned away while the first holds it.
    SetLastError(0);
    Handle second{CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)};
    EXPECT_EQ(second.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(replaced.h);
    replaced.h = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

// What a file is written under and then moved to: the move never replaces a
// name that is taken, and leaves both files as they were when it refuses.
TEST(WinApiFiles, MoveFileExWithoutReplacingRefusesATakenName) {
    const WString written = TempName(".tmp");
    const WString taken = TempName(".taken");
    const WString free = TempName(".free");
    for (const auto& [path, mark] : {std::pair{written, 'w'}, std::pair{taken, 't'}}) {
        Handle f{CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)};
        ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(f.h, &mark, 1, &done, nullptr));
        EXPECT_TRUE(FlushFileBuffers(f.h)) << GetLastError();
    }
    auto firstByte = [](const WString& path) {
        Handle f{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                             nullptr)};
        char c = 0;
        DWORD done = 0;
        return f.h != INVALID_HANDLE_VALUE && ReadFile(f.h, &c, 1, &done, nullptr) && done == 1
                   ? c
                   : '\0';
    };
    SetLastError(0);
    EXPECT_FALSE(MoveFileExW(written.c_str(), taken.c_str(), MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(firstByte(taken), 't');
    EXPECT_EQ(firstByte(written), 'w');

    EXPECT_TRUE(MoveFileExW(written.c_str(), free.c_str(), MOVEFILE_WRITE_THROUGH))
        << GetLastError();
    EXPECT_EQ(firstByte(free), 'w');
    EXPECT_EQ(GetFileAttributesW(written.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(DeleteFileW(free.c_str()));
    EXPECT_TRUE(DeleteFileW(taken.c_str()));
}
