// Step-line formats and the promise that tracing never disturbs the caller.
#include "foundation/Trace.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

TEST(TraceFormat, NarrowLines) {
    char line[512];
    FormatStepOkA(line, "IOStream", 42, "ReadFromNativeMessaging", "read");
    EXPECT_STREQ(line, "[IOStream(42)]:(ReadFromNativeMessaging -- read)\t\t--OK\n");
    FormatStepFailedA(line, "IOStream", 7, "WriteToNativeMessaging", "New memory", -1,
                      "!pbyWriteBuf");
    EXPECT_STREQ(line, "[IOStream(7):](WriteToNativeMessaging -- New memory)\t\t--Failed:"
                       "(0xffffffff) [Reason:!pbyWriteBuf]\n");
}

TEST(TraceFormat, WideLines) {
    EXPECT_EQ(U8(FormatStepOkW(TEXT("nmVURO_SetCSPInfo"), TEXT("Check parameter"))),
              "nmVURO_SetCSPInfo - Check parameter");
    EXPECT_EQ(U8(FormatStepFailedW(TEXT("nmMessageSigning"), 12, TEXT("nmVURO_SetCSPInfo"),
                                   TEXT("Check parameter(Args count)"), TEXT("2 != nArgsCount"))),
              "[nmMessageSigning(12):] nmVURO_SetCSPInfo - Check parameter(Args count) "
              "[Reason:2 != nArgsCount]");
}

TEST(TraceFormat, OverlongLinesAreCutNotOverflowed) {
    const std::string longStep(2000, 's');
    char line[512];
    int n = FormatStepFailedA(line, "M", 1, "Op", longStep.c_str(), -1, "reason");
    EXPECT_EQ(n, 511);
    EXPECT_EQ(line[511], '\0');
    const WString longWide(2000, WCHAR(u'w'));
    EXPECT_EQ(FormatStepFailedW(TEXT("M"), 1, TEXT("Op"), longWide.c_str(), TEXT("r")).size(),
              511u);
    EXPECT_EQ(FormatStepOkW(longWide.c_str(), TEXT("step")).size(), 511u);
}

TEST(TraceEnabled, TracingNeverChangesTheLastError) {
    const ULONG saved = g_ulTraceEnableFlags.exchange(0xF);
    SetLastError(0x20002401);
    {
        TraceHelper scope(TEXT("TraceTest::Operation"));
        TraceStepOkA("TraceTest", __LINE__, "Operation", "step");
        TraceStepFailedA("TraceTest", __LINE__, "Operation", "step", E_FAIL, "FAILED(hResult)");
        TraceStepOkW(TEXT("Operation"), TEXT("step"));
        TraceStepFailedW(TEXT("TraceTest"), __LINE__, TEXT("Operation"), TEXT("step"),
                         TEXT("FAILED(hResult)"), E_FAIL);
        TraceValueA("text", nullptr);
        TraceValueW("wide", TEXT(""));
        TraceValueNumber("number", -1);
        EXPECT_EQ(GetLastError(), 0x20002401u);
    }
    EXPECT_EQ(GetLastError(), 0x20002401u);
    g_ulTraceEnableFlags.store(saved);
}

#define TRACE_MODULE "TraceTest"
TEST(TraceEnabled, CheckedConditionsEvaluateOnceAndSayWhetherTheyHeld) {
    const ULONG saved = g_ulTraceEnableFlags.exchange(0xF);
    int nEvaluated = 0;
    int nCodes = 0;
    auto code = [&] { return ++nCodes, E_INVALIDARG; };
    EXPECT_TRUE(TRACE_IF(++nEvaluated == 1, "Op", "step", code()));
    EXPECT_FALSE(TRACE_IF(++nEvaluated == 1, "Op", "step", code()));
    EXPECT_TRUE(TRACE_IF_W(++nEvaluated == 3, TEXT("Op"), TEXT("step"), code()));
    EXPECT_FALSE(TRACE_IF_W(nEvaluated == 0, TEXT("Op"), TEXT("step"), code()));
    EXPECT_EQ(nEvaluated, 3);
    EXPECT_EQ(nCodes, 2); // the code is worked out only for a condition that held
    g_ulTraceEnableFlags.store(saved);
}
