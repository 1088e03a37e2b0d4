// The POSIX trace path end to end: ORVANE_TRACE enables the provider at
// registration and lines land in ORVANE_TRACE_FILE, filtered by flag.
#include "Trace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

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
