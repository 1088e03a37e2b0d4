// The POSIX trace path end to end: ORVANE_TRACE enables the provider at
// registration and lines land in ORVANE_TRACE_FILE, filtered by flag.
#include "foundation/Trace.h"

#include <evntrace.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <unistd.h>

namespace {

ULONG WINAPI KeepLoggerHandle(WMIDPREQUESTCODE code, PVOID context, ULONG*, PVOID buffer) {
    if (code == WMI_ENABLE_EVENTS)
        *static_cast<TRACEHANDLE*>(context) = GetTraceLoggerHandle(buffer);
    return ERROR_SUCCESS;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

TEST(TraceSink, FlagsSelectWhatIsWrittenAndLastErrorSurvives) {
    char path[] = "/tmp/orvane-trace-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("ORVANE_TRACE_FILE", path, 1);

    // Errors only.
    setenv("ORVANE_TRACE", "1", 1);
    RegisterTraceProvider();
    EXPECT_TRUE(TraceIsEnabled(TRACE_FLAG_ERROR));
    EXPECT_FALSE(TraceIsEnabled(TRACE_FLAG_INFO));
    SetLastError(ERROR_ACCESS_DENIED);
    TraceStepOkA("SinkTest", 1, "Op", "quiet step");
    TraceStepFailedA("SinkTest", 2, "Op", "loud step", E_FAIL, "FAILED(hResult)");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    UnregisterTraceProvider();
    EXPECT_FALSE(TraceIsEnabled(TRACE_FLAG_ERROR));

    std::string text = ReadAll(path);
    EXPECT_EQ(text.find("quiet step"), std::string::npos);
    EXPECT_NE(text.find("[SinkTest(2):](Op -- loud step)\t\t--Failed:(0x80004005) "
                        "[Reason:FAILED(hResult)]"),
              std::string::npos);

    // Everything.
    setenv("ORVANE_TRACE", "f", 1);
    RegisterTraceProvider();
    {
        TraceHelper scope(TEXT("SinkTest::Scoped"));
        TraceValueW("wide", TEXT("中文"));
    }
    UnregisterTraceProvider();
    text = ReadAll(path);
    EXPECT_NE(text.find("Enter SinkTest::Scoped"), std::string::npos);
    EXPECT_NE(text.find("Leave SinkTest::Scoped"), std::string::npos);
    EXPECT_NE(text.find("wide: 中文"), std::string::npos);

    // Disabled: registration without ORVANE_TRACE records nothing.
    unsetenv("ORVANE_TRACE");
    RegisterTraceProvider();
    EXPECT_FALSE(TraceIsEnabled(TRACE_FLAG_ERROR | TRACE_FLAG_WARNING | TRACE_FLAG_INFO |
                                TRACE_FLAG_ENTRY_EXIT));
    UnregisterTraceProvider();
    unsetenv("ORVANE_TRACE_FILE");
    unlink(path);
}

// What a provider asks of the session that enabled it: the flags and level
// from the environment while it is set; 0 otherwise, with the last error
// telling a session that is off from a handle that names none.
TEST(TraceSink, EnableFlagsAndLevelOfASession) {
    setenv("ORVANE_TRACE", "5", 1);
    setenv("ORVANE_TRACE_LEVEL", "4", 1);
    const GUID guid{0x1d0b6c2e, 0x7a41, 0x4f5e, {0x9b, 0x13, 0x52, 0x6e, 0x0a, 0x8d, 0x31, 0xc4}};
    TRACEHANDLE logger = 0;
    TRACEHANDLE registration = 0;
    ASSERT_EQ(RegisterTraceGuidsW(KeepLoggerHandle, &logger, &guid, 0, nullptr, nullptr, nullptr,
                                  &registration),
              ULONG(ERROR_SUCCESS));
    ASSERT_NE(logger, TRACEHANDLE(0)) << "the session enabled the provider";
    EXPECT_EQ(GetTraceEnableFlags(logger), 5u);
    EXPECT_EQ(GetTraceEnableLevel(logger), 4u);

    unsetenv("ORVANE_TRACE");
    for (const auto& [handle, lastError] :
         {std::pair{logger, DWORD(ERROR_SUCCESS)},
          std::pair{TRACEHANDLE(0x1234), DWORD(ERROR_INVALID_HANDLE)}}) {
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(GetTraceEnableFlags(handle), 0u);
        EXPECT_EQ(GetLastError(), lastError) << handle;
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(GetTraceEnableLevel(handle), 0u);
        EXPECT_EQ(GetLastError(), lastError) << handle;
    }
    unsetenv("ORVANE_TRACE_LEVEL");
    EXPECT_EQ(UnregisterTraceGuids(registration), ULONG(ERROR_SUCCESS));
}

// The boot-time global logger: settings in the machine hive enable tracing at
// registration without ORVANE_TRACE, with bit 31 of the flags cleared.
TEST(TraceSink, GlobalLoggerSettingsEnableTracing) {
    // The hive a process uses is fixed at its first registry call: only the
    // scratch hive the test run was given may be written, never the machine's.
    if (std::getenv("ORVANE_MACHINE_HIVE") == nullptr)
        GTEST_SKIP() << "no scratch machine hive (ORVANE_MACHINE_HIVE) given";
    if (geteuid() != 0)
        GTEST_SKIP() << "writing the machine hive needs root";
    unsetenv("ORVANE_TRACE");

    const auto setDword = [](const WCHAR* path, const WCHAR* name, DWORD value) {
        HKEY hKey = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &hKey, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                 sizeof(value)),
                  ERROR_SUCCESS);
        RegCloseKey(hKey);
    };
    const WCHAR* logger = TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger");
    const WCHAR* provider = TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger\\"
                                 "5c8f2a58-369a-44f0-9235-c05ecb1dd73e");
    setDword(provider, TEXT("Flags"), 0x80000005);
    setDword(provider, TEXT("Level"), 4);

    // Start 0: configured but not started with the system.
    setDword(logger, TEXT("Start"), 0);
    RegisterTraceProvider();
    EXPECT_FALSE(TraceIsEnabled(TRACE_FLAG_ERROR));
    UnregisterTraceProvider();

    setDword(logger, TEXT("Start"), 1);
    RegisterTraceProvider();
    EXPECT_TRUE(TraceIsEnabled(TRACE_FLAG_ERROR));
    EXPECT_TRUE(TraceIsEnabled(TRACE_FLAG_INFO));
    EXPECT_FALSE(TraceIsEnabled(TRACE_FLAG_WARNING | TRACE_FLAG_ENTRY_EXIT));
    EXPECT_EQ(g_ulTraceEnableFlags.load(), 0x5u) << "bit 31 is cleared";
    UnregisterTraceProvider();
    EXPECT_FALSE(TraceIsEnabled(TRACE_FLAG_ERROR));

    // Leave no settings behind for the next registration in this hive.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, provider), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, logger), ERROR_SUCCESS);
}
