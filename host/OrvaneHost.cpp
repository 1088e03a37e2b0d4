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

// A new[] copy of the cb bytes at psz with a zero byte after them, or null.
char* CopyText(const char* psz, size_t cb) {
    char* pszCopy = new (std::nothrow) char[cb + 1];
    if (pszCopy != nullptr) {
        std::memcpy(pszCopy, psz, cb);
        pszCopy[cb] = 0;
    }
    return pszCopy;
}

} // namespace

namespace {

// A response text for nErrorCode that fits the frame limit, told to the
// agent so that the page can ask what went wrong.
char* RefusalResponse(HostProgram& program, const char* pszFuncName, const char* pszRandomId,
                      int nErrorCode) {
    program.Refused(pszFuncName, nErrorCode);
    const std::string text = ErrorResponseText(pszFuncName != nullptr ? pszFuncName : "",
                                               pszRandomId, nErrorCode, kMaxOutputMessage);
    return text.empty() ? nullptr : CopyText(text.c_str(), text.size());
}

} // namespace

int RespondToRequestBody(HostProgram& program, std::unique_ptr<char[]> pBody, size_t cbBody,
                         char** ppszResponseMsg) {
    TraceHelper trace(TEXT("ParseAndRespondRequest"));
    if (ppszResponseMsg == nullptr)
        return 0;
    *ppszResponseMsg = nullptr;
    cJSON* pResponseRaw = nullptr;
    try {
        RequestParts parts;
        const int nResult = ParseRequestBody(pBody.get(), cbBody, &parts);
        // The parts are copies: the body's memory goes back before the work.
        pBody.reset();
        if (nResult == int(VURO_E_DATA_LENGTH_LIMIT)) {
            *ppszResponseMsg = RefusalResponse(program, "", nullptr, nResult);
            return 0;
        }
        // The token comes back in the answer: one beyond any page's need
        // could make the answer of a method that did its work (a signature
        // file written) too long to deliver. Such a request is not run, and
        // its answer leaves the token out.
        if (parts.pszRandomId && std::strlen(parts.pszRandomId.get()) > kMaxRandomIdBytes) {
            TRACE_FAILED("ParseAndRespondRequest", "Check randomId length",
                         int(VURO_E_DATA_LENGTH_LIMIT), "strlen(pszRandomId) > 256");
            *ppszResponseMsg = RefusalResponse(program, parts.pszFuncName.get(), nullptr,
                                               VURO_E_DATA_LENGTH_LIMIT);
            return 0;
        }
        if (nResult == 0)
            program.Invoke(&pResponseRaw, parts.pszFuncName.get(), parts.pParams.get());
        UniqueJson pResponse(pResponseRaw);
        // No response object: an unknown name, a request that is none, or no
        // memory; the page gets the fixed text's code and can ask about it.
        if (!pResponse)
            program.Refused(parts.pszFuncName.get(), kFixedResponseCode);
        // The arguments may be large; they are not needed any longer.
        parts.pParams.reset();
        char* pszText = nullptr;
        ConvertJSONToResponseMsg(parts.pszFuncName.get(), parts.pszRandomId.get(), pResponse.get(),
                                 &pszText);
        std::unique_ptr<char[]> pszResponse(pszText);
        if (pszResponse && std::strlen(pszResponse.get()) > kMaxOutputMessage) {
            // The browser would take no such message, and the host could not
            // go on after it: the page learns why instead.
            TRACE_FAILED("ParseAndRespondRequest", "Check response length",
                         int(VURO_E_DATA_LENGTH_LIMIT), "nMsgLength > 1048576");
            pszResponse.reset();
            *ppszResponseMsg = RefusalResponse(program, parts.pszFuncName.get(),
                                               parts.pszRandomId.get(), VURO_E_DATA_LENGTH_LIMIT);
            return 0;
        }
        *ppszResponseMsg = pszResponse.release();
    } catch (const std::bad_alloc&) {
        TRACE_FAILED("ParseAndRespondRequest", "Answer request", int(E_OUTOFMEMORY),
                     "std::bad_alloc");
        *ppszResponseMsg = nullptr;
    } catch (...) {
        // No response text: the loop answers with its fixed failure text.
        TRACE_FAILED("ParseAndRespondRequest", "Answer request", int(E_UNEXPECTED), "exception");
        *ppszResponseMsg = nullptr;
    }
    return 0;
}

int RespondToRequest(HostProgram& program, const char* pszRequestMsg, char** ppszResponseMsg) {
    const size_t cbRequest = pszRequestMsg != nullptr ? std::strlen(pszRequestMsg) : 0;
    std::unique_ptr<char[]> pBody(
        CopyText(pszRequestMsg != nullptr ? pszRequestMsg : "", cbRequest));
    if (!pBody) {
        if (ppszResponseMsg != nullptr)
            *ppszResponseMsg = nullptr;
        return 0;
    }
    return RespondToRequestBody(program, std::move(pBody), cbRequest, ppszResponseMsg);
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
        std::unique_ptr<char[]> pszResponse;
        if (nResult == int(VURO_E_DATA_LENGTH_LIMIT)) {
            // The frame was read past; the conversation goes on after it.
            pszResponse.reset(RefusalResponse(program, "", nullptr, nResult));
        } else if (nResult != 0) {
            TRACE_FAILED("MsgHandleProc", "ReadFromNativeMessaging", nResult, "VURO_OK != nResult");
            return nResult;
        } else {
            TraceValueA("Request", pszRequest.get());
            if (nLength == 0)
                return 0;
            char* pszResponseRaw = nullptr;
            RespondToRequestBody(program, std::move(pszRequest), size_t(nLength), &pszResponseRaw);
            pszResponse.reset(pszResponseRaw);
        }
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
        // The host's module handle: error texts come from its string table.
        const HMODULE hInstance = GetModuleHandleW(nullptr);
        if (nullptr == hInstance) {
            TRACE_FAILED("wmain", "GetModuleHandleW", HResultFromLastError(),
                         "NULL == g_hInstance");
        } else if (!program.CreateAgent(hInstance)) {
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
