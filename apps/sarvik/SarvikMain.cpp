// Entry point of Sarvik, the signing native-messaging host: the signing
// methods over the host spine, with one signing agent for the whole process.
// The browser starts one process per page connection, so a certificate the
// page selects stays selected for the page's later calls, as it does for a
// plug-in instance.
#include "host/OrvaneHost.h"
#include "signing/SignMethods.h"
#include "version/Sarvik.h"

namespace {

// The host's one agent; AgentHost creates it before the first request and
// deletes it when the input ends.
orvane::signing::CCryptoAgent* g_pSigningAgent = nullptr;

} // namespace

extern "C" int wmain(int, WCHAR**) {
    static AgentHost<orvane::signing::ISigningAgent, orvane::signing::CCryptoAgent> host(
        kSignMethods, kSarvikVersion, g_pSigningAgent);
    return RunHost(host);
}
