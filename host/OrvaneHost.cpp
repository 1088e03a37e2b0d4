#include "host/OrvaneHost.h"

#include "foundation/Trace.h"
#include "host/IOStream.h"
#include "host/JSONUtility.h"
#include "host/JsonHandles.h"

#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <memory>
#include <new>

#define TRACE_MODULE "OrvaneHost"

namespace {

// Written when not even a fixed-text response could be produced, so that the
// page still gets an answer in order instead of a frame built from nothing.
constexpr const char* kOutOfMemoryResponse =
    "{\"function\":\"\", \"errorcode\":-2146893779, \"result\":false}";

// A response text for nErrorCode that fits the frame limit, told to the
// agent so that the page can ask what went wrong; empty when memory ran out.
std::string RefusalResponse(HostProgram& program, const char* pszFuncName, const char* pszRandomId,
                            int nErrorCode) {
    program.Refused(pszFuncName, nErrorCode);
    return ErrorResponseText(pszFuncName != nullptr ? pszFuncName : "", pszRandomId, nErrorCode,
                             kMaxOutputMessage);
}

} // namespace

int RespondToRequestBody(HostProgram& program, std::string strBody, std::string* pstrResponseMsg) {
    TraceHelper trace(TEXT("ParseAndRespondRequest"));
    if (pstrResponseMsg == nullptr)
        return 0;
    pstrResponseMsg->clear();
    try {
        RequestParts parts;
        const int nResult = ParseRequestBody(strBody.data(), strBody.size(), &parts);
        // The parts are copies: the body's memory goes back before the work.
        std::string().swap(strBody);
        const char* const pszFuncName = parts.strFuncName.c_str();
        const char* const pszRandomId = parts.fHasRandomId ? parts.strRandomId.c_str() : nullptr;
        if (nResult == int(VURO_E_DATA_LENGTH_LIMIT)) {
            *pstrResponseMsg = RefusalResponse(program, "", nullptr, nResult);
            return 0;
        }
        // The token comes back in the answer: one beyond any page's need
        // could make the answer of a method that did its work (a signature
        // file written) too long to deliver. Such a request is not run, and
        // its answer leaves the token out.
        if (pszRandomId != nullptr && parts.strRandomId.size() > kMaxRandomIdBytes) {
            TRACE_FAILED("ParseAndRespondRequest", "Check randomId length",
                         int(VURO_E_DATA_LENGTH_LIMIT), "strlen(pszRandomId) > 256");
            *pstrResponseMsg =
                RefusalResponse(program, pszFuncName, nullptr, VURO_E_DATA_LENGTH_LIMIT);
            return 0;
        }
        UniqueJson pResponse;
        // The outcome travels in the response object; a call without one is
        // answered below.
        if (nResult == 0)
            static_cast<void>(program.Invoke(&pResponse, pszFuncName, parts.pParams.get()));
        // No response object: an unknown name, a request that is none, or no
        // memory; the page gets the fixed text's code and can ask about it.
        if (!pResponse)
            program.Refused(pszFuncName, kFixedResponseCode);
        // The arguments may be large; they are not needed any longer.
        parts.pParams.reset();
        std::string strResponse;
        // Always 0: a text that could not be printed is an empty one.
        static_cast<void>(
            ConvertJSONToResponseMsg(pszFuncName, pszRandomId, pResponse.get(), &strResponse));
        if (strResponse.size() > kMaxOutputMessage) {
            // The browser would take no such message, and the host could not
            // go on after it: the page learns why instead.
            TRACE_FAILED("ParseAndRespondRequest", "Check response length",
                         int(VURO_E_DATA_LENGTH_LIMIT), "nMsgLength > 1048576");
            std::string().swap(strResponse);
            *pstrResponseMsg =
                RefusalResponse(program, pszFuncName, pszRandomId, VURO_E_DATA_LENGTH_LIMIT);
            return 0;
        }
        *pstrResponseMsg = std::move(strResponse);
    } catch (const std::bad_alloc&) {
        TRACE_FAILED("ParseAndRespondRequest", "Answer request", int(E_OUTOFMEMORY),
                     "std::bad_alloc");
        pstrResponseMsg->clear();
    } catch (...) {
        // No response text: the loop answers with its fixed failure text.
        TRACE_FAILED("ParseAndRespondRequest", "Answer request", int(E_UNEXPECTED), "exception");
        pstrResponseMsg->clear();
    }
    return 0;
}

int RespondToRequest(HostProgram& program, const char* pszRequestMsg,
                     std::string* pstrResponseMsg) {
    std::string strBody;
    try {
        strBody.assign(pszRequestMsg != nullptr ? pszRequestMsg : "");
    } catch (const std::bad_alloc&) {
        if (pstrResponseMsg != nullptr)
            pstrResponseMsg->clear();
        return 0;
    }
    return RespondToRequestBody(program, std::move(strBody), pstrResponseMsg);
}

int RunRequestLoop(HostProgram& program) {
    TraceHelper trace(TEXT("MsgHandleProc"));
    const int fdIn = _fileno(stdin);
    const int fdOut = _fileno(stdout);
    for (;;) {
        std::string strRequest;
        int nResult = ReadFromNativeMessaging(&strRequest, fdIn);
        std::string strResponse;
        if (nResult == int(VURO_E_DATA_LENGTH_LIMIT)) {
            // The frame was read past; the conversation goes on after it.
            strResponse = RefusalResponse(program, "", nullptr, nResult);
        } else if (TRACE_IF(nResult != 0, "MsgHandleProc", "ReadFromNativeMessaging", nResult)) {
            return nResult;
        } else {
            TraceValueA("Request", strRequest.c_str());
            if (strRequest.empty())
                return 0;
            // Always 0: a response that could not be made is an empty one.
            static_cast<void>(RespondToRequestBody(program, std::move(strRequest), &strResponse));
        }
        const char* pszOut = !strResponse.empty() ? strResponse.c_str() : kOutOfMemoryResponse;
        TraceValueA("Response", pszOut);
        nResult = WriteToNativeMessaging(pszOut, fdOut);
        if (TRACE_IF(nResult != 0, "MsgHandleProc", "WriteToNativeMessaging", nResult))
            return nResult;
    }
}

namespace {

// ServeProcess: the agent's life and the request loop; returns the exit code.
int ServeProcess(HostProgram& program) {
    // The host's module handle: error texts come from its string table.
    const HMODULE hInstance = GetModuleHandleW(nullptr);
    if (TRACE_IF(nullptr == hInstance, "wmain", "GetModuleHandleW", HResultFromLastError()))
        return 0;
    if (TRACE_IF(!program.CreateAgent(hInstance), "wmain", "new CCryptoAgent", int(E_OUTOFMEMORY)))
        return 0;
    const int nResult = SetTranslationMode();
    if (TRACE_IF(nResult != VURO_OK, "wmain", "SetTranslationMode", nResult))
        return nResult;
    const int nExitCode = RunRequestLoop(program);
    // Traced here; the code itself is the process's exit code.
    static_cast<void>(TRACE_IF(nExitCode != VURO_OK, "wmain", "MsgHandleProc", nExitCode));
    return nExitCode;
}

} // namespace

int RunHost(HostProgram& program) {
    RegisterTraceProvider();
    int nExitCode = 0;
    {
        TraceHelper trace(TEXT("wmain"));
        nExitCode = ServeProcess(program);
        program.DeleteAgent();
    }
    UnregisterTraceProvider();
    return nExitCode;
}
