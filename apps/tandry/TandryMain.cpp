// Entry point of Tandry, the native-messaging host the browser starts.
#include "host/OrvaneHost.h"

extern "C" int wmain(int, WCHAR**) {
    return HostMain();
}
