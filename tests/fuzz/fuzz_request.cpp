// One request body through the whole answer path. Whatever the page sends,
// the host must answer with one JSON object that names a function and carries
// an error code, and must never crash or leak.
#include "enrolment/EnrolMethods.h"
#include "host/OrvaneHost.h"
#include "version/Tandry.h"

#include <cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The framing hands the body over NUL-terminated.
    std::unique_ptr<char[]> body(new char[size + 1]);
    std::memcpy(body.get(), data, size);
    body[size] = 0;
    // Tandry's methods, with no agent as outside a host's run.
    static CCryptoAgent* pAgent = nullptr;
    static AgentHost<ICryptoAgent, CCryptoAgent> host(kEnrolMethods, kTandryVersion, pAgent);
    std::string response;
    if (RespondToRequest(host, body.get(), &response) != 0 || response.empty())
        std::abort();
    cJSON* json = cJSON_Parse(response.c_str());
    if (json == nullptr || !cJSON_IsString(cJSON_GetObjectItem(json, "function")) ||
        !cJSON_IsNumber(cJSON_GetObjectItem(json, "errorcode")))
        std::abort();
    cJSON_Delete(json);
    return 0;
}
