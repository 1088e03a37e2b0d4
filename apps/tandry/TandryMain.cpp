// Entry point of Tandry, the enrolment native-messaging host: the enrolment
// methods over the host spine, with one enrolment agent for the whole
// process, as Sarvik is built over the same spine.
#include "enrolment/EnrolMethods.h"
#include "host/OrvaneHost.h"
#include "version/Tandry.h"

namespace {

// The host's one agent; AgentHost creates it before the first request and
// deletes it when the input ends.
CCryptoAgent* g_pEnrolmentAgent = nullptr;

} // namespace

extern "C" int wmain(int, WCHAR**) {
    static AgentHost<ICryptoAgent, CCryptoAgent> host(kEnrolMethods, kTandryVersion,
                                                      g_pEnrolmentAgent);
    return RunHost(host);
}
