#include "host/OrvaneHost.h"

#include "foundation/Trace.h"
#include "host/IOStream.h"
#include "host/JSONUtility.h"
#include "host/JsonHandles.h"

#include <io.h>

#include <cstdio>
#include <memory>
#include <new>

#define TRACE_MODULE "OrvaneHost"

HMODULE g_hInstance = nullptr;

namespace {

// Written when not even a fixed-text response could be produced, so that the
// page still gets an answer in order instead of a frame built from nothing.
constexpr const char* kOutOfMemoryResponse =
    "{\"function\":\"\", \"errorcode\":-2146893779, \"result\":false}";

} // namespace

int RespondToRequest(HostProgram& program, const char* pszRequestMsg, char** ppszResponseMsg) {
    TraceHelper trace(TEXT("ParseAndRespondRequest"));
    char* pszFuncNameRaw = nullptr;
    char* pszRandomIdRaw = nullptr;
    cJSON* pArgsRaw = nullptr;
    cJSON* pResponseRaw = nullptr;
    try {
        int nResult =
            ParseRequestMsgToJSON(&pszFuncNameRaw, &pArgsRaw, pszRequestMsg, &pszRandomIdRaw);
        std::unique_ptr<char[]> pszFuncName(pszFuncNameRaw);
        std::unique_ptr<char[]> pszRandomId(pszRandomIdRaw);
        UniqueJson pArgs(pArgsRaw);
        if (nResult == 0)
            program.Invoke(&pResponseRaw, pszFuncName.get(), pArgs.get());
        UniqueJson pResponse(pResponseRaw);
        ConvertJSONToResponseMsg(pszFuncName.get(), pszRandomId.get(), pResponse.get(),
                                 ppszResponseMsg);
    } catch (const std::bad_alloc&) {
        TRACE_FAILED("ParseAndRespondRequest", "Answer request", int(E_OUTOFMEMORY),
                     "std::bad_alloc");
        if (ppszResponseMsg != nullptr)
            *ppszResponseMsg = nullptr;
    } catch (...) {
        // No response text: the loop answers with its fixed failure text.
        TRACE_FAILED("ParseAndRespondRequest", "Answer request", int(E_UNEXPECTED), "exception");
        if (ppszResponseMsg != nullptr)
            *ppszResponseMsg = nullptr;
    }
    return 0;
}

int RunRequestLoop(HostProgram& program) {
    TraceHelper trace(TEXT("MsgHandleProc"));
    const int fdIn = _fileno(stdin);
    const int fdOut = _fileno(stdout);
    for (;;) {
        char* pszRequestRaw = nullptr;
        int nLength = 0;
        int nResult = ReadFromNativeMessaging(&pszRequestRaw, fdIn, &nLength);
        std::unique_ptr<char[]> pszRequest(pszRequestRaw);
        if (nResult != 0) {
            TRACE_FAILED("MsgHandleProc", "ReadFromNativeMessaging", nResult, "VURO_OK != nResult");
            return nResult;
        }
        TraceValueA("Request", pszRequest.get());
        if (nLength == 0)
            return 0;
        char* pszResponseRaw = nullptr;
        RespondToRequest(program, pszRequest.get(), &pszResponseRaw);
        std::unique_ptr<char[]> pszResponse(pszResponseRaw);
        const char* pszOut = pszResponse ? pszResponse.get() : kOutOfMemoryResponse;
        TraceValueA("Response", pszOut);
        nResult = WriteToNativeMessaging(pszOut, fdOut);
        if (nResult != 0) {
            TRACE_FAILED("MsgHandleProc", "WriteToNativeMessaging", nResult, "VURO_OK != nResult");
            return nResult;
        }
    }
}

int RunHost(HostProgram& program) {
    RegisterTraceProvider();
    int nExitCode = 0;
    {
        TraceHelper trace(TEXT("wmain"));
        g_hInstance = GetModuleHandleW(nullptr);
        if (nullptr == g_hInstance) {
            TRACE_FAILED("wmain", "GetModuleHandleW", HResultFromLastError(),
                         "NULL == g_hInstance");
        } else if (!program.CreateAgent(g_hInstance)) {
            TRACE_FAILED("wmain", "new CCryptoAgent", int(E_OUTOFMEMORY),
                         "NULL == g_pobjCryptoAgent");
        } else if (int nResult = SetTranslationMode(); nResult != VURO_OK) {
            TRACE_FAILED("wmain", "SetTranslationMode", nResult, "VURO_OK != nResult");
            nExitCode = nResult;
        } else {
            nExitCode = RunRequestLoop(program);
            if (nExitCode != VURO_OK)
                TRACE_FAILED("wmain", "MsgHandleProc", nExitCode, "VURO_OK != nResult");
        }
        program.DeleteAgent();
    }
    UnregisterTraceProvider();
    return nExitCode;
}
